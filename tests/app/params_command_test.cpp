// Runs `Quorvex_AE params` as a user would and checks its stdout, stderr
// and exit status.
#include <gtest/gtest.h>

#include "support/cli_runner.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "util/process.h"

namespace {

namespace fs = std::filesystem;
using qae::test::RunResult;

// Value lines "v<i> = 1" for i from `first` to `last`.
std::string OnesLines(int first, int last) {
  std::string text;
  for (int i = first; i <= last; ++i) {
    text += 'v';
    text += std::to_string(i);
    text += " = 1\n";
  }
  return text;
}

class ParamsCommandTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() /
           ("qae_params_cli_" + std::to_string(qae::OwnProcessId()) + "_" +
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

TEST_F(ParamsCommandTest, PrintsEveryFieldInFileOrderThenSourcesAndWarnings) {
  fs::create_directories(dir_ / "my templates");
  fs::create_directories(dir_ / "events");
  fs::create_directories(dir_ / "out");
  const std::string d = dir_.string() + "/";
  const fs::path parfile = Write(
      "velX = 6.5\nvelY = 6.6\nvelZ = 6.7\nr1 = 0.3\npre = 1.5\npost = 4\ndup = 300\n"
      "r2 = 0.1\nr3 = 0.2\nfLow = 0.05\nfHigh = 0.3\nr4 = 0.8\nccMin = 0.65\nsnr = 3\n"
      "hx = 1.5\nhy = 2.5\nhz = 3.5\nsx = 6\nsy = 7\nsz = 8\n"
      "templateDir = \"" + d + "my templates/\"\ndataPath = " + d + "events/\n"
      "outDir = " + d + "out/\n"
      "maxTemplates = -200 iTS= 5 iTE=10\nr5 = 900\noutLevel = 3\nwell = 10\n"
      "all = 1\nmean = 1\n[END]\nend\n");
  const RunResult run = Run(parfile);
  ASSERT_EQ(run.exit_code, 0) << run.err;
  EXPECT_EQ(run.err, "");
  const auto json = nlohmann::ordered_json::parse(run.out);
  std::vector<std::string> keys;
  for (const auto& item : json.items()) keys.push_back(item.key());
  // Other tools read the settings by these keys; new keys only go at the end.
  EXPECT_EQ(keys, (std::vector<std::string>{
                      "velX",        "velY",       "velZ",       "reserved1",    "preWin",
                      "postWin",     "dupWin",     "reserved2",  "reserved3",    "fLow",
                      "fHigh",       "reserved4",  "ccMin",      "snrMin",       "gridHalfX",
                      "gridHalfY",   "gridHalfZ",  "gridStepsX", "gridStepsY",   "gridStepsZ",
                      "templateDir", "dataPath",   "outDir",     "maxTemplates", "iTS",
                      "iTE",         "reserved5",  "outLevel",   "wellLocatedM", "all",
                      "mean",        "minStations", "source",    "warnings",     "errors"}));
  EXPECT_EQ(json["templateDir"], d + "my templates/");
  EXPECT_EQ(json["maxTemplates"], -200);
  EXPECT_EQ(json["mean"], 1);
  EXPECT_EQ(json["minStations"], 4);
  // Floats print as their shortest decimal, not as the widened double.
  EXPECT_NE(run.out.find("\"reserved1\": 0.3,"), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("\"ccMin\": 0.65,"), std::string::npos) << run.out;

  const auto& source = json["source"];
  EXPECT_EQ(source.size(), 31u);
  EXPECT_EQ(source["velX"], nlohmann::ordered_json::parse(R"({"line": 1, "text": "velX = 6.5"})"));
  EXPECT_EQ(source["iTE"]["line"], 24);
  EXPECT_EQ(source["mean"]["line"], 29);
  EXPECT_FALSE(source.contains("minStations"));
  EXPECT_EQ(json["warnings"], nlohmann::ordered_json::array());
  EXPECT_EQ(json["errors"], nlohmann::ordered_json::array());
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

TEST_F(ParamsCommandTest, TruncatedFileWarnsOnStderrAndInTheJson) {
  const fs::path parfile = Write("velX = 1\nvelY = 2\nvelZ = 3\n");
  const RunResult run = Run(parfile);
  ASSERT_EQ(run.exit_code, 0) << run.err;
  const auto json = nlohmann::json::parse(run.out);
  EXPECT_EQ(json["velY"], 2.0);
  EXPECT_EQ(json["source"]["velZ"]["line"], 3);
  EXPECT_EQ(json["source"]["preWin"], nlohmann::json::parse(R"({"default": true})"));
  // Each warning of the JSON is one stderr line, in the same order.
  std::string expected_err;
  for (const auto& w : json["warnings"]) {
    expected_err += parfile.string() + ": warning: " + w.get<std::string>() + "\n";
  }
  EXPECT_EQ(run.err, expected_err);
  ASSERT_EQ(json["warnings"].size(), 4u) << run.err;  // The end, then three empty folders.
  EXPECT_TRUE(json["warnings"][0].get<std::string>().starts_with(
      "line 3: the file ends after 3 of the 27 value lines (3 lines in all); reserved1, "))
      << run.err;
  EXPECT_EQ(json["warnings"][3],
            "outDir: empty, so the log and the results are written to the current directory");
}

TEST_F(ParamsCommandTest, StrictRefusesAnyWarning) {
  std::string text = OnesLines(1, 12) + "ccMin = 0,6\nsnrMin = 2\n" + OnesLines(15, 20);
  const std::string d = dir_.string() + "/";
  text += "t = " + d + "\nd = " + d + "\no = " + d + "\nmax = 10\nr5 = 1\nlevel = 2\nwell = 12\n";
  const fs::path parfile = Write(text);
  const std::string warning = parfile.string() +
                              ": warning: line 13: ccMin: \"ccMin = 0,6\" reads as 0 (the number "
                              "stops at \",6\")\n";
  const RunResult lenient = Run(parfile);
  EXPECT_EQ(lenient.exit_code, 0) << lenient.err;
  EXPECT_EQ(lenient.err, warning);

  const RunResult strict = qae::test::RunCli(
      "params --strict " + qae::test::Quote(parfile.string()), dir_.string());
  EXPECT_EQ(strict.exit_code, 2);
  EXPECT_TRUE(strict.err.starts_with(warning)) << strict.err;
  EXPECT_NE(strict.err.find("refused with --strict: 1 warning"), std::string::npos) << strict.err;

  // Without the warning, --strict passes.
  text.replace(text.find("0,6"), 3, "0.6");
  const RunResult clean = qae::test::RunCli(
      "params --strict " + qae::test::Quote(Write(text).string()), dir_.string());
  EXPECT_EQ(clean.exit_code, 0) << clean.err;
  EXPECT_EQ(clean.err, "");
}

TEST_F(ParamsCommandTest, NanThresholdIsRefusedEvenWithoutStrict) {
  const std::string text = OnesLines(1, 12) + "ccMin = nan\n";
  const fs::path parfile = Write(text);
  const RunResult run = Run(parfile);
  EXPECT_EQ(run.exit_code, 2);
  EXPECT_NE(run.err.find(parfile.string() +
                         ": error: line 13: ccMin: nan is not a number a run can use\n"),
            std::string::npos)
      << run.err;
  // The settings still print, so the user sees what was read.
  const auto json = nlohmann::json::parse(run.out);
  EXPECT_TRUE(json["ccMin"].is_null());
  EXPECT_EQ(json["errors"],
            nlohmann::json::parse(R"(["line 13: ccMin: nan is not a number a run can use"])"));
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
