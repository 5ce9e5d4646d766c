#include "wave/formats/continuous_reader.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstring>
#include <utility>

#include "util/byte_order.h"
#include "util/read_only_file.h"
#include "util/text.h"

namespace qae {

namespace {

constexpr int64_t kMicro = 1000000;
constexpr int kTdmsLeadIn = 28;
constexpr int kAnyFrameBytes = 32;  // sixteen 2-byte values
constexpr int kAnyChannelsPerFile = 8;
constexpr int kAnyChannels[kAnyChannelsPerFile] = {0, 1, 4, 5, 8, 9, 12, 13};
constexpr double kAnyDescaling = 100.0 / 65536.0;
// Activity test of the "any" layout: a trace is active when the largest of
// its samples 2000..2999 exceeds 50; a window needs more than three.
constexpr int32_t kActivityFirst = 2000;
constexpr int32_t kActivityLast = 2999;
constexpr float kActivityLevel = 50.0f;
constexpr int kActiveTracesNeeded = 4;
constexpr std::size_t kMaxTraces = 32767;  // the header counts traces in 16 bits

// A recording file opened for positioned reads.
using RecordingFile = ReadOnlyFile;

// The number written right after the first `key` in `path`, read as "%d"
// reads it (blanks, a sign, digits) and saturated to the 64-bit range;
// `fallback` when the key is missing or not followed by a number.
int64_t NumberAfterKey(const std::string& path, const char* key, int64_t fallback) {
  const std::size_t at = path.find(key);
  if (at == std::string::npos) return fallback;
  std::size_t i = at + std::strlen(key);
  while (i < path.size() && std::isspace(static_cast<unsigned char>(path[i]))) ++i;
  bool negative = false;
  if (i < path.size() && (path[i] == '+' || path[i] == '-')) negative = path[i++] == '-';
  if (i >= path.size() || !std::isdigit(static_cast<unsigned char>(path[i]))) return fallback;
  int64_t value = 0;
  for (; i < path.size() && std::isdigit(static_cast<unsigned char>(path[i])); ++i) {
    const int digit = path[i] - '0';
    value = value > (INT64_MAX - digit) / 10 ? INT64_MAX : value * 10 + digit;
  }
  return negative ? -value : value;
}

// The SEG-2 reader's fresh header.
void ResetHeader(WaveHeader& header) {
  header.Reset();
  SetText(header.units, "NONE");
  SetText(header.waveUnits, " ");
}

// Copies the header values of a trace (lineId through timeBegin, the counts
// excepted).
void CopyTraceValues(const XL_WaveTrace& from, XL_WaveTrace& to) {
  std::memcpy(to.lineId, from.lineId, sizeof to.lineId);
  std::memcpy(to.note, from.note, sizeof to.note);
  to.channelNumber = from.channelNumber;
  std::copy(from.receiverLocation, from.receiverLocation + 3, to.receiverLocation);
  std::copy(from.sourceLocation, from.sourceLocation + 3, to.sourceLocation);
  to.descalingFactor = from.descalingFactor;
  to.drawSizeFactor = from.drawSizeFactor;
  to.maxValue = from.maxValue;
  to.minValue = from.minValue;
  to.meanValue = from.meanValue;
  to.samplingInterval = from.samplingInterval;
  to.skew = from.skew;
  to.delay = from.delay;
  to.pickup[0] = from.pickup[0];
  to.pickup[1] = from.pickup[1];
  to.ampPickupSign = from.ampPickupSign;
  to.ampPickup = from.ampPickup;
  to.nsRatio = from.nsRatio;
  to.stack = from.stack;
  to.dataFormat = from.dataFormat;
  std::memcpy(to.unit, from.unit, sizeof to.unit);
  std::memcpy(to.channelCode, from.channelCode, sizeof to.channelCode);
  to.calib = from.calib;
  to.calper = from.calper;
  to.hang = from.hang;
  to.vang = from.vang;
  to.timeBegin = from.timeBegin;
}

// A trace of the "saq" and "any" layouts: `slots` zeroed samples of which
// the first n count.
std::unique_ptr<XL_WaveTrace> NewChannelTrace(int index, int32_t slots, int32_t n,
                                              double sampling_interval, double descaling) {
  auto trace = std::make_unique<XL_WaveTrace>(slots);
  trace->channelNumber = static_cast<int16_t>(index);
  trace->receiverLocation[2] = index + 1;
  trace->stack = 1;
  trace->dataFormat = 1;
  trace->descalingFactor = descaling;
  trace->samplingInterval = sampling_interval;
  trace->sampleCount = std::min(n, trace->AllocatedSlots());
  return trace;
}

// Signed little-endian integer of 2 or 4 bytes.
inline float SignedSample(const uint8_t* p, int bytes) {
  if (bytes == 2) return static_cast<float>(static_cast<int16_t>(DecodeLE16(p)));
  return static_cast<float>(static_cast<int32_t>(DecodeLE32(p)));
}

// x truncated toward zero, or 0 when it is not a number or outside the
// 64-bit range (a companion's sampling interval may be anything).
int64_t TruncToInt64(double x) {
  if (!(std::fabs(x) < 9.2e18)) return 0;
  return static_cast<int64_t>(x);
}

void SetWindowTime(WaveHeader& header, int64_t microseconds) {
  const int64_t sec = microseconds / kMicro;
  header.timeSec = static_cast<int32_t>(sec);
  header.timeUsec = static_cast<int32_t>(microseconds - sec * kMicro);
}

// The "_B" file that pairs with an "_A" path (its last "_A" replaced), or
// an empty string for a path without "_A".
std::string PairedPath(const std::string& path) {
  const std::size_t at = path.rfind("_A");
  if (at == std::string::npos) return std::string();
  std::string paired = path;
  paired[at + 1] = 'B';
  return paired;
}

}  // namespace

int64_t ContinuousLayout::MaxWindow() const {
  switch (kind) {
    case ContinuousLayoutKind::kSaq:
    case ContinuousLayoutKind::kSaqTdms:
      return segmentLength;
    case ContinuousLayoutKind::kAny:
      return kAnyWindowFrames;
    case ContinuousLayoutKind::kDefault:
      break;
  }
  return INT32_MAX;
}

const char* ContinuousLayout::Name() const {
  switch (kind) {
    case ContinuousLayoutKind::kSaq:
      return "saq";
    case ContinuousLayoutKind::kSaqTdms:
      return "saq tdms";
    case ContinuousLayoutKind::kAny:
      return "any";
    case ContinuousLayoutKind::kDefault:
      break;
  }
  return "trace-sequential";
}

ContinuousLayout ParseContinuousLayout(const std::string& path) {
  ContinuousLayout layout;
  if (path.find("saq") == std::string::npos) {
    if (path.find("any") != std::string::npos) {
      layout.kind = ContinuousLayoutKind::kAny;
      layout.channels = 2 * kAnyChannelsPerFile;
      layout.segmentLength = kAnyWindowFrames;
    }
    return layout;
  }
  layout.kind = path.find("tdms") != std::string::npos ? ContinuousLayoutKind::kSaqTdms
                                                       : ContinuousLayoutKind::kSaq;

  const int64_t bits = NumberAfterKey(path, "bit", 16);
  const int64_t channels = NumberAfterKey(path, "chn", 1);
  const int64_t segment = NumberAfterKey(path, "seg", 10000);
  if (bits < 1 || bits > 32) {
    layout.problem = StrPrintf("sample width of %lld bits in the path of %s is not 1 to 32",
                               static_cast<long long>(bits), path.c_str());
    return layout;
  }
  layout.bits = static_cast<int32_t>(bits);
  layout.bytesPerSample = bits <= 16 ? 2 : 4;
  const int64_t max_channels = layout.kind != ContinuousLayoutKind::kSaqTdms
                                   ? kMaxContinuousChannels
                               : layout.bytesPerSample == 2 ? 32
                                                            : 28;
  if (channels < 1 || channels > max_channels) {
    layout.problem = StrPrintf(
        "channel count of %lld in the path of %s is not 1 to %lld%s",
        static_cast<long long>(channels), path.c_str(), static_cast<long long>(max_channels),
        layout.kind == ContinuousLayoutKind::kSaqTdms
            ? (layout.bytesPerSample == 2
                   ? " (a tdms frame holds at most 32 channels of 2-byte samples)"
                   : " (a tdms frame holds at most 28 channels of 4-byte samples)")
            : "");
    return layout;
  }
  layout.channels = static_cast<int32_t>(channels);
  if (segment < 1 || segment > kMaxContinuousSegment ||
      segment * channels > kMaxContinuousWindowSamples) {
    layout.problem = StrPrintf(
        "segment length of %lld samples in the path of %s is not 1 to %d (and %lld samples for "
        "all channels)",
        static_cast<long long>(segment), path.c_str(), kMaxContinuousSegment,
        static_cast<long long>(kMaxContinuousWindowSamples));
    return layout;
  }
  layout.segmentLength = static_cast<int32_t>(segment);
  return layout;
}

std::string ContinuousCompanionPath(const std::string& path) {
  if (path.size() < 3) return std::string();
  return path.substr(0, path.size() - 3) + "sg2";
}

int ContinuousReader::Fail(ContinuousStatus status, std::string message) {
  status_ = status;
  message_ = std::move(message);
  return 0;
}

bool ContinuousReader::LoadCompanion(const std::string& path) {
  const std::string companion = ContinuousCompanionPath(path);
  if (companion_path_ == companion && companion_.TraceCount() > 0) return true;
  companion_path_.clear();
  if (companion.empty() || companion_.Load(companion, 1, 0, 0) < 1) {
    const std::string why = companion_.LastLoadMessage();
    companion_.Clear();
    Fail(ContinuousStatus::kNoCompanion,
         StrPrintf("cannot load the companion file %s of the continuous recording %s%s%s",
                   companion.c_str(), path.c_str(), why.empty() ? "" : ": ", why.c_str()));
    return false;
  }
  // Only its values are needed; its samples may be long.
  for (auto& trace : companion_.traces) {
    trace->samples = {};
    trace->savedSamples = {};
  }
  companion_path_ = companion;
  return true;
}

int ContinuousReader::ReadWindow(const std::string& path, WaveHeader& header, TraceList& traces,
                                 int64_t first, int64_t end) {
  status_ = ContinuousStatus::kRead;
  message_.clear();
  const ContinuousLayout layout = ParseContinuousLayout(path);
  if (!layout.problem.empty()) return Fail(ContinuousStatus::kUnusableLayout, layout.problem);
  if (first < 0 || end < first - int64_t{INT32_MAX} || end - first > INT32_MAX) {
    return Fail(ContinuousStatus::kBadWindow,
                StrPrintf("window %lld to %lld of %s cannot be read", static_cast<long long>(first),
                          static_cast<long long>(end), path.c_str()));
  }
  switch (layout.kind) {
    case ContinuousLayoutKind::kDefault:
      return ReadDefault(path, header, traces, first, end);
    case ContinuousLayoutKind::kAny:
      return ReadAny(path, header, traces, first, end);
    case ContinuousLayoutKind::kSaq:
    case ContinuousLayoutKind::kSaqTdms:
      break;
  }
  return ReadSaq(path, layout, header, traces, first, end);
}

int ContinuousReader::ReadDefault(const std::string& path, WaveHeader& header, TraceList& traces,
                                  int64_t first, int64_t end) {
  const int64_t n = end - first;
  if (n < 1) {
    return Fail(
        ContinuousStatus::kBadWindow,
        StrPrintf("empty window at %lld of %s", static_cast<long long>(first), path.c_str()));
  }
  // The companion gives the time base on every call, and the traces on the
  // first.
  if (!LoadCompanion(path)) return 0;
  const bool create = header.traceCount == 0 || traces.empty();
  const auto n_traces = static_cast<int64_t>(create ? companion_.traces.size() : traces.size());
  if (n_traces < 1) {
    return Fail(ContinuousStatus::kNoCompanion,
                "the companion file of " + path + " has no trace to divide the recording by");
  }

  RecordingFile file(path);
  if (!file.ok()) {
    return Fail(ContinuousStatus::kCannotOpen,
                StrPrintf("cannot open the continuous recording %s: %s", path.c_str(),
                          file.error().c_str()));
  }
  const int64_t bytes_per_trace = file.size() / n_traces;  // P
  const int64_t windows = bytes_per_trace / n / 2;         // W
  const int64_t w = first / n;
  if (w >= windows) {
    return Fail(
        ContinuousStatus::kEndOfData,
        StrPrintf("window %lld of %s lies beyond its %lld windows", static_cast<long long>(w),
                  path.c_str(), static_cast<long long>(windows)));
  }
  if (n * n_traces > kMaxContinuousWindowSamples) {
    return Fail(
        ContinuousStatus::kBadWindow,
        StrPrintf("window of %lld samples of %lld traces of %s is too large",
                  static_cast<long long>(n), static_cast<long long>(n_traces), path.c_str()));
  }
  const auto len = static_cast<int32_t>(n);

  if (create) {
    header = companion_.header;
    traces.clear();
    for (const auto& from : companion_.traces) {
      auto trace = std::make_unique<XL_WaveTrace>(len);
      CopyTraceValues(*from, *trace);
      trace->sampleCount = std::min(len, trace->AllocatedSlots());
      traces.push_back(std::move(trace));
    }
    header.traceCount = static_cast<int16_t>(traces.size());
  } else {
    // A caller may ask for a longer window than before: grow, never write
    // past the slots.
    for (auto& trace : traces) {
      if (trace->AllocatedSlots() < len) {
        trace->samples.assign(static_cast<std::size_t>(len), 0.0f);
        trace->capacity = len;
      }
      trace->sampleCount = len;
    }
  }

  SetText(header.comments, StrPrintf("%lld / %lld from %s", static_cast<long long>(w),
                                     static_cast<long long>(windows), path.c_str()));
  const int64_t start =
      int64_t{companion_.header.timeSec} * kMicro + companion_.header.timeUsec +
      TruncToInt64(companion_.Trace(0).samplingInterval * static_cast<double>(first));
  SetWindowTime(header, start);
  header.windowStart = first;

  // Each trace's block holds P / 2 samples; a window that reaches past its
  // end gets zeros there rather than the next trace's first samples.
  const int64_t available = std::min(n, bytes_per_trace / 2 - first);
  buffer_.resize(static_cast<std::size_t>(n) * 2);
  for (std::size_t i = 0; i < traces.size(); ++i) {
    XL_WaveTrace& trace = *traces[i];
    const std::size_t got =
        available > 0 ? file.ReadAt(buffer_.data(), static_cast<std::size_t>(available) * 2,
                                    static_cast<int64_t>(i) * bytes_per_trace + 2 * first) /
                            2
                      : 0;
    float* dst = trace.samples.data();
    for (std::size_t j = 0; j < got; ++j) dst[j] = SignedSample(buffer_.data() + 2 * j, 2);
    std::fill(dst + got, dst + len, 0.0f);
  }
  return 1;
}

int ContinuousReader::ReadSaq(const std::string& path, const ContinuousLayout& layout,
                              WaveHeader& header, TraceList& traces, int64_t first, int64_t end) {
  const int64_t g = layout.segmentLength;
  const int64_t c = layout.channels;
  const int64_t b = layout.bytesPerSample;
  int64_t n = end - first;
  if (n < 1) n = g;
  if (n > g) {
    return Fail(ContinuousStatus::kBadWindow,
                StrPrintf("window of %lld samples is longer than the %lld-sample segments of %s",
                          static_cast<long long>(n), static_cast<long long>(g), path.c_str()));
  }
  if (traces.size() + static_cast<std::size_t>(c) > kMaxTraces) {
    return Fail(ContinuousStatus::kBadWindow,
                StrPrintf("the record already holds %zu traces; it must be emptied before each "
                          "window of %s",
                          traces.size(), path.c_str()));
  }
  RecordingFile file(path);
  if (!file.ok()) {
    return Fail(ContinuousStatus::kCannotOpen,
                StrPrintf("cannot open the continuous recording %s: %s", path.c_str(),
                          file.error().c_str()));
  }
  const bool tdms = layout.kind == ContinuousLayoutKind::kSaqTdms;
  int64_t data_start = 0;  // D
  if (tdms) {
    uint8_t lead_in[kTdmsLeadIn];
    if (file.ReadAt(lead_in, sizeof lead_in, 0) < sizeof lead_in) {
      return Fail(ContinuousStatus::kEndOfData,
                  StrPrintf("%s is shorter than its %d-byte lead-in", path.c_str(), kTdmsLeadIn));
    }
    const uint64_t raw_offset = DecodeLE64(lead_in + 20);
    // An offset beyond the file leaves no data rather than a negative size.
    data_start = raw_offset > static_cast<uint64_t>(file.size() - kTdmsLeadIn)
                     ? file.size()
                     : kTdmsLeadIn + static_cast<int64_t>(raw_offset);
  }
  const int64_t per_channel = (file.size() - data_start) / c / b;  // S
  if (first >= per_channel || first + n >= per_channel) {
    return Fail(ContinuousStatus::kEndOfData,
                StrPrintf("window %lld to %lld lies beyond the %lld samples of %s",
                          static_cast<long long>(first), static_cast<long long>(first + n),
                          static_cast<long long>(per_channel), path.c_str()));
  }

  if (header.traceCount == 0) ResetHeader(header);
  SetWindowTime(header, first);  // one sample per microsecond
  header.windowStart = first;

  const std::size_t base = traces.size();
  const double descaling = 1000.0 / std::ldexp(1.0, layout.bits);
  for (int64_t k = 0; k < c; ++k) {
    traces.push_back(NewChannelTrace(static_cast<int>(k), static_cast<int32_t>(g),
                                     static_cast<int32_t>(n), 1e-6, descaling));
  }
  header.traceCount = static_cast<int16_t>(traces.size());

  if (tdms) {
    // Interleaved: G frames of one sample per channel.
    const int64_t frame_bytes = c * b;
    buffer_.resize(static_cast<std::size_t>(g * frame_bytes));
    const std::size_t got =
        file.ReadAt(buffer_.data(), buffer_.size(), data_start + first * frame_bytes);
    const auto frames = static_cast<int64_t>(got) / frame_bytes;
    for (int64_t j = 0; j < frames; ++j) {
      const uint8_t* frame = buffer_.data() + j * frame_bytes;
      for (int64_t k = 0; k < c; ++k) {
        traces[base + static_cast<std::size_t>(k)]->samples[static_cast<std::size_t>(j)] =
            SignedSample(frame + k * b, static_cast<int>(b));
      }
    }
    return 1;
  }

  // Channel-blocked: each segment of the file holds G samples of channel 0,
  // then G of channel 1, and so on. Sample s of channel k therefore lies in
  // segment s / G at position s % G of that channel's block; a window that
  // does not start on a segment boundary is gathered from two segments.
  buffer_.resize(static_cast<std::size_t>(g * b));
  for (int64_t k = 0; k < c; ++k) {
    float* dst = traces[base + static_cast<std::size_t>(k)]->samples.data();
    int64_t s = first;
    int64_t j = 0;
    while (j < g) {
      const int64_t segment = s / g;
      const int64_t offset = s % g;
      const int64_t run = std::min(g - offset, g - j);
      const int64_t position = ((segment * c + k) * g + offset) * b;
      const std::size_t got =
          file.ReadAt(buffer_.data(), static_cast<std::size_t>(run * b), position) /
          static_cast<std::size_t>(b);
      for (std::size_t i = 0; i < got; ++i) {
        dst[j + static_cast<int64_t>(i)] =
            SignedSample(buffer_.data() + i * static_cast<std::size_t>(b), static_cast<int>(b));
      }
      if (got < static_cast<std::size_t>(run)) break;  // the file ends here; the rest stays 0
      s += run;
      j += run;
    }
  }
  return 1;
}

int ContinuousReader::ReadAny(const std::string& path, WaveHeader& header, TraceList& traces,
                              int64_t first, int64_t end) {
  int64_t n = end - first;
  if (n < 1) n = kAnyWindowFrames;
  if (n > kAnyWindowFrames) {
    return Fail(ContinuousStatus::kBadWindow,
                StrPrintf("window of %lld frames is longer than the %d frames read from %s",
                          static_cast<long long>(n), kAnyWindowFrames, path.c_str()));
  }
  const std::string paired = PairedPath(path);
  const std::size_t per_window = paired.empty() ? kAnyChannelsPerFile : 2 * kAnyChannelsPerFile;
  if (traces.size() + per_window > kMaxTraces) {
    return Fail(ContinuousStatus::kBadWindow,
                StrPrintf("the record already holds %zu traces; it must be emptied before each "
                          "window of %s",
                          traces.size(), path.c_str()));
  }
  RecordingFile file_a(path);
  if (!file_a.ok()) {
    return Fail(ContinuousStatus::kCannotOpen,
                StrPrintf("cannot open the continuous recording %s: %s", path.c_str(),
                          file_a.error().c_str()));
  }
  std::unique_ptr<RecordingFile> file_b;
  int64_t frames = file_a.size() / kAnyFrameBytes;
  if (!paired.empty()) {
    file_b = std::make_unique<RecordingFile>(paired);
    if (!file_b->ok()) {
      return Fail(ContinuousStatus::kCannotOpen,
                  StrPrintf("cannot open %s, the pair of the continuous recording %s: %s",
                            paired.c_str(), path.c_str(), file_b->error().c_str()));
    }
    frames = std::min(frames, file_b->size() / kAnyFrameBytes);
  }
  if (first >= frames || first + n >= frames) {
    return Fail(ContinuousStatus::kEndOfData,
                StrPrintf("window %lld to %lld lies beyond the %lld frames of %s",
                          static_cast<long long>(first), static_cast<long long>(first + n),
                          static_cast<long long>(frames), path.c_str()));
  }

  buffer_.resize(static_cast<std::size_t>(kAnyWindowFrames) * kAnyFrameBytes);
  auto append_file = [&](const RecordingFile& file, int64_t at) {
    const std::size_t base = traces.size();
    for (int k = 0; k < kAnyChannelsPerFile; ++k) {
      traces.push_back(NewChannelTrace(static_cast<int>(base) + k, kAnyWindowFrames,
                                       static_cast<int32_t>(n), 1.0 / 3.0, kAnyDescaling));
    }
    header.traceCount = static_cast<int16_t>(traces.size());
    const std::size_t got = file.ReadAt(buffer_.data(), buffer_.size(), at * kAnyFrameBytes);
    const std::size_t whole = got / kAnyFrameBytes;
    for (std::size_t j = 0; j < whole; ++j) {
      const uint8_t* frame = buffer_.data() + j * kAnyFrameBytes;
      for (int k = 0; k < kAnyChannelsPerFile; ++k) {
        traces[base + static_cast<std::size_t>(k)]->samples[j] = static_cast<float>(
            static_cast<int32_t>(DecodeLE16(frame + 2 * kAnyChannels[k])) - 0x8000);
      }
    }
  };

  while (true) {
    if (header.traceCount == 0) ResetHeader(header);
    // Three samples per microsecond.
    header.timeSec = static_cast<int32_t>(first / (3 * kMicro));
    header.timeUsec = static_cast<int32_t>(first / 3 - int64_t{header.timeSec} * kMicro);
    header.windowStart = first;
    append_file(file_a, first);
    if (file_b) append_file(*file_b, first);

    int active = 0;
    for (const auto& trace : traces) {
      const int32_t last = std::min(kActivityLast, trace->AllocatedSlots() - 1);
      float peak = 0.0f;
      for (int32_t i = kActivityFirst; i <= last; ++i) {
        peak = std::max(peak, trace->samples[static_cast<std::size_t>(i)]);
      }
      if (peak > kActivityLevel) ++active;
    }
    if (active >= kActiveTracesNeeded) return 1;
    const int64_t next = first + kAnyActivityStep;
    if (next + n >= frames) return 1;  // the last window that fits stays
    ResetHeader(header);
    header.traceCount = 0;
    traces.clear();
    first = next;
  }
}

std::string ContinuousReader::CheckRecording(const std::string& path) {
  const ContinuousLayout layout = ParseContinuousLayout(path);
  if (!layout.problem.empty()) return layout.problem;
  if (layout.kind == ContinuousLayoutKind::kDefault && !LoadCompanion(path)) return message_;
  {
    RecordingFile file(path);
    if (!file.ok()) {
      return StrPrintf("cannot open the continuous recording %s: %s", path.c_str(),
                       file.error().c_str());
    }
  }
  if (layout.kind == ContinuousLayoutKind::kAny) {
    const std::string paired = PairedPath(path);
    if (!paired.empty()) {
      RecordingFile file(paired);
      if (!file.ok()) {
        return StrPrintf("cannot open %s, the pair of the continuous recording %s: %s",
                         paired.c_str(), path.c_str(), file.error().c_str());
      }
    }
  }
  return std::string();
}

int ReadContinuousWindow(const std::string& path, WaveHeader& header, TraceList& traces,
                         int64_t first, int64_t end) {
  ContinuousReader reader;
  return reader.ReadWindow(path, header, traces, first, end);
}

}  // namespace qae
