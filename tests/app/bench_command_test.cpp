// `Quorvex_AE bench --json` keeps the keys that scripts read and adds the
// stage times; the continuous workload reports its throughput. Tiny
// workloads: this checks the report, not the speed.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <string>

#include "support/cli_runner.h"
#include "support/test_paths.h"

namespace qae {
namespace {

nlohmann::json Bench(const std::string& workload, const test::ScratchDir& dir) {
  const test::RunResult r = test::RunCli(
      "bench --json --threads 2 --templates 2 --records 2 --stations 4 --samples 4096 "
      "--workload " + workload,
      dir.path());
  EXPECT_EQ(r.exit_code, 0) << r.err;
  return nlohmann::json::parse(r.out, nullptr, false);
}

TEST(BenchCommandTest, EventRunsKeepTheirKeysAndAddStageTimes) {
  test::ScratchDir dir;
  const nlohmann::json j = Bench("one", dir);
  ASSERT_FALSE(j.is_discarded());
  const nlohmann::json& run = j["one"]["run"];
  for (const char* key : {"kernel", "threads", "records", "records_detected", "template_records",
                          "seconds", "records_per_second", "ms_per_template_record"}) {
    EXPECT_TRUE(run.contains(key)) << key;
  }
  const nlohmann::json& stages = run["stages"];
  for (const char* stage : {"run", "prepare", "write"}) {
    EXPECT_GE(stages[stage]["cpu_s"].get<double>(), 0.0) << stage;
    EXPECT_GE(stages[stage]["wall_s"].get<double>(), 0.0) << stage;
  }
  EXPECT_GT(stages["run"]["cpu_s"].get<double>(), 0.0);
  // Every detected record went through the writer.
  EXPECT_EQ(stages["write"]["records"].get<int>(), run["records_detected"].get<int>());
  EXPECT_GE(stages["write"]["groups"].get<int>(), run["records_detected"].get<int>() > 0 ? 1 : 0);
}

TEST(BenchCommandTest, ContinuousRunReportsMegabytesPerSecond) {
  test::ScratchDir dir;
  const nlohmann::json j = Bench("continuous", dir);
  ASSERT_FALSE(j.is_discarded());
  const nlohmann::json& run = j["continuous"]["run"];
  EXPECT_GT(run["records"].get<int>(), 0);
  EXPECT_GT(run["megabytes"].get<double>(), 0.0);
  EXPECT_NEAR(run["megabytes_per_second"].get<double>(),
              run["megabytes"].get<double>() / run["seconds"].get<double>(), 1e-6);
  EXPECT_TRUE(run.contains("stages"));
}

}  // namespace
}  // namespace qae
