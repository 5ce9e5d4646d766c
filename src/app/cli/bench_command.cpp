// "bench": a fixed synthetic workload run end to end, with the time of each
// stage of the scan.
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <thread>

#include "app/cli/commands.h"
#include "app/cli/json_output.h"
#include "detect/event_file_driver.h"
#include "detect/run_context.h"
#include "params/parameter_file.h"
#include "synth/synthetic_experiment.h"
#include "util/text.h"

namespace qae::cli {

namespace {

struct BenchOptions {
  bool json = false;
  int templates = 20;
  int records = 20;
  int stations = 16;
  int samples = 16384;
  std::string keep;
  std::string kernel = "fast";
  int threads = 0;
};

nlohmann::ordered_json RunBench(const BenchOptions& opt) {
  synth::SyntheticOptions so;
  so.seed = 2026;
  so.n_sensors = opt.stations;
  so.n_samples = opt.samples;
  so.n_templates = opt.templates;
  so.n_events = opt.records;
  so.special_files = false;
  so.overwrite = true;

  std::string dir = opt.keep;
  bool remove_after = false;
  if (dir.empty()) {
    std::string tmpl = (std::filesystem::temp_directory_path() / "qae_bench_XXXXXX").string();
    if (mkdtemp(tmpl.data()) == nullptr) throw CommandError("cannot create a temporary folder", 1);
    dir = tmpl;
    remove_after = true;
  }
  synth::SyntheticExperiment exp;
  std::string error;
  if (!synth::GenerateSyntheticExperiment(dir, so, &exp, &error)) throw CommandError(error, 1);

  AePars pars;
  if (!ReadParameterFile(exp.par_file, &pars)) throw CommandError("cannot read " + exp.par_file, 1);
  pars.firstAE = exp.truth.first_ae;
  pars.lastAE = exp.truth.last_ae;
  RunContext ctx;
  ctx.kernel = opt.kernel == "reference" ? RunContext::Kernel::kReference : RunContext::Kernel::kFast;
  ctx.threads = ctx.kernel == RunContext::Kernel::kReference ? 1 : opt.threads;
  const auto start = std::chrono::steady_clock::now();
  const int detected = RunEventFiles(ctx, pars.dataPath, pars.templateDir, pars);
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  ctx.log.Close();
  if (!ctx.fatalError.empty()) throw CommandError(ctx.fatalError, 1);
  if (remove_after) {
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
  }

  const ScanTimings& t = ctx.timings;
  const double pairs = t.templateRecords > 0 ? static_cast<double>(t.templateRecords) : 1.0;
  const int records = pars.lastAE - pars.firstAE + 1;
  nlohmann::ordered_json j;
  j["kernel"] = opt.kernel;
  j["threads"] = ctx.kernel == RunContext::Kernel::kReference
                     ? 1
                     : (opt.threads > 0 ? opt.threads
                                        : static_cast<int>(std::thread::hardware_concurrency()));
  j["stations"] = opt.stations;
  j["samples"] = opt.samples;
  j["grid"] = StrPrintf("%dx%dx%d", 2 * pars.gridStepsX + 1, 2 * pars.gridStepsY + 1,
                        2 * pars.gridStepsZ + 1);
  j["templates"] = opt.templates;
  j["records"] = records;
  j["records_detected"] = detected;
  j["template_records"] = t.templateRecords;
  j["hardware_threads"] = std::thread::hardware_concurrency();
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

}  // namespace

void RegisterBenchCommand(CLI::App& app) {
  auto opt = std::make_shared<BenchOptions>();
  CLI::App* cmd = app.add_subcommand(
      "bench",
      "Time a fixed synthetic workload (16 stations, 16384 samples at 0.1 us, 11x11x11 grid,\n"
      "20 templates, 20 records with one event each) run end to end in a temporary folder;\n"
      "prints records per second and the time per template-record of each scan stage.");
  cmd->add_flag("--json", opt->json, "Print one JSON object");
  cmd->add_option("--templates", opt->templates, "Templates")->check(CLI::Range(1, 100))
      ->capture_default_str();
  cmd->add_option("--records", opt->records, "Records, one event each")
      ->check(CLI::Range(1, 1000))->capture_default_str();
  cmd->add_option("--stations", opt->stations, "Stations")->check(CLI::Range(4, 50))
      ->capture_default_str();
  cmd->add_option("--samples", opt->samples, "Samples per trace")
      ->check(CLI::Range(1024, 1048576))->capture_default_str();
  cmd->add_option("--keep", opt->keep, "Build the workload in this folder and keep it");
  cmd->add_option("--kernel", opt->kernel, "Scan: fast, or the straightforward reference")
      ->check(CLI::IsMember({"fast", "reference"}))
      ->capture_default_str();
  cmd->add_option("--threads", opt->threads, "Scanning threads of the fast scan (0: all cores)")
      ->check(CLI::Range(0, 256))
      ->capture_default_str();
  cmd->callback([opt] {
    const nlohmann::ordered_json j = RunBench(*opt);
    if (opt->json) {
      std::printf("%s\n", j.dump().c_str());
      return;
    }
    const auto& ms = j["ms_per_template_record"];
    std::printf("workload: %d stations x %d samples, grid %s, %d templates x %d records; "
                "%s scan, %d thread(s)\n",
                j["stations"].get<int>(), j["samples"].get<int>(),
                j["grid"].get<std::string>().c_str(), j["templates"].get<int>(),
                j["records"].get<int>(), j["kernel"].get<std::string>().c_str(),
                j["threads"].get<int>());
    std::printf("records per second: %.4g (%.1f s in all, %d records detected)\n",
                j["records_per_second"].get<double>(), j["seconds"].get<double>(),
                j["records_detected"].get<int>());
    std::printf("ms per template-record: correlation %.3f, grid stack %.3f, peak search %.3f, "
                "outputs %.3f\n",
                ms["correlation"].get<double>(), ms["grid_stack"].get<double>(),
                ms["peak_search"].get<double>(), ms["outputs"].get<double>());
  });
}

}  // namespace qae::cli
