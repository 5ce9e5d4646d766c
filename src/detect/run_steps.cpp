#include "detect/run_steps.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <thread>
#include <vector>

#include "detect/detection_writer.h"
#include "detect/grid_limits.h"
#include "detect/run_log.h"
#include "dsp/iir_filter.h"
#include "util/file_io.h"
#include "util/text.h"
#include "wave/sac_header.h"
#include "wave/time_utils.h"

namespace qae {

namespace {

// The closing word on what the run could not write.
void LogLosses(RunContext& ctx) {
  if (!ctx.losses.Any()) return;
  ctx.log.Printf(" !Incomplete: %d detection%s not written; rerunning the same range writes "
                 "them\n",
                 ctx.losses.detections, ctx.losses.detections == 1 ? "" : "s");
}

}  // namespace

void FilterLogged(XL_WaveData& record, const AePars& pars, RunContext& ctx) {
  std::string message;
  if (FilterRecordBandpass(record, pars.fLow, pars.fHigh, &message) == 0) {
    ctx.log.Printf("  %s\n", message.c_str());
  }
}

void FinishPreparing(std::shared_ptr<XL_WaveDataSeg2> record, const AePars& pars,
                     PreparedRecord& item) {
  // A file read only in part is still scanned, but the log says what of it
  // was missing.
  item.Log(record->PartialRead().empty() ? std::string(" !\n")
                                         : " ! partly read: " + record->PartialRead() + "\n");
  item.Reopen();
  if (pars.fLow < pars.fHigh) {
    record->SaveSamples();
    std::string message;
    if (FilterRecordBandpass(*record, pars.fLow, pars.fHigh, &message) == 0) {
      item.Log(StrPrintf("  %s\n", message.c_str()));
    }
  }
  ClearPicks(*record);
  item.record = std::move(record);
}

void FilterTemplates(TemplateLibrary& templates, const AePars& pars, RunContext& ctx) {
  if (!(pars.fLow < pars.fHigh)) return;
  ctx.log.Printf("  Start IIR filtering  %s...\n", CurrentTimeText(0).c_str());
  // Templates are filtered by the scanning threads, each taking the next
  // one; refusals are logged afterwards in template order.
  std::vector<std::string> refusals(templates.slots.size());
  std::atomic<std::size_t> next{0};
  const auto work = [&] {
    for (std::size_t t; (t = next.fetch_add(1)) < templates.slots.size();) {
      XL_WaveDataSeg2& slot = templates.slots[t];
      if (slot.TraceCount() > 0) FilterRecordBandpass(slot, pars.fLow, pars.fHigh, &refusals[t]);
    }
  };
  std::vector<std::thread> helpers;
  const std::size_t extra = std::min<std::size_t>(
      static_cast<std::size_t>(ctx.ScanThreads() - 1), templates.slots.size() / 2);
  for (std::size_t i = 0; i < extra; ++i) helpers.emplace_back(work);
  work();
  for (std::thread& h : helpers) h.join();
  for (const std::string& refusal : refusals) {
    if (!refusal.empty()) ctx.log.Printf("  %s\n", refusal.c_str());
  }
  ctx.log.Printf("  End of IIR filtering %s.", CurrentTimeText(0).c_str());
}

int StopRun(RunContext& ctx, const std::string& reason) {
  ctx.fatalError = reason;
  LogLosses(ctx);
  ctx.log.Printf(" !%s\n", reason.c_str());
  ctx.log.Close();
  ctx.ReleaseWorkArrays();
  return 0;
}

std::string DeriveWindowSizes(const TemplateLibrary& templates, int ref, const AePars& pars,
                              RunContext& ctx) {
  if (ref < 0 || ref >= templates.size()) {
    return StrPrintf("reference template %d does not exist (only %d template slots)", ref,
                     templates.size());
  }
  const XL_WaveDataSeg2& tpl = templates[ref];
  if (tpl.TraceCount() < 1) {
    return StrPrintf("reference template %d (%s) holds no traces: it was not loaded", ref,
                     tpl.sourceName.c_str());
  }
  if (tpl.TraceCount() > kMaxStations) {
    return StrPrintf("reference template %s has %d traces; at most %d are supported",
                     tpl.sourceName.c_str(), tpl.TraceCount(), kMaxStations);
  }
  const XL_WaveTrace& trace = tpl.Trace(0);
  ctx.dt = static_cast<float>(trace.samplingInterval);
  ctx.nTraces = tpl.TraceCount();
  const WindowSizes w = ComputeWindowSizes(pars.preWin, pars.postWin, ctx.dt);
  ctx.winLen = w.winLen;
  ctx.preLen = w.preLen;
  ctx.len5 = w.len5;
  ctx.len2 = w.len2;
  if (ctx.winLen < 1) {
    return StrPrintf(
        "matching window of %d samples is empty (preWin %g + postWin %g, sample interval %g "
        "of reference template %s)",
        ctx.winLen, static_cast<double>(pars.preWin), static_cast<double>(pars.postWin),
        static_cast<double>(ctx.dt), tpl.sourceName.c_str());
  }
  const int64_t samples = std::max<int32_t>(0, std::min(trace.sampleCount, trace.AllocatedSlots()));
  const int64_t lags = samples - ctx.winLen - 1;
  if (lags <= 0) {
    return StrPrintf(
        "reference template %s has %lld samples, too few for the matching window of %d samples",
        tpl.sourceName.c_str(), static_cast<long long>(samples), ctx.winLen);
  }
  ctx.nLags = static_cast<int32_t>(lags);
  return std::string();
}

std::string GridRefusal(const TemplateLibrary& templates, const AePars& pars, RunContext& ctx) {
  if (ctx.kernel != RunContext::Kernel::kFast) return std::string();
  std::string problem = GridSizeProblem(pars, ctx.nTraces, templates.size(), ctx.ScanThreads());
  if (!problem.empty()) ctx.refusedParameters = true;
  return problem;
}

void ClearPicks(XL_WaveData& record) {
  for (auto& trace : record.traces) {
    trace->pickup[0] = -1;
    trace->nsRatio = 0.0;
    trace->ampPickup = 0.0;
    trace->ampPickupSign = 0;
    if (trace->sacHeader) {
      float* f = trace->sacHeader->floats;
      f[SacHeader::kT1] = f[SacHeader::kB] - f[SacHeader::kDelta];
      f[SacHeader::kUser1] = 0.0f;
    }
  }
}

void StartDetectionWriter(RunContext& ctx) { ctx.writer = std::make_shared<DetectionWriter>(); }

int FinishDetectionWriter(RunContext& ctx) {
  if (!ctx.writer) return 0;
  ctx.writer->Finish(ctx);
  const int without_rows = ctx.writer->recordsWithoutRows();
  const DetectionWriter::Times t = ctx.writer->times();
  ctx.pipelineTimes.writeCpu += t.cpu;
  ctx.pipelineTimes.writeWall += t.wall;
  ctx.pipelineTimes.writtenRecords += t.records;
  ctx.pipelineTimes.commitGroups += t.groups;
  ctx.writer.reset();
  return without_rows;
}

std::string CompletedLogPath(const std::string& log_path) {
  return log_path.substr(0, log_path.size() >= 4 ? log_path.size() - 4 : 0) + "_OK.txt";
}

bool StartRunLog(RunContext& ctx, const std::string& path) {
  ctx.log.Close();
  ctx.logPath = path;
  // The completed log of an earlier run over the range is kept too, so that
  // the "_OK" name always speaks of the latest run.
  std::string backup;
  std::string error;
  if (!KeepAsBackup(CompletedLogPath(path), &backup, &error)) {
    ctx.fatalError = error;
    return false;
  }
  if (!ctx.log.Create(path)) return false;
  for (const std::string& line : ctx.logPreamble) ctx.log.Printf(" !%s\n", line.c_str());
  return true;
}

void FinishRunLog(RunContext& ctx, int scanned, int detected) {
  if (!ctx.log.IsOpen()) return;
  LogLosses(ctx);
  ctx.log.Printf(" Ended: %d / %d events scanned/detected. %s\n", scanned, detected,
                 CurrentTimeText(0).c_str());
  ctx.log.Close();
  if (ctx.losses.Any() || !ctx.log.failure().empty()) return;
  const std::string done_path = CompletedLogPath(ctx.logPath);
  std::string why;
  if (!MoveFileOver(ctx.logPath, done_path, &why)) {
    ctx.fatalError = "the log is complete but could not be renamed to " + done_path + ": " + why;
  }
}

}  // namespace qae
