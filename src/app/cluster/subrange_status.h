// How far each sub-range of a split run has come, as its log tells: a run
// renames its log "_OK" only when it completed with nothing lost.
#pragma once

#include <string>
#include <vector>

#include "app/multiple_runs.h"

namespace qae {

enum class SubRangeState {
  kDone,          // "_OK" log
  kNothingToScan, // "_OK" log saying not one record could be read
  kFailed,        // plain log that ended with a reason (outputs lost, no templates, ...)
  kStopped,       // plain log without its end: killed, or still running
  kNotStarted,    // no log
};

struct SubRangeStatus {
  SubRange range;
  SubRangeState state = SubRangeState::kNotStarted;
  std::string log;     // the log found, "" when none
  std::string reason;  // the log's last " !" line, for failed and nothing-to-scan ranges
  // From the log's " Ended: S / D events scanned/detected." line.
  int scanned = -1;
  int detected = -1;
};

// "done", "nothing to scan", "failed", "stopped or running", "not started".
const char* StateName(SubRangeState state);

// The state of the run over `range` whose logs are "<outDir>Log_%06d_%06d.txt"
// and its "_OK" name.
SubRangeStatus StatusOfSubRange(const std::string& outDir, const SubRange& range);

// Whether a sub-range still has to run: failed, stopped or not started.
inline bool IsUnfinished(SubRangeState s) {
  return s == SubRangeState::kFailed || s == SubRangeState::kStopped ||
         s == SubRangeState::kNotStarted;
}

}  // namespace qae
