// The continuous-data driver: segment geometry, whole runs over synthetic
// recordings with a known answer (in the default layout and converted to
// the "saq" layouts), the numbering from firstAE, the end of the recording,
// and the setups that cannot be scanned at all.
#include "detect/continuous_driver.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "detect/event_file_driver.h"
#include "params/parameter_file.h"
#include "support/test_paths.h"
#include "synth/continuous_recording.h"
#include "synth/ground_truth.h"
#include "util/byte_order.h"
#include "util/text.h"
#include "wave/formats/seg2_reader.h"
#include "wave/formats/seg2_writer.h"

namespace qae {
namespace {

namespace fs = std::filesystem;

std::string ReadText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

std::string Escaped(const std::string& s) {
  return std::regex_replace(s, std::regex(R"([.^$|()\[\]{}*+?\\])"), R"(\$&)");
}

const char kStamp[] = R"(\d{4}/\d{2}/\d{2} \d{2}:\d{2}:\d{2})";

TEST(SegmentGeometry, StepIsWholeThousandsAndSegmentsOverlapByATenth) {
  const SegmentGeometry g = ComputeSegmentGeometry(4096);
  EXPECT_EQ(g.step, 4000);
  EXPECT_EQ(g.length, 4400);
  // Segment 2 covers samples 8000..12399.
  EXPECT_EQ(2 * g.step, 8000);
  EXPECT_EQ(2 * g.step + g.length - 1, 12399);
  EXPECT_EQ(ComputeSegmentGeometry(999).step, 0);
  EXPECT_EQ(ComputeSegmentGeometry(999).length, 0);
  EXPECT_EQ(ComputeSegmentGeometry(1000).length, 1100);
  EXPECT_EQ(ComputeSegmentGeometry(5999).step, 5000);
  EXPECT_EQ(ComputeSegmentGeometry(0).length, 0);
}

// One small synthetic recording shared by the runs of this suite.
class ContinuousRunTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    scratch_ = new test::ScratchDir();
    synth::ContinuousOptions o = synth::DefaultContinuousOptions();
    o.base.seed = 7;
    o.base.n_sensors = 8;
    o.base.n_templates = 2;
    o.base.n_events = 4;
    o.base.grid_steps = 3;
    o.quiet_segments = 1;
    experiment_ = new synth::ContinuousExperiment();
    std::string error;
    ok_ = synth::GenerateContinuousExperiment(scratch_->path() + "/exp", o, experiment_, &error);
    error_ = error;
  }
  static void TearDownTestSuite() {
    delete experiment_;
    delete scratch_;
    experiment_ = nullptr;
    scratch_ = nullptr;
  }
  void SetUp() override {
    ASSERT_TRUE(ok_) << error_;
    ASSERT_TRUE(ReadParameterFile(x().base.par_file, &pars_));
  }

  static const synth::ContinuousExperiment& x() { return *experiment_; }

  // Runs segments first..last through the event driver's hand-over, into
  // a fresh output directory.
  int Run(int first, int last, const std::string& out_name) {
    out_dir_ = scratch_->path() + "/" + out_name + "/";
    fs::create_directories(out_dir_);
    pars_.outDir = out_dir_;
    pars_.firstAE = first;
    pars_.lastAE = last;
    const int detected = RunEventFiles(ctx_, pars_.dataPath, pars_.templateDir, pars_);
    EXPECT_FALSE(ctx_.log.IsOpen());
    return detected;
  }

  std::string LogPath(int first, int last, bool completed) const {
    return out_dir_ + StrPrintf("Log_%06d_%06d%s.txt", first, last, completed ? "_OK" : "");
  }

  synth::Comparison Compare(const synth::GroundTruth& truth) const {
    std::vector<synth::DetectionRow> rows;
    int bad_lines = 0;
    std::string error;
    EXPECT_TRUE(synth::ReadDetectionTable(out_dir_ + "ML_detect.ps0", &rows, &bad_lines, &error))
        << error;
    EXPECT_EQ(bad_lines, 0);
    return synth::CompareWithGroundTruth(truth, rows);
  }

  static void ExpectEveryReportOnce(const synth::Comparison& c, const synth::GroundTruth& truth) {
    EXPECT_EQ(c.found, c.expected) << synth::FormatComparison(c, truth);
    EXPECT_EQ(c.spurious + c.duplicates + c.in_skipped_files, 0)
        << synth::FormatComparison(c, truth);
    EXPECT_EQ(c.within_time, c.expected) << synth::FormatComparison(c, truth);
    EXPECT_EQ(c.right_template, c.expected) << synth::FormatComparison(c, truth);
  }

  // Segments with at least one report among first..last.
  static int SegmentsWithReports(const synth::GroundTruth& truth) {
    std::vector<int> numbers;
    for (const auto& r : truth.rows) {
      if (numbers.empty() || numbers.back() != r.ae_number) numbers.push_back(r.ae_number);
    }
    return static_cast<int>(numbers.size());
  }

  static test::ScratchDir* scratch_;
  static synth::ContinuousExperiment* experiment_;
  static bool ok_;
  static std::string error_;
  AePars pars_;
  RunContext ctx_;
  std::string out_dir_;
};

test::ScratchDir* ContinuousRunTest::scratch_ = nullptr;
synth::ContinuousExperiment* ContinuousRunTest::experiment_ = nullptr;
bool ContinuousRunTest::ok_ = false;
std::string ContinuousRunTest::error_;

TEST_F(ContinuousRunTest, DetectionsMatchTheTruthAndTheRunEndsAtTheEndOfTheRecording) {
  const int last = x().last_ae;
  const int64_t readable = x().readable_segments;
  ASSERT_GT(last, readable);
  const int detected = Run(0, last, "out");
  EXPECT_TRUE(ctx_.fatalError.empty()) << ctx_.fatalError;

  const synth::GroundTruth& truth = x().truth;
  ASSERT_EQ(truth.rows.size(), 5u);  // four events, one of them in two segments
  EXPECT_EQ(detected, SegmentsWithReports(truth));
  ExpectEveryReportOnce(Compare(truth), truth);

  // The event in the overlap is reported by both of its segments.
  int pairs = 0;
  for (std::size_t i = 1; i < truth.rows.size(); ++i) {
    const auto& a = truth.rows[i - 1];
    const auto& b = truth.rows[i];
    if (a.x_mm == b.x_mm && a.y_mm == b.y_mm && a.template_ae == b.template_ae) {
      ++pairs;
      EXPECT_EQ(b.ae_number, a.ae_number + 1);
      EXPECT_NEAR(a.t0_us - b.t0_us, static_cast<double>(x().step) * truth.dt_us, 1e-6);
    }
  }
  EXPECT_EQ(pairs, 1);

  EXPECT_FALSE(fs::exists(LogPath(0, last, false)));
  // The driver's own lines, in order (the scan's lines come between them).
  const std::string log = ReadText(LogPath(0, last, true));
  const std::size_t at = log.find("  Start to scan AE");
  ASSERT_NE(at, std::string::npos) << log;
  std::istringstream lines(log.substr(at));
  std::string driver_lines;
  for (std::string line; std::getline(lines, line);) {
    if (line.rfind("  Start to scan", 0) == 0 || line.rfind("  Loading ", 0) == 0 ||
        line.rfind(" Ended: ", 0) == 0) {
      driver_lines += line + "\n";
    }
  }
  std::string expected = "  Start to scan AE from 0 through " + std::to_string(last) + "\n";
  for (int64_t k = 0; k < readable; ++k) {
    expected += "  Loading " + x().recording + ": " + std::to_string(k) + "... !\n";
  }
  expected += "  Loading " + x().recording + ": " + std::to_string(readable) +
              "... EOF reached !\n Ended: " + std::to_string(readable) + " / " +
              std::to_string(detected) + " events scanned/detected. ";
  ASSERT_EQ(driver_lines.substr(0, expected.size()), expected) << log;
  EXPECT_TRUE(std::regex_match(driver_lines.substr(expected.size()),
                               std::regex(std::string(kStamp) + "\n")));
  EXPECT_EQ(log.substr(log.size() - 1), "\n");
  // The scan wrote each segment with a detection under its number.
  for (int n = 0; n < detected; ++n) EXPECT_TRUE(fs::exists(out_dir_ + StrPrintf("%06d.sg2", n)));
  EXPECT_FALSE(fs::exists(out_dir_ + StrPrintf("%06d.sg2", detected)));
}

TEST_F(ContinuousRunTest, SegmentsWithDetectionsAreNumberedFromFirstAE) {
  const int first = 2;
  const int last = x().last_ae;
  const synth::GroundTruth truth = synth::ContinuousTruthForRange(x(), first, last);
  ASSERT_FALSE(truth.rows.empty());
  EXPECT_EQ(truth.rows.front().ae_number, first);
  const int detected = Run(first, last, "from2");
  EXPECT_EQ(detected, SegmentsWithReports(truth));
  ExpectEveryReportOnce(Compare(truth), truth);
  const std::string log = ReadText(LogPath(first, last, true));
  EXPECT_NE(log.find("  Start to scan AE from 2 through " + std::to_string(last) + "\n  Loading " +
                     x().recording + ": 2... !\n"),
            std::string::npos)
      << log;
  EXPECT_TRUE(fs::exists(out_dir_ + "000002.sg2"));
  EXPECT_FALSE(fs::exists(out_dir_ + "000000.sg2"));
}

TEST_F(ContinuousRunTest, SaqLayoutsGiveTheSameDetectionsWithTheRecordEmptiedPerWindow) {
  // The recording's traces as channels of the two "saq" layouts, whose
  // segments (6000) do not line up with the run's (every 5000): windows
  // are gathered across file segments.
  const int n_sensors = 8;
  const int64_t n = x().samples_per_trace;
  std::vector<std::vector<int32_t>> channels(n_sensors,
                                             std::vector<int32_t>(static_cast<std::size_t>(n)));
  {
    std::ifstream in(x().recording, std::ios::binary);
    std::vector<uint8_t> bytes(static_cast<std::size_t>(n) * 2);
    for (auto& c : channels) {
      in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
      ASSERT_TRUE(in);
      for (std::size_t i = 0; i < c.size(); ++i)
        c[i] = static_cast<int16_t>(DecodeLE16(&bytes[2 * i]));
      // Their window tests want a window's end before the end of the data:
      // room for the last segment.
      c.resize(c.size() + 6000, 0);
    }
  }
  const std::string dir = scratch_->path() + "/layouts/";
  fs::create_directories(dir);
  const std::string saq = dir + "saq_bit16chn8seg6000.lng";
  const std::string tdms = dir + "saq_tdms_bit16chn8seg6000.lng";
  std::string error;
  ASSERT_TRUE(synth::WriteSaqRecording(saq, channels, 2, 6000, &error)) << error;
  ASSERT_TRUE(synth::WriteSaqTdmsRecording(tdms, channels, 2, 64, &error)) << error;

  // These layouts take 1e-6 as the sampling interval; the templates are in
  // microseconds, so the band-pass is left out (of templates and records
  // alike) for the comparison.
  const AePars read = pars_;
  int run = 0;
  for (const std::string& path : {saq, tdms}) {
    SCOPED_TRACE(path);
    pars_ = read;
    pars_.dataPath = path;
    pars_.fLow = 0.0f;
    pars_.fHigh = 0.0f;
    const int detected = Run(0, x().last_ae, "layout" + std::to_string(run++));
    EXPECT_TRUE(ctx_.fatalError.empty()) << ctx_.fatalError;
    const synth::GroundTruth& truth = x().truth;
    EXPECT_EQ(detected, SegmentsWithReports(truth));
    ExpectEveryReportOnce(Compare(truth), truth);
    // A detected segment is written with the recording's channels only:
    // the record was emptied before each window.
    XL_WaveDataSeg2 copy;
    ASSERT_EQ(copy.Load(out_dir_ + StrPrintf("%06d.sg2", detected - 1), 1, 0, 0), 1);
    EXPECT_EQ(copy.TraceCount(), n_sensors);
    EXPECT_EQ(copy.Trace(0).sampleCount, x().length);
    EXPECT_NE(ReadText(LogPath(0, x().last_ae, true)).find(" EOF reached !\n Ended: "),
              std::string::npos);
  }
}

// Hand-made templates and recordings for the setups a run refuses.
class ContinuousSetupTest : public ::testing::Test {
 protected:
  void SetUp() override {
    tpl_dir_ = scratch_.path() + "/tpl/";
    out_dir_ = scratch_.path() + "/out/";
    fs::create_directories(tpl_dir_);
    fs::create_directories(out_dir_);
    pars_.templateDir = tpl_dir_;
    pars_.outDir = out_dir_;
  }

  // A template of 4 traces; without "M=" the scan passes it over.
  void WriteTemplate(int samples) {
    XL_WaveDataSeg2 rec;
    for (int t = 0; t < 4; ++t) {
      auto trace = std::make_unique<XL_WaveTrace>(samples);
      trace->samplingInterval = 0.1;
      for (int i = 0; i < samples; ++i)
        trace->samples[static_cast<std::size_t>(i)] = static_cast<float>((i * 7 + t) % 61 - 30);
      rec.AddTrace(std::move(trace));
    }
    std::string error;
    ASSERT_EQ(WriteSeg2(tpl_dir_ + "000001.sg2", rec, 0, 0, 1, &error), 1) << error;
  }

  // A default-layout recording of 4 traces of `samples` samples.
  std::string WriteRecording(int64_t samples) {
    const std::string path = scratch_.path() + "/rec.lng";
    std::vector<std::vector<int32_t>> c(4,
                                        std::vector<int32_t>(static_cast<std::size_t>(samples), 5));
    std::string error;
    EXPECT_TRUE(synth::WriteTraceSequentialRecording(path, c, &error));
    EXPECT_TRUE(synth::WriteRecordingCompanion(path, 4, 0.1, 0, 0, &error));
    return path;
  }

  int Run(const std::string& data_path, int first, int last) {
    pars_.dataPath = data_path;
    pars_.firstAE = first;
    pars_.lastAE = last;
    ctx_ = std::make_unique<RunContext>();
    const int detected = RunContinuous(*ctx_, pars_.templateDir, data_path, pars_);
    EXPECT_FALSE(ctx_->log.IsOpen());
    return detected;
  }

  std::string LogPath(int first, int last, bool completed) const {
    return out_dir_ + StrPrintf("Log_%06d_%06d%s.txt", first, last, completed ? "_OK" : "");
  }

  // The run stopped before its first segment: the reason in the log, the
  // plain log name.
  void ExpectRefused(const std::string& must_mention) {
    ASSERT_FALSE(ctx_->fatalError.empty());
    EXPECT_NE(ctx_->fatalError.find(must_mention), std::string::npos) << ctx_->fatalError;
    EXPECT_FALSE(fs::exists(LogPath(0, 3, true)));
    const std::string log = ReadText(LogPath(0, 3, false));
    EXPECT_NE(log.find(" !" + ctx_->fatalError + "\n"), std::string::npos) << log;
    EXPECT_EQ(log.find("Loading"), std::string::npos) << log;
  }

  test::ScratchDir scratch_;
  std::string tpl_dir_;
  std::string out_dir_;
  AePars pars_;
  std::unique_ptr<RunContext> ctx_;
};

TEST_F(ContinuousSetupTest, ReferenceShorterThanAThousandSamplesStopsTheRun) {
  WriteTemplate(999);
  EXPECT_EQ(Run(WriteRecording(20000), 0, 3), 0);
  ExpectRefused("999 samples");
}

TEST_F(ContinuousSetupTest, UnreadableRecordingsStopTheRun) {
  WriteTemplate(1024);
  Run(scratch_.path() + "/missing.lng", 0, 3);
  ExpectRefused("missing.sg2");  // the companion is looked for first
  fs::remove(LogPath(0, 3, false));

  const std::string path = WriteRecording(20000);
  fs::remove(scratch_.path() + "/rec.sg2");
  Run(path, 0, 3);
  ExpectRefused("rec.sg2");
}

TEST_F(ContinuousSetupTest, SegmentsLongerThanTheLayoutDeliversStopTheRun) {
  // 4096 samples: segments of 4400, longer than the recording's 4000.
  WriteTemplate(4096);
  const std::string saq = scratch_.path() + "/saq_chn4seg4000.lng";
  std::ofstream(saq, std::ios::binary) << std::string(4 * 2 * 40000, '\0');
  Run(saq, 0, 3);
  ExpectRefused("4400");
  fs::remove(LogPath(0, 3, false));

  for (const char* name : {"/saq_tdms_chn33.lng", "/saq_chn0.lng", "/saq_bit0.lng"}) {
    SCOPED_TRACE(name);
    const std::string bad = scratch_.path() + name;
    std::ofstream(bad, std::ios::binary) << std::string(1000, '\0');
    Run(bad, 0, 3);
    ExpectRefused(name + 1);
    fs::remove(LogPath(0, 3, false));
  }

  // A segment of "any" data is at most 6000 frames: 5500 fits.
  WriteTemplate(5999);
  const std::string any = scratch_.path() + "/any.lng";
  std::ofstream(any, std::ios::binary) << std::string(32 * 3000, '\0');
  Run(any, 0, 3);
  EXPECT_TRUE(ctx_->fatalError.empty()) << ctx_->fatalError;
  EXPECT_TRUE(fs::exists(LogPath(0, 3, true)));
}

TEST_F(ContinuousSetupTest, RangeBeyondTheRecordingCompletesWithoutScanning) {
  WriteTemplate(1024);  // L = 1000, S = 1100
  const std::string path = WriteRecording(20000);
  EXPECT_EQ(Run(path, 50, 60), 0);
  EXPECT_TRUE(ctx_->fatalError.empty());
  const std::string log = ReadText(LogPath(50, 60, true));
  EXPECT_TRUE(std::regex_search(
      log, std::regex("  Start to scan AE from 50 through 60\n  Loading " + Escaped(path) +
                      R"(: 50\.\.\. EOF reached !\n !Nothing to scan: no segment 50 through 60 of )" +
                      Escaped(path) + R"( could be read\n Ended: 0 / 0 events scanned/detected\. )" +
                      kStamp + "\n$")))
      << log;
  EXPECT_TRUE(ctx_->counts.nothingToScan);
  EXPECT_EQ(ctx_->counts.missing, 11);

  // 20,000 samples hold 18 windows of 1100; segment 19 (19,000 / 1100 = 17
  // windows in) still counts, its last 100 samples are zeros.
  EXPECT_EQ(Run(path, 16, 22), 0);
  const std::string tail = ReadText(LogPath(16, 22, true));
  EXPECT_NE(tail.find(": 19... !\n"), std::string::npos) << tail;
  EXPECT_NE(tail.find(": 20... EOF reached !\n Ended: 4 / 0 events"), std::string::npos) << tail;

  // A negative segment is no end of the data: the run stops unfinished.
  EXPECT_EQ(Run(path, -1, 2), 0);
  EXPECT_FALSE(ctx_->fatalError.empty());
  EXPECT_FALSE(fs::exists(LogPath(-1, 2, true)));
  EXPECT_NE(ReadText(LogPath(-1, 2, false)).find(": -1... EOF reached !\n !"), std::string::npos);
}

TEST_F(ContinuousSetupTest, RunWithoutTemplatesKeepsThePlainLogName) {
  EXPECT_EQ(Run(WriteRecording(20000), 0, 3), 0);
  EXPECT_FALSE(fs::exists(LogPath(0, 3, true)));
  EXPECT_NE(ReadText(LogPath(0, 3, false)).find(" !Number of templates is 0 in " + tpl_dir_ + "\n"),
            std::string::npos);
  EXPECT_FALSE(ctx_->fatalError.empty());
}

}  // namespace
}  // namespace qae
