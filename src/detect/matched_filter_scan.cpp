#include "detect/matched_filter_scan.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <string>

#include "detect/detection_outputs.h"
#include "detect/event_parameters.h"
#include "detect/fast_scan.h"
#include "detect/record_pipeline.h"
#include "detect/scan_pool.h"
#include "detect/scan_diagnostics.h"
#include "detect/travel_time.h"
#include "dsp/calendar.h"
#include "dsp/iir_filter.h"
#include "util/key_values.h"
#include "util/text.h"
#include "wave/formats/seg2_reader.h"
#include "wave/time_utils.h"

namespace qae {

namespace {

// Sample i of a trace, 0 outside its valid samples: windows near the ends
// of a short record or template read zeros instead of foreign memory.
inline double SampleOrZero(const XL_WaveTrace& t, int64_t i) {
  const int64_t valid = std::min(t.sampleCount, t.AllocatedSlots());
  return (i >= 0 && i < valid) ? static_cast<double>(t.samples[static_cast<std::size_t>(i)]) : 0.0;
}

// The correlation value of one lag; a window without energy correlates as 0.
inline float Normalised(double cxy, double e_t, double e_r) {
  const double energy = e_t * e_r;
  if (!(energy > 0.0)) return 0.0f;
  return static_cast<float>(cxy / std::sqrt(energy));
}

double SecondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// Record start as a Julian day, the reference time of the diagnostic files.
double RecordStartJulianDay(const WaveHeader& h) {
  int year = 0;
  int month = 0;
  int day = 0;
  int hour = 0;
  int minute = 0;
  float seconds = 0.0f;
  const std::string date(TextOf(h.acquisitionDate));
  const std::string time(TextOf(h.acquisitionTime));
  std::sscanf(date.c_str(), "%4d/%2d/%2d", &year, &month, &day);
  std::sscanf(time.c_str(), "%2d:%2d:%f", &hour, &minute, &seconds);
  seconds += static_cast<float>(h.timeUsec * 1e-6);
  return JulianDay(year, month, day, hour, minute, seconds, 0.0f);
}

}  // namespace

StationSelection SelectStations(const XL_WaveData& tpl, const AePars& pars,
                                const RunContext& ctx) {
  StationSelection sel;
  sel.m = IntAfterKey(TextOf(tpl.header.comments), "M=", 0);
  sel.minPick = ctx.nLags;
  sel.maxPick = 0;
  sel.locInd.assign(static_cast<std::size_t>(std::max(ctx.nTraces, 0)), 9999);
  for (int i = 0; i < ctx.nTraces; ++i) {
    if (i >= tpl.TraceCount()) continue;
    const XL_WaveTrace& t = tpl.Trace(i);
    const auto loc = static_cast<int16_t>(IntAfterKey(TextOf(t.note), "loc_ind=", 9999));
    sel.locInd[static_cast<std::size_t>(i)] = loc;
    if (loc >= sel.m) continue;
    sel.traceIndex.push_back(i);
    sel.pick.push_back(t.pickup[0]);
    sel.minPick = std::min(sel.minPick, t.pickup[0]);
    sel.maxPick = std::max(sel.maxPick, t.pickup[0]);
    sel.gradient.push_back(
        TravelTimeGradient(t.receiverLocation, t.sourceLocation, pars.velX, pars.velY, pars.velZ));
  }
  return sel;
}

GridSteps ComputeGridSteps(const AePars& pars) {
  GridSteps s;
  s.sx = pars.gridStepsX > 0 ? pars.gridHalfX / static_cast<float>(pars.gridStepsX) : 0.0f;
  s.sy = pars.gridStepsY > 0 ? pars.gridHalfY / static_cast<float>(pars.gridStepsY) : 0.0f;
  s.sz = pars.gridStepsZ > 0 ? pars.gridHalfZ / static_cast<float>(pars.gridStepsZ) : 0.0f;
  return s;
}

int32_t StationShift(const XL_Vector3D& g, float dx, float dy, float dz, float dt) {
  const auto j = static_cast<float>(dy * g.y + dx * g.x + dz * g.z);
  const float samples = -j / dt;
  const double shift = std::floor(static_cast<double>(samples) + 0.5);
  // Offsets or gradients of infinite size (a half-width near the float
  // limit, a velocity that underflows) give an infinite or undefined delay.
  // Infinite shifts saturate; an undefined one takes the most negative
  // shift, which moves the station off its row like any shift beyond it.
  if (std::isnan(shift)) return INT32_MIN;
  return static_cast<int32_t>(std::clamp(shift, -2147483648.0, 2147483647.0));
}

void CorrelationRow(const XL_WaveTrace& tpl_trace, const XL_WaveTrace& rec_trace, int32_t pick,
                    int32_t min_pick, int32_t lag_range, const RunContext& ctx, int mean_mode,
                    float* row) {
  const int64_t w = ctx.winLen;
  std::fill(row, row + std::max(lag_range, 0), 0.0f);
  if (lag_range <= 0 || w <= 0) return;
  std::vector<double> y(static_cast<std::size_t>(w));
  const int64_t y0 = int64_t{pick} - ctx.preLen;  // template window start
  for (int64_t j = 0; j < w; ++j) y[static_cast<std::size_t>(j)] = SampleOrZero(tpl_trace, y0 + j);
  const int64_t x0 = static_cast<int64_t>(pick) - min_pick;  // record start at lag 0
  auto x = [&](int64_t i) { return SampleOrZero(rec_trace, x0 + i); };

  if (mean_mode != 0) {
    double m_t = 0.0;
    double m_r = 0.0;
    for (int64_t j = 0; j < w; ++j) {
      m_t += y[static_cast<std::size_t>(j)];
      m_r += x(j);
    }
    m_t /= static_cast<double>(w);
    m_r /= static_cast<double>(w);
    double e_t = 0.0;
    for (double v : y) e_t += (v - m_t) * (v - m_t);
    for (int32_t lag = 0; lag < lag_range; ++lag) {
      if (lag > 0) m_r += (x(lag + w - 1) - x(lag - 1)) / static_cast<double>(w);
      double cxy = 0.0;
      double e_r = 0.0;
      for (int64_t j = 0; j < w; ++j) {
        const double d = x(lag + j) - m_r;
        cxy += d * (y[static_cast<std::size_t>(j)] - m_t);
        e_r += d * d;
      }
      row[lag] = Normalised(cxy, e_t, e_r);
    }
    return;
  }

  double e_t = 0.0;
  double e_r = 0.0;
  for (int64_t j = 0; j < w; ++j) {
    e_t += y[static_cast<std::size_t>(j)] * y[static_cast<std::size_t>(j)];
    e_r += x(j) * x(j);
  }
  for (int32_t lag = 0; lag < lag_range; ++lag) {
    if (lag > 0) {
      const double out = x(lag - 1);
      const double in = x(lag + w - 1);
      e_r = e_r - out * out + in * in;
    }
    double cxy = 0.0;
    for (int64_t j = 0; j < w; ++j) cxy += x(lag + j) * y[static_cast<std::size_t>(j)];
    row[lag] = Normalised(cxy, e_t, e_r);
  }
}

void StackRows(const TemplateScan& scan, float dt, const GridSteps& steps, int32_t ix, int32_t iy,
               int32_t iz, float* stack) {
  const int32_t lags = scan.lagRange;
  std::fill(stack, stack + lags, 0.0f);
  const float dx = static_cast<float>(ix) * steps.sx;
  const float dy = static_cast<float>(iy) * steps.sy;
  const float dz = static_cast<float>(iz) * steps.sz;
  for (int k = 0; k < scan.stations.n(); ++k) {
    const int32_t s =
        StationShift(scan.stations.gradient[static_cast<std::size_t>(k)], dx, dy, dz, dt);
    const int64_t a = std::max(s, 0);
    const int64_t b = std::max(-static_cast<int64_t>(s), int64_t{0});
    const int64_t overlap = lags - a - b;
    const float* row = scan.Row(k);
    for (int64_t j = 0; j < overlap; ++j) stack[b + j] += row[a + j];
  }
  for (int32_t q = 0; q < lags; ++q) stack[q] *= scan.invN;
}

void FindGridPeaksReference(TemplateScan& scan, const AePars& pars, const RunContext& ctx,
                            float threshold, ScanTimings* timings) {
  const int32_t lags = scan.lagRange;
  if (lags <= 0) return;
  const GridSteps steps = ComputeGridSteps(pars);
  // 64-bit indices: a step count of INT32_MAX would overflow the increment
  // past the last index.
  const int64_t nx = std::max(pars.gridStepsX, 0);
  const int64_t ny = std::max(pars.gridStepsY, 0);
  const int64_t nz = std::max(pars.gridStepsZ, 0);
  const int32_t scan_range = lags - ctx.winLen;
  float* stack = scan.Row(scan.stations.n());
  for (int64_t ix64 = -nx; ix64 <= nx; ++ix64) {
    const auto ix = static_cast<int32_t>(ix64);
    for (int64_t iy64 = -ny; iy64 <= ny; ++iy64) {
      const auto iy = static_cast<int32_t>(iy64);
      for (int64_t iz64 = -nz; iz64 <= nz; ++iz64) {
        const auto iz = static_cast<int32_t>(iz64);
        const auto clock = std::chrono::steady_clock::now();
        StackRows(scan, ctx.dt, steps, ix, iy, iz, stack);
        const auto stacked = std::chrono::steady_clock::now();
        SearchPeaks(stack, lags, scan_range, threshold, pars.snrMin, ctx.len2, ctx.len5,
                    [&](int32_t q, float value, float snr1, float snr2) {
                      scan.peaks.push_back({ix, iy, iz, q, value, snr1, snr2});
                    });
        if (timings) {
          timings->stack += std::chrono::duration<double>(stacked - clock).count();
          timings->peakSearch += SecondsSince(stacked);
        }
      }
    }
  }
}

TemplateScan BeginTemplateScan(const XL_WaveData& tpl, const AePars& pars,
                               const RunContext& ctx) {
  TemplateScan scan;
  if (tpl.TraceCount() == 0) return scan;
  scan.stations = SelectStations(tpl, pars, ctx);
  const StationSelection& sel = scan.stations;
  if (sel.m < pars.minStations || sel.n() < pars.minStations) return scan;
  scan.scanned = true;
  scan.invN = 1.0f / static_cast<float>(sel.n());
  // Template picks are whatever the files say; their spread is taken in 64
  // bits, and a spread beyond the lag range leaves no lag (L <= 0).
  const int64_t lag_range = int64_t{ctx.nLags} - (int64_t{sel.maxPick} - sel.minPick);
  scan.lagRange = static_cast<int32_t>(std::max<int64_t>(lag_range, INT32_MIN));
  return scan;
}

TemplateScan ScanTemplateReference(const XL_WaveData& tpl, const XL_WaveData& record,
                                   const AePars& pars, RunContext& ctx, float threshold) {
  TemplateScan scan = BeginTemplateScan(tpl, pars, ctx);
  if (!scan.scanned) return scan;
  const StationSelection& sel = scan.stations;
  const int32_t lags = scan.lagRange;
  scan.rows = ctx.ccRows.data();
  scan.rowStride = ctx.RowStride();
  if (lags <= 0) return scan;

  ++ctx.timings.templateRecords;
  auto clock = std::chrono::steady_clock::now();
  for (int k = 0; k < sel.n(); ++k) {
    const int i = sel.traceIndex[static_cast<std::size_t>(k)];
    static const XL_WaveTrace kEmpty;
    const XL_WaveTrace& rec_trace = i < record.TraceCount() ? record.Trace(i) : kEmpty;
    CorrelationRow(tpl.Trace(i), rec_trace, sel.pick[static_cast<std::size_t>(k)], sel.minPick,
                   lags, ctx, pars.mean, scan.Row(k));
  }

  ctx.timings.correlation += SecondsSince(clock);

  FindGridPeaksReference(scan, pars, ctx, threshold, &ctx.timings);
  return scan;
}

namespace {

// Applies one accepted peak to the candidate table: peaks within dupWin of
// an existing row compete for that row; others open a new row (at most
// kMaxCandidates; further distinct events are refused).
void UpdateCandidates(const AcceptedPeak& p, int template_index, const TemplateScan& scan,
                      const GridSteps& steps, float threshold, const AePars& pars,
                      RunContext& ctx, ScanDiagnostics& diag) {
  const double peak_time = static_cast<float>(static_cast<float>(p.q) * ctx.dt);
  int j = 0;
  while (j < ctx.nEvents && !(std::fabs(ctx.events[static_cast<std::size_t>(j)].time - peak_time) < pars.dupWin)) ++j;
  if (j == ctx.nEvents) {
    if (ctx.nEvents >= kMaxCandidates) return;
    ctx.events[static_cast<std::size_t>(j)] = CandidateEvent{};
    ctx.events[static_cast<std::size_t>(j)].cc = threshold;
    ++ctx.nEvents;
  }
  CandidateEvent& row = ctx.events[static_cast<std::size_t>(j)];
  if (!(p.value > row.cc)) return;
  row.ix = p.ix;
  row.iy = p.iy;
  row.iz = p.iz;
  row.templateIndex = template_index;
  row.cc = p.value;
  row.snr1 = p.snr1;
  row.snr2 = p.snr2;
  row.time = peak_time;
  row.lag = p.q;
  if (ctx.log.IsOpen() && pars.outLevel >= 2) {
    ctx.log.Printf(
        " Potential event detected at %d(%fs), CC=%.4f, snr1=%.2f, snr2=%.2f, dX=%.2f, dY=%.2f, "
        "dZ=%.2f, nTraces=%d, n=%d, Templ=%d\n",
        p.q, peak_time, static_cast<double>(p.value), static_cast<double>(p.snr1),
        static_cast<double>(p.snr2), static_cast<double>(static_cast<float>(p.ix) * steps.sx),
        static_cast<double>(static_cast<float>(p.iy) * steps.sy),
        static_cast<double>(static_cast<float>(p.iz) * steps.sz), scan.stations.n(),
        ctx.nEvents, template_index);
  }
  if (ctx.log.IsOpen() && pars.outLevel >= 5) diag.WriteCandidate(scan, steps, p, ctx);
}

}  // namespace

int ScanRecord(TemplateLibrary& templates, int template_count, AePars& pars, RunContext& ctx,
               XL_WaveData& record, ScanBatch* queued) {
  ApplyVelocityOverrides(record, pars);
  float cc_so_far = 0.0f;
  const float threshold = RecordThreshold(record, pars, &cc_so_far);
  ctx.log.Printf("  Cross correlation: CC_sofar=%.2f %s \n", static_cast<double>(cc_so_far),
                 CurrentTimeText(0).c_str());
  ScanDiagnostics diag(pars.outDir, RecordStartJulianDay(record.header));
  ctx.nEvents = 0;

  const GridSteps steps = ComputeGridSteps(pars);
  template_count = std::min(template_count, templates.size());
  // The results of one template, applied in template order; false ends the
  // template loop (a match above 0.99).
  auto replay = [&](int t, const TemplateScan& scan) {
    if (!scan.scanned) return true;
    if (pars.outLevel > 5) diag.WriteStack(scan, ctx);
    for (const AcceptedPeak& p : scan.peaks) {
      UpdateCandidates(p, t, scan, steps, threshold, pars, ctx, diag);
    }
    float best = 0.0f;
    for (int j = 0; j < ctx.nEvents; ++j) {
      CandidateEvent& row = ctx.events[static_cast<std::size_t>(j)];
      if (row.templateIndex != t) continue;
      best = std::max(best, row.cc);
      row.mw = 0.0f;
      ctx.log.Printf(" Final event detected: Mw=%.2f, CC=%.4f, dX=%.2f, dY=%.2f, dZ=%.2f, n=%d/%d\n",
                     0.0, static_cast<double>(row.cc),
                     static_cast<double>(static_cast<float>(row.ix) * steps.sx),
                     static_cast<double>(static_cast<float>(row.iy) * steps.sy),
                     static_cast<double>(static_cast<float>(row.iz) * steps.sz), j, ctx.nEvents);
    }
    return !(best > 0.99f);
  };

  const auto consume = [&](int t, const TemplateScan& scan, const ScanTimings& time) {
    ctx.timings.correlation += time.correlation;
    ctx.timings.stack += time.stack;
    ctx.timings.peakSearch += time.peakSearch;
    ctx.timings.templateRecords += time.templateRecords;
    return replay(t, scan);
  };
  if (queued && ctx.pool) {
    ctx.pool->Consume(*queued, consume);
  } else if (ctx.pool && ctx.kernel == RunContext::Kernel::kFast) {
    ctx.pool->ScanInOrder(templates, template_count, record, pars, ctx, threshold, consume);
  } else {
    XL_WaveDataSeg2 scratch;
    const RecordBrainFloats record_pairs(record, int64_t{ctx.nLags} + ctx.winLen);
    for (int t = 0; t < template_count; ++t) {
      const XL_WaveData* tpl = &templates[t];
      if (tpl->TraceCount() == 0) {
        if (pars.iTE > pars.iTS) continue;
        if (scratch.Load(templates[t].sourceName, 1, 0, 0) < 1) continue;
        if (pars.fLow < pars.fHigh) FilterRecordBandpass(scratch, pars.fLow, pars.fHigh);
        tpl = &scratch;
      }
      const TemplateScan scan =
          ctx.kernel == RunContext::Kernel::kReference
              ? ScanTemplateReference(*tpl, record, pars, ctx, threshold)
              : ScanTemplateFast(*tpl, record, pars, ctx, ctx.workspace, threshold, &ctx.timings,
                                 t, WantsExactRows(pars), &record_pairs);
      if (!replay(t, scan)) break;
    }
  }

  const int removed = RemoveDuplicateEvents(ctx.events.data(), ctx.nEvents, pars.dupWin);
  if (ctx.nEvents <= removed) {
    if (ctx.log.IsOpen()) ctx.log.Reopen();
    return 0;
  }
  const auto clock = std::chrono::steady_clock::now();
  const int opened = WriteDetectionOutputs(templates, removed, record, pars, ctx);
  ctx.timings.outputs += SecondsSince(clock);
  if (opened == 1 && ctx.log.IsOpen()) ctx.log.Reopen();
  return opened;
}

}  // namespace qae
