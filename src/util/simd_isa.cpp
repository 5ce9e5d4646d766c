#include "util/simd_isa.h"

#include <algorithm>
#include <atomic>

namespace qae {

namespace {
std::atomic<int> g_forced{-1};
}  // namespace

KernelIsa DetectKernelIsa() {
  static const KernelIsa isa = [] {
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx512f")) return KernelIsa::kAvx512;
    if (__builtin_cpu_supports("avx2")) return KernelIsa::kAvx2;
    return KernelIsa::kScalar;
  }();
  return isa;
}

KernelIsa ActiveKernelIsa() {
  const int forced = g_forced.load(std::memory_order_relaxed);
  const KernelIsa best = DetectKernelIsa();
  if (forced < 0) return best;
  return std::min(static_cast<KernelIsa>(forced), best);
}

const char* KernelIsaName(KernelIsa isa) {
  switch (isa) {
    case KernelIsa::kAvx512: return "avx512";
    case KernelIsa::kAvx2: return "avx2";
    default: return "scalar";
  }
}

void SetKernelIsaForTesting(KernelIsa isa) {
  g_forced.store(static_cast<int>(isa), std::memory_order_relaxed);
}

}  // namespace qae
