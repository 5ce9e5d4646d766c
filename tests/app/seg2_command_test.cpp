// `Quorvex_AE seg2 dump` on a file that ends before the samples it declares.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "support/cli_runner.h"
#include "support/seg2_builder.h"
#include "support/test_paths.h"
#include "util/file_io.h"

namespace qae {
namespace {

using nlohmann::json;

// A tiny file whose first trace declares 4,194,304 samples; a whole second
// trace of 50.
TEST(Seg2Dump, ForgedCountPrintsThePresentSamplesAndMaxSamplesCaps) {
  test::ScratchDir dir;
  const std::vector<uint8_t> bytes = test::BuildSeg2(
      {}, {{{}, 4, 4194304u, test::FloatData({1.5f, -2.0f, 3.0f})},
           {{}, 4, 50, test::FloatData(std::vector<float>(50, 7.0f))}});
  const std::string path = dir.File("forged.sg2");
  ASSERT_TRUE(WriteFileAtomically(path, bytes.data(), bytes.size(), nullptr));
  auto dump = [&](const std::string& options) {
    return test::RunCli("seg2 dump " + test::Quote(path) + " " + options, dir.path());
  };
  // Trace 1 reads on to the end of the file, over trace 2's descriptor (34
  // bytes) and samples: 61 in all.
  const test::RunResult r = dump("--samples");
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(r.err, "Quorvex_AE: warning: " + path +
                       ": read in part: trace 1 of 2: 61 of 4194304 samples present\n");
  const json j = json::parse(r.out);
  EXPECT_EQ(j["traces"][0]["sampleCount"], 4194304);
  EXPECT_EQ(j["traces"][0]["samplesDeclared"], 4194304);
  EXPECT_EQ(j["traces"][0]["samplesPresent"], 61);
  EXPECT_EQ(j["traces"][0]["samples"].size(), 61u);
  EXPECT_EQ(j["traces"][0]["samples"][1], -2.0);
  // A whole trace keeps exactly the keys it always had.
  EXPECT_FALSE(j["traces"][1].contains("samplesPresent"));
  EXPECT_EQ(j["traces"][1]["samples"].size(), 50u);

  const json capped = json::parse(dump("--max-samples 4").out);
  for (const auto& t : capped["traces"]) EXPECT_EQ(t["samples"].size(), 4u);
  EXPECT_FALSE(json::parse(dump("").out)["traces"][0].contains("samples"));
  EXPECT_EQ(dump("--max-samples -1").exit_code, 2);
}

}  // namespace
}  // namespace qae
