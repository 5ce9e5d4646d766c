// Runs `Quorvex_AE run` as a user would and checks its exit status, its
// output and the log it leaves.
#include <gtest/gtest.h>

#include "support/cli_runner.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>

#include "support/test_paths.h"
#include "wave/formats/seg2_reader.h"
#include "wave/formats/seg2_writer.h"

namespace {

namespace fs = std::filesystem;
using qae::test::Quote;
using qae::test::RunResult;

std::string ReadFile(const fs::path& path) { return qae::test::ReadText(path.string()); }

std::size_t LineCount(const std::string& text) {
  std::size_t n = 0;
  for (char c : text) n += c == '\n';
  return n;
}

class RunCommandTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = scratch_.path();
    for (const char* d : {"/tpl", "/data", "/out"}) fs::create_directories(dir_ + d);
    par_file_ = dir_ + "/ML_CC_AE_pars.txt";
    std::ofstream(par_file_, std::ios::binary)
        << "velX = 7\nvelY = 7\nvelZ = 7\nr1 = 0.3\npre = 1\npost = 3\ndup = 250\n"
           "r2 = 0\nr3 = 0.3\nfLow = 0.1\nfHigh = 3\nr4 = 0.9\nccMin = 0.5\nsnr = 2\n"
           "hx = 0.5\nhy = 0.5\nhz = 0.5\nsx = 5\nsy = 5\nsz = 5\n"
        << "templateDir = \"" << dir_ << "/tpl/\"\n"
        << "dataPath = \"" << dir_ << "/data/\"\n"
        << "outDir = \"" << dir_ << "/out/\"\n"
        << "maxTemplates = 1000 iTS= -1 iTE=-1\nr5 = 1000\noutLevel = 2\nwell = 12\n"
           "all = 0\n[END]\n";
  }

  void WriteTemplate(const std::string& name) {
    qae::XL_WaveDataSeg2 rec;
    for (int t = 0; t < 4; ++t) {
      auto trace = std::make_unique<qae::XL_WaveTrace>(512);
      trace->samplingInterval = 0.1;
      for (int i = 0; i < 512; ++i) trace->samples[static_cast<std::size_t>(i)] = static_cast<float>(i % 13);
      rec.AddTrace(std::move(trace));
    }
    ASSERT_EQ(qae::WriteSeg2(dir_ + "/tpl/" + name, rec, 0, 0, 1), 1);
  }

  RunResult Run(const std::string& args) { return qae::test::RunCli(args, dir_); }

  qae::test::ScratchDir scratch_;
  std::string dir_;
  std::string par_file_;
};

TEST_F(RunCommandTest, SingleRunScansTheRangeAndNamesTheCompletedLog) {
  WriteTemplate("000004.sg2");
  // As typed in the dialog, and as a launched instance receives it. Only
  // the template's number is in the range and no event file is there:
  // nothing to scan, which has its own exit status.
  for (const char* range : {"3,5,+=0", "3,5;", "3,5,+=-2"}) {
    SCOPED_TRACE(range);
    const RunResult r = Run("run " + Quote(par_file_) + " " + Quote(range));
    ASSERT_EQ(r.exit_code, 3) << r.err;
    const std::string log = dir_ + "/out/Log_000003_000005_OK.txt";
    EXPECT_EQ(r.out, "detected=0 scanned=0 missing=2 unwritten=0 log=" + log + "\n");
    EXPECT_EQ(r.err, "Quorvex_AE: warning: nothing to scan: not one record of " + dir_ +
                         "/data/ in 3..5 could be read\n");
    EXPECT_NE(ReadFile(log).find("  Skip template event (AE#=4)\n"), std::string::npos);
    fs::remove(log);
  }
}

TEST_F(RunCommandTest, BadInputIsAOneLineUsageErrorAndRunsNothing) {
  WriteTemplate("000004.sg2");
  const std::string cases[] = {
      "run " + Quote(par_file_) + " 5",                              // no last number
      "run " + Quote(par_file_) + " " + Quote("a,b,+=0"),            // not numbers
      "run " + Quote(par_file_) + " " + Quote("0,99999999999,+=0"),  // beyond the int range
      "run " + Quote(par_file_) + " " + Quote("0,150000,+=1"),       // far too many instances
      "run " + Quote(dir_ + "/missing_pars.txt") + " " + Quote("0,10,+=0"),
      "run " + Quote(par_file_) + " " + Quote("46,1,+=0"),  // reversed: once ran nothing, silently
      "run " + Quote(par_file_) + " " + Quote("1,46,step=0"),  // once taken as step 0
      "run " + Quote(par_file_) + " " + Quote("1,46,+=0 x"),
  };
  for (const std::string& args : cases) {
    SCOPED_TRACE(args);
    const RunResult r = Run(args);
    EXPECT_EQ(r.exit_code, 2);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(LineCount(r.err), 1u) << r.err;
  }
  EXPECT_NE(Run(cases[3]).err.find("step"), std::string::npos);
  const std::string guidance =
      "Give AE numbers as \"0,1500,+=500\" for multiple runs or \"0,1500,+=0\" for a single run";
  EXPECT_EQ(Run(cases[5]).err, "Quorvex_AE: malformed RANGE '46,1,+=0': the first AE number is "
                               "above the last. " + guidance + " in the text box!\n");
  EXPECT_NE(Run(cases[6]).err.find(guidance), std::string::npos);
  EXPECT_TRUE(fs::is_empty(dir_ + "/out"));
}

// Values no run can use are refused before anything is written, naming the
// field (a NaN threshold) or the size the grid would need.
TEST_F(RunCommandTest, UnusableParametersAreRefusedAtTheStart) {
  WriteTemplate("000004.sg2");
  const std::string text = ReadFile(par_file_);
  const std::pair<const char*, const char*> cases[] = {
      {"ccMin = 0.5", "ccMin = nan"},
      {"dup = 250", "dup = -1"},
      {"sx = 5", "sx = 2147483647"},
  };
  for (const auto& [from, to] : cases) {
    SCOPED_TRACE(to);
    std::string changed = text;
    changed.replace(changed.find(from), std::string(from).size(), to);
    { std::ofstream(par_file_, std::ios::binary) << changed; }
    const RunResult r = Run("run " + Quote(par_file_) + " " + Quote("0,5,+=0"));
    EXPECT_EQ(r.exit_code, 2) << r.err;
    EXPECT_EQ(r.out, "");
    EXPECT_TRUE(fs::is_empty(dir_ + "/out"));
  }
  EXPECT_NE(Run("run " + Quote(par_file_) + " " + Quote("0,5,+=0")).err.find(
                "offsets would need"),
            std::string::npos);
}

TEST_F(RunCommandTest, RunWithoutTemplatesFails) {
  const RunResult r = Run("run " + Quote(par_file_) + " " + Quote("0,3,+=0"));
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_NE(r.err.find("Number of templates is 0"), std::string::npos) << r.err;
  EXPECT_TRUE(fs::exists(dir_ + "/out/Log_000000_000003.txt"));
}

TEST_F(RunCommandTest, HelpDescribesTheCommand) {
  EXPECT_NE(Run("--help").out.find("run"), std::string::npos);
  const RunResult r = Run("run --help");
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_NE(r.out.find("first,last,+=step"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("_OK.txt"), std::string::npos);
}

}  // namespace
