// Launched instances as real processes on a tiny synthetic experiment: the
// launch argument run headless, `run` with a step launching and waiting,
// a failed launch, and the progress line of a single run.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "app/headless_platform.h"
#include "support/cli_runner.h"
#include "support/platform.h"
#include "support/test_paths.h"
#include "synth/synthetic_experiment.h"
#include "util/path.h"
#include "util/process.h"

namespace {

namespace fs = std::filesystem;

struct ProcessResult {
  int exit_code = -1;
  std::string out;
  std::string err;
  double seconds = 0.0;
};

std::string ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

std::size_t Count(const std::string& text, const std::string& what) {
  std::size_t n = 0;
  for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) {
    ++n;
  }
  return n;
}

// The AE numbers of the result table's rows (the lines after PLOT_XY).
std::multiset<int> TableRows(const std::string& table_path) {
  std::multiset<int> rows;
  std::istringstream in(ReadFile(table_path));
  std::string line;
  bool body = false;
  while (std::getline(in, line)) {
    if (body && !line.empty()) rows.insert(std::atoi(line.c_str()));
    if (line.rfind("PLOT_XY", 0) == 0) body = true;
  }
  return rows;
}

class LaunchedInstanceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    qae::synth::SyntheticOptions options;
    options.n_sensors = 4;
    options.n_templates = 1;
    options.n_events = 2;
    options.n_samples = 1024;
    options.special_files = false;
    std::string error;
    ASSERT_TRUE(qae::synth::GenerateSyntheticExperiment(scratch_.File("exp"), options,
                                                        &experiment_, &error))
        << error;
  }

  // Runs `command` without a display, so that an instance takes its
  // headless path whatever session the tests run in (on Windows the tests
  // run without one: under Wine, with no X display).
  ProcessResult Shell(const std::string& command) {
    const auto start = std::chrono::steady_clock::now();
    const qae::test::RunResult run = qae::test::RunCommandLine(
        command, scratch_.path(),
        qae::test::kOnWindows ? "" : "env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM");
    ProcessResult r;
    r.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    r.exit_code = run.exit_code;
    r.out = run.out;
    r.err = run.err;
    return r;
  }

  static std::string Quoted(const std::string& s) { return qae::test::Quote(s); }

  qae::test::ScratchDir scratch_;
  qae::synth::SyntheticExperiment experiment_;
};

TEST_F(LaunchedInstanceTest, HeadlessInstanceRunsItsRangeAfterASecondAndEnds) {
  const ProcessResult r = Shell(Quoted(QAE_EXECUTABLE) + " " +
                                Quoted(experiment_.par_file + ";1;2;"));
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_GE(r.seconds, 0.9);
  EXPECT_EQ(r.out, "");
  EXPECT_NE(r.err.find("In calculation, taking a few hours to days..."), std::string::npos)
      << r.err;
  EXPECT_NE(r.err.find("Ended!"), std::string::npos) << r.err;
  EXPECT_TRUE(fs::exists(experiment_.out_dir + "Log_000001_000002_OK.txt"));
  EXPECT_EQ(TableRows(experiment_.out_dir + "ML_detect.ps0"), (std::multiset<int>{1, 2}));
}

TEST_F(LaunchedInstanceTest, MalformedArgumentIsReportedRunsNothingAndEnds) {
  const ProcessResult r = Shell(Quoted(QAE_EXECUTABLE) + " " +
                                Quoted(experiment_.par_file + ";1;"));
  EXPECT_EQ(r.exit_code, 2);
  EXPECT_LT(r.seconds, 30.0);
  EXPECT_NE(r.err.find("Malformed command line"), std::string::npos) << r.err;
  EXPECT_EQ(Count(r.err, "Malformed command line"), 1u) << r.err;
  EXPECT_TRUE(fs::is_empty(experiment_.out_dir));
}

TEST_F(LaunchedInstanceTest, RunWithAStepLaunchesInstancesAndWaitsForThem) {
  const ProcessResult r = Shell(Quoted(QAE_EXECUTABLE) + " run " +
                                Quoted(experiment_.par_file) + " 1,3,+=1 --wait");
  ASSERT_EQ(r.exit_code, 0) << r.out << r.err;
  // About ten seconds between the two launches.
  EXPECT_GE(r.seconds, 9.5);
  EXPECT_EQ(Count(r.out, "launched pid="), 2u) << r.out;
  EXPECT_NE(r.out.find("first=1 last=1 argument=" + experiment_.par_file + ";1;1;\n"),
            std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find("first=2 last=2 exit=0\n"), std::string::npos) << r.out;
  EXPECT_EQ(Count(r.out, " exit=0\n"), 2u) << r.out;
  EXPECT_TRUE(fs::exists(experiment_.out_dir + "Log_000001_000001_OK.txt"));
  EXPECT_TRUE(fs::exists(experiment_.out_dir + "Log_000002_000002_OK.txt"));
  // Both processes appended to the one shared table.
  EXPECT_EQ(TableRows(experiment_.out_dir + "ML_detect.ps0"), (std::multiset<int>{1, 2}));
}

// An instance that could not write its detections says so and ends with 1,
// and --wait passes that on.
TEST_F(LaunchedInstanceTest, LostOutputsOfAnInstanceFailTheWait) {
  // A folder where a rewritten event file would be staged: the rewrite
  // fails, as on a full disk.
  for (const char* name : {"000001.sg2.qae-staged/keep", "000002.sg2.qae-staged/keep"}) {
    fs::create_directories(experiment_.data_dir + name);
  }
  const ProcessResult r = Shell(Quoted(QAE_EXECUTABLE) + " run " +
                                Quoted(experiment_.par_file) + " 1,3,+=5 --wait");
  EXPECT_EQ(r.exit_code, 1) << r.out << r.err;
  EXPECT_NE(r.out.find("first=1 last=2 exit=1\n"), std::string::npos) << r.out;
  EXPECT_NE(r.err.find("not written"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("The run did not complete"), std::string::npos) << r.err;
  EXPECT_FALSE(fs::exists(experiment_.out_dir + "Log_000001_000002_OK.txt"));
  EXPECT_TRUE(TableRows(experiment_.out_dir + "ML_detect.ps0").empty());
}

TEST_F(LaunchedInstanceTest, AFailedLaunchIsReported) {
  // A copy of the program in a directory without a Quorvex_AE beside it.
  const fs::path alone = scratch_.File(qae::ExecutableFileName("bin/qae_alone"));
  fs::create_directories(alone.parent_path());
  std::error_code ec;
  fs::create_hard_link(QAE_EXECUTABLE, alone, ec);
  if (ec) fs::copy_file(QAE_EXECUTABLE, alone);
  const ProcessResult r =
      Shell(Quoted(alone.string()) + " run " + Quoted(experiment_.par_file) + " 1,3,+=1 --wait");
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(r.out, "");
  const std::string missing = "Could not start instance 1 of 2 (AE 1 to 1): " +
                              qae::PathText(alone.parent_path()) + "/" +
                              qae::ExecutableFileName("Quorvex_AE") + ": ";
  EXPECT_NE(r.err.find(missing), std::string::npos) << r.err;
  if (!qae::test::kOnWindows) {
    EXPECT_NE(r.err.find(missing + "No such file or directory"), std::string::npos) << r.err;
  }
  EXPECT_LT(r.seconds, 9.0);  // no wait after a failure
}

TEST_F(LaunchedInstanceTest, ProgressLineOnlyOnATerminal) {
  const std::string command =
      Quoted(QAE_EXECUTABLE) + " run " + Quoted(experiment_.par_file) + " 1,2,+=0";
  const ProcessResult quiet = Shell(command);
  ASSERT_EQ(quiet.exit_code, 0) << quiet.err;
  EXPECT_EQ(quiet.err, "");

  if (qae::test::kOnWindows) GTEST_SKIP() << "needs a pseudo-terminal (script)";
  // `script` gives the run a terminal for its standard streams.
  fs::remove(experiment_.out_dir + "Log_000001_000002_OK.txt");
  const ProcessResult on_tty = Shell("script -qec " + Quoted(command) + " /dev/null");
  ASSERT_EQ(on_tty.exit_code, 0) << on_tty.out << on_tty.err;
  EXPECT_NE(on_tty.out.find("AE 2/2 done, "), std::string::npos) << on_tty.out;
  EXPECT_NE(on_tty.out.find(" elapsed, "), std::string::npos);
}

TEST(HeadlessPlatformTest, StartingAMissingExecutableFailsWithTheReason) {
  qae::HeadlessPlatform platform;
  qae::StartedProcess started;
  std::string error;
  EXPECT_FALSE(platform.StartProcess("/nonexistent/dir/Quorvex_AE", "p;1;2;", &started, &error));
  if (qae::test::kOnWindows) {
    EXPECT_FALSE(error.empty());
  } else {
    EXPECT_EQ(error, "No such file or directory");
  }
  EXPECT_EQ(fs::path(platform.ExecutablePath()).filename(), qae::ExecutableFileName("qae_tests"));
}

}  // namespace
