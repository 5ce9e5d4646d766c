// Whole runs with the straightforward scan and with the fast scan on one and
// several threads leave the same bytes in every file.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <regex>
#include <string>

#include "detect/event_file_driver.h"
#include "detect/run_context.h"
#include "params/parameter_file.h"
#include "support/test_paths.h"
#include "synth/synthetic_experiment.h"
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
  for (const auto& e : fs::recursive_directory_iterator(dir)) {
    if (!e.is_regular_file()) continue;
    std::vector<uint8_t> bytes;
    ReadWholeFile(e.path().string(), &bytes, nullptr);
    std::string text(bytes.begin(), bytes.end());
    std::string name = fs::relative(e.path(), dir).string();
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

std::map<std::string, std::string> RunOnce(const synth::SyntheticOptions& options,
                                           const RunSetup& setup, int out_level, int mean) {
  test::ScratchDir dir;
  synth::SyntheticExperiment exp;
  std::string error;
  EXPECT_TRUE(synth::GenerateSyntheticExperiment(dir.path(), options, &exp, &error)) << error;
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

void ExpectSameRuns(const synth::SyntheticOptions& options, int out_level, int mean) {
  const RunSetup setups[] = {{RunContext::Kernel::kReference, 1, "reference"},
                             {RunContext::Kernel::kFast, 1, "fast, 1 thread"},
                             {RunContext::Kernel::kFast, 2, "fast, 2 threads"},
                             {RunContext::Kernel::kFast, 8, "fast, 8 threads"}};
  const auto reference = RunOnce(options, setups[0], out_level, mean);
  ASSERT_TRUE(reference.count("out/ML_detect.ps0")) << "the experiment detected nothing";
  for (std::size_t i = 1; i < std::size(setups); ++i) {
    const auto other = RunOnce(options, setups[i], out_level, mean);
    ASSERT_EQ(other.size(), reference.size()) << setups[i].name;
    for (const auto& [name, bytes] : reference) {
      ASSERT_TRUE(other.count(name)) << setups[i].name << ": no " << name;
      EXPECT_TRUE(other.at(name) == bytes) << setups[i].name << ": " << name << " differs";
    }
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

}  // namespace
}  // namespace qae
