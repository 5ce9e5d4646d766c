#include "util/cpu_time.h"

#include "util/windows/wide.h"

namespace qae {

namespace {

double Seconds(const FILETIME& t) {
  const unsigned long long ticks =
      (static_cast<unsigned long long>(t.dwHighDateTime) << 32) | t.dwLowDateTime;
  return static_cast<double>(ticks) * 1e-7;  // 100 ns ticks
}

}  // namespace

double ThreadCpuSeconds() {
  FILETIME created, ended, kernel, user;
  if (!GetThreadTimes(GetCurrentThread(), &created, &ended, &kernel, &user)) return 0.0;
  return Seconds(kernel) + Seconds(user);
}

double ProcessCpuSeconds() {
  FILETIME created, ended, kernel, user;
  if (!GetProcessTimes(GetCurrentProcess(), &created, &ended, &kernel, &user)) return 0.0;
  return Seconds(kernel) + Seconds(user);
}

}  // namespace qae
