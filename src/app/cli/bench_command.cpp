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
#include "synth/synthetic_experiment.h"
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
    fs::copy(PathOf(exp_.data_dir), PathOf(Pristine()), fs::copy_options::recursive, ec);
    if (ec) throw CommandError("cannot copy " + exp_.data_dir + ": " + ec.message(), 1);
  }

  Json Run(const Setup& setup) {
    std::error_code ec;
    fs::remove_all(PathOf(exp_.data_dir), ec);
    fs::copy(PathOf(Pristine()), PathOf(exp_.data_dir), fs::copy_options::recursive, ec);
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
    const auto start = std::chrono::steady_clock::now();
    const int detected = RunEventFiles(ctx, pars.dataPath, pars.templateDir, pars);
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
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
    return j;
  }

 private:
  std::string Pristine() const { return dir_ + "/events.pristine"; }

  std::string dir_;
  int grid_steps_;
  synth::SyntheticExperiment exp_;
};

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
             : std::vector<std::string>{"one", "sparse", "dense"};
  for (const std::string& name : workloads) {
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
      "(c) the fast scan on every CPU it may use, and the speed-up (a)/(c). --kernel or --threads\n"
      "times a single configuration of one workload instead.");
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
  cmd->add_option("--workload", opt->workload, "With --kernel/--threads: one, sparse or dense")
      ->check(CLI::IsMember({"one", "sparse", "dense"}))
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
    for (const char* name : {"one", "sparse", "dense"}) {
      if (!j.contains(name)) continue;
      std::printf("%s:\n", name);
      for (const auto& [key, run] : j[name].items()) {
        if (run.is_object()) {
          PrintRun(key + StrPrintf(" (%d thr.)", run["threads"].get<int>()), run);
        } else {
          std::printf("  speed-up (a)/(c): %.1f\n", run.get<double>());
        }
      }
    }
  });
}

}  // namespace qae::cli
