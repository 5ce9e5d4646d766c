// Whole runs with the straightforward scan and with the fast scan on one and
// several threads leave the same bytes in every file.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <map>
#include <regex>
#include <string>
#include <utility>
#include <vector>

#include "detect/event_file_driver.h"
#include "detect/run_context.h"
#include "params/parameter_file.h"
#include "support/test_paths.h"
#include "synth/continuous_recording.h"
#include "synth/synthetic_experiment.h"
#include "util/path.h"
#include "util/text.h"
#include "wave/formats/seg2_reader.h"
#include "wave/formats/seg2_writer.h"
#include "util/crt_random.h"
#include "util/file_io.h"

namespace qae {
namespace {

namespace fs = std::filesystem;

struct RunSetup {
  RunContext::Kernel kernel;
  int threads;
  const char* name;
};

// Every file below `dir`, by relative path, with log time stamps and the
// folder's own path masked.
std::map<std::string, std::string> Snapshot(const std::string& dir) {
  std::map<std::string, std::string> files;
  const std::regex stamp(R"(\d{4}/\d\d/\d\d \d\d:\d\d:\d\d)");
  for (const auto& e : fs::recursive_directory_iterator(PathOf(dir))) {
    if (!e.is_regular_file()) continue;
    std::vector<uint8_t> bytes;
    ReadWholeFile(PathText(e.path()), &bytes, nullptr);
    std::string text(bytes.begin(), bytes.end());
    std::string name = PathText(fs::relative(e.path(), PathOf(dir)));
    if (name.find("Log_") != std::string::npos) text = std::regex_replace(text, stamp, "<time>");
    // Paths name the run's own folder.
    for (std::size_t at; (at = text.find(dir)) != std::string::npos;) text.replace(at, dir.size(), "<dir>");
    // Diagnostic files are named by the second they are written in; files
    // of one second and correlation replace each other, so how many remain
    // depends on the speed of the run. Only their presence is compared.
    if (name.find(".sacs") != std::string::npos) {
      name = "diagnostic files";
      text = "present";
    }
    files[name] = text;
  }
  return files;
}

// Changes made to an experiment's files before its runs.
using Mutation = std::function<void(const synth::SyntheticExperiment&)>;

std::map<std::string, std::string> RunOnce(const synth::SyntheticOptions& options,
                                           const RunSetup& setup, int out_level, int mean,
                                           const Mutation& mutate) {
  test::ScratchDir dir;
  synth::SyntheticExperiment exp;
  std::string error;
  EXPECT_TRUE(synth::GenerateSyntheticExperiment(dir.path(), options, &exp, &error)) << error;
  if (mutate) mutate(exp);
  AePars pars;
  EXPECT_TRUE(ReadParameterFile(exp.par_file, &pars));
  pars.firstAE = exp.truth.first_ae;
  pars.lastAE = exp.truth.last_ae;
  pars.outLevel = out_level;
  pars.mean = mean;
  RunContext ctx;
  ctx.kernel = setup.kernel;
  ctx.threads = setup.threads;
  ResetCrtRandForTesting();
  RunEventFiles(ctx, pars.dataPath, pars.templateDir, pars);
  ctx.log.Close();
  return Snapshot(dir.path());
}

const RunSetup kSetups[] = {{RunContext::Kernel::kReference, 1, "reference"},
                            {RunContext::Kernel::kFast, 1, "fast, 1 thread"},
                            {RunContext::Kernel::kFast, 2, "fast, 2 threads"},
                            {RunContext::Kernel::kFast, 8, "fast, 8 threads"}};

void ExpectSameSnapshots(const std::map<std::string, std::string>& reference,
                         const std::map<std::string, std::string>& other, const char* name) {
  ASSERT_EQ(other.size(), reference.size()) << name;
  for (const auto& [file, bytes] : reference) {
    ASSERT_TRUE(other.count(file)) << name << ": no " << file;
    EXPECT_TRUE(other.at(file) == bytes) << name << ": " << file << " differs";
  }
}

void ExpectSameRuns(const synth::SyntheticOptions& options, int out_level, int mean,
                    const Mutation& mutate = nullptr) {
  const auto reference = RunOnce(options, kSetups[0], out_level, mean, mutate);
  ASSERT_TRUE(reference.count("out/ML_detect.ps0")) << "the experiment detected nothing";
  for (std::size_t i = 1; i < std::size(kSetups); ++i) {
    ExpectSameSnapshots(reference, RunOnce(options, kSetups[i], out_level, mean, mutate),
                        kSetups[i].name);
  }
}

TEST(ScanEquivalence, SameFilesForEveryKernelAndThreadCount) {
  synth::SyntheticOptions o;
  o.seed = 21;
  o.n_sensors = 8;
  o.n_templates = 3;
  o.n_events = 6;
  o.n_samples = 2048;
  ExpectSameRuns(o, 2, 0);
}

TEST(ScanEquivalence, MeanRemovalFineGridAndDiagnosticFiles) {
  synth::SyntheticOptions o;
  o.seed = 5;
  o.n_sensors = 6;
  o.n_templates = 2;
  o.n_events = 3;
  o.n_samples = 1536;
  o.grid_steps = 1;
  o.out_level = 6;
  ExpectSameRuns(o, 6, 1);
}

// Records full of events, a grid of one offset and a fine grid, and a
// record that is a copy of a template (a match above 0.99 ends its template
// loop early, dropping the scans queued for the rest).
TEST(ScanEquivalence, DenseRecordsVelocityNotesAndEarlyStops) {
  for (const int grid_steps : {0, 5}) {
    synth::SyntheticOptions o;
    o.seed = 33;
    o.n_sensors = 8;
    o.n_templates = 3;
    o.n_events = 10;
    o.n_samples = 2048;
    o.special_files = false;
    o.events_per_file = 3;
    o.event_spacing_samples = 400;
    o.grid_steps = grid_steps;
    const Mutation mutate = [](const synth::SyntheticExperiment& exp) {
      const int first = exp.truth.first_ae;
      XL_WaveDataSeg2 copy;
      ASSERT_GE(copy.Load(exp.templates[0].path, 1, 0, 0), 1);
      SetText(copy.header.comments, " ");
      ASSERT_EQ(WriteSeg2(exp.data_dir + StrPrintf("%06d.sg2", first + 2), copy, 0, 0, 4), 1);
    };
    SCOPED_TRACE(grid_steps);
    ExpectSameRuns(o, 2, grid_steps == 0 ? 1 : 0, mutate);
  }
}

// The pruned correlation and the shared partial sums of the stacks where
// they matter most: many stations, a fine grid, records full of events.
TEST(ScanEquivalence, ManyStationsFineGridsAndDenseRecords) {
  struct Case {
    int sensors;
    int grid_steps;
  };
  for (const Case c : {Case{32, 5}, Case{8, 10}}) {
    synth::SyntheticOptions o;
    o.seed = 41;
    o.n_sensors = c.sensors;
    o.n_templates = 2;
    o.n_events = 3;
    o.n_samples = 1536;
    o.special_files = false;
    o.events_per_file = 4;
    o.event_spacing_samples = 300;
    o.grid_steps = c.grid_steps;
    SCOPED_TRACE(StrPrintf("%d stations, %d grid steps", c.sensors, c.grid_steps));
    ExpectSameRuns(o, 2, 0);
  }
}

// A continuous recording: segments read, filtered and scanned ahead.
TEST(ScanEquivalence, ContinuousRecording) {
  std::map<std::string, std::string> reference;
  for (const RunSetup& setup : kSetups) {
    test::ScratchDir dir;
    synth::ContinuousOptions o = synth::DefaultContinuousOptions();
    o.base.seed = 12;
    o.base.n_sensors = 8;
    o.base.n_templates = 2;
    o.base.n_events = 4;
    o.base.grid_steps = 2;
    o.quiet_segments = 1;
    synth::ContinuousExperiment exp;
    std::string error;
    ASSERT_TRUE(synth::GenerateContinuousExperiment(dir.path() + "/exp", o, &exp, &error)) << error;
    AePars pars;
    ASSERT_TRUE(ReadParameterFile(exp.base.par_file, &pars));
    pars.firstAE = exp.first_ae;
    pars.lastAE = exp.last_ae;
    RunContext ctx;
    ctx.kernel = setup.kernel;
    ctx.threads = setup.threads;
    ResetCrtRandForTesting();
    RunEventFiles(ctx, pars.dataPath, pars.templateDir, pars);
    ctx.log.Close();
    const auto files = Snapshot(dir.path());
    if (setup.kernel == RunContext::Kernel::kReference) {
      reference = files;
      ASSERT_TRUE(reference.count("exp/out/ML_detect.ps0")) << "nothing detected";
    } else {
      ExpectSameSnapshots(reference, files, setup.name);
    }
  }
}

// Sets `key = value` lines of a parameter file.
void SetParameters(const std::string& par_file,
                   const std::vector<std::pair<std::string, std::string>>& values) {
  std::vector<uint8_t> bytes;
  ASSERT_TRUE(ReadWholeFile(par_file, &bytes, nullptr));
  std::string text(bytes.begin(), bytes.end());
  for (const auto& [key, value] : values) {
    const std::size_t at = text.find("\n" + key + " = ");
    ASSERT_NE(at, std::string::npos) << key;
    const std::size_t begin = at + key.size() + 4;
    text.replace(begin, text.find('\n', begin) - begin, value);
  }
  ASSERT_TRUE(WriteFileAtomically(par_file, reinterpret_cast<const uint8_t*>(text.data()),
                                  text.size(), nullptr));
}

// Half-widths and velocities at the ends of the float range shift stations
// beyond every row: by saturated shifts, or by undefined ones where a
// velocity underflows. The dithered offsets of the estimation do the same to
// the picks. Every kernel writes the same files, and nothing overflows.
TEST(ScanEquivalence, HalfWidthsAndVelocitiesAtTheEndsOfTheFloatRange) {
  const std::vector<std::vector<std::pair<std::string, std::string>>> cases = {
      {{"gridHalfX", "1e30"}},
      {{"gridHalfY", "1e38"}, {"gridStepsY", "1"}},
      {{"gridHalfX", "-1e30"}, {"gridHalfZ", "-3.4e38"}},
      {{"gridHalfX", "3.4028234e38"}, {"gridHalfY", "3.4028234e38"}, {"gridHalfZ", "3.4e38"}},
      {{"velX along X", "1e-30"}},
      {{"velX along X", "1e-30"}, {"velY along Y", "1e-30"}, {"velZ along Z", "1e-30"}},
      {{"velX along X", "3e38"}, {"gridHalfX", "1e30"}, {"gridStepsX", "-4"}},
  };
  synth::SyntheticOptions o;
  o.seed = 5;
  o.n_sensors = 6;
  o.n_templates = 2;
  o.n_events = 3;
  o.n_samples = 1536;
  for (const auto& values : cases) {
    SCOPED_TRACE(values.front().first + " = " + values.front().second);
    const Mutation mutate = [&values](const synth::SyntheticExperiment& exp) {
      SetParameters(exp.par_file, values);
    };
    const auto reference = RunOnce(o, kSetups[0], 2, 0, mutate);
    for (std::size_t i = 1; i < std::size(kSetups); ++i) {
      ExpectSameSnapshots(reference, RunOnce(o, kSetups[i], 2, 0, mutate), kSetups[i].name);
    }
  }
}

}  // namespace
}  // namespace qae
