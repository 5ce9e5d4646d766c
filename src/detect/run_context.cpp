#include "detect/run_context.h"

#include <algorithm>
#include <cmath>

#include "detect/scan_pool.h"
#include "detect/shift_plan.h"
#include "util/usable_cpus.h"

namespace qae {

namespace {

// Truncation toward zero of a float quotient, saturated to the int32 range.
int32_t TruncToInt(float x) {
  if (!(x == x)) return 0;
  if (x >= 2147483520.0f) return INT32_MAX;
  if (x <= -2147483648.0f) return INT32_MIN;
  return static_cast<int32_t>(x);
}

}  // namespace

WindowSizes ComputeWindowSizes(float pre_win, float post_win, float dt) {
  WindowSizes w;
  // Each quotient is rounded to float before it is truncated; in double,
  // 4.0f / 0.1f would give 39.99999940 and a window one sample short.
  const float win = (pre_win + post_win) / dt;
  const float pre = pre_win / dt;
  const float five = 5.0f / dt;
  const float two = 2.0f / dt;
  w.winLen = TruncToInt(win);
  w.preLen = static_cast<int32_t>(std::clamp(std::floor(static_cast<double>(pre) + 0.5), -2147483648.0, 2147483647.0));
  w.len5 = TruncToInt(five);
  w.len2 = TruncToInt(two);
  return w;
}

int RunContext::ScanThreads() const {
  if (kernel != Kernel::kFast) return 1;
  return threads > 0 ? threads : UsableCpuCount();
}

void RunContext::AllocateWorkArrays() {
  const auto n = static_cast<std::size_t>(nTraces > 0 ? nTraces : 0);
  traceIndex.assign(n, 0);
  traceGeom.assign(n, XL_Vector3D());
  ccRows.assign((n + 1) * RowStride(), 0.0f);
  traceWork.assign(n, 0.0f);
  labels.assign(n + 1, std::array<char, 16>{});
  if (kernel == Kernel::kFast) workspace.Allocate(nTraces, nLags, winLen);
  const int n_threads = ScanThreads();
  pool.reset();
  shiftPlans = kernel == Kernel::kFast ? std::make_shared<ShiftPlanCache>() : nullptr;
  if (kernel == Kernel::kFast && n_threads > 1) {
    pool = std::make_shared<ScanPool>(n_threads, nTraces, nLags, winLen);
  }
}

void RunContext::ReleaseWorkArrays() {
  traceIndex = {};
  traceGeom = {};
  ccRows = {};
  traceWork = {};
  labels = {};
  workspace = ScanWorkspace();
  pool.reset();
  shiftPlans.reset();
}

}  // namespace qae
