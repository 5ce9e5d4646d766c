#include "util/spin_wait.h"

#include <chrono>
#include <thread>

namespace qae {

void SpinWait(int ms) {
  if (ms <= 0) return;
  std::this_thread::sleep_for(std::chrono::microseconds(static_cast<long long>(ms) * 1000000 / 1024));
}

}  // namespace qae
