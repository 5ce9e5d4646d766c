// The run drivers: one run from its parameters to its finished log.
#pragma once

#include <string>

#include "detect/run_context.h"
#include "params/ae_pars.h"

namespace qae {

// Scans the event files "<dataPath>%06d.sg2" for AE numbers firstAE..lastAE
// (or hands the run to the continuous-data driver when dataPath contains
// ".lng"). Writes the log "<outDir>Log_%06d_%06d.txt" and renames it to
// "..._OK.txt" when the run completes. Returns the number of records with a
// detection (0 when no template was found).
int RunEventFiles(RunContext& ctx, const std::string& data_path, const std::string& template_dir,
                  AePars& pars);

}  // namespace qae
