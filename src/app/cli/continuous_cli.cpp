#include "app/cli/continuous_cli.h"

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <vector>

#include "app/cli/commands.h"
#include "app/run_range.h"
#include "synth/continuous_recording.h"
#include "synth/ground_truth.h"
#include "util/crt_random.h"
#include "util/path.h"
#include "util/text.h"

namespace qae::cli {

namespace {

synth::ContinuousExperiment Generate(const CLI::App& cmd, const std::string& dir,
                                     const synth::SyntheticOptions& gen,
                                     const ContinuousCliOptions& options,
                                     synth::ContinuousOptions* used) {
  synth::ContinuousOptions c = synth::DefaultContinuousOptions();
  const synth::SyntheticOptions defaults = c.base;
  c.base = gen;
  c.base.special_files = false;
  if (cmd.count("--samples") == 0) c.base.n_samples = defaults.n_samples;
  if (cmd.count("--events") == 0) c.base.n_events = defaults.n_events;
  c.quiet_segments = options.quiet_segments;
  c.extra_segments = options.extra_segments;
  std::string error;
  if (!synth::ValidateContinuousOptions(c, &error)) throw CommandError(error, 2);
  synth::ContinuousExperiment x;
  if (!synth::GenerateContinuousExperiment(dir, c, &x, &error)) {
    const bool usage = error.find("--overwrite") != std::string::npos ||
                       error.find("cannot use") != std::string::npos ||
                       error.find("more samples") != std::string::npos;
    throw CommandError(error, usage ? 2 : 1);
  }
  *used = c;
  return x;
}

}  // namespace

void AddContinuousOptions(CLI::App* cmd, ContinuousCliOptions& options) {
  cmd->add_flag("--continuous", options.enabled,
                "A continuous recording (DIR/recording/stream.lng with its companion "
                "stream.sg2) instead of event files: one event per segment, some segments "
                "quiet, one event in the overlap of two segments");
  cmd->add_option("--quiet-segments", options.quiet_segments,
                  "With --continuous: segments without an event among the others")
      ->capture_default_str();
  cmd->add_option("--extra-segments", options.extra_segments,
                  "With --continuous: quiet segments appended at the end")
      ->capture_default_str();
}

void SynthContinuous(const CLI::App& cmd, const std::string& dir, synth::SyntheticOptions gen,
                     const ContinuousCliOptions& options) {
  synth::ContinuousOptions used;
  const synth::ContinuousExperiment x = Generate(cmd, dir, gen, options, &used);
  std::printf("%s", synth::DescribeContinuousExperiment(x, used).c_str());
}

void DemoContinuous(const CLI::App& cmd, const std::string& dir, synth::SyntheticOptions gen,
                    const ContinuousCliOptions& options) {
  synth::ContinuousOptions used;
  const synth::ContinuousExperiment x = Generate(cmd, dir, gen, options, &used);
  std::printf("%s", synth::DescribeContinuousExperiment(x, used).c_str());
  std::fflush(stdout);

  // As `run` does: the dialog's two draws, then the run.
  CrtRand();
  CrtRand();
  const auto start = std::chrono::steady_clock::now();
  const RunRangeResult result = RunRange(x.base.par_file, x.first_ae, x.last_ae);
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  const std::string log_path =
      StrPrintf("%sLog_%06d_%06d.txt", x.base.out_dir.c_str(), x.first_ae, x.last_ae);
  if (RunExitStatus(result) != kRunComplete) {
    throw CommandError("the run did not complete: " +
                           (result.error.empty() ? std::string("nothing to scan") : result.error) +
                           " (log: " + log_path + ")",
                       1);
  }
  const double samples = static_cast<double>(x.readable_segments) * static_cast<double>(x.length);
  std::printf(
      "\nrun: segments %d..%d in %.1f s (%.3g samples per trace per second), %d segments "
      "with detections\n",
      x.first_ae, x.last_ae, seconds, seconds > 0 ? samples / seconds : 0.0, result.detected);

  const std::string table = x.base.out_dir + "ML_detect.ps0";
  std::vector<synth::DetectionRow> rows;
  int bad_lines = 0;
  std::string error;
  std::error_code ec;
  if (std::filesystem::exists(PathOf(table), ec) &&
      !synth::ReadDetectionTable(table, &rows, &bad_lines, &error)) {
    throw CommandError(error, 1);
  }
  const synth::Comparison c = synth::CompareWithGroundTruth(x.truth, rows);
  std::printf("%s", synth::FormatComparison(c, x.truth).c_str());
  if (bad_lines > 0) std::printf("result table: %d malformed lines\n", bad_lines);
  std::printf("%s\n", c.AllPass() && bad_lines == 0
                          ? "all events found once, within the tolerances"
                          : "NOT all events found once within the tolerances");
  const std::string done = log_path.substr(0, log_path.size() - 4) + "_OK.txt";
  const bool completed = std::filesystem::exists(PathOf(done), ec);
  std::ifstream in(PathOf(completed ? done : log_path), std::ios::binary);
  std::ostringstream log;
  log << in.rdbuf();
  std::printf("recording end: %s\n", log.str().find(" EOF reached !\n") != std::string::npos
                                         ? "reached (\" EOF reached !\" in the log)"
                                         : "not reached");
  std::printf("result table: %s\nlog:          %s\n", table.c_str(),
              completed ? done.c_str() : log_path.c_str());
}

}  // namespace qae::cli
