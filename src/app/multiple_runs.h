// Multiple runs: a stepped AE range is split into sub-ranges and one further
// instance of the program is started per sub-range, each with the launch
// argument "%s;%d;%d;". Shared by the dialog's "Go" and `Quorvex_AE run`.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

#include "app/platform.h"

namespace qae {

// The executable that launched instances run, beside the running one
// (with the system's suffix for programs: ExecutableFileName).
inline constexpr const char* kExecutableName = "Quorvex_AE";

// Time between two launches, in SpinWait milliseconds (about 9.8 s), so
// that the instances do not read their templates all at once.
inline constexpr int kLaunchSpacingMs = 10000;

// A stepped range that would start more instances than this is refused: it
// is almost certainly a typing error (a missing zero in the step), and each
// instance holds the whole template library in memory.
inline constexpr int kMaxLaunchedRuns = 1000;

struct SubRange {
  int first = 0;
  int last = 0;
};

// The sub-ranges of first,last,+=step for step >= 1: b = first, first +
// step, ... while b < last, each ending at min(last, b + step) - 1, so
// "0,1500,+=500" gives 0-499, 500-999 and 1000-1499 and last itself is not
// part of any. Empty when first >= last. Returns false with `error` set when
// step < 1 or the plan would exceed `max_count` sub-ranges.
bool PlanSubRanges(int first, int last, int step, std::vector<SubRange>* plan,
                   std::string* error, int max_count = kMaxLaunchedRuns);

struct LaunchedRun {
  SubRange range;
  std::string argument;
  long pid = 0;
};

struct LaunchOutcome {
  std::vector<LaunchedRun> started;
  std::string error;  // empty when every sub-range was started
};

// Starts `executable` once per sub-range of `plan` with the launch argument
// for `par_file`, waiting `spacing_ms` (through the platform) after each
// launch, or only between launches when `wait_after_last` is false.
// Stops at the first launch that fails; `error` then names the sub-range,
// the executable and the reason. `on_started` (optional) hears of each
// started instance as it starts.
LaunchOutcome LaunchRuns(Platform& platform, const std::string& executable,
                         const std::string& par_file, const std::vector<SubRange>& plan,
                         int spacing_ms, bool wait_after_last,
                         const std::function<void(const LaunchedRun&)>& on_started = {});

// Why `par_file` cannot be handed to a launched instance ("" when it can):
// the launch argument separates its fields with ';', so a path holding one
// would be cut there.
std::string LaunchablePathProblem(const std::string& par_file);

}  // namespace qae
