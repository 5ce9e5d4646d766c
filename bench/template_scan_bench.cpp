// One template against one record of the bench workload (16 stations,
// 16384 samples, a 40-sample window, 11 x 11 x 11 offsets): the whole fast
// scan per template-record, with one event or an event every 500 samples,
// and its correlation kernels one by one.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdint>
#include <memory>
#include <random>
#include <vector>

#include "detect/correlation_bounds.h"
#include "detect/correlation_kernels.h"
#include "detect/fast_scan.h"
#include "detect/matched_filter_scan.h"
#include "detect/record_brain_floats.h"
#include "util/text.h"

namespace {

constexpr int kSamples = 16384;
constexpr int kWindow = 40;

struct Workload {
  qae::AePars pars;
  qae::RunContext ctx;
  qae::XL_WaveDataSeg2 tpl;
  qae::XL_WaveDataSeg2 record;
  qae::ScanWorkspace ws;

  Workload(int n, int grid_steps, int spacing) {
    std::mt19937 rng(7);
    std::normal_distribution<float> noise(0.0f, 1.0f);
    pars.gridStepsX = pars.gridStepsY = pars.gridStepsZ = grid_steps;
    pars.gridHalfX = pars.gridHalfY = pars.gridHalfZ = 5.0f;
    pars.minStations = 4;
    pars.snrMin = 1.5f;
    qae::SetText(tpl.header.comments, qae::StrPrintf("x=0 y=0 z=0 Mw=-2 M=%d", n));
    for (int i = 0; i < n; ++i) {
      auto t = std::make_unique<qae::XL_WaveTrace>(kSamples);
      for (auto& v : t->samples) v = noise(rng);
      const int pick = 400 + static_cast<int>(rng() % 80);
      for (int j = -10; j < 60; ++j) {
        t->samples[static_cast<std::size_t>(pick + j)] +=
            40.0f * std::sin(0.7f * static_cast<float>(j)) * std::exp(-0.05f * std::fabs(static_cast<float>(j)));
      }
      t->samplingInterval = 0.1;
      t->pickup[0] = pick;
      const double angle = 6.2831853 * i / n;
      t->receiverLocation[0] = 100.0 * std::cos(angle);
      t->receiverLocation[1] = 100.0 * std::sin(angle);
      t->receiverLocation[2] = 20.0 * (i % 3);
      qae::SetText(t->note, qae::StrPrintf("loc_ind=%d", i));
      tpl.AddTrace(std::move(t));
    }
    ctx.dt = 0.1f;
    ctx.nTraces = n;
    ctx.winLen = kWindow;
    ctx.preLen = 10;
    ctx.len5 = 50;
    ctx.len2 = 20;
    ctx.nLags = kSamples - kWindow - 1;
    for (int i = 0; i < n; ++i) {
      auto t = std::make_unique<qae::XL_WaveTrace>(kSamples);
      for (auto& v : t->samples) v = noise(rng) * 2.0f;
      const qae::XL_WaveTrace& tt = tpl.Trace(i);
      for (int at = 3000; at + 600 < kSamples; at += spacing) {
        for (int j = -30; j < 90; ++j) {
          const int src = tt.pickup[0] + j;
          t->samples[static_cast<std::size_t>(at + src - 400)] += tt.samples[static_cast<std::size_t>(src)];
        }
      }
      t->samplingInterval = 0.1;
      record.AddTrace(std::move(t));
    }
    ws.Allocate(n, ctx.nLags, kWindow);
  }
};

// Arguments: stations, grid steps per axis, event spacing (0: one event).
void BM_ScanTemplateFast(benchmark::State& state) {
  const int spacing = static_cast<int>(state.range(2));
  Workload w(static_cast<int>(state.range(0)), static_cast<int>(state.range(1)),
             spacing > 0 ? spacing : kSamples);
  std::size_t peaks = 0;
  for (auto _ : state) {
    const qae::TemplateScan scan =
        qae::ScanTemplateFast(w.tpl, w.record, w.pars, w.ctx, w.ws, 0.5f, nullptr, -1, false);
    peaks = scan.peaks.size();
    benchmark::DoNotOptimize(peaks);
  }
  state.counters["peaks"] = static_cast<double>(peaks);
}
BENCHMARK(BM_ScanTemplateFast)
    ->Args({16, 5, 0})
    ->Args({16, 5, 500})
    ->Args({8, 5, 0})
    ->Args({16, 10, 0})
    ->Args({16, 10, 500})
    ->Unit(benchmark::kMillisecond);

// The same with the record's brain-float pairs made once, as when every
// template of a run is scanned against the record.
void BM_ScanTemplateFastSharedRecord(benchmark::State& state) {
  const int spacing = static_cast<int>(state.range(2));
  Workload w(static_cast<int>(state.range(0)), static_cast<int>(state.range(1)),
             spacing > 0 ? spacing : kSamples);
  const qae::RecordBrainFloats shared(w.record, int64_t{w.ctx.nLags} + w.ctx.winLen);
  std::size_t peaks = 0;
  for (auto _ : state) {
    const qae::TemplateScan scan = qae::ScanTemplateFast(w.tpl, w.record, w.pars, w.ctx, w.ws,
                                                         0.5f, nullptr, -1, false, &shared);
    peaks = scan.peaks.size();
    benchmark::DoNotOptimize(peaks);
  }
  state.counters["peaks"] = static_cast<double>(peaks);
}
BENCHMARK(BM_ScanTemplateFastSharedRecord)
    ->Args({16, 5, 0})
    ->Args({16, 5, 500})
    ->Unit(benchmark::kMillisecond);

std::vector<float> Noise(uint32_t seed, int32_t n) {
  std::vector<float> out(static_cast<std::size_t>(n));
  std::mt19937 rng(seed);
  std::normal_distribution<float> noise(0.0f, 100.0f);
  for (float& v : out) v = noise(rng);
  return out;
}

// Sixteen stations' single-precision cross sums and energy chains over
// one row's lags.
void BM_SumsAndChains16(benchmark::State& state) {
  if (!qae::CorrelationBoundsAvailable()) {
    state.SkipWithError("no AVX-512");
    return;
  }
  const int32_t lags = kSamples - kWindow - 1;
  std::vector<std::vector<float>> x;
  std::vector<std::vector<float>> y;
  std::vector<std::vector<float>> c(16, std::vector<float>(static_cast<std::size_t>(lags)));
  std::vector<std::vector<double>> er(16, std::vector<double>(static_cast<std::size_t>(lags)));
  std::vector<std::vector<uint32_t>> pairs(16, std::vector<uint32_t>(kSamples));
  for (uint32_t k = 0; k < 16; ++k) {
    x.push_back(Noise(k, kSamples));
    y.push_back(Noise(100 + k, kWindow));
  }
  for (auto _ : state) {
    qae::FloatChainStation st[16];
    for (std::size_t k = 0; k < 16; ++k) {
      st[k] = {x[k].data(), y[k].data(), c[k].data(), er[k].data(), 0.0, pairs[k].data()};
    }
    qae::CrossSumsWithEnergy(st, 16, kWindow, lags, static_cast<qae::BoundSums>(state.range(0)));
    benchmark::DoNotOptimize(er.data());
    benchmark::DoNotOptimize(c.data());
  }
}
BENCHMARK(BM_SumsAndChains16)->Arg(0)->Arg(1);

void BM_CrossSumsFloat(benchmark::State& state) {
  if (!qae::CorrelationBoundsAvailable()) {
    state.SkipWithError("no AVX-512");
    return;
  }
  const int32_t lags = kSamples - kWindow - 1;
  const std::vector<float> x = Noise(1, kSamples);
  const std::vector<float> y = Noise(2, kWindow);
  std::vector<float> c(static_cast<std::size_t>(lags));
  for (auto _ : state) {
    qae::CrossSumsFloat(x.data(), y.data(), kWindow, lags, c.data());
    benchmark::DoNotOptimize(c.data());
  }
}
BENCHMARK(BM_CrossSumsFloat);

}  // namespace

