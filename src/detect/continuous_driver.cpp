#include "detect/continuous_driver.h"

#include <algorithm>
#include <cmath>
#include <map>
#include <memory>
#include <mutex>
#include <set>

#include "detect/detection_writer.h"
#include "detect/interrupted_writes.h"
#include "detect/matched_filter_scan.h"
#include "detect/record_pipeline.h"
#include "detect/run_steps.h"
#include "detect/segment_ledger.h"
#include "detect/template_library.h"
#include "util/locked_append.h"
#include "util/text.h"
#include "wave/formats/continuous_reader.h"
#include "wave/formats/seg2_reader.h"
#include "wave/time_utils.h"

namespace qae {

SegmentGeometry ComputeSegmentGeometry(int32_t reference_samples) {
  SegmentGeometry g;
  g.step = 1000 * static_cast<int64_t>(std::floor(static_cast<double>(reference_samples) * 0.001));
  if (g.step < 0) g.step = 0;
  g.length = g.step + g.step / 10;
  return g;
}

int RunContinuous(RunContext& ctx, const std::string& template_dir, const std::string& data_path,
                  AePars& pars) {
  ctx.fatalError.clear();
  if (!StartRunLog(ctx, StrPrintf("%sLog_%06d_%06d.txt", pars.outDir.c_str(), pars.firstAE,
                                  pars.lastAE))) {
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

  // Segments whose detections an earlier run wrote are skipped (unless
  // `all` asks for everything again), and new detections are numbered
  // after theirs; a write that a crash interrupted is finished first.
  const std::string recording = RecordingIdentity(data_path);
  const std::string ledger_path = SegmentLedgerPath(pars.outDir);
  std::map<int64_t, int> done;  // segment -> AE number
  int next_ae = pars.firstAE;
  {
    // An interrupted write whose journal could not be finished keeps its
    // segment and its AE number, so that nothing overwrites them.
    std::set<int64_t> unfinished;
    int after_unfinished = pars.firstAE;
    for (const InterruptedCommit& c :
         RecoverInterruptedWrites(pars.outDir, pars.firstAE, pars.lastAE, recording, ctx)) {
      if (c.finished) continue;
      unfinished.insert(c.segment);
      after_unfinished = std::max(after_unfinished, c.aeNumber + 1);
    }
    std::string error;
    if (!ReadSegmentLedger(ledger_path, recording, &done, &error)) {
      return StopRun(ctx, "cannot read the segment ledger: " + error);
    }
    if (pars.all != 0) {
      done.clear();
      next_ae = pars.firstAE;
    }
    for (int64_t segment : unfinished) done.emplace(segment, -1);
    next_ae = std::max(next_ae, after_unfinished);
    for (const auto& [segment, ae] : done) {
      if (segment >= pars.firstAE && segment <= pars.lastAE) next_ae = std::max(next_ae, ae + 1);
    }
  }

  TemplateLibrary templates = LoadTemplates(template_dir, pars, ctx);
  ctx.log.Reopen();
  if (pars.maxTemplates < 1) {
    ctx.log.Printf(" !Number of templates is 0 in %s\n", template_dir.c_str());
    ctx.log.Close();
    ctx.fatalError = "Number of templates is 0 in " + template_dir;
    return 0;
  }

  // Everything that would make every segment fail is settled here, before
  // a large library is filtered for nothing.
  const std::string unusable = DeriveWindowSizes(templates, 0, pars, ctx);
  if (!unusable.empty()) return StopRun(ctx, unusable);
  const std::string too_large = GridRefusal(templates, pars, ctx);
  if (!too_large.empty()) return StopRun(ctx, too_large);

  ContinuousReader reader;
  const std::string unreadable = reader.CheckRecording(data_path);
  if (!unreadable.empty()) return StopRun(ctx, unreadable);

  const XL_WaveDataSeg2& reference = templates[0];
  const XL_WaveTrace& reference_trace = reference.Trace(0);
  const int32_t reference_samples =
      std::max(0, std::min(reference_trace.sampleCount, reference_trace.AllocatedSlots()));
  const SegmentGeometry segments = ComputeSegmentGeometry(reference_samples);
  if (segments.step < 1) {
    // Segments of length 0 would never reach the end of the recording.
    return StopRun(ctx, StrPrintf("reference template %s has %d samples; a continuous recording "
                                  "is cut into segments of whole thousands of its samples, so "
                                  "it needs at least 1000",
                                  reference.sourceName.c_str(), reference_samples));
  }
  const ContinuousLayout layout = ParseContinuousLayout(data_path);
  if (segments.length > layout.MaxWindow()) {
    // The layout reads a fixed block per window; every segment would be too
    // long, so the run is refused rather than each segment.
    return StopRun(
        ctx, StrPrintf("segments of %lld samples (from the %d samples of reference template %s) "
                       "are longer than the %lld samples a window of the %s layout of %s holds",
                       static_cast<long long>(segments.length), reference_samples,
                       reference.sourceName.c_str(), static_cast<long long>(layout.MaxWindow()),
                       layout.Name(), data_path.c_str()));
  }

  FilterTemplates(templates, pars, ctx);

  ctx.AllocateWorkArrays();
  ctx.log.Printf("  Start to scan AE from %d through %d\n", pars.firstAE, pars.lastAE);

  const int64_t total = std::max<int64_t>(0, int64_t{pars.lastAE} - pars.firstAE + 1);
  // Records of segments without a detection are read into again: the
  // default layout refills a record's traces, so a segment costs no
  // allocation and no zero-filling of its samples. The other layouts add
  // traces on every read and get a fresh record each time.
  const bool refillable = layout.kind == ContinuousLayoutKind::kDefault;
  std::mutex spare_mutex;
  std::vector<std::shared_ptr<XL_WaveDataSeg2>> spare;
  // Segment `step` of the range, read into a record of its own and filtered.
  const auto prepare = [&](int64_t step) {
    PreparedRecord item;
    item.index = int64_t{pars.firstAE} + step;
    if (step >= total) {
      item.end = true;
      return item;
    }
    if (const auto it = done.find(item.index); it != done.end()) {
      item.Log(it->second >= 0
                   ? StrPrintf("  Skip segment %d detected by prev. run(s) (AE#=%d)\n",
                               static_cast<int32_t>(item.index), it->second)
                   : StrPrintf("  Skip segment %d with an unfinished earlier write\n",
                               static_cast<int32_t>(item.index)));
      item.read = true;
      return item;
    }
    item.Log(StrPrintf("  Loading %s: %d...", data_path.c_str(), static_cast<int32_t>(item.index)));
    std::shared_ptr<XL_WaveDataSeg2> record;
    if (refillable) {
      std::lock_guard<std::mutex> lock(spare_mutex);
      if (!spare.empty()) {
        record = std::move(spare.back());
        spare.pop_back();
      }
    }
    if (!record) record = std::make_shared<XL_WaveDataSeg2>();
    const int64_t first = item.index * segments.step;
    if (reader.ReadWindow(data_path, record->header, record->traces, first,
                          first + segments.length) < 1) {
      item.Log(" EOF reached !\n");
      item.Reopen();
      // The end of the data completes the run; anything else (a negative
      // segment index, a file gone since the start) does not.
      if (reader.status() != ContinuousStatus::kEndOfData) item.stopReason = reader.message();
      item.end = true;
      item.missing = true;
      return item;
    }
    item.read = true;
    FinishPreparing(std::move(record), pars, item);
    return item;
  };

  int scanned = 0;
  int detected = 0;
  std::string stopped;
  StartDetectionWriter(ctx);
  {
    RecordPipeline pipeline(prepare, templates, pars, ctx);
    PreparedRecord item;
    while (pipeline.Next(item)) {
      ctx.writer->Report(ctx);
      item.WriteLog(ctx);
      if (item.read) ++ctx.counts.read;
      if (item.end) {
        // Segments of the range past the end of the recording.
        if (item.missing) ctx.counts.missing = static_cast<int>(total - (item.index - pars.firstAE));
        stopped = item.stopReason;
        break;
      }
      if (!item.record) continue;
      XL_WaveDataSeg2& record = *item.record;
      record.aeNumber = next_ae;
      record.sourceName = StrPrintf("%s%06d.sg2", pars.outDir.c_str(), record.aeNumber);
      ctx.segment = RunContext::Segment{recording, item.index, ledger_path};
      const int found = ScanRecord(templates, templates.size(), pars, ctx, record, item.scans.get());
      ctx.segment.reset();
      detected += found;
      next_ae += found;
      ++scanned;
      ctx.ReportProgress(item.index - pars.firstAE + 1, total, detected);
      // A record that kept its traces (no detection took them) and that
      // nothing else holds any more is read into again.
      item.scans.reset();
      if (refillable && record.TraceCount() > 0 && item.record.use_count() == 1) {
        std::lock_guard<std::mutex> lock(spare_mutex);
        spare.push_back(std::move(item.record));
      }
    }
  }
  // Segments whose rows could not be written are not counted as detected
  // (their AE numbers stay unused).
  detected -= FinishDetectionWriter(ctx);
  ctx.ReportProgress(total, total, detected);

  templates.slots.clear();
  ctx.ReleaseWorkArrays();
  ctx.counts.scanned = scanned;
  ctx.counts.detected = detected;
  if (!stopped.empty()) {
    StopRun(ctx, stopped);
    return detected;
  }
  if (total > 0 && ctx.counts.read == 0 && ctx.losses.detections == 0) {
    ctx.counts.nothingToScan = true;
    ctx.log.Printf(" !Nothing to scan: no segment %d through %d of %s could be read\n",
                   pars.firstAE, pars.lastAE, data_path.c_str());
  }
  FinishRunLog(ctx, scanned, detected);
  return detected;
}

}  // namespace qae
