// The fast scan against the straightforward one: the same bits everywhere.
#include "detect/fast_scan.h"

#include <gtest/gtest.h>

#include <cstring>
#include <limits>
#include <random>

#include "detect/correlation_kernels.h"
#include "detect/peak_search_inl.h"
#include "detect/shift_plan.h"
#include "support/same_peaks.h"
#include "util/text.h"

namespace qae {
namespace {

using test::ExpectSamePeaks;
using test::SameBits;

const KernelIsa kIsas[] = {KernelIsa::kScalar, KernelIsa::kAvx2, KernelIsa::kAvx512};

class IsaGuard {
 public:
  explicit IsaGuard(KernelIsa isa) { SetKernelIsaForTesting(isa); }
  ~IsaGuard() { SetKernelIsaForTesting(DetectKernelIsa()); }
};

TEST(CorrelationRowFast, SameBitsAsTheReferenceOnEveryInstructionSet) {
  std::mt19937 rng(5);
  std::normal_distribution<float> noise(0.0f, 100.0f);
  for (KernelIsa isa : kIsas) {
    IsaGuard guard(isa);
    for (int32_t win : {1, 7, 40, 41}) {
      for (int32_t lags : {1, 5, 17, 1000}) {
        for (int mean_mode : {0, 1}) {
          XL_WaveTrace tpl(1400);
          XL_WaveTrace rec(1300);  // shorter: windows run past its end
          for (auto& v : tpl.samples) v = std::round(noise(rng));
          for (auto& v : rec.samples) v = noise(rng) + 500.0f;
          RunContext ctx;
          ctx.winLen = win;
          ctx.preLen = win / 4;
          ctx.nLags = lags;
          ScanWorkspace ws;
          ws.Allocate(1, lags, win);
          std::vector<float> ref(static_cast<std::size_t>(lags));
          std::vector<float> fast(static_cast<std::size_t>(lags));
          CorrelationRow(tpl, rec, 300, 250, lags, ctx, mean_mode, ref.data());
          CorrelationRowFast(tpl, rec, 300, 250, lags, ctx, mean_mode, ws, fast.data());
          for (int32_t t = 0; t < lags; ++t) {
            ASSERT_TRUE(SameBits(ref[static_cast<std::size_t>(t)], fast[static_cast<std::size_t>(t)]))
                << KernelIsaName(isa) << " win " << win << " lags " << lags << " mean "
                << mean_mode << " lag " << t;
          }
        }
      }
    }
  }
}

TEST(NormaliseRowUpperBound, NeverBelowTheExactRow) {
  if (DetectKernelIsa() != KernelIsa::kAvx512) GTEST_SKIP() << "no AVX-512 on this processor";
  std::mt19937 rng(11);
  std::uniform_real_distribution<double> mant(-1.0, 1.0);
  std::uniform_int_distribution<int> expo(-1100, 1100);
  const int32_t n = 4099;
  std::vector<double> cxy(n);
  std::vector<double> er(n);
  for (int32_t t = 0; t < n; ++t) {
    cxy[t] = std::ldexp(mant(rng), expo(rng) / 2);
    er[t] = std::ldexp(std::fabs(mant(rng)), expo(rng));
  }
  // Energies at and around the edges of the estimate's range, silent and
  // negative windows, and correlations that are not numbers.
  const double special_e[] = {0.0, -0.0, -1.0, 0x1p-1000, 0x1p+1000, 0x1p-1001, 0x1p+1001,
                              std::numeric_limits<double>::denorm_min(),
                              std::numeric_limits<double>::infinity(), std::nan("")};
  const double special_c[] = {0.0, -0.0, 1e308, -1e308, std::numeric_limits<double>::infinity(),
                              -std::numeric_limits<double>::infinity(), std::nan(""), 1e-320};
  int32_t t = 0;
  for (double e : special_e) {
    for (double c : special_c) {
      cxy[t] = c;
      er[t] = e;
      ++t;
    }
  }
  for (const double e_t : {1.0, 3.7e-5, 2.5e12}) {
    std::vector<float> exact(n);
    std::vector<float> bound(n);
    NormaliseRow(cxy.data(), e_t, er.data(), n, exact.data());
    ASSERT_TRUE(NormaliseRowUpperBound(cxy.data(), e_t, er.data(), n, bound.data()));
    for (int32_t i = 0; i < n; ++i) {
      const float x = exact[static_cast<std::size_t>(i)];
      const float b = bound[static_cast<std::size_t>(i)];
      if (x != x) continue;  // a NaN row prunes nothing whatever its bound
      ASSERT_TRUE(b >= x) << "lag " << i << ": bound " << b << " below " << x << " (cxy "
                          << cxy[static_cast<std::size_t>(i)] << ", er "
                          << er[static_cast<std::size_t>(i)] << ", e_t " << e_t << ")";
    }
  }
}

// Station rows written directly, for grid-stage cases the correlation would
// rarely produce.
struct GridCase {
  RunContext ctx;
  AePars pars;
  TemplateScan scan;
  std::vector<float> rows;

  // `reach` scales the gradients: 0.6 gives up to about 25 samples of shift
  // at the grid's corners (wide windows for the bound), 0.12 about 5.
  GridCase(int n, int32_t lags, int steps, uint32_t seed, double reach = 0.6) {
    ctx.dt = 0.1f;
    ctx.winLen = 40;
    ctx.len2 = 20;
    ctx.len5 = 50;
    ctx.nLags = lags;
    pars.gridStepsX = pars.gridStepsY = pars.gridStepsZ = steps;
    pars.gridHalfX = pars.gridHalfY = pars.gridHalfZ = 1.5f;
    pars.snrMin = 2.0f;
    scan.scanned = true;
    scan.lagRange = lags;
    scan.invN = 1.0f / static_cast<float>(n);
    std::mt19937 rng(seed);
    std::uniform_real_distribution<double> unit(-1.0, 1.0);
    for (int k = 0; k < n; ++k) {
      scan.stations.traceIndex.push_back(k);
      scan.stations.gradient.emplace_back(reach * unit(rng), reach * unit(rng), reach * unit(rng));
    }
    rows.assign(static_cast<std::size_t>(n + 1) * static_cast<std::size_t>(lags), 0.0f);
    scan.rows = rows.data();
    scan.rowStride = static_cast<std::size_t>(lags);
  }
  float* Row(int k) { return scan.Row(k); }
};

// Returns the number of reference peaks.
std::size_t ExpectFastMatchesReference(GridCase& c, float threshold, const std::string& what) {
  TemplateScan ref = c.scan;
  FindGridPeaksReference(ref, c.pars, c.ctx, threshold, nullptr);
  for (KernelIsa isa : kIsas) {
    IsaGuard guard(isa);
    TemplateScan fast = c.scan;
    ScanWorkspace ws;
    ws.Allocate(c.scan.stations.n(), c.ctx.nLags, c.ctx.winLen);
    // The fast scan keeps its rows in the workspace.
    std::copy(c.rows.begin(), c.rows.end(), ws.rows.begin());
    fast.rows = ws.rows.data();
    // Its stack row starts as NaN, so a read of a lag it did not evaluate
    // shows in the results.
    std::fill_n(fast.Row(c.scan.stations.n()), c.ctx.nLags, std::nanf(""));
    FindGridPeaksFast(fast, c.pars, c.ctx, ws, threshold, nullptr);
    ExpectSamePeaks(fast.peaks, ref.peaks, what + " " + KernelIsaName(isa));

    // Rows that start as upper bounds (loose ones, and +inf here and there)
    // and are made exact only where the search asks: a range it reads
    // without asking shows as a bound in the peaks.
    TemplateScan bounded = c.scan;
    std::mt19937 rng(7);
    std::uniform_real_distribution<float> slack(0.0f, 0.8f);
    const std::size_t n_rows = static_cast<std::size_t>(c.scan.stations.n()) * c.scan.rowStride;
    for (std::size_t i = 0; i < n_rows; ++i) {
      const float exact = c.rows[i];
      ws.rows[i] = (i % 97 == 0) ? std::numeric_limits<float>::infinity() : exact + slack(rng);
      if (exact != exact) ws.rows[i] = exact;
    }
    bounded.rows = ws.rows.data();
    std::fill_n(bounded.Row(c.scan.stations.n()), c.ctx.nLags, std::nanf(""));
    const RowRefiner refine = [&](int k, int32_t begin, int32_t end) {
      ASSERT_TRUE(begin >= 0 && begin < end && end <= c.ctx.nLags);
      const std::size_t at = static_cast<std::size_t>(k) * c.scan.rowStride;
      std::copy(c.rows.begin() + static_cast<std::ptrdiff_t>(at + static_cast<std::size_t>(begin)),
                c.rows.begin() + static_cast<std::ptrdiff_t>(at + static_cast<std::size_t>(end)),
                ws.rows.begin() + static_cast<std::ptrdiff_t>(at + static_cast<std::size_t>(begin)));
    };
    FindGridPeaksFast(bounded, c.pars, c.ctx, ws, threshold, nullptr, &refine);
    ExpectSamePeaks(bounded.peaks, ref.peaks, what + " bounded rows " + KernelIsaName(isa));
  }
  return ref.peaks.size();
}

TEST(FindGridPeaksFast, RandomRowsWithPlantedEvents) {
  for (uint32_t seed = 1; seed <= 12; ++seed) {
    const int n = 4 + static_cast<int>(seed % 13);
    const int steps = static_cast<int>(seed % 3 == 0 ? 0 : seed % 3 == 1 ? 1 : 5);
    // Narrow shift windows on every other seed: the bound takes them
    // straight from the rows away from the row ends.
    GridCase c(n, 3000, steps, seed, seed % 2 ? 0.6 : 0.12);
    std::mt19937 rng(seed * 77);
    std::normal_distribution<float> noise(0.0f, 0.15f);
    for (int k = 0; k < n; ++k) {
      for (int32_t q = 0; q < 3000; ++q) c.Row(k)[q] = noise(rng);
    }
    // Events: one near each end of the scan range, others inside, each a
    // short correlation pulse at station-dependent lags.
    for (int32_t at : {2, 700, 1500, 2950 - c.ctx.winLen}) {
      for (int k = 0; k < n; ++k) {
        const int32_t q = std::clamp<int32_t>(at + static_cast<int32_t>(rng() % 7) - 3, 0, 2999);
        c.Row(k)[q] = 0.95f;
        if (q + 1 < 3000) c.Row(k)[q + 1] = 0.7f;
      }
    }
    for (float thr : {0.3f, 0.5f, 0.8f}) {
      ExpectFastMatchesReference(c, thr, StrPrintf("seed %u thr %.1f", seed, static_cast<double>(thr)));
    }
  }
}

// Values on a coarse grid of binary fractions make exact ties, plateaus and
// stacks exactly equal to the threshold.
TEST(FindGridPeaksFast, PlateausTiesAndValuesAtTheThreshold) {
  for (uint32_t seed = 1; seed <= 10; ++seed) {
    GridCase c(4, 1200, seed % 2 ? 5 : 1, seed, seed % 4 < 2 ? 0.6 : 0.12);
    std::mt19937 rng(seed);
    for (int k = 0; k < 4; ++k) {
      for (int32_t q = 0; q < 1200; ++q) {
        c.Row(k)[q] = static_cast<float>(static_cast<int>(rng() % 9) - 2) / 8.0f;
      }
      for (int32_t q = 300; q < 340; ++q) c.Row(k)[q] = 0.5f;  // a plateau at the threshold
      for (int32_t q = 600; q < 620; ++q) c.Row(k)[q] = 0.75f;  // a plateau above it
    }
    ExpectFastMatchesReference(c, 0.5f, StrPrintf("seed %u", seed));
    ExpectFastMatchesReference(c, 0.25f, StrPrintf("seed %u low", seed));
  }
}

TEST(FindGridPeaksFast, NegativeRowsWhereShiftedStationsContributeZero) {
  // Rows all negative except a pulse: a station shifted off its row adds 0,
  // more than any of its values, so the bound must count that 0.
  GridCase c(5, 800, 5, 3);
  c.pars.snrMin = 0.0f;
  for (int k = 0; k < 5; ++k) {
    for (int32_t q = 0; q < 800; ++q) c.Row(k)[q] = -0.9f;
    c.Row(k)[3] = 0.99f;
    c.Row(k)[790] = 0.99f;
  }
  ExpectFastMatchesReference(c, 0.1f, "negative rows");
  ExpectFastMatchesReference(c, -0.5f, "negative threshold");
}

// Station 0 is the only one that moves with the offset: at X index -1 it
// shifts by -10 samples and leaves its row at lag 5, where the three others
// peak. Its contribution there is 0, above every value of its row, and only
// that offset crosses the threshold.
TEST(FindGridPeaksFast, StationShiftedOffItsRowAddsZeroToTheBound) {
  GridCase c(4, 600, 0, 1);
  c.pars.gridStepsX = 1;
  c.pars.gridHalfX = 1.0f;
  c.pars.snrMin = 0.0f;
  c.scan.stations.gradient = {XL_Vector3D(-1, 0, 0), XL_Vector3D(), XL_Vector3D(),
                              XL_Vector3D()};
  for (int k = 0; k < 4; ++k) {
    for (int32_t q = 0; q < 600; ++q) c.Row(k)[q] = -0.9f;
    if (k > 0) c.Row(k)[5] = 0.99f;
  }
  TemplateScan ref = c.scan;
  FindGridPeaksReference(ref, c.pars, c.ctx, 0.6f, nullptr);
  ASSERT_EQ(ref.peaks.size(), 1u);
  EXPECT_EQ(ref.peaks[0].ix, -1);
  EXPECT_EQ(ref.peaks[0].q, 5);
  ExpectFastMatchesReference(c, 0.6f, "shifted off the row");
}

// With a single grid offset the bound is the stack itself, so only the lags
// of the spike are evaluated; its noise windows, len2 + len5 away, must be
// evaluated too.
TEST(FindGridPeaksFast, NoiseWindowsOfAnIsolatedSpikeAreEvaluated) {
  GridCase c(4, 3000, 0, 2);
  std::mt19937 rng(4);
  std::uniform_real_distribution<float> unit(-0.1f, 0.1f);
  for (int k = 0; k < 4; ++k) {
    for (int32_t q = 0; q < 3000; ++q) c.Row(k)[q] = unit(rng);
    c.Row(k)[1000] = 0.9f;
    c.Row(k)[30] = 0.9f;  // noise window before it is cut at lag 0
  }
  TemplateScan ref = c.scan;
  FindGridPeaksReference(ref, c.pars, c.ctx, 0.5f, nullptr);
  ASSERT_EQ(ref.peaks.size(), 2u);
  ExpectFastMatchesReference(c, 0.5f, "isolated spike");
}

TEST(FindGridPeaksFast, RecordFullOfEventsAndRecordWithNone) {
  GridCase full(8, 4000, 5, 9);
  GridCase none(8, 4000, 5, 10);
  std::mt19937 rng(1);
  std::uniform_real_distribution<float> unit(-0.2f, 0.2f);
  for (int k = 0; k < 8; ++k) {
    for (int32_t q = 0; q < 4000; ++q) {
      full.Row(k)[q] = (q % 500 < 3) ? 0.9f : unit(rng);
      none.Row(k)[q] = unit(rng);
    }
  }
  ExpectFastMatchesReference(full, 0.5f, "full");
  ExpectFastMatchesReference(none, 0.5f, "none");
}

// Rows of noise with an event every `spacing` lags, each at a random grid
// offset: its pulse lies at the lags that offset's shifts line up.
void PlantDenseEvents(GridCase& c, int32_t lags, int32_t spacing, uint32_t seed) {
  const int n = c.scan.stations.n();
  const auto plan = BuildShiftPlan(c.scan.stations, c.pars, c.ctx.dt, lags);
  std::mt19937 rng(seed);
  std::normal_distribution<float> noise(0.0f, 0.12f);
  for (int k = 0; k < n; ++k) {
    for (int32_t q = 0; q < lags; ++q) c.Row(k)[q] = noise(rng);
  }
  for (int32_t at = 5; at < lags; at += spacing) {
    const int32_t* shifts =
        plan->Vector(static_cast<std::size_t>(plan->offsetVector[rng() % plan->offsetVector.size()]));
    for (int k = 0; k < n; ++k) {
      const int64_t q = int64_t{at} + shifts[k];
      if (q < 0 || q + 1 >= lags) continue;
      c.Row(k)[q] = 0.9f;
      c.Row(k)[q + 1] = 0.6f;
    }
  }
}

TEST(FindGridPeaksFast, DenseEventsFineGridsAndFewStations) {
  struct Case {
    int n;
    int steps;
    int32_t lags;
    int32_t spacing;
  };
  for (const Case& k : {Case{4, 5, 3000, 500}, Case{8, 5, 3000, 300}, Case{16, 5, 3000, 500},
                        Case{4, 10, 1500, 250}, Case{8, 10, 1500, 500}}) {
    for (const double reach : {0.12, 0.6}) {
      GridCase c(k.n, k.lags, k.steps, static_cast<uint32_t>(k.n * 31 + k.steps), reach);
      PlantDenseEvents(c, k.lags, k.spacing, static_cast<uint32_t>(k.n + k.steps));
      const std::string what = StrPrintf("%d stations, steps %d, reach %.2f", k.n, k.steps, reach);
      EXPECT_GT(ExpectFastMatchesReference(c, 0.4f, what), 0u) << what;
      ExpectFastMatchesReference(c, 0.7f, what + " high threshold");
    }
  }
}

// Grids that are a line or a plane: boxes split only along their long axes.
TEST(FindGridPeaksFast, GridsWithFixedAxes) {
  const int steps[][3] = {{5, 0, 0}, {0, 7, 0}, {0, 0, 4}, {3, 0, 6}, {0, 2, 2}, {0, 0, 0}};
  for (const auto& s : steps) {
    GridCase c(6, 2500, 0, static_cast<uint32_t>(s[0] * 100 + s[1] * 10 + s[2]));
    c.pars.gridStepsX = s[0];
    c.pars.gridStepsY = s[1];
    c.pars.gridStepsZ = s[2];
    PlantDenseEvents(c, 2500, 400, 3);
    EXPECT_GT(ExpectFastMatchesReference(c, 0.45f, StrPrintf("steps %d %d %d", s[0], s[1], s[2])), 0u);
  }
}

// Rows holding NaN and infinities: a bound that is not a finite number must
// not prune, and a NaN the window maxima may step over must not matter.
TEST(FindGridPeaksFast, RowsWithNaNAndInfinities) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const float inf = std::numeric_limits<float>::infinity();
  for (uint32_t seed = 1; seed <= 4; ++seed) {
    GridCase c(8, 2000, seed % 2 ? 5 : 2, seed, seed < 3 ? 0.12 : 0.6);
    PlantDenseEvents(c, 2000, 350, seed);
    std::mt19937 rng(seed);
    for (int i = 0; i < 12; ++i) {
      const int k = static_cast<int>(rng() % 8);
      const auto q = static_cast<int32_t>(rng() % 2000);
      c.Row(k)[q] = i % 3 == 0 ? nan : i % 3 == 1 ? inf : -inf;
    }
    // A NaN next to a pulse, where it is inside a window but not first.
    c.Row(3)[1006] = nan;
    c.Row(5)[1004] = 0.95f;
    EXPECT_GT(ExpectFastMatchesReference(c, 0.4f, StrPrintf("seed %u", seed)), 0u);
  }
}

TEST(MeanAbsInLanes, SameBitsAsMeanAbsOnEveryInstructionSet) {
  std::mt19937 rng(3);
  std::uniform_real_distribution<float> unit(-1.0f, 1.0f);
  std::vector<float> x(300);
  for (KernelIsa isa : kIsas) {
    IsaGuard guard(isa);
    for (int trial = 0; trial < 400; ++trial) {
      // Magnitudes over a narrow or a wide range of binades (some too wide
      // for the sum in lanes), with zeros, subnormals and non-numbers.
      const int spread = trial % 4 == 0 ? 60 : trial % 4 == 1 ? 20 : 4;
      for (float& v : x) {
        v = std::ldexp(unit(rng), -static_cast<int>(rng() % static_cast<uint32_t>(spread + 1)));
      }
      if (trial % 7 == 0) x[rng() % x.size()] = 0.0f;
      if (trial % 11 == 0) x[rng() % x.size()] = std::numeric_limits<float>::denorm_min();
      if (trial % 13 == 0) x[rng() % x.size()] = std::numeric_limits<float>::infinity();
      if (trial % 17 == 0) x[rng() % x.size()] = std::nanf("");
      if (trial % 19 == 0) std::fill(x.begin(), x.end(), 0.0f);
      const auto first = static_cast<int32_t>(rng() % 100);
      const auto last = first + static_cast<int32_t>(rng() % 140);
      const double a = MeanAbsInLanes(x.data(), first, last);
      const double b = MeanAbs(x.data(), first, last);
      ASSERT_TRUE(std::memcmp(&a, &b, sizeof a) == 0)
          << KernelIsaName(isa) << " trial " << trial << ": " << a << " vs " << b;
    }
  }
}

// Short and edge ranges of a stack (masked tails, stations off their rows)
// against the station-by-station sums.
TEST(StackInterval, ShortRangesAndRowEdgesOnEveryInstructionSet) {
  const int n = 5;
  const int32_t lags = 200;
  std::mt19937 rng(9);
  std::uniform_real_distribution<float> unit(-1.0f, 1.0f);
  std::vector<float> rows(static_cast<std::size_t>(n + 1) * lags);
  for (float& v : rows) v = unit(rng);
  for (KernelIsa isa : kIsas) {
    IsaGuard guard(isa);
    for (int trial = 0; trial < 300; ++trial) {
      int32_t shifts[n];
      for (int32_t& s : shifts) s = static_cast<int32_t>(rng() % 41) - 20;
      const auto begin = static_cast<int32_t>(rng() % lags);
      const auto end = std::min<int32_t>(lags, begin + 1 + static_cast<int32_t>(rng() % 90));
      std::vector<float> stack(lags, std::nanf(""));
      StackInterval(rows.data(), lags, shifts, n, lags, begin, end, 0.2f, stack.data());
      for (int32_t q = 0; q < lags; ++q) {
        if (q < begin || q >= end) {
          ASSERT_TRUE(std::isnan(stack[static_cast<std::size_t>(q)])) << "wrote lag " << q;
          continue;
        }
        float sum = 0.0f;
        for (int k = 0; k < n; ++k) {
          const int64_t r = int64_t{q} + shifts[k];
          if (r >= 0 && r < lags) sum += rows[static_cast<std::size_t>(k * lags + r)];
        }
        ASSERT_TRUE(SameBits(stack[static_cast<std::size_t>(q)], sum * 0.2f))
            << KernelIsaName(isa) << " lag " << q << " of [" << begin << ", " << end << ")";
      }
    }
  }
}

}  // namespace
}  // namespace qae
