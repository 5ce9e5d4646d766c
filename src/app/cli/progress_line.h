// The progress line of a single run on a terminal: records dealt with out
// of the range, detections so far, elapsed and estimated remaining time,
// redrawn in place on one line of stderr.
#pragma once

#include <chrono>
#include <cstdio>
#include <string>

#include "detect/run_context.h"

namespace qae::cli {

// "H:MM:SS"; hours go past 24 for runs of days. Negative or non-finite
// durations show as "-:--:--".
std::string FormatDuration(double seconds);

// "AE 12/101 done, 3 detected, 0:00:05 elapsed, 0:00:37 remaining". The
// remaining time assumes the records still to come take as long as the ones
// done; it is "-:--:--" before the first is done.
std::string FormatProgressLine(const RunProgress& progress, double elapsed_s);

// Redraws the line on `out` (a terminal) at most four times a second and
// on the last record; Finish ends the line.
class TerminalProgress {
 public:
  explicit TerminalProgress(std::FILE* out);
  void Update(const RunProgress& progress);
  void Finish();

 private:
  std::FILE* out_;
  std::chrono::steady_clock::time_point start_;
  std::chrono::steady_clock::time_point last_draw_;
  bool drawn_ = false;
};

}  // namespace qae::cli
