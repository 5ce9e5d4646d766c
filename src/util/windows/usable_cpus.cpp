// The affinity mask via GetProcessAffinityMask. It covers the processor
// group the process runs in (up to 64 processors), which is where its
// threads are scheduled unless they are moved to another group.
#include "util/usable_cpus.h"

#include <algorithm>
#include <bit>
#include <thread>

#include "util/windows/wide.h"

namespace qae {

int UsableCpuCount() {
  DWORD_PTR process_mask = 0;
  DWORD_PTR system_mask = 0;
  if (GetProcessAffinityMask(GetCurrentProcess(), &process_mask, &system_mask) &&
      process_mask != 0) {
    return std::popcount(static_cast<unsigned long long>(process_mask));
  }
  return static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
}

}  // namespace qae
