#include "synth/ground_truth.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>
#include <string_view>

#include "util/path.h"
#include "util/text.h"

namespace qae::synth {

namespace {

constexpr char kHeader[] =
    "AE#\tevent\tt0_us\tx_mm\ty_mm\tz_mm\tMw\ttemplate_AE#\tdX_mm\tdY_mm\tdZ_mm\texpect";

// Result tables are small; a larger file is not one.
constexpr std::size_t kMaxTableBytes = std::size_t{1} << 28;

std::string_view TrimLineEnd(std::string_view line) {
  while (!line.empty() && (line.back() == '\r' || line.back() == '\n')) line.remove_suffix(1);
  return line;
}

// The whole field as a number (strtod syntax, "nan" and "inf" included).
bool ParseDouble(std::string_view field, double* value) {
  if (field.empty() || field.size() > 64) return false;
  const std::string text(field);
  char* end = nullptr;
  errno = 0;
  const double v = std::strtod(text.c_str(), &end);
  if (end != text.c_str() + text.size()) return false;
  *value = v;
  return true;
}

bool ParseInt(std::string_view field, int* value) {
  if (field.empty() || field.size() > 16) return false;
  const std::string text(field);
  char* end = nullptr;
  errno = 0;
  const long v = std::strtol(text.c_str(), &end, 10);
  if (end != text.c_str() + text.size() || errno == ERANGE || v < INT32_MIN || v > INT32_MAX) {
    return false;
  }
  *value = static_cast<int>(v);
  return true;
}

// "-" stands for no value.
bool ParseOptionalDouble(std::string_view field, double* value) {
  if (field == "-") {
    *value = 0.0;
    return true;
  }
  return ParseDouble(field, value);
}

bool ParseOptionalInt(std::string_view field, int* value) {
  if (field == "-") {
    *value = 0;
    return true;
  }
  return ParseInt(field, value);
}

// Reads "key=value" pairs of a settings remark.
void ParseSettings(std::string_view line, GroundTruth* truth) {
  std::istringstream in{std::string(line)};
  std::string word;
  while (in >> word) {
    const std::size_t eq = word.find('=');
    if (eq == std::string::npos) continue;
    const std::string key = word.substr(0, eq);
    const std::string value = word.substr(eq + 1);
    double v = 0.0;
    if (!ParseDouble(value, &v)) continue;
    if (key == "seed") truth->seed = static_cast<unsigned>(v);
    if (key == "first") truth->first_ae = static_cast<int>(v);
    if (key == "last") truth->last_ae = static_cast<int>(v);
    if (key == "dt_us") truth->dt_us = v;
    if (key == "step_x_mm") truth->step_x_mm = v;
    if (key == "step_y_mm") truth->step_y_mm = v;
    if (key == "step_z_mm") truth->step_z_mm = v;
  }
}

std::optional<DetectionRow> ParseDetectionLine(std::string_view line) {
  const std::vector<std::string_view> f = SplitTabs(TrimLineEnd(line));
  if (f.size() != 15) return std::nullopt;
  DetectionRow r;
  double* doubles[] = {&r.t0_us, &r.x_mm, &r.y_mm,  &r.z_mm,  &r.mw,    &r.cc,
                       &r.snr1,  &r.snr2, &r.dx_mm, &r.dy_mm, &r.dz_mm, &r.dmw};
  // The header's line of fifteen 1s has the shape of a row; a row's t0 is
  // written with a decimal point ("%f"), the header's is not.
  if (f[1].find('.') == std::string_view::npos && f[1].find_first_of("nNiI") == std::string_view::npos) {
    return std::nullopt;
  }
  if (!ParseInt(f[0], &r.ae_number) || !ParseInt(f[13], &r.template_ae) ||
      !ParseDouble(f[14], &r.mw_template)) {
    return std::nullopt;
  }
  for (std::size_t i = 0; i < 12; ++i) {
    if (!ParseDouble(f[i + 1], doubles[i])) return std::nullopt;
  }
  return r;
}

// Offsets are reported in grid-step units plus a dither of less than half a
// step either way; floor(v + 0.5) takes them back to the step index.
int StepIndex(double offset_mm, double step_mm) {
  if (!(step_mm > 0.0) || !std::isfinite(offset_mm)) return 0;
  return static_cast<int>(std::floor(offset_mm / step_mm + 0.5));
}

}  // namespace

const char* ExpectationName(Expectation e) {
  switch (e) {
    case Expectation::kDetect: return "detect";
    case Expectation::kNoEvent: return "no_event";
    case Expectation::kMissing: return "missing";
    case Expectation::kTemplate: return "template";
    case Expectation::kMarked: return "marked";
    case Expectation::kWellLocated: return "well_located";
  }
  return "detect";
}

bool ParseExpectation(const std::string& name, Expectation* e) {
  for (Expectation c : {Expectation::kDetect, Expectation::kNoEvent, Expectation::kMissing,
                        Expectation::kTemplate, Expectation::kMarked, Expectation::kWellLocated}) {
    if (name == ExpectationName(c)) {
      *e = c;
      return true;
    }
  }
  return false;
}

bool WriteGroundTruth(const std::string& path, const GroundTruth& truth, std::string* error) {
  std::string text;
  text += "# Ground truth of a synthetic acoustic-emission experiment (mm, us).\n";
  text += "# t0_us: lag of the template window at the event times the sample interval.\n";
  text += StrPrintf("# seed=%u first=%d last=%d dt_us=%.6g step_x_mm=%.9g step_y_mm=%.9g "
                    "step_z_mm=%.9g\n",
                    truth.seed, truth.first_ae, truth.last_ae, truth.dt_us, truth.step_x_mm,
                    truth.step_y_mm, truth.step_z_mm);
  text += kHeader;
  text += '\n';
  for (const TruthRow& r : truth.rows) {
    if (r.HasEvent()) {
      text += StrPrintf("%d\t%d\t%.4f\t%.4f\t%.4f\t%.4f\t%.3f\t%d\t%.4f\t%.4f\t%.4f\t%s\n",
                        r.ae_number, r.event, r.t0_us, r.x_mm, r.y_mm, r.z_mm, r.mw,
                        r.template_ae, r.dx_mm, r.dy_mm, r.dz_mm, ExpectationName(r.expect));
    } else {
      text += StrPrintf("%d\t0\t-\t-\t-\t-\t-\t-\t-\t-\t-\t%s\n", r.ae_number,
                        ExpectationName(r.expect));
    }
  }
  std::ofstream out(PathOf(path), std::ios::binary | std::ios::trunc);
  out << text;
  out.flush();
  if (!out) {
    if (error) *error = "cannot write " + path;
    return false;
  }
  return true;
}

bool ReadGroundTruth(const std::string& path, GroundTruth* truth, std::string* error) {
  std::ifstream in(PathOf(path), std::ios::binary);
  if (!in) {
    if (error) *error = "cannot open " + path;
    return false;
  }
  *truth = GroundTruth();
  std::string line;
  int line_no = 0;
  bool header_seen = false;
  while (std::getline(in, line)) {
    ++line_no;
    if (line.size() > 4096) {
      if (error) *error = StrPrintf("%s:%d: line too long", path.c_str(), line_no);
      return false;
    }
    const std::string_view l = TrimLineEnd(line);
    if (l.empty()) continue;
    if (l.front() == '#') {
      ParseSettings(l.substr(1), truth);
      continue;
    }
    if (!header_seen) {
      header_seen = true;
      if (l.substr(0, 3) == "AE#") continue;
    }
    const std::vector<std::string_view> f = SplitTabs(l);
    TruthRow r;
    const bool ok = f.size() == 12 && ParseInt(f[0], &r.ae_number) && ParseInt(f[1], &r.event) &&
                    ParseOptionalDouble(f[2], &r.t0_us) && ParseOptionalDouble(f[3], &r.x_mm) &&
                    ParseOptionalDouble(f[4], &r.y_mm) && ParseOptionalDouble(f[5], &r.z_mm) &&
                    ParseOptionalDouble(f[6], &r.mw) && ParseOptionalInt(f[7], &r.template_ae) &&
                    ParseOptionalDouble(f[8], &r.dx_mm) && ParseOptionalDouble(f[9], &r.dy_mm) &&
                    ParseOptionalDouble(f[10], &r.dz_mm) &&
                    ParseExpectation(std::string(f[11]), &r.expect) && r.event >= 0;
    if (!ok) {
      if (error) *error = StrPrintf("%s:%d: not a ground-truth row", path.c_str(), line_no);
      return false;
    }
    truth->rows.push_back(r);
  }
  return true;
}

std::vector<DetectionRow> ParseDetectionTable(const std::string& text, int* bad_lines) {
  std::vector<DetectionRow> rows;
  int bad = 0;
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    const std::string_view line(text.data() + start, end - start);
    start = end + 1;
    if (TrimLineEnd(line).empty()) continue;
    if (const auto row = ParseDetectionLine(line)) {
      rows.push_back(*row);
    } else if (!rows.empty()) {
      ++bad;  // the header lines come first; anything later should be a row
    }
  }
  if (bad_lines) *bad_lines = bad;
  return rows;
}

bool ReadDetectionTable(const std::string& path, std::vector<DetectionRow>* rows, int* bad_lines,
                        std::string* error) {
  std::ifstream in(PathOf(path), std::ios::binary);
  if (!in) {
    if (error) *error = "cannot open " + path;
    return false;
  }
  std::string text;
  char buffer[65536];
  while (in.read(buffer, sizeof buffer) || in.gcount() > 0) {
    text.append(buffer, static_cast<std::size_t>(in.gcount()));
    if (text.size() > kMaxTableBytes) {
      if (error) *error = path + ": too large for a result table";
      return false;
    }
  }
  *rows = ParseDetectionTable(text, bad_lines);
  return true;
}

bool Comparison::AllPass() const {
  return missed == 0 && duplicates == 0 && spurious == 0 && in_skipped_files == 0 &&
         found == expected && within_step == found && within_time == found &&
         within_mw == found;
}

Comparison CompareWithGroundTruth(const GroundTruth& truth, const std::vector<DetectionRow>& rows,
                                  const CompareOptions& options) {
  Comparison c;
  const double time_tol_us = options.time_tolerance_samples * truth.dt_us;
  // Allow for float formatting of the table's values.
  constexpr double kSlack = 1e-6;

  std::map<int, std::vector<std::size_t>> truth_by_file;   // expected events
  std::map<int, Expectation> skipped_files;
  for (std::size_t i = 0; i < truth.rows.size(); ++i) {
    const TruthRow& r = truth.rows[i];
    if (r.expect == Expectation::kDetect) {
      truth_by_file[r.ae_number].push_back(i);
      EventResult e;
      e.truth = r;
      c.events.push_back(e);
    } else if (r.expect != Expectation::kNoEvent) {
      skipped_files[r.ae_number] = r.expect;
    }
  }
  // Index of each expected event in c.events, by truth row.
  std::map<std::size_t, std::size_t> result_of;
  {
    std::size_t k = 0;
    for (std::size_t i = 0; i < truth.rows.size(); ++i) {
      if (truth.rows[i].expect == Expectation::kDetect) result_of[i] = k++;
    }
  }
  c.expected = static_cast<int>(c.events.size());

  std::map<int, std::vector<std::size_t>> rows_by_file;
  for (std::size_t j = 0; j < rows.size(); ++j) rows_by_file[rows[j].ae_number].push_back(j);

  for (const auto& [ae, det_indices] : rows_by_file) {
    if (skipped_files.count(ae) != 0) {
      for (std::size_t j : det_indices) {
        c.false_detections.push_back({rows[j], FalseKind::kSkippedFile});
        ++c.in_skipped_files;
      }
      continue;
    }
    const auto t_it = truth_by_file.find(ae);
    std::vector<std::size_t> events =
        t_it == truth_by_file.end() ? std::vector<std::size_t>() : t_it->second;

    // Candidate pairs, closest in time first.
    struct Pair {
      double dt;
      std::size_t truth_row;
      std::size_t det;
    };
    std::vector<Pair> pairs;
    for (std::size_t ti : events) {
      for (std::size_t j : det_indices) {
        const double d = std::fabs(rows[j].t0_us - truth.rows[ti].t0_us);
        if (d <= options.match_window_us) pairs.push_back({d, ti, j});
      }
    }
    std::stable_sort(pairs.begin(), pairs.end(),
                     [](const Pair& a, const Pair& b) { return a.dt < b.dt; });
    std::map<std::size_t, bool> truth_used;
    std::map<std::size_t, bool> det_used;
    for (const Pair& p : pairs) {
      if (truth_used[p.truth_row] || det_used[p.det]) continue;
      truth_used[p.truth_row] = true;
      det_used[p.det] = true;
      EventResult& e = c.events[result_of[p.truth_row]];
      const DetectionRow& d = rows[p.det];
      e.found = true;
      e.detection = d;
      e.error_x_mm = d.x_mm - e.truth.x_mm;
      e.error_y_mm = d.y_mm - e.truth.y_mm;
      e.error_z_mm = d.z_mm - e.truth.z_mm;
      e.position_error_mm = std::sqrt(e.error_x_mm * e.error_x_mm + e.error_y_mm * e.error_y_mm +
                                      e.error_z_mm * e.error_z_mm);
      e.t0_error_us = d.t0_us - e.truth.t0_us;
      e.mw_error = d.mw - e.truth.mw;
      e.right_template = d.template_ae == e.truth.template_ae;
      e.record_row = static_cast<int>(
          std::find(det_indices.begin(), det_indices.end(), p.det) - det_indices.begin());
      e.grid_index_exact = e.right_template &&
                           StepIndex(d.dx_mm, truth.step_x_mm) ==
                               StepIndex(e.truth.dx_mm, truth.step_x_mm) &&
                           StepIndex(d.dy_mm, truth.step_y_mm) ==
                               StepIndex(e.truth.dy_mm, truth.step_y_mm) &&
                           StepIndex(d.dz_mm, truth.step_z_mm) ==
                               StepIndex(e.truth.dz_mm, truth.step_z_mm);
      e.within_step = std::fabs(e.error_x_mm) <= truth.step_x_mm + kSlack &&
                      std::fabs(e.error_y_mm) <= truth.step_y_mm + kSlack &&
                      std::fabs(e.error_z_mm) <= truth.step_z_mm + kSlack;
      e.within_time = std::fabs(e.t0_error_us) <= time_tol_us + kSlack;
      e.within_mw = std::fabs(e.mw_error) <= options.mw_tolerance + kSlack;
    }
    // A detection left over is a duplicate when it lies near an event that
    // another detection already took, else an event that is not there.
    for (std::size_t j : det_indices) {
      if (det_used[j]) continue;
      bool near_event = false;
      for (std::size_t ti : events) {
        if (std::fabs(rows[j].t0_us - truth.rows[ti].t0_us) <= options.match_window_us) {
          near_event = true;
        }
      }
      if (near_event) {
        c.false_detections.push_back({rows[j], FalseKind::kDuplicate});
        ++c.duplicates;
      } else {
        c.false_detections.push_back({rows[j], FalseKind::kNoEventHere});
        ++c.spurious;
      }
    }
  }

  double sum_pos = 0.0;
  double sum_t0 = 0.0;
  double sum_mw = 0.0;
  for (const EventResult& e : c.events) {
    if (!e.found) {
      ++c.missed;
      continue;
    }
    ++c.found;
    c.within_step += e.within_step ? 1 : 0;
    c.grid_index_exact += e.grid_index_exact ? 1 : 0;
    c.within_time += e.within_time ? 1 : 0;
    c.within_mw += e.within_mw ? 1 : 0;
    c.right_template += e.right_template ? 1 : 0;
    sum_pos += e.position_error_mm;
    sum_t0 += std::fabs(e.t0_error_us);
    sum_mw += std::fabs(e.mw_error);
    // NaN errors (a magnitude the run could not measure) must show in the
    // maxima, which std::max would drop.
    auto worse = [](double current, double value) {
      return std::isnan(value) || std::isnan(current) ? NAN : std::max(current, value);
    };
    c.max_position_error_mm = worse(c.max_position_error_mm, e.position_error_mm);
    c.max_abs_t0_error_us = worse(c.max_abs_t0_error_us, std::fabs(e.t0_error_us));
    c.max_abs_mw_error = worse(c.max_abs_mw_error, std::fabs(e.mw_error));
  }
  if (c.found > 0) {
    c.mean_position_error_mm = sum_pos / c.found;
    c.mean_abs_t0_error_us = sum_t0 / c.found;
    c.mean_abs_mw_error = sum_mw / c.found;
  }
  return c;
}

std::string FormatComparison(const Comparison& c, const GroundTruth& truth) {
  std::string s;
  s += StrPrintf("events: %d expected, %d found, %d missed; false detections: %d spurious, "
                 "%d duplicate, %d in files the run must skip\n",
                 c.expected, c.found, c.missed, c.spurious, c.duplicates, c.in_skipped_files);
  if (c.found > 0) {
    s += StrPrintf("position error: mean %.3f mm, max %.3f mm; within one grid step "
                   "(%.3g/%.3g/%.3g mm) on every axis: %d/%d; grid cell exact: %d/%d\n",
                   c.mean_position_error_mm, c.max_position_error_mm, truth.step_x_mm,
                   truth.step_y_mm, truth.step_z_mm, c.within_step, c.found,
                   c.grid_index_exact, c.found);
    s += StrPrintf("origin time error: mean %.3f us, max %.3f us (%.3g samples); within 2 "
                   "samples: %d/%d\n",
                   c.mean_abs_t0_error_us, c.max_abs_t0_error_us,
                   truth.dt_us > 0 ? c.max_abs_t0_error_us / truth.dt_us : 0.0, c.within_time,
                   c.found);
    s += StrPrintf("Mw error: mean %.3f, max %.3f; within 0.1: %d/%d; right template: %d/%d\n",
                   c.mean_abs_mw_error, c.max_abs_mw_error, c.within_mw, c.found,
                   c.right_template, c.found);
  }
  for (const EventResult& e : c.events) {
    if (!e.found) {
      s += StrPrintf("  missed: AE# %d event %d (t0 %.1f us, template %d, Mw %.2f)\n",
                     e.truth.ae_number, e.truth.event, e.truth.t0_us, e.truth.template_ae,
                     e.truth.mw);
    } else if (!(e.within_step && e.within_time && e.within_mw)) {
      s += StrPrintf("  off: AE# %d event %d: position %.3f mm (%.3f, %.3f, %.3f), t0 %+.3f us, "
                     "Mw %+.3f, CC %.3f, template %d%s%s\n",
                     e.truth.ae_number, e.truth.event, e.position_error_mm, e.error_x_mm,
                     e.error_y_mm, e.error_z_mm, e.t0_error_us, e.mw_error, e.detection.cc,
                     e.detection.template_ae, e.right_template ? "" : " (wrong template)",
                     e.record_row > 0 ? StrPrintf(" (row %d of its record)", e.record_row + 1).c_str()
                                      : "");
    }
  }
  for (const FalseDetection& f : c.false_detections) {
    const char* why = f.kind == FalseKind::kDuplicate   ? "duplicate"
                      : f.kind == FalseKind::kSkippedFile ? "in a file the run must skip"
                                                          : "no event there";
    s += StrPrintf("  false: AE# %d t0 %.1f us CC %.3f template %d (%s)\n", f.detection.ae_number,
                   f.detection.t0_us, f.detection.cc, f.detection.template_ae, why);
  }
  return s;
}

}  // namespace qae::synth
