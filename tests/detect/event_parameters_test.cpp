#include "detect/event_parameters.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>

namespace qae {
namespace {

CandidateEvent Row(double time, float cc, int tpl = 0) {
  CandidateEvent e;
  e.time = time;
  e.cc = cc;
  e.templateIndex = tpl;
  return e;
}

int Alive(const std::vector<CandidateEvent>& rows) {
  return static_cast<int>(std::count_if(rows.begin(), rows.end(),
                                        [](const CandidateEvent& e) { return e.templateIndex != -1; }));
}

TEST(RemoveDuplicateEvents, StrongerLaterRowReplacesRowZero) {
  std::vector<CandidateEvent> rows = {Row(0, 0.6f, 1), Row(100, 0.7f, 2)};
  EXPECT_EQ(RemoveDuplicateEvents(rows.data(), 2, 250.0f), 1);
  EXPECT_EQ(rows[0].cc, 0.7f);
  EXPECT_EQ(rows[0].templateIndex, 2);
  EXPECT_EQ(rows[1].templateIndex, -1);
}

// A weaker duplicate of row 0 must not survive beside it: the same event
// would be reported twice.
TEST(RemoveDuplicateEvents, WeakerDuplicateOfRowZeroIsRemoved) {
  std::vector<CandidateEvent> rows = {Row(0, 0.7f, 1), Row(100, 0.6f, 2)};
  EXPECT_EQ(RemoveDuplicateEvents(rows.data(), 2, 250.0f), 1);
  EXPECT_EQ(rows[0].cc, 0.7f);
  EXPECT_EQ(rows[0].templateIndex, 1);
  EXPECT_EQ(Alive(rows), 1);
}

TEST(RemoveDuplicateEvents, OneSurvivorPerGroupHoldingTheStrongest) {
  std::vector<CandidateEvent> rows = {Row(1000, 0.55f), Row(5000, 0.9f), Row(1100, 0.8f),
                                      Row(1200, 0.6f),  Row(5100, 0.9f), Row(9000, 0.7f)};
  const int removed = RemoveDuplicateEvents(rows.data(), 6, 250.0f);
  EXPECT_EQ(removed, 3);
  EXPECT_EQ(Alive(rows), 3);
  EXPECT_EQ(rows[0].cc, 0.8f);   // group at ~1000
  EXPECT_EQ(rows[0].time, 1100);
  EXPECT_EQ(rows[1].time, 5000);  // tie: the earlier row stays
  EXPECT_EQ(rows[5].cc, 0.7f);
  // No two survivors are closer than the window.
  for (std::size_t a = 0; a < rows.size(); ++a) {
    for (std::size_t b = a + 1; b < rows.size(); ++b) {
      if (rows[a].templateIndex != -1 && rows[b].templateIndex != -1) {
        EXPECT_GE(std::fabs(rows[a].time - rows[b].time), 250.0);
      }
    }
  }
}

TEST(RemoveDuplicateEvents, RowsFartherApartThanTheWindowStay) {
  std::vector<CandidateEvent> rows = {Row(0, 0.6f), Row(250, 0.7f)};
  EXPECT_EQ(RemoveDuplicateEvents(rows.data(), 2, 250.0f), 0);
}

TEST(Median, OddEvenAndUnusableRatios) {
  EXPECT_EQ(MedianRatio({4, 1, 10}), 4.0f);
  EXPECT_EQ(MedianRatio({1, 2, 3, 100}), 2.5f);
  EXPECT_EQ(MedianRatio({3}), 3.0f);
  EXPECT_EQ(MedianRatio({3, 5}), 4.0f);
  // Zero, infinite and NaN ratios (silent windows) are left out.
  EXPECT_EQ(MedianRatio({0.0f, 4, INFINITY, 1, 10, std::nanf("")}), 4.0f);
  EXPECT_TRUE(std::isnan(MedianRatio({0.0f, INFINITY})));
}

TEST(QCKSRT, SortsLikeTheStandardSort) {
  std::mt19937 rng(3);
  for (int n : {0, 1, 2, 6, 7, 8, 9, 50, 1000, 100000}) {
    std::vector<float> v(static_cast<std::size_t>(n));
    std::uniform_int_distribution<int> pick(0, 20);  // many equal values
    for (auto& x : v) x = static_cast<float>(pick(rng)) * 0.5f;
    auto expected = v;
    std::sort(expected.begin(), expected.end());
    QCKSRT(v.data(), n);
    EXPECT_EQ(v, expected) << n;
  }
  std::vector<float> sorted(5000);
  for (std::size_t i = 0; i < sorted.size(); ++i) sorted[i] = static_cast<float>(i);
  auto copy = sorted;
  QCKSRT(copy.data(), 5000);
  EXPECT_EQ(copy, sorted);
}

TEST(MeasurePeakAmplitude, FindsLargestSwingAfterThePick) {
  XL_WaveTrace t(40);
  t.samplingInterval = 0.1;
  for (int i = 0; i < 10; ++i) t.samples[static_cast<std::size_t>(i)] = (i % 2 ? 1.0f : -1.0f);
  t.samples[12] = -5.0f;
  t.samples[14] = 8.0f;
  t.samples[16] = -3.0f;
  const PeakAmplitude a = MeasurePeakAmplitude(t, 9);
  EXPECT_EQ(a.amplitude, 8.0);
  EXPECT_NEAR(a.timeToPeak, 0.5, 1e-12);
  EXPECT_EQ(t.ampPickup, 8.0);
}

TEST(MeasurePeakAmplitude, QuietTraceGivesTheSampleAfterThePick) {
  XL_WaveTrace t(40);
  for (int i = 0; i < 40; ++i) t.samples[static_cast<std::size_t>(i)] = i < 10 ? 5.0f : 0.5f;
  t.samples[10] = 0.25f;
  EXPECT_EQ(MeasurePeakAmplitude(t, 9).amplitude, 0.25);
  // A pick at the end of the trace has nothing after it.
  EXPECT_EQ(MeasurePeakAmplitude(t, 39).amplitude, 0.0);
  EXPECT_EQ(MeasurePeakAmplitude(t, 500).amplitude, 0.0);
}

// Picks saturated by station shifts beyond any trace (a half-width of 1e30
// in the parameter file) have nothing after them; the one past INT32_MAX
// must not wrap round to index 0.
TEST(MeasurePeakAmplitude, SaturatedPicksGiveNoAmplitude) {
  XL_WaveTrace t(40);
  for (int i = 0; i < 40; ++i) t.samples[static_cast<std::size_t>(i)] = 3.0f;
  t.ampPickup = 9.0;
  EXPECT_EQ(MeasurePeakAmplitude(t, INT32_MAX).amplitude, 0.0);
  EXPECT_EQ(t.ampPickup, 0.0);
  EXPECT_EQ(MeasurePeakAmplitude(t, INT32_MIN).amplitude, 0.0);
  EXPECT_EQ(MeasurePeakAmplitude(t, -1).amplitude, 0.0);
}

}  // namespace
}  // namespace qae
