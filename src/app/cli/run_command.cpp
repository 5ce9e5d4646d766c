// `Quorvex_AE run PARFILE RANGE`: what the dialog's "Go" does, from the
// command line: one detection run over an AE range in this process (step
// 0), or one launched instance per sub-range (step 1 or more).
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "app/cli/commands.h"
#include "app/cli/progress_line.h"
#include "app/dialog_model.h"
#include "app/headless_platform.h"
#include "app/launch_argument.h"
#include "app/multiple_runs.h"
#include "app/run_range.h"
#include "params/ae_pars.h"
#include "params/parameter_file.h"
#include "util/crt_random.h"
#include "util/process.h"
#include "util/text.h"

namespace qae::cli {

namespace {

struct RunCliOptions {
  std::string par_file;
  std::string range_text;
  bool wait = false;
  int threads = 0;
  std::string kernel = "fast";
  bool strict = false;
};

// Lost outputs are told on stderr as they happen, up to a limit: a full
// disk would otherwise print one line per record for days.
constexpr int kLossesShown = 10;

// How a waited-for instance ended, as "exit=N" or "signal=N".
std::string EndOf(const ChildEnd& end) {
  switch (end.how) {
    case ChildEnd::How::kExited: return StrPrintf("exit=%d", end.value);
    case ChildEnd::How::kSignaled: return StrPrintf("signal=%d", end.value);
    case ChildEnd::How::kOther: break;
  }
  return StrPrintf("status=%d", end.value);
}

// Waits for every started instance, printing each as it ends. Returns how
// many did not end with exit status 0 or "nothing to scan" (counted in
// `nothing`).
int WaitForInstances(const std::vector<LaunchedRun>& started, int* nothing) {
  std::map<long, const LaunchedRun*> pending;
  for (const LaunchedRun& run : started) pending[run.pid] = &run;
  int failed = 0;
  while (!pending.empty()) {
    ChildEnd end;
    std::string error;
    if (!WaitForChildProcess(&end, &error)) {
      // No child left to wait for: the rest were collected elsewhere.
      for (const auto& [id, run] : pending) {
        std::printf("ended pid=%ld first=%d last=%d unknown\n", id, run->range.first,
                    run->range.last);
        ++failed;
      }
      break;
    }
    const auto it = pending.find(end.pid);
    if (it == pending.end()) continue;
    std::printf("ended pid=%ld first=%d last=%d %s\n", it->first, it->second->range.first,
                it->second->range.last, EndOf(end).c_str());
    std::fflush(stdout);
    const bool exited = end.how == ChildEnd::How::kExited;
    if (exited && end.value == kRunNothingToScan) {
      ++*nothing;
    } else if (!exited || end.value != 0) {
      ++failed;
    }
    pending.erase(it);
  }
  return failed;
}

void LaunchInstances(const RunCliOptions& opt, const AeRange& range) {
  const std::string problem = LaunchablePathProblem(opt.par_file);
  if (!problem.empty()) throw CommandError(problem, 2);
  std::vector<SubRange> plan;
  std::string error;
  if (!PlanSubRanges(range.first, range.last, range.step, &plan, &error)) {
    throw CommandError(error, 2);
  }
  if (plan.empty()) {
    std::fprintf(stderr, "Quorvex_AE: %d,%d,+=%d starts no instance (first is not below last)\n",
                 range.first, range.last, range.step);
    return;
  }

  HeadlessPlatform platform;
  const std::string executable =
      DirectoryOf(platform.ExecutablePath()) + ExecutableFileName(kExecutableName);
  const LaunchOutcome outcome =
      LaunchRuns(platform, executable, opt.par_file, plan, kLaunchSpacingMs, false,
                 [](const LaunchedRun& run) {
                   std::printf("launched pid=%ld first=%d last=%d argument=%s\n", run.pid,
                               run.range.first, run.range.last, run.argument.c_str());
                   std::fflush(stdout);
                 });
  if (!opt.wait) {
    if (!outcome.error.empty()) throw CommandError(outcome.error, 1);
    return;
  }
  int nothing = 0;
  const int failed = WaitForInstances(outcome.started, &nothing);
  if (!outcome.error.empty()) throw CommandError(outcome.error, 1);
  if (failed > 0) {
    throw CommandError(StrPrintf("%d of %zu instances did not complete (exit status other than "
                                 "0 or 3)",
                                 failed, outcome.started.size()),
                       1);
  }
  if (nothing > 0 && static_cast<std::size_t>(nothing) == outcome.started.size()) {
    throw CommandError("warning: nothing to scan: not one instance found a record to read",
                       kRunNothingToScan);
  }
}

void RunHere(const RunCliOptions& opt, const AeRange& range) {
  // The dialog draws two values for its window placement before any run;
  // taking them here keeps the dithered offsets equal to a dialog run's.
  CrtRand();
  CrtRand();

  std::optional<TerminalProgress> progress;
  if (StderrIsTerminal()) progress.emplace(stderr);
  RunOptions options;
  options.scan = ScanOptions{opt.kernel == "reference" ? RunContext::Kernel::kReference
                                                       : RunContext::Kernel::kFast,
                             opt.threads};
  options.strict = opt.strict;
  options.progress = [&progress](const RunProgress& p) {
    if (progress) progress->Update(p);
  };
  options.onWarning = [&opt](const std::string& w) {
    std::fprintf(stderr, "%s: warning: %s\n", opt.par_file.c_str(), w.c_str());
  };
  int losses = 0;
  options.onLoss = [&losses](const std::string& loss) {
    if (++losses <= kLossesShown) {
      std::fprintf(stderr, "Quorvex_AE: %s\n", loss.c_str());
    } else if (losses == kLossesShown + 1) {
      std::fprintf(stderr, "Quorvex_AE: further losses are in the log and the summary\n");
    }
  };
  const RunRangeResult result = RunRange(opt.par_file, range.first, range.last, options);
  if (progress) progress->Finish();

  const int status = RunExitStatus(result);
  if (status == kRunBadInput) throw CommandError(result.error, kRunBadInput);
  std::printf("%s\n", RunSummaryLine(result).c_str());
  std::fflush(stdout);
  if (status == kRunIncomplete) {
    throw CommandError(result.error + (result.logPath.empty() ? std::string()
                                                             : " (log: " + result.logPath + ")"),
                       kRunIncomplete);
  }
  if (status == kRunNothingToScan) {
    throw CommandError(StrPrintf("warning: nothing to scan: not one record of %s in %d..%d "
                                 "could be read",
                                 result.dataPath.c_str(), range.first, range.last),
                       kRunNothingToScan);
  }
}

}  // namespace

void RegisterRunCommand(CLI::App& app) {
  auto opt = std::make_shared<RunCliOptions>();
  CLI::App* cmd = app.add_subcommand(
      "run", "Scan the event files of an AE range, here or in launched instances.");
  cmd->footer(
      "RANGE is written as in the dialog: first,last,+=step (for example 0,1500,+=0).\n"
      "With step 0 (or less) the AE numbers first to last, both included, are scanned\n"
      "in this process; first,last without a step means the same. On a terminal a\n"
      "progress line is shown on stderr.\n"
      "\n"
      "With a step of 1 or more, one further instance of Quorvex_AE (the executable\n"
      "beside this one) is started per sub-range first..first+step-1, ... about ten\n"
      "seconds apart, as the dialog's \"Go\" does; the sub-ranges stop before last.\n"
      "Each instance gets the argument PARFILE;first;last; and runs unattended (in a\n"
      "window when a display is available). One line per started instance goes to\n"
      "stdout: launched pid=<pid> first=<n> last=<n> argument=<argument>. With --wait\n"
      "the command then waits for them and prints ended pid=<pid> first=<n> last=<n>\n"
      "exit=<code> (or signal=<number>) as each ends.\n"
      "\n"
      "Progress and errors go to the log <outDir>Log_<first>_<last>.txt, which is\n"
      "renamed to ..._OK.txt when the run completes with nothing lost (a log an earlier\n"
      "run left under either name is kept as ...bak<N>.txt); detections are appended\n"
      "to <outDir>ML_detect.ps0 and written into the event files. A single run ends\n"
      "stdout with one line:\n"
      "  detected=<records whose detections were written> scanned=<records scanned>\n"
      "  missing=<records that could not be read> unwritten=<detections with an output\n"
      "  that could not be written> log=<log path>\n"
      "Every output is written so that a rerun of the same range after a crash, a\n"
      "kill or a full disk writes each detection exactly once.\n"
      "\n"
      "The parameter file is checked first: its warnings (a value read only in part,\n"
      "lines missing, a line whose label names another field, folders that do not\n"
      "exist) go to stderr and to the top of the log; --strict refuses the run on any.\n"
      "\n"
      "Exit status: 0 after a complete run with nothing lost (or when every instance\n"
      "started and, with --wait, ended with 0); 1 when the run stopped early (no\n"
      "templates, an unusable reference template), an output could not be written\n"
      "(rerunning the same range recovers it), an instance could not be started or,\n"
      "with --wait, one ended with 1, 2 or a signal; 2 for bad input: a parameter file\n"
      "that cannot be opened or holds values no run can use (NaN thresholds, a\n"
      "negative dupWin, ...; or any warning with --strict), a malformed or reversed\n"
      "RANGE; 3 when not one record of the range could be read (nothing to scan; with\n"
      "--wait: every instance found nothing).");
  cmd->add_option("PARFILE", opt->par_file, "Parameter file (*ML_CC_AE_pars.txt) path or URL")
      ->required();
  cmd->add_option("RANGE", opt->range_text, "AE range first,last,+=step")->required();
  cmd->add_flag("--wait", opt->wait,
                "With a step: wait for the launched instances and print how each ended");
  cmd->add_option("--threads", opt->threads,
                  "Scanning threads of a run here (0: all cores); results do not depend on it")
      ->check(CLI::Range(0, 256))
      ->capture_default_str();
  cmd->add_option("--kernel", opt->kernel,
                  "fast, or reference: the straightforward scan on one thread, which writes the "
                  "same bytes, for checking")
      ->check(CLI::IsMember({"fast", "reference"}))
      ->capture_default_str();
  cmd->add_flag("--strict", opt->strict,
                "Refuse to run (exit 2) when the parameter file draws any warning");
  cmd->callback([opt] {
    std::string why;
    const std::optional<AeRange> range = ParseAeRangeStrict(opt->range_text, &why);
    if (!range) {
      throw CommandError("malformed RANGE '" + opt->range_text + "': " + why + ". " +
                             kStatusGiveRange,
                         kRunBadInput);
    }

    // Reading the parameter file here turns an unreadable or unusable file
    // into a usage error before anything runs or is launched.
    AePars pars;
    ParameterFileInfo info;
    if (!ReadParameterFile(opt->par_file, &pars, &info)) {
      throw CommandError("cannot open parameter file " + opt->par_file + ": " + info.open_error,
                         kRunBadInput);
    }
    if (range->step >= 1) {
      const std::vector<std::string> warnings = ParameterWarningsOf(info, pars);
      for (const std::string& w : warnings) {
        std::fprintf(stderr, "%s: warning: %s\n", opt->par_file.c_str(), w.c_str());
      }
      const std::vector<std::string> errors = ParameterErrorsOf(info, pars);
      if (!errors.empty()) throw CommandError(opt->par_file + ": " + errors.front(), kRunBadInput);
      if (opt->strict && !warnings.empty()) {
        throw CommandError(opt->par_file + ": refused with --strict: " + warnings.front(),
                           kRunBadInput);
      }
      LaunchInstances(*opt, *range);
    } else {
      RunHere(*opt, *range);
    }
  });
}

}  // namespace qae::cli
