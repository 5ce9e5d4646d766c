// A run interrupted at any write, or short of disk space, and then run
// again over the same range, ends with every detection exactly once in the
// result table and in the files, every file whole, and nothing left over.
// The crashes are injected (QAE_CRASH_AT: the process ends at the N-th
// durable write, as a kill -9 would leave it), one run per write of a
// small synthetic experiment.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "support/cli_runner.h"
#include "support/platform.h"
#include "support/test_paths.h"
#include "util/text.h"
#include "wave/formats/seg2_reader.h"

namespace {

namespace fs = std::filesystem;
using qae::test::Quote;
using qae::test::ReadText;
using qae::test::RunResult;

constexpr int kCrashExit = 137;

// The columns of a row that do not depend on the dither (which a rerun
// draws anew): AE#, t0, CC, SNR1, SNR2, #_T.
std::string RowKey(const std::string& row) {
  std::vector<std::string> f;
  std::size_t begin = 0;
  for (;;) {
    const std::size_t tab = row.find('\t', begin);
    f.push_back(row.substr(begin, tab == std::string::npos ? std::string::npos : tab - begin));
    if (tab == std::string::npos) break;
    begin = tab + 1;
  }
  if (f.size() != 15) return "malformed row: " + row;
  return f[0] + "|" + f[1] + "|" + f[6] + "|" + f[7] + "|" + f[8] + "|" + f[13];
}

// How often each detection is in the table; the table must be whole lines.
std::map<std::string, int> TableKeys(const std::string& table_path) {
  std::map<std::string, int> keys;
  const std::string text = ReadText(table_path);
  EXPECT_TRUE(text.empty() || text.back() == '\n') << "torn last line in " << table_path;
  std::size_t begin = 0;
  int line = 0;
  for (std::size_t nl; (nl = text.find('\n', begin)) != std::string::npos; begin = nl + 1) {
    if (++line > 7) ++keys[RowKey(text.substr(begin, nl - begin))];
  }
  return keys;
}

// Leftovers of interrupted writes anywhere under `dir`.
std::vector<std::string> Leftovers(const std::string& dir) {
  std::vector<std::string> found;
  for (const auto& e : fs::recursive_directory_iterator(dir)) {
    const std::string name = e.path().filename().string();
    if (name.find(".qae-") != std::string::npos || name.find(".tmp.") != std::string::npos) {
      found.push_back(e.path().string());
    }
  }
  return found;
}

// Every SEG-2 file under `dir` reads whole; returns how many carry a
// detection line.
int CheckSeg2Files(const std::string& dir) {
  int marked = 0;
  for (const auto& e : fs::recursive_directory_iterator(dir)) {
    if (e.path().extension() != ".sg2") continue;
    qae::XL_WaveDataSeg2 record;
    EXPECT_EQ(record.Load(e.path().string(), 1, 0, 0), 1) << e.path();
    if (std::string(qae::TextOf(record.header.comments)).find("detected: ") != std::string::npos) {
      ++marked;
    }
  }
  return marked;
}

class CrashRecoveryTest : public ::testing::Test {
 protected:
  // A fresh synthetic experiment in `name` (the same files for the same
  // options); returns the parameter file.
  std::string Experiment(const std::string& name, const std::string& options) {
    const std::string dir = scratch_.File(name);
    fs::remove_all(dir);
    const RunResult r =
        qae::test::RunCli("synth " + Quote(dir) + " --seed 3 --templates 2 --sensors 8 " + options,
                          scratch_.path());
    EXPECT_EQ(r.exit_code, 0) << r.err;
    return dir + "/ML_CC_AE_pars.txt";
  }

  RunResult Run(const std::string& par_file, const std::string& range,
                const std::string& shell = std::string()) {
    return qae::test::RunCli("run " + Quote(par_file) + " " + range, scratch_.path(), shell);
  }

  // For every crash point of a run over `range`: crash there, run again
  // (crashing the rerun too at its first write when `crash_rerun`), run
  // again, and compare with an uninterrupted run.
  void CrashAtEveryWrite(const std::string& options, const std::string& range,
                         const std::string& marked_dir, bool crash_rerun) {
    const std::string clean_par = Experiment("clean", options);
    const RunResult clean = Run(clean_par, range);
    ASSERT_EQ(clean.exit_code, 0) << clean.err;
    const std::string clean_dir = scratch_.File("clean");
    const std::map<std::string, int> expected = TableKeys(clean_dir + "/out/ML_detect.ps0");
    ASSERT_GE(expected.size(), 3u);
    const int expected_marked = CheckSeg2Files(clean_dir + "/" + marked_dir);

    int crashes = 0;
    for (int n = 1; n < 200; ++n) {
      SCOPED_TRACE("crash at write " + std::to_string(n));
      const std::string par = Experiment("crash", options);
      const std::string dir = scratch_.File("crash");
      const RunResult crashed = Run(par, range, "QAE_CRASH_AT=" + std::to_string(n));
      if (crashed.exit_code != kCrashExit) {
        // Past the last write: the run completed.
        ASSERT_EQ(crashed.exit_code, 0) << crashed.err;
        break;
      }
      ++crashes;
      if (crash_rerun) {
        const RunResult again = Run(par, range, "QAE_CRASH_AT=1");
        ASSERT_TRUE(again.exit_code == kCrashExit || again.exit_code == 0) << again.err;
      }
      const RunResult rerun = Run(par, range);
      ASSERT_EQ(rerun.exit_code, 0) << rerun.err << rerun.out;
      EXPECT_EQ(TableKeys(dir + "/out/ML_detect.ps0"), expected);
      EXPECT_EQ(CheckSeg2Files(dir + "/" + marked_dir), expected_marked);
      EXPECT_EQ(Leftovers(dir), std::vector<std::string>());
      if (HasFailure()) return;
    }
    // Each detected record passes its files and its mark; each group of
    // records committed together its journal, its rows and the journal's
    // removal.
    EXPECT_GE(crashes, 2 * static_cast<int>(expected.size()) + 3);
  }

  // Runs over `range` killed (kill -9) at moments spread over the length
  // of an uninterrupted run, with some jitter, each followed by a rerun:
  // the writer thread is caught wherever it happens to be.
  void KillAtRandomMoments(const std::string& options, const std::string& range,
                           const std::string& marked_dir, int kills) {
    const std::string clean_par = Experiment("clean", options);
    const auto start = std::chrono::steady_clock::now();
    const RunResult clean = Run(clean_par, range);
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    ASSERT_EQ(clean.exit_code, 0) << clean.err;
    const std::string clean_dir = scratch_.File("clean");
    const std::map<std::string, int> expected = TableKeys(clean_dir + "/out/ML_detect.ps0");
    ASSERT_GE(expected.size(), 3u);
    const int expected_marked = CheckSeg2Files(clean_dir + "/" + marked_dir);

    std::mt19937 random(15);
    std::uniform_real_distribution<double> jitter(0.0, 1.0);
    int killed = 0;
    for (int i = 0; i < kills; ++i) {
      const double delay = seconds * (i + jitter(random)) / kills;
      SCOPED_TRACE("killed after " + std::to_string(delay) + " s");
      const std::string par = Experiment("killed", options);
      const std::string dir = scratch_.File("killed");
      const std::string run = Quote(QAE_EXECUTABLE) + " run " + Quote(par) + " " + range;
      const RunResult r = qae::test::RunCommandLine(
          Quote(run + " >/dev/null 2>&1 & p=$!; sleep " + std::to_string(delay) +
                "; kill -9 $p 2>/dev/null; wait $p"),
          scratch_.path(), "sh -c");
      ASSERT_TRUE(r.exit_code == 137 || r.exit_code == 0) << r.exit_code;
      killed += r.exit_code == 137 ? 1 : 0;
      const RunResult rerun = Run(par, range);
      ASSERT_EQ(rerun.exit_code, 0) << rerun.err << rerun.out;
      EXPECT_EQ(TableKeys(dir + "/out/ML_detect.ps0"), expected);
      EXPECT_EQ(CheckSeg2Files(dir + "/" + marked_dir), expected_marked);
      EXPECT_EQ(Leftovers(dir), std::vector<std::string>());
      if (HasFailure()) return;
    }
    EXPECT_GE(killed, kills / 2);
  }

  qae::test::ScratchDir scratch_;
};

TEST_F(CrashRecoveryTest, EventFilesKilledAtEveryWriteThenRerunHoldEachDetectionOnce) {
  CrashAtEveryWrite("--events 5 --samples 2048", "1,10,+=0", "events", false);
}

TEST_F(CrashRecoveryTest, AnInterruptedRecoveryIsFinishedByTheNextRun) {
  CrashAtEveryWrite("--events 3 --samples 2048", "1,8,+=0", "events", true);
}

TEST_F(CrashRecoveryTest, ContinuousRecordingKilledAtEveryWriteThenRerunHoldsEachDetectionOnce) {
  CrashAtEveryWrite("--continuous --events 4", "0,9,+=0", "out", false);
}

TEST_F(CrashRecoveryTest, EventFilesKilledAtRandomMomentsThenRerunHoldEachDetectionOnce) {
  if (qae::test::kOnWindows) GTEST_SKIP() << "kills through the POSIX shell";
  KillAtRandomMoments("--events 8 --samples 2048", "1,12,+=0", "events", 6);
}

TEST_F(CrashRecoveryTest, ContinuousRecordingKilledAtRandomMomentsThenRerunHoldsEachDetectionOnce) {
  if (qae::test::kOnWindows) GTEST_SKIP() << "kills through the POSIX shell";
  KillAtRandomMoments("--continuous --events 4", "0,9,+=0", "out", 4);
}

// Writes that fail for want of space (a file-size limit stands in for a
// full disk; the tests' shell, sh, counts it in 512-byte blocks): nothing half written, nothing marked that has no row, exit 1
// without an "_OK" log, and a rerun with space writes everything.
TEST_F(CrashRecoveryTest, FullDiskLosesNothingThatARerunCannotWrite) {
  if (qae::test::kOnWindows) {
    GTEST_SKIP() << "needs a file-size limit (ulimit -f); Windows has no counterpart";
  }
  const std::string par = Experiment("full", "--events 5 --samples 2048");
  const std::string dir = scratch_.File("full");
  const std::string clean_par = Experiment("clean", "--events 5 --samples 2048");
  ASSERT_EQ(Run(clean_par, "1,10,+=0").exit_code, 0);
  const auto expected = TableKeys(scratch_.File("clean") + "/out/ML_detect.ps0");
  ASSERT_GE(expected.size(), 3u);
  int rows = 0;
  for (const auto& [key, count] : expected) rows += count;
  const std::string n = std::to_string(rows);

  // Event files are 36 KB: no rewrite fits under 32 KB, the log and table do.
  const RunResult full = Run(par, "1,10,+=0", "ulimit -f 64; trap '' XFSZ;");
  EXPECT_EQ(full.exit_code, 1) << full.out << full.err;
  EXPECT_EQ(full.out.rfind("detected=0 scanned=5 missing=1 unwritten=" + n + " log=", 0), 0u)
      << full.out;
  EXPECT_NE(full.err.find("not written"), std::string::npos) << full.err;
  EXPECT_FALSE(fs::exists(dir + "/out/Log_000001_000010_OK.txt"));
  const std::string log = ReadText(dir + "/out/Log_000001_000010.txt");
  EXPECT_NE(log.find(" !Incomplete: " + n + " detections not written; rerunning the same range"),
            std::string::npos)
      << log;
  EXPECT_TRUE(TableKeys(dir + "/out/ML_detect.ps0").empty());
  EXPECT_EQ(CheckSeg2Files(dir + "/events"), 1);  // the one the experiment marks itself
  EXPECT_EQ(Leftovers(dir), std::vector<std::string>());

  // A log that cannot be written is a loss of its own.
  const RunResult no_log = Run(par, "1,10,+=0", "ulimit -f 16; trap '' XFSZ;");
  EXPECT_EQ(no_log.exit_code, 1);
  EXPECT_NE(no_log.err.find("the log could not be written"), std::string::npos) << no_log.err;
  EXPECT_FALSE(fs::exists(dir + "/out/Log_000001_000010_OK.txt"));
  EXPECT_EQ(Leftovers(dir), std::vector<std::string>());

  const RunResult rerun = Run(par, "1,10,+=0");
  ASSERT_EQ(rerun.exit_code, 0) << rerun.err;
  EXPECT_EQ(TableKeys(dir + "/out/ML_detect.ps0"), expected);
  // The incomplete log is kept beside the completed one.
  EXPECT_TRUE(fs::exists(dir + "/out/Log_000001_000010.bak1.txt"));
  EXPECT_TRUE(fs::exists(dir + "/out/Log_000001_000010_OK.txt"));
}

// A table that cannot take the rows: they are taken back whole, and the
// event files stay unmarked.
TEST_F(CrashRecoveryTest, TableThatCannotGrowIsCutBackAndNothingIsMarked) {
  if (qae::test::kOnWindows) {
    GTEST_SKIP() << "needs a file-size limit (ulimit -f); Windows has no counterpart";
  }
  const std::string par = Experiment("table", "--events 5 --samples 2048");
  const std::string dir = scratch_.File("table");
  // Under a 40 KB file-size limit the event files (34 KB) can be rewritten,
  // but the table is filled to just under it: no record's rows fit.
  std::string filler = "PSDATA02\n";
  while (filler.size() < 40 * 1024 - 60) filler += "0\t0\t0\t0\t0\t0\t0\t0\t0\t0\t0\t0\t0\t0\t0\n";
  { std::ofstream(dir + "/out/ML_detect.ps0", std::ios::binary) << filler; }
  const RunResult r = Run(par, "1,10,+=0", "ulimit -f 80; trap '' XFSZ;");
  EXPECT_EQ(r.exit_code, 1) << r.out << r.err;
  EXPECT_EQ(ReadText(dir + "/out/ML_detect.ps0"), filler);
  EXPECT_EQ(CheckSeg2Files(dir + "/events"), 1);
  EXPECT_EQ(Leftovers(dir), std::vector<std::string>());
}

TEST_F(CrashRecoveryTest, MissingOutputFolderStopsBeforeScanningAndMarksNothing) {
  const std::string par = Experiment("gone", "--events 5 --samples 2048");
  const std::string dir = scratch_.File("gone");
  fs::remove_all(dir + "/out");
  const RunResult r = Run(par, "1,10,+=0");
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_NE(r.err.find("cannot write the run's log"), std::string::npos) << r.err;
  EXPECT_NE(r.out.find("detected=0 "), std::string::npos) << r.out;
  EXPECT_EQ(CheckSeg2Files(dir + "/events"), 1);
  fs::create_directory(dir + "/out");
  EXPECT_EQ(Run(par, "1,10,+=0").exit_code, 0);
  const std::string clean_par = Experiment("clean", "--events 5 --samples 2048");
  ASSERT_EQ(Run(clean_par, "1,10,+=0").exit_code, 0);
  EXPECT_EQ(TableKeys(dir + "/out/ML_detect.ps0"),
            TableKeys(scratch_.File("clean") + "/out/ML_detect.ps0"));
}

// A complete continuous run run again: its segments with detections are
// skipped (as marked event files are), the others scanned again, and no
// row is added; with `all` set every segment is scanned and written again.
TEST_F(CrashRecoveryTest, ContinuousRerunAddsNoRowUnlessAllIsSet) {
  const std::string par = Experiment("cont", "--continuous --events 4");
  const std::string dir = scratch_.File("cont");
  ASSERT_EQ(Run(par, "0,9,+=0").exit_code, 0);
  const auto first = TableKeys(dir + "/out/ML_detect.ps0");
  const RunResult again = Run(par, "0,9,+=0");
  ASSERT_EQ(again.exit_code, 0) << again.err;
  EXPECT_EQ(again.out.rfind("detected=0 ", 0), 0u) << again.out;
  EXPECT_EQ(TableKeys(dir + "/out/ML_detect.ps0"), first);
  const std::string log = ReadText(dir + "/out/Log_000000_000009_OK.txt");
  EXPECT_NE(log.find(" detected by prev. run(s) (AE#=0)\n"), std::string::npos)
      << log;

  std::string text = ReadText(par);
  text.replace(text.find("all = 0"), 7, "all = 1");
  { std::ofstream(par, std::ios::binary) << text; }
  ASSERT_EQ(Run(par, "0,9,+=0").exit_code, 0);
  for (const auto& [key, count] : TableKeys(dir + "/out/ML_detect.ps0")) {
    EXPECT_EQ(count, 2) << key;
  }
}

}  // namespace
