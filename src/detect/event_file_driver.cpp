#include "detect/event_file_driver.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <string_view>
#include <unordered_set>

#include "detect/continuous_driver.h"
#include "detect/detection_outputs.h"
#include "detect/matched_filter_scan.h"
#include "detect/run_steps.h"
#include "detect/template_library.h"
#include "dsp/iir_filter.h"
#include "util/key_values.h"
#include "util/text.h"
#include "wave/formats/seg2_reader.h"
#include "wave/formats/seg2_writer.h"
#include "wave/sac_header.h"
#include "wave/time_utils.h"

namespace qae {

int RunEventFiles(RunContext& ctx, const std::string& data_path, const std::string& template_dir,
                  AePars& pars) {
  ctx.fatalError.clear();
  const std::string log_path =
      StrPrintf("%sLog_%06d_%06d.txt", pars.outDir.c_str(), pars.firstAE, pars.lastAE);

  if (data_path.find(".lng") != std::string::npos) {
    return RunContinuous(ctx, template_dir, data_path, pars);
  }

  ctx.log.Close();
  ctx.logPath = log_path;
  ctx.log.Create(log_path);

  TemplateLibrary templates = LoadTemplates(template_dir, pars, ctx);
  ctx.log.Reopen();

  if (pars.maxTemplates < 1) {
    ctx.log.Printf(" !Number of templates is 0 in %s\n", template_dir.c_str());
    ctx.log.Close();
    // Nothing was scanned; the caller must not take this for a finished run.
    ctx.fatalError = "Number of templates is 0 in " + template_dir;
    return 0;
  }

  // The window sizes do not depend on the filter, so an unusable reference
  // stops the run before a large library is filtered for nothing.
  const std::string unusable = DeriveWindowSizes(templates, pars.iTS < 0 ? 0 : pars.iTS, pars, ctx);
  if (!unusable.empty()) return StopRun(ctx, unusable);

  const bool filtering = pars.fLow < pars.fHigh;
  FilterTemplates(templates, pars, ctx);

  ctx.AllocateWorkArrays();

  std::unordered_set<int32_t> template_numbers;
  for (const XL_WaveDataSeg2& slot : templates.slots) template_numbers.insert(slot.aeNumber);

  XL_WaveDataSeg2 record;
  ctx.log.Printf("  Start to scan AE from %d through %d\n", pars.firstAE, pars.lastAE);

  int scanned = 0;
  int detected = 0;
  const int64_t total = std::max<int64_t>(0, int64_t{pars.lastAE} - pars.firstAE + 1);
  // 64-bit, so that a range ending at INT32_MAX terminates.
  for (int64_t ae = pars.firstAE; ae <= pars.lastAE; ++ae) {
    // Told before each number, as the skips below leave the loop early.
    ctx.ReportProgress(ae - pars.firstAE, total, detected);
    const auto n = static_cast<int32_t>(ae);
    if (template_numbers.count(n) != 0) {
      ctx.log.Printf("  Skip template event (AE#=%d)\n", n);
      continue;
    }
    const std::string path = StrPrintf("%s%06d.sg2", data_path.c_str(), n);
    ctx.log.Printf("  Loading %s...", path.c_str());
    if (record.Load(path, 1, 0, 0) < 1) {
      ctx.log.Printf(" failed or non-existent!\n");
      ctx.log.Reopen();
      continue;
    }

    const std::string_view comments = TextOf(record.header.comments);
    const bool marked = comments.find("tected") != std::string_view::npos;
    if (marked && pars.all == 0) {
      ctx.log.Printf("  Skip event detected by prev. run(s)\n");
      continue;
    }
    const int32_t m = IntAfterKey(comments, "M=", 0);
    if (!marked && m > 0 && m >= pars.wellLocatedM) {
      ctx.log.Printf("  Skip well located event (Mid=%d)\n", m);
      continue;
    }

    record.sourceName = path;
    record.aeNumber = n;
    ctx.log.Printf(" !\n");
    ctx.log.Reopen();

    if (filtering) {
      record.SaveSamples();
      FilterLogged(record, pars, ctx);
    }
    ClearPicks(record);

    if (ScanRecord(templates, templates.size(), pars, ctx, record) > 0) {
      ++detected;
    } else if (pars.all != 0) {
      // A mark of an earlier detection that this run does not confirm goes;
      // the file gets back its raw samples, in a format that holds them all.
      SetText(record.header.comments, " ");
      if (filtering) record.RestoreSamples();
      WriteSeg2(record.sourceName, record, 0, 0, LosslessSeg2Format(record));
    }
    ++scanned;
  }
  ctx.ReportProgress(total, total, detected);

  templates.slots.clear();
  ctx.ReleaseWorkArrays();

  if (ctx.log.IsOpen()) {
    ctx.log.Printf(" Ended: %d / %d events scanned/detected. %s\n", scanned, detected,
                   CurrentTimeText(0).c_str());
    ctx.log.Close();
    const std::string done_path = ctx.logPath.substr(0, ctx.logPath.size() - 4) + "_OK.txt";
    std::rename(ctx.logPath.c_str(), done_path.c_str());
  }
  return detected;
}

}  // namespace qae
