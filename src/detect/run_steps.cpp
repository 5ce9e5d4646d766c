#include "detect/run_steps.h"

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <thread>
#include <vector>

#include "dsp/iir_filter.h"
#include "util/text.h"
#include "wave/sac_header.h"
#include "wave/time_utils.h"

namespace qae {

void FilterLogged(XL_WaveData& record, const AePars& pars, RunContext& ctx) {
  std::string message;
  if (FilterRecordBandpass(record, pars.fLow, pars.fHigh, &message) == 0) {
    ctx.log.Printf("  %s\n", message.c_str());
  }
}

void FinishPreparing(std::shared_ptr<XL_WaveDataSeg2> record, const AePars& pars,
                     PreparedRecord& item) {
  item.Log(" !\n");
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

void FinishRunLog(RunContext& ctx, int scanned, int detected) {
  if (!ctx.log.IsOpen()) return;
  ctx.log.Printf(" Ended: %d / %d events scanned/detected. %s\n", scanned, detected,
                 CurrentTimeText(0).c_str());
  ctx.log.Close();
  const std::string done_path = ctx.logPath.substr(0, ctx.logPath.size() - 4) + "_OK.txt";
  std::rename(ctx.logPath.c_str(), done_path.c_str());
}

}  // namespace qae
