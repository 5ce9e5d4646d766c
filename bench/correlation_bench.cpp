// The correlation kernels on one station's row of the bench workload: about
// 16,200 lags of a 40-sample window, per instruction set.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <vector>

#include "detect/correlation_kernels.h"

namespace {

constexpr int32_t kLags = 16200;
constexpr int32_t kWindow = 40;

std::vector<double> Noise(uint32_t seed, int32_t n) {
  std::vector<double> out(static_cast<std::size_t>(n));
  for (double& v : out) {
    seed = seed * 1664525u + 1013904223u;
    v = static_cast<double>(static_cast<int32_t>(seed >> 16) - 32768);
  }
  return out;
}

void BM_CrossSumsPlainWithEnergy(benchmark::State& state) {
  qae::SetKernelIsaForTesting(static_cast<qae::KernelIsa>(state.range(0)));
  const std::vector<double> x = Noise(1, kLags + kWindow);
  const std::vector<double> y = Noise(2, kWindow);
  std::vector<double> cxy(kLags);
  std::vector<double> er(kLags);
  for (auto _ : state) {
    er[0] = 1e9;
    qae::CrossSumsPlainWithEnergy(x.data(), y.data(), kWindow, kLags, cxy.data(), er.data());
    benchmark::DoNotOptimize(cxy.data());
    benchmark::DoNotOptimize(er.data());
  }
  state.SetItemsProcessed(state.iterations() * kLags);
  qae::SetKernelIsaForTesting(qae::DetectKernelIsa());
}
BENCHMARK(BM_CrossSumsPlainWithEnergy)->Arg(0)->Arg(1)->Arg(2);

void BM_NormaliseRowUpperBound(benchmark::State& state) {
  const std::vector<double> cxy = Noise(3, kLags);
  std::vector<double> er = Noise(4, kLags);
  for (double& e : er) e = e * e + 1.0;
  std::vector<float> row(kLags);
  for (auto _ : state) {
    if (!qae::NormaliseRowUpperBound(cxy.data(), 1e6, er.data(), kLags, row.data())) {
      qae::NormaliseRow(cxy.data(), 1e6, er.data(), kLags, row.data());
    }
    benchmark::DoNotOptimize(row.data());
  }
  state.SetItemsProcessed(state.iterations() * kLags);
}
BENCHMARK(BM_NormaliseRowUpperBound);

}  // namespace

namespace {

void BM_CrossSumsPlain(benchmark::State& state) {
  qae::SetKernelIsaForTesting(static_cast<qae::KernelIsa>(state.range(0)));
  const std::vector<double> x = Noise(1, kLags + kWindow);
  const std::vector<double> y = Noise(2, kWindow);
  std::vector<double> cxy(kLags);
  for (auto _ : state) {
    qae::CrossSumsPlain(x.data(), y.data(), kWindow, kLags, cxy.data());
    benchmark::DoNotOptimize(cxy.data());
  }
  state.SetItemsProcessed(state.iterations() * kLags);
  qae::SetKernelIsaForTesting(qae::DetectKernelIsa());
}
BENCHMARK(BM_CrossSumsPlain)->Arg(1)->Arg(2);

}  // namespace
