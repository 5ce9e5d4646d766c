#include "wave/formats/seg2_reader.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <string_view>
#include <vector>

#include "util/byte_order.h"
#include "util/file_io.h"
#include "util/text.h"
#include "wave/formats/seg2_format.h"
#include "wave/time_utils.h"

namespace qae {

namespace {

// Samples that a file may claim beyond the bytes it holds (a truncated copy
// reads as zeros there). Past this budget, counts are cut to what the file
// can back, so a forged count cannot exhaust memory.
constexpr int64_t kUnbackedSampleBudget = int64_t{1} << 22;
// The header keeps the trace count in 16 bits.
constexpr int kMaxTraces = 32767;

// ---- keyword values ------------------------------------------------------

// "%d"-style: leading blanks, optional sign, digits; 0 when none. Clamped to
// the int32 range instead of overflowing.
int32_t ParseInt(const char*& p) {
  char* end = nullptr;
  errno = 0;
  const long long v = std::strtoll(p, &end, 10);
  if (end == p) return 0;
  p = end;
  return static_cast<int32_t>(std::clamp<long long>(v, INT32_MIN, INT32_MAX));
}

bool TryParseInt(const char*& p, int32_t* out) {
  const char* before = p;
  const int32_t v = ParseInt(p);
  if (p == before) return false;
  *out = v;
  return true;
}

bool TryParseDouble(const char*& p, double* out) {
  char* end = nullptr;
  const double v = std::strtod(p, &end);
  if (end == p) return false;
  p = end;
  *out = v;
  return true;
}

double ParseDouble(const char* p) {
  double v = 0.0;
  TryParseDouble(p, &v);
  return v;
}

int32_t ParseIntValue(const char* p) { return ParseInt(p); }

// Splits "KEYWORD value..." at its first space. The value keeps further
// spaces; a string without a space has an empty value.
const char* ValueOf(const std::string& s) {
  const std::size_t space = s.find(' ');
  return space == std::string::npos ? s.c_str() + s.size() : s.c_str() + space + 1;
}

void ParseFileString(const std::string& s, WaveHeader& h) {
  const char* v = ValueOf(s);
  if (StartsWithNoCase(s, "ACQUISITION_DATE")) return SetText(h.acquisitionDate, v);
  if (StartsWithNoCase(s, "ACQUISITION_TIME")) return SetText(h.acquisitionTime, v);
  if (StartsWithNoCase(s, "INSTRUMENT")) return SetText(h.instrument, v);
  if (StartsWithNoCase(s, "TRACE_SORT")) return SetText(h.traceSort, v);
  if (StartsWithNoCase(s, "UNITS")) return SetText(h.units, v);
  if (StartsWithNoCase(s, "NOTE")) return SetText(h.note, v);
  if (StartsWithNoCase(s, "TIMEUNITS")) return SetText(h.timeUnits, v);
  if (StartsWithNoCase(s, "WAVEUNITS")) return SetText(h.waveUnits, v);
  if (StartsWithNoCase(s, "COMMENTS")) return SetText(h.comments, v);
  if (StartsWithNoCase(s, "RCV_NOTE")) return SetText(h.rcvNote, v);
  if (StartsWithNoCase(s, "NUMBER_SOURCES")) {
    h.numberSources = static_cast<int16_t>(ParseIntValue(v));
  } else if (StartsWithNoCase(s, "NUMBER_RECEIVERS")) {
    h.numberReceivers = static_cast<int16_t>(ParseIntValue(v));
  } else if (StartsWithNoCase(s, "ROTATION")) {
    int32_t a = 0;
    if (TryParseInt(v, &a)) {
      h.rotation[0] = static_cast<int16_t>(a);
      if (TryParseInt(v, &a)) h.rotation[1] = static_cast<int16_t>(a);
    }
  } else if (StartsWithNoCase(s, "TIME_SEC_USEC")) {
    int32_t a = 0;
    if (TryParseInt(v, &a)) {
      h.timeSec = a;
      if (TryParseInt(v, &a)) h.timeUsec = a;
    }
  }
}

// Up to three numbers into `xyz`, all zeroed first.
void ParseLocation(const char* v, double (&xyz)[3]) {
  xyz[0] = xyz[1] = xyz[2] = 0.0;
  for (double& c : xyz) {
    if (!TryParseDouble(v, &c)) break;
  }
}

void ParseTraceString(const std::string& s, XL_WaveTrace& t) {
  const char* v = ValueOf(s);
  if (StartsWithNoCase(s, "CHANNEL_NUMBER")) {
    t.channelNumber = static_cast<int16_t>(ParseIntValue(v));
  } else if (StartsWithNoCase(s, "DELAY")) {
    t.delay = ParseDouble(v);
  } else if (StartsWithNoCase(s, "DESCALING_FACTOR")) {
    t.descalingFactor = ParseDouble(v);
  } else if (StartsWithNoCase(s, "LINE_ID")) {
    SetText(t.lineId, v);
  } else if (StartsWithNoCase(s, "RECEIVER_LOCATION")) {
    ParseLocation(v, t.receiverLocation);
  } else if (StartsWithNoCase(s, "SAMPLE_INTERVAL")) {
    t.samplingInterval = ParseDouble(v);
  } else if (StartsWithNoCase(s, "SKEW")) {
    t.skew = ParseDouble(v);
  } else if (StartsWithNoCase(s, "SOURCE_LOCATION")) {
    ParseLocation(v, t.sourceLocation);
  } else if (StartsWithNoCase(s, "STACK")) {
    t.stack = static_cast<int16_t>(ParseIntValue(v));
  } else if (StartsWithNoCase(s, "PICKUP")) {
    t.pickup[0] = t.pickup[1] = 0;
    if (TryParseInt(v, &t.pickup[0])) TryParseInt(v, &t.pickup[1]);
  } else if (StartsWithNoCase(s, "AMPPICKUP")) {
    t.ampPickup = ParseDouble(v);
    if (t.ampPickup > 1e-10) {
      t.ampPickupSign = 1;
    } else if (t.ampPickup < -1e-10) {
      t.ampPickupSign = -1;
    }
  } else if (StartsWithNoCase(s, "NSRATIO")) {
    t.nsRatio = ParseDouble(v);
  } else if (StartsWithNoCase(s, "NOTE")) {
    SetText(t.note, v);
  } else if (StartsWithNoCase(s, "DRAW_SIZE_FACTOR")) {
    t.drawSizeFactor = ParseDouble(v);
  } else if (StartsWithNoCase(s, "UNIT")) {
    SetText(t.unit, v);
  } else if (StartsWithNoCase(s, "TIME_BEGIN")) {
    t.timeBegin = ParseDouble(v);
  }
}

// ---- string lists --------------------------------------------------------

// Reads one keyword string at `pos`. Returns false at the end of the list:
// a length outside 2..255 (a length below 2 cannot hold its own length
// word), or a string that would run past `limit`.
bool ReadString(const uint8_t* data, std::size_t limit, std::size_t pos, std::string* text,
                std::size_t* length) {
  if (pos > limit || limit - pos < 2) return false;
  const auto len = static_cast<int16_t>(DecodeLE16(data + pos));
  if (len < 2 || len >= seg2::kMaxStringLength) return false;
  if (limit - pos < static_cast<std::size_t>(len)) return false;
  const auto* begin = reinterpret_cast<const char*>(data + pos + 2);
  const std::size_t n = static_cast<std::size_t>(len) - 2;
  const void* nul = std::memchr(begin, 0, n);
  text->assign(begin, nul ? static_cast<const char*>(nul) - begin : n);
  *length = static_cast<std::size_t>(len);
  return true;
}

// ---- samples -------------------------------------------------------------

// Samples that the bytes from the data start to the end of the file hold.
int64_t BackedSamples(int code, std::size_t available) {
  switch (code) {
    case 1: return static_cast<int64_t>(available / 2);
    case 2:
    case 4: return static_cast<int64_t>(available / 4);
    case 3: return static_cast<int64_t>(available / 10 * 4 + 4);
    case 5: return static_cast<int64_t>(available / 8);
    default: return 0;  // nothing is read for an unknown code
  }
}

// Samples that DecodeSamples takes from `available` bytes (format 3 decodes
// the whole 16-bit words of a started group); -1 for a code it does not
// decode.
int64_t DecodableSamples(int code, std::size_t available) {
  switch (code) {
    case 1: return static_cast<int64_t>(available / 2);
    case 2:
    case 4: return static_cast<int64_t>(available / 4);
    case 3: {
      const std::size_t rest = available % 10;
      return static_cast<int64_t>(available / 10 * 4 + (rest >= 2 ? (rest - 2) / 2 : 0));
    }
    case 5: return static_cast<int64_t>(available / 8);
    default: return -1;
  }
}

// 20-bit floating point: groups of four samples in five 16-bit words; word 0
// holds the four 4-bit exponents (sample k in bits 4k..4k+3), words 1..4 the
// 16-bit mantissas. The SEG-2 standard stores a negative mantissa in one's
// complement, so m < 0 stands for m + 1 before the shift. A started group
// always occupies its 10 bytes; whatever part of it lies inside the file is
// decoded.
void DecodeFormat3(const uint8_t* src, std::size_t available, XL_WaveTrace& t) {
  const int64_t n = std::min(t.sampleCount, t.AllocatedSlots());
  for (int64_t g = 0; g * 4 < n; ++g) {
    const std::size_t base = static_cast<std::size_t>(g) * 10;
    if (base + 2 > available) break;
    const uint16_t exponents = DecodeLE16(src + base);
    for (int k = 0; k < 4; ++k) {
      const std::size_t at = base + 2 + 2 * static_cast<std::size_t>(k);
      const int64_t slot = g * 4 + k;
      if (at + 2 > available || slot >= t.AllocatedSlots()) break;
      int32_t m = static_cast<int16_t>(DecodeLE16(src + at));
      if (m < 0) m += 1;
      const int e = (exponents >> (4 * k)) & 0xF;
      t.samples[static_cast<std::size_t>(slot)] = static_cast<float>(m * (int32_t{1} << e));
    }
  }
}

void DecodeSamples(int code, const uint8_t* src, std::size_t available, XL_WaveTrace& t) {
  const int64_t n = std::min(t.sampleCount, t.AllocatedSlots());
  float* out = t.samples.data();
  switch (code) {
    case 1: {
      const int64_t m = std::min<int64_t>(n, static_cast<int64_t>(available / 2));
      for (int64_t i = 0; i < m; ++i) out[i] = static_cast<int16_t>(DecodeLE16(src + 2 * i));
      break;
    }
    case 2: {
      const int64_t m = std::min<int64_t>(n, static_cast<int64_t>(available / 4));
      for (int64_t i = 0; i < m; ++i) {
        out[i] = static_cast<float>(static_cast<int32_t>(DecodeLE32(src + 4 * i)));
      }
      break;
    }
    case 3: DecodeFormat3(src, available, t); break;
    case 4: {
      const int64_t m = std::min<int64_t>(n, static_cast<int64_t>(available / 4));
      for (int64_t i = 0; i < m; ++i) out[i] = DecodeLEFloat(src + 4 * i);
      break;
    }
    case 5: {
      const int64_t m = std::min<int64_t>(n, static_cast<int64_t>(available / 8));
      for (int64_t i = 0; i < m; ++i) out[i] = static_cast<float>(DecodeLEDouble(src + 8 * i));
      break;
    }
    default: break;  // unknown code: the samples stay 0
  }
}

std::string At(std::size_t pos) { return StrPrintf("at byte %zu", pos); }

}  // namespace

Seg2ReadResult ParseSeg2(const uint8_t* data, std::size_t size, XL_WaveData& record,
                         int64_t first_trace, int64_t last_trace) {
  Seg2ReadResult result;
  const bool record_was_empty = record.TraceCount() == 0;
  if (record_was_empty) {
    record.header.Reset();
    SetText(record.header.units, "NONE");
    SetText(record.header.waveUnits, " ");
  }
  if (first_trace == 0 && last_trace == 0) {
    first_trace = seg2::kDefaultFirstTrace;
    last_trace = seg2::kDefaultLastTrace;
  }
  if (size < seg2::kFileDescriptorBytes) {
    result.message = StrPrintf("file descriptor block needs 32 bytes, %zu present", size);
    return result;
  }
  const uint16_t id = DecodeLE16(data);
  if (id != seg2::kFileBlockId) {
    result.message = StrPrintf("not a SEG-2 file: block id 0x%04X, expected 0x3A55%s", id,
                               id == 0x553A ? " (big-endian SEG-2 is not read)" : "");
    return result;
  }
  result.loaded = 1;
  const std::size_t pointer_block = DecodeLE16(data + 4);
  std::size_t n_traces = DecodeLE16(data + 6);
  result.traces_declared = static_cast<int64_t>(n_traces);
  const std::size_t pointers_fit = (size - seg2::kFileDescriptorBytes) / 4;
  if (n_traces > pointers_fit) {
    result.message = StrPrintf("%zu trace pointers declared, only %zu fit in the file", n_traces,
                               pointers_fit);
    n_traces = pointers_fit;
  }
  std::vector<std::size_t> pointers(n_traces);
  for (std::size_t i = 0; i < n_traces; ++i) {
    pointers[i] = DecodeLE32(data + seg2::kFileDescriptorBytes + 4 * i);
  }

  // File strings, up to the first trace descriptor (or the end of the file).
  const std::size_t string_limit =
      n_traces > 0 ? std::min(size, pointers[0]) : size;
  std::size_t pos = seg2::kFileDescriptorBytes + pointer_block;
  std::string text;
  std::size_t length = 0;
  while (pos < string_limit && ReadString(data, size, pos, &text, &length)) {
    if (record_was_empty) ParseFileString(text, record.header);
    pos += length;
  }

  int64_t budget = kUnbackedSampleBudget;
  int64_t stopped_at = 0;  // the selected trace at which reading stopped
  for (std::size_t i = 0; i < n_traces; ++i) {
    const int64_t number = static_cast<int64_t>(i) + 1;
    if (number < first_trace) continue;
    if (number > last_trace) break;
    stopped_at = number;
    if (record.TraceCount() >= kMaxTraces) {
      result.message = StrPrintf("more than %d traces; the rest are not read", kMaxTraces);
      break;
    }
    const std::size_t ptr = pointers[i];
    if (ptr > size || size - ptr < seg2::kTraceDescriptorBytes) {
      result.message = StrPrintf("trace %lld: descriptor %s runs past the end of the file (%zu bytes)",
                                 static_cast<long long>(number), At(ptr).c_str(), size);
      break;
    }
    if (DecodeLE16(data + ptr) != seg2::kTraceBlockId) {
      result.message = StrPrintf("trace %lld: bad trace descriptor id %s",
                                 static_cast<long long>(number), At(ptr).c_str());
      break;
    }
    const std::size_t block = DecodeLE16(data + ptr + 2);
    const uint32_t declared = DecodeLE32(data + ptr + 8);
    const int code = data[ptr + 12];
    const std::size_t data_start = ptr + block;
    const std::size_t available = data_start < size ? size - data_start : 0;

    int64_t n = std::min<int64_t>(declared, INT32_MAX - 255);
    const int64_t backed = BackedSamples(code, available);
    if (n > backed) {
      const int64_t granted = std::min(n - backed, budget);
      budget -= granted;
      if (backed + granted < n) {
        result.message = StrPrintf("trace %lld: %u samples declared, file holds %lld",
                                   static_cast<long long>(number), declared,
                                   static_cast<long long>(backed));
      }
      n = backed + granted;
    }
    auto trace = std::make_unique<XL_WaveTrace>(static_cast<int32_t>(n));
    if (n > 0 && trace->sampleCount == 0) {
      result.message = StrPrintf("trace %lld: cannot allocate %lld samples",
                                 static_cast<long long>(number), static_cast<long long>(n));
      break;
    }
    XL_WaveTrace& t = record.AddTrace(std::move(trace));
    t.channelNumber = static_cast<int16_t>(number);

    // Trace strings: only while a whole length word lies inside the
    // descriptor block, so the first bytes of the data are never taken for
    // a string length; a string that ends beyond the block is the last.
    const std::size_t block_end = std::min(size, ptr + block);
    pos = ptr + seg2::kTraceDescriptorBytes;
    while (pos + 2 <= block_end && ReadString(data, size, pos, &text, &length)) {
      ParseTraceString(text, t);
      pos += length;
    }
    if (!(t.samplingInterval >= 1e-20)) t.samplingInterval = 1.0;

    t.dataFormat = static_cast<int16_t>(code);
    DecodeSamples(code, data + std::min(data_start, size), available, t);
    t.RecomputeStats();
    ++result.traces_read;
    stopped_at = 0;

    const int64_t decodable = DecodableSamples(code, available);
    const int64_t slots = std::min(t.sampleCount, t.AllocatedSlots());
    const int64_t present = std::clamp<int64_t>(decodable, 0, slots);
    if (declared > 0 && present < static_cast<int64_t>(declared)) {
      result.short_traces.push_back({record.TraceCount() - 1, number,
                                     static_cast<int64_t>(declared), present, code,
                                     decodable < 0});
    }
  }

  // Selected traces never reached: from the one at which reading stopped,
  // or past the pointers the file has room for, to the last selected one.
  const int64_t selected_last = std::min(last_trace, result.traces_declared);
  int64_t first_missing = stopped_at;
  if (first_missing == 0 && static_cast<int64_t>(n_traces) < result.traces_declared) {
    first_missing = std::max<int64_t>(first_trace, static_cast<int64_t>(n_traces) + 1);
  }
  if (first_missing > 0 && first_missing <= selected_last) {
    result.missing_first = first_missing;
    result.missing_last = selected_last;
  }
  result.partial = PartialReadText(result);

  if (record.TraceCount() > 0) {
    const std::string start = "Start: " + FormatJulianDay(record.Trace(0).timeBegin, 0.0f);
    SetText(record.header.note, start);
  }
  if (result.traces_read == 0) {
    result.loaded = 0;
    if (result.message.empty()) result.message = "no trace could be read";
  }
  return result;
}

std::string PartialReadText(const Seg2ReadResult& r) {
  std::string text;
  if (!r.short_traces.empty()) {
    const Seg2ShortTrace& s = r.short_traces.front();
    if (s.unknown_format) {
      text = StrPrintf("trace %lld of %lld: data format %d is not read, its %lld samples are 0",
                       static_cast<long long>(s.number), static_cast<long long>(r.traces_declared),
                       s.format, static_cast<long long>(s.declared));
    } else {
      text = StrPrintf("trace %lld of %lld: %lld of %lld samples present",
                       static_cast<long long>(s.number), static_cast<long long>(r.traces_declared),
                       static_cast<long long>(s.present), static_cast<long long>(s.declared));
    }
    const std::size_t more = r.short_traces.size() - 1;
    if (more > 0) {
      text += StrPrintf("; %zu more trace%s short of samples", more, more > 1 ? "s" : "");
    }
  }
  if (r.missing_first > 0) {
    if (!text.empty()) text += "; ";
    text += r.missing_first == r.missing_last
                ? StrPrintf("trace %lld missing", static_cast<long long>(r.missing_first))
                : StrPrintf("traces %lld-%lld missing", static_cast<long long>(r.missing_first),
                            static_cast<long long>(r.missing_last));
  }
  return text;
}

XL_WaveDataSeg2::~XL_WaveDataSeg2() = default;

int XL_WaveDataSeg2::Load(const std::string& file_name, int clear_first, int64_t first_trace,
                          int64_t last_trace) {
  last_message_.clear();
  partial_read_.clear();
  short_traces_.clear();
  if (clear_first > 0) Clear();
  std::vector<uint8_t> bytes;
  std::string error;
  if (!ReadWholeFile(file_name, &bytes, &error)) {
    last_message_ = error;
    return 0;
  }
  Seg2ReadResult r = ParseSeg2(bytes.data(), bytes.size(), *this, first_trace, last_trace);
  if (!r.message.empty()) last_message_ = file_name + ": " + r.message;
  partial_read_ = std::move(r.partial);
  short_traces_ = std::move(r.short_traces);
  return r.loaded;
}

}  // namespace qae
