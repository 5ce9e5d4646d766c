// Runs `Quorvex_AE params` as a user would and checks its stdout, stderr
// and exit status.
#include <gtest/gtest.h>

#include "support/cli_runner.h"
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
using qae::test::RunResult;

class ParamsCommandTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() /
           ("qae_params_cli_" + std::to_string(getpid()) + "_" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }

  fs::path Write(const std::string& text) {
    const fs::path path = dir_ / "ML_CC_AE_pars.txt";
    std::ofstream(path, std::ios::binary) << text;
    return path;
  }


  RunResult Run(const fs::path& parfile) {
    return qae::test::RunCli("params " + qae::test::Quote(parfile.string()), dir_.string());
  }

  fs::path dir_;
};

TEST_F(ParamsCommandTest, PrintsEveryFieldInFileOrder) {
  const fs::path parfile = Write(
      "velX = 6.5\nvelY = 6.6\nvelZ = 6.7\nr1 = 0.3\npre = 1.5\npost = 4\ndup = 300\n"
      "r2 = 0.1\nr3 = 0.2\nfLow = 0.05\nfHigh = 0.3\nr4 = 0.8\nccMin = 0.65\nsnr = 3\n"
      "hx = 1.5\nhy = 2.5\nhz = 3.5\nsx = 6\nsy = 7\nsz = 8\n"
      "templateDir = \"/data/my templates/\"\ndataPath = /data/events/\noutDir = /data/out/\n"
      "maxTemplates = -200 iTS= 5 iTE=10\nr5 = 900\noutLevel = 3\nwell = 10\n"
      "all = 1\nmean = 1\n[END]\nend\n");
  const RunResult run = Run(parfile);
  ASSERT_EQ(run.exit_code, 0) << run.err;
  EXPECT_EQ(run.err, "");
  const auto json = nlohmann::ordered_json::parse(run.out);
  std::vector<std::string> keys;
  for (const auto& item : json.items()) keys.push_back(item.key());
  EXPECT_EQ(keys, (std::vector<std::string>{
                      "velX",        "velY",       "velZ",       "reserved1",    "preWin",
                      "postWin",     "dupWin",     "reserved2",  "reserved3",    "fLow",
                      "fHigh",       "reserved4",  "ccMin",      "snrMin",       "gridHalfX",
                      "gridHalfY",   "gridHalfZ",  "gridStepsX", "gridStepsY",   "gridStepsZ",
                      "templateDir", "dataPath",   "outDir",     "maxTemplates", "iTS",
                      "iTE",         "reserved5",  "outLevel",   "wellLocatedM", "all",
                      "mean",        "minStations"}));
  EXPECT_EQ(json["templateDir"], "/data/my templates/");
  EXPECT_EQ(json["maxTemplates"], -200);
  EXPECT_EQ(json["mean"], 1);
  EXPECT_EQ(json["minStations"], 4);
  // Floats print as their shortest decimal, not as the widened double.
  EXPECT_NE(run.out.find("\"reserved1\": 0.3,"), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("\"ccMin\": 0.65,"), std::string::npos) << run.out;
}

TEST_F(ParamsCommandTest, OddBytesInPathDoNotBreakTheOutput) {
  std::string text;
  for (int i = 0; i < 20; ++i) text += "v = 1\n";
  text += "templateDir = /data/\xff\xfe/\n";
  const RunResult run = Run(Write(text));
  ASSERT_EQ(run.exit_code, 0) << run.err;
  nlohmann::json json;
  ASSERT_NO_THROW(json = nlohmann::json::parse(run.out)) << run.out;
  EXPECT_EQ(json["templateDir"], "/data/\xEF\xBF\xBD\xEF\xBF\xBD/");  // U+FFFD each.
}

TEST_F(ParamsCommandTest, TruncatedFileWarnsOnStderr) {
  const fs::path parfile = Write("velX = 1\nvelY = 2\nvelZ = 3\n");
  const RunResult run = Run(parfile);
  ASSERT_EQ(run.exit_code, 0) << run.err;
  EXPECT_EQ(run.err, parfile.string() +
                         ": only 3 of the 27 value lines present; the rest take their defaults\n");
  EXPECT_EQ(nlohmann::json::parse(run.out)["velY"], 2.0);
}

TEST_F(ParamsCommandTest, MissingFileExitsWithTwoAndNamesIt) {
  const fs::path missing = dir_ / "no_such_ML_CC_AE_pars.txt";
  const RunResult run = Run(missing);
  EXPECT_EQ(run.exit_code, 2);
  EXPECT_EQ(run.out, "");
  EXPECT_NE(run.err.find(missing.string()), std::string::npos) << run.err;
  EXPECT_NE(run.err.find("No such file"), std::string::npos) << run.err;
  EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << run.err;
}

}  // namespace
