#include "util/usable_cpus.h"

#include <gtest/gtest.h>
#include <sched.h>
#include <sys/wait.h>
#include <unistd.h>

#include "detect/run_context.h"

namespace qae {
namespace {

// As under `taskset -c N`, a cpuset or a batch allocation of one CPU.
TEST(UsableCpuCount, FollowsAnAffinityOfOneCpu) {
  if (UsableCpuCount() < 2) GTEST_SKIP() << "the process may use only one CPU";
  cpu_set_t set;
  CPU_ZERO(&set);
  ASSERT_EQ(sched_getaffinity(0, sizeof set, &set), 0);
  int last = -1;
  for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu) {
    if (CPU_ISSET(cpu, &set)) last = cpu;
  }
  ASSERT_GE(last, 0);
  // In a child, so that this process keeps its CPUs for the other tests.
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    cpu_set_t one;
    CPU_ZERO(&one);
    CPU_SET(last, &one);
    if (sched_setaffinity(0, sizeof one, &one) != 0) _exit(2);
    if (UsableCpuCount() != 1) _exit(1);
    // The run's default thread count follows; an explicit count still rules.
    RunContext ctx;
    ctx.kernel = RunContext::Kernel::kFast;
    ctx.threads = 0;
    if (ctx.ScanThreads() != 1) _exit(3);
    ctx.threads = 3;
    _exit(ctx.ScanThreads() == 3 ? 0 : 4);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0)
      << "1: the count was not 1; 2: the affinity could not be set; 3: the default thread count "
         "was not 1; 4: --threads was not honoured";
}

}  // namespace
}  // namespace qae
