// `Quorvex_AE run PARFILE RANGE`: what the dialog's "Go" does, from the
// command line: one detection run over an AE range in this process (step
// 0), or one launched instance per sub-range (step 1 or more).
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
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
#include "app/launch_argument.h"
#include "app/multiple_runs.h"
#include "app/posix_platform.h"
#include "app/run_range.h"
#include "params/ae_pars.h"
#include "params/parameter_file.h"
#include "util/crt_random.h"
#include "util/text.h"

namespace qae::cli {

namespace {

std::string CompletedLogPath(const std::string& log_path) {
  return log_path.substr(0, log_path.size() - 4) + "_OK.txt";
}

struct RunCliOptions {
  std::string par_file;
  std::string range_text;
  bool wait = false;
  int threads = 0;
  std::string kernel = "fast";
};

// How a waited-for instance ended, as "exit=N" or "signal=N".
std::string EndOf(int status) {
  if (WIFEXITED(status)) return StrPrintf("exit=%d", WEXITSTATUS(status));
  if (WIFSIGNALED(status)) return StrPrintf("signal=%d", WTERMSIG(status));
  return StrPrintf("status=%d", status);
}

// Waits for every started instance, printing each as it ends. Returns how
// many did not end with exit status 0.
int WaitForInstances(const std::vector<LaunchedRun>& started) {
  std::map<long, const LaunchedRun*> pending;
  for (const LaunchedRun& run : started) pending[run.pid] = &run;
  int failed = 0;
  while (!pending.empty()) {
    int status = 0;
    const pid_t pid = waitpid(-1, &status, 0);
    if (pid < 0) {
      if (errno == EINTR) continue;
      // No child left to wait for: the rest were collected elsewhere.
      for (const auto& [id, run] : pending) {
        std::printf("ended pid=%ld first=%d last=%d unknown\n", id, run->range.first,
                    run->range.last);
        ++failed;
      }
      break;
    }
    const auto it = pending.find(static_cast<long>(pid));
    if (it == pending.end()) continue;
    std::printf("ended pid=%ld first=%d last=%d %s\n", it->first, it->second->range.first,
                it->second->range.last, EndOf(status).c_str());
    std::fflush(stdout);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) ++failed;
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

  PosixPlatform platform;
  const std::string executable = DirectoryOf(platform.ExecutablePath()) + kExecutableName;
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
  const int failed = WaitForInstances(outcome.started);
  if (!outcome.error.empty()) throw CommandError(outcome.error, 1);
  if (failed > 0) {
    throw CommandError(StrPrintf("%d of %zu instances did not end with exit status 0", failed,
                                 outcome.started.size()),
                       1);
  }
}

void RunHere(const RunCliOptions& opt, const AeRange& range, const AePars& pars) {
  const std::string log_path =
      StrPrintf("%sLog_%06d_%06d.txt", pars.outDir.c_str(), range.first, range.last);

  // The dialog draws two values for its window placement before any run;
  // taking them here keeps the dithered offsets equal to a dialog run's.
  CrtRand();
  CrtRand();

  std::optional<TerminalProgress> progress;
  if (isatty(STDERR_FILENO)) progress.emplace(stderr);
  const RunRangeResult result =
      RunRange(
          opt.par_file, range.first, range.last,
          [&progress](const RunProgress& p) {
            if (progress) progress->Update(p);
          },
          ScanOptions{opt.kernel == "reference" ? RunContext::Kernel::kReference
                                                : RunContext::Kernel::kFast,
                      opt.threads});
  if (progress) progress->Finish();
  if (!result.parametersRead) throw CommandError(result.error, 2);
  if (!result.error.empty()) throw CommandError(result.error + " (log: " + log_path + ")", 1);

  std::error_code ec;
  const std::string done = CompletedLogPath(log_path);
  const std::string shown = std::filesystem::exists(done, ec) ? done : log_path;
  if (!std::filesystem::exists(shown, ec)) {
    // Typically a missing output directory, which the result table shares.
    std::fprintf(stderr, "Quorvex_AE: warning: the log could not be written at %s\n",
                 log_path.c_str());
  }
  std::printf("detected=%d log=%s\n", result.detected, shown.c_str());
  std::fflush(stdout);
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
      "renamed to ..._OK.txt when the run completes; detections are appended to\n"
      "<outDir>ML_detect.ps0 and written into the event files. On success a single\n"
      "run prints one line to stdout: detected=<records with a detection> log=<log path>.\n"
      "\n"
      "Exit status: 0 after a complete run (or when every instance started and, with\n"
      "--wait, ended with status 0); 1 when the run stopped early (no templates, an\n"
      "unusable reference template; the reason goes to stderr and to the log), an\n"
      "instance could not be started or, with --wait, one failed; 2 for a parameter\n"
      "file that cannot be opened or a malformed RANGE.");
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
  cmd->callback([opt] {
    const std::optional<AeRange> range = ParseAeRange(opt->range_text);
    if (!range) {
      throw CommandError("malformed RANGE '" + opt->range_text +
                             "': expected first,last,+=step, for example 0,1500,+=0",
                         2);
    }

    // The log's directory comes from the parameter file; reading it here also
    // turns an unreadable file into a usage error before anything runs or
    // is launched.
    AePars pars;
    ParameterFileInfo info;
    if (!ReadParameterFile(opt->par_file, &pars, &info)) {
      throw CommandError("cannot open parameter file " + opt->par_file + ": " + info.open_error,
                         2);
    }
    if (range->step >= 1) {
      LaunchInstances(*opt, *range);
    } else {
      RunHere(*opt, *range, pars);
    }
  });
}

}  // namespace qae::cli
