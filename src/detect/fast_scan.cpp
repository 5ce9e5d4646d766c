#include "detect/fast_scan.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <limits>
#include <map>

#include "detect/correlation_kernels.h"

namespace qae {

namespace {

using Clock = std::chrono::steady_clock;

double Seconds(Clock::time_point a, Clock::time_point b) {
  return std::chrono::duration<double>(b - a).count();
}

// Half-open lag intervals.
struct Interval {
  int32_t begin;
  int32_t end;
};

// The per-lag upper bound of every stack the grid can produce. Adding a
// station's largest possible contribution instead of its actual one can
// only raise each float sum (rounding is monotone), so the bound holds for
// the stacks as computed, not just in exact arithmetic. A bound that is not
// a number cannot prune.
void ComputeBound(const TemplateScan& scan, const std::vector<int32_t>& smin,
                  const std::vector<int32_t>& smax, ScanWorkspace& ws) {
  const int32_t lags = scan.lagRange;
  std::fill(ws.bound.begin(), ws.bound.begin() + lags, 0.0f);
  for (int k = 0; k < scan.stations.n(); ++k) {
    const int32_t lo = smin[static_cast<std::size_t>(k)];
    const int32_t width = smax[static_cast<std::size_t>(k)] - lo + 1;
    // ext[i] = row[i + lo] inside the row, 0 outside; the window maximum of
    // ext over [q, q + width) is the station's largest contribution at q.
    const int64_t n_ext = static_cast<int64_t>(lags) + width;
    const float* row = scan.Row(k);
    float* ext = ws.ext.data();
    for (int64_t i = 0; i < n_ext; ++i) {
      const int64_t r = i + lo;
      ext[i] = (r >= 0 && r < lags) ? row[r] : 0.0f;
    }
    // Window maxima by doubling: after a pass of span p, cur[i] is the
    // maximum of ext[i .. i + p).
    float* cur = ext;
    float* next = ws.max_a.data();
    int64_t span = 1;
    while (span * 2 <= width) {
      MaxOf(next, cur, cur + span, n_ext - span);
      std::swap(cur, next);
      if (cur == ws.max_a.data()) next = ws.max_b.data();
      else next = ws.max_a.data();
      span *= 2;
    }
    float* m = next;
    if (span < width) {
      MaxOf(m, cur, cur + (width - span), lags);
    } else {
      m = cur;
    }
    AddInto(ws.bound.data(), m, lags);
  }
  for (int32_t q = 0; q < lags; ++q) {
    float& b = ws.bound[static_cast<std::size_t>(q)];
    b *= scan.invN;
    if (std::isnan(b)) b = std::numeric_limits<float>::infinity();
  }
}

// Lags where a peak search can read the stack: every lag whose bound reaches
// the threshold, widened by `reach` on each side.
std::vector<Interval> EvaluationIntervals(const float* bound, int32_t lags, float threshold,
                                          int32_t reach) {
  std::vector<Interval> out;
  for (int32_t q = 0; q < lags; ++q) {
    if (!(bound[q] >= threshold)) continue;
    const int32_t begin = static_cast<int32_t>(std::max<int64_t>(0, int64_t{q} - reach));
    const int32_t end = static_cast<int32_t>(std::min<int64_t>(lags, int64_t{q} + reach + 1));
    if (!out.empty() && begin <= out.back().end) {
      out.back().end = std::max(out.back().end, end);
    } else {
      out.push_back({begin, end});
    }
  }
  return out;
}

// The stack of one shift vector on the evaluation intervals, with the
// reference's operations: station by station, each over its overlap, then
// the factor.
void StackOnIntervals(const TemplateScan& scan, const int32_t* shifts,
                      const std::vector<Interval>& intervals, float* stack) {
  const int32_t lags = scan.lagRange;
  for (const Interval& iv : intervals) {
    std::fill(stack + iv.begin, stack + iv.end, 0.0f);
    for (int k = 0; k < scan.stations.n(); ++k) {
      const int32_t s = shifts[k];
      const int64_t lo = std::max<int64_t>(iv.begin, -int64_t{s});
      const int64_t hi = std::min<int64_t>(iv.end, int64_t{lags} - s);
      if (hi > lo) AddInto(stack + lo, scan.Row(k) + lo + s, hi - lo);
    }
    ScaleBy(stack + iv.begin, scan.invN, iv.end - iv.begin);
  }
}

// The peak search of SearchPeaks, visiting only the lags whose bound
// exceeds the threshold (`starts`, ascending): at every other lag the stack
// cannot exceed it either, and the search would only step past.
template <typename Accept>
void SearchPeaksPruned(const float* stack, const std::vector<int32_t>& starts, int32_t lag_range,
                       int32_t scan_range, float threshold, float snr_min, int32_t len2,
                       int32_t len5, Accept&& accept) {
  std::size_t next = 0;
  int32_t q = 0;
  while (true) {
    while (next < starts.size() && starts[next] < q) ++next;
    if (next == starts.size()) return;
    q = starts[next];
    if (stack[q] > threshold) {
      q = ExaminePeak(stack, q, lag_range, scan_range, threshold, snr_min, len2, len5, accept);
    }
    ++q;
  }
}

}  // namespace

void FindGridPeaksFast(TemplateScan& scan, const AePars& pars, const RunContext& ctx,
                       ScanWorkspace& ws, float threshold, ScanTimings* timings) {
  const int32_t lags = scan.lagRange;
  if (lags <= 0) return;
  const StationSelection& sel = scan.stations;
  const auto t1 = Clock::now();
  // Shift vectors of the grid, in loop order, and the distinct ones.
  const GridSteps steps = ComputeGridSteps(pars);
  const int32_t nx = std::max(pars.gridStepsX, 0);
  const int32_t ny = std::max(pars.gridStepsY, 0);
  const int32_t nz = std::max(pars.gridStepsZ, 0);
  const int n = sel.n();
  std::map<std::vector<int32_t>, int> distinct;
  std::vector<std::vector<int32_t>> vectors;
  std::vector<int> offset_vector;
  std::vector<int32_t> smin(static_cast<std::size_t>(n), std::numeric_limits<int32_t>::max());
  std::vector<int32_t> smax(static_cast<std::size_t>(n), std::numeric_limits<int32_t>::min());
  std::vector<int32_t> shifts(static_cast<std::size_t>(n));
  for (int32_t ix = -nx; ix <= nx; ++ix) {
    for (int32_t iy = -ny; iy <= ny; ++iy) {
      for (int32_t iz = -nz; iz <= nz; ++iz) {
        const float dx = static_cast<float>(ix) * steps.sx;
        const float dy = static_cast<float>(iy) * steps.sy;
        const float dz = static_cast<float>(iz) * steps.sz;
        for (int k = 0; k < n; ++k) {
          // A shift beyond the lag range leaves no overlap; clamping it
          // changes nothing and keeps the windows of the bound finite.
          const int32_t s = std::clamp(
              StationShift(sel.gradient[static_cast<std::size_t>(k)], dx, dy, dz, ctx.dt), -lags,
              lags);
          shifts[static_cast<std::size_t>(k)] = s;
          smin[static_cast<std::size_t>(k)] = std::min(smin[static_cast<std::size_t>(k)], s);
          smax[static_cast<std::size_t>(k)] = std::max(smax[static_cast<std::size_t>(k)], s);
        }
        const auto [it, added] = distinct.try_emplace(shifts, static_cast<int>(vectors.size()));
        if (added) vectors.push_back(shifts);
        offset_vector.push_back(it->second);
      }
    }
  }

  ComputeBound(scan, smin, smax, ws);
  const int32_t reach = static_cast<int32_t>(
      std::min<int64_t>(int64_t{ctx.len2} + ctx.len5 + 1, std::numeric_limits<int32_t>::max()));
  const std::vector<Interval> intervals =
      EvaluationIntervals(ws.bound.data(), lags, threshold, reach);
  const int32_t scan_range = lags - ctx.winLen;
  std::vector<int32_t> starts;
  for (int32_t q = 0; q < scan_range; ++q) {
    if (ws.bound[static_cast<std::size_t>(q)] > threshold) starts.push_back(q);
  }
  if (timings) timings->stack += Seconds(t1, Clock::now());

  // Peaks of each distinct vector (lag and values), found at its first use.
  struct VectorPeak {
    int32_t q;
    float value;
    float snr1;
    float snr2;
  };
  std::vector<std::vector<VectorPeak>> vector_peaks(vectors.size());
  std::vector<bool> done(vectors.size(), false);
  float* stack = scan.Row(n);
  double stack_s = 0.0;
  double peak_s = 0.0;
  std::size_t offset = 0;
  for (int32_t ix = -nx; ix <= nx; ++ix) {
    for (int32_t iy = -ny; iy <= ny; ++iy) {
      for (int32_t iz = -nz; iz <= nz; ++iz) {
        const int v = offset_vector[offset++];
        if (!starts.empty() && !done[static_cast<std::size_t>(v)]) {
          const auto a = Clock::now();
          StackOnIntervals(scan, vectors[static_cast<std::size_t>(v)].data(), intervals, stack);
          const auto b = Clock::now();
          SearchPeaksPruned(stack, starts, lags, scan_range, threshold, pars.snrMin,
                            ctx.len2, ctx.len5,
                            [&](int32_t q, float value, float snr1, float snr2) {
                              vector_peaks[static_cast<std::size_t>(v)].push_back(
                                  {q, value, snr1, snr2});
                            });
          stack_s += Seconds(a, b);
          peak_s += Seconds(b, Clock::now());
        }
        done[static_cast<std::size_t>(v)] = true;
        for (const VectorPeak& p : vector_peaks[static_cast<std::size_t>(v)]) {
          scan.peaks.push_back({ix, iy, iz, p.q, p.value, p.snr1, p.snr2});
        }
      }
    }
  }
  if (timings) {
    timings->stack += stack_s;
    timings->peakSearch += peak_s;
  }
}

// Copies samples first .. first + n - 1 of a trace as doubles, 0 outside
// its valid samples.
template <typename T>
void ExtractWindow(const XL_WaveTrace& t, int64_t first, int64_t n, T* out) {
  const int64_t valid = std::min(t.sampleCount, t.AllocatedSlots());
  const int64_t lo = std::clamp<int64_t>(-first, 0, n);
  const int64_t hi = std::clamp<int64_t>(valid - first, lo, n);
  std::fill(out, out + lo, T(0));
  for (int64_t i = lo; i < hi; ++i) out[i] = t.samples[static_cast<std::size_t>(first + i)];
  std::fill(out + hi, out + n, T(0));
}

void CorrelationRowFast(const XL_WaveTrace& tpl_trace, const XL_WaveTrace& rec_trace,
                        int32_t pick, int32_t min_pick, int32_t lag_range, const RunContext& ctx,
                        int mean_mode, ScanWorkspace& ws, float* row) {
  const int32_t w = ctx.winLen;
  std::fill(row, row + std::max(lag_range, 0), 0.0f);
  if (lag_range <= 0 || w <= 0) return;
  double* y = ws.y.data();
  ExtractWindow(tpl_trace, int64_t{pick} - ctx.preLen, w, y);
  double* xs = ws.xs.data();
  ExtractWindow(rec_trace, int64_t{pick} - min_pick, int64_t{lag_range} + w - 1, xs);
  double* er = ws.er.data();

  if (mean_mode != 0) {
    double m_t = 0.0;
    double m_r = 0.0;
    for (int32_t j = 0; j < w; ++j) {
      m_t += y[j];
      m_r += xs[j];
    }
    m_t /= static_cast<double>(w);
    m_r /= static_cast<double>(w);
    double e_t = 0.0;
    for (int32_t j = 0; j < w; ++j) e_t += (y[j] - m_t) * (y[j] - m_t);
    double* mean_r = ws.mean_r.data();
    mean_r[0] = m_r;
    for (int32_t t = 1; t < lag_range; ++t) {
      m_r += (xs[t + w - 1] - xs[t - 1]) / static_cast<double>(w);
      mean_r[t] = m_r;
    }
    for (int32_t j = 0; j < w; ++j) y[j] = y[j] - m_t;
    CrossSumsDemeaned(xs, y, mean_r, w, lag_range, ws.cxy.data(), er);
    NormaliseRow(ws.cxy.data(), e_t, er, lag_range, row);
    return;
  }

  double e_t = 0.0;
  double e_r = 0.0;
  for (int32_t j = 0; j < w; ++j) {
    e_t += y[j] * y[j];
    e_r += xs[j] * xs[j];
  }
  // The running energy is a chain of dependent sums; kept in its order.
  er[0] = e_r;
  for (int32_t t = 1; t < lag_range; ++t) {
    const double out = xs[t - 1];
    const double in = xs[t + w - 1];
    e_r = e_r - out * out + in * in;
    er[t] = e_r;
  }
  CrossSumsPlain(xs, y, w, lag_range, ws.cxy.data());
  NormaliseRow(ws.cxy.data(), e_t, er, lag_range, row);
}

TemplateScan ScanTemplateFast(const XL_WaveData& tpl, const XL_WaveData& record,
                              const AePars& pars, const RunContext& ctx, ScanWorkspace& ws,
                              float threshold, ScanTimings* timings) {
  TemplateScan scan;
  if (tpl.TraceCount() == 0) return scan;
  scan.stations = SelectStations(tpl, pars, ctx);
  const StationSelection& sel = scan.stations;
  if (sel.m < pars.minStations || sel.n() < pars.minStations) return scan;
  scan.scanned = true;
  scan.invN = 1.0f / static_cast<float>(sel.n());
  scan.lagRange = ctx.nLags - (sel.maxPick - sel.minPick);
  scan.rows = ws.rows.data();
  scan.rowStride = ws.stride;
  const int32_t lags = scan.lagRange;
  if (lags <= 0) return scan;
  if (timings) ++timings->templateRecords;

  auto t0 = Clock::now();
  for (int k = 0; k < sel.n(); ++k) {
    const int i = sel.traceIndex[static_cast<std::size_t>(k)];
    static const XL_WaveTrace kEmpty;
    const XL_WaveTrace& rec_trace = i < record.TraceCount() ? record.Trace(i) : kEmpty;
    CorrelationRowFast(tpl.Trace(i), rec_trace, sel.pick[static_cast<std::size_t>(k)],
                       sel.minPick, lags, ctx, pars.mean, ws, scan.Row(k));
  }
  auto t1 = Clock::now();
  if (timings) timings->correlation += Seconds(t0, t1);

  FindGridPeaksFast(scan, pars, ctx, ws, threshold, timings);
  return scan;
}

}  // namespace qae
