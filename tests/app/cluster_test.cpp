// Split runs on a cluster: the job-array script, the status of sub-ranges
// read from their logs, and a run refusing an output folder without locks.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "app/cluster/slurm_script.h"
#include "app/cluster/subrange_status.h"
#include "support/cli_runner.h"
#include "support/platform.h"
#include "support/test_paths.h"

namespace {

namespace fs = std::filesystem;
using qae::SubRange;
using qae::SubRangeState;
using qae::test::Quote;
using qae::test::ReadText;
using qae::test::RunCli;
using qae::test::ScratchDir;

TEST(SlurmScript, OneTaskPerSubRangeWithTheRunOfItsRange) {
  qae::SlurmOptions o;
  o.cpusPerTask = 4;
  o.time = "1-00:00:00";
  o.mem = "8G";
  o.partition = "long";
  o.account = "lab";
  o.maxRunning = 3;
  o.sbatchArgs = {"--exclusive", "--qos=low"};
  const std::vector<SubRange> ranges = {{1, 5}, {6, 10}, {16, 18}};
  const std::string s =
      qae::SlurmArrayScript("/opt/q ae/Quorvex_AE", "/data/it's/pars.txt", "/out/", ranges, o);
  EXPECT_EQ(s.rfind("#!/bin/bash\n", 0), 0u);
  for (const char* line :
       {"#SBATCH --array=0-2%3\n", "#SBATCH --cpus-per-task=4\n", "#SBATCH --time=1-00:00:00\n",
        "#SBATCH --mem=8G\n", "#SBATCH --partition=long\n", "#SBATCH --account=lab\n",
        "#SBATCH --output=/out/slurm_%A_%a.out\n", "#SBATCH --exclusive\n",
        "#SBATCH --qos=low\n", "#SBATCH --job-name=qae_1_18\n", "firsts=(1 6 16)\n",
        "lasts=(5 10 18)\n"}) {
    EXPECT_NE(s.find(line), std::string::npos) << line << "\n" << s;
  }
  // Paths with blanks and quotes reach the program unchanged.
  EXPECT_NE(s.find("\n'/opt/q ae/Quorvex_AE' run '/data/it'\\''s/pars.txt' "
                   "\"${firsts[$i]},${lasts[$i]},+=0\" --threads \"${SLURM_CPUS_PER_TASK:-1}\"\n"),
            std::string::npos)
      << s;
  qae::SlurmOptions bad;
  bad.cpusPerTask = 0;
  bad.time = "1:00\n#SBATCH --wrong";
  bad.sbatchArgs = {"exclusive"};
  EXPECT_EQ(qae::SlurmOptionProblems(bad).size(), 3u);
  EXPECT_TRUE(qae::SlurmOptionProblems(o).empty());

  if (qae::test::kOnWindows) GTEST_SKIP() << "running the job script needs bash and Slurm";
  // Every task's range comes out of the script as bash runs it.
  ScratchDir dir;
  std::string fake = s;
  const std::size_t run = fake.find("'/opt/q ae/Quorvex_AE' run");
  fake.replace(run, fake.find('\n', run) - run, "echo \"${firsts[$i]},${lasts[$i]},+=0\"");
  std::ofstream(dir.File("job.sh"), std::ios::binary) << fake;
  std::string got;
  for (int i = 0; i < 3; ++i) {
    const auto r = std::system(("SLURM_ARRAY_TASK_ID=" + std::to_string(i) + " bash " +
                                Quote(dir.File("job.sh")) + " >>" + Quote(dir.File("out.txt")))
                                   .c_str());
    EXPECT_EQ(r, 0);
  }
  EXPECT_EQ(ReadText(dir.File("out.txt")), "1,5,+=0\n6,10,+=0\n16,18,+=0\n");
}

void Write(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

TEST(SubRangeStatus, ReadsEachStateFromTheLogs) {
  ScratchDir dir;
  const std::string out = dir.path() + "/";
  Write(out + "Log_000001_000005_OK.txt",
        " !Parameter file: line 12: something\n Ended: 5 / 2 events scanned/detected. x\n");
  Write(out + "Log_000006_000010_OK.txt",
        " !Nothing to scan: no event file a%06d.sg2 of AE 6 through 10 could be read\n"
        " Ended: 0 / 0 events scanned/detected. x\n");
  Write(out + "Log_000011_000015.txt",
        "  Loading a000011.sg2... !\n !Cannot write a000011.sg2: disk full\n"
        " !Incomplete: 1 detection not written; rerunning the same range writes it\n"
        " Ended: 5 / 1 events scanned/detected. x\n");
  Write(out + "Log_000016_000020.txt", "  Loading a000016.sg2... !\n  Cross correlation: x\n");
  Write(out + "Log_000021_000025.txt", " !Number of templates is 0 in t/\n");
  // A rerun keeps the earlier _OK log as a backup: the plain log is newer.
  Write(out + "Log_000026_000030.txt", "  Loading a000026.sg2...");
  Write(out + "Log_000026_000030.bak1.txt", " Ended: 5 / 0 events scanned/detected. x\n");

  const auto st = [&](int a, int b) { return qae::StatusOfSubRange(out, {a, b}); };
  EXPECT_EQ(st(1, 5).state, SubRangeState::kDone);
  EXPECT_EQ(st(1, 5).scanned, 5);
  EXPECT_EQ(st(1, 5).detected, 2);
  EXPECT_EQ(st(6, 10).state, SubRangeState::kNothingToScan);
  EXPECT_NE(st(6, 10).reason.find("Nothing to scan"), std::string::npos);
  EXPECT_EQ(st(11, 15).state, SubRangeState::kFailed);
  EXPECT_NE(st(11, 15).reason.find("Incomplete"), std::string::npos);
  EXPECT_EQ(st(16, 20).state, SubRangeState::kStopped);
  EXPECT_EQ(st(21, 25).state, SubRangeState::kFailed);
  EXPECT_NE(st(21, 25).reason.find("templates is 0"), std::string::npos);
  EXPECT_EQ(st(26, 30).state, SubRangeState::kStopped);
  EXPECT_EQ(st(31, 35).state, SubRangeState::kNotStarted);
  EXPECT_FALSE(qae::IsUnfinished(SubRangeState::kNothingToScan));
  EXPECT_TRUE(qae::IsUnfinished(SubRangeState::kStopped));
}

class ClusterCommands : public ::testing::Test {
 protected:
  void SetUp() override {
    exp_ = dir_.File("exp");
    const auto r = RunCli("synth " + Quote(exp_) + " --events 4 --samples 2048", dir_.path());
    ASSERT_EQ(r.exit_code, 0) << r.err;
    par_ = exp_ + "/ML_CC_AE_pars.txt";
  }
  ScratchDir dir_;
  std::string exp_;
  std::string par_;
};

TEST_F(ClusterCommands, StatusFollowsTheRunsAndScriptsNameTheUnfinished) {
  auto r = RunCli("status " + Quote(par_) + " 1,9,+=4", dir_.path());
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_NE(r.out.find("1 4 not started\n5 8 not started\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("sub-ranges=2 done=0 nothing-to-scan=0 failed=0 stopped-or-running=0 "
                       "not-started=2"),
            std::string::npos)
      << r.out;
  ASSERT_EQ(RunCli("run " + Quote(par_) + " 1,4,+=0", dir_.path()).exit_code, 0);
  r = RunCli("status " + Quote(par_) + " 1,9,+=4 --resubmit --dry-run", dir_.path());
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_NE(r.out.find("1 4 done scanned="), std::string::npos) << r.out;
  // Only the unfinished sub-range is in the array.
  EXPECT_NE(r.out.find("firsts=(5)\nlasts=(8)\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("#SBATCH --array=0-0\n"), std::string::npos) << r.out;
  ASSERT_EQ(RunCli("run " + Quote(par_) + " 5,8,+=0", dir_.path()).exit_code, 0);
  r = RunCli("status " + Quote(par_) + " 1,9,+=4 -q", dir_.path());
  EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
  EXPECT_EQ(r.out, "sub-ranges=2 done=2 nothing-to-scan=0 failed=0 stopped-or-running=0 "
                   "not-started=0\n");
}

TEST_F(ClusterCommands, SlurmWritesAnExecutableScriptAndRefusesBadInput) {
  if (qae::test::kOnWindows) {
    GTEST_SKIP() << "Slurm job scripts are bash scripts for Linux clusters";
  }
  const std::string script = dir_.File("job.sh");
  auto r = RunCli("slurm " + Quote(par_) + " 1,19,+=5 --script " + Quote(script) +
                      " --cpus-per-task 2 --sbatch-arg=--exclusive",
                  dir_.path());
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(r.out, "script=" + script + " tasks=4\n");
  EXPECT_TRUE((fs::status(script).permissions() & fs::perms::owner_exec) != fs::perms::none);
  const std::string text = ReadText(script);
  EXPECT_NE(text.find("#SBATCH --exclusive\n"), std::string::npos);
  EXPECT_NE(text.find(Quote(fs::absolute(par_).lexically_normal().string())), std::string::npos);

  EXPECT_EQ(RunCli("slurm " + Quote(par_) + " 9,1,+=5 --dry-run", dir_.path()).exit_code, 2);
  EXPECT_EQ(RunCli("slurm " + Quote(par_) + " 1,19,+=5x --dry-run", dir_.path()).exit_code, 2);
  EXPECT_EQ(RunCli("slurm " + Quote(dir_.File("none.txt")) + " 1,19,+=5 --dry-run", dir_.path())
                .exit_code,
            2);
  EXPECT_EQ(RunCli("slurm " + Quote(par_) + " 1,19,+=5 --dry-run --cpus-per-task 0", dir_.path())
                .exit_code,
            2);
  // Without Slurm on PATH, --submit fails clearly (and the script is kept).
  r = RunCli("slurm " + Quote(par_) + " 1,19,+=5 --submit --script " + Quote(script), dir_.path(),
             "PATH=/nonexistent");
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_NE(r.err.find("sbatch"), std::string::npos) << r.err;
}

TEST_F(ClusterCommands, RunStopsWhereTheOutputFolderCannotLock) {
#if defined(QAE_SANITIZED)
  GTEST_SKIP() << "nothing can be preloaded before the sanitizers' runtime";
#elif !defined(QAE_NO_LOCKS_SHIM)
  GTEST_SKIP() << "needs a file system without locks, preloaded with LD_PRELOAD (none on Windows)";
#else
  const std::string before = ReadText(exp_ + "/events/000001.sg2");
  const auto r = RunCli("run " + Quote(par_) + " 1,4,+=0", dir_.path(),
                        "LD_PRELOAD=" + Quote(QAE_NO_LOCKS_SHIM));
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_NE(r.err.find("does not support file locks"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find(exp_ + "/out/"), std::string::npos) << r.err;
  EXPECT_FALSE(fs::exists(exp_ + "/out/ML_detect.ps0"));
  EXPECT_EQ(ReadText(exp_ + "/events/000001.sg2"), before);
  const std::string log = ReadText(exp_ + "/out/Log_000001_000004.txt");
  EXPECT_NE(log.find("does not support file locks"), std::string::npos) << log;
  for (const auto& e : fs::directory_iterator(exp_ + "/out")) {
    EXPECT_EQ(e.path().filename().string().find("lockprobe"), std::string::npos);
  }
#endif
}

}  // namespace
