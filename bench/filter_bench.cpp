// Cost of band-pass filtering one record of 16 traces x 16384 samples, as the
// scan does once per record and template.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <vector>

#include "dsp/iir_filter.h"
#include "wave/wave_data.h"

namespace {

constexpr int kTraces = 16;
constexpr int32_t kSamples = 16384;

std::vector<float> Noise(uint32_t seed) {
  std::vector<float> out(kSamples);
  for (float& v : out) {
    seed = seed * 1664525u + 1013904223u;
    v = static_cast<float>(seed >> 8) / 16777216.0f - 0.5f;
  }
  return out;
}

void BM_FilterRecordBandpass(benchmark::State& state) {
  qae::XL_WaveData record;
  std::vector<std::vector<float>> raw;
  for (int t = 0; t < kTraces; ++t) {
    raw.push_back(Noise(static_cast<uint32_t>(t + 1)));
    auto trace = std::make_unique<qae::XL_WaveTrace>(kSamples);
    trace->samplingInterval = 0.1;  // microseconds: 10 MHz sampling
    record.AddTrace(std::move(trace));
  }
  for (auto _ : state) {
    // Restoring the raw samples costs a copy, far below the filtering.
    for (int t = 0; t < kTraces; ++t) {
      std::copy(raw[t].begin(), raw[t].end(), record.Trace(t).samples.begin());
    }
    benchmark::DoNotOptimize(qae::FilterRecordBandpass(record, 0.05f, 0.5f));
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations() * kTraces * kSamples);
}
BENCHMARK(BM_FilterRecordBandpass)->Unit(benchmark::kMicrosecond);

}  // namespace
