#include "synth/synthetic_experiment.h"

#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "app/run_range.h"
#include "detect/run_context.h"
#include "detect/travel_time.h"
#include "dsp/iir_filter.h"
#include "params/ae_pars.h"
#include "params/parameter_file.h"
#include "support/test_paths.h"
#include "synth/ground_truth.h"
#include "util/crt_random.h"
#include "util/file_io.h"
#include "util/key_values.h"
#include "util/text.h"
#include "wave/formats/seg2_reader.h"

namespace qae::synth {
namespace {

namespace fs = std::filesystem;

// Small enough to write in a fraction of a second, big enough to hold a
// file of two events and every special file.
SyntheticOptions SmallOptions(uint32_t seed = 3) {
  SyntheticOptions o;
  o.seed = seed;
  o.n_sensors = 8;
  o.n_templates = 2;
  o.n_events = 5;
  o.n_samples = 2048;
  return o;
}

SyntheticExperiment Generate(const std::string& dir, const SyntheticOptions& o) {
  SyntheticExperiment e;
  std::string error;
  EXPECT_TRUE(GenerateSyntheticExperiment(dir, o, &e, &error)) << error;
  return e;
}

std::vector<uint8_t> Bytes(const std::string& path) {
  std::vector<uint8_t> bytes;
  std::string error;
  EXPECT_TRUE(ReadWholeFile(path, &bytes, &error)) << error;
  return bytes;
}

XL_WaveDataSeg2 Load(const std::string& path) {
  XL_WaveDataSeg2 record;
  EXPECT_EQ(record.Load(path, 1, 0, 0), 1) << path;
  return record;
}

std::string EventFile(const SyntheticExperiment& e, int ae) {
  return e.data_dir + StrPrintf("%06d.sg2", ae);
}

// Plain normalised correlation of the scan's template window (win_len
// samples from pick - pre_len) with the record segment that starts at
// pick - min_pick + lag.
double WindowCorrelation(const XL_WaveTrace& tpl, const XL_WaveTrace& rec, int pick, int min_pick,
                         int lag, const WindowSizes& w) {
  double cxy = 0.0, et = 0.0, er = 0.0;
  for (int j = 0; j < w.winLen; ++j) {
    const double y = tpl.samples[static_cast<std::size_t>(pick - w.preLen + j)];
    const double x = rec.samples[static_cast<std::size_t>(pick - min_pick + lag + j)];
    cxy += x * y;
    et += y * y;
    er += x * x;
  }
  return cxy / std::sqrt(et * er);
}

TEST(SyntheticExperimentTest, SameSeedWritesTheSameFilesAndAnotherSeedOthers) {
  test::ScratchDir a, b, c;
  const SyntheticExperiment ea = Generate(a.path(), SmallOptions(5));
  const SyntheticExperiment eb = Generate(b.path() + "/", SmallOptions(5));
  const SyntheticExperiment ec = Generate(c.path(), SmallOptions(6));
  ASSERT_EQ(ea.n_files, eb.n_files);
  EXPECT_EQ(Bytes(ea.truth_file), Bytes(eb.truth_file));
  for (const auto& entry : fs::directory_iterator(ea.data_dir)) {
    const std::string name = entry.path().filename().string();
    EXPECT_EQ(Bytes(entry.path().string()), Bytes(eb.data_dir + name)) << name;
  }
  for (const TemplateInfo& t : ea.templates) {
    EXPECT_EQ(Bytes(t.path), Bytes(eb.template_dir + fs::path(t.path).filename().string()));
  }
  EXPECT_NE(Bytes(ea.truth_file), Bytes(ec.truth_file));
  EXPECT_NE(Bytes(ea.templates[0].path), Bytes(ec.templates[0].path));
}

TEST(SyntheticExperimentTest, TemplatesCarryWhatTheScanReads) {
  test::ScratchDir dir;
  const SyntheticOptions o = SmallOptions();
  const SyntheticExperiment e = Generate(dir.path(), o);
  ASSERT_EQ(e.templates.size(), 2u);
  for (const TemplateInfo& t : e.templates) {
    EXPECT_EQ(fs::path(t.path).filename().string(), StrPrintf("%06d.sg2", t.ae_number));
    XL_WaveDataSeg2 r = Load(t.path);
    const std::string_view comments = TextOf(r.header.comments);
    EXPECT_NEAR(FloatAfterKey(comments, "x=", -1), t.x_mm, 1e-3);
    EXPECT_NEAR(FloatAfterKey(comments, "y=", -1), t.y_mm, 1e-3);
    EXPECT_NEAR(FloatAfterKey(comments, "z=", -1), t.z_mm, 1e-3);
    EXPECT_NEAR(FloatAfterKey(comments, "Mw=", 0), t.mw, 1e-3);
    EXPECT_EQ(IntAfterKey(comments, "M=", 0), t.m);
    EXPECT_GE(t.m, 4);
    ASSERT_EQ(r.TraceCount(), o.n_sensors);
    std::vector<int> picks, loc;
    for (int i = 0; i < r.TraceCount(); ++i) {
      const XL_WaveTrace& tr = r.Trace(i);
      EXPECT_EQ(tr.sampleCount, o.n_samples);
      EXPECT_DOUBLE_EQ(tr.samplingInterval, 0.1);
      for (int a = 0; a < 3; ++a) {
        EXPECT_NEAR(tr.receiverLocation[a], e.sensors_mm[static_cast<std::size_t>(i)][static_cast<std::size_t>(a)], 1e-6);
      }
      EXPECT_NEAR(tr.sourceLocation[0], t.x_mm, 1e-6);
      EXPECT_NEAR(tr.sourceLocation[2], t.z_mm, 1e-6);
      EXPECT_EQ(tr.pickup[1], 0);
      picks.push_back(tr.pickup[0]);
      loc.push_back(IntAfterKey(TextOf(tr.note), "loc_ind=", 9999));
      // The pick is the onset: quiet before, the wavelet right after.
      double before = 0.0, after = 0.0;
      for (int k = tr.pickup[0] - 30; k < tr.pickup[0] - 1; ++k) {
        before = std::max(before, std::fabs(static_cast<double>(tr.samples[static_cast<std::size_t>(k)])));
      }
      for (int k = tr.pickup[0]; k < tr.pickup[0] + 20; ++k) {
        after = std::max(after, std::fabs(static_cast<double>(tr.samples[static_cast<std::size_t>(k)])));
      }
      EXPECT_LT(before, 6.0 * o.noise_counts + 2.0) << "trace " << i;
      EXPECT_GT(after, 10.0 * before) << "trace " << i;
    }
    // Location indices rank the stations by pick, and the stations below M
    // give the minimum and maximum pick the truth was computed with.
    int min_pick = 1 << 30, max_pick = 0;
    for (std::size_t i = 0; i < picks.size(); ++i) {
      for (std::size_t j = 0; j < picks.size(); ++j) {
        if (loc[i] < loc[j]) {
          EXPECT_LE(picks[i], picks[j]);
        }
      }
      if (loc[i] < t.m) {
        min_pick = std::min(min_pick, picks[i]);
        max_pick = std::max(max_pick, picks[i]);
      }
    }
    EXPECT_EQ(min_pick, t.min_pick);
    EXPECT_EQ(max_pick, t.max_pick);
  }
}

TEST(SyntheticExperimentTest, ParameterFileReadsBackAsGenerated) {
  test::ScratchDir dir;
  SyntheticOptions o = SmallOptions();
  o.cc_min = 0.65f;
  o.grid_half_mm = 1.5f;
  o.grid_steps = 3;
  o.well_located_m = 9;
  const SyntheticExperiment e = Generate(dir.path(), o);
  AePars p;
  ParameterFileInfo info;
  ASSERT_TRUE(ReadParameterFile(e.par_file, &p, &info)) << info.open_error;
  EXPECT_FLOAT_EQ(p.velX, o.vel_x);
  EXPECT_FLOAT_EQ(p.velY, o.vel_y);
  EXPECT_FLOAT_EQ(p.velZ, o.vel_z);
  EXPECT_FLOAT_EQ(p.preWin, o.pre_win_us);
  EXPECT_FLOAT_EQ(p.postWin, o.post_win_us);
  EXPECT_FLOAT_EQ(p.dupWin, o.dup_win_us);
  EXPECT_FLOAT_EQ(p.fLow, o.f_low_mhz);
  EXPECT_FLOAT_EQ(p.fHigh, o.f_high_mhz);
  EXPECT_FLOAT_EQ(p.ccMin, 0.65f);
  EXPECT_FLOAT_EQ(p.snrMin, o.snr_min);
  EXPECT_FLOAT_EQ(p.gridHalfX, 1.5f);
  EXPECT_FLOAT_EQ(p.gridHalfZ, 1.5f);
  EXPECT_EQ(p.gridStepsY, 3);
  EXPECT_EQ(p.wellLocatedM, 9);
  EXPECT_EQ(p.maxTemplates, 1000);
  EXPECT_EQ(p.iTS, -1);
  EXPECT_EQ(p.iTE, -1);
  EXPECT_EQ(p.outLevel, 2);
  EXPECT_EQ(p.all, 0);
  EXPECT_EQ(p.mean, 0);
  EXPECT_EQ(p.templateDir, e.template_dir);
  EXPECT_EQ(p.dataPath, e.data_dir);
  EXPECT_EQ(p.outDir, e.out_dir);
  EXPECT_TRUE(fs::path(p.dataPath).is_absolute());
  EXPECT_EQ(p.dataPath.back(), '/');
  EXPECT_NEAR(e.truth.step_x_mm, 0.5, 1e-7);
}

// The truth's t0 follows the scan's lag convention: at lag t0 / dt, with
// each station shifted by the rounded travel-time change of the true offset,
// every selected station's template window lines up with the repeat.
TEST(SyntheticExperimentTest, RepeatLinesUpWithItsTemplateAtTheTruthLag) {
  test::ScratchDir dir;
  const SyntheticOptions o = SmallOptions();
  const SyntheticExperiment e = Generate(dir.path(), o);
  const WindowSizes w = ComputeWindowSizes(o.pre_win_us, o.post_win_us, 0.1f);
  std::map<int, const TemplateInfo*> by_ae;
  for (const TemplateInfo& t : e.templates) by_ae[t.ae_number] = &t;
  int checked = 0;
  for (const TruthRow& row : e.truth.rows) {
    if (row.expect != Expectation::kDetect) continue;
    const TemplateInfo& t = *by_ae.at(row.template_ae);
    // Filtered as the run filters both.
    XL_WaveDataSeg2 tpl = Load(t.path);
    XL_WaveDataSeg2 rec = Load(EventFile(e, row.ae_number));
    ASSERT_EQ(FilterRecordBandpass(tpl, o.f_low_mhz, o.f_high_mhz), 1);
    ASSERT_EQ(FilterRecordBandpass(rec, o.f_low_mhz, o.f_high_mhz), 1);
    const int lag = static_cast<int>(std::lround(row.t0_us / 0.1));
    double sum = 0.0, sum_early = 0.0, sum_late = 0.0;
    int n = 0;
    for (int i = 0; i < tpl.TraceCount(); ++i) {
      const XL_WaveTrace& tt = tpl.Trace(i);
      if (IntAfterKey(TextOf(tt.note), "loc_ind=", 9999) >= t.m) continue;
      const XL_Vector3D g =
          TravelTimeGradient(tt.receiverLocation, tt.sourceLocation, o.vel_x, o.vel_y, o.vel_z);
      const float j = static_cast<float>(row.dy_mm * g.y + row.dx_mm * g.x + row.dz_mm * g.z);
      const int shift = static_cast<int>(std::floor(-j / 0.1f + 0.5));
      const int at = lag + shift;
      const double cc = WindowCorrelation(tt, rec.Trace(i), tt.pickup[0], t.min_pick, at, w);
      EXPECT_GT(cc, 0.8) << "AE# " << row.ae_number << " trace " << i;
      // The row's maximum lies on the aligned lag, give or take a sample.
      EXPECT_GT(cc, WindowCorrelation(tt, rec.Trace(i), tt.pickup[0], t.min_pick, at - 2, w));
      EXPECT_GT(cc, WindowCorrelation(tt, rec.Trace(i), tt.pickup[0], t.min_pick, at + 2, w));
      sum += cc;
      sum_early += WindowCorrelation(tt, rec.Trace(i), tt.pickup[0], t.min_pick, at - 5, w);
      sum_late += WindowCorrelation(tt, rec.Trace(i), tt.pickup[0], t.min_pick, at + 5, w);
      ++n;
    }
    ASSERT_GE(n, 4);
    EXPECT_GT(sum / n, 0.9) << "AE# " << row.ae_number;
    // Repeats are not copies: well below 1, or a run would stop at the
    // first template that matched one.
    EXPECT_LT(sum / n, 0.985) << "AE# " << row.ae_number;
    EXPECT_LT(sum_early / n, sum / n - 0.2);
    EXPECT_LT(sum_late / n, sum / n - 0.2);
    ++checked;
  }
  EXPECT_EQ(checked, o.n_events);
}

TEST(SyntheticExperimentTest, SpecialFilesAreWhereTheTruthSays) {
  test::ScratchDir dir;
  const SyntheticOptions o = SmallOptions();
  const SyntheticExperiment e = Generate(dir.path(), o);
  std::map<Expectation, int> kinds;
  std::map<int, std::vector<const TruthRow*>> events_of;
  for (const TruthRow& r : e.truth.rows) {
    ++kinds[r.expect];
    const std::string path = EventFile(e, r.ae_number);
    EXPECT_GE(r.ae_number, e.truth.first_ae);
    EXPECT_LE(r.ae_number, e.truth.last_ae);
    if (r.expect == Expectation::kMissing) {
      EXPECT_FALSE(fs::exists(path));
      continue;
    }
    if (r.expect == Expectation::kTemplate) {
      bool found = false;
      for (const TemplateInfo& t : e.templates) {
        if (t.ae_number == r.ae_number) {
          found = true;
          EXPECT_EQ(Bytes(path), Bytes(t.path));
        }
      }
      EXPECT_TRUE(found) << r.ae_number;
      continue;
    }
    XL_WaveDataSeg2 rec = Load(path);
    ASSERT_EQ(rec.TraceCount(), o.n_sensors);
    EXPECT_EQ(rec.Trace(0).sampleCount, o.n_samples);
    // A note with "x=" would replace the run's velocities.
    EXPECT_EQ(TextOf(rec.header.note).find("x="), std::string_view::npos);
    const std::string_view comments = TextOf(rec.header.comments);
    const int m = IntAfterKey(comments, "M=", 0);
    switch (r.expect) {
      case Expectation::kMarked:
        EXPECT_EQ(comments.rfind("detected: AE#=", 0), 0u) << comments;
        break;
      case Expectation::kWellLocated:
        EXPECT_GE(m, o.well_located_m);
        EXPECT_EQ(comments.find("tected"), std::string_view::npos);
        break;
      case Expectation::kNoEvent: {
        float peak = 0.0f;
        for (const auto& t : rec.traces) {
          for (int k = 0; k < t->sampleCount; ++k) {
            peak = std::max(peak, std::fabs(t->samples[static_cast<std::size_t>(k)]));
          }
        }
        EXPECT_LT(peak, 7.0 * o.noise_counts);
        break;
      }
      default:
        EXPECT_LT(m, o.well_located_m);
        EXPECT_EQ(comments.find("tected"), std::string_view::npos);
        EXPECT_EQ(comments.find("CC="), std::string_view::npos);
        events_of[r.ae_number].push_back(&r);
    }
  }
  EXPECT_EQ(kinds[Expectation::kDetect], o.n_events);
  EXPECT_EQ(kinds[Expectation::kMissing], 1);
  EXPECT_EQ(kinds[Expectation::kTemplate], o.n_templates);
  EXPECT_EQ(kinds[Expectation::kMarked], 1);
  EXPECT_EQ(kinds[Expectation::kWellLocated], 1);
  EXPECT_GE(kinds[Expectation::kNoEvent], 1);
  int doubles = 0;
  for (const auto& [ae, rows] : events_of) {
    if (rows.size() != 2) continue;
    ++doubles;
    EXPECT_GT(std::fabs(rows[1]->t0_us - rows[0]->t0_us), o.dup_win_us);
  }
  EXPECT_EQ(doubles, 1);
}

TEST(SyntheticExperimentTest, EarlierExperimentIsKeptUnlessOverwriting) {
  test::ScratchDir dir;
  SyntheticOptions o = SmallOptions();
  const SyntheticExperiment first = Generate(dir.path(), o);
  // What a run leaves behind.
  std::ofstream(first.out_dir + "ML_detect.ps0", std::ios::binary) << "PSDATA02\n";
  std::ofstream(first.data_dir + "000001_01.sg2", std::ios::binary) << "copy";
  const std::vector<uint8_t> truth_before = Bytes(first.truth_file);

  SyntheticExperiment again;
  std::string error;
  o.seed = 4;
  EXPECT_FALSE(GenerateSyntheticExperiment(dir.path(), o, &again, &error));
  EXPECT_NE(error.find("--overwrite"), std::string::npos) << error;
  EXPECT_EQ(Bytes(first.truth_file), truth_before);

  o.overwrite = true;
  ASSERT_TRUE(GenerateSyntheticExperiment(dir.path(), o, &again, &error)) << error;
  EXPECT_FALSE(fs::exists(first.out_dir + "ML_detect.ps0"));
  EXPECT_FALSE(fs::exists(first.data_dir + "000001_01.sg2"));
  EXPECT_NE(Bytes(first.truth_file), truth_before);
}

TEST(SyntheticExperimentTest, UnusableOptionsAndDirectoriesAreRefused) {
  test::ScratchDir dir;
  std::string error;
  SyntheticOptions o = SmallOptions();
  o.n_sensors = 3;
  EXPECT_FALSE(ValidateSyntheticOptions(o, &error));
  EXPECT_NE(error.find("sensors"), std::string::npos);
  o = SmallOptions();
  o.n_samples = 100;
  EXPECT_FALSE(ValidateSyntheticOptions(o, &error));
  o = SmallOptions();
  o.noise_counts = std::nan("");
  EXPECT_FALSE(ValidateSyntheticOptions(o, &error));
  o = SmallOptions();
  o.vel_y = 0.0f;
  EXPECT_FALSE(ValidateSyntheticOptions(o, &error));

  // Directory names a parameter file cannot carry, or that a run would read
  // as something else: nothing is written for them.
  for (const char* name : {"a\"b", "x.lngdata", "httpdata"}) {
    SyntheticExperiment e;
    EXPECT_FALSE(GenerateSyntheticExperiment(dir.File(name), SmallOptions(), &e, &error)) << name;
    EXPECT_FALSE(fs::exists(dir.File(name))) << name;
  }
  SyntheticExperiment e;
  EXPECT_FALSE(GenerateSyntheticExperiment(dir.File(std::string(300, 'd')), SmallOptions(), &e,
                                           &error));
  EXPECT_NE(error.find("too long"), std::string::npos) << error;
}

// The generator's travel times and the scan's gradients describe one
// medium: moving the source by a small offset changes the travel time by
// minus the gradient times the offset.
TEST(SyntheticExperimentTest, TravelTimeChangeFollowsTheScansGradient) {
  const double receiver[3] = {50.0, 12.0, 70.0};
  const double source[3] = {20.0, 30.0, 40.0};
  const float vx = 6.5f, vy = 6.8f, vz = 5.9f;
  const XL_Vector3D g = TravelTimeGradient(receiver, source, vx, vy, vz);
  const double offset[3] = {0.01, -0.02, 0.015};
  const double moved[3] = {source[0] + offset[0], source[1] + offset[1], source[2] + offset[2]};
  const double change =
      TravelTimeUs(moved, receiver, vx, vy, vz) - TravelTimeUs(source, receiver, vx, vy, vz);
  const double predicted = -(g.x * offset[0] + g.y * offset[1] + g.z * offset[2]);
  EXPECT_NEAR(change, predicted, 1e-3 * std::fabs(predicted) + 1e-7);
  // Along an axis the velocity is that axis's.
  const double up[3] = {20.0, 30.0, 99.0};
  EXPECT_NEAR(TravelTimeUs(source, up, vx, vy, vz), 59.0 / 5.9, 1e-5);
  EXPECT_DOUBLE_EQ(TravelTimeUs(source, source, vx, vy, vz), 0.0);
}

// The whole system on a small experiment, as `demo` runs it.
TEST(SyntheticExperimentTest, RunFindsEveryEventOnceWithinTolerances) {
  test::ScratchDir dir;
  SyntheticOptions o;  // the tuned defaults, fewer events and samples
  o.seed = 2;
  o.n_templates = 2;
  o.n_events = 5;
  o.n_samples = 2048;
  const SyntheticExperiment e = Generate(dir.path(), o);
  ResetCrtRandForTesting();
  CrtRand();
  CrtRand();
  const RunRangeResult result = RunRange(e.par_file, e.truth.first_ae, e.truth.last_ae);
  ASSERT_TRUE(result.parametersRead) << result.error;
  ASSERT_TRUE(result.error.empty()) << result.error;
  std::vector<DetectionRow> rows;
  int bad = 0;
  std::string error;
  ASSERT_TRUE(ReadDetectionTable(e.out_dir + "ML_detect.ps0", &rows, &bad, &error)) << error;
  EXPECT_EQ(bad, 0);
  const Comparison c = CompareWithGroundTruth(e.truth, rows);
  EXPECT_EQ(c.found, c.expected) << FormatComparison(c, e.truth);
  EXPECT_EQ(c.duplicates + c.spurious + c.in_skipped_files, 0) << FormatComparison(c, e.truth);
  EXPECT_EQ(c.within_time, c.found);
  EXPECT_EQ(c.right_template, c.found);
  EXPECT_TRUE(c.AllPass()) << FormatComparison(c, e.truth);
}

}  // namespace
}  // namespace qae::synth

namespace qae::synth {
namespace {

// The benchmark's sparse and dense workloads.
TEST(SyntheticExperimentTest, NoiseOnlyAndDenselyFilledFiles) {
  test::ScratchDir sparse_dir;
  test::ScratchDir dense_dir;
  SyntheticOptions o;
  o.seed = 9;
  o.n_sensors = 6;
  o.n_templates = 2;
  o.n_events = 3;
  o.n_samples = 4096;
  o.special_files = false;
  o.events_per_file = 0;
  SyntheticExperiment sparse;
  std::string error;
  ASSERT_TRUE(GenerateSyntheticExperiment(sparse_dir.path(), o, &sparse, &error)) << error;
  ASSERT_EQ(sparse.truth.rows.size(), 3u);
  for (const TruthRow& r : sparse.truth.rows) EXPECT_EQ(r.expect, Expectation::kNoEvent);

  o.events_per_file = 1000;
  o.event_spacing_samples = 500;
  SyntheticExperiment dense;
  ASSERT_TRUE(GenerateSyntheticExperiment(dense_dir.path(), o, &dense, &error)) << error;
  std::map<int, std::vector<double>> t0_by_file;
  for (const TruthRow& r : dense.truth.rows) t0_by_file[r.ae_number].push_back(r.t0_us);
  ASSERT_EQ(t0_by_file.size(), 3u);
  for (const auto& [ae, t0] : t0_by_file) {
    EXPECT_GE(t0.size(), 4u) << ae;
    for (std::size_t k = 1; k < t0.size(); ++k) EXPECT_NEAR(t0[k] - t0[k - 1], 50.0, 1e-9);
  }

  o.special_files = true;
  EXPECT_FALSE(ValidateSyntheticOptions(o, &error));
}

}  // namespace
}  // namespace qae::synth
