#include "detect/event_file_driver.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <string_view>
#include <unordered_set>

#include "detect/continuous_driver.h"
#include "detect/detection_writer.h"
#include "detect/detection_outputs.h"
#include "detect/interrupted_writes.h"
#include "detect/matched_filter_scan.h"
#include "detect/record_pipeline.h"
#include "detect/run_steps.h"
#include "detect/template_library.h"
#include "dsp/iir_filter.h"
#include "util/key_values.h"
#include "util/locked_append.h"
#include "util/text.h"
#include "wave/formats/seg2_reader.h"
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

  if (!StartRunLog(ctx, log_path)) {
    // Without a log nothing of the run could be reported, and the table
    // shares the log's folder: stop before hours of scanning for nothing.
    return StopRun(ctx, "cannot write the run's log in the output folder (outDir " +
                            pars.outDir + "): " +
                            (ctx.fatalError.empty() ? ctx.log.failure() : ctx.fatalError));
  }
  // Every process of a split run appends to the one table under a lock; a
  // folder whose file system refuses locks would let them overwrite each
  // other's rows, so nothing is scanned there.
  if (const std::string problem = RecordLockProblem(pars.outDir); !problem.empty()) {
    return StopRun(ctx, problem);
  }

  // Whatever an interrupted run over these numbers left half written is
  // finished (or cleared away) before anything is scanned again.
  std::unordered_set<int32_t> unfinished;
  for (const InterruptedCommit& c :
       RecoverInterruptedWrites(data_path, pars.firstAE, pars.lastAE, std::string(), ctx)) {
    if (!c.finished) unfinished.insert(c.aeNumber);
  }

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
  const std::string too_large = GridRefusal(templates, pars, ctx);
  if (!too_large.empty()) return StopRun(ctx, too_large);

  const bool filtering = pars.fLow < pars.fHigh;
  FilterTemplates(templates, pars, ctx);

  ctx.AllocateWorkArrays();

  std::unordered_set<int32_t> template_numbers;
  for (const XL_WaveDataSeg2& slot : templates.slots) template_numbers.insert(slot.aeNumber);

  ctx.log.Printf("  Start to scan AE from %d through %d\n", pars.firstAE, pars.lastAE);

  const int64_t total = std::max<int64_t>(0, int64_t{pars.lastAE} - pars.firstAE + 1);
  // Step `step` of the range: its skip rules, loading and filtering. This
  // only reads files and parameters that the loop below does not change.
  const auto prepare = [&](int64_t step) {
    PreparedRecord item;
    item.index = int64_t{pars.firstAE} + step;
    if (step >= total) {
      item.end = true;
      return item;
    }
    const auto n = static_cast<int32_t>(item.index);
    if (template_numbers.count(n) != 0) {
      item.Log(StrPrintf("  Skip template event (AE#=%d)\n", n));
      return item;
    }
    if (unfinished.count(n) != 0) {
      // Scanning it again would write its rows a second time.
      item.Log(StrPrintf("  Skip event with an unfinished earlier write (AE#=%d)\n", n));
      return item;
    }
    const std::string path = StrPrintf("%s%06d.sg2", data_path.c_str(), n);
    item.Log(StrPrintf("  Loading %s...", path.c_str()));
    auto record = std::make_shared<XL_WaveDataSeg2>();
    if (record->Load(path, 1, 0, 0) < 1) {
      item.Log(" failed or non-existent!\n");
      item.Reopen();
      item.missing = true;
      return item;
    }
    item.read = true;

    const std::string_view comments = TextOf(record->header.comments);
    const bool marked = comments.find("tected") != std::string_view::npos;
    if (marked && pars.all == 0) {
      item.Log("  Skip event detected by prev. run(s)\n");
      return item;
    }
    const int32_t m = IntAfterKey(comments, "M=", 0);
    if (!marked && m > 0 && m >= pars.wellLocatedM) {
      item.Log(StrPrintf("  Skip well located event (Mid=%d)\n", m));
      return item;
    }

    record->sourceName = path;
    record->aeNumber = n;
    FinishPreparing(std::move(record), pars, item);
    return item;
  };

  int scanned = 0;
  int detected = 0;
  StartDetectionWriter(ctx);
  {
    RecordPipeline pipeline(prepare, templates, pars, ctx);
    PreparedRecord item;
    while (pipeline.Next(item) && !item.end) {
      ctx.writer->Report(ctx);
      // Told before each number, as most numbers are skipped.
      ctx.ReportProgress(item.index - pars.firstAE, total, detected);
      item.WriteLog(ctx);
      if (item.missing) ++ctx.counts.missing;
      if (item.read) ++ctx.counts.read;
      if (!item.record) continue;
      XL_WaveDataSeg2& record = *item.record;
      if (ScanRecord(templates, templates.size(), pars, ctx, record, item.scans.get()) > 0) {
        ++detected;
      } else if (pars.all != 0) {
        // A mark of an earlier detection that this run does not confirm goes;
        // the file gets back its raw samples, in a format that holds them all.
        SetText(record.header.comments, " ");
        if (filtering) record.RestoreSamples();
        // Written in turn by the writer; if it fails, the file keeps its
        // old content, mark included, and a rerun with `all` set scans it
        // again.
        DetectionJob job;
        job.rewriteOnly = true;
        job.sourceName = record.sourceName;
        job.outputs.push_back({record.sourceName, Seg2WrittenValues::Of(record), false});
        job.TakeRecord(record);
        ctx.writer->Submit(std::move(job));
      }
      ++scanned;
    }
  }
  // Records whose rows could not be written are not counted as detected.
  detected -= FinishDetectionWriter(ctx);
  ctx.ReportProgress(total, total, detected);

  templates.slots.clear();
  ctx.ReleaseWorkArrays();

  ctx.counts.scanned = scanned;
  ctx.counts.detected = detected;
  if (total > 0 && ctx.counts.read == 0 && ctx.losses.detections == 0) {
    ctx.counts.nothingToScan = true;
    ctx.log.Printf(" !Nothing to scan: no event file %s%%06d.sg2 of AE %d through %d could be "
                   "read\n",
                   data_path.c_str(), pars.firstAE, pars.lastAE);
  }
  FinishRunLog(ctx, scanned, detected);
  return detected;
}

}  // namespace qae
