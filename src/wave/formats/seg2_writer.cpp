#include "wave/formats/seg2_writer.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "util/byte_order.h"
#include "util/file_io.h"
#include "util/text.h"
#include "wave/formats/seg2_format.h"

namespace qae {

namespace {

// The reader ends a string list at a length of 256 or more, so a longer
// value is cut to keep every string after it readable.
constexpr std::size_t kMaxStringText = seg2::kMaxStringLength - 4;

void PutString(std::vector<uint8_t>& out, std::string text) {
  if (text.size() > kMaxStringText) text.resize(kMaxStringText);
  PutLE16(out, static_cast<uint16_t>(text.size() + 3));
  out.insert(out.end(), text.begin(), text.end());
  out.push_back(0);
}

// Truncation toward zero, saturated at the int32 range (NaN gives 0), so an
// out-of-range value never invokes undefined behaviour.
int32_t TruncateToInt32(float x) {
  if (std::isnan(x)) return 0;
  if (x >= 2147483648.0f) return INT32_MAX;
  if (x < -2147483648.0f) return INT32_MIN;
  return static_cast<int32_t>(x);
}

int BytesPerSample(int code) {
  switch (code) {
    case 1: return 2;
    case 5: return 8;
    default: return 4;
  }
}

float SampleAt(const XL_WaveTrace& t, int64_t i) {
  const int64_t valid = std::min(t.sampleCount, t.AllocatedSlots());
  return (i >= 0 && i < valid) ? t.samples[static_cast<std::size_t>(i)] : 0.0f;
}

void PutSamples(std::vector<uint8_t>& out, const XL_WaveTrace& t, int64_t first, int64_t n,
                int code) {
  if (n <= 0) return;
  // Stored in place rather than appended value by value: a record's samples
  // are most of its file.
  const std::size_t at = out.size();
  const auto width = static_cast<std::size_t>(BytesPerSample(code));
  out.resize(at + static_cast<std::size_t>(n) * width);
  uint8_t* p = out.data() + at;
  for (int64_t k = 0; k < n; ++k, p += width) {
    const float v = SampleAt(t, first + k);
    switch (code) {
      case 1:  // the low 16 bits, so 40000 wraps to -25536 as int16 files do
        StoreLE16(p, static_cast<uint16_t>(static_cast<uint32_t>(TruncateToInt32(v)) & 0xFFFF));
        break;
      case 2: StoreLE32(p, static_cast<uint32_t>(TruncateToInt32(v))); break;
      case 5: {
        const double d = v;
        uint64_t bits;
        std::memcpy(&bits, &d, sizeof bits);
        StoreLE32(p, static_cast<uint32_t>(bits));
        StoreLE32(p + 4, static_cast<uint32_t>(bits >> 32));
        break;
      }
      default: {
        uint32_t bits;
        std::memcpy(&bits, &v, sizeof bits);
        StoreLE32(p, bits);
        break;
      }
    }
  }
}

}  // namespace

bool EndsWithSg2(const std::string& name) {
  if (name.size() < 3) return false;
  return StartsWithNoCase(std::string_view(name).substr(name.size() - 3), "SG2");
}

std::vector<uint8_t> EncodeSeg2(XL_WaveData& record, int64_t first_sample, int32_t sample_count,
                                int data_format, bool extended) {
  const int code = (data_format == 1 || data_format == 2 || data_format == 4 || data_format == 5)
                       ? data_format
                       : 4;
  if (sample_count < 1) first_sample = 0;
  const std::size_t n_traces = std::min<std::size_t>(record.traces.size(), 65535 / 4);
  for (auto& t : record.traces) {
    t->RecomputeStats();
    t->dataFormat = static_cast<int16_t>(code);
  }
  const WaveHeader& h = record.header;

  std::vector<uint8_t> out;
  // Headers take a few hundred bytes a trace; the samples the rest.
  std::size_t expected = 4096 + 1024 * n_traces;
  for (std::size_t i = 0; i < n_traces; ++i) {
    const int64_t n = sample_count < 1 ? std::max(record.traces[i]->sampleCount, 0) : sample_count;
    expected += static_cast<std::size_t>(n) * static_cast<std::size_t>(BytesPerSample(code));
  }
  out.reserve(expected);
  PutLE16(out, seg2::kFileBlockId);
  PutLE16(out, 1);
  PutLE16(out, static_cast<uint16_t>(4 * n_traces));
  PutLE16(out, static_cast<uint16_t>(n_traces));
  out.push_back(1);  // string terminator: one NUL
  out.push_back(0);
  out.push_back(0);
  out.push_back(1);  // line terminator: one line feed
  out.push_back(10);
  out.push_back(0);
  out.insert(out.end(), 8, 0);
  PutLE16(out, static_cast<uint16_t>(h.timeSec & 0xFFFF));
  PutLE32(out, static_cast<uint32_t>(h.timeUsec));
  PutLE32(out, 0);
  const std::size_t pointer_table = out.size();
  out.insert(out.end(), 4 * n_traces, 0);

  auto text = [](const char* key, std::string_view value) {
    return StrPrintf("%s %.*s", key, static_cast<int>(value.size()), value.data());
  };
  PutString(out, text("ACQUISITION_DATE", TextOf(h.acquisitionDate)));
  PutString(out, text("ACQUISITION_TIME", TextOf(h.acquisitionTime)));
  PutString(out, text("TRACE_SORT", TextOf(h.traceSort)));
  PutString(out, text("UNITS", TextOf(h.units)));
  PutString(out, text("NOTE", TextOf(h.note)));
  if (extended) {
    PutString(out, text("TIMEUNITS", TextOf(h.timeUnits)));
    PutString(out, text("WAVEUNITS", TextOf(h.waveUnits)));
    PutString(out, text("COMMENTS", TextOf(h.comments)));
    PutString(out, text("RCV_NOTE", TextOf(h.rcvNote)));
    PutString(out, StrPrintf("%s %d", "NUMBER_SOURCES", h.numberSources));
    PutString(out, StrPrintf("%s %d", "NUMBER_RECEIVERS", h.numberReceivers));
    PutString(out, StrPrintf("%s %d %d", "ROTATION", h.rotation[0], h.rotation[1]));
    PutString(out, StrPrintf("%s %ld %ld", "TIME_SEC_USEC", static_cast<long>(h.timeSec),
                             static_cast<long>(h.timeUsec)));
  }
  PutLE16(out, 0);

  for (std::size_t i = 0; i < n_traces; ++i) {
    XL_WaveTrace& t = *record.traces[i];
    const int64_t n = sample_count < 1 ? std::max(t.sampleCount, 0) : sample_count;
    const std::size_t ptr = out.size();
    StoreLE32(out.data() + pointer_table + 4 * i, static_cast<uint32_t>(ptr));
    PutLE16(out, seg2::kTraceBlockId);
    PutLE16(out, 0);  // block size, filled in below
    PutLE32(out, static_cast<uint32_t>(n * BytesPerSample(code)));
    PutLE32(out, static_cast<uint32_t>(n));
    out.push_back(static_cast<uint8_t>(code));
    out.insert(out.end(), 19, 0);

    const double delay = static_cast<double>(first_sample) * t.samplingInterval + t.delay;
    PutString(out, StrPrintf("%s %u", "CHANNEL_NUMBER", static_cast<unsigned>(i)));
    PutString(out, StrPrintf("%s %lf", "DELAY", delay));
    PutString(out, StrPrintf("%s %e", "DESCALING_FACTOR", t.descalingFactor));
    PutString(out, text("LINE_ID", TextOf(t.lineId)));
    PutString(out, StrPrintf("%s %lf %lf %lf", "RECEIVER_LOCATION", t.receiverLocation[0],
                             t.receiverLocation[1], t.receiverLocation[2]));
    PutString(out, StrPrintf("%s %le", "SAMPLE_INTERVAL", t.samplingInterval));
    PutString(out, StrPrintf("%s %lf", "SKEW", t.skew));
    PutString(out, StrPrintf("%s %lf %lf %lf", "SOURCE_LOCATION", t.sourceLocation[0],
                             t.sourceLocation[1], t.sourceLocation[2]));
    PutString(out, StrPrintf("%s %u", "STACK", static_cast<unsigned>(t.stack)));
    if (extended) {
      const auto pick = [&](int32_t p) {
        return static_cast<unsigned>(std::max<int64_t>(0, p - first_sample));
      };
      PutString(out, StrPrintf("%s %u %u", "PICKUP", pick(t.pickup[0]), pick(t.pickup[1])));
      PutString(out, StrPrintf("%s %lf", "AMPPICKUP", t.ampPickup));
      PutString(out, StrPrintf("%s %lf", "NSRATIO", t.nsRatio));
      PutString(out, text("NOTE", TextOf(t.note)));
      PutString(out, StrPrintf("%s %lf", "DRAW_SIZE_FACTOR", t.drawSizeFactor));
      PutString(out, text("UNIT", TextOf(t.unit)));
      PutString(out, StrPrintf("%s %lf", "TIME_BEGIN", t.timeBegin));
    }
    PutLE16(out, 0);
    StoreLE16(out.data() + ptr + 2, static_cast<uint16_t>(out.size() - ptr));
    PutSamples(out, t, first_sample, n, code);
  }
  return out;
}

int WriteSeg2(const std::string& file_name, XL_WaveData& record, int64_t first_sample,
              int32_t sample_count, int data_format, std::string* error) {
  const std::vector<uint8_t> bytes =
      EncodeSeg2(record, first_sample, sample_count, data_format, EndsWithSg2(file_name));
  return WriteFileAtomically(file_name, bytes.data(), bytes.size(), error) ? 1 : 0;
}

}  // namespace qae
