#include "app/run_range.h"

#include <filesystem>
#include <memory>
#include <system_error>

#include "detect/event_file_driver.h"
#include "detect/grid_limits.h"
#include "detect/run_context.h"
#include "detect/run_steps.h"
#include "params/ae_pars.h"
#include "params/parameter_file.h"
#include "util/path.h"
#include "util/text.h"

namespace qae {

std::vector<std::string> ParameterWarningsOf(const ParameterFileInfo& info, const AePars& pars) {
  return AllParameterWarnings(info, pars);
}

std::vector<std::string> ParameterErrorsOf(const ParameterFileInfo& info, const AePars& pars) {
  std::vector<std::string> errors = ParameterErrors(pars, &info);
  // A grid that cannot fit even for one station and one template is
  // refused before anything runs; the drivers check the real sizes.
  const std::string grid = GridSizeProblem(pars, 1, 1);
  if (!grid.empty()) errors.push_back(grid);
  return errors;
}

int RunExitStatus(const RunRangeResult& r) {
  if (!r.parametersRead || r.badInput) return kRunBadInput;
  if (!r.error.empty() || r.unwritten > 0) return kRunIncomplete;
  if (r.nothingToScan) return kRunNothingToScan;
  return kRunComplete;
}

std::string RunSummaryLine(const RunRangeResult& r) {
  return StrPrintf("detected=%d scanned=%d missing=%d unwritten=%d log=%s", r.detected, r.scanned,
                   r.missing, r.unwritten, r.logPath.c_str());
}

RunRangeResult RunRange(const std::string& par_file, int first, int last,
                        const RunOptions& options) {
  RunRangeResult result;
  AePars pars;
  ParameterFileInfo info;
  if (!ReadParameterFile(par_file, &pars, &info)) {
    // Running on the defaults would scan empty paths relative to wherever the
    // program was started; nothing runs instead.
    result.error = "cannot open parameter file " + par_file + ": " + info.open_error;
    return result;
  }
  result.parametersRead = true;
  result.dataPath = pars.dataPath;
  result.warnings = ParameterWarningsOf(info, pars);
  for (const std::string& w : result.warnings) {
    if (options.onWarning) options.onWarning(w);
  }
  const std::vector<std::string> errors = ParameterErrorsOf(info, pars);
  if (!errors.empty() || (options.strict && !result.warnings.empty())) {
    result.badInput = true;
    result.error = !errors.empty() ? par_file + ": " + errors.front()
                                   : par_file + ": refused with --strict: " +
                                         result.warnings.front();
    return result;
  }
  pars.firstAE = first;
  pars.lastAE = last;

  // The context holds the candidate table and the work arrays; keep it off
  // the stack.
  auto ctx = std::make_unique<RunContext>();
  ctx->progress = options.progress;
  ctx->onLoss = options.onLoss;
  ctx->kernel = options.scan.kernel;
  ctx->threads = options.scan.kernel == RunContext::Kernel::kReference ? 1 : options.scan.threads;
  for (const std::string& w : result.warnings) ctx->logPreamble.push_back("Parameter file: " + w);
  result.detected = RunEventFiles(*ctx, pars.dataPath, pars.templateDir, pars);
  ctx->log.Close();

  result.scanned = ctx->counts.scanned;
  result.missing = ctx->counts.missing;
  result.unwritten = ctx->losses.detections;
  result.nothingToScan = ctx->counts.nothingToScan;
  result.error = ctx->fatalError;
  result.badInput = ctx->refusedParameters;
  if (result.error.empty() && ctx->losses.Any()) {
    result.error = StrPrintf("%d detection%s not written", ctx->losses.detections,
                             ctx->losses.detections == 1 ? "" : "s");
    if (!ctx->losses.messages.empty()) result.error += " (" + ctx->losses.messages.front() + ")";
    result.error += "; rerunning the same range writes them";
  }
  if (!ctx->log.failure().empty() && result.error.find(ctx->log.failure()) == std::string::npos) {
    result.error += (result.error.empty() ? "" : "; and ") +
                    ("the log could not be written: " + ctx->log.failure() +
                     "; rerunning the same range writes it again");
  }
  // The log as it is now: its completed name, its plain one, or none at all.
  std::error_code ec;
  const std::string done = CompletedLogPath(ctx->logPath);
  if (!ctx->logPath.empty() && RunExitStatus(result) != kRunIncomplete &&
      std::filesystem::exists(PathOf(done), ec)) {
    result.logPath = done;
  } else if (!ctx->logPath.empty() && std::filesystem::exists(PathOf(ctx->logPath), ec)) {
    result.logPath = ctx->logPath;
  }
  return result;
}

}  // namespace qae
