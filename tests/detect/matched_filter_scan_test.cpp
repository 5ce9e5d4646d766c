#include "detect/matched_filter_scan.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>

#include "detect/travel_time.h"
#include "util/crt_random.h"
#include "util/text.h"

namespace qae {
namespace {

struct Peak {
  int32_t q;
  float value;
};

std::vector<Peak> Peaks(const std::vector<float>& s, int32_t scan_range, float thr,
                        float snr_min = 0.0f, int32_t len2 = 1, int32_t len5 = 2) {
  std::vector<Peak> out;
  SearchPeaks(s.data(), static_cast<int32_t>(s.size()), scan_range, thr, snr_min, len2, len5,
              [&](int32_t q, float v, float, float) { out.push_back({q, v}); });
  return out;
}

TEST(PeakSearch, ValueEqualToThresholdIsNoPeak) {
  const std::vector<float> s = {0, 0, 0.5f, 0, 0, 0, 0, 0, 0, 0};
  EXPECT_TRUE(Peaks(s, 8, 0.5f).empty());
  EXPECT_EQ(Peaks(s, 8, 0.49f).size(), 1u);
}

TEST(PeakSearch, PlateauClimbsToItsLastSample) {
  const std::vector<float> s = {0, 0.6f, 0.8f, 0.8f, 0.8f, 0.1f, 0, 0, 0, 0, 0};
  const auto p = Peaks(s, 9, 0.5f);
  ASSERT_EQ(p.size(), 1u);
  EXPECT_EQ(p[0].q, 4);
}

TEST(PeakSearch, AcceptedPeakConsumesItsExcursion) {
  // Two maxima in one excursion above 0.5: only the first is reported.
  const std::vector<float> s = {0, 0.9f, 0.6f, 0.8f, 0.2f, 0, 0.7f, 0, 0, 0, 0, 0};
  const auto p = Peaks(s, 10, 0.5f);
  ASSERT_EQ(p.size(), 2u);
  EXPECT_EQ(p[0].q, 1);
  EXPECT_EQ(p[1].q, 6);
}

TEST(PeakSearch, RejectedPeakDoesNotSkipTheExcursion) {
  // The first maximum (0.6) is not far enough above its noise; a later, higher
  // maximum of the same excursion is.
  std::vector<float> s(40, 0.0f);
  for (int i = 0; i < 10; ++i) s[static_cast<std::size_t>(i)] = 0.55f;
  s[10] = 0.6f;
  s[11] = 0.55f;
  s[12] = 3.0f;
  const auto p = Peaks(s, 30, 0.5f, 2.0f, 1, 2);
  ASSERT_EQ(p.size(), 1u);
  EXPECT_EQ(p[0].q, 12);
}

TEST(PeakSearch, SilentNoiseWindowGivesInfiniteRatioThatPasses) {
  std::vector<float> s(30, 0.0f);
  s[15] = 0.9f;
  float snr1 = 0;
  SearchPeaks(s.data(), 30, 25, 0.5f, 100.0f, 2, 3, [&](int32_t, float, float a, float) { snr1 = a; });
  EXPECT_TRUE(std::isinf(snr1));
}

// A record with the same template at a known lag, the rest noise.
struct PlantedCase {
  RunContext ctx;
  XL_WaveTrace tpl{600};
  XL_WaveTrace rec{600};
  int32_t pick = 200;
  int32_t planted_lag = 137;
};

void Plant(PlantedCase& c, float gain, float offset) {
  std::mt19937 rng(7);
  std::uniform_real_distribution<float> noise(-1.0f, 1.0f);
  c.ctx.winLen = 40;
  c.ctx.preLen = 10;
  c.ctx.nLags = 600 - 40 - 1;
  for (int i = 0; i < 600; ++i) {
    c.tpl.samples[static_cast<std::size_t>(i)] = noise(rng);
    c.rec.samples[static_cast<std::size_t>(i)] = 0.1f * noise(rng) + offset;
  }
  // Record at lag L starts at pick - minPick + L = L (minPick = pick).
  for (int j = 0; j < c.ctx.winLen; ++j) {
    c.rec.samples[static_cast<std::size_t>(c.planted_lag + j)] =
        gain * c.tpl.samples[static_cast<std::size_t>(c.pick - c.ctx.preLen + j)] + offset;
  }
}

TEST(CorrelationRow, PlantedWindowCorrelatesOneInBothModes) {
  for (int mean_mode : {0, 1}) {
    PlantedCase c;
    Plant(c, 2.5f, mean_mode ? 40.0f : 0.0f);
    std::vector<float> row(400);
    CorrelationRow(c.tpl, c.rec, c.pick, c.pick, 400, c.ctx, mean_mode, row.data());
    const auto best = std::max_element(row.begin(), row.end()) - row.begin();
    EXPECT_EQ(best, c.planted_lag) << "mean " << mean_mode;
    EXPECT_NEAR(row[static_cast<std::size_t>(best)], 1.0f, 1e-5f);
    for (float v : row) {
      ASSERT_FALSE(std::isnan(v));
      ASSERT_LE(std::fabs(v), 1.0001f);
    }
  }
}

TEST(CorrelationRow, ScaleOfTheDataChangesNothing) {
  PlantedCase a;
  PlantedCase b;
  Plant(a, 1.0f, 0.0f);
  Plant(b, 1.0f, 0.0f);
  for (auto& v : b.rec.samples) v *= 1e-7f;
  std::vector<float> ra(300);
  std::vector<float> rb(300);
  CorrelationRow(a.tpl, a.rec, a.pick, a.pick, 300, a.ctx, 0, ra.data());
  CorrelationRow(b.tpl, b.rec, b.pick, b.pick, 300, b.ctx, 0, rb.data());
  for (std::size_t i = 0; i < ra.size(); ++i) ASSERT_NEAR(ra[i], rb[i], 1e-4f) << i;
}

TEST(CorrelationRow, SilentWindowCorrelatesAsZero) {
  PlantedCase c;
  Plant(c, 1.0f, 0.0f);
  std::fill(c.rec.samples.begin(), c.rec.samples.end(), 0.0f);
  std::vector<float> row(100, 9.0f);
  CorrelationRow(c.tpl, c.rec, c.pick, c.pick, 100, c.ctx, 0, row.data());
  for (float v : row) EXPECT_EQ(v, 0.0f);
  CorrelationRow(c.tpl, c.rec, c.pick, c.pick, 100, c.ctx, 1, row.data());
  for (float v : row) EXPECT_EQ(v, 0.0f);
}

TEST(CorrelationRow, WindowsPastTheRecordEndReadZeros) {
  PlantedCase c;
  Plant(c, 1.0f, 0.0f);
  XL_WaveTrace short_rec(100);
  std::copy_n(c.rec.samples.begin(), 100, short_rec.samples.begin());
  std::vector<float> row(500);
  CorrelationRow(c.tpl, short_rec, c.pick, c.pick, 500, c.ctx, 0, row.data());
  EXPECT_EQ(row[499], 0.0f);
}

TEST(StackRows, ShiftsMoveStationRowsBothWays) {
  RunContext ctx;
  ctx.nTraces = 2;
  ctx.nLags = 10;
  ctx.dt = 1.0f;
  ctx.AllocateWorkArrays();
  TemplateScan scan;
  scan.lagRange = 10;
  scan.invN = 0.5f;
  scan.stations.traceIndex = {0, 1};
  // Gradients chosen so that an X offset of 1 shifts station 0 by +3 and
  // station 1 by -3 samples.
  scan.stations.gradient = {XL_Vector3D(-3.0, 0, 0), XL_Vector3D(3.0, 0, 0)};
  for (int q = 0; q < 10; ++q) {
    ctx.Row(0)[q] = static_cast<float>(q + 1);
    ctx.Row(1)[q] = static_cast<float>(100 * (q + 1));
  }
  scan.rows = ctx.ccRows.data();
  scan.rowStride = ctx.RowStride();
  GridSteps steps{1.0f, 1.0f, 1.0f};
  std::vector<float> s(10);
  StackRows(scan, ctx.dt, steps, 1, 0, 0, s.data());
  // Station 0 (+3): its entries 3..9 land on 0..6. Station 1 (-3): its
  // entries 0..6 land on 3..9.
  EXPECT_EQ(s[0], 0.5f * 4);
  EXPECT_EQ(s[6], 0.5f * (10 + 400));
  EXPECT_EQ(s[7], 0.5f * 100 * 5);
  EXPECT_EQ(s[9], 0.5f * 100 * 7);
  EXPECT_EQ(s[2], 0.5f * 6);
}

TEST(GridSteps, ZeroStepsMeanTheSingleOffsetZero) {
  AePars pars;
  pars.gridStepsX = 0;
  pars.gridHalfX = 0.5f;
  const GridSteps s = ComputeGridSteps(pars);
  EXPECT_EQ(s.sx, 0.0f);
  EXPECT_FLOAT_EQ(s.sy, 0.1f);
}

TEST(TravelTimeGradient, EllipsoidalVelocity) {
  const double up[3] = {0, 0, 70};
  const double along_x[3] = {70, 0, 0};
  const double origin[3] = {0, 0, 0};
  XL_Vector3D g = TravelTimeGradient(up, origin, 7, 7, 7);
  EXPECT_DOUBLE_EQ(g.z, 1.0 / 7.0);
  g = TravelTimeGradient(origin, origin, 7, 7, 7);
  EXPECT_DOUBLE_EQ(g.z, 1.0 / 7.0);  // receiver at the source: direction (0,0,1)
  g = TravelTimeGradient(up, origin, 7, 7, 3.5f);
  EXPECT_DOUBLE_EQ(g.z, (2.0 - 1.0) / 3.5);
  g = TravelTimeGradient(along_x, origin, 7, 7, 3.5f);
  EXPECT_DOUBLE_EQ(g.x, (2.0 - 1.0) / 7.0);
  EXPECT_EQ(g.z, 0.0);
  // An offset towards the station arrives earlier: a negative time shift.
  EXPECT_EQ(StationShift(TravelTimeGradient(up, origin, 7, 7, 7), 0, 0, 7.0f, 0.1f), -10);
}

// Delays of any size saturate; an undefined delay (0 times an infinite
// gradient, or the gradient of velocities whose squares underflow) moves the
// station off its row, as the most negative shift does.
TEST(StationShift, SaturatesAndTakesUndefinedDelaysOffTheRow) {
  const XL_Vector3D g(0.15, 0.15, 0.15);
  EXPECT_EQ(StationShift(g, 0.5f, 0, 0, 0.1f), -1);
  EXPECT_EQ(StationShift(g, 1e30f, 0, 0, 0.1f), INT32_MIN);
  EXPECT_EQ(StationShift(g, -1e30f, 0, 0, 0.1f), INT32_MAX);
  EXPECT_EQ(StationShift(g, 3.4e38f, 3.4e38f, 3.4e38f, 1e-30f), INT32_MIN);
  EXPECT_EQ(StationShift(XL_Vector3D(HUGE_VAL, 0.1, 0.1), 0.0f, 0.5f, 0, 0.1f), INT32_MIN);
  const double up[3] = {0, 0, 70};
  const double origin[3] = {0, 0, 0};
  const XL_Vector3D tiny = TravelTimeGradient(up, origin, 1e-30f, 1e-30f, 1e-30f);
  EXPECT_EQ(StationShift(tiny, 0.0f, 0.0f, 0.5f, 0.1f), INT32_MIN);
}

// Template picks at the ends of the int32 range spread wider than any lag
// range: the template has no lag to scan, and nothing overflows.
TEST(BeginTemplateScan, PicksAtTheEndsOfTheIntRangeLeaveNoLags) {
  XL_WaveData tpl;
  SetText(tpl.header.comments, "M=4");
  for (const int32_t pick : {INT32_MIN, INT32_MAX, 0}) {
    auto t = std::make_unique<XL_WaveTrace>(100);
    t->pickup[0] = pick;
    SetText(t->note, "loc_ind=1");
    tpl.AddTrace(std::move(t));
  }
  RunContext ctx;
  ctx.nTraces = 3;
  ctx.nLags = 50;
  AePars pars;
  pars.minStations = 2;
  const TemplateScan scan = BeginTemplateScan(tpl, pars, ctx);
  ASSERT_TRUE(scan.scanned);
  EXPECT_LE(scan.lagRange, 0);
}

TEST(WindowSizes, SinglePrecisionDivisionsGiveWholeWindows) {
  const WindowSizes w = ComputeWindowSizes(1.0f, 3.0f, 0.1f);
  EXPECT_EQ(w.winLen, 40);
  EXPECT_EQ(w.preLen, 10);
  EXPECT_EQ(w.len5, 50);
  EXPECT_EQ(w.len2, 20);
}

TEST(CrtRand, ReproducesTheClassicSequence) {
  ResetCrtRandForTesting();
  EXPECT_EQ(CrtRand(), 41);
  EXPECT_EQ(CrtRand(), 18467);
  EXPECT_EQ(CrtRand(), 6334);
  EXPECT_EQ(CrtRand(), 26500);
  ResetCrtRandForTesting();
}

TEST(SelectStations, LocationIndexBelowStationCountSelects) {
  XL_WaveData tpl;
  SetText(tpl.header.comments, "x=1 y=2 z=3 Mw=-1 M=6");
  const int loc[] = {5, 7, 0, -1};
  for (int i = 0; i < 4; ++i) {
    auto t = std::make_unique<XL_WaveTrace>(10);
    t->pickup[0] = 100 + 10 * i;
    SetText(t->note, StrPrintf("stuff loc_ind=%02d", loc[i]));
    tpl.AddTrace(std::move(t));
  }
  RunContext ctx;
  ctx.nTraces = 5;  // one more than the template has
  ctx.nLags = 1000;
  const StationSelection sel = SelectStations(tpl, AePars{}, ctx);
  EXPECT_EQ(sel.m, 6);
  EXPECT_EQ(sel.traceIndex, (std::vector<int32_t>{0, 2, 3}));
  EXPECT_EQ(sel.minPick, 100);
  EXPECT_EQ(sel.maxPick, 130);
  EXPECT_EQ(sel.locInd[1], 7);
  EXPECT_EQ(sel.locInd[4], 9999);
}

}  // namespace
}  // namespace qae
