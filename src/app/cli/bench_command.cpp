// "bench": fixed synthetic workloads run end to end, with the time of each
// stage of the scan, for the straightforward scan and the fast one.
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "app/cli/commands.h"
#include "app/cli/json_output.h"
#include "detect/event_file_driver.h"
#include "detect/run_context.h"
#include "params/parameter_file.h"
#include "synth/continuous_recording.h"
#include "synth/synthetic_experiment.h"
#include "util/cpu_time.h"
#include "util/path.h"
#include "util/temp_folder.h"
#include "util/text.h"
#include "util/usable_cpus.h"

namespace qae::cli {

namespace {

namespace fs = std::filesystem;
using Json = nlohmann::ordered_json;

struct BenchOptions {
  bool json = false;
  int templates = 20;
  int records = 20;
  int stations = 16;
  int samples = 16384;
  int gridSteps = 5;  // per axis: 2 * 5 + 1 = 11 offsets
  std::string keep;
  std::string kernel;  // empty: compare every configuration
  int threads = -1;
  std::string workload = "one";
};

struct Setup {
  const char* key;
  RunContext::Kernel kernel;
  int threads;  // 0: every CPU the process may use
};

int AllCores() { return UsableCpuCount(); }

// ---- Stage times around the scan: where a run's processor and wall time
// go (preparing records, scanning, writing detections, the whole run).

struct RunClock {
  double cpu0 = ProcessCpuSeconds();
  std::chrono::steady_clock::time_point wall0 = std::chrono::steady_clock::now();
  double Cpu() const { return ProcessCpuSeconds() - cpu0; }
  double Wall() const {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - wall0).count();
  }
};

Json StageTimes(const RunContext& ctx, double run_cpu, double run_wall) {
  const RunContext::PipelineTimes& p = ctx.pipelineTimes;
  const ScanTimings& t = ctx.timings;
  const double written = p.writtenRecords > 0 ? static_cast<double>(p.writtenRecords) : 1.0;
  Json j;
  j["run"] = {{"cpu_s", run_cpu}, {"wall_s", run_wall}};
  j["prepare"] = {{"cpu_s", p.prepareCpu}, {"wall_s", p.prepareWall}};
  // The scan stages are timed per thread and summed over the threads.
  j["scan"] = {{"thread_s", t.correlation + t.stack + t.peakSearch}};
  j["outputs_on_run_thread"] = {{"wall_s", t.outputs}};
  j["write"] = {{"cpu_s", p.writeCpu},
                {"wall_s", p.writeWall},
                {"records", p.writtenRecords},
                {"groups", p.commitGroups},
                {"cpu_ms_per_record", 1e3 * p.writeCpu / written},
                {"wall_ms_per_record", 1e3 * p.writeWall / written}};
  return j;
}

void PrintStages(const Json& r) {
  if (!r.contains("stages")) return;
  const Json& s = r["stages"];
  std::printf("  %-32s run cpu %.2f s wall %.2f s; prepare cpu %.2f wall %.2f; scan %.2f; "
              "write cpu %.3f wall %.3f (%lld records in %lld groups, %.2f ms cpu/record)\n",
              "", s["run"]["cpu_s"].get<double>(), s["run"]["wall_s"].get<double>(),
              s["prepare"]["cpu_s"].get<double>(), s["prepare"]["wall_s"].get<double>(),
              s["scan"]["thread_s"].get<double>(), s["write"]["cpu_s"].get<double>(),
              s["write"]["wall_s"].get<double>(),
              static_cast<long long>(s["write"]["records"].get<int64_t>()),
              static_cast<long long>(s["write"]["groups"].get<int64_t>()),
              s["write"]["cpu_ms_per_record"].get<double>());
  if (r.contains("megabytes_per_second")) {
    std::printf("  %-32s %.1f MB/s of recording (%.1f MB)\n", "",
                r["megabytes_per_second"].get<double>(), r["megabytes"].get<double>());
  }
}

// The folder a prefix such as "dir/events/" names, without the trailing
// separator, which the Windows library's copy refuses.
fs::path FolderOf(const std::string& prefix) {
  fs::path p = PathOf(prefix);
  return p.has_filename() ? p : p.parent_path();
}

// A generated workload whose event files are put back before every run
// (a run rewrites the files it detects in).
class Workload {
 public:
  Workload(const BenchOptions& opt, const std::string& name, const std::string& dir)
      : dir_(dir), grid_steps_(opt.gridSteps) {
    synth::SyntheticOptions so;
    so.seed = 2026;
    so.n_sensors = opt.stations;
    so.n_samples = opt.samples;
    so.n_templates = opt.templates;
    so.n_events = opt.records;
    so.special_files = false;
    so.overwrite = true;
    if (name == "sparse") so.events_per_file = 0;
    if (name == "dense") {
      so.events_per_file = 1000;  // as many as fit
      so.event_spacing_samples = 500;
    }
    std::string error;
    if (!synth::GenerateSyntheticExperiment(dir, so, &exp_, &error)) throw CommandError(error, 1);
    std::error_code ec;
    fs::copy(FolderOf(exp_.data_dir), PathOf(Pristine()), fs::copy_options::recursive, ec);
    if (ec) throw CommandError("cannot copy " + exp_.data_dir + ": " + ec.message(), 1);
  }

  Json Run(const Setup& setup) {
    std::error_code ec;
    fs::remove_all(FolderOf(exp_.data_dir), ec);
    fs::copy(PathOf(Pristine()), FolderOf(exp_.data_dir), fs::copy_options::recursive, ec);
    for (const auto& e : fs::directory_iterator(PathOf(exp_.out_dir), ec)) {
      fs::remove_all(e.path(), ec);
    }

    AePars pars;
    if (!ReadParameterFile(exp_.par_file, &pars)) {
      throw CommandError("cannot read " + exp_.par_file, 1);
    }
    pars.firstAE = exp_.truth.first_ae;
    pars.lastAE = exp_.truth.last_ae;
    pars.gridStepsX = pars.gridStepsY = pars.gridStepsZ = grid_steps_;
    RunContext ctx;
    ctx.kernel = setup.kernel;
    ctx.threads = setup.threads;
    const RunClock clock;
    const auto start = std::chrono::steady_clock::now();
    const int detected = RunEventFiles(ctx, pars.dataPath, pars.templateDir, pars);
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const double run_cpu = clock.Cpu();
    ctx.log.Close();
    if (!ctx.fatalError.empty()) throw CommandError(ctx.fatalError, 1);

    const ScanTimings& t = ctx.timings;
    const double pairs = t.templateRecords > 0 ? static_cast<double>(t.templateRecords) : 1.0;
    const int records = pars.lastAE - pars.firstAE + 1;
    Json j;
    j["kernel"] = setup.kernel == RunContext::Kernel::kReference ? "reference" : "fast";
    j["threads"] = setup.threads > 0 ? setup.threads : AllCores();
    j["records"] = records;
    j["records_detected"] = detected;
    j["template_records"] = t.templateRecords;
    j["seconds"] = seconds;
    j["records_per_second"] = records / seconds;
    j["ms_per_template_record"] = {
        {"correlation", 1e3 * t.correlation / pairs},
        {"grid_stack", 1e3 * t.stack / pairs},
        {"peak_search", 1e3 * t.peakSearch / pairs},
        {"outputs", 1e3 * t.outputs / pairs},
    };
    j["stages"] = StageTimes(ctx, run_cpu, seconds);
    return j;
  }

 private:
  std::string Pristine() const { return dir_ + "/events.pristine"; }

  std::string dir_;
  int grid_steps_;
  synth::SyntheticExperiment exp_;
};

// ---- Continuous workload: one recording of --stations channels with
// --templates templates of --samples samples, cut into segments of about
// --samples; throughput in megabytes of recording per second.

class ContinuousWorkload {
 public:
  ContinuousWorkload(const BenchOptions& opt, const std::string& dir) {
    synth::ContinuousOptions o = synth::DefaultContinuousOptions();
    o.base.seed = 2026;
    o.base.n_sensors = opt.stations;
    // Templates a little longer than whole thousands of samples, so that
    // the segments' overlap holds a whole event.
    o.base.n_samples = std::max(opt.samples / 1000, 4) * 1000 + 999;
    o.base.n_templates = opt.templates;
    o.base.n_events = std::min(opt.records, 200);
    o.base.overwrite = true;
    o.extra_segments = 2 * opt.records;  // quiet segments, as most of a recording is
    std::string error;
    if (!synth::ValidateContinuousOptions(o, &error) ||
        !synth::GenerateContinuousExperiment(dir, o, &exp_, &error)) {
      throw CommandError(error, 1);
    }
    std::error_code ec;
    bytes_ = static_cast<double>(fs::file_size(PathOf(exp_.recording), ec));
  }

  Json Run(const Setup& setup) {
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(PathOf(exp_.base.out_dir), ec)) {
      fs::remove_all(e.path(), ec);
    }
    AePars pars;
    if (!ReadParameterFile(exp_.base.par_file, &pars)) {
      throw CommandError("cannot read " + exp_.base.par_file, 1);
    }
    pars.firstAE = 0;
    pars.lastAE = static_cast<int>(exp_.readable_segments) - 1;
    RunContext ctx;
    ctx.kernel = setup.kernel;
    ctx.threads = setup.threads;
    const RunClock clock;
    const int detected = RunEventFiles(ctx, pars.dataPath, pars.templateDir, pars);
    const double seconds = clock.Wall();
    const double run_cpu = clock.Cpu();
    ctx.log.Close();
    if (!ctx.fatalError.empty()) throw CommandError(ctx.fatalError, 1);
    const ScanTimings& t = ctx.timings;
    const double pairs = t.templateRecords > 0 ? static_cast<double>(t.templateRecords) : 1.0;
    Json j;
    j["kernel"] = setup.kernel == RunContext::Kernel::kReference ? "reference" : "fast";
    j["threads"] = setup.threads > 0 ? setup.threads : AllCores();
    j["records"] = ctx.counts.scanned;
    j["records_detected"] = detected;
    j["template_records"] = t.templateRecords;
    j["seconds"] = seconds;
    j["records_per_second"] = ctx.counts.scanned / seconds;
    j["ms_per_template_record"] = {
        {"correlation", 1e3 * t.correlation / pairs},
        {"grid_stack", 1e3 * t.stack / pairs},
        {"peak_search", 1e3 * t.peakSearch / pairs},
        {"outputs", 1e3 * t.outputs / pairs},
    };
    j["megabytes"] = bytes_ / 1e6;
    j["megabytes_per_second"] = bytes_ / 1e6 / seconds;
    j["stages"] = StageTimes(ctx, run_cpu, seconds);
    return j;
  }

 private:
  synth::ContinuousExperiment exp_;
  double bytes_ = 0.0;
};

Json RunContinuousBench(const BenchOptions& opt, const std::string& dir, bool single) {
  ContinuousWorkload w(opt, dir + "/continuous");
  Json runs;
  if (single) {
    const auto kernel =
        opt.kernel == "reference" ? RunContext::Kernel::kReference : RunContext::Kernel::kFast;
    const int threads = kernel == RunContext::Kernel::kReference ? 1 : std::max(opt.threads, 0);
    runs["run"] = w.Run({"run", kernel, threads});
  } else {
    runs["b_fast_1_thread"] = w.Run({"b_fast_1_thread", RunContext::Kernel::kFast, 1});
    runs["c_fast_all_cores"] = w.Run({"c_fast_all_cores", RunContext::Kernel::kFast, 0});
  }
  return runs;
}

void PrintRun(const std::string& label, const Json& r) {
  const Json& ms = r["ms_per_template_record"];
  std::printf("  %-32s %8.3g records/s  (%.1f s; ms per template-record: correlation %.3f, "
              "grid stack %.3f, peak search %.3f, outputs %.3f)\n",
              label.c_str(), r["records_per_second"].get<double>(), r["seconds"].get<double>(),
              ms["correlation"].get<double>(), ms["grid_stack"].get<double>(),
              ms["peak_search"].get<double>(), ms["outputs"].get<double>());
}

Json RunBench(const BenchOptions& opt) {
  std::string dir = opt.keep;
  bool remove_after = false;
  if (dir.empty()) {
    std::string why;
    dir = MakeTemporaryFolder("qae_bench_", &why);
    if (dir.empty()) throw CommandError("cannot create a temporary folder", 1);
    remove_after = true;
  }
  Json out;
  out["stations"] = opt.stations;
  out["samples"] = opt.samples;
  const int axis = 2 * opt.gridSteps + 1;
  out["grid"] = StrPrintf("%dx%dx%d", axis, axis, axis);
  out["templates"] = opt.templates;
  out["records"] = opt.records;
  out["hardware_threads"] = AllCores();

  const bool single = !opt.kernel.empty() || opt.threads >= 0;
  const std::vector<std::string> workloads =
      single ? std::vector<std::string>{opt.workload}
             : std::vector<std::string>{"one", "sparse", "dense", "continuous"};
  for (const std::string& name : workloads) {
    if (name == "continuous") {
      out[name] = RunContinuousBench(opt, dir, single);
      continue;
    }
    Workload w(opt, name, dir + "/" + name);
    Json runs;
    if (single) {
      const auto kernel = opt.kernel == "reference" ? RunContext::Kernel::kReference
                                                    : RunContext::Kernel::kFast;
      const int threads = kernel == RunContext::Kernel::kReference ? 1 : std::max(opt.threads, 0);
      runs["run"] = w.Run({"run", kernel, threads});
    } else {
      // (a) the straightforward scan, (b) the fast one on one thread, (c) on
      // every core; the sparse and dense cases skip (b).
      const Setup setups[] = {{"a_reference_1_thread", RunContext::Kernel::kReference, 1},
                              {"b_fast_1_thread", RunContext::Kernel::kFast, 1},
                              {"c_fast_all_cores", RunContext::Kernel::kFast, 0}};
      for (const Setup& s : setups) {
        if (name != "one" && s.threads == 1 && s.kernel == RunContext::Kernel::kFast) continue;
        runs[s.key] = w.Run(s);
      }
      runs["speedup_a_over_c"] = runs["a_reference_1_thread"]["seconds"].get<double>() /
                                 runs["c_fast_all_cores"]["seconds"].get<double>();
    }
    out[name] = std::move(runs);
  }
  if (remove_after) {
    std::error_code ec;
    fs::remove_all(PathOf(dir), ec);
  }
  return out;
}

}  // namespace

void RegisterBenchCommand(CLI::App& app) {
  auto opt = std::make_shared<BenchOptions>();
  CLI::App* cmd = app.add_subcommand(
      "bench",
      "Time fixed synthetic workloads (16 stations, 16384 samples at 0.1 us, 11x11x11 grid,\n"
      "20 templates, 20 records) run end to end in a temporary folder: \"one\" event per\n"
      "record, \"sparse\" (no event) and \"dense\" (an event every 500 samples). Prints\n"
      "records per second and the time per template-record of each scan stage for (a) the\n"
      "straightforward scan on one thread, (b) the fast scan on one thread (one-event case),\n"
      "(c) the fast scan on every CPU it may use, and the speed-up (a)/(c); and a \"continuous\"\n"
      "recording (as many channels and templates, segments of about as many samples) with\n"
      "the fast scan, in megabytes of recording per second. Each run also shows the processor\n"
      "and wall time of its stages (preparing records, scanning, writing detections).\n"
      "--kernel or --threads times a single configuration of one workload instead.");
  cmd->add_flag("--json", opt->json, "Print one JSON object");
  cmd->add_option("--templates", opt->templates, "Templates")->check(CLI::Range(1, 100))
      ->capture_default_str();
  cmd->add_option("--records", opt->records, "Records")
      ->check(CLI::Range(1, 1000))->capture_default_str();
  cmd->add_option("--stations", opt->stations, "Stations")->check(CLI::Range(4, 50))
      ->capture_default_str();
  cmd->add_option("--samples", opt->samples, "Samples per trace")
      ->check(CLI::Range(1024, 1048576))->capture_default_str();
  cmd->add_option("--grid-steps", opt->gridSteps,
                  "Grid steps per axis (each axis has 2 * steps + 1 offsets)")
      ->check(CLI::Range(0, 50))->capture_default_str();
  cmd->add_option("--keep", opt->keep, "Build the workloads in this folder and keep them");
  cmd->add_option("--kernel", opt->kernel, "Time only this scan: fast or reference")
      ->check(CLI::IsMember({"fast", "reference"}));
  cmd->add_option("--threads", opt->threads,
                  "Time only the fast scan on this many threads (0: every CPU it may use)")
      ->check(CLI::Range(0, 256));
  cmd->add_option("--workload", opt->workload,
                  "With --kernel/--threads: one, sparse, dense or continuous")
      ->check(CLI::IsMember({"one", "sparse", "dense", "continuous"}))
      ->capture_default_str();
  cmd->callback([opt] {
    const Json j = RunBench(*opt);
    if (opt->json) {
      std::printf("%s\n", j.dump().c_str());
      return;
    }
    std::printf("%d stations x %d samples, grid %s, %d templates x %d records, %d cores\n",
                j["stations"].get<int>(), j["samples"].get<int>(),
                j["grid"].get<std::string>().c_str(), j["templates"].get<int>(),
                j["records"].get<int>(), j["hardware_threads"].get<int>());
    for (const char* name : {"one", "sparse", "dense", "continuous"}) {
      if (!j.contains(name)) continue;
      std::printf("%s:\n", name);
      for (const auto& [key, run] : j[name].items()) {
        if (run.is_object()) {
          PrintRun(key + StrPrintf(" (%d thr.)", run["threads"].get<int>()), run);
          PrintStages(run);
        } else {
          std::printf("  speed-up (a)/(c): %.1f\n", run.get<double>());
        }
      }
    }
  });
}

}  // namespace qae::cli
