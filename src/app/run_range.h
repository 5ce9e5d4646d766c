// One run over an AE range in this process: read the parameter file, set the
// range, call the run driver.
#pragma once

#include <string>

namespace qae {

struct RunRangeResult {
  bool parametersRead = false;  // false: the parameter file could not be opened; nothing ran
  int detected = 0;             // records (or segments) with a detection
  std::string error;            // why the run did not happen or stopped early
};

// Reads `par_file` into a fresh parameter record, sets firstAE = first and
// lastAE = last (inclusive), and runs the event-file driver (which hands
// continuous recordings on). A parameter file that cannot be opened runs
// nothing.
RunRangeResult RunRange(const std::string& par_file, int first, int last);

}  // namespace qae
