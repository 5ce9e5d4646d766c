#include "support/processes.h"

#include <thread>

#include "util/windows/wide.h"

namespace qae::test {

int RunWithOneCpu(const std::function<int()>& body, std::string* why) {
  DWORD_PTR process_mask = 0;
  DWORD_PTR system_mask = 0;
  const HANDLE self = GetCurrentProcess();
  if (!GetProcessAffinityMask(self, &process_mask, &system_mask) || process_mask == 0) {
    *why = "GetProcessAffinityMask failed";
    return -1;
  }
  DWORD_PTR highest = 1;
  for (DWORD_PTR bit = 1; bit != 0; bit <<= 1) {
    if (process_mask & bit) highest = bit;
  }
  if (!SetProcessAffinityMask(self, highest)) {
    *why = "SetProcessAffinityMask failed: " + qae::win::LastErrorText();
    return -1;
  }
  const int code = body();
  SetProcessAffinityMask(self, process_mask);
  return code;
}

std::vector<int> RunConcurrently(int n, const std::function<int(int)>& body) {
  std::vector<int> codes(static_cast<std::size_t>(n), -1);
  std::vector<std::thread> threads;
  for (int i = 0; i < n; ++i) {
    threads.emplace_back([&codes, &body, i] { codes[static_cast<std::size_t>(i)] = body(i); });
  }
  for (std::thread& t : threads) t.join();
  return codes;
}

bool WithFileSizeLimit(long /*bytes*/, const std::function<void()>& /*body*/) { return false; }

}  // namespace qae::test
