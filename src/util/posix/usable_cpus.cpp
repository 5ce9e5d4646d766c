// The affinity mask via sched_getaffinity (Linux).
#include "util/usable_cpus.h"

#include <sched.h>

#include <algorithm>
#include <cerrno>
#include <thread>

namespace qae {

namespace {

// CPUs in this process's affinity mask, 0 when it cannot be read. The mask
// is allocated for a growing number of CPUs, as the kernel refuses a buffer
// smaller than its own mask (EINVAL) on machines with many processors.
int AffinityCount() {
  for (int n_cpus = 1024; n_cpus <= (1 << 22); n_cpus *= 2) {
    cpu_set_t* set = CPU_ALLOC(static_cast<std::size_t>(n_cpus));
    if (set == nullptr) return 0;
    const std::size_t bytes = CPU_ALLOC_SIZE(static_cast<std::size_t>(n_cpus));
    CPU_ZERO_S(bytes, set);
    const int rc = sched_getaffinity(0, bytes, set);
    const int error = errno;
    const int count = rc == 0 ? CPU_COUNT_S(bytes, set) : 0;
    CPU_FREE(set);
    if (rc == 0) return count;
    if (error != EINVAL) return 0;
  }
  return 0;
}

}  // namespace

int UsableCpuCount() {
  const int mask = AffinityCount();
  if (mask > 0) return mask;
  return static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
}

}  // namespace qae
