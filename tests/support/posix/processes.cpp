#include "support/processes.h"

#include <sched.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>

namespace qae::test {

namespace {

int WaitFor(pid_t pid) {
  int status = 0;
  if (waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
}

}  // namespace

int RunWithOneCpu(const std::function<int()>& body, std::string* why) {
  cpu_set_t set;
  CPU_ZERO(&set);
  if (sched_getaffinity(0, sizeof set, &set) != 0) {
    *why = "sched_getaffinity failed";
    return -1;
  }
  int last = -1;
  for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu) {
    if (CPU_ISSET(cpu, &set)) last = cpu;
  }
  if (last < 0) {
    *why = "no CPU in the affinity mask";
    return -1;
  }
  const pid_t child = fork();
  if (child < 0) {
    *why = "fork failed";
    return -1;
  }
  if (child == 0) {
    cpu_set_t one;
    CPU_ZERO(&one);
    CPU_SET(last, &one);
    if (sched_setaffinity(0, sizeof one, &one) != 0) _exit(255);
    _exit(body());
  }
  const int code = WaitFor(child);
  if (code == 255) *why = "sched_setaffinity failed";
  return code == 255 ? -1 : code;
}

std::vector<int> RunConcurrently(int n, const std::function<int(int)>& body) {
  std::vector<pid_t> children;
  std::vector<int> codes(static_cast<std::size_t>(n), -1);
  for (int i = 0; i < n; ++i) {
    const pid_t pid = fork();
    if (pid == 0) _exit(body(i));
    children.push_back(pid);
  }
  for (int i = 0; i < n; ++i) {
    if (children[static_cast<std::size_t>(i)] > 0) {
      codes[static_cast<std::size_t>(i)] = WaitFor(children[static_cast<std::size_t>(i)]);
    }
  }
  return codes;
}

bool WithFileSizeLimit(long bytes, const std::function<void()>& body) {
  // This works even for root.
  struct rlimit old_limit {};
  getrlimit(RLIMIT_FSIZE, &old_limit);
  auto old_handler = std::signal(SIGXFSZ, SIG_IGN);
  struct rlimit small = old_limit;
  small.rlim_cur = static_cast<rlim_t>(bytes);
  setrlimit(RLIMIT_FSIZE, &small);
  body();
  setrlimit(RLIMIT_FSIZE, &old_limit);
  std::signal(SIGXFSZ, old_handler);
  return true;
}

}  // namespace qae::test
