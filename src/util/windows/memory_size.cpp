// Physical memory and the process's virtual address space via
// GlobalMemoryStatusEx, and the limit of a job object the process runs in
// (how batch systems and containers cap memory on Windows).
#include "util/memory_size.h"

#include <algorithm>

#include "util/windows/wide.h"

namespace qae {

namespace {

uint64_t JobLimit() {
  JOBOBJECT_EXTENDED_LIMIT_INFORMATION info{};
  if (!QueryInformationJobObject(nullptr, JobObjectExtendedLimitInformation, &info, sizeof info,
                                 nullptr)) {
    return 0;
  }
  uint64_t limit = 0;
  auto lower = [&limit](uint64_t bytes) {
    if (bytes > 0) limit = limit == 0 ? bytes : std::min(limit, bytes);
  };
  if (info.BasicLimitInformation.LimitFlags & JOB_OBJECT_LIMIT_PROCESS_MEMORY) {
    lower(info.ProcessMemoryLimit);
  }
  if (info.BasicLimitInformation.LimitFlags & JOB_OBJECT_LIMIT_JOB_MEMORY) {
    lower(info.JobMemoryLimit);
  }
  return limit;
}

}  // namespace

uint64_t AvailableMemoryBytes() {
  MEMORYSTATUSEX status{};
  status.dwLength = sizeof status;
  uint64_t bytes = 0;
  if (GlobalMemoryStatusEx(&status)) {
    bytes = status.ullTotalPhys;
    if (status.ullTotalVirtual > 0) bytes = std::min<uint64_t>(bytes, status.ullTotalVirtual);
  }
  const uint64_t job = JobLimit();
  if (job > 0) bytes = bytes == 0 ? job : std::min(bytes, job);
  return bytes;
}

}  // namespace qae
