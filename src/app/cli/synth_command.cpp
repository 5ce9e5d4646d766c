// `Quorvex_AE synth DIR`: writes a synthetic acoustic-emission experiment
// with a known answer (templates, event files, parameter file, ground
// truth), or, with --compare, holds a finished run's result table against
// that answer.
#include <cstdio>
#include <memory>
#include <string>

#include "app/cli/commands.h"
#include "app/cli/continuous_cli.h"
#include "synth/ground_truth.h"
#include "synth/synthetic_experiment.h"

namespace qae::cli {

namespace {

struct SynthCliOptions {
  std::string dir;
  synth::SyntheticOptions gen;
  bool no_special = false;
  bool compare = false;
  ContinuousCliOptions continuous;
};

}  // namespace

void RegisterSynthCommand(CLI::App& app) {
  auto opt = std::make_shared<SynthCliOptions>();
  CLI::App* cmd = app.add_subcommand(
      "synth", "Write a synthetic AE experiment with a known answer, or compare a run with it.");
  cmd->footer(
      "Writes under DIR: templates/ (one SEG-2 file per template event), events/ (the\n"
      "numbered event files: noisy repeats of the templates at known offsets, times and\n"
      "magnitudes, with files of two events, noise-only files, a missing number, the\n"
      "templates' own recordings, a record marked as detected and a well-located one),\n"
      "out/ (empty), ML_CC_AE_pars.txt and ground_truth.tsv. The same seed gives the\n"
      "same files. Then: Quorvex_AE run DIR/ML_CC_AE_pars.txt FIRST,LAST,+=0, and\n"
      "Quorvex_AE synth DIR --compare to check the result table against the truth.\n"
      "\n"
      "Exit status: 0 on success (with --compare: whether or not every event passed);\n"
      "1 when files cannot be written or read; 2 for bad options or a DIR that already\n"
      "holds an experiment (see --overwrite).");
  cmd->add_option("DIR", opt->dir, "Experiment directory (created when missing)")->required();
  auto& g = opt->gen;
  cmd->add_option("--seed", g.seed, "Random seed")->capture_default_str();
  cmd->add_option("--sensors", g.n_sensors, "Sensors on the specimen faces (4..50)")
      ->capture_default_str();
  cmd->add_option("--templates", g.n_templates, "Template events (1..100)")
      ->capture_default_str();
  cmd->add_option("--events", g.n_events, "Events to be detected (1..1000)")
      ->capture_default_str();
  cmd->add_option("--samples", g.n_samples, "Samples per trace (1024..1048576)")
      ->capture_default_str();
  cmd->add_option("--noise", g.noise_counts,
                  "Noise standard deviation in counts (a reference template peaks at about "
                  "3000 counts 10 mm away)")
      ->capture_default_str();
  cmd->add_option("--grid-half", g.grid_half_mm, "Half-width of the offset search, mm")
      ->capture_default_str();
  cmd->add_option("--grid-steps", g.grid_steps, "Search steps per half-width")
      ->capture_default_str();
  cmd->add_option("--cc-min", g.cc_min, "ccMin of the parameter file")->capture_default_str();
  cmd->add_flag("--no-special", opt->no_special,
                "Only event files with one event each; template numbers after the range");
  cmd->add_flag("--overwrite", g.overwrite,
                "Replace the files of an earlier experiment in DIR");
  AddContinuousOptions(cmd, opt->continuous);
  cmd->add_flag("--compare", opt->compare,
                "Do not generate: compare DIR/out/ML_detect.ps0 with DIR/ground_truth.tsv");
  cmd->callback([opt, cmd] {
    if (opt->compare) {
      const std::string root = opt->dir.empty() || opt->dir.back() == '/' ? opt->dir
                                                                          : opt->dir + "/";
      synth::GroundTruth truth;
      std::string error;
      if (!synth::ReadGroundTruth(root + "ground_truth.tsv", &truth, &error)) {
        throw CommandError(error, 1);
      }
      std::vector<synth::DetectionRow> rows;
      int bad_lines = 0;
      if (!synth::ReadDetectionTable(root + "out/ML_detect.ps0", &rows, &bad_lines, &error)) {
        throw CommandError(error, 1);
      }
      const synth::Comparison c = synth::CompareWithGroundTruth(truth, rows);
      std::printf("%s", synth::FormatComparison(c, truth).c_str());
      if (bad_lines > 0) std::printf("result table: %d malformed lines\n", bad_lines);
      std::printf("%s\n", c.AllPass() && bad_lines == 0 ? "PASS" : "FAIL");
      return;
    }
    if (opt->continuous.enabled) {
      SynthContinuous(*cmd, opt->dir, opt->gen, opt->continuous);
      return;
    }
    opt->gen.special_files = !opt->no_special;
    std::string error;
    if (!synth::ValidateSyntheticOptions(opt->gen, &error)) throw CommandError(error, 2);
    synth::SyntheticExperiment experiment;
    if (!synth::GenerateSyntheticExperiment(opt->dir, opt->gen, &experiment, &error)) {
      const bool usage = error.find("--overwrite") != std::string::npos ||
                         error.find("cannot use") != std::string::npos;
      throw CommandError(error, usage ? 2 : 1);
    }
    std::printf("%s", synth::DescribeExperiment(experiment, opt->gen).c_str());
  });
}

}  // namespace qae::cli
