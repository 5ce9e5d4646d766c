#include "detect/event_parameters.h"

#include <algorithm>
#include <cmath>

#include "util/crt_random.h"
#include "util/key_values.h"
#include "util/text.h"

namespace qae {

namespace {

bool Alive(const CandidateEvent& e) { return e.templateIndex != -1; }

// Largest |sample| of `t` over `count` samples from `first`, cut at the ends
// of the trace.
double MaxAbs(const XL_WaveTrace& t, int64_t first, int64_t count) {
  const int64_t valid = std::min(t.sampleCount, t.AllocatedSlots());
  const int64_t begin = std::max<int64_t>(first, 0);
  const int64_t end = std::min(valid, first + count);
  double best = 0.0;
  for (int64_t i = begin; i < end; ++i) {
    best = std::max(best, static_cast<double>(std::fabs(t.samples[static_cast<std::size_t>(i)])));
  }
  return best;
}

// trunc(x) as a sample count, saturated to +-2^62 (so that sums of such
// counts and 32-bit indices stay in range); NaN gives 0.
int64_t TruncSaturated(float x) {
  constexpr double kLimit = 4611686018427387904.0;  // 2^62
  const double t = std::trunc(static_cast<double>(x));
  if (!(t == t)) return 0;
  return static_cast<int64_t>(std::clamp(t, -kLimit, kLimit));
}

void ClearPickState(XL_WaveTrace& t) {
  t.nsRatio = 0.0;
  t.pickup[0] = -1;
  t.ampPickup = 0.0;
  t.ampPickupSign = 0;
  if (t.sacHeader) {
    t.sacHeader->floats[SacHeader::kT1] =
        t.sacHeader->floats[SacHeader::kB] - t.sacHeader->floats[SacHeader::kDelta];
    t.sacHeader->floats[SacHeader::kUser1] = 0.0f;
  }
}

}  // namespace

int RemoveDuplicateEvents(CandidateEvent* events, int n_events, float dup_win) {
  int removed = 0;
  for (int q = 0; q < n_events; ++q) {
    if (!Alive(events[q])) continue;
    // Row q absorbs every row within dup_win of it, taking the values of
    // whichever is stronger. Its time can move when it takes over a row, so
    // the sweep repeats until nothing is within reach.
    bool changed = true;
    while (changed) {
      changed = false;
      for (int p = 0; p < n_events; ++p) {
        if (p == q || !Alive(events[p])) continue;
        if (!(std::fabs(events[q].time - events[p].time) < dup_win)) continue;
        if (events[q].cc < events[p].cc) events[q] = events[p];
        events[p].templateIndex = -1;
        ++removed;
        changed = true;
      }
    }
  }
  return removed;
}

PeakAmplitude MeasurePeakAmplitude(XL_WaveTrace& trace, int32_t pick32) {
  PeakAmplitude result;
  const int64_t m = std::min(trace.sampleCount, trace.AllocatedSlots());
  const float* x = trace.samples.data();
  // 64-bit: a pick saturated at INT32_MAX (a station shift beyond any
  // trace) must not wrap round to a valid index.
  const int64_t pick = pick32;
  if (pick >= 0 && pick + 1 < m) {
    double sum = 0.0;
    for (int64_t i = 0; i <= pick; ++i) sum += std::fabs(x[i]);
    double level = sum / static_cast<double>(pick + 1);
    int64_t best = pick + 1;
    for (int64_t j = pick + 1; j < m; ++j) {
      if (std::fabs(x[j]) > level) {
        level = std::fabs(x[j]);
        best = j;
      } else if (j - best >= 10 && static_cast<double>(x[best]) * x[j] < 1.0) {
        break;
      }
    }
    result.amplitude = x[best];
    result.timeToPeak = static_cast<double>(best - pick) * trace.samplingInterval;
  }
  // A pick at or past the end of the trace has no amplitude after it: 0.
  trace.ampPickup = result.amplitude;
  if (trace.sacHeader) {
    trace.sacHeader->floats[SacHeader::kUser1] = static_cast<float>(result.amplitude);
    char* kuser1 = trace.sacHeader->text + SacHeader::kKuser1;
    std::fill(kuser1, kuser1 + 8, ' ');
    kuser1[0] = 'A';
    kuser1[1] = 'p';
  }
  return result;
}

// Quicksort after the published routine QCKSRT: partitions of fewer than 7
// elements by straight insertion, partitioning element chosen with the
// generator fx = (fx * 211 + 1663) mod 7875, the larger partition pushed on
// an explicit stack while the smaller is sorted first (so the stack never
// needs more than 2 log2(n) entries; insertion sort finishes should it ever
// be full).
void QCKSRT(float* arr, int n) {
  constexpr int kSmall = 7;
  constexpr int kStack = 50;
  constexpr long kFm = 7875;
  constexpr long kFa = 211;
  constexpr long kFc = 1663;
  int stack[kStack];
  int depth = 0;
  long fx = 0;
  int l = 0;
  int ir = n - 1;
  auto insertion = [arr](int lo, int hi) {
    for (int j = lo + 1; j <= hi; ++j) {
      const float a = arr[j];
      int i = j - 1;
      while (i >= lo && arr[i] > a) {
        arr[i + 1] = arr[i];
        --i;
      }
      arr[i + 1] = a;
    }
  };
  for (;;) {
    if (ir - l < kSmall) {
      insertion(l, ir);
      if (depth == 0) return;
      ir = stack[--depth];
      l = stack[--depth];
      continue;
    }
    fx = (fx * kFa + kFc) % kFm;
    const int iq = l + static_cast<int>((static_cast<long>(ir - l + 1) * fx) / kFm);
    const float a = arr[iq];
    arr[iq] = arr[l];
    int i = l;
    int j = ir;
    for (;;) {
      while (j > i && a < arr[j]) --j;
      if (j <= i) {
        arr[i] = a;
        break;
      }
      arr[i++] = arr[j];
      while (i < j && a > arr[i]) ++i;
      if (j <= i) {
        arr[j] = a;
        i = j;
        break;
      }
      arr[j--] = arr[i];
    }
    if (depth + 2 > kStack) {
      insertion(l, ir);
      if (depth == 0) return;
      ir = stack[--depth];
      l = stack[--depth];
      continue;
    }
    if (ir - i >= i - l) {
      stack[depth++] = i + 1;
      stack[depth++] = ir;
      ir = i - 1;
    } else {
      stack[depth++] = l;
      stack[depth++] = i - 1;
      l = i + 1;
    }
  }
}

float MedianRatio(std::vector<float> ratios) {
  std::erase_if(ratios, [](float r) { return !(r > 0.0f) || !std::isfinite(r); });
  const int n = static_cast<int>(ratios.size());
  if (n == 0) return std::nanf("");
  if (n == 1) return ratios[0];
  if (n == 2) return (ratios[0] + ratios[1]) / 2.0f;
  QCKSRT(ratios.data(), n);
  if (n % 2 == 1) return ratios[static_cast<std::size_t>(n / 2)];
  return (ratios[static_cast<std::size_t>(n / 2 - 1)] + ratios[static_cast<std::size_t>(n / 2)]) /
         2.0f;
}

EventEstimate EstimateEventParameters(CandidateEvent& row, const XL_WaveData& tpl,
                                      XL_WaveData& record, const AePars& pars, RunContext& ctx) {
  EventEstimate est;
  const std::string_view comments = TextOf(tpl.header.comments);
  const float tx = FloatAfterKey(comments, "x=", 0.0f);
  const float ty = FloatAfterKey(comments, "y=", 0.0f);
  const float tz = FloatAfterKey(comments, "z=", 0.0f);

  const GridSteps steps = ComputeGridSteps(pars);
  est.dX = static_cast<float>(row.ix) * steps.sx;
  est.dY = static_cast<float>(row.iy) * steps.sy;
  est.dZ = static_cast<float>(row.iz) * steps.sz;
  if (row.cc < 0.99f) {
    // Spread the offset uniformly over its grid cell, so that the positions
    // of many events do not pile up on grid points.
    est.dX = static_cast<float>(est.dX + (CrtRand() / 32768.0 - 0.5) * steps.sx);
    est.dY = static_cast<float>(est.dY + (CrtRand() / 32768.0 - 0.5) * steps.sy);
    est.dZ = static_cast<float>(est.dZ + (CrtRand() / 32768.0 - 0.5) * steps.sz);
  }
  est.x = tx + est.dX;
  est.y = ty + est.dY;
  est.z = tz + est.dZ;
  est.t0 = row.time;

  for (int j = 0; j < record.TraceCount(); ++j) {
    XL_WaveTrace& t = record.Trace(j);
    SetText(t.note, j < tpl.TraceCount() ? TextOf(tpl.Trace(j).note) : std::string_view());
    ClearPickState(t);
  }

  est.stations = SelectStations(tpl, pars, ctx);
  const StationSelection& sel = est.stations;
  const int64_t n_amp = TruncSaturated(pars.postWin / ctx.dt);
  std::vector<float> ratios;
  for (int k = 0; k < sel.n(); ++k) {
    const int i = sel.traceIndex[static_cast<std::size_t>(k)];
    const XL_WaveTrace& tt = tpl.Trace(i);
    const int32_t shift = StationShift(sel.gradient[static_cast<std::size_t>(k)], est.dX, est.dY,
                                       est.dZ, ctx.dt);
    const int64_t pick64 = row.lag - sel.minPick + tt.pickup[0] + ctx.preLen + shift;
    const auto pick = static_cast<int32_t>(std::clamp<int64_t>(pick64, INT32_MIN, INT32_MAX));
    float ratio = 0.0f;
    if (i < record.TraceCount()) {
      XL_WaveTrace& rt = record.Trace(i);
      rt.pickup[0] = pick;
      rt.nsRatio = tt.nsRatio * row.cc;
      if (rt.sacHeader) {
        rt.sacHeader->floats[SacHeader::kT1] = static_cast<float>(
            rt.sacHeader->floats[SacHeader::kB] +
            static_cast<double>(pick) * rt.sacHeader->floats[SacHeader::kDelta]);
      }
      MeasurePeakAmplitude(rt, pick);
      rt.ampPickupSign = tt.ampPickupSign;
      const double max_r = MaxAbs(rt, pick, n_amp);
      const double max_t = MaxAbs(tt, tt.pickup[0], n_amp);
      ratio = static_cast<float>(max_r / max_t);
    }
    if (static_cast<std::size_t>(k) < ctx.traceWork.size()) {
      ctx.traceWork[static_cast<std::size_t>(k)] = ratio;
    }
    ratios.push_back(ratio);
  }

  est.mwTemplate = FloatAfterKey(comments, "Mw=", 0.0f);
  const float median = MedianRatio(std::move(ratios));
  // Without one usable amplitude ratio (all windows silent or past the end)
  // the magnitude is the template's: dMw 0 keeps the table numeric.
  est.dMw = std::isnan(median) ? 0.0f : static_cast<float>(std::log10(median));
  row.mw = est.dMw + est.mwTemplate;
  return est;
}

}  // namespace qae
