// Everything a scan leaves on disk: rows of the shared result table
// "ML_detect.ps0", the detection line in the record's header, the rewritten
// event file and its numbered copies, and the log lines of each detection.
#pragma once

#include <string>

#include "detect/run_context.h"
#include "detect/template_library.h"
#include "params/ae_pars.h"
#include "wave/wave_data.h"

namespace qae {

// Writes the outputs of every surviving row of ctx.events: the log lines,
// then the files and table rows committed together (detection_commit.h).
// Returns 1 when the rows reached the table, 0 otherwise. Whatever could
// not be written is recorded in ctx.losses.
// With ctx.writer, the files and rows are handed to it (and the record's
// traces with them: the record is left without traces); the result is 1
// when there was a detection, and the writer reports what it could not
// write.
int WriteDetectionOutputs(TemplateLibrary& templates, int removed, XL_WaveData& record,
                          AePars& pars, RunContext& ctx);

// The narrowest SEG-2 data format that holds every sample of the record
// exactly: 1 when all are integers in int16 range, else 2 when all are
// integers in int32 range, else 4.
int LosslessSeg2Format(const XL_WaveData& record);

}  // namespace qae
