// One run over an AE range in this process: read the parameter file, set the
// range, call the run driver.
#pragma once

#include <functional>
#include <string>

#include "detect/run_context.h"

namespace qae {

struct RunRangeResult {
  bool parametersRead = false;  // false: the parameter file could not be opened; nothing ran
  int detected = 0;             // records (or segments) with a detection
  std::string error;            // why the run did not happen or stopped early
};

// How the records are scanned: the fast scan on `threads` threads (0: all
// cores), or the straightforward reference scan on one. Both write the same
// bytes.
struct ScanOptions {
  RunContext::Kernel kernel = RunContext::Kernel::kFast;
  int threads = 0;
};

// Reads `par_file` into a fresh parameter record, sets firstAE = first and
// lastAE = last (inclusive), and runs the event-file driver (which hands
// continuous recordings on). A parameter file that cannot be opened runs
// nothing. `progress` (optional) hears how far the run has got, once per AE
// number.
RunRangeResult RunRange(const std::string& par_file, int first, int last,
                        const std::function<void(const RunProgress&)>& progress = {},
                        const ScanOptions& scan = {});

}  // namespace qae
