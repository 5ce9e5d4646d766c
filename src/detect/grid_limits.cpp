#include "detect/grid_limits.h"

#include <algorithm>
#include <cstdint>
#include <limits>

#include "detect/shift_plan.h"
#include "util/memory_size.h"
#include "util/text.h"

namespace qae {

namespace {

uint64_t AxisOffsets(int32_t steps) {
  return 2 * static_cast<uint64_t>(std::max(steps, 0)) + 1;
}

double AxisOffsetsDouble(int32_t steps) { return static_cast<double>(AxisOffsets(steps)); }

}  // namespace

uint64_t GridOffsetCount(int32_t steps_x, int32_t steps_y, int32_t steps_z) {
  uint64_t count = 1;
  for (const int32_t steps : {steps_x, steps_y, steps_z}) {
    const uint64_t axis = AxisOffsets(steps);  // at most 2^32 - 1
    if (count > UINT64_MAX / axis) return UINT64_MAX;
    count *= axis;
  }
  return count;
}

// A plan too large for the plan cache is built anew by every scan that
// needs it, and a thread may hold the plan of the scan it finishes while it
// builds the next: two plans per scanning thread (measured: two threads
// held four plans of 1.6 GB each), whatever the number of templates; with
// a single template and one thread, one.
int PlansHeldAtOnce(int n_templates, int scan_threads) {
  const int threads = std::max(1, scan_threads);
  return n_templates <= 1 && threads == 1 ? 1 : 2 * threads;
}

double GridBytesNeeded(const AePars& pars, int n_traces, int n_templates, int scan_threads) {
  const double offsets = AxisOffsetsDouble(pars.gridStepsX) * AxisOffsetsDouble(pars.gridStepsY) *
                         AxisOffsetsDouble(pars.gridStepsZ);
  const double n = std::max(n_traces, 0);
  // One plan: its index per offset, plus per station the gradient (three
  // doubles), the shift range (two int32) and one vector's shift.
  const double per_offset = sizeof(decltype(ShiftPlan::offsetVector)::value_type);
  const double plan = static_cast<double>(sizeof(ShiftPlan)) + per_offset * offsets +
                      n * (3 * sizeof(double) + 3 * sizeof(int32_t));
  return plan * PlansHeldAtOnce(n_templates, scan_threads);
}

std::string GridSizeProblem(const AePars& pars, int n_traces, int n_templates, int scan_threads,
                            uint64_t memory_bytes) {
  const double needed = GridBytesNeeded(pars, n_traces, n_templates, scan_threads);
  if (memory_bytes == 0) memory_bytes = AvailableMemoryBytes();
  // Without a figure for the memory, the plan's vector must at least be
  // addressable.
  const double limit = memory_bytes > 0
                           ? static_cast<double>(memory_bytes)
                           : static_cast<double>(std::numeric_limits<std::ptrdiff_t>::max());
  if (needed <= limit) {
    // A plan numbers its distinct shift vectors, at most one per offset, in
    // 32 bits.
    const uint64_t offsets = GridOffsetCount(pars.gridStepsX, pars.gridStepsY, pars.gridStepsZ);
    if (offsets <= static_cast<uint64_t>(INT32_MAX)) return std::string();
    return StrPrintf(
        "grid of %llu x %llu x %llu offsets has more than the %d offsets the fast scan can "
        "index; lower gridStepsX/Y/Z",
        static_cast<unsigned long long>(AxisOffsets(pars.gridStepsX)),
        static_cast<unsigned long long>(AxisOffsets(pars.gridStepsY)),
        static_cast<unsigned long long>(AxisOffsets(pars.gridStepsZ)), INT32_MAX);
  }
  const int plans = PlansHeldAtOnce(n_templates, scan_threads);
  const std::string each =
      plans > 1 ? StrPrintf(" in each of the %d plans %d scanning threads may hold at once", plans,
                            scan_threads)
                : std::string();
  const std::string have =
      memory_bytes > 0 ? StrPrintf("%s of memory available", ByteSizeText(limit).c_str())
                       : std::string("more than can be addressed");
  return StrPrintf(
      "grid of %llu x %llu x %llu offsets would need %s for its station shifts (4 bytes per "
      "offset%s), %s; lower gridStepsX/Y/Z%s",
      static_cast<unsigned long long>(AxisOffsets(pars.gridStepsX)),
      static_cast<unsigned long long>(AxisOffsets(pars.gridStepsY)),
      static_cast<unsigned long long>(AxisOffsets(pars.gridStepsZ)), ByteSizeText(needed).c_str(),
      each.c_str(), have.c_str(), plans > 1 ? " or the scanning threads" : "");
}

std::string ByteSizeText(double bytes) {
  static const char* const kUnits[] = {"bytes", "kB", "MB", "GB", "TB", "PB", "EB", "ZB", "YB"};
  std::size_t unit = 0;
  while (bytes >= 999.5 && unit + 1 < std::size(kUnits)) {
    bytes /= 1000.0;
    ++unit;
  }
  if (unit == 0) return StrPrintf("%.0f bytes", bytes);
  return StrPrintf(bytes < 9.995 ? "%.2f %s" : bytes < 99.95 ? "%.1f %s" : "%.0f %s", bytes,
                   kUnits[unit]);
}

}  // namespace qae
