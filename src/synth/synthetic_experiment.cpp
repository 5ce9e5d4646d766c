#include "synth/synthetic_experiment.h"

#include "synth/seeded_random.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <memory>
#include <numbers>
#include <random>
#include <string_view>
#include <system_error>

#include "detect/run_context.h"
#include "dsp/calendar.h"
#include "dsp/iir_filter.h"
#include "util/path.h"
#include "util/text.h"
#include "wave/formats/seg2_writer.h"
#include "wave/wave_data.h"

namespace qae::synth {

namespace {

namespace fs = std::filesystem;

// Amplitude model: a template of magnitude kMwReference peaks at about
// kAmplitudeAt10mm counts 10 mm from its source; amplitude scales with
// 10^(Mw - kMwReference) and falls off as 1/distance (spherical spreading),
// held constant inside kNearFieldMm where the far-field law does not hold.
constexpr double kMwReference = -7.5;
constexpr double kAmplitudeAt10mm = 3000.0;
constexpr double kNearFieldMm = 10.0;

constexpr int kReflections = 3;
// Samples kept clear at the start of a record and after an event's last
// arrival (its coda and reflections).
constexpr int kLeadSamples = 150;
constexpr int kTailSamples = 300;
// The parameter file is read in lines of at most 255 characters.
constexpr std::size_t kMaxParLine = 255;

// ---- deterministic random numbers ----------------------------------------


// Stream tags, so that each purpose draws from its own sequence and, for
// instance, the noise of one file does not depend on how many files came
// before it.
enum StreamTag : uint32_t { kGeometryStream = 1, kEventStream = 2, kNoiseStream = 3 };

// ---- model ---------------------------------------------------------------

struct Reflection {
  double delay_us = 0.0;
  double amplitude = 0.0;
};

// What the ray path and the sensor do to the source wavelet at one station;
// a repeat of the event sees the same.
struct StationPath {
  double gain = 1.0;  // radiation pattern times sensor coupling
  std::array<Reflection, kReflections> reflections{};
};

// How a repeat's waveform at one station differs from its template's: the
// record holds main_gain * w(t) + deriv_gain * w'(t) + extra_gain * q(t),
// where w is the template's station waveform and q a wavelet of its own.
// The gains are chosen so that, over the matching window of the band-passed
// samples the scan correlates, the difference is
// orthogonal to w and to w': it lowers the correlation with the template
// (real repeats correlate well below 1) without moving its peak, which a
// component along w' would do, and without scaling the amplitude, which a
// component along w would do.
struct Perturbation {
  double main_gain = 1.0;
  double deriv_gain = 0.0;
  double extra_gain = 0.0;
  double f0_mhz = 0.5;
  double delay_us = 0.0;
  double phase = 0.0;
};

struct TemplateModel {
  TemplateInfo info;
  double pos[3] = {0, 0, 0};
  double f0_mhz = 0.5;
  double tau_us = 0.35;
  int origin_sample = 0;
  std::vector<StationPath> paths;  // per sensor
  std::vector<int> pick;           // per sensor
  std::vector<int> loc_ind;        // per sensor
  int max_arrival = 0;             // latest pick over all sensors
  int lag_lo = 0;                  // lags at which a repeat fits the record
  int lag_hi = 0;
};

struct EventSpec {
  int template_index = 0;
  int grid[3] = {0, 0, 0};
  double offset[3] = {0, 0, 0};
  double dmw = 0.0;
  int lag = 0;  // the scan's lag of the repeat
  std::vector<Perturbation> perturbation;  // per sensor
};

enum class FileKind { kSingle, kDouble, kMany, kNoise, kMissing, kTemplate, kMarked, kWellLocated };

struct FilePlan {
  FileKind kind = FileKind::kSingle;
  int ae_number = 0;
  int template_index = -1;  // kTemplate: which template's recording
  std::vector<EventSpec> events;
  bool low_m_comment = false;  // ordinary event with an "M=" below wellLocatedM
};

struct Model {
  SyntheticOptions opt;
  std::vector<std::array<double, 3>> sensors;
  std::vector<TemplateModel> templates;
  WindowSizes win;
  float step[3] = {0, 0, 0};
  int n_lags = 0;
};

double Envelope(double t_us, double tau_us) {
  if (t_us <= 0.0) return 0.0;
  const double r = t_us / tau_us;
  return 0.25 * r * r * std::exp(2.0 - r);
}

double Distance(const double (&a)[3], const std::array<double, 3>& b) {
  const double dx = b[0] - a[0];
  const double dy = b[1] - a[1];
  const double dz = b[2] - a[2];
  return std::sqrt(dx * dx + dy * dy + dz * dz);
}

double TravelTime(const Model& m, const double (&source)[3], int sensor) {
  const auto& s = m.sensors[static_cast<std::size_t>(sensor)];
  const double receiver[3] = {s[0], s[1], s[2]};
  return TravelTimeUs(source, receiver, m.opt.vel_x, m.opt.vel_y, m.opt.vel_z);
}

// The waveform of a template at one station, peak about 1, onset at 0.
double StationWaveform(const TemplateModel& t, const StationPath& path, double t_us) {
  double v = SourceWavelet(t_us, t.f0_mhz, t.tau_us);
  for (const Reflection& r : path.reflections) {
    v += r.amplitude * SourceWavelet(t_us - r.delay_us, t.f0_mhz, t.tau_us);
  }
  return v;
}

// Its time derivative (per us), by a central difference far below the
// sample interval.
double StationWaveformSlope(const TemplateModel& t, const StationPath& path, double t_us) {
  constexpr double kH = 1e-4;
  return (StationWaveform(t, path, t_us + kH) - StationWaveform(t, path, t_us - kH)) / (2 * kH);
}

double ExtraWavelet(const TemplateModel& t, const Perturbation& p, double t_us) {
  const double tp = t_us - p.delay_us;
  return Envelope(tp, t.tau_us) * std::sin(2.0 * std::numbers::pi * p.f0_mhz * tp + p.phase);
}

// Fills the gains of `p` (its wavelet already drawn) so that the difference
// from the template carries `energy_ratio` times the waveform's energy in
// the scan's matching window and is orthogonal there to the waveform and to
// its slope. The inner products are taken on the samples the scan sees:
// band-pass filtered as the run filters them (filtering is linear, so the
// filtered sum is the sum of the filtered parts) and cut to the window of
// win_len samples that starts pre_len samples before the pick.
//
// Returns the part of q's energy left after the projection. When q is
// nearly a combination of the waveform and its slope in the window, little
// is left, and the large gain needed would make a difference that cancels
// only inside the filter band: such a q is to be drawn again.
double FitPerturbation(const Model& m, const TemplateModel& t, const StationPath& path,
                       double energy_ratio, Perturbation* p) {
  const double dt = m.opt.dt_us;
  constexpr int kLead = 400;  // the filter settles from rest before the onset
  const int n = kLead + m.win.winLen + 64;
  XL_WaveData parts;
  for (int c = 0; c < 3; ++c) {
    auto trace = std::make_unique<XL_WaveTrace>(n);
    trace->samplingInterval = dt;
    for (int k = 0; k < n; ++k) {
      const double tu = (k - kLead) * dt;
      const double v = c == 0   ? StationWaveform(t, path, tu)
                       : c == 1 ? StationWaveformSlope(t, path, tu)
                                : ExtraWavelet(t, *p, tu);
      trace->samples[static_cast<std::size_t>(k)] = static_cast<float>(v);
    }
    parts.AddTrace(std::move(trace));
  }
  if (m.opt.f_low_mhz < m.opt.f_high_mhz) {
    FilterRecordBandpass(parts, m.opt.f_low_mhz, m.opt.f_high_mhz);
  }
  double ww = 0, wd = 0, dd = 0, qw = 0, qd = 0, qq = 0;
  for (int k = kLead - m.win.preLen; k < kLead - m.win.preLen + m.win.winLen; ++k) {
    const auto uk = static_cast<std::size_t>(k);
    const double w = parts.Trace(0).samples[uk];
    const double d = parts.Trace(1).samples[uk];
    const double q = parts.Trace(2).samples[uk];
    ww += w * w;
    wd += w * d;
    dd += d * d;
    qw += q * w;
    qd += q * d;
    qq += q * q;
  }
  const double det = ww * dd - wd * wd;
  double a = 0.0;
  double b = 0.0;
  if (det > 1e-12 * ww * dd) {
    a = (qw * dd - qd * wd) / det;
    b = (qd * ww - qw * wd) / det;
  }
  // Energy of the residual q - a w - b w'.
  const double rr = qq - a * qw - b * qd;
  const double s = rr > 1e-9 * qq && ww > 0.0 ? std::sqrt(energy_ratio * ww / rr) : 0.0;
  p->extra_gain = s;
  p->main_gain = 1.0 - s * a;
  p->deriv_gain = -s * b;
  return qq > 0.0 ? rr / qq : 0.0;
}

// Where the wavelet is not negligible, relative to its onset.
double WaveletSpanUs(const TemplateModel& t) {
  double span = 0.0;
  for (const StationPath& p : t.paths) {
    for (const Reflection& r : p.reflections) span = std::max(span, r.delay_us);
  }
  return span + 30.0 * t.tau_us;
}

// Adds one event to `acc` (one row per sensor): the template's station
// waveforms at amplitude for `mw` and the source at `pos`, each starting at
// its travel time after `origin_sample`.
void AddEvent(const Model& m, const TemplateModel& t, const double (&pos)[3], double mw,
              double origin_sample, const std::vector<Perturbation>* perturbation,
              std::vector<std::vector<double>>& acc) {
  const double dt = m.opt.dt_us;
  const double span = WaveletSpanUs(t);
  const int n = m.opt.n_samples;
  for (int i = 0; i < m.opt.n_sensors; ++i) {
    const auto ui = static_cast<std::size_t>(i);
    const StationPath& path = t.paths[ui];
    const double distance = std::max(Distance(pos, m.sensors[ui]), kNearFieldMm);
    const double amplitude = kAmplitudeAt10mm * std::pow(10.0, mw - kMwReference) *
                             (kNearFieldMm / distance) * path.gain;
    const double onset = origin_sample + TravelTime(m, pos, i) / dt;
    const int first = std::max(0, static_cast<int>(std::ceil(onset)));
    const int last = std::min(n - 1, static_cast<int>(std::floor(onset + span / dt)));
    const Perturbation* p = perturbation ? &(*perturbation)[ui] : nullptr;
    std::vector<double>& row = acc[ui];
    for (int k = first; k <= last; ++k) {
      const double tu = (k - onset) * dt;
      double v = StationWaveform(t, path, tu);
      if (p) {
        v = p->main_gain * v + p->deriv_gain * StationWaveformSlope(t, path, tu) +
            p->extra_gain * ExtraWavelet(t, *p, tu);
      }
      row[static_cast<std::size_t>(k)] += amplitude * v;
    }
  }
}

// ---- files ---------------------------------------------------------------

std::string WithSlash(std::string path) {
  if (path.empty() || path.back() != '/') path += '/';
  return path;
}

// The record's start: a fixed day, one record every 7 s or so by AE number.
void SetRecordTime(XL_WaveData& record, int ae_number) {
  const int64_t second_of_day = 10 * 3600 + static_cast<int64_t>(ae_number) * 7 % 40000;
  const int hour = static_cast<int>(second_of_day / 3600);
  const int minute = static_cast<int>(second_of_day / 60 % 60);
  const int second = static_cast<int>(second_of_day % 60);
  SetText(record.header.acquisitionDate, "2024/05/14");
  SetText(record.header.acquisitionTime, StrPrintf("%02d:%02d:%02d", hour, minute, second));
  record.header.timeSec = static_cast<int32_t>(second_of_day);
  record.header.timeUsec = 0;
  const double jd = JulianDay(2024, 5, 14, hour, minute, static_cast<float>(second), 0.0f);
  for (auto& t : record.traces) t->timeBegin = jd;
}

// A record of n_sensors traces of `acc` plus Gaussian noise, as 16-bit
// counts (the usual acquisition format, and the one the run rewrites
// unchanged).
std::unique_ptr<XL_WaveData> MakeRecord(const Model& m, const std::vector<std::vector<double>>& acc,
                                        uint32_t kind, uint32_t number) {
  Rng noise({m.opt.seed, kNoiseStream, kind, number});
  auto record = std::make_unique<XL_WaveData>();
  for (int i = 0; i < m.opt.n_sensors; ++i) {
    auto trace = std::make_unique<XL_WaveTrace>(m.opt.n_samples);
    const auto& s = m.sensors[static_cast<std::size_t>(i)];
    trace->receiverLocation[0] = s[0];
    trace->receiverLocation[1] = s[1];
    trace->receiverLocation[2] = s[2];
    trace->samplingInterval = m.opt.dt_us;
    trace->descalingFactor = 1.0;
    trace->channelNumber = static_cast<int16_t>(i + 1);
    SetText(trace->lineId, StrPrintf("S%02d:AEZ", i + 1));
    SetText(trace->channelCode, "AEZ");
    const std::vector<double>& row = acc[static_cast<std::size_t>(i)];
    for (int k = 0; k < m.opt.n_samples; ++k) {
      const double v = row[static_cast<std::size_t>(k)] + m.opt.noise_counts * noise.Gauss();
      trace->samples[static_cast<std::size_t>(k)] =
          static_cast<float>(std::clamp(std::nearbyint(v), -32768.0, 32767.0));
    }
    record->AddTrace(std::move(trace));
  }
  SetText(record->header.traceSort, "AS_ACQUIRED");
  return record;
}

std::vector<std::vector<double>> EmptyAcc(const Model& m) {
  return std::vector<std::vector<double>>(
      static_cast<std::size_t>(m.opt.n_sensors),
      std::vector<double>(static_cast<std::size_t>(m.opt.n_samples), 0.0));
}

bool WriteRecord(const std::string& path, XL_WaveData& record, std::string* error) {
  std::string why;
  if (WriteSeg2(path, record, 0, 0, 1, &why) != 1) {
    if (error) *error = "cannot write " + path + ": " + why;
    return false;
  }
  return true;
}

// Characters the parameter file cannot carry inside a quoted path, or that
// would make the run read the path as something else.
bool UsablePath(const std::string& path, std::string* why) {
  for (unsigned char c : path) {
    if (c < 32 || c == '"' || c == '<') {
      *why = "it contains a control character, a double quote or '<'";
      return false;
    }
  }
  if (path.find(".lng") != std::string::npos) {
    *why = "it contains \".lng\", which makes a run read the data path as a continuous recording";
    return false;
  }
  if (path.find("http") != std::string::npos || path.find("ftp://") != std::string::npos) {
    *why = "it contains \"http\" or \"ftp://\", which makes a run open the parameter file as a URL";
    return false;
  }
  return true;
}

bool IsExperimentFile(const fs::path& p) {
  const std::string name = PathText(p.filename());
  const std::string ext = PathText(p.extension());
  return ext == ".sg2" || ext == ".sacs" || name == "ML_detect.ps0" ||
         (name.rfind("Log_", 0) == 0 && ext == ".txt");
}

// Earlier experiment files in the three subdirectories: refused, or removed
// when overwriting.
bool ClearOrRefuse(const std::vector<std::string>& dirs, bool overwrite, std::string* error) {
  for (const std::string& d : dirs) {
    std::error_code ec;
    if (!fs::exists(PathOf(d), ec)) continue;
    for (fs::directory_iterator it(PathOf(d), ec), end; !ec && it != end; it.increment(ec)) {
      if (!it->is_regular_file(ec) || !IsExperimentFile(it->path())) continue;
      if (!overwrite) {
        if (error) {
          *error = d + " already holds " + PathText(it->path().filename()) +
                   " (use --overwrite to replace an earlier experiment)";
        }
        return false;
      }
      fs::remove(it->path(), ec);
      if (ec) {
        if (error) *error = "cannot remove " + PathText(it->path()) + ": " + ec.message();
        return false;
      }
    }
    if (ec) {
      if (error) *error = "cannot list " + d + ": " + ec.message();
      return false;
    }
  }
  return true;
}

std::string FloatText(double v) { return StrPrintf("%.6g", v); }

std::string ParameterFileText(const Model& m, const SyntheticExperiment& e) {
  const SyntheticOptions& o = m.opt;
  std::string s;
  s += "! Quorvex_AE detection parameters of a synthetic AE experiment";
  s += StrPrintf(" (seed %u, %d sensors, %d templates).\n", o.seed, o.n_sensors, o.n_templates);
  s += "! One value per line, after its '='; the order of the lines is what counts.\n";
  s += "! Positions in mm, times in us, frequencies in MHz.\n";
  s += "!\n! P velocity (ellipsoidal), mm/us\n";
  s += "velX along X = " + FloatText(o.vel_x) + "\n";
  s += "velY along Y = " + FloatText(o.vel_y) + "\n";
  s += "velZ along Z = " + FloatText(o.vel_z) + "\n";
  s += "reserved1 = 0.3\n";
  s += "! matching window around each pick, us\n";
  s += "preWin before the pick = " + FloatText(o.pre_win_us) + "\n";
  s += "postWin after the pick = " + FloatText(o.post_win_us) + "\n";
  s += "dupWin: detections closer in time are one event, us = " + FloatText(o.dup_win_us) + "\n";
  s += "reserved2 = 0.0\n";
  s += "reserved3 = 0.3\n";
  s += "! band-pass corners, MHz\n";
  s += "fLow = " + FloatText(o.f_low_mhz) + "\n";
  s += "fHigh = " + FloatText(o.f_high_mhz) + "\n";
  s += "reserved4 = 0.9\n";
  s += "! detection thresholds\n";
  s += "ccMin: minimum stacked correlation = " + FloatText(o.cc_min) + "\n";
  s += "snrMin: minimum signal-to-noise ratio of the correlation peak = " +
       FloatText(o.snr_min) + "\n";
  s += "! offset search around each template, mm, and steps per half-width\n";
  s += "gridHalfX = " + FloatText(o.grid_half_mm) + "\n";
  s += "gridHalfY = " + FloatText(o.grid_half_mm) + "\n";
  s += "gridHalfZ = " + FloatText(o.grid_half_mm) + "\n";
  s += StrPrintf("gridStepsX = %d\n", o.grid_steps);
  s += StrPrintf("gridStepsY = %d\n", o.grid_steps);
  s += StrPrintf("gridStepsZ = %d\n", o.grid_steps);
  s += "! directories (prefixes ending with '/')\n";
  s += "templateDir = \"" + e.template_dir + "\"\n";
  s += "dataPath = \"" + e.data_dir + "\"\n";
  s += "outDir = \"" + e.out_dir + "\"\n";
  s += "maxTemplates = 1000   iTS=-1 iTE=-1\n";
  s += "reserved5 = 1000\n";
  s += StrPrintf("outLevel = %d\n", o.out_level);
  s += StrPrintf("wellLocatedM: records located with this many stations are skipped = %d\n",
                 o.well_located_m);
  s += "! rescan records detected before (1) or skip them (0)\n";
  s += "all = 0\n";
  s += "mean = 0\n";
  s += "[END]\n";
  return s;
}

// ---- experiment construction ----------------------------------------------

void PlaceSensors(Model& m, Rng& rng) {
  const SyntheticOptions& o = m.opt;
  const double size[3] = {o.size_x_mm, o.size_y_mm, o.size_z_mm};
  // Two sensors on the end faces when there are enough to spare, the rest in
  // a staggered helix over the four side faces, so that every direction is
  // seen from several sides.
  const int n_end = o.n_sensors >= 10 ? 2 : 0;
  const int n_side = o.n_sensors - n_end;
  for (int j = 0; j < n_side; ++j) {
    const int face = j % 4;
    const double along = 0.3 + 0.4 * ((j / 4) % 2) + rng.Uniform(-0.06, 0.06);
    const double height = 0.1 + 0.8 * (j + 0.5) / n_side + rng.Uniform(-0.02, 0.02);
    std::array<double, 3> s{};
    s[2] = height * size[2];
    switch (face) {
      case 0: s = {0.0, along * size[1], s[2]}; break;
      case 1: s = {along * size[0], 0.0, s[2]}; break;
      case 2: s = {size[0], (1.0 - along) * size[1], s[2]}; break;
      default: s = {(1.0 - along) * size[0], size[1], s[2]}; break;
    }
    m.sensors.push_back(s);
  }
  if (n_end == 2) {
    m.sensors.push_back({0.35 * size[0], 0.6 * size[1], 0.0});
    m.sensors.push_back({0.65 * size[0], 0.4 * size[1], size[2]});
  }
  for (auto& s : m.sensors) {
    for (double& c : s) c = std::round(c * 10.0) / 10.0;  // as measured, to 0.1 mm
  }
}

void MakeTemplates(Model& m, Rng& rng) {
  const SyntheticOptions& o = m.opt;
  const double size[3] = {o.size_x_mm, o.size_y_mm, o.size_z_mm};
  const double margin = std::max(8.0, o.grid_half_mm + 6.0);
  // Templates far enough apart that one does not match another's repeats.
  const double min_separation = 15.0;
  for (int j = 0; j < o.n_templates; ++j) {
    TemplateModel t;
    double best[3] = {0, 0, 0};
    double best_gap = -1.0;
    for (int attempt = 0; attempt < 200; ++attempt) {
      double p[3];
      for (int a = 0; a < 3; ++a) {
        p[a] = std::round(rng.Uniform(margin, size[a] - margin) * 1000.0) / 1000.0;
      }
      double gap = 1e30;
      for (const TemplateModel& other : m.templates) {
        const std::array<double, 3> q = {other.pos[0], other.pos[1], other.pos[2]};
        gap = std::min(gap, Distance(p, q));
      }
      if (gap > best_gap) {
        best_gap = gap;
        std::copy(p, p + 3, best);
      }
      if (gap >= min_separation) break;
    }
    std::copy(best, best + 3, t.pos);
    t.info.x_mm = t.pos[0];
    t.info.y_mm = t.pos[1];
    t.info.z_mm = t.pos[2];
    t.info.mw = std::round(rng.Uniform(-7.8, -7.2) * 100.0) / 100.0;
    t.f0_mhz = rng.Uniform(0.42, 0.58);
    t.tau_us = rng.Uniform(0.32, 0.42);
    t.origin_sample = rng.UniformInt(300, 500);

    const int n = o.n_sensors;
    // The first template was located with every station, others with one or
    // two fewer, so that station selection by location index is exercised.
    const int dropped = j == 0 ? 0 : rng.UniformInt(0, std::min(2, n - 4));
    t.info.m = n - dropped;

    for (int i = 0; i < n; ++i) {
      StationPath path;
      const double coupling = 0.8 + 0.4 * ((i * 7919) % 101) / 100.0;
      path.gain = coupling * rng.Uniform(0.45, 1.0);
      for (Reflection& r : path.reflections) {
        r.delay_us = rng.Uniform(4.0, 15.0);
        r.amplitude = (rng.Uniform() < 0.5 ? -1.0 : 1.0) * rng.Uniform(0.1, 0.35);
      }
      t.paths.push_back(path);
      const double onset = t.origin_sample + TravelTime(m, t.pos, i) / o.dt_us;
      t.pick.push_back(static_cast<int>(std::floor(onset + 0.5)));
    }
    // Location index: rank of the station by its pick.
    std::vector<int> order(static_cast<std::size_t>(n));
    for (int i = 0; i < n; ++i) order[static_cast<std::size_t>(i)] = i;
    std::stable_sort(order.begin(), order.end(), [&](int a, int b) {
      return t.pick[static_cast<std::size_t>(a)] < t.pick[static_cast<std::size_t>(b)];
    });
    t.loc_ind.assign(static_cast<std::size_t>(n), 0);
    for (int r = 0; r < n; ++r) t.loc_ind[static_cast<std::size_t>(order[static_cast<std::size_t>(r)])] = r;

    t.info.min_pick = m.n_lags;
    t.info.max_pick = 0;
    t.max_arrival = 0;
    for (int i = 0; i < n; ++i) {
      const int p = t.pick[static_cast<std::size_t>(i)];
      t.max_arrival = std::max(t.max_arrival, p);
      if (t.loc_ind[static_cast<std::size_t>(i)] < t.info.m) {
        t.info.min_pick = std::min(t.info.min_pick, p);
        t.info.max_pick = std::max(t.info.max_pick, p);
      }
    }
    // A repeat at lag L has its origin at L + origin - minPick + preLen, so
    // its onsets run from L + preLen to L + preLen + (max_arrival - minPick).
    // Keep its correlation peak inside the scanned lags with room for the
    // noise windows, and its waveform inside the record (the offset moves
    // onsets by a few samples at most).
    const int lag_range = m.n_lags - (t.info.max_pick - t.info.min_pick);
    const int scan_range = lag_range - m.win.winLen;
    const int shift_room = static_cast<int>(std::ceil(
        2.0 * std::sqrt(3.0) * o.grid_half_mm /
        std::min({o.vel_x, o.vel_y, o.vel_z}) / o.dt_us));
    t.lag_lo = kLeadSamples;
    t.lag_hi = std::min(scan_range - kLeadSamples,
                        o.n_samples - kTailSamples - shift_room - m.win.preLen -
                            (t.max_arrival - t.info.min_pick));
    m.templates.push_back(std::move(t));
  }
}

EventSpec DrawEvent(const Model& m, Rng& rng, int template_index) {
  EventSpec e;
  e.template_index = template_index;
  const int reach = std::max(0, m.opt.grid_steps - 1);
  for (int a = 0; a < 3; ++a) {
    e.grid[a] = rng.UniformInt(-reach, reach);
    e.offset[a] = static_cast<double>(static_cast<float>(e.grid[a]) * m.step[a]);
  }
  e.dmw = std::round(rng.Uniform(-0.4, 0.3) * 100.0) / 100.0;
  // Energy of the difference relative to the template's in the window: a
  // correlation of about 1/sqrt(1 + r), 0.93 to 0.97.
  const double strength = rng.Uniform(0.06, 0.14);
  const TemplateModel& t = m.templates[static_cast<std::size_t>(template_index)];
  for (int i = 0; i < m.opt.n_sensors; ++i) {
    Perturbation p;
    const double ratio = strength * rng.Uniform(0.8, 1.2);
    for (int attempt = 0; attempt < 20; ++attempt) {
      p.f0_mhz = rng.Uniform(0.35, 0.7);
      p.delay_us = rng.Uniform(0.8, 1.8);
      p.phase = rng.Uniform(0.0, 2.0 * std::numbers::pi);
      if (FitPerturbation(m, t, t.paths[static_cast<std::size_t>(i)], ratio, &p) >= 0.5) break;
      p = Perturbation();  // an exact repeat at this station if no draw fits
    }
    e.perturbation.push_back(p);
  }
  return e;
}

TruthRow TruthOf(const Model& m, const EventSpec& e, int ae_number, int index,
                 Expectation expect) {
  const TemplateModel& t = m.templates[static_cast<std::size_t>(e.template_index)];
  TruthRow r;
  r.ae_number = ae_number;
  r.event = index;
  r.t0_us = e.lag * m.opt.dt_us;
  r.x_mm = t.pos[0] + e.offset[0];
  r.y_mm = t.pos[1] + e.offset[1];
  r.z_mm = t.pos[2] + e.offset[2];
  r.mw = t.info.mw + e.dmw;
  r.template_ae = t.info.ae_number;
  r.dx_mm = e.offset[0];
  r.dy_mm = e.offset[1];
  r.dz_mm = e.offset[2];
  r.expect = expect;
  return r;
}

// Origin sample of a repeat that the scan finds at lag `lag`.
double OriginOf(const Model& m, const TemplateModel& t, int lag) {
  return lag + t.origin_sample - t.info.min_pick + m.win.preLen;
}

std::unique_ptr<XL_WaveData> TemplateRecord(const Model& m, const TemplateModel& t) {
  auto acc = EmptyAcc(m);
  AddEvent(m, t, t.pos, t.info.mw, t.origin_sample, nullptr, acc);
  auto record = MakeRecord(m, acc, 1, static_cast<uint32_t>(t.info.ae_number));
  for (int i = 0; i < m.opt.n_sensors; ++i) {
    XL_WaveTrace& tr = record->Trace(i);
    const auto ui = static_cast<std::size_t>(i);
    std::copy(t.pos, t.pos + 3, tr.sourceLocation);
    tr.pickup[0] = t.pick[ui];
    tr.pickup[1] = 0;
    SetText(tr.note, StrPrintf("loc_ind=%02d", t.loc_ind[ui]));
  }
  SetText(record->header.comments, StrPrintf("x=%.3f y=%.3f z=%.3f Mw=%.2f M=%d", t.pos[0],
                                             t.pos[1], t.pos[2], t.info.mw, t.info.m));
  SetRecordTime(*record, t.info.ae_number);
  return record;
}

std::unique_ptr<XL_WaveData> EventRecord(const Model& m, const FilePlan& f) {
  auto acc = EmptyAcc(m);
  for (const EventSpec& e : f.events) {
    const TemplateModel& t = m.templates[static_cast<std::size_t>(e.template_index)];
    const double pos[3] = {t.pos[0] + e.offset[0], t.pos[1] + e.offset[1],
                           t.pos[2] + e.offset[2]};
    AddEvent(m, t, pos, t.info.mw + e.dmw, OriginOf(m, t, e.lag), &e.perturbation, acc);
  }
  auto record = MakeRecord(m, acc, 2, static_cast<uint32_t>(f.ae_number));
  SetRecordTime(*record, f.ae_number);
  return record;
}

}  // namespace

double SourceWavelet(double t_us, double f0_mhz, double tau_us) {
  return Envelope(t_us, tau_us) * std::sin(2.0 * std::numbers::pi * f0_mhz * t_us);
}

double TravelTimeUs(const double (&source)[3], const double (&receiver)[3], float vel_x,
                    float vel_y, float vel_z) {
  const double d[3] = {receiver[0] - source[0], receiver[1] - source[1], receiver[2] - source[2]};
  const double distance = std::sqrt(d[0] * d[0] + d[1] * d[1] + d[2] * d[2]);
  if (distance == 0.0) return 0.0;
  const double vx = vel_x;
  const double vy = vel_y;
  const double vz = vel_z;
  const double v2 = (vx * vx * d[0] * d[0] + vy * vy * d[1] * d[1] + vz * vz * d[2] * d[2]) /
                    (distance * distance);
  return distance / std::sqrt(v2);
}

std::string DescribeExperiment(const SyntheticExperiment& e, const SyntheticOptions& o) {
  std::string s;
  s += StrPrintf("synthetic AE experiment in %s (seed %u)\n", e.dir.c_str(), o.seed);
  s += StrPrintf("  specimen %g x %g x %g mm, %d sensors, P velocity %g/%g/%g mm/us, "
                 "dt %g us, %d samples\n",
                 o.size_x_mm, o.size_y_mm, o.size_z_mm, o.n_sensors, static_cast<double>(o.vel_x),
                 static_cast<double>(o.vel_y), static_cast<double>(o.vel_z), o.dt_us,
                 o.n_samples);
  s += StrPrintf("  templates: %zu in %s, AE#", e.templates.size(), e.template_dir.c_str());
  for (const TemplateInfo& t : e.templates) s += StrPrintf(" %d", t.ae_number);
  s += "\n";
  int n_detect = 0;
  int n_double = 0;
  int counts[6] = {0, 0, 0, 0, 0, 0};
  for (const TruthRow& r : e.truth.rows) {
    ++counts[static_cast<int>(r.expect)];
    if (r.expect == Expectation::kDetect) {
      ++n_detect;
      if (r.event == 2) ++n_double;
    }
  }
  s += StrPrintf("  event files: AE# %d..%d in %s: %d events to detect (%d files with two), "
                 "%d noise only, %d missing, %d template numbers, %d marked detected, "
                 "%d well located\n",
                 e.truth.first_ae, e.truth.last_ae, e.data_dir.c_str(), n_detect, n_double,
                 counts[static_cast<int>(Expectation::kNoEvent)],
                 counts[static_cast<int>(Expectation::kMissing)],
                 counts[static_cast<int>(Expectation::kTemplate)],
                 counts[static_cast<int>(Expectation::kMarked)],
                 counts[static_cast<int>(Expectation::kWellLocated)]);
  s += StrPrintf("  search grid: +-%g mm in %d steps (step %g mm)\n",
                 static_cast<double>(o.grid_half_mm), o.grid_steps, e.truth.step_x_mm);
  s += StrPrintf("  parameter file: %s\n  ground truth:   %s\n", e.par_file.c_str(),
                 e.truth_file.c_str());
  s += StrPrintf("  run it with:    Quorvex_AE run %s %d,%d,+=0\n", e.par_file.c_str(),
                 e.truth.first_ae, e.truth.last_ae);
  return s;
}

bool ValidateSyntheticOptions(const SyntheticOptions& o, std::string* error) {
  auto fail = [&](const std::string& why) {
    if (error) *error = why;
    return false;
  };
  auto finite_positive = [](double v) { return std::isfinite(v) && v > 0.0; };
  if (o.n_sensors < 4 || o.n_sensors > kMaxStations) {
    return fail(StrPrintf("sensors must be 4 .. %d", kMaxStations));
  }
  if (o.n_templates < 1 || o.n_templates > 100) return fail("templates must be 1 .. 100");
  if (o.n_events < 1 || o.n_events > 1000) return fail("events must be 1 .. 1000");
  if (o.events_per_file < 0 || o.events_per_file > 1000) {
    return fail("events per file must be 0 .. 1000");
  }
  if (o.events_per_file != 1 && o.special_files) {
    return fail("events per file other than 1 needs the special files off");
  }
  if (o.event_spacing_samples < 1) return fail("event spacing must be at least 1 sample");
  if (o.n_samples < 1024 || o.n_samples > (1 << 20)) {
    return fail("samples must be 1024 .. 1048576");
  }
  if (!finite_positive(o.dt_us) || o.dt_us > 10.0) return fail("dt must be in (0, 10] us");
  if (!std::isfinite(o.noise_counts) || o.noise_counts < 0.0 || o.noise_counts > 3000.0) {
    return fail("noise must be 0 .. 3000 counts");
  }
  for (double s : {o.size_x_mm, o.size_y_mm, o.size_z_mm}) {
    if (!std::isfinite(s) || s < 30.0 || s > 10000.0) {
      return fail("specimen sides must be 30 .. 10000 mm");
    }
  }
  for (float v : {o.vel_x, o.vel_y, o.vel_z}) {
    if (!finite_positive(v) || v > 100.0f) return fail("velocities must be in (0, 100] mm/us");
  }
  if (!std::isfinite(o.grid_half_mm) || o.grid_half_mm < 0.0f ||
      o.grid_half_mm * 2.0f + 12.0f > static_cast<float>(std::min({o.size_x_mm, o.size_y_mm, o.size_z_mm}))) {
    return fail("grid half-width must be 0 or more and leave the specimen room");
  }
  if (o.grid_steps < 0 || o.grid_steps > 50) return fail("grid steps must be 0 .. 50");
  if (!finite_positive(o.pre_win_us) || !finite_positive(o.post_win_us) ||
      !finite_positive(o.dup_win_us)) {
    return fail("windows must be positive");
  }
  if (!(o.f_low_mhz >= 0.0f) || !(o.f_high_mhz > 0.0f) || !std::isfinite(o.f_high_mhz)) {
    return fail("filter corners must be finite and not negative");
  }
  if (!(o.cc_min > 0.0f && o.cc_min < 1.0f)) return fail("ccMin must be in (0, 1)");
  if (!(o.snr_min >= 0.0f) || !std::isfinite(o.snr_min)) return fail("snrMin must be 0 or more");
  if (o.well_located_m < 2 || o.well_located_m > 1000) {
    return fail("wellLocatedM must be 2 .. 1000");
  }
  if (o.out_level < 0 || o.out_level > 10) return fail("outLevel must be 0 .. 10");
  // The wavelet has to be sampled well: its band reaches about 1 MHz.
  if (o.dt_us > 0.25) return fail("dt must be 0.25 us or less for the 0.5 MHz wavelet");
  return true;
}

bool GenerateSyntheticExperiment(const std::string& dir, const SyntheticOptions& options,
                                 SyntheticExperiment* experiment, std::string* error) {
  auto fail = [&](const std::string& why) {
    if (error) *error = why;
    return false;
  };
  if (!ValidateSyntheticOptions(options, error)) return false;
  if (dir.empty()) return fail("no experiment directory given");

  std::error_code ec;
  const fs::path root = fs::absolute(PathOf(dir), ec).lexically_normal();
  if (ec) return fail("cannot resolve " + dir + ": " + ec.message());
  SyntheticExperiment e;
  e.dir = WithSlash(PathText(root));
  e.template_dir = e.dir + "templates/";
  e.data_dir = e.dir + "events/";
  e.out_dir = e.dir + "out/";
  e.par_file = e.dir + "ML_CC_AE_pars.txt";
  e.truth_file = e.dir + "ground_truth.tsv";
  {
    std::string why;
    if (!UsablePath(e.dir, &why)) return fail("cannot use " + e.dir + " for an experiment: " + why);
    // The longest parameter line is "dataPath = \"...\"" or the template
    // one; the run's log name adds about 30 characters to outDir.
    if (e.template_dir.size() + 20 > kMaxParLine || e.out_dir.size() + 40 > kMaxParLine) {
      return fail("the path " + e.dir + " is too long for a parameter file line");
    }
  }
  for (const std::string& d : {e.dir, e.template_dir, e.data_dir, e.out_dir}) {
    fs::create_directories(PathOf(d), ec);
    if (ec) return fail("cannot create " + d + ": " + ec.message());
  }
  if (!ClearOrRefuse({e.template_dir, e.data_dir, e.out_dir}, options.overwrite, error)) {
    return false;
  }
  if (fs::exists(PathOf(e.par_file), ec) && !options.overwrite) {
    return fail(e.par_file + " already exists (use --overwrite to replace an earlier experiment)");
  }

  Model m;
  m.opt = options;
  m.win = ComputeWindowSizes(options.pre_win_us, options.post_win_us,
                             static_cast<float>(options.dt_us));
  m.n_lags = options.n_samples - m.win.winLen - 1;
  for (int a = 0; a < 3; ++a) {
    m.step[a] = options.grid_steps > 0
                    ? options.grid_half_mm / static_cast<float>(options.grid_steps)
                    : 0.0f;
  }
  Rng geometry({options.seed, kGeometryStream});
  PlaceSensors(m, geometry);
  MakeTemplates(m, geometry);
  for (const TemplateModel& t : m.templates) {
    if (t.lag_hi < t.lag_lo + 10) {
      return fail(StrPrintf("%d samples are too few for the events of this specimen",
                            options.n_samples));
    }
  }

  // ---- file plan ----
  Rng rng({options.seed, kEventStream});
  const int lo = kLeadSamples;
  int hi = INT32_MAX;
  for (const TemplateModel& t : m.templates) hi = std::min(hi, t.lag_hi);
  const int gap = static_cast<int>(std::ceil(options.dup_win_us / options.dt_us)) + 200;
  const bool doubles_fit = hi - gap >= lo;

  std::vector<FilePlan> plan;
  auto add = [&plan](FileKind kind, int template_index = -1) {
    FilePlan f;
    f.kind = kind;
    f.template_index = template_index;
    plan.push_back(std::move(f));
  };
  int n_doubles = 0;
  if (options.special_files && doubles_fit && options.n_events >= 4) {
    n_doubles = std::max(1, options.n_events / 5);
  }
  const int n_singles = options.n_events - 2 * n_doubles;
  const FileKind plain_kind = options.events_per_file == 0   ? FileKind::kNoise
                              : options.events_per_file == 1 ? FileKind::kSingle
                                                             : FileKind::kMany;
  for (int i = 0; i < n_singles; ++i) add(plain_kind);
  for (int i = 0; i < n_doubles; ++i) add(FileKind::kDouble);
  if (options.special_files) {
    const int n_noise = std::max(1, options.n_events / 8);
    for (int i = 0; i < n_noise; ++i) add(FileKind::kNoise);
    add(FileKind::kMissing);
    add(FileKind::kMarked);
    add(FileKind::kWellLocated);
    for (int j = 0; j < options.n_templates; ++j) add(FileKind::kTemplate, j);
  }
  rng.Shuffle(plan);
  for (std::size_t k = 0; k < plan.size(); ++k) plan[k].ae_number = static_cast<int>(k) + 1;
  const int last_ae = static_cast<int>(plan.size());
  // Template numbers: their own recordings' places in the range, or the
  // numbers after it.
  {
    int next_outside = last_ae + 1;
    std::vector<int> numbers(static_cast<std::size_t>(options.n_templates), 0);
    for (const FilePlan& f : plan) {
      if (f.kind == FileKind::kTemplate) {
        numbers[static_cast<std::size_t>(f.template_index)] = f.ae_number;
      }
    }
    for (int j = 0; j < options.n_templates; ++j) {
      int& n = numbers[static_cast<std::size_t>(j)];
      if (n == 0) n = next_outside++;
      m.templates[static_cast<std::size_t>(j)].info.ae_number = n;
    }
  }

  // Events, templates used in turn so each is seen.
  int next_template = 0;
  auto next_event = [&]() {
    const int j = next_template;
    next_template = (next_template + 1) % options.n_templates;
    return DrawEvent(m, rng, j);
  };
  int single_count = 0;
  for (FilePlan& f : plan) {
    switch (f.kind) {
      case FileKind::kSingle:
      case FileKind::kMarked:
      case FileKind::kWellLocated: {
        EventSpec ev = next_event();
        const TemplateModel& t = m.templates[static_cast<std::size_t>(ev.template_index)];
        ev.lag = rng.UniformInt(lo, t.lag_hi);
        f.events.push_back(std::move(ev));
        if (f.kind == FileKind::kSingle) f.low_m_comment = (single_count++ % 4) == 1;
        break;
      }
      case FileKind::kMany: {
        int lag = lo;
        for (int k = 0; k < options.events_per_file; ++k, lag += options.event_spacing_samples) {
          EventSpec ev = next_event();
          if (lag > m.templates[static_cast<std::size_t>(ev.template_index)].lag_hi) break;
          ev.lag = lag;
          f.events.push_back(std::move(ev));
        }
        break;
      }
      case FileKind::kDouble: {
        EventSpec a = next_event();
        EventSpec b = next_event();
        const int hi_a = m.templates[static_cast<std::size_t>(a.template_index)].lag_hi;
        const int hi_b = m.templates[static_cast<std::size_t>(b.template_index)].lag_hi;
        a.lag = rng.UniformInt(lo, std::min(hi_a, hi_b - gap));
        b.lag = rng.UniformInt(a.lag + gap, hi_b);
        f.events.push_back(std::move(a));
        f.events.push_back(std::move(b));
        break;
      }
      default: break;
    }
  }

  // ---- files ----
  for (TemplateModel& t : m.templates) {
    t.info.path = e.template_dir + StrPrintf("%06d.sg2", t.info.ae_number);
    auto record = TemplateRecord(m, t);
    if (!WriteRecord(t.info.path, *record, error)) return false;
    e.templates.push_back(t.info);
  }
  GroundTruth& truth = e.truth;
  truth.seed = options.seed;
  truth.first_ae = 1;
  truth.last_ae = last_ae;
  truth.dt_us = options.dt_us;
  truth.step_x_mm = m.step[0];
  truth.step_y_mm = m.step[1];
  truth.step_z_mm = m.step[2];
  for (const FilePlan& f : plan) {
    const std::string path = e.data_dir + StrPrintf("%06d.sg2", f.ae_number);
    TruthRow none;
    none.ae_number = f.ae_number;
    switch (f.kind) {
      case FileKind::kMissing:
        none.expect = Expectation::kMissing;
        truth.rows.push_back(none);
        continue;
      case FileKind::kTemplate: {
        // The template's own recording, kept among the event files as in a
        // real campaign; a run must not match it with itself.
        none.expect = Expectation::kTemplate;
        truth.rows.push_back(none);
        std::error_code copy_ec;
        fs::copy_file(PathOf(m.templates[static_cast<std::size_t>(f.template_index)].info.path),
                      PathOf(path), fs::copy_options::overwrite_existing, copy_ec);
        if (copy_ec) return fail("cannot write " + path + ": " + copy_ec.message());
        ++e.n_files;
        continue;
      }
      default: break;
    }
    auto record = EventRecord(m, f);
    Expectation expect = Expectation::kDetect;
    if (f.kind == FileKind::kNoise) {
      none.expect = Expectation::kNoEvent;
      truth.rows.push_back(none);
    }
    if (f.kind == FileKind::kMarked) expect = Expectation::kMarked;
    if (f.kind == FileKind::kWellLocated) expect = Expectation::kWellLocated;
    for (std::size_t k = 0; k < f.events.size(); ++k) {
      truth.rows.push_back(
          TruthOf(m, f.events[k], f.ae_number, static_cast<int>(k) + 1, expect));
    }
    if (!f.events.empty()) {
      const TruthRow& r = truth.rows.back();
      const TemplateModel& t =
          m.templates[static_cast<std::size_t>(f.events.front().template_index)];
      if (f.kind == FileKind::kMarked) {
        // The line an earlier run leaves in a detected record.
        SetText(record->header.comments,
                StrPrintf("detected: AE#=%d, Mw=%.2f, x=%.3f, y=%.3f, z=%.3f, t0=%.3f, "
                          "CC=%4.2f, sn1=%.1f, sn2=%.1f, dX=%.2f, dY=%.2f, dZ=%.2f, dMw=%.2f, "
                          "M=%d, Tpl=%d(Mw%.2f)\n",
                          r.ae_number, r.mw, r.x_mm, r.y_mm, r.z_mm, r.t0_us, 0.91, 9.5, 8.7,
                          r.dx_mm, r.dy_mm, r.dz_mm, r.mw - t.info.mw, t.info.m,
                          t.info.ae_number, t.info.mw));
      } else if (f.kind == FileKind::kWellLocated) {
        SetText(record->header.comments,
                StrPrintf("x=%.3f y=%.3f z=%.3f Mw=%.2f M=%d", r.x_mm, r.y_mm, r.z_mm, r.mw,
                          options.well_located_m));
      } else if (f.low_m_comment) {
        // A location from too few stations to count: the record is scanned.
        SetText(record->header.comments,
                StrPrintf("x=%.3f y=%.3f z=%.3f Mw=%.2f M=%d", r.x_mm + 3.1, r.y_mm - 2.4,
                          r.z_mm + 4.2, r.mw, std::min(4, options.well_located_m - 1)));
      }
    }
    if (!WriteRecord(path, *record, error)) return false;
    ++e.n_files;
  }

  for (const auto& s : m.sensors) e.sensors_mm.push_back({s[0], s[1], s[2]});
  {
    const std::string text = ParameterFileText(m, e);
    std::ofstream out(PathOf(e.par_file), std::ios::binary | std::ios::trunc);
    out << text;
    out.flush();
    if (!out) return fail("cannot write " + e.par_file);
  }
  if (!WriteGroundTruth(e.truth_file, truth, error)) return false;
  if (experiment) *experiment = std::move(e);
  return true;
}

}  // namespace qae::synth
