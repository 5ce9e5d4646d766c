// "slurm" and "status": a split run on a cluster's Slurm scheduler, one job
// array task per sub-range, and what has become of each sub-range.

#include <cstdio>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/cli/commands.h"
#include "app/cluster/slurm_script.h"
#include "app/cluster/subrange_status.h"
#include "app/headless_platform.h"
#include "app/launch_argument.h"
#include "app/multiple_runs.h"
#include "params/ae_pars.h"
#include "params/parameter_file.h"
#include "util/file_io.h"
#include "util/path.h"
#include "util/run_program.h"
#include "util/text.h"

namespace qae::cli {

namespace {

// Array sizes beyond this are refused here; clusters limit them further
// (MaxArraySize), and sbatch says so.
constexpr int kMaxArrayTasks = 100000;

struct ClusterOptions {
  std::string parFile;
  std::string rangeText;
  SlurmOptions slurm;
  std::string script;
  bool submit = false;
  bool dryRun = false;
  bool resubmit = false;
  bool quiet = false;
};

struct Plan {
  std::string parFile;  // absolute
  std::string outDir;
  std::vector<SubRange> ranges;
};

std::string Absolute(const std::string& path) {
  std::error_code ec;
  const std::filesystem::path p = std::filesystem::absolute(PathOf(path), ec);
  return ec ? path : PathText(p.lexically_normal());
}

Plan MakePlan(const ClusterOptions& opt) {
  std::string why;
  const std::optional<AeRange> range = ParseAeRangeStrict(opt.rangeText, &why);
  if (!range) throw CommandError("malformed RANGE '" + opt.rangeText + "': " + why);
  Plan plan;
  plan.parFile = Absolute(opt.parFile);
  AePars pars;
  if (!ReadParameterFile(plan.parFile, &pars)) {
    throw CommandError(opt.parFile + ": cannot read the parameter file");
  }
  // Tasks run on other nodes, from the submission directory; a relative
  // prefix would resolve there too, but an absolute one says where.
  plan.outDir = pars.outDir;
  std::string error;
  if (range->step == 0) {
    if (range->first <= range->last) plan.ranges.push_back({range->first, range->last});
  } else if (!PlanSubRanges(range->first, range->last, range->step, &plan.ranges, &error,
                            kMaxArrayTasks)) {
    throw CommandError(error);
  }
  if (plan.ranges.empty()) {
    throw CommandError(StrPrintf("%s holds no sub-range (first is not below last)",
                                 opt.rangeText.c_str()));
  }
  return plan;
}

std::string ThisExecutable() {
  HeadlessPlatform platform;
  const std::string self = platform.ExecutablePath();
  if (self.empty()) throw CommandError("cannot find the path of this program", 1);
  return self;
}

// Writes the script (executable, atomically) and returns its path.
std::string WriteScript(const std::string& path, const std::string& text) {
  std::string error;
  if (!WriteFileAtomically(path, reinterpret_cast<const uint8_t*>(text.data()), text.size(),
                           &error)) {
    throw CommandError(error, 1);
  }
  namespace fs = std::filesystem;
  std::error_code ec;  // a script that cannot be made executable still runs under bash
  fs::permissions(PathOf(path),
                  fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                      fs::perms::others_read | fs::perms::others_exec,
                  ec);
  return path;
}

// sbatch --parsable SCRIPT; the job id.
std::string Submit(const std::string& script) {
  const ProgramResult r = RunProgram({"sbatch", "--parsable", script});
  if (!r.started) throw CommandError("cannot run sbatch: " + r.error, 1);
  if (r.exitCode != 0) {
    std::string why = r.err.empty() ? r.out : r.err;
    while (!why.empty() && (why.back() == '\n' || why.back() == '\r')) why.pop_back();
    throw CommandError("sbatch refused " + script + ": " + why, 1);
  }
  std::string id = r.out.substr(0, r.out.find_first_of(";\r\n"));
  return id;
}

// Writes (or prints) the script for `ranges` and submits it when asked.
void Emit(const ClusterOptions& opt, const Plan& plan, const std::vector<SubRange>& ranges,
          const std::string& default_script) {
  const std::vector<std::string> problems = SlurmOptionProblems(opt.slurm);
  if (!problems.empty()) throw CommandError(problems.front());
  const std::string text =
      SlurmArrayScript(ThisExecutable(), plan.parFile, plan.outDir, ranges, opt.slurm);
  if (opt.dryRun) {
    std::fputs(text.c_str(), stdout);
    return;
  }
  const std::string path = WriteScript(opt.script.empty() ? default_script : opt.script, text);
  std::printf("script=%s tasks=%zu\n", path.c_str(), ranges.size());
  if (opt.submit || opt.resubmit) {
    const std::string id = Submit(path);
    std::printf("submitted job=%s\n", id.c_str());
  }
}

void AddSlurmOptions(CLI::App* cmd, ClusterOptions& o) {
  SlurmOptions& s = o.slurm;
  cmd->add_option("--cpus-per-task", s.cpusPerTask,
                  "CPUs of each task; the run uses them all (--threads)")
      ->capture_default_str();
  cmd->add_option("--time", s.time, "Time limit of each task (sbatch --time)");
  cmd->add_option("--mem", s.mem, "Memory of each task (sbatch --mem)");
  cmd->add_option("--partition", s.partition, "Partition (sbatch --partition)");
  cmd->add_option("--account", s.account, "Account (sbatch --account)");
  cmd->add_option("--max-running", s.maxRunning,
                  "At most N tasks at once (the array's %N throttle)");
  cmd->add_option("--job-name", s.jobName, "Job name (default qae_FIRST_LAST)");
  cmd->add_option("--output", s.output,
                  "Task output pattern (default <outDir>slurm_%A_%a.out)");
  cmd->add_option("--sbatch-arg", s.sbatchArgs,
                  "A further sbatch option, written as an #SBATCH line (repeatable; --sbatch-arg=--exclusive)")
      ->allow_extra_args(false);
  cmd->add_option("--script", o.script, "Where to write the script");
}

}  // namespace

void RegisterSlurmCommands(CLI::App& app) {
  {
    auto opt = std::make_shared<ClusterOptions>();
    CLI::App* cmd = app.add_subcommand(
        "slurm", "Write (and with --submit, submit) a Slurm job array, one task per sub-range.");
    cmd->footer(
        "RANGE is written as for `run`: first,last,+=step splits first..last-1 into\n"
        "sub-ranges of `step` numbers; first,last,+=0 (or first,last) makes one task\n"
        "over first..last. Each task runs, with this program's absolute path,\n"
        "  Quorvex_AE run PARFILE a,b,+=0 --threads $SLURM_CPUS_PER_TASK\n"
        "and keeps its own log <outDir>Log_a_b.txt, renamed _OK when complete; every\n"
        "task appends to <outDir>ML_detect.ps0 under an exclusive lock. Continuous\n"
        "recordings work the same way over segment numbers.\n"
        "\n"
        "The script goes to --script or <outDir>slurm_FIRST_LAST.sh; `status` tells\n"
        "which sub-ranges are done and resubmits the others.\n"
        "\n"
        "Exit status: 0 written (and submitted), 1 cannot write or sbatch failed,\n"
        "2 bad input.");
    cmd->add_option("PARFILE", opt->parFile, "Parameter file")->required();
    cmd->add_option("RANGE", opt->rangeText, "first,last,+=step")->required();
    AddSlurmOptions(cmd, *opt);
    cmd->add_flag("--submit", opt->submit, "Submit the script with sbatch and print the job id");
    cmd->add_flag("--dry-run", opt->dryRun, "Print the script instead of writing it");
    cmd->callback([opt] {
      const Plan plan = MakePlan(*opt);
      Emit(*opt, plan, plan.ranges,
           StrPrintf("%sslurm_%06d_%06d.sh", plan.outDir.c_str(), plan.ranges.front().first,
                     plan.ranges.back().last));
    });
  }
  {
    auto opt = std::make_shared<ClusterOptions>();
    CLI::App* cmd = app.add_subcommand(
        "status", "Tell which sub-ranges of a split run are done, failed, stopped or not started.");
    cmd->footer(
        "One line per sub-range of RANGE (split as by `run` and `slurm`):\n"
        "  first last state [scanned=S detected=D] [log=PATH] [reason=...]\n"
        "state: done (its log was renamed _OK), nothing to scan (_OK, but not one\n"
        "record could be read), failed (the log ended without _OK: outputs lost, no\n"
        "templates, ...), stopped or running (the log has no end: killed, or still at\n"
        "work), not started (no log). Then one summary line.\n"
        "\n"
        "--resubmit writes a job array of the failed, stopped and not-started\n"
        "sub-ranges (with the options of `slurm`) and submits it. A rerun skips the\n"
        "records a stopped run already marked, and finishes its interrupted writes,\n"
        "so no row is written twice. Do not resubmit sub-ranges that are still running.\n"
        "\n"
        "Exit status: 0 every sub-range done (or nothing to scan), 1 some are not\n"
        "(or a resubmission failed), 2 bad input.");
    cmd->add_option("PARFILE", opt->parFile, "Parameter file")->required();
    cmd->add_option("RANGE", opt->rangeText, "first,last,+=step")->required();
    cmd->add_flag("--resubmit", opt->resubmit,
                  "Submit a job array of the unfinished sub-ranges");
    cmd->add_flag("--dry-run", opt->dryRun, "With --resubmit: print the script, submit nothing");
    cmd->add_flag("-q,--quiet", opt->quiet, "Only the summary line");
    AddSlurmOptions(cmd, *opt);
    cmd->callback([opt] {
      const Plan plan = MakePlan(*opt);
      std::vector<SubRange> unfinished;
      int counts[5] = {0, 0, 0, 0, 0};
      for (const SubRange& r : plan.ranges) {
        const SubRangeStatus st = StatusOfSubRange(plan.outDir, r);
        ++counts[static_cast<int>(st.state)];
        if (IsUnfinished(st.state)) unfinished.push_back(r);
        if (opt->quiet) continue;
        std::string line = StrPrintf("%d %d %s", r.first, r.last, StateName(st.state));
        if (st.scanned >= 0) line += StrPrintf(" scanned=%d detected=%d", st.scanned, st.detected);
        if (!st.log.empty()) line += " log=" + st.log;
        if (!st.reason.empty()) line += " reason=" + st.reason;
        std::printf("%s\n", line.c_str());
      }
      std::printf("sub-ranges=%zu done=%d nothing-to-scan=%d failed=%d stopped-or-running=%d "
                  "not-started=%d\n",
                  plan.ranges.size(), counts[0], counts[1], counts[2], counts[3], counts[4]);
      std::fflush(stdout);
      if (opt->resubmit) {
        if (unfinished.empty()) {
          std::printf("nothing to resubmit\n");
          return;
        }
        Emit(*opt, plan, unfinished,
             StrPrintf("%sslurm_%06d_%06d_resubmit.sh", plan.outDir.c_str(),
                       plan.ranges.front().first, plan.ranges.back().last));
      }
      if (!unfinished.empty()) throw CommandError("", 1);
    });
  }
}

}  // namespace qae::cli
