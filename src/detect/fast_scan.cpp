#include "detect/fast_scan.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <limits>
#include <memory>

#include "detect/correlation_bounds.h"
#include "detect/correlation_kernels.h"
#include "detect/shift_plan.h"

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

// The per-lag upper bound of every stack of a box of grid offsets, whose
// station k shifts lie in [lo[k], hi[k]]. Adding a station's largest
// possible contribution instead of its actual one can only raise each float
// sum (rounding is monotone), so the bound holds for the stacks as
// computed, not just in exact arithmetic. A bound that is not a number
// cannot prune.
//
// This version works on lags [qb, qe) through padded copies of the rows and
// window maxima by doubling, for any shift range.
void BoundByDoubling(const TemplateScan& scan, const int32_t* lo_shift, const int32_t* hi_shift,
                     ScanWorkspace& ws, int32_t qb, int32_t qe) {
  const int32_t lags = scan.lagRange;
  const int64_t span_lags = int64_t{qe} - qb;
  if (span_lags <= 0) return;
  float* bound = ws.bound.data() + qb;
  std::fill(bound, bound + span_lags, 0.0f);
  for (int k = 0; k < scan.stations.n(); ++k) {
    const int32_t lo = lo_shift[k];
    const int64_t width = int64_t{hi_shift[k]} - lo + 1;
    // ext[i] = row[qb + i + lo] inside the row, 0 outside; the window
    // maximum of ext over [q - qb, q - qb + width) is the station's largest
    // contribution at q.
    const int64_t n_ext = span_lags + width;
    const int64_t first = int64_t{qb} + lo;
    const float* row = scan.Row(k);
    float* ext = ws.ext.data();
    const int64_t in_lo = std::clamp<int64_t>(-first, 0, n_ext);
    const int64_t in_hi = std::clamp<int64_t>(int64_t{lags} - first, in_lo, n_ext);
    std::fill(ext, ext + in_lo, 0.0f);
    std::copy(row + in_lo + first, row + in_hi + first, ext + in_lo);
    std::fill(ext + in_hi, ext + n_ext, 0.0f);
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
      MaxOf(m, cur, cur + (width - span), span_lags);
    } else {
      m = cur;
    }
    AddInto(bound, m, span_lags);
  }
}

// The bound of a box over lags [qb, qe) into ws.bound. Where every
// station's window lies inside its row and the windows are narrow, each
// lag's window maxima are taken straight from the rows, in registers; the
// edges, and wide windows, go by doubling.
void BoxBound(const TemplateScan& scan, const int32_t* lo, const int32_t* hi, ScanWorkspace& ws,
              int32_t qb, int32_t qe) {
  if (qe <= qb) return;
  const int32_t lags = scan.lagRange;
  const int n = scan.stations.n();
  constexpr int32_t kDirectWidth = 32;
  int64_t inner_begin = qb;
  int64_t inner_end = qe;
  int64_t widest = 0;
  for (int k = 0; k < n; ++k) {
    inner_begin = std::max<int64_t>(inner_begin, -int64_t{lo[k]});
    inner_end = std::min<int64_t>(inner_end, int64_t{lags} - hi[k]);
    widest = std::max<int64_t>(widest, int64_t{hi[k]} - lo[k] + 1);
  }
  if (widest <= kDirectWidth && inner_end > inner_begin) {
    const auto b = static_cast<int32_t>(inner_begin);
    const auto e = static_cast<int32_t>(inner_end);
    BoundByDoubling(scan, lo, hi, ws, qb, b);
    WindowMaxSum(scan.rows, scan.rowStride, lo, hi, n, b, e, ws.bound.data());
    BoundByDoubling(scan, lo, hi, ws, e, qe);
  } else {
    BoundByDoubling(scan, lo, hi, ws, qb, qe);
  }
  float* bound = ws.bound.data();
  ScaleBy(bound + qb, scan.invN, int64_t{qe} - qb);
  for (int32_t q = qb; q < qe; ++q) {
    if (bound[q] != bound[q]) bound[q] = std::numeric_limits<float>::infinity();
  }
}

// Appends [begin, end) to ascending intervals, merging it with the last
// one where they touch or overlap.
void AppendInterval(std::vector<Interval>& out, int32_t begin, int32_t end) {
  if (end <= begin) return;
  if (!out.empty() && begin <= out.back().end) {
    out.back().end = std::max(out.back().end, end);
  } else {
    out.push_back({begin, end});
  }
}

// Intervals `iv` widened by `by` on each side within [0, lags).
std::vector<Interval> Widen(const std::vector<Interval>& iv, int32_t by, int32_t lags) {
  std::vector<Interval> out;
  for (const Interval& i : iv) {
    AppendInterval(out, static_cast<int32_t>(std::max<int64_t>(0, int64_t{i.begin} - by)),
                   static_cast<int32_t>(std::min<int64_t>(lags, int64_t{i.end} + by)));
  }
  return out;
}

// The peak search of SearchPeaks, visiting only the lags whose bound
// exceeds the threshold (`starts`, ascending): at every other lag the stack
// cannot exceed it either, and the search would only step past. `before`
// sees each lag the search examines first.
template <typename Before, typename Accept>
void SearchPeaksPruned(const float* stack, const std::vector<int32_t>& starts, int32_t lag_range,
                       int32_t scan_range, float threshold, float snr_min, int32_t len2,
                       int32_t len5, Before&& before, Accept&& accept) {
  // The search goes on from `resume`: lags before it were stepped over.
  int32_t resume = 0;
  for (const int32_t q : starts) {
    if (q < resume || !(stack[q] > threshold)) continue;
    before(q);
    resume = ExaminePeak(stack, q, lag_range, scan_range, threshold, snr_min, len2, len5, accept,
                         &MeanAbsInLanes) +
             1;
  }
}

// A box of the grid whose bound exceeds the threshold somewhere, with no
// children to narrow it further: the lags where its bound reaches the
// threshold, and those where it exceeds it (below the scan range).
struct LiveLeaf {
  std::size_t box;
  std::vector<Interval> reaching;
  std::vector<int32_t> starts;
};

// Branch and bound over the boxes of the grid: a box's bound is computed
// only where its parent's reaches the threshold (elsewhere the parent's
// bounds every stack of the box too), and boxes whose bound exceeds the
// threshold nowhere are dropped with everything below them.
class BoxDescent {
 public:
  BoxDescent(const TemplateScan& scan, const ShiftPlan& plan, ScanWorkspace& ws, float threshold,
             int32_t scan_range)
      : scan_(scan), plan_(plan), ws_(ws), threshold_(threshold), scan_range_(scan_range) {}

  void Descend(std::size_t box, const std::vector<Interval>& parent) {
    const int32_t* lo = plan_.BoxMin(box);
    const int32_t* hi = plan_.BoxMax(box);
    for (const Interval& iv : parent) BoxBound(scan_, lo, hi, ws_, iv.begin, iv.end);
    const float* bound = ws_.bound.data();
    std::vector<Interval> reaching;
    std::vector<int32_t> starts;
    for (const Interval& iv : parent) {
      int32_t q = iv.begin;
      while (q < iv.end) {
        if (!(bound[q] >= threshold_)) {
          ++q;
          continue;
        }
        const int32_t begin = q;
        for (; q < iv.end && bound[q] >= threshold_; ++q) {
          if (bound[q] > threshold_ && q < scan_range_) starts.push_back(q);
        }
        AppendInterval(reaching, begin, q);
      }
    }
    if (starts.empty()) return;
    const ShiftBox& b = plan_.boxes[box];
    if (b.childCount == 0) {
      leaves.push_back({box, std::move(reaching), std::move(starts)});
      return;
    }
    for (int32_t c = 0; c < b.childCount; ++c) {
      Descend(static_cast<std::size_t>(b.firstChild + c), reaching);
    }
  }

  std::vector<LiveLeaf> leaves;

 private:
  const TemplateScan& scan_;
  const ShiftPlan& plan_;
  ScanWorkspace& ws_;
  float threshold_;
  int32_t scan_range_;
};

// Makes the rows exact wherever a stack of a live leaf can read them: its
// reaching lags widened by `reach`, shifted by each station's range.
void RefineLeaves(const std::vector<LiveLeaf>& leaves, const ShiftPlan& plan, int32_t lags,
                  int32_t reach, const RowRefiner& refine) {
  std::vector<std::vector<Interval>> needed;
  for (const LiveLeaf& leaf : leaves) needed.push_back(Widen(leaf.reaching, reach, lags));
  std::vector<Interval> ranges;
  for (int k = 0; k < plan.n; ++k) {
    ranges.clear();
    for (std::size_t l = 0; l < leaves.size(); ++l) {
      const int64_t lo = plan.BoxMin(leaves[l].box)[k];
      const int64_t hi = plan.BoxMax(leaves[l].box)[k];
      for (const Interval& iv : needed[l]) {
        const int64_t b = std::clamp<int64_t>(iv.begin + lo, 0, lags);
        const int64_t e = std::clamp<int64_t>(iv.end + hi, b, lags);
        if (e > b) ranges.push_back({static_cast<int32_t>(b), static_cast<int32_t>(e)});
      }
    }
    std::sort(ranges.begin(), ranges.end(),
              [](const Interval& a, const Interval& b) { return a.begin < b.begin; });
    std::vector<Interval> merged;
    for (const Interval& r : ranges) AppendInterval(merged, r.begin, r.end);
    for (const Interval& r : merged) refine(k, r.begin, r.end);
  }
}

}  // namespace

void FindGridPeaksFast(TemplateScan& scan, const AePars& pars, const RunContext& ctx,
                       ScanWorkspace& ws, float threshold, ScanTimings* timings,
                       const RowRefiner* refine, int template_index) {
  const int32_t lags = scan.lagRange;
  const int n = scan.stations.n();
  if (lags <= 0 || n <= 0) return;
  const auto t1 = Clock::now();
  const std::shared_ptr<const ShiftPlan> plan_ptr =
      ctx.shiftPlans ? ctx.shiftPlans->Get(template_index, scan.stations, pars, ctx.dt, lags)
                     : BuildShiftPlan(scan.stations, pars, ctx.dt, lags);
  const ShiftPlan& plan = *plan_ptr;

  const int32_t reach = static_cast<int32_t>(
      std::min<int64_t>(int64_t{ctx.len2} + ctx.len5 + 1, std::numeric_limits<int32_t>::max()));
  const int32_t scan_range = lags - ctx.winLen;
  BoxDescent descent(scan, plan, ws, threshold, scan_range);
  descent.Descend(0, {{0, lags}});
  const std::vector<LiveLeaf>& leaves = descent.leaves;
  const auto t2 = Clock::now();
  if (timings) timings->stack += Seconds(t1, t2);
  if (leaves.empty()) return;

  // Rows holding bounds get exact values wherever a stack reads them.
  if (refine) {
    RefineLeaves(leaves, plan, lags, reach, *refine);
    if (timings) timings->correlation += Seconds(t2, Clock::now());
  }

  // Peaks of each distinct vector (lag and values), searched in the first
  // live leaf that holds it with that leaf's starts. Its stack is computed
  // where the search can step (the reaching lags and one beyond), and the
  // noise windows only of the lags it examines.
  struct VectorPeak {
    int32_t q;
    float value;
    float snr1;
    float snr2;
  };
  const std::size_t n_vectors = plan.vectorCount();
  std::vector<std::vector<VectorPeak>> vector_peaks(n_vectors);
  std::vector<unsigned char> searched(n_vectors, 0);
  float* stack = scan.Row(n);
  double peak_s = 0.0;
  const auto loop_start = Clock::now();
  const int64_t len2 = ctx.len2;
  const int64_t len5 = ctx.len5;
  for (const LiveLeaf& leaf : leaves) {
    const ShiftBox& box = plan.boxes[leaf.box];
    const std::vector<Interval> steps = Widen(leaf.reaching, 1, lags);
    for (int64_t ix = box.x0; ix <= box.x1; ++ix) {
      for (int64_t iy = box.y0; iy <= box.y1; ++iy) {
        for (int64_t iz = box.z0; iz <= box.z1; ++iz) {
          const auto v = static_cast<std::size_t>(plan.offsetVector[plan.OffsetIndex(
              static_cast<int32_t>(ix), static_cast<int32_t>(iy), static_cast<int32_t>(iz))]);
          if (searched[v]) continue;
          searched[v] = 1;
          const int32_t* shifts = plan.Vector(v);
          for (const Interval& iv : steps) {
            StackInterval(scan.rows, scan.rowStride, shifts, n, lags, iv.begin, iv.end,
                          scan.invN, stack);
          }
          // ExaminePeak climbs from q over lags whose stacks exceed the
          // threshold (inside `steps`), then reads a noise window on each
          // side, which are stacked here. Both windows move forward from
          // one examined lag to the next, so each needs stacking only from
          // where its predecessor ended.
          int64_t before_end = 0;
          int64_t after_end = 0;
          auto ensure = [&](int64_t first, int64_t last, int64_t& done_end) {
            const int64_t b = std::max(first, done_end);
            if (b <= last) {
              StackInterval(scan.rows, scan.rowStride, shifts, n, lags, static_cast<int32_t>(b),
                            static_cast<int32_t>(last + 1), scan.invN, stack);
            }
            done_end = std::max(done_end, last + 1);
          };
          // Most vectors examine no lag at all; only those that do pay for
          // reading the clock.
          bool timing = false;
          Clock::time_point search_start;
          auto before = [&](int32_t q) {
            if (!timing) {
              search_start = Clock::now();
              timing = true;
            }
            while (q < scan_range && stack[q] <= stack[q + 1]) ++q;
            const int64_t q64 = q;
            ensure(std::max<int64_t>(0, q64 - len2 - len5), std::max<int64_t>(1, q64 - len2),
                   before_end);
            ensure(std::min<int64_t>(q64 + len2, lags - 1),
                   std::min<int64_t>(lags - 1, q64 + len2 + len5), after_end);
          };
          SearchPeaksPruned(stack, leaf.starts, lags, scan_range, threshold, pars.snrMin,
                            ctx.len2, ctx.len5, before,
                            [&](int32_t q, float value, float snr1, float snr2) {
                              vector_peaks[v].push_back({q, value, snr1, snr2});
                            });
          if (timing) peak_s += Seconds(search_start, Clock::now());
        }
      }
    }
  }
  std::size_t offset = 0;
  for (int64_t ix64 = -int64_t{plan.nx}; ix64 <= plan.nx; ++ix64) {
    const auto ix = static_cast<int32_t>(ix64);
    for (int64_t iy64 = -int64_t{plan.ny}; iy64 <= plan.ny; ++iy64) {
      const auto iy = static_cast<int32_t>(iy64);
      for (int64_t iz64 = -int64_t{plan.nz}; iz64 <= plan.nz; ++iz64) {
        const auto iz = static_cast<int32_t>(iz64);
        const auto v = static_cast<std::size_t>(plan.offsetVector[offset++]);
        for (const VectorPeak& p : vector_peaks[v]) {
          scan.peaks.push_back({ix, iy, iz, p.q, p.value, p.snr1, p.snr2});
        }
      }
    }
  }
  if (timings) {
    timings->stack += Seconds(loop_start, Clock::now()) - peak_s;
    timings->peakSearch += peak_s;
  }
}

namespace {

// Copies samples first .. first + n - 1 of a trace as doubles, 0 outside
// its valid samples.
void ExtractWindow(const XL_WaveTrace& t, int64_t first, int64_t n, double* out) {
  const int64_t valid = std::min<int64_t>(t.sampleCount, t.AllocatedSlots());
  const int64_t lo = std::clamp<int64_t>(-first, 0, n);
  const int64_t hi = std::clamp<int64_t>(valid - first, lo, n);
  std::fill(out, out + lo, 0.0);
  for (int64_t i = lo; i < hi; ++i) out[i] = t.samples[static_cast<std::size_t>(first + i)];
  std::fill(out + hi, out + n, 0.0);
}

// The template side of one station's correlation: its window (with the
// mean removed in `mean` mode 1) and energy.
struct TemplateWindow {
  double energy = 0.0;
  double mean = 0.0;
};

TemplateWindow PrepareTemplateWindow(const XL_WaveTrace& tpl_trace, int32_t pick,
                                     const RunContext& ctx, int mean_mode, double* y) {
  const int32_t w = ctx.winLen;
  ExtractWindow(tpl_trace, int64_t{pick} - ctx.preLen, w, y);
  TemplateWindow tw;
  if (mean_mode != 0) {
    for (int32_t j = 0; j < w; ++j) tw.mean += y[j];
    tw.mean /= static_cast<double>(w);
    for (int32_t j = 0; j < w; ++j) tw.energy += (y[j] - tw.mean) * (y[j] - tw.mean);
    for (int32_t j = 0; j < w; ++j) y[j] = y[j] - tw.mean;
  } else {
    for (int32_t j = 0; j < w; ++j) tw.energy += y[j] * y[j];
  }
  return tw;
}

// One station's row over all lags. The running sums (window energy, or
// window mean in mode 1) are chains of dependent additions kept in their
// order; their value every kChainMark lags goes to `marks`. With
// `upper_bound` (and a processor that has the fast estimate) the row gets
// upper bounds of its values instead; returns whether it did.
bool CorrelationRowPass(const XL_WaveTrace& tpl_trace, const XL_WaveTrace& rec_trace,
                        int32_t pick, int32_t min_pick, int32_t lag_range, const RunContext& ctx,
                        int mean_mode, ScanWorkspace& ws, float* row, double* marks,
                        bool upper_bound) {
  const int32_t w = ctx.winLen;
  std::fill(row, row + std::max(lag_range, 0), 0.0f);
  if (lag_range <= 0 || w <= 0) return false;
  constexpr int32_t kMark = ScanWorkspace::kChainMark;
  double* y = ws.y.data();
  const TemplateWindow tw = PrepareTemplateWindow(tpl_trace, pick, ctx, mean_mode, y);
  double* xs = ws.xs.data();
  ExtractWindow(rec_trace, int64_t{pick} - min_pick, int64_t{lag_range} + w - 1, xs);
  double* er = ws.er.data();
  double* cxy = ws.cxy.data();

  if (mean_mode != 0) {
    double m_r = 0.0;
    for (int32_t j = 0; j < w; ++j) m_r += xs[j];
    m_r /= static_cast<double>(w);
    double* mean_r = ws.mean_r.data();
    mean_r[0] = m_r;
    for (int32_t t = 1; t < lag_range; ++t) {
      m_r += (xs[t + w - 1] - xs[t - 1]) / static_cast<double>(w);
      mean_r[t] = m_r;
    }
    if (marks) {
      for (int32_t t = 0; t < lag_range; t += kMark) marks[t / kMark] = mean_r[t];
    }
    CrossSumsDemeaned(xs, y, mean_r, w, lag_range, cxy, er);
  } else {
    double e_r = 0.0;
    for (int32_t j = 0; j < w; ++j) e_r += xs[j] * xs[j];
    er[0] = e_r;
    CrossSumsPlainWithEnergy(xs, y, w, lag_range, cxy, er);
    if (marks) {
      for (int32_t t = 0; t < lag_range; t += kMark) marks[t / kMark] = er[t];
    }
  }
  if (upper_bound && NormaliseRowUpperBound(cxy, tw.energy, er, lag_range, row)) return true;
  NormaliseRow(cxy, tw.energy, er, lag_range, row);
  return false;
}

// Lags [begin, end) of a row as CorrelationRowPass computes them exactly:
// the running sum is continued from the mark at or before `begin`, with the
// same operations, and the cross sums are the same per lag.
void ExactRowRange(const XL_WaveTrace& tpl_trace, const XL_WaveTrace& rec_trace, int32_t pick,
                   int32_t min_pick, const RunContext& ctx, int mean_mode, ScanWorkspace& ws,
                   const double* marks, int32_t begin, int32_t end, float* row) {
  const int32_t w = ctx.winLen;
  constexpr int32_t kMark = ScanWorkspace::kChainMark;
  double* y = ws.y.data();
  const TemplateWindow tw = PrepareTemplateWindow(tpl_trace, pick, ctx, mean_mode, y);
  const int32_t mark = begin / kMark * kMark;
  // xs[i] holds record sample i + base of the row's segment; the chain reads
  // one sample before the mark.
  const int32_t base = mark > 0 ? mark - 1 : 0;
  double* xs = ws.xs.data();
  ExtractWindow(rec_trace, int64_t{pick} - min_pick + base, int64_t{end} + w - 1 - base, xs);
  const int32_t n = end - begin;
  double* er = ws.er.data();
  double* cxy = ws.cxy.data();
  double chain = marks[mark / kMark];
  if (mean_mode != 0) {
    double* mean_r = ws.mean_r.data();
    if (mark >= begin) mean_r[0] = chain;
    for (int32_t t = mark + 1; t < end; ++t) {
      chain += (xs[t + w - 1 - base] - xs[t - 1 - base]) / static_cast<double>(w);
      if (t >= begin) mean_r[t - begin] = chain;
    }
    CrossSumsDemeaned(xs + (begin - base), y, mean_r, w, n, cxy, er);
  } else {
    if (mark >= begin) er[0] = chain;
    for (int32_t t = mark + 1; t < end; ++t) {
      const double out = xs[t - 1 - base];
      const double in = xs[t + w - 1 - base];
      chain = chain - out * out + in * in;
      if (t >= begin) er[t - begin] = chain;
    }
    CrossSumsPlain(xs + (begin - base), y, w, n, cxy);
  }
  NormaliseRow(cxy, tw.energy, er, n, row + begin);
}

const XL_WaveTrace& RecordTrace(const XL_WaveData& record, int i) {
  static const XL_WaveTrace kEmpty;
  return i < record.TraceCount() ? record.Trace(i) : kEmpty;
}

int64_t ValidSamples(const XL_WaveTrace& t) {
  return std::min<int64_t>(t.sampleCount, t.AllocatedSlots());
}

// Samples first .. first + n - 1 of a trace as floats, 0 outside its valid
// samples: in place where all of them are valid, else copied to `scratch`.
const float* RecordFloats(const XL_WaveTrace& t, int64_t first, int64_t n, float* scratch) {
  const int64_t valid = ValidSamples(t);
  if (first >= 0 && first + n <= valid) return t.samples.data() + first;
  const int64_t lo = std::clamp<int64_t>(-first, 0, n);
  const int64_t hi = std::clamp<int64_t>(valid - first, lo, n);
  std::fill(scratch, scratch + lo, 0.0f);
  // An empty trace has no sample pointer to offset.
  if (hi > lo) {
    std::copy(t.samples.data() + first + lo, t.samples.data() + first + hi, scratch + lo);
  }
  std::fill(scratch + hi, scratch + n, 0.0f);
  return scratch;
}

// Plain mode's bound pass (see correlation_bounds.h): every station's exact
// energy chain (kept for the exact values later), cheap cross sums, and
// rows of upper bounds from them.
void PlainBoundRows(const XL_WaveData& tpl, const XL_WaveData& record, const TemplateScan& scan,
                    const RunContext& ctx, ScanWorkspace& ws,
                    const RecordBrainFloats* record_pairs) {
  const StationSelection& sel = scan.stations;
  const int n = sel.n();
  const int32_t w = ctx.winLen;
  const int32_t lags = scan.lagRange;
  const auto uw = static_cast<std::size_t>(w);
  const auto ulags = static_cast<std::size_t>(lags);
  ws.ReserveChains(n, lags);
  ws.ReserveBoundScratch(n, lags, w);
  for (int k = 0; k < n; ++k) {
    const auto uk = static_cast<std::size_t>(k);
    const int i = sel.traceIndex[uk];
    double* y = ws.y.data();
    const TemplateWindow tw = PrepareTemplateWindow(tpl.Trace(i), sel.pick[uk], ctx, 0, y);
    ws.templateEnergy[uk] = tw.energy;
    // Template samples are floats: the conversion back is exact.
    float* yf = ws.yf.data() + uk * uw;
    for (int32_t j = 0; j < w; ++j) yf[j] = static_cast<float>(y[j]);
    FloatChainStation& st = ws.boundStations[uk];
    const int64_t first = int64_t{sel.pick[uk]} - sel.minPick;
    st.x = RecordFloats(RecordTrace(record, i), first, int64_t{lags} + w,
                        ws.xf.data() + uk * ws.xfStride);
    st.y = yf;
    st.c = ws.cf.data() + uk * ulags;
    st.er = ws.Chain(k);
    st.pairs = ws.pairs.data();
    st.readyPairs = nullptr;
    if (record_pairs && w <= kMaxBrainFloatWindow && first >= 0 &&
        first + lags + w - 1 <= record_pairs->length()) {
      const uint32_t* pairs = record_pairs->Pairs(i);
      if (pairs) st.readyPairs = pairs + first;
    }
  }
  const BoundSums kind = CrossSumsWithEnergy(ws.boundStations.data(), n, w, lags, BestBoundSums());
  const double margin = BoundSumsMargin(kind, w);
  for (int k = 0; k < n; ++k) {
    const auto uk = static_cast<std::size_t>(k);
    const FloatChainStation& st = ws.boundStations[uk];
    ws.drift[uk] = st.drift;
    BoundRowFromFloatSums(st.c, ws.templateEnergy[uk], st.er, st.drift, margin, lags,
                          scan.Row(k));
    ws.bounded[uk] = 1;
  }
}

// Lags [begin, end) of a plain row exactly, from its stored energy chain.
void ExactPlainRange(const XL_WaveTrace& tpl_trace, const XL_WaveTrace& rec_trace, int32_t pick,
                     int32_t min_pick, const RunContext& ctx, ScanWorkspace& ws,
                     const double* chain, double e_t, int32_t begin, int32_t end, float* row) {
  const int32_t w = ctx.winLen;
  const int32_t n = end - begin;
  double* y = ws.y.data();
  PrepareTemplateWindow(tpl_trace, pick, ctx, 0, y);
  ExtractWindow(rec_trace, int64_t{pick} - min_pick + begin, int64_t{n} + w - 1, ws.xs.data());
  CrossSumsPlain(ws.xs.data(), y, w, n, ws.cxy.data());
  NormaliseRow(ws.cxy.data(), e_t, chain + begin, n, row + begin);
}

}  // namespace

void CorrelationRowFast(const XL_WaveTrace& tpl_trace, const XL_WaveTrace& rec_trace,
                        int32_t pick, int32_t min_pick, int32_t lag_range, const RunContext& ctx,
                        int mean_mode, ScanWorkspace& ws, float* row) {
  CorrelationRowPass(tpl_trace, rec_trace, pick, min_pick, lag_range, ctx, mean_mode, ws, row,
                     nullptr, false);
}

TemplateScan ScanTemplateFast(const XL_WaveData& tpl, const XL_WaveData& record,
                              const AePars& pars, const RunContext& ctx, ScanWorkspace& ws,
                              float threshold, ScanTimings* timings, int template_index,
                              bool exact_rows, const RecordBrainFloats* record_pairs) {
  TemplateScan scan = BeginTemplateScan(tpl, pars, ctx);
  if (!scan.scanned) return scan;
  const StationSelection& sel = scan.stations;
  scan.rows = ws.rows.data();
  scan.rowStride = ws.stride;
  const int32_t lags = scan.lagRange;
  if (lags <= 0) return scan;
  if (timings) ++timings->templateRecords;

  auto t0 = Clock::now();
  bool any_bounded = false;
  // Plain rows that will be pruned go by the bound pass.
  const bool plain_bounds = !exact_rows && pars.mean == 0 && CorrelationBoundsAvailable() &&
                            ctx.winLen >= 1 && ctx.winLen <= kMaxBoundWindow;
  if (plain_bounds) {
    PlainBoundRows(tpl, record, scan, ctx, ws, record_pairs);
    any_bounded = sel.n() > 0;
  } else {
    for (int k = 0; k < sel.n(); ++k) {
      const auto uk = static_cast<std::size_t>(k);
      const int i = sel.traceIndex[uk];
      ws.bounded[uk] = CorrelationRowPass(tpl.Trace(i), RecordTrace(record, i), sel.pick[uk],
                                          sel.minPick, lags, ctx, pars.mean, ws, scan.Row(k),
                                          ws.Marks(k), !exact_rows);
      any_bounded = any_bounded || ws.bounded[uk] != 0;
    }
  }
  auto t1 = Clock::now();
  if (timings) timings->correlation += Seconds(t0, t1);

  const RowRefiner refine = [&](int k, int32_t begin, int32_t end) {
    const auto uk = static_cast<std::size_t>(k);
    if (!ws.bounded[uk]) return;
    const int i = sel.traceIndex[uk];
    if (plain_bounds) {
      ExactPlainRange(tpl.Trace(i), RecordTrace(record, i), sel.pick[uk], sel.minPick, ctx, ws,
                      ws.Chain(k), ws.templateEnergy[uk], begin, end, scan.Row(k));
    } else {
      ExactRowRange(tpl.Trace(i), RecordTrace(record, i), sel.pick[uk], sel.minPick, ctx,
                    pars.mean, ws, ws.Marks(k), begin, end, scan.Row(k));
    }
  };
  FindGridPeaksFast(scan, pars, ctx, ws, threshold, timings, any_bounded ? &refine : nullptr,
                    template_index);
  return scan;
}

}  // namespace qae
