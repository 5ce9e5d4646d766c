// `Quorvex_AE demo [DIR]`: the whole system on a small synthetic experiment
// with a known answer: generate it, run the detection over its AE range as
// `run` does, and say how the results compare with the truth.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "app/cli/commands.h"
#include "app/cli/continuous_cli.h"
#include "app/run_range.h"
#include "synth/ground_truth.h"
#include "synth/synthetic_experiment.h"
#include "util/crt_random.h"
#include "util/path.h"
#include "util/temp_folder.h"
#include "util/text.h"

namespace qae::cli {

namespace {

struct DemoCliOptions {
  std::string dir;
  synth::SyntheticOptions gen;
  ContinuousCliOptions continuous;
};

// A fresh directory under the system's temporary directory.
std::string MakeTempDir() {
  std::string error;
  const std::string dir = MakeTemporaryFolder("qae_demo_", &error);
  if (dir.empty()) throw CommandError(error, 1);
  return dir;
}

}  // namespace

void RegisterDemoCommand(CLI::App& app) {
  auto opt = std::make_shared<DemoCliOptions>();
  CLI::App* cmd = app.add_subcommand(
      "demo", "Generate a small synthetic AE experiment, run the detection on it, and compare "
              "the results with the known answer.");
  cmd->footer(
      "Without DIR the experiment goes to a new directory under the temporary\n"
      "directory. The run is the one `Quorvex_AE run PARFILE FIRST,LAST,+=0` performs;\n"
      "its result table and log stay in DIR/out/ for inspection.\n"
      "\n"
      "Exit status: 0 when the run completed (whatever the comparison says); 1 when\n"
      "the run stopped early or its files cannot be read; 2 for bad options or a DIR\n"
      "that already holds an experiment (see --overwrite).");
  cmd->add_option("DIR", opt->dir, "Experiment directory (default: a new temporary one)");
  auto& g = opt->gen;
  cmd->add_option("--seed", g.seed, "Random seed")->capture_default_str();
  cmd->add_option("--sensors", g.n_sensors, "Sensors (4..50)")->capture_default_str();
  cmd->add_option("--templates", g.n_templates, "Template events")->capture_default_str();
  cmd->add_option("--events", g.n_events, "Events to be detected")->capture_default_str();
  cmd->add_option("--samples", g.n_samples, "Samples per trace")->capture_default_str();
  cmd->add_option("--noise", g.noise_counts, "Noise standard deviation in counts")
      ->capture_default_str();
  cmd->add_flag("--overwrite", g.overwrite, "Replace the files of an earlier experiment in DIR");
  AddContinuousOptions(cmd, opt->continuous);
  cmd->callback([opt, cmd] {
    std::string error;
    if (!synth::ValidateSyntheticOptions(opt->gen, &error)) throw CommandError(error, 2);
    const std::string dir = opt->dir.empty() ? MakeTempDir() : opt->dir;
    if (opt->continuous.enabled) {
      DemoContinuous(*cmd, dir, opt->gen, opt->continuous);
      return;
    }

    synth::SyntheticExperiment e;
    if (!synth::GenerateSyntheticExperiment(dir, opt->gen, &e, &error)) {
      const bool usage = error.find("--overwrite") != std::string::npos ||
                         error.find("cannot use") != std::string::npos;
      throw CommandError(error, usage ? 2 : 1);
    }
    std::printf("%s", synth::DescribeExperiment(e, opt->gen).c_str());
    std::fflush(stdout);

    // As `run` does: the dialog's two draws, then the run.
    CrtRand();
    CrtRand();
    const auto start = std::chrono::steady_clock::now();
    const RunRangeResult result = RunRange(e.par_file, e.truth.first_ae, e.truth.last_ae);
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const std::string log_path =
        StrPrintf("%sLog_%06d_%06d.txt", e.out_dir.c_str(), e.truth.first_ae, e.truth.last_ae);
    if (RunExitStatus(result) != kRunComplete) {
      throw CommandError("the run did not complete: " +
                             (result.error.empty() ? std::string("nothing to scan") : result.error) +
                             " (log: " + log_path + ")",
                         1);
    }
    std::printf("\nrun: AE# %d..%d in %.1f s, %d records with detections\n", e.truth.first_ae,
                e.truth.last_ae, seconds, result.detected);

    const std::string table = e.out_dir + "ML_detect.ps0";
    std::vector<synth::DetectionRow> rows;
    int bad_lines = 0;
    std::error_code ec;
    if (std::filesystem::exists(PathOf(table), ec) &&
        !synth::ReadDetectionTable(table, &rows, &bad_lines, &error)) {
      throw CommandError(error, 1);
    }
    const synth::Comparison c = synth::CompareWithGroundTruth(e.truth, rows);
    std::printf("%s", synth::FormatComparison(c, e.truth).c_str());
    if (bad_lines > 0) std::printf("result table: %d malformed lines\n", bad_lines);
    std::printf("%s\n", c.AllPass() && bad_lines == 0
                            ? "all events found once, within the tolerances"
                            : "NOT all events found once within the tolerances");
    const std::string done = log_path.substr(0, log_path.size() - 4) + "_OK.txt";
    std::printf("result table: %s\nlog:          %s\n", table.c_str(),
                std::filesystem::exists(PathOf(done), ec) ? done.c_str() : log_path.c_str());
  });
}

}  // namespace qae::cli
