#include "util/crash_point.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>

namespace qae {

namespace {

long CrashAt() {
  static const long at = [] {
    const char* text = std::getenv("QAE_CRASH_AT");
    return text != nullptr ? std::strtol(text, nullptr, 10) : 0L;
  }();
  return at;
}

}  // namespace

void CrashPoint(const char* where) {
  const long at = CrashAt();
  if (at <= 0) return;
  static std::atomic<long> passed{0};
  if (++passed == at) {
    std::fprintf(stderr, "Quorvex_AE: QAE_CRASH_AT=%ld: crashing at %s\n", at, where);
    std::fflush(stderr);
    std::_Exit(137);
  }
}

}  // namespace qae
