#include "synth/ground_truth.h"

#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <string>

#include "support/test_paths.h"

namespace qae::synth {
namespace {

// The seven header lines a run writes before its first row.
constexpr char kTableHeader[] =
    "PSDATA02\n"
    "Detecte event\n"
    "SAMPLES 777\n"
    "AE#\tt0,us\tX,mm\tY,mm\tZ,mm\tMw\tCC\tSNR1\tSNR2\tdX,mm\tdY,mm\tdZ,mm\tdMw\t#_T\tMw_T\n"
    "1\t1\t1\t1\t1\t1\t1\t1\t1\t1\t1\t1\t1\t1\t1\n"
    "PLOT_TYPE: 1\t1\t1\t1\t1\t1\t1\t1\t1\t1\t1\t1\t1\t1\t1\n"
    "PLOT_XY: 1\t0\t0\t0\t0\t0\t0\t0\t0\t2\t2\t2\t0\t0\t0\n";

TruthRow Event(int ae, int index, double t0, double x, double y, double z, double mw, int tpl,
               double dx, double dy, double dz, Expectation expect = Expectation::kDetect) {
  TruthRow r;
  r.ae_number = ae;
  r.event = index;
  r.t0_us = t0;
  r.x_mm = x;
  r.y_mm = y;
  r.z_mm = z;
  r.mw = mw;
  r.template_ae = tpl;
  r.dx_mm = dx;
  r.dy_mm = dy;
  r.dz_mm = dz;
  r.expect = expect;
  return r;
}

TruthRow NoEvent(int ae, Expectation expect) {
  TruthRow r;
  r.ae_number = ae;
  r.expect = expect;
  return r;
}

// A truth with grid steps of 0.5 mm and 0.1 us samples: file 1 one event,
// file 2 two events, file 3 noise, 4 a template's number, 5 marked.
GroundTruth SmallTruth() {
  GroundTruth t;
  t.seed = 7;
  t.first_ae = 1;
  t.last_ae = 5;
  t.dt_us = 0.1;
  t.step_x_mm = t.step_y_mm = t.step_z_mm = 0.5;
  t.rows = {Event(1, 1, 100.0, 10.5, 20.0, 30.0, -7.5, 40, 0.5, 0.0, -1.0),
            Event(2, 1, 50.0, 11.0, 21.0, 31.0, -7.2, 40, 1.0, 1.0, 0.0),
            Event(2, 2, 300.0, 30.0, 20.0, 60.0, -7.9, 41, 0.0, -0.5, 1.5),
            NoEvent(3, Expectation::kNoEvent),
            NoEvent(4, Expectation::kTemplate),
            Event(5, 1, 80.0, 30.0, 20.0, 60.0, -7.9, 41, 0.0, 0.0, 0.0, Expectation::kMarked)};
  return t;
}

std::string Row(int ae, double t0, double x, double y, double z, double mw, double dx, double dy,
                double dz, int tpl, double cc = 0.95) {
  char line[512];
  std::snprintf(line, sizeof line,
                "%d\t%f\t%.4f\t%.4f\t%.4f\t%.2f\t%.4f\t%.2f\t%.2f\t%.2f\t%.2f\t%.2f\t%.2f\t%d\t%.2f\n",
                ae, t0, x, y, z, mw, cc, 9.0, 8.0, dx, dy, dz, 0.1, tpl, -7.4);
  return line;
}

TEST(GroundTruthTest, WriteThenReadGivesTheSameRowsAndSettings) {
  test::ScratchDir dir;
  const GroundTruth truth = SmallTruth();
  std::string error;
  ASSERT_TRUE(WriteGroundTruth(dir.File("gt.tsv"), truth, &error)) << error;
  GroundTruth back;
  ASSERT_TRUE(ReadGroundTruth(dir.File("gt.tsv"), &back, &error)) << error;
  EXPECT_EQ(back.seed, 7u);
  EXPECT_EQ(back.first_ae, 1);
  EXPECT_EQ(back.last_ae, 5);
  EXPECT_DOUBLE_EQ(back.dt_us, 0.1);
  EXPECT_DOUBLE_EQ(back.step_z_mm, 0.5);
  ASSERT_EQ(back.rows.size(), truth.rows.size());
  for (std::size_t i = 0; i < truth.rows.size(); ++i) {
    const TruthRow& a = truth.rows[i];
    const TruthRow& b = back.rows[i];
    EXPECT_EQ(b.ae_number, a.ae_number);
    EXPECT_EQ(b.event, a.event);
    EXPECT_EQ(b.expect, a.expect);
    EXPECT_NEAR(b.t0_us, a.t0_us, 1e-9);
    EXPECT_NEAR(b.x_mm, a.x_mm, 1e-9);
    EXPECT_NEAR(b.mw, a.mw, 1e-9);
    EXPECT_EQ(b.template_ae, a.template_ae);
    EXPECT_NEAR(b.dz_mm, a.dz_mm, 1e-9);
  }
}

TEST(GroundTruthTest, MalformedRowIsRefusedWithItsLine) {
  test::ScratchDir dir;
  std::ofstream(dir.File("gt.tsv"), std::ios::binary)
      << "# seed=1\nAE#\tevent\n1\t1\t2.0\t1\t2\t3\t-7\t5\t0\t0\t0\tdetect\n"
      << "2\t1\t2.0\t1\t2\t3\t-7\t5\t0\t0\t0\tmaybe\n";
  GroundTruth back;
  std::string error;
  EXPECT_FALSE(ReadGroundTruth(dir.File("gt.tsv"), &back, &error));
  EXPECT_NE(error.find(":4:"), std::string::npos) << error;
  EXPECT_FALSE(ReadGroundTruth(dir.File("absent.tsv"), &back, &error));
}

TEST(GroundTruthTest, TableHeaderLineOfOnesIsNotARow) {
  int bad = -1;
  const std::vector<DetectionRow> rows = ParseDetectionTable(
      std::string(kTableHeader) + Row(1, 100.0, 10.6, 20.1, 29.8, -7.48, 0.6, 0.1, -1.2, 40),
      &bad);
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(bad, 0);
  EXPECT_EQ(rows[0].ae_number, 1);
  EXPECT_DOUBLE_EQ(rows[0].t0_us, 100.0);
  EXPECT_EQ(rows[0].template_ae, 40);
  EXPECT_DOUBLE_EQ(rows[0].mw_template, -7.4);
}

TEST(GroundTruthTest, DamagedLinesAfterTheHeaderAreCounted) {
  // A second process's header in the middle is damage too: the header is
  // to be written once.
  const std::string text = std::string(kTableHeader) +
                           Row(1, 100.0, 10.6, 20.1, 29.8, -7.48, 0.6, 0.1, -1.2, 40) +
                           "1\t100.0\t1\t2\n" + kTableHeader +
                           Row(2, 50.0, 11, 21, 31, -7.2, 1, 1, 0, 40);
  int bad = 0;
  const std::vector<DetectionRow> rows = ParseDetectionTable(text, &bad);
  EXPECT_EQ(rows.size(), 2u);
  EXPECT_EQ(bad, 8);
}

TEST(GroundTruthTest, NotANumberMagnitudeParsesAndFailsTheMark) {
  std::string row = Row(1, 100.0, 10.5, 20.0, 30.0, 0.0, 0.5, 0.0, -1.0, 40);
  row.replace(row.find("0.00\t0.9500"), 4, "nan");
  const std::vector<DetectionRow> rows = ParseDetectionTable(std::string(kTableHeader) + row);
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_TRUE(std::isnan(rows[0].mw));
  const Comparison c = CompareWithGroundTruth(SmallTruth(), rows);
  EXPECT_EQ(c.found, 1);
  EXPECT_EQ(c.within_mw, 0);
  EXPECT_TRUE(std::isnan(c.max_abs_mw_error));
}

TEST(GroundTruthTest, PerfectTableFindsEveryEventOnce) {
  const std::string text = std::string(kTableHeader) +
                           Row(2, 300.0, 30.0, 20.0, 60.0, -7.9, 0.0, -0.5, 1.5, 41) +
                           Row(1, 100.0, 10.5, 20.0, 30.0, -7.5, 0.5, 0.0, -1.0, 40) +
                           Row(2, 50.0, 11.0, 21.0, 31.0, -7.2, 1.0, 1.0, 0.0, 40);
  const Comparison c = CompareWithGroundTruth(SmallTruth(), ParseDetectionTable(text));
  EXPECT_EQ(c.expected, 3);
  EXPECT_EQ(c.found, 3);
  EXPECT_EQ(c.missed + c.duplicates + c.spurious + c.in_skipped_files, 0);
  EXPECT_TRUE(c.AllPass()) << FormatComparison(c, SmallTruth());
  // File 2's events are paired by time, not by table order.
  EXPECT_EQ(c.events[1].detection.t0_us, 50.0);
  EXPECT_EQ(c.events[1].record_row, 1);
  EXPECT_EQ(c.events[2].detection.t0_us, 300.0);
  EXPECT_EQ(c.events[2].record_row, 0);
}

TEST(GroundTruthTest, DuplicatesSpuriousSkippedAndMissedAreTold) {
  const std::string text =
      std::string(kTableHeader) + Row(1, 100.0, 10.5, 20.0, 30.0, -7.5, 0.5, 0.0, -1.0, 40) +
      Row(1, 100.3, 10.5, 20.0, 30.0, -7.5, 0.5, 0.0, -1.0, 41, 0.7) +  // same event again
      Row(1, 250.0, 10.5, 20.0, 30.0, -7.5, 0.5, 0.0, -1.0, 40) +       // nothing there
      Row(3, 120.0, 1, 2, 3, -8.0, 0, 0, 0, 40) +                        // noise-only file
      Row(4, 10.0, 1, 2, 3, -7.0, 0, 0, 0, 40) +                         // template's number
      Row(5, 80.0, 30.0, 20.0, 60.0, -7.9, 0, 0, 0, 41);                 // marked record
  const Comparison c = CompareWithGroundTruth(SmallTruth(), ParseDetectionTable(text));
  EXPECT_EQ(c.found, 1);
  EXPECT_EQ(c.missed, 2);
  EXPECT_EQ(c.duplicates, 1);
  EXPECT_EQ(c.spurious, 2);
  EXPECT_EQ(c.in_skipped_files, 2);
  EXPECT_FALSE(c.AllPass());
  // The better-timed detection is the match, the other the duplicate.
  EXPECT_EQ(c.events[0].detection.template_ae, 40);
  const std::string text_out = FormatComparison(c, SmallTruth());
  EXPECT_NE(text_out.find("missed: AE# 2 event 1"), std::string::npos) << text_out;
  EXPECT_NE(text_out.find("in a file the run must skip"), std::string::npos) << text_out;
}

TEST(GroundTruthTest, ErrorsAndPassMarksOfAFoundEvent) {
  GroundTruth truth = SmallTruth();
  truth.rows.resize(1);  // event (10.5, 20, 30) at offset (0.5, 0, -1), grid step 0.5
  auto compare_one = [&truth](const std::string& row) {
    return CompareWithGroundTruth(truth, ParseDetectionTable(std::string(kTableHeader) + row));
  };

  // Dithered inside the true cell: x off by 0.24 (< half a step), t0 two
  // samples late, Mw 0.1 high: every mark passes, at the edge.
  Comparison c = compare_one(Row(1, 100.2, 10.74, 20.0, 30.0, -7.4, 0.74, 0.0, -1.0, 40));
  ASSERT_EQ(c.found, 1);
  EXPECT_NEAR(c.events[0].error_x_mm, 0.24, 1e-9);
  EXPECT_NEAR(c.events[0].position_error_mm, 0.24, 1e-9);
  EXPECT_NEAR(c.events[0].t0_error_us, 0.2, 1e-6);
  EXPECT_NEAR(c.events[0].mw_error, 0.1, 1e-9);
  EXPECT_TRUE(c.events[0].grid_index_exact);
  EXPECT_TRUE(c.events[0].within_step);
  EXPECT_TRUE(c.events[0].within_time);
  EXPECT_TRUE(c.events[0].within_mw);
  EXPECT_TRUE(c.AllPass());

  // One cell off in z, but within a step: the cell is wrong, the step mark
  // holds; three samples late fails the time mark.
  c = compare_one(Row(1, 100.3, 10.5, 20.0, 29.6, -7.5, 0.5, 0.0, -1.4, 40));
  EXPECT_FALSE(c.events[0].grid_index_exact);
  EXPECT_TRUE(c.events[0].within_step);
  EXPECT_FALSE(c.events[0].within_time);
  EXPECT_FALSE(c.AllPass());

  // More than a step off in y, found by another template.
  c = compare_one(Row(1, 100.0, 10.5, 20.6, 30.0, -7.5, 0.5, 0.6, -1.0, 41));
  EXPECT_FALSE(c.events[0].within_step);
  EXPECT_FALSE(c.events[0].right_template);
  EXPECT_FALSE(c.events[0].grid_index_exact);

  // Beyond the match window in time it is not this event at all.
  c = compare_one(Row(1, 111.0, 10.5, 20.0, 30.0, -7.5, 0.5, 0.0, -1.0, 40));
  EXPECT_EQ(c.found, 0);
  EXPECT_EQ(c.spurious, 1);
}

}  // namespace
}  // namespace qae::synth
