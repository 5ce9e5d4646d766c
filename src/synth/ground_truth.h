// The known answer of a synthetic experiment and the comparison of a run's
// result table with it.
//
// Ground-truth table (tab-separated text): lines starting with '#' are
// remarks, except "# key=value ..." lines that carry the experiment's
// settings (seed, AE range, sample interval, grid steps); one header line
// naming the columns; then one row per injected event, and one row per
// event file that must yield no detection:
//
//   AE#  event  t0_us  x_mm  y_mm  z_mm  Mw  template_AE#  dX_mm  dY_mm  dZ_mm  expect
//
// `event` numbers the events of one file from 1 (0 for a file without
// event); `expect` says what the run must do with the file: "detect", or
// the reason it must report nothing: "no_event" (noise only), "missing" (no
// file), "template" (the number of a template), "marked" (detected by an
// earlier run), "well_located". Numbers of rows without an event are "-".
//
// t0_us follows the scan's convention: the correlation lag of the peak times
// the sample interval, where lag 0 aligns the template's window (which starts
// preWin before each pick) with the record segment that starts at the
// template pick minus the template's earliest pick. For a repeat whose origin
// lies D samples after the template's origin, t0 = (D + minPick - preLen) dt.
#pragma once

#include <string>
#include <vector>

namespace qae::synth {

enum class Expectation { kDetect, kNoEvent, kMissing, kTemplate, kMarked, kWellLocated };

const char* ExpectationName(Expectation e);
// false for an unknown name.
bool ParseExpectation(const std::string& name, Expectation* e);

struct TruthRow {
  int ae_number = 0;
  int event = 0;             // 1-based within its file; 0: none
  double t0_us = 0.0;
  double x_mm = 0.0;
  double y_mm = 0.0;
  double z_mm = 0.0;
  double mw = 0.0;
  int template_ae = 0;
  double dx_mm = 0.0;
  double dy_mm = 0.0;
  double dz_mm = 0.0;
  Expectation expect = Expectation::kDetect;
  bool HasEvent() const { return event > 0; }
};

struct GroundTruth {
  unsigned seed = 0;
  int first_ae = 0;          // the AE range a run should scan
  int last_ae = 0;
  double dt_us = 0.1;
  double step_x_mm = 0.0;    // grid step of the run's offset search
  double step_y_mm = 0.0;
  double step_z_mm = 0.0;
  std::vector<TruthRow> rows;
};

bool WriteGroundTruth(const std::string& path, const GroundTruth& truth, std::string* error);
// Fails (with the line number in `error`) on a row that does not parse.
bool ReadGroundTruth(const std::string& path, GroundTruth* truth, std::string* error);

// One data row of a result table: the fifteen columns in order.
struct DetectionRow {
  int ae_number = 0;
  double t0_us = 0.0;
  double x_mm = 0.0;
  double y_mm = 0.0;
  double z_mm = 0.0;
  double mw = 0.0;
  double cc = 0.0;
  double snr1 = 0.0;
  double snr2 = 0.0;
  double dx_mm = 0.0;
  double dy_mm = 0.0;
  double dz_mm = 0.0;
  double dmw = 0.0;
  int template_ae = 0;
  double mw_template = 0.0;
};

// Parses the text of a result table: the header lines (those that are not
// fifteen tab-separated numbers with integer first and fourteenth columns)
// are passed over; `bad_lines` (if not null) counts lines after the header
// that are not rows, which a sound table never has.
std::vector<DetectionRow> ParseDetectionTable(const std::string& text, int* bad_lines = nullptr);
// Reads and parses the file; false when it cannot be read.
bool ReadDetectionTable(const std::string& path, std::vector<DetectionRow>* rows,
                        int* bad_lines, std::string* error);

struct CompareOptions {
  // A detection in the right file whose t0 is within this of an expected
  // event's is taken to be that event.
  double match_window_us = 10.0;
  // Pass marks of a found event.
  double time_tolerance_samples = 2.0;
  double mw_tolerance = 0.1;
};

struct EventResult {
  TruthRow truth;
  bool found = false;
  DetectionRow detection;    // valid when found
  double position_error_mm = 0.0;   // Euclidean
  double error_x_mm = 0.0;          // detected minus true
  double error_y_mm = 0.0;
  double error_z_mm = 0.0;
  double t0_error_us = 0.0;
  double mw_error = 0.0;
  bool right_template = false;
  // Order of the matched detection among its file's rows in the table (0:
  // the file's first row). A run measures the magnitudes of later rows on
  // the record's unfiltered samples, which this tells apart.
  int record_row = 0;
  bool grid_index_exact = false;    // offsets fall in the true grid cell
  bool within_step = false;         // every axis within one grid step
  bool within_time = false;
  bool within_mw = false;
};

// Why a detection counts as false.
enum class FalseKind { kNoEventHere, kDuplicate, kSkippedFile };

struct FalseDetection {
  DetectionRow detection;
  FalseKind kind = FalseKind::kNoEventHere;
};

struct Comparison {
  int expected = 0;          // events that must be detected
  int found = 0;
  int missed = 0;
  int duplicates = 0;        // further detections of a found event
  int spurious = 0;          // detections where no event is, outside skipped files
  int in_skipped_files = 0;  // detections in files the run must skip
  int within_step = 0;
  int grid_index_exact = 0;
  int within_time = 0;
  int within_mw = 0;
  int right_template = 0;
  double mean_position_error_mm = 0.0;
  double max_position_error_mm = 0.0;
  double mean_abs_t0_error_us = 0.0;
  double max_abs_t0_error_us = 0.0;
  double mean_abs_mw_error = 0.0;
  double max_abs_mw_error = 0.0;
  std::vector<EventResult> events;        // one per expected event, in truth order
  std::vector<FalseDetection> false_detections;

  // Every expected event found once, nothing else detected, and every found
  // event within the pass marks.
  bool AllPass() const;
};

// Matches the detections to the truth file by file: within a file, pairs in
// order of increasing |t0 difference| (within the match window); each event
// and each detection is used once.
Comparison CompareWithGroundTruth(const GroundTruth& truth, const std::vector<DetectionRow>& rows,
                                  const CompareOptions& options = CompareOptions());

// A few lines for a person: counts, error statistics, then one line per
// missed event and per false detection.
std::string FormatComparison(const Comparison& c, const GroundTruth& truth);

}  // namespace qae::synth
