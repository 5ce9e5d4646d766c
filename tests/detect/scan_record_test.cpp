// A whole record scan with its outputs, on a small hand-made experiment:
// four stations, one template, a record holding two repeats of it.
#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <random>
#include <sstream>

#include "detect/matched_filter_scan.h"
#include "detect/result_table.h"
#include "dsp/iir_filter.h"
#include "util/key_values.h"
#include "support/test_paths.h"
#include "util/crt_random.h"
#include "util/text.h"
#include "wave/formats/seg2_reader.h"
#include "wave/formats/seg2_writer.h"

namespace qae {
namespace {

std::string ReadText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

constexpr int kSamples = 2000;
constexpr int kStations = 4;
constexpr int kShift1 = 300;  // the repeats sit this many samples later
constexpr int kShift2 = 900;

struct Experiment {
  test::ScratchDir dir;
  AePars pars;
  RunContext ctx;
  TemplateLibrary templates;
  XL_WaveDataSeg2 record;
  int picks[kStations] = {500, 520, 540, 560};
};

void Build(Experiment& e, int gain2) {
  std::mt19937 rng(11);
  std::uniform_real_distribution<float> unit(-1.0f, 1.0f);
  e.pars.outDir = e.dir.path() + "/";
  e.pars.dupWin = 20.0f;  // us: the two repeats are 60 us apart
  e.pars.fLow = 1.0f;     // no band-pass
  e.pars.fHigh = 0.5f;
  e.pars.gridStepsX = e.pars.gridStepsY = e.pars.gridStepsZ = 0;
  e.pars.outLevel = 2;

  XL_WaveDataSeg2& tpl = e.templates.slots.emplace_back();
  tpl.aeNumber = 7;
  tpl.sourceName = e.dir.File("000007.sg2");
  SetText(tpl.header.comments, "x=10.000 y=20.000 z=30.000 Mw=-2.50 M=4");
  for (int i = 0; i < kStations; ++i) {
    auto t = std::make_unique<XL_WaveTrace>(kSamples);
    for (auto& v : t->samples) v = unit(rng) * 100.0f;
    t->samplingInterval = 0.1;
    t->pickup[0] = e.picks[i];
    t->receiverLocation[0] = 50.0 * (i % 2);
    t->receiverLocation[1] = 50.0 * (i / 2);
    t->sourceLocation[0] = 10;
    t->sourceLocation[1] = 20;
    t->sourceLocation[2] = 30;
    SetText(t->note, StrPrintf("sensor %d loc_ind=%d spare", i, i));
    tpl.AddTrace(std::move(t));
  }
  e.ctx.dt = 0.1f;
  e.ctx.nTraces = kStations;
  const WindowSizes w = ComputeWindowSizes(e.pars.preWin, e.pars.postWin, e.ctx.dt);
  e.ctx.winLen = w.winLen;
  e.ctx.preLen = w.preLen;
  e.ctx.len5 = w.len5;
  e.ctx.len2 = w.len2;
  e.ctx.nLags = kSamples - w.winLen - 1;
  e.ctx.AllocateWorkArrays();
  e.ctx.log.Create(e.dir.File("scan.log"));

  e.record.aeNumber = 123;
  e.record.sourceName = e.dir.File("000123.sg2");
  for (int i = 0; i < kStations; ++i) {
    auto t = std::make_unique<XL_WaveTrace>(kSamples);
    for (auto& v : t->samples) v = std::round(unit(rng) * 5.0f);
    const XL_WaveTrace& tt = tpl.Trace(i);
    for (int s = e.picks[i] - 50; s < e.picks[i] + 100; ++s) {
      t->samples[static_cast<std::size_t>(s + kShift1)] += std::round(tt.samples[static_cast<std::size_t>(s)]);
      t->samples[static_cast<std::size_t>(s + kShift2)] +=
          std::round(static_cast<float>(gain2) * tt.samples[static_cast<std::size_t>(s)]);
    }
    t->samplingInterval = 0.1;
    e.record.AddTrace(std::move(t));
  }
}

TEST(ScanRecord, FindsBothRepeatsAndWritesEveryOutput) {
  ResetCrtRandForTesting();
  Experiment e;
  Build(e, 10);
  ASSERT_EQ(ScanRecord(e.templates, 1, e.pars, e.ctx, e.record), 1);
  e.ctx.log.Close();

  // Two rows, in time order, t0 = (shift - preLen + minPick) * dt.
  const std::string table = ReadText(e.dir.File("ML_detect.ps0"));
  ASSERT_EQ(table.rfind(kResultTableHeader, 0), 0u);
  std::istringstream rows(table.substr(std::string(kResultTableHeader).size()));
  std::vector<std::vector<double>> values;
  std::string line;
  while (std::getline(rows, line)) {
    std::istringstream cols(line);
    std::vector<double> v;
    std::string c;
    while (std::getline(cols, c, '\t')) v.push_back(std::stod(c));
    ASSERT_EQ(v.size(), 15u) << line;
    values.push_back(v);
  }
  ASSERT_EQ(values.size(), 2u);
  EXPECT_EQ(values[0][0], 123);
  EXPECT_NEAR(values[0][1], (kShift1 - 10 + 500) * 0.1, 1e-3);
  EXPECT_NEAR(values[1][1], (kShift2 - 10 + 500) * 0.1, 1e-3);
  EXPECT_NEAR(values[0][2], 10.0, 1e-3);  // x = template x + dX (0 with a single offset)
  EXPECT_NEAR(values[0][5], -2.5, 0.05);  // same size as the template
  EXPECT_NEAR(values[1][5], -1.5, 0.05);  // ten times larger: one magnitude unit
  EXPECT_NEAR(values[1][12], 1.0, 0.05);  // dMw
  EXPECT_EQ(values[0][13], 7);            // the template's AE number
  EXPECT_NEAR(values[0][14], -2.5, 1e-9);
  EXPECT_GT(values[0][6], 0.99);

  // The event file is rewritten for the first detection, a copy made for the
  // second; each header carries its own detection line, 16-bit data stay 16-bit.
  XL_WaveDataSeg2 first;
  XL_WaveDataSeg2 second;
  ASSERT_EQ(first.Load(e.dir.File("000123.sg2"), 1, 0, 0), 1);
  ASSERT_EQ(second.Load(e.dir.File("000123_01.sg2"), 1, 0, 0), 1);
  EXPECT_EQ(std::string(TextOf(first.header.comments)).rfind("detected: AE#=123, Mw=-2.", 0), 0u)
      << TextOf(first.header.comments);
  EXPECT_NE(std::string(TextOf(first.header.comments)).find("M=4, Tpl=7(Mw-2.50)\n"),
            std::string::npos);
  EXPECT_NE(std::string(TextOf(second.header.comments)).find("dMw=1.0"), std::string::npos);
  EXPECT_EQ(first.Trace(0).dataFormat, 1);
  EXPECT_EQ(TextOf(first.Trace(2).note), "sensor 2 loc_ind=02");
  EXPECT_EQ(first.Trace(1).pickup[0], 520 + kShift1);
  EXPECT_EQ(second.Trace(1).pickup[0], 520 + kShift2);
  EXPECT_FLOAT_EQ(first.Trace(3).samples[100], e.record.Trace(3).samples[100]);

  const std::string log = ReadText(e.dir.File("scan.log"));
  EXPECT_NE(log.find("  Cross correlation: CC_sofar=0.00 "), std::string::npos);
  EXPECT_NE(log.find(" Potential event detected at 790(79.000000s), CC="), std::string::npos) << log;
  EXPECT_NE(log.find(" Final event detected: Mw=0.00, CC="), std::string::npos);
  EXPECT_NE(log.find("123, t0=79.0000, x=10.0000, y=20.0000, z=30.0000, Mw=-2."),
            std::string::npos);
}

// With a band-pass in use the files get the raw samples, but every event is
// measured on the filtered ones, as its template is: two equal repeats get
// equal magnitudes.
TEST(ScanRecord, LaterEventsOfARecordAreMeasuredOnFilteredSamples) {
  Experiment e;
  Build(e, 1);
  e.pars.fLow = 0.5f;
  e.pars.fHigh = 2.0f;
  ASSERT_EQ(FilterRecordBandpass(e.templates[0], e.pars.fLow, e.pars.fHigh), 1);
  e.record.SaveSamples();
  const float raw = e.record.Trace(0).samples[5];
  ASSERT_EQ(FilterRecordBandpass(e.record, e.pars.fLow, e.pars.fHigh), 1);
  ASSERT_EQ(ScanRecord(e.templates, 1, e.pars, e.ctx, e.record), 1);
  XL_WaveDataSeg2 first;
  XL_WaveDataSeg2 second;
  ASSERT_EQ(first.Load(e.dir.File("000123.sg2"), 1, 0, 0), 1);
  ASSERT_EQ(second.Load(e.dir.File("000123_01.sg2"), 1, 0, 0), 1);
  EXPECT_EQ(first.Trace(0).samples[5], raw);   // files hold the raw samples
  EXPECT_EQ(second.Trace(0).samples[5], raw);
  const float mw1 = FloatAfterKey(TextOf(first.header.comments), "Mw=", 99.0f);
  const float mw2 = FloatAfterKey(TextOf(second.header.comments), "Mw=", 99.0f);
  EXPECT_NEAR(mw1, -2.5f, 0.05f);
  EXPECT_NEAR(mw2, mw1, 0.03f);
}

TEST(ScanRecord, EarlierCorrelationRaisesTheThreshold) {
  Experiment e;
  Build(e, 1);
  SetText(e.record.header.comments, "detected: AE#=123, CC=1.00, x=1");
  EXPECT_EQ(ScanRecord(e.templates, 1, e.pars, e.ctx, e.record), 0);
  EXPECT_FALSE(std::ifstream(e.dir.File("ML_detect.ps0"), std::ios::binary).good());
}

TEST(ScanRecord, TemplateWithTooFewLocatedStationsIsSkipped) {
  Experiment e;
  Build(e, 1);
  SetText(e.templates[0].header.comments, "x=1 y=2 z=3 Mw=-2 M=3");
  EXPECT_EQ(ScanRecord(e.templates, 1, e.pars, e.ctx, e.record), 0);
}

}  // namespace
}  // namespace qae
