#include "util/usable_cpus.h"

#include <gtest/gtest.h>

#include <string>

#include "detect/run_context.h"
#include "support/processes.h"

namespace qae {
namespace {

// As under `taskset -c N`, a cpuset, a job object or a batch allocation of
// one CPU.
TEST(UsableCpuCount, FollowsAnAffinityOfOneCpu) {
  if (UsableCpuCount() < 2) GTEST_SKIP() << "the process may use only one CPU";
  std::string why;
  const int code = test::RunWithOneCpu(
      [] {
        if (UsableCpuCount() != 1) return 1;
        // The run's default thread count follows; an explicit count still
        // rules.
        RunContext ctx;
        ctx.kernel = RunContext::Kernel::kFast;
        ctx.threads = 0;
        if (ctx.ScanThreads() != 1) return 3;
        ctx.threads = 3;
        return ctx.ScanThreads() == 3 ? 0 : 4;
      },
      &why);
  ASSERT_GE(code, 0) << why;
  EXPECT_EQ(code, 0) << "1: the count was not 1; 3: the default thread count was not 1; "
                        "4: --threads was not honoured";
}

}  // namespace
}  // namespace qae
