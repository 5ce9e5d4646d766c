#include "app/run_range.h"

#include <memory>

#include "detect/event_file_driver.h"
#include "detect/run_context.h"
#include "params/ae_pars.h"
#include "params/parameter_file.h"

namespace qae {

RunRangeResult RunRange(const std::string& par_file, int first, int last,
                        const std::function<void(const RunProgress&)>& progress,
                        const ScanOptions& scan) {
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
  pars.firstAE = first;
  pars.lastAE = last;

  // The context holds the candidate table and the work arrays; keep it off
  // the stack.
  auto ctx = std::make_unique<RunContext>();
  ctx->progress = progress;
  ctx->kernel = scan.kernel;
  ctx->threads = scan.kernel == RunContext::Kernel::kReference ? 1 : scan.threads;
  result.detected = RunEventFiles(*ctx, pars.dataPath, pars.templateDir, pars);
  ctx->log.Close();
  result.error = ctx->fatalError;
  return result;
}

}  // namespace qae
