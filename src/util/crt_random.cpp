#include "util/crt_random.h"

#include <atomic>

namespace qae {

namespace {

// Draws happen on the run's one ordering thread; the atomic only keeps a
// misuse from other threads free of data races.
std::atomic<uint32_t> g_state{1};

}  // namespace

int CrtRand() {
  uint32_t s = g_state.load(std::memory_order_relaxed);
  s = s * 214013u + 2531011u;
  g_state.store(s, std::memory_order_relaxed);
  return static_cast<int>((s >> 16) & 0x7FFF);
}

void ResetCrtRandForTesting() { g_state.store(1, std::memory_order_relaxed); }

}  // namespace qae
