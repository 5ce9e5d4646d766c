#include "detect/event_file_driver.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <string_view>
#include <unordered_set>

#include "detect/detection_outputs.h"
#include "detect/matched_filter_scan.h"
#include "detect/template_library.h"
#include "dsp/iir_filter.h"
#include "util/key_values.h"
#include "util/text.h"
#include "wave/formats/seg2_reader.h"
#include "wave/formats/seg2_writer.h"
#include "wave/sac_header.h"
#include "wave/time_utils.h"

namespace qae {

namespace {

// Band-pass filters `record`; a refused design leaves it unfiltered and
// costs one log line naming the reason.
void FilterLogged(XL_WaveData& record, const AePars& pars, RunContext& ctx) {
  std::string message;
  if (FilterRecordBandpass(record, pars.fLow, pars.fHigh, &message) == 0) {
    ctx.log.Printf("  %s\n", message.c_str());
  }
}

// Ends a run that cannot be scanned: the reason goes to the caller and to
// the log, which keeps its plain name because the run is not complete.
int StopRun(RunContext& ctx, const std::string& reason) {
  ctx.fatalError = reason;
  ctx.log.Printf(" !%s\n", reason.c_str());
  ctx.log.Close();
  ctx.ReleaseWorkArrays();
  return 0;
}

// Derives the window sizes of the scan from the reference template (slot
// iTS, or 0 when iTS is negative). Returns an empty string when they are
// usable, else why the run cannot be scanned with them.
std::string DeriveWindowSizes(const TemplateLibrary& templates, const AePars& pars,
                              RunContext& ctx) {
  const int ref = pars.iTS < 0 ? 0 : pars.iTS;
  if (ref >= templates.size()) {
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

// Forgets the picks of every trace, so that a scan starts from none.
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

}  // namespace

int RunEventFiles(RunContext& ctx, const std::string& data_path, const std::string& template_dir,
                  AePars& pars) {
  ctx.fatalError.clear();
  const std::string log_path =
      StrPrintf("%sLog_%06d_%06d.txt", pars.outDir.c_str(), pars.firstAE, pars.lastAE);

  if (data_path.find(".lng") != std::string::npos) {
    // TODO(continuous driver): hand the run to RunContinuous (ctx, template_dir,
    // data_path, pars) once the continuous-data reader and driver exist.
    ctx.log.Close();
    ctx.logPath = log_path;
    ctx.log.Create(log_path);
    return StopRun(ctx, "continuous recordings (.lng) are not supported yet");
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
  const std::string unusable = DeriveWindowSizes(templates, pars, ctx);
  if (!unusable.empty()) return StopRun(ctx, unusable);

  const bool filtering = pars.fLow < pars.fHigh;
  if (filtering) {
    ctx.log.Printf("  Start IIR filtering  %s...\n", CurrentTimeText(0).c_str());
    for (XL_WaveDataSeg2& slot : templates.slots) {
      if (slot.TraceCount() > 0) FilterLogged(slot, pars, ctx);
    }
    ctx.log.Printf("  End of IIR filtering %s.", CurrentTimeText(0).c_str());
  }

  ctx.AllocateWorkArrays();

  std::unordered_set<int32_t> template_numbers;
  for (const XL_WaveDataSeg2& slot : templates.slots) template_numbers.insert(slot.aeNumber);

  XL_WaveDataSeg2 record;
  ctx.log.Printf("  Start to scan AE from %d through %d\n", pars.firstAE, pars.lastAE);

  int scanned = 0;
  int detected = 0;
  // 64-bit, so that a range ending at INT32_MAX terminates.
  for (int64_t ae = pars.firstAE; ae <= pars.lastAE; ++ae) {
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
