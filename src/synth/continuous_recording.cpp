#include "synth/continuous_recording.h"

#include "synth/seeded_random.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <numbers>
#include <random>
#include <sstream>
#include <system_error>

#include "detect/continuous_driver.h"
#include "detect/run_context.h"
#include "dsp/calendar.h"
#include "util/byte_order.h"
#include "util/file_io.h"
#include "util/path.h"
#include "util/text.h"
#include "wave/formats/seg2_reader.h"
#include "wave/formats/seg2_writer.h"
#include "wave/wave_data.h"

namespace qae::synth {

namespace {

namespace fs = std::filesystem;

// Samples generated and written at a time, per trace.
constexpr int64_t kBlockSamples = 65536;
// Samples of each trace kept in the companion file.
constexpr int64_t kCompanionSamples = 1000;
// Margin between a segment's start and the earliest lag of an event in it,
// as the event files keep it.
constexpr int64_t kLeadLags = 150;
constexpr int64_t kSafety = 20;
// Time of the recording's first sample: 2024/05/14 10:00:00.
constexpr int32_t kStartSecondOfDay = 10 * 3600;
// Beyond this the recording would not be a test any more.
constexpr int64_t kMaxRecordingBytes = int64_t{1} << 36;

enum StreamTag : uint32_t { kPlacementStream = 11, kRecordingNoiseStream = 12 };


// An event file's noise-free samples and where they go in the stream.
struct PlacedRecord {
  int64_t paste_at = 0;                    // stream sample of the record's sample 0
  std::vector<std::vector<float>> traces;  // per sensor
};

// The lags of a segment at which an event of a template can be laid.
struct LagRange {
  int64_t lo = 0;
  int64_t hi = -1;
  bool empty() const { return hi < lo; }
};

struct Geometry {
  int64_t step = 0;    // L
  int64_t length = 0;  // S
  WindowSizes win;
  int64_t n_lags = 0;
  int64_t shift_room = 0;
};

// An event seen by segment k only: every onset of its selected stations
// lies past the end of segment k - 1 (which sees it L lags later), and its
// matching windows end before segment k + 1 starts.
LagRange OrdinaryLags(const Geometry& g, int64_t spread) {
  const int64_t scan_range = g.n_lags - spread - g.win.winLen;
  LagRange r;
  r.lo = std::max(kLeadLags, g.length - g.step - g.win.preLen + g.shift_room + kSafety);
  r.hi = std::min(scan_range - kLeadLags, g.step - spread - g.win.winLen - g.shift_room - kSafety);
  return r;
}

// An event seen by segments k and k + 1: at lag q in k + 1 and q + L in k,
// with all its matching windows inside the overlap.
LagRange OverlapLags(const Geometry& g, int64_t spread) {
  const int64_t scan_range = g.n_lags - spread - g.win.winLen;
  LagRange r;
  r.lo = kLeadLags;
  r.hi = std::min(scan_range - kLeadLags - g.step,
                  g.length - g.step - spread - g.win.winLen - g.shift_room - kSafety);
  return r;
}

bool Fail(std::string* error, const std::string& why) {
  if (error) *error = why;
  return false;
}

bool WriteBytes(const std::string& path, const std::vector<uint8_t>& bytes, std::string* error) {
  std::FILE* f = OpenStdioFile(path, "wb");
  if (f == nullptr) return Fail(error, "cannot create " + path);
  const bool ok = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
  return (std::fclose(f) == 0 && ok) || Fail(error, "cannot write " + path);
}

bool SameLengths(const std::vector<std::vector<int32_t>>& channels, std::string* error) {
  if (channels.empty()) return Fail(error, "no channel to write");
  for (const auto& c : channels) {
    if (c.size() != channels.front().size()) return Fail(error, "channels of different lengths");
  }
  return true;
}

uint16_t Int16Bits(int32_t v) {
  return static_cast<uint16_t>(static_cast<int16_t>(std::clamp(v, -32768, 32767)));
}

void PutSample(std::vector<uint8_t>& out, int32_t v, int bytes) {
  if (bytes == 2) {
    PutLE16(out, Int16Bits(v));
  } else {
    PutLE32(out, static_cast<uint32_t>(v));
  }
}

void SetStartTime(XL_WaveData& record) {
  SetText(record.header.acquisitionDate, "2024/05/14");
  SetText(record.header.acquisitionTime, "10:00:00");
  SetText(record.header.traceSort, "AS_ACQUIRED");
  record.header.timeSec = kStartSecondOfDay;
  record.header.timeUsec = 0;
  const double jd = JulianDay(2024, 5, 14, 10, 0, 0.0f, 0.0f);
  for (auto& t : record.traces) t->timeBegin = jd;
}

// The parameter file with its data path replaced.
bool PointParametersAt(const std::string& par_file, const std::string& data_path,
                       std::string* error) {
  std::ifstream in(PathOf(par_file), std::ios::binary);
  if (!in) return Fail(error, "cannot read " + par_file);
  std::ostringstream text;
  text << in.rdbuf();
  std::string s = text.str();
  const std::string key = "dataPath = \"";
  const std::size_t at = s.find(key);
  const std::size_t close = at == std::string::npos ? at : s.find('"', at + key.size());
  if (close == std::string::npos) return Fail(error, "no data path line in " + par_file);
  s.replace(at + key.size(), close - at - key.size(), data_path);
  std::ofstream out(PathOf(par_file), std::ios::binary | std::ios::trunc);
  out << s;
  out.flush();
  return static_cast<bool>(out) || Fail(error, "cannot write " + par_file);
}

}  // namespace

ContinuousOptions DefaultContinuousOptions() {
  ContinuousOptions o;
  o.base.n_sensors = 12;
  o.base.n_templates = 4;
  o.base.n_events = 8;
  // L = 5000, S = 5500: 500 samples of overlap, room for a whole event.
  o.base.n_samples = 5900;
  o.base.special_files = false;
  return o;
}

bool ValidateContinuousOptions(const ContinuousOptions& o, std::string* error) {
  if (!ValidateSyntheticOptions(o.base, error)) return false;
  if (o.base.n_samples < 4000) {
    return Fail(error, "samples must be at least 4000 for a continuous recording");
  }
  if (o.base.n_events > 200)
    return Fail(error, "events must be 1 .. 200 for a continuous recording");
  if (o.quiet_segments < 0 || o.quiet_segments > 1000) {
    return Fail(error, "quiet segments must be 0 .. 1000");
  }
  if (o.extra_segments < 0 || o.extra_segments > 10000000) {
    return Fail(error, "extra segments must be 0 .. 10000000");
  }
  const SegmentGeometry g = ComputeSegmentGeometry(o.base.n_samples);
  const int64_t segments = o.base.n_events + 1 + o.quiet_segments + o.extra_segments;
  if ((segments + 1) * g.step * o.base.n_sensors * 2 > kMaxRecordingBytes) {
    return Fail(error, StrPrintf("the recording would exceed %lld bytes",
                                 static_cast<long long>(kMaxRecordingBytes)));
  }
  return true;
}

bool GenerateContinuousExperiment(const std::string& dir, const ContinuousOptions& options,
                                  ContinuousExperiment* experiment, std::string* error) {
  if (!ValidateContinuousOptions(options, error)) return false;
  SyntheticOptions base_options = options.base;
  base_options.special_files = false;

  ContinuousExperiment x;
  if (!GenerateSyntheticExperiment(dir, base_options, &x.base, error)) return false;
  SyntheticExperiment& e = x.base;

  // The same experiment without noise gives each event's waveforms alone;
  // everything but the noise comes from streams of its own, so the events
  // are the same.
  std::vector<PlacedRecord> records;
  std::vector<TruthRow> events;
  {
    SyntheticOptions clean_options = base_options;
    clean_options.noise_counts = 0.0;
    clean_options.overwrite = true;
    const std::string clean_dir = e.dir + "clean_events_tmp";
    SyntheticExperiment clean;
    const bool made = GenerateSyntheticExperiment(clean_dir, clean_options, &clean, error);
    if (made) {
      for (const TruthRow& r : clean.truth.rows) {
        if (r.expect != Expectation::kDetect) continue;
        XL_WaveDataSeg2 rec;
        const std::string path = clean.data_dir + StrPrintf("%06d.sg2", r.ae_number);
        if (rec.Load(path, 1, 0, 0) < 1) {
          Fail(error, "cannot read back " + path);
          break;
        }
        PlacedRecord placed;
        for (const auto& t : rec.traces) {
          placed.traces.emplace_back(
              t->samples.begin(),
              t->samples.begin() + std::min(t->sampleCount, t->AllocatedSlots()));
        }
        records.push_back(std::move(placed));
        events.push_back(r);
      }
    }
    std::error_code ec;
    fs::remove_all(PathOf(clean_dir), ec);
    if (!made || records.size() != static_cast<std::size_t>(base_options.n_events)) return false;
  }
  // The noisy event files are not part of this experiment.
  {
    std::error_code ec;
    for (int ae = 1; ae <= e.n_files; ++ae) {
      fs::remove(PathOf(e.data_dir + StrPrintf("%06d.sg2", ae)), ec);
    }
    fs::remove(PathOf(e.data_dir), ec);  // only when empty
  }

  const SyntheticOptions& o = options.base;
  Geometry g;
  const SegmentGeometry seg = ComputeSegmentGeometry(o.n_samples);
  g.step = seg.step;
  g.length = seg.length;
  g.win = ComputeWindowSizes(o.pre_win_us, o.post_win_us, static_cast<float>(o.dt_us));
  g.n_lags = o.n_samples - g.win.winLen - 1;
  g.shift_room = static_cast<int64_t>(std::ceil(2.0 * std::sqrt(3.0) * o.grid_half_mm /
                                                std::min({o.vel_x, o.vel_y, o.vel_z}) / o.dt_us));
  auto spread_of = [&e](int template_ae) {
    for (const TemplateInfo& t : e.templates) {
      if (t.ae_number == template_ae) return static_cast<int64_t>(t.max_pick - t.min_pick);
    }
    return int64_t{0};
  };

  // ---- plan: which segment holds which event, at which lag ----
  Rng rng({o.seed, kPlacementStream});
  const int n_events = static_cast<int>(events.size());
  int overlap_index = -1;
  if (options.overlap_event) {
    int64_t best = INT64_MAX;
    for (int j = 0; j < n_events; ++j) {
      const int64_t spread = spread_of(events[static_cast<std::size_t>(j)].template_ae);
      if (spread < best) {
        best = spread;
        overlap_index = j;
      }
    }
    if (OverlapLags(g, best).empty()) {
      return Fail(
          error,
          StrPrintf("the %lld-sample overlap of segments of %d-sample templates is "
                    "too short for a whole event (use more samples, and --overwrite to replace the "
                    "files written)",
                    static_cast<long long>(g.length - g.step), o.n_samples));
    }
  }
  // Slots in recording order: an event's index, -1 for a quiet segment; the
  // overlap event takes two segments.
  std::vector<int> slots;
  for (int j = 0; j < n_events; ++j) slots.push_back(j);
  for (int q = 0; q < options.quiet_segments; ++q) slots.push_back(-1);
  rng.Shuffle(slots);

  const double dt = o.dt_us;
  int64_t segment = 0;
  for (int slot : slots) {
    if (slot < 0) {
      ++segment;
      continue;
    }
    const TruthRow& r = events[static_cast<std::size_t>(slot)];
    const int64_t spread = spread_of(r.template_ae);
    const auto record_lag = static_cast<int64_t>(std::llround(r.t0_us / dt));
    PlacedRecord& placed = records[static_cast<std::size_t>(slot)];
    if (slot == overlap_index) {
      const LagRange lags = OverlapLags(g, spread);
      const int64_t q = rng.UniformInt(lags.lo, lags.hi);
      placed.paste_at = (segment + 1) * g.step + q - record_lag;
      SegmentReport early{segment, r};
      early.truth.t0_us = static_cast<double>(q + g.step) * dt;
      SegmentReport late{segment + 1, r};
      late.truth.t0_us = static_cast<double>(q) * dt;
      x.reports.push_back(early);
      x.reports.push_back(late);
      segment += 2;
      continue;
    }
    const LagRange lags = OrdinaryLags(g, spread);
    if (lags.empty()) {
      return Fail(error,
                  StrPrintf("%d-sample templates leave no room for an event in a segment "
                            "(use more samples, and --overwrite to replace the files written)",
                            o.n_samples));
    }
    const int64_t q = rng.UniformInt(lags.lo, lags.hi);
    placed.paste_at = segment * g.step + q - record_lag;
    SegmentReport report{segment, r};
    report.truth.t0_us = static_cast<double>(q) * dt;
    x.reports.push_back(report);
    ++segment;
  }
  x.step = g.step;
  x.length = g.length;
  x.segments = segment + options.extra_segments;
  // The last segment ends with the data.
  x.samples_per_trace = x.segments * g.step + g.length - g.step;
  // The reader's window test: window k / S against the windows of S
  // samples that fit a trace.
  while ((x.readable_segments * g.step) / g.length < x.samples_per_trace / g.length) {
    ++x.readable_segments;
  }

  // ---- recording and companion ----
  std::error_code ec;
  const std::string rec_dir = e.dir + "recording/";
  fs::create_directories(PathOf(rec_dir), ec);
  if (ec) return Fail(error, "cannot create " + rec_dir + ": " + ec.message());
  x.recording = rec_dir + "stream.lng";
  x.companion = rec_dir + "stream.sg2";

  std::sort(records.begin(), records.end(),
            [](const PlacedRecord& a, const PlacedRecord& b) { return a.paste_at < b.paste_at; });
  const auto record_len = static_cast<int64_t>(o.n_samples);
  XL_WaveData companion;
  {
    std::FILE* f = OpenStdioFile(x.recording, "wb");
    if (f == nullptr) return Fail(error, "cannot create " + x.recording);
    std::vector<double> block;
    std::vector<uint8_t> bytes;
    bool ok = true;
    for (int i = 0; i < o.n_sensors && ok; ++i) {
      const auto ui = static_cast<std::size_t>(i);
      for (int64_t b0 = 0; b0 < x.samples_per_trace && ok; b0 += kBlockSamples) {
        const int64_t b1 = std::min(b0 + kBlockSamples, x.samples_per_trace);
        Rng noise({o.seed, kRecordingNoiseStream, static_cast<uint32_t>(i),
                   static_cast<uint32_t>(b0 / kBlockSamples),
                   static_cast<uint32_t>((b0 / kBlockSamples) >> 32)});
        block.assign(static_cast<std::size_t>(b1 - b0), 0.0);
        for (double& v : block) v = o.noise_counts * noise.Gauss();
        // Records that reach into this block (sorted by start; all as long).
        auto it = std::lower_bound(records.begin(), records.end(), b0 - record_len + 1,
                                   [](const PlacedRecord& r, int64_t v) { return r.paste_at < v; });
        for (; it != records.end() && it->paste_at < b1; ++it) {
          const std::vector<float>& src = it->traces[ui];
          const int64_t from = std::max(b0, it->paste_at);
          const int64_t to = std::min(b1, it->paste_at + static_cast<int64_t>(src.size()));
          for (int64_t s = from; s < to; ++s) {
            block[static_cast<std::size_t>(s - b0)] +=
                src[static_cast<std::size_t>(s - it->paste_at)];
          }
        }
        bytes.clear();
        for (double v : block) {
          PutLE16(
              bytes,
              Int16Bits(static_cast<int32_t>(std::clamp(std::nearbyint(v), -32768.0, 32767.0))));
        }
        ok = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
        if (b0 == 0) {
          auto trace =
              std::make_unique<XL_WaveTrace>(static_cast<int32_t>(std::min(kCompanionSamples, b1)));
          for (int32_t k = 0; k < trace->sampleCount; ++k) {
            trace->samples[static_cast<std::size_t>(k)] =
                static_cast<float>(static_cast<int16_t>(DecodeLE16(bytes.data() + 2 * k)));
          }
          const auto& s = e.sensors_mm[ui];
          std::copy(s.begin(), s.end(), trace->receiverLocation);
          trace->samplingInterval = dt;
          trace->descalingFactor = 1.0;
          trace->channelNumber = static_cast<int16_t>(i + 1);
          SetText(trace->lineId, StrPrintf("S%02d:AEZ", i + 1));
          SetText(trace->channelCode, "AEZ");
          companion.AddTrace(std::move(trace));
        }
      }
    }
    if (std::fclose(f) != 0) ok = false;
    if (!ok) return Fail(error, "cannot write " + x.recording);
  }
  SetStartTime(companion);
  std::string why;
  if (WriteSeg2(x.companion, companion, 0, 0, 1, &why) != 1) {
    return Fail(error, "cannot write " + x.companion + ": " + why);
  }

  if (!PointParametersAt(e.par_file, x.recording, error)) return false;
  e.data_dir = x.recording;
  x.first_ae = 0;
  x.last_ae = static_cast<int>(std::min<int64_t>(x.readable_segments + 2, INT32_MAX));
  x.truth = ContinuousTruthForRange(x, x.first_ae, x.last_ae);
  e.truth = x.truth;
  if (!WriteGroundTruth(e.truth_file, x.truth, error)) return false;
  if (experiment) *experiment = std::move(x);
  return true;
}

GroundTruth ContinuousTruthForRange(const ContinuousExperiment& x, int first, int last) {
  GroundTruth t;
  t.seed = x.base.truth.seed;
  t.first_ae = first;
  t.last_ae = last;
  t.dt_us = x.base.truth.dt_us;
  t.step_x_mm = x.base.truth.step_x_mm;
  t.step_y_mm = x.base.truth.step_y_mm;
  t.step_z_mm = x.base.truth.step_z_mm;
  std::vector<SegmentReport> reports = x.reports;
  std::stable_sort(
      reports.begin(), reports.end(),
      [](const SegmentReport& a, const SegmentReport& b) { return a.segment < b.segment; });
  int64_t numbered = -1;
  int next = first;
  int in_segment = 0;
  for (const SegmentReport& r : reports) {
    if (r.segment < first || r.segment > last || r.segment >= x.readable_segments) continue;
    if (r.segment != numbered) {
      numbered = r.segment;
      in_segment = 0;
      ++next;
    }
    TruthRow row = r.truth;
    row.ae_number = next - 1;
    row.event = ++in_segment;
    row.expect = Expectation::kDetect;
    t.rows.push_back(row);
  }
  return t;
}

std::string DescribeContinuousExperiment(const ContinuousExperiment& x,
                                         const ContinuousOptions& options) {
  const SyntheticOptions& o = options.base;
  std::string s;
  s += StrPrintf("synthetic continuous AE recording in %s (seed %u)\n", x.base.dir.c_str(), o.seed);
  s += StrPrintf("  specimen %g x %g x %g mm, %d sensors, dt %g us, noise %g counts\n", o.size_x_mm,
                 o.size_y_mm, o.size_z_mm, o.n_sensors, o.dt_us, o.noise_counts);
  s += StrPrintf("  templates: %zu of %d samples in %s\n", x.base.templates.size(), o.n_samples,
                 x.base.template_dir.c_str());
  int overlap = 0;
  for (std::size_t i = 1; i < x.reports.size(); ++i) {
    if (x.reports[i].truth.ae_number == x.reports[i - 1].truth.ae_number &&
        x.reports[i].segment == x.reports[i - 1].segment + 1) {
      ++overlap;
    }
  }
  s += StrPrintf(
      "  recording: %s, %lld samples per trace, %lld segments of %lld samples every "
      "%lld\n",
      x.recording.c_str(), static_cast<long long>(x.samples_per_trace),
      static_cast<long long>(x.readable_segments), static_cast<long long>(x.length),
      static_cast<long long>(x.step));
  s += StrPrintf(
      "  events: %d laid in, %d of them in the overlap of two segments; %zu reports "
      "expected\n",
      o.n_events, overlap, x.truth.rows.size());
  s += StrPrintf("  parameter file: %s\n  ground truth:   %s\n", x.base.par_file.c_str(),
                 x.base.truth_file.c_str());
  s += StrPrintf("  run it with:    Quorvex_AE run %s %d,%d,+=0\n", x.base.par_file.c_str(),
                 x.first_ae, x.last_ae);
  return s;
}

// ---- layout writers --------------------------------------------------------

bool WriteTraceSequentialRecording(const std::string& path,
                                   const std::vector<std::vector<int32_t>>& channels,
                                   std::string* error) {
  if (!SameLengths(channels, error)) return false;
  std::vector<uint8_t> bytes;
  for (const auto& c : channels) {
    for (int32_t v : c) PutLE16(bytes, Int16Bits(v));
  }
  return WriteBytes(path, bytes, error);
}

bool WriteRecordingCompanion(const std::string& recording, int n_traces, double sampling_interval,
                             int32_t time_sec, int32_t time_usec, std::string* error) {
  if (recording.size() < 3 || n_traces < 1) return Fail(error, "no companion for " + recording);
  XL_WaveData record;
  for (int i = 0; i < n_traces; ++i) {
    auto trace = std::make_unique<XL_WaveTrace>(16);
    trace->samplingInterval = sampling_interval;
    trace->channelNumber = static_cast<int16_t>(i + 1);
    trace->receiverLocation[0] = i;
    SetText(trace->lineId, StrPrintf("S%02d:AEZ", i + 1));
    record.AddTrace(std::move(trace));
  }
  SetStartTime(record);
  record.header.timeSec = time_sec;
  record.header.timeUsec = time_usec;
  std::string why;
  const std::string path = recording.substr(0, recording.size() - 3) + "sg2";
  if (WriteSeg2(path, record, 0, 0, 1, &why) != 1) return Fail(error, why);
  return true;
}

bool WriteSaqRecording(const std::string& path, const std::vector<std::vector<int32_t>>& channels,
                       int bytes_per_sample, int32_t segment_length, std::string* error) {
  if (!SameLengths(channels, error)) return false;
  if ((bytes_per_sample != 2 && bytes_per_sample != 4) || segment_length < 1) {
    return Fail(error, "bad sample width or segment length");
  }
  const std::size_t n = channels.front().size();
  const auto g = static_cast<std::size_t>(segment_length);
  std::vector<uint8_t> bytes;
  for (std::size_t s0 = 0; s0 < n; s0 += g) {
    for (const auto& c : channels) {
      for (std::size_t i = s0; i < s0 + g; ++i)
        PutSample(bytes, i < n ? c[i] : 0, bytes_per_sample);
    }
  }
  return WriteBytes(path, bytes, error);
}

bool WriteSaqTdmsRecording(const std::string& path,
                           const std::vector<std::vector<int32_t>>& channels, int bytes_per_sample,
                           uint32_t raw_offset, std::string* error) {
  if (!SameLengths(channels, error)) return false;
  if (bytes_per_sample != 2 && bytes_per_sample != 4) return Fail(error, "bad sample width");
  std::vector<uint8_t> bytes;
  PutLE32(bytes, 0x6D736454);  // "TDSm"
  PutLE32(bytes, 0);
  PutLE32(bytes, 4713);
  PutLE32(bytes, 0);  // the 8-byte field before the offset
  PutLE32(bytes, 0);
  PutLE32(bytes, raw_offset);
  PutLE32(bytes, 0);
  bytes.resize(bytes.size() + raw_offset, 0xEE);
  for (std::size_t i = 0; i < channels.front().size(); ++i) {
    for (const auto& c : channels) PutSample(bytes, c[i], bytes_per_sample);
  }
  return WriteBytes(path, bytes, error);
}

bool WriteAnyRecording(const std::string& path, const std::vector<std::vector<int32_t>>& channels,
                       std::string* error) {
  if (!SameLengths(channels, error)) return false;
  if (channels.size() != 16) return Fail(error, "an \"any\" frame holds 16 channels");
  std::vector<uint8_t> bytes;
  for (std::size_t i = 0; i < channels.front().size(); ++i) {
    for (const auto& c : channels) {
      PutLE16(bytes, static_cast<uint16_t>(std::clamp(c[i], -32768, 32767) + 0x8000));
    }
  }
  return WriteBytes(path, bytes, error);
}

}  // namespace qae::synth
