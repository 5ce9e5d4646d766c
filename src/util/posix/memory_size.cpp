// Physical memory via sysconf, the address-space limit via getrlimit, and
// the memory limit of the process's (version 2) control group, Linux.
#include "util/memory_size.h"

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <string>

namespace qae {

namespace {

uint64_t PhysicalMemoryBytes() {
  const long pages = sysconf(_SC_PHYS_PAGES);
  const long page_size = sysconf(_SC_PAGESIZE);
  if (pages <= 0 || page_size <= 0) return 0;
  const auto p = static_cast<uint64_t>(pages);
  const auto s = static_cast<uint64_t>(page_size);
  return p > UINT64_MAX / s ? UINT64_MAX : p * s;
}

uint64_t AddressSpaceLimit() {
  rlimit limit{};
  if (getrlimit(RLIMIT_AS, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return 0;
  return static_cast<uint64_t>(limit.rlim_cur);
}

// The smallest "memory.max" of the process's control group and of the
// groups above it (a batch job's limit may be set on a parent), 0 when none
// is set or the unified hierarchy is not mounted.
uint64_t ControlGroupLimit() {
  std::ifstream self("/proc/self/cgroup");
  std::string line;
  std::string path;
  while (std::getline(self, line)) {
    if (line.rfind("0::", 0) == 0) path = line.substr(3);
  }
  if (path.empty() || path[0] != '/') return 0;
  uint64_t smallest = 0;
  while (true) {
    std::ifstream file("/sys/fs/cgroup" + (path == "/" ? std::string() : path) + "/memory.max");
    std::string value;
    if (file >> value && value != "max") {
      char* end = nullptr;
      const unsigned long long bytes = std::strtoull(value.c_str(), &end, 10);
      if (end != value.c_str() && *end == '\0' && bytes > 0) {
        smallest = smallest == 0 ? bytes : std::min<uint64_t>(smallest, bytes);
      }
    }
    if (path == "/") break;
    const std::size_t slash = path.rfind('/');
    path = slash == 0 ? "/" : path.substr(0, slash);
  }
  return smallest;
}

}  // namespace

uint64_t AvailableMemoryBytes() {
  uint64_t bytes = PhysicalMemoryBytes();
  for (const uint64_t limit : {AddressSpaceLimit(), ControlGroupLimit()}) {
    if (limit > 0) bytes = bytes == 0 ? limit : std::min(bytes, limit);
  }
  return bytes;
}

}  // namespace qae
