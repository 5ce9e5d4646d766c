// The plain correlation's bound pass and the vector test of the grid
// selection: chains bit for bit, bounds never below the exact rows, and
// whole template scans that find exactly the reference's peaks.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <random>
#include <thread>

#include "detect/correlation_bounds.h"
#include "detect/correlation_kernels.h"
#include "detect/fast_scan.h"
#include "detect/matched_filter_scan.h"
#include "detect/record_brain_floats.h"
#include "support/same_peaks.h"
#include "util/simd_isa.h"
#include "util/text.h"

namespace qae {
namespace {

using test::ExpectSamePeaks;
using test::SameBits;

class IsaGuard {
 public:
  explicit IsaGuard(KernelIsa isa) { SetKernelIsaForTesting(isa); }
  ~IsaGuard() { SetKernelIsaForTesting(DetectKernelIsa()); }
};

// The reference's running energy of one station's segment, written out.
std::vector<double> ChainOf(const std::vector<float>& x, int32_t w, int32_t lags) {
  std::vector<double> er(static_cast<std::size_t>(lags));
  double e = 0.0;
  for (int32_t j = 0; j < w; ++j) e += static_cast<double>(x[static_cast<std::size_t>(j)]) * x[static_cast<std::size_t>(j)];
  er[0] = e;
  for (int32_t t = 1; t < lags; ++t) {
    const double out = x[static_cast<std::size_t>(t - 1)];
    const double in = x[static_cast<std::size_t>(t + w - 1)];
    e = e - out * out + in * in;
    er[static_cast<std::size_t>(t)] = e;
  }
  return er;
}

const BoundSums kKinds[] = {BoundSums::kSingle, BoundSums::kBrainFloat};

// Chains bit for bit; single-precision sums as CrossSumsFloat gives them,
// and brain-float sums (where the processor has them) within the error the
// bounds assume.
TEST(CrossSumsWithEnergy, ChainsBitForBitAndSumsWithinTheirMargin) {
  if (!CorrelationBoundsAvailable()) GTEST_SKIP() << "no AVX-512 on this processor";
  std::mt19937 rng(3);
  std::normal_distribution<float> noise(0.0f, 30.0f);
  for (const BoundSums kind : kKinds) {
    for (int n = 1; n <= 9; ++n) {
      for (int32_t w : {1, 9, 40, 70, 129}) {
        for (int32_t lags : {1, 2, 17, 64, 65, 1003}) {
          const auto size = static_cast<std::size_t>(lags + w);
          const auto un = static_cast<std::size_t>(n);
          std::vector<std::vector<float>> x(un), y(un), c(un);
          std::vector<std::vector<double>> er(un);
          std::vector<std::vector<uint32_t>> pairs(un);
          std::vector<FloatChainStation> st(un);
          for (std::size_t k = 0; k < un; ++k) {
            x[k].resize(size);
            // Loud stretches: the chain then cancels large values.
            for (auto& v : x[k]) v = noise(rng) * (rng() % 50 == 0 ? 1e4f : 1.0f);
            y[k].resize(static_cast<std::size_t>(w));
            for (auto& v : y[k]) v = noise(rng);
            c[k].assign(static_cast<std::size_t>(lags), -1.0f);
            er[k].assign(static_cast<std::size_t>(lags), -1.0);
            pairs[k].assign(size, 0);
            st[k].x = x[k].data();
            st[k].y = y[k].data();
            st[k].c = c[k].data();
            st[k].er = er[k].data();
            st[k].pairs = pairs[k].data();
          }
          CrossSumsWithEnergy(st.data(), n, w, lags, kind);
          const bool single = kind == BoundSums::kSingle ||
                              BestBoundSums() == BoundSums::kSingle || w > kMaxBrainFloatWindow;
          for (std::size_t k = 0; k < un; ++k) {
            const std::vector<double> ref = ChainOf(x[k], w, lags);
            std::vector<float> one(static_cast<std::size_t>(lags));
            CrossSumsFloat(x[k].data(), y[k].data(), w, lags, one.data());
            double ey = 0.0;
            for (float v : y[k]) ey += static_cast<double>(v) * v;
            for (std::size_t t = 0; t < ref.size(); ++t) {
              ASSERT_TRUE(SameBits(ref[t], er[k][t]))
                  << "n " << n << " w " << w << " lags " << lags << " station " << k << " lag " << t;
              if (single) {
                ASSERT_TRUE(SameBits(one[t], c[k][t])) << "sums: station " << k << " lag " << t;
                continue;
              }
              double exact = 0.0;
              double ex = 0.0;
              for (int32_t j = 0; j < w; ++j) {
                const double xv = x[k][t + static_cast<std::size_t>(j)];
                exact += xv * y[k][static_cast<std::size_t>(j)];
                ex += xv * xv;
              }
              const double k_assumed = BoundSumsMargin(kind, w) / 1.25;
              ASSERT_LE(std::fabs(static_cast<double>(c[k][t]) - exact),
                        k_assumed * std::sqrt(ex * ey))
                  << "brain floats: w " << w << " station " << k << " lag " << t;
            }
            ASSERT_TRUE(std::isfinite(st[k].drift));
          }
        }
      }
    }
  }
}

// Chains bit for bit where samples are infinite or not a number (the
// drift is then infinite, so no bound of the station is trusted), for
// station counts around the 8 and 16 chains run side by side and windows
// wider than the brain-float limit; pairs made beforehand give the same sums.
TEST(CrossSumsWithEnergy, NonFiniteSamplesWideWindowsAndReadyPairs) {
  if (!CorrelationBoundsAvailable()) GTEST_SKIP() << "no AVX-512 on this processor";
  std::mt19937 rng(11);
  std::normal_distribution<float> noise(0.0f, 3.0f);
  const float kNonFinite[] = {std::numeric_limits<float>::infinity(),
                              -std::numeric_limits<float>::infinity(),
                              std::numeric_limits<float>::quiet_NaN()};
  for (const int n : {3, 8, 11, 16, 17}) {
    for (const int32_t w : {1, 2, 128, 200, 700}) {
      for (const int32_t lags : {5, 300}) {
        const auto size = static_cast<std::size_t>(lags + w);
        const auto un = static_cast<std::size_t>(n);
        std::vector<std::vector<float>> x(un), y(un), c(un), c_ready(un);
        std::vector<std::vector<double>> er(un), er_ready(un);
        std::vector<std::vector<uint32_t>> pairs(un), ready(un);
        std::vector<FloatChainStation> st(un), st_ready(un);
        for (std::size_t k = 0; k < un; ++k) {
          x[k].resize(size);
          for (auto& v : x[k]) v = noise(rng);
          // Every other station gets a non-finite sample somewhere in its
          // segment (the last sample a chain reads included).
          if (k % 2 == 1) {
            const std::size_t at = k % 4 == 1 ? size - 2 : rng() % (size - 1);
            x[k][at] = kNonFinite[k % 3];
          }
          y[k].resize(static_cast<std::size_t>(w));
          for (auto& v : y[k]) v = noise(rng);
          c[k].assign(static_cast<std::size_t>(lags), -1.0f);
          c_ready[k] = c[k];
          er[k].assign(static_cast<std::size_t>(lags), -1.0);
          er_ready[k] = er[k];
          pairs[k].assign(size, 0);
          st[k] = {x[k].data(), y[k].data(), c[k].data(), er[k].data(), 0.0, pairs[k].data()};
          st_ready[k] = {x[k].data(), y[k].data(), c_ready[k].data(), er_ready[k].data(), 0.0,
                         nullptr};
          if (BestBoundSums() == BoundSums::kBrainFloat) {
            ready[k].assign(size, 0);
            BrainFloatPairsOf(x[k].data(), lags + w - 1, ready[k].data());
            st_ready[k].readyPairs = ready[k].data();
          } else {
            st_ready[k].pairs = pairs[k].data();
          }
        }
        CrossSumsWithEnergy(st.data(), n, w, lags, BoundSums::kBrainFloat);
        CrossSumsWithEnergy(st_ready.data(), n, w, lags, BoundSums::kBrainFloat);
        for (std::size_t k = 0; k < un; ++k) {
          const std::string what = StrPrintf("n %d w %d lags %d station %zu", n, w, lags, k);
          const std::vector<double> ref = ChainOf(x[k], w, lags);
          for (std::size_t t = 0; t < ref.size(); ++t) {
            ASSERT_TRUE(SameBits(ref[t], er[k][t])) << what << " lag " << t;
            ASSERT_TRUE(SameBits(ref[t], er_ready[k][t])) << what << " lag " << t;
            ASSERT_TRUE(SameBits(c[k][t], c_ready[k][t])) << what << " sums, lag " << t;
          }
          if (k % 2 == 1) {
            EXPECT_EQ(st[k].drift, std::numeric_limits<double>::infinity()) << what;
          } else {
            EXPECT_TRUE(std::isfinite(st[k].drift)) << what;
          }
          EXPECT_TRUE(SameBits(st[k].drift, st_ready[k].drift)) << what;
        }
      }
    }
  }
}

// Bounds from single-precision sums against CorrelationRow itself, for
// records of ordinary, tiny, huge and widely varying amplitude (a loud burst
// leaves the chain off the exact energy in the quiet after it), records
// that are the template (values at 1) and records with infinities.
TEST(BoundRowFromFloatSums, NeverBelowTheExactRowNeverNaN) {
  if (!CorrelationBoundsAvailable()) GTEST_SKIP() << "no AVX-512 on this processor";
  std::mt19937 rng(17);
  std::normal_distribution<float> noise(0.0f, 1.0f);
  const int32_t w = 40;
  const int32_t lags = 3001;
  struct Kind {
    const char* name;
    float scale;
    float burst;
  };
  const Kind kinds[] = {{"ordinary", 100.0f, 1.0f}, {"tiny", 1e-20f, 1.0f},
                        {"denormal", 1e-41f, 1.0f}, {"huge", 1e18f, 1.0f},
                        {"burst", 1.0f, 1e7f},      {"copy", 50.0f, 1.0f},
                        {"infinite", 10.0f, 1.0f}};
  for (const Kind& kind : kinds) {
    XL_WaveTrace tpl(400);
    XL_WaveTrace rec(lags + w + 200);
    for (auto& v : tpl.samples) v = noise(rng) * kind.scale;
    for (auto& v : rec.samples) v = noise(rng) * kind.scale;
    const int32_t pick = 100;
    const int32_t min_pick = 60;  // record sample of lag t is pick - min_pick + t
    if (std::string(kind.name) == "burst") {
      for (int i = 500; i < 700; ++i) rec.samples[static_cast<std::size_t>(i)] *= kind.burst;
    }
    if (std::string(kind.name) == "copy") {
      for (int r = 0; r < 5; ++r) {
        const int at = 40 + 600 * r + 100 - 10;  // lag where the template window sits
        for (int j = 0; j < w; ++j) {
          rec.samples[static_cast<std::size_t>(at + j)] =
              tpl.samples[static_cast<std::size_t>(pick - 10 + j)] * static_cast<float>(r + 1);
        }
      }
    }
    if (std::string(kind.name) == "infinite") {
      rec.samples[900] = std::numeric_limits<float>::infinity();
      rec.samples[1900] = -std::numeric_limits<float>::infinity();
    }
    RunContext ctx;
    ctx.winLen = w;
    ctx.preLen = 10;
    ctx.nLags = lags;
    std::vector<float> exact(static_cast<std::size_t>(lags));
    CorrelationRow(tpl, rec, pick, min_pick, lags, ctx, 0, exact.data());

    std::vector<float> y(static_cast<std::size_t>(w));
    double e_t = 0.0;
    for (int32_t j = 0; j < w; ++j) {
      y[static_cast<std::size_t>(j)] = tpl.samples[static_cast<std::size_t>(pick - 10 + j)];
      e_t += static_cast<double>(y[static_cast<std::size_t>(j)]) * y[static_cast<std::size_t>(j)];
    }
    for (const BoundSums sums : kKinds) {
    std::vector<double> er(static_cast<std::size_t>(lags));
    std::vector<float> c(static_cast<std::size_t>(lags));
    std::vector<uint32_t> pairs(static_cast<std::size_t>(lags + w));
    FloatChainStation st;
    st.x = rec.samples.data() + (pick - min_pick);  // the trace holds every sample read
    st.y = y.data();
    st.c = c.data();
    st.er = er.data();
    st.pairs = pairs.data();
    CrossSumsWithEnergy(&st, 1, w, lags, sums);
    std::vector<float> bound(static_cast<std::size_t>(lags));
    BoundRowFromFloatSums(c.data(), e_t, er.data(), st.drift, BoundSumsMargin(sums, w), lags,
                          bound.data());
    int finite = 0;
    for (int32_t t = 0; t < lags; ++t) {
      const float x = exact[static_cast<std::size_t>(t)];
      const float b = bound[static_cast<std::size_t>(t)];
      ASSERT_FALSE(b != b) << kind.name << " lag " << t;
      if (std::isfinite(b)) ++finite;
      if (x != x) continue;
      ASSERT_TRUE(b >= x) << kind.name << " lag " << t << ": bound " << b << " below " << x;
    }
    // Bounds that prune: finite almost everywhere on ordinary records.
    if (std::string(kind.name) == "ordinary" || std::string(kind.name) == "copy") {
      EXPECT_GT(finite, lags * 9 / 10) << kind.name;
    }
    }
  }
}

TEST(AnyStackAbove, SameAnswerAsOneLagAtATimeOnEveryInstructionSet) {
  std::mt19937 rng(23);
  std::uniform_real_distribution<float> unit(-1.0f, 1.0f);
  const int32_t lags = 700;
  for (KernelIsa isa : {KernelIsa::kScalar, KernelIsa::kAvx2, KernelIsa::kAvx512}) {
    IsaGuard guard(isa);
    for (int trial = 0; trial < 300; ++trial) {
      const int n = 1 + trial % 13;
      std::vector<float> rows(static_cast<std::size_t>(n) * lags);
      for (auto& v : rows) v = unit(rng);
      std::vector<int32_t> shifts(static_cast<std::size_t>(n));
      // Some shifts move stations off their rows; the plan's range is
      // either exact or wider than the shifts tested.
      for (auto& s : shifts) s = static_cast<int32_t>(rng() % 1401) - 700;
      std::vector<int32_t> smin(shifts);
      std::vector<int32_t> smax(shifts);
      if (trial % 2) {
        for (auto& s : smin) s -= 3;
        for (auto& s : smax) s += 5;
      }
      if (trial % 3 == 0) {
        for (auto& s : shifts) s = static_cast<int32_t>(rng() % 21) - 10;  // all inside
        smin.assign(shifts.size(), -10);
        smax.assign(shifts.size(), 10);
      }
      std::vector<int32_t> starts;
      for (int32_t q = 0; q < lags; ++q) {
        if (rng() % (trial % 4 == 0 ? 3 : 40) == 0) starts.push_back(q);  // runs and scattered
      }
      starts.resize(std::min<std::size_t>(starts.size(), static_cast<std::size_t>(trial % 37 + trial % 4 * 60)));
      const std::vector<StartRun> runs = GroupStarts(starts, smin.data(), smax.data(), n, lags);
      const float inv_n = 1.0f / static_cast<float>(n);
      for (float thr : {-0.2f, 0.0f, 0.3f, 0.6f}) {
        bool expected = false;
        for (int32_t q : starts) {
          float sum = 0.0f;
          for (int k = 0; k < n; ++k) {
            const int64_t r = int64_t{q} + shifts[static_cast<std::size_t>(k)];
            if (r >= 0 && r < lags) sum += rows[static_cast<std::size_t>(k) * lags + static_cast<std::size_t>(r)];
          }
          expected = expected || sum * inv_n > thr;
        }
        ASSERT_EQ(AnyStackAbove(rows.data(), lags, shifts.data(), n, lags, runs.data(),
                                runs.size(), inv_n, thr),
                  expected)
            << KernelIsaName(isa) << " trial " << trial << " thr " << thr;
      }
    }
  }
}

// A template of `n` stations around a source, and a record holding repeats
// of it every `spacing` samples at growing gains, in noise.
struct TemplateCase {
  AePars pars;
  RunContext ctx;
  XL_WaveDataSeg2 tpl;
  XL_WaveDataSeg2 record;

  TemplateCase(int n, int samples, int grid_steps, int spacing, uint32_t seed) {
    std::mt19937 rng(seed);
    std::normal_distribution<float> noise(0.0f, 1.0f);
    pars.gridStepsX = pars.gridStepsY = pars.gridStepsZ = grid_steps;
    pars.gridHalfX = pars.gridHalfY = pars.gridHalfZ = 3.0f;
    pars.minStations = 4;
    pars.snrMin = 1.5f;
    SetText(tpl.header.comments, StrPrintf("x=0 y=0 z=0 Mw=-2 M=%d", n));
    const int picks_at = 400;
    for (int i = 0; i < n; ++i) {
      auto t = std::make_unique<XL_WaveTrace>(samples);
      for (auto& v : t->samples) v = noise(rng);
      const int pick = picks_at + static_cast<int>(rng() % 60);
      for (int j = -10; j < 60; ++j) {
        t->samples[static_cast<std::size_t>(pick + j)] +=
            40.0f * std::sin(0.7f * static_cast<float>(j)) * std::exp(-0.05f * static_cast<float>(j > 0 ? j : -j));
      }
      t->samplingInterval = 0.1;
      t->pickup[0] = pick;
      const double angle = 6.2831853 * i / n;
      t->receiverLocation[0] = 100.0 * std::cos(angle);
      t->receiverLocation[1] = 100.0 * std::sin(angle);
      t->receiverLocation[2] = 20.0 * (i % 3);
      SetText(t->note, StrPrintf("loc_ind=%d", i));
      tpl.AddTrace(std::move(t));
    }
    ctx.dt = 0.1f;
    ctx.nTraces = n;
    ctx.winLen = 40;
    ctx.preLen = 10;
    ctx.len5 = 50;
    ctx.len2 = 20;
    ctx.nLags = samples - ctx.winLen - 1;
    for (int i = 0; i < n; ++i) {
      auto t = std::make_unique<XL_WaveTrace>(samples);
      for (auto& v : t->samples) v = noise(rng) * 2.0f;
      const XL_WaveTrace& tt = tpl.Trace(i);
      int r = 0;
      for (int at = 150; at + 500 < samples; at += spacing, ++r) {
        const float gain = 0.5f + 0.25f * static_cast<float>(r % 7);
        const int lag_shift = static_cast<int>(rng() % 3);  // moveout a grid offset explains
        for (int j = -30; j < 90; ++j) {
          const int src = tt.pickup[0] + j;
          const int dst = at + src - picks_at + lag_shift * (i % 2);
          if (dst >= 0 && dst < samples) {
            t->samples[static_cast<std::size_t>(dst)] += gain * tt.samples[static_cast<std::size_t>(src)];
          }
        }
      }
      t->samplingInterval = 0.1;
      record.AddTrace(std::move(t));
    }
    ctx.AllocateWorkArrays();
  }
};

// The fast scan with pruned rows against the reference, at ordinary
// thresholds and at thresholds equal to (and one float step around) the
// reference's own peak values, where only exact rows decide.
void ExpectTemplateScansAgree(TemplateCase& c, const std::string& what) {
  const TemplateScan probe = ScanTemplateReference(c.tpl, c.record, c.pars, c.ctx, 0.3f);
  ASSERT_TRUE(probe.scanned) << what;
  std::vector<float> thresholds = {0.2f, 0.3f, 0.5f};
  for (std::size_t i = 0; i < probe.peaks.size(); i += std::max<std::size_t>(1, probe.peaks.size() / 3)) {
    const float v = probe.peaks[i].value;
    thresholds.push_back(v);
    thresholds.push_back(std::nextafter(v, 0.0f));
    thresholds.push_back(std::nextafter(v, 2.0f));
  }
  ScanWorkspace ws;
  ws.Allocate(c.ctx.nTraces, c.ctx.nLags, c.ctx.winLen);
  // The record's pairs made once and read by every scan, as the pool does.
  const RecordBrainFloats shared(c.record, int64_t{c.ctx.nLags} + c.ctx.winLen);
  for (const float thr : thresholds) {
    const TemplateScan ref = ScanTemplateReference(c.tpl, c.record, c.pars, c.ctx, thr);
    const std::string at = what + StrPrintf(" thr %.9g", static_cast<double>(thr));
    const TemplateScan fast =
        ScanTemplateFast(c.tpl, c.record, c.pars, c.ctx, ws, thr, nullptr, -1, false);
    ExpectSamePeaks(fast.peaks, ref.peaks, at);
    const TemplateScan with_shared =
        ScanTemplateFast(c.tpl, c.record, c.pars, c.ctx, ws, thr, nullptr, -1, false, &shared);
    ExpectSamePeaks(with_shared.peaks, ref.peaks, at + " (shared pairs)");
  }
  EXPECT_FALSE(probe.peaks.empty()) << what << ": the case has no peak to test";
}

TEST(PrunedTemplateScan, DenseEventsAndStationCounts) {
  for (const int n : {8, 16, 32}) {
    TemplateCase c(n, 3000, 3, 420, static_cast<uint32_t>(n));
    ExpectTemplateScansAgree(c, StrPrintf("%d stations", n));
  }
}

TEST(PrunedTemplateScan, FineGridAndMeanRemoval) {
  TemplateCase c(8, 1800, 10, 600, 5);  // 21 x 21 x 21 offsets
  ExpectTemplateScansAgree(c, "21^3 grid");
  c.pars.mean = 1;
  ExpectTemplateScansAgree(c, "21^3 grid, mean removed");
}

}  // namespace
}  // namespace qae

namespace qae {
namespace {

// Record traces that end early (windows run past their samples, read as 0)
// and a station the record lacks altogether.
TEST(PrunedTemplateScan, ShortAndMissingRecordTraces) {
  TemplateCase c(8, 3000, 3, 420, 9);
  XL_WaveDataSeg2 shorter;
  for (int i = 0; i < 7; ++i) {  // station 7 has no trace in the record
    const XL_WaveTrace& t = c.record.Trace(i);
    const int keep = i == 2 ? 1500 : i == 5 ? 3 : t.sampleCount;
    auto copy = std::make_unique<XL_WaveTrace>(keep);
    std::copy(t.samples.begin(), t.samples.begin() + keep, copy->samples.begin());
    copy->samplingInterval = t.samplingInterval;
    shorter.AddTrace(std::move(copy));
  }
  c.record = std::move(shorter);
  ExpectTemplateScansAgree(c, "short and missing traces");
}

// Threads scanning one record at once share its pairs, which the first
// scan to need them makes while the others wait.
TEST(PrunedTemplateScan, ThreadsShareTheRecordPairs) {
  TemplateCase c(12, 3000, 3, 420, 21);
  const TemplateScan ref = ScanTemplateReference(c.tpl, c.record, c.pars, c.ctx, 0.3f);
  ASSERT_FALSE(ref.peaks.empty());
  for (int round = 0; round < 3; ++round) {
    const RecordBrainFloats shared(c.record, int64_t{c.ctx.nLags} + c.ctx.winLen);
    constexpr int kThreads = 4;
    std::vector<TemplateScan> scans(kThreads);
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i) {
      threads.emplace_back([&c, &shared, &scans, i] {
        ScanWorkspace ws;
        ws.Allocate(c.ctx.nTraces, c.ctx.nLags, c.ctx.winLen);
        scans[static_cast<std::size_t>(i)] =
            ScanTemplateFast(c.tpl, c.record, c.pars, c.ctx, ws, 0.3f, nullptr, -1, false, &shared);
      });
    }
    for (auto& t : threads) t.join();
    for (int i = 0; i < kThreads; ++i) {
      ExpectSamePeaks(scans[static_cast<std::size_t>(i)].peaks, ref.peaks,
                      StrPrintf("round %d thread %d", round, i));
    }
  }
}

}  // namespace
}  // namespace qae
