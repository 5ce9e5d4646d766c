// A whole continuous run over synthetic recordings of two lengths: samples
// scanned per second, and the process's peak memory after each, which must
// not grow with the length of the recording (only the current window is in
// memory). The shorter recording runs first, so that a peak reached only by
// the longer one would show in its counter.
#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "detect/event_file_driver.h"
#include "detect/run_context.h"
#include "params/parameter_file.h"
#include "synth/continuous_recording.h"
#include "util/text.h"

namespace {

double PeakRssMegabytes() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_maxrss) / 1024.0;  // kilobytes on Linux
}

// The recordings, made once per length and removed at exit.
class Recordings {
 public:
  ~Recordings() {
    std::error_code ec;
    if (!root_.empty()) std::filesystem::remove_all(root_, ec);
  }

  const qae::synth::ContinuousExperiment* Get(int64_t extra_segments, std::string* error) {
    auto it = made_.find(extra_segments);
    if (it != made_.end()) return it->second.get();
    if (root_.empty()) {
      std::string pattern = (std::filesystem::temp_directory_path() / "qae_bench_XXXXXX").string();
      if (mkdtemp(pattern.data()) == nullptr) {
        *error = "cannot create a temporary directory";
        return nullptr;
      }
      root_ = pattern;
    }
    qae::synth::ContinuousOptions o = qae::synth::DefaultContinuousOptions();
    o.base.n_sensors = 8;
    o.base.n_templates = 2;
    o.base.n_events = 3;
    o.base.grid_steps = 2;
    o.quiet_segments = 0;
    o.extra_segments = extra_segments;
    auto x = std::make_unique<qae::synth::ContinuousExperiment>();
    const std::string dir =
        root_ + qae::StrPrintf("/len%lld", static_cast<long long>(extra_segments));
    if (!qae::synth::GenerateContinuousExperiment(dir, o, x.get(), error)) return nullptr;
    return (made_[extra_segments] = std::move(x)).get();
  }

 private:
  std::string root_;
  std::map<int64_t, std::unique_ptr<qae::synth::ContinuousExperiment>> made_;
};

Recordings& TheRecordings() {
  static Recordings recordings;
  return recordings;
}

void BM_ContinuousRun(benchmark::State& state) {
  std::string error;
  const qae::synth::ContinuousExperiment* x = TheRecordings().Get(state.range(0), &error);
  if (x == nullptr) {
    state.SkipWithError(error.c_str());
    return;
  }
  qae::AePars read;
  if (!qae::ReadParameterFile(x->base.par_file, &read)) {
    state.SkipWithError("cannot read the parameter file");
    return;
  }
  read.outLevel = 0;
  const double rss_before = PeakRssMegabytes();
  int run = 0;
  for (auto _ : state) {
    qae::AePars pars = read;
    pars.outDir = x->base.out_dir + qae::StrPrintf("run%d/", run++);
    std::filesystem::create_directories(pars.outDir);
    pars.firstAE = x->first_ae;
    pars.lastAE = x->last_ae;
    auto ctx = std::make_unique<qae::RunContext>();
    benchmark::DoNotOptimize(qae::RunEventFiles(*ctx, pars.dataPath, pars.templateDir, pars));
    if (!ctx->fatalError.empty()) {
      state.SkipWithError(ctx->fatalError.c_str());
      return;
    }
  }
  const int n_sensors = 8;
  const double per_trace =
      static_cast<double>(x->readable_segments) * static_cast<double>(x->length);
  state.SetItemsProcessed(
      static_cast<int64_t>(static_cast<double>(state.iterations()) * per_trace * n_sensors));
  state.counters["samples_per_trace"] = per_trace;
  state.counters["trace_samples_per_s"] = benchmark::Counter(
      per_trace * static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
  state.counters["recording_MB"] = static_cast<double>(x->samples_per_trace) * n_sensors * 2 / 1e6;
  state.counters["peak_rss_MB"] = PeakRssMegabytes();
  state.counters["rss_growth_MB"] = PeakRssMegabytes() - rss_before;
}
BENCHMARK(BM_ContinuousRun)
    ->ArgName("extra_segments")
    ->Arg(40)
    ->Arg(400)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

}  // namespace
