#include "app/multiple_runs.h"

#include <algorithm>
#include <cstdint>

#include "app/launch_argument.h"
#include "util/text.h"

namespace qae {

bool PlanSubRanges(int first, int last, int step, std::vector<SubRange>* plan,
                   std::string* error, int max_count) {
  plan->clear();
  if (step < 1) {
    *error = StrPrintf("step %d starts no instances; multiple runs need a step of 1 or more", step);
    return false;
  }
  if (first >= last) return true;
  // 64-bit throughout: b + step passes INT32_MAX for ranges near the top.
  const int64_t span = int64_t{last} - first;
  const int64_t count = (span + step - 1) / step;
  if (count > max_count) {
    *error = StrPrintf(
        "%d,%d,+=%d would start %lld instances; at most %d are started at once (check the step)",
        first, last, step, static_cast<long long>(count), max_count);
    return false;
  }
  plan->reserve(static_cast<std::size_t>(count));
  for (int64_t b = first; b < last; b += step) {
    const int64_t end = std::min<int64_t>(last, b + step) - 1;
    plan->push_back({static_cast<int>(b), static_cast<int>(end)});
  }
  return true;
}

LaunchOutcome LaunchRuns(Platform& platform, const std::string& executable,
                         const std::string& par_file, const std::vector<SubRange>& plan,
                         int spacing_ms, bool wait_after_last,
                         const std::function<void(const LaunchedRun&)>& on_started) {
  LaunchOutcome outcome;
  for (std::size_t i = 0; i < plan.size(); ++i) {
    LaunchedRun run;
    run.range = plan[i];
    run.argument = FormatLaunchArgument(par_file, plan[i].first, plan[i].last);
    StartedProcess process;
    std::string reason;
    if (!platform.StartProcess(executable, run.argument, &process, &reason)) {
      outcome.error = StrPrintf("Could not start instance %zu of %zu (AE %d to %d): %s: %s",
                                i + 1, plan.size(), plan[i].first, plan[i].last,
                                executable.c_str(), reason.c_str());
      return outcome;
    }
    run.pid = process.pid;
    outcome.started.push_back(run);
    if (on_started) on_started(outcome.started.back());
    if (wait_after_last || i + 1 < plan.size()) platform.Wait(spacing_ms);
  }
  return outcome;
}

std::string LaunchablePathProblem(const std::string& par_file) {
  if (par_file.find(';') == std::string::npos) return std::string();
  return "The parameter file path contains ';', which a launched instance would take as the "
         "end of the path: " +
         par_file;
}

}  // namespace qae
