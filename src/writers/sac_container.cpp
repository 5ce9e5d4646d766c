#include "writers/sac_container.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <new>

#include "dsp/calendar.h"
#include "util/byte_order.h"
#include "util/file_io.h"
#include "util/text.h"
#include "wave/time_utils.h"

namespace qae {

namespace {

constexpr int kFloatWords = 70;
constexpr int kIntWords = 40;
constexpr std::size_t kTextOffset = 4 * (kFloatWords + kIntWords);  // 440
constexpr std::size_t kTextBytes = kSacHeaderBytes - kTextOffset;    // 192
// Byte offset of the integer word nvhdr in the header.
constexpr std::size_t kNvhdrOffset = 4 * (kFloatWords + SacHeader::kNvhdr);
// Samples are converted and written this many at a time, so the buffer stays
// small whatever the sample count.
constexpr int64_t kWriteChunk = 1 << 16;

uint32_t DecodeBE32(const uint8_t* p) {
  return (static_cast<uint32_t>(p[0]) << 24) | (static_cast<uint32_t>(p[1]) << 16) |
         (static_cast<uint32_t>(p[2]) << 8) | static_cast<uint32_t>(p[3]);
}

uint32_t Decode32(const uint8_t* p, bool big_endian) {
  return big_endian ? DecodeBE32(p) : DecodeLE32(p);
}

float BitsToFloat(uint32_t bits) {
  float f;
  std::memcpy(&f, &bits, sizeof f);
  return f;
}

uint32_t FloatToBits(float f) {
  uint32_t bits;
  std::memcpy(&bits, &f, sizeof bits);
  return bits;
}

bool IsSacVersion(int32_t v) { return v >= 1 && v <= 7; }

// The byte order of the header at `p`, from its version word: false for
// little-endian, true for big-endian. Fails when neither reading is a
// version.
bool DetectByteOrder(const uint8_t* p, bool* big_endian) {
  const auto le = static_cast<int32_t>(DecodeLE32(p + kNvhdrOffset));
  if (IsSacVersion(le)) {
    *big_endian = false;
    return true;
  }
  const auto be = static_cast<int32_t>(DecodeBE32(p + kNvhdrOffset));
  if (IsSacVersion(be)) {
    *big_endian = true;
    return true;
  }
  return false;
}

void DecodeSacHeader(const uint8_t* p, bool big_endian, SacHeader* h) {
  for (int i = 0; i < kFloatWords; ++i) h->floats[i] = BitsToFloat(Decode32(p + 4 * i, big_endian));
  for (int i = 0; i < kIntWords; ++i) {
    h->ints[i] = static_cast<int32_t>(Decode32(p + 4 * (kFloatWords + i), big_endian));
  }
  std::memcpy(h->text, p + kTextOffset, kTextBytes);
}

// Reads one header and its samples at `pos`; `what` names the record in
// messages. Advances `pos` past the samples.
bool ParseRecordAt(const uint8_t* data, std::size_t size, std::size_t* pos, const std::string& what,
                   SacRecord* record, std::string* error) {
  const std::size_t at = *pos;
  if (at > size || size - at < kSacHeaderBytes) {
    *error = StrPrintf("%s at byte %zu: header needs %zu bytes, %zu left", what.c_str(), at,
                       kSacHeaderBytes, at > size ? std::size_t{0} : size - at);
    return false;
  }
  const uint8_t* p = data + at;
  bool big_endian = false;
  if (!DetectByteOrder(p, &big_endian)) {
    *error = StrPrintf("%s at byte %zu: not a SAC header (version word %d)", what.c_str(), at,
                       static_cast<int32_t>(DecodeLE32(p + kNvhdrOffset)));
    return false;
  }
  DecodeSacHeader(p, big_endian, &record->header);
  record->bigEndian = big_endian;
  const int32_t npts = record->header.ints[SacHeader::kNpts];
  const std::size_t left = size - at - kSacHeaderBytes;
  if (npts < 0) {
    *error = StrPrintf("%s at byte %zu: negative npts %d", what.c_str(), at, npts);
    return false;
  }
  const uint64_t need = 4 * static_cast<uint64_t>(npts);
  if (need > left) {
    *error = StrPrintf("%s at byte %zu: %d samples need %llu bytes, %zu left", what.c_str(), at,
                       npts, static_cast<unsigned long long>(need), left);
    return false;
  }
  const uint8_t* s = p + kSacHeaderBytes;
  record->data.resize(static_cast<std::size_t>(npts));
  for (int32_t i = 0; i < npts; ++i) {
    record->data[static_cast<std::size_t>(i)] = BitsToFloat(Decode32(s + 4 * i, big_endian));
  }
  *pos = at + kSacHeaderBytes + static_cast<std::size_t>(need);
  return true;
}

// Where a channel's samples come from: `size` values at `data`, or none.
struct ChannelView {
  const float* data = nullptr;
  int64_t size = 0;
  std::string_view name;
};

std::string_view NamePart(std::string_view name, std::size_t pos, std::size_t count) {
  if (pos >= name.size()) return {};
  return name.substr(pos, count);
}

int WriteChannels(const std::string& path, const std::vector<ChannelView>& channels,
                  int64_t first_sample, int32_t sample_count, float sampling_interval,
                  double reference_time) {
  const int channel_count = static_cast<int>(channels.size());
  const int failed = channel_count > 0 ? channel_count : 1;
  const int32_t n = std::max<int32_t>(sample_count, 0);

  const CalendarTime t = CalendarFromJulian(reference_time, 0.0f);

  std::vector<uint8_t> buffer;
  try {
    buffer.resize(static_cast<std::size_t>(4 * std::min<int64_t>(n, kWriteChunk)));
  } catch (const std::bad_alloc&) {
    std::fprintf(stderr, "Error in allocating memory for writing %s\n", path.c_str());
    return failed;
  }

  // Written beside the target and renamed over it when complete, so that
  // readers never meet a partial container.
  std::string tmp;
  FILE* fp = CreateFileBeside(path, &tmp);
  if (fp == nullptr) {
    std::fprintf(stderr, "Error in opening file for writing %s\n", path.c_str());
    return failed;
  }

  bool ok = true;
  uint8_t word[4];
  StoreLE32(word, static_cast<uint32_t>(channel_count));
  if (std::fwrite(word, 1, 4, fp) != 4) {
    std::fprintf(stderr, "Error in writing SAC header for writing %s\n", path.c_str());
    ok = false;
  }

  SacHeader h = MakeDefaultSacHeader(0, 0.0f, 0.0f);
  h.floats[SacHeader::kDelta] = sampling_interval;
  h.floats[SacHeader::kB] = 0.0f;
  h.floats[SacHeader::kE] = static_cast<float>(static_cast<double>(n) * sampling_interval);
  h.ints[SacHeader::kNpts] = n;
  h.ints[SacHeader::kNzYear] = t.year;
  h.ints[SacHeader::kNzJday] = DayOfYear(t.year, t.month, t.day);
  h.ints[SacHeader::kNzHour] = t.hour;
  h.ints[SacHeader::kNzMin] = t.minute;
  // A Julian day number near 2.45e6 resolves only 40 us, so an instant on a
  // whole millisecond often comes back a few microseconds short of it, and
  // plain truncation would then report the millisecond before. The seconds
  // are therefore first rounded to 0.1 ms, below which the day number holds
  // no information, and the milliseconds truncated from that; the rounding
  // never carries past 59.9999 s, since the minute is already fixed.
  const auto tenths_of_ms = std::clamp<int64_t>(
      static_cast<int64_t>(std::llround(static_cast<double>(t.seconds) * 1e4)), 0, 599999);
  h.ints[SacHeader::kNzSec] = static_cast<int32_t>(tenths_of_ms / 10000);
  h.ints[SacHeader::kNzMsec] = static_cast<int32_t>(tenths_of_ms % 10000 / 10);

  uint8_t header_bytes[kSacHeaderBytes];
  for (const ChannelView& ch : channels) {
    // After a failure the loop runs on but nothing more reaches the file.
    if (!ok) continue;
    const std::size_t len = ch.name.size();
    const std::size_t station_len = len == 8 ? 3 : (len == 9 ? 4 : 5);
    SetSacText(&h, SacHeader::kKnetwk, 8, NamePart(ch.name, 0, 2));
    SetSacText(&h, SacHeader::kKstnm, 8, NamePart(ch.name, 2, station_len));
    SetSacText(&h, SacHeader::kKcmpnm, 8, NamePart(ch.name, 2 + station_len, 3));
    EncodeSacHeader(h, header_bytes);
    if (std::fwrite(header_bytes, 1, kSacHeaderBytes, fp) != kSacHeaderBytes) {
      std::fprintf(stderr, "Error in writing SAC header for writing %s\n", path.c_str());
      ok = false;
      continue;
    }
    for (int64_t done = 0; done < n && ok; done += kWriteChunk) {
      const int64_t m = std::min<int64_t>(kWriteChunk, n - done);
      for (int64_t i = 0; i < m; ++i) {
        const int64_t j = first_sample + done + i;
        const float v = ch.data != nullptr && j >= 0 && j < ch.size ? ch.data[j] : 0.0f;
        StoreLE32(buffer.data() + 4 * i, FloatToBits(static_cast<float>(v * 1e6)));
      }
      const auto bytes = static_cast<std::size_t>(4 * m);
      if (std::fwrite(buffer.data(), 1, bytes, fp) != bytes) {
        std::fprintf(stderr, "Error in writing SAC data for writing %s\n", path.c_str());
        ok = false;
      }
    }
  }

  // Buffered data reach the disk only here; a full disk shows up now.
  if (ok && !FlushToDisk(fp)) {
    std::fprintf(stderr, "Error in writing SAC data for writing %s\n", path.c_str());
    ok = false;
  }
  if (ok && !TakePermissionsOf(fp, path)) {
    std::fprintf(stderr, "Error in opening file for writing %s\n", path.c_str());
    ok = false;
  }
  if (std::fclose(fp) != 0 && ok) {
    std::fprintf(stderr, "Error in writing SAC data for writing %s\n", path.c_str());
    ok = false;
  }
  if (ok && !MoveFileOver(tmp, path)) {
    std::fprintf(stderr, "Error in opening file for writing %s\n", path.c_str());
    ok = false;
  }
  if (!ok) {
    RemoveFile(tmp);
    return failed;
  }
  return 0;
}

}  // namespace

SacHeader MakeDefaultSacHeader(int32_t n, float dt, float b0) {
  SacHeader h;
  std::fill(std::begin(h.floats), std::end(h.floats), kSacUndefinedFloat);
  std::fill(std::begin(h.ints), std::end(h.ints), kSacUndefinedInt);
  SetSacText(&h, SacHeader::kKstnm, 8, "-12345");
  SetSacText(&h, SacHeader::kKevnm, 16, "-12345");
  for (std::size_t off = SacHeader::kKevnm + 16; off < kTextBytes; off += 8) {
    SetSacText(&h, static_cast<int>(off), 8, "-12345");
  }
  h.floats[SacHeader::kDelta] = dt;
  h.floats[SacHeader::kB] = b0;
  h.floats[SacHeader::kO] = 0.0f;
  h.floats[SacHeader::kE] =
      static_cast<float>(static_cast<double>(b0) + (static_cast<double>(n) - 1.0) * dt);
  h.ints[SacHeader::kNvhdr] = 6;
  h.ints[SacHeader::kNpts] = n;
  h.ints[SacHeader::kIftype] = 1;
  h.ints[SacHeader::kIztype] = 11;
  h.ints[SacHeader::kLeven] = 1;
  return h;
}

void ScaleSacTimes(SacHeader* header, double factor) {
  // Float words that hold times: delta, odelta, b, e, o, a, t0..t9, f.
  static constexpr int kTimeWords[] = {0, 4, 5, 6, 7, 8, 10, 11, 12, 13, 14,
                                       15, 16, 17, 18, 19, 20};
  for (int w : kTimeWords) {
    float& v = header->floats[w];
    if (v != kSacUndefinedFloat) v = static_cast<float>(static_cast<double>(v) * factor);
  }
}

void SetSacText(SacHeader* header, int offset, int width, std::string_view text) {
  if (offset < 0 || width <= 0 || static_cast<std::size_t>(offset) >= kTextBytes) return;
  const std::size_t w =
      std::min(static_cast<std::size_t>(width), kTextBytes - static_cast<std::size_t>(offset));
  char* field = header->text + offset;
  std::memset(field, ' ', w);
  if (!text.empty()) std::memcpy(field, text.data(), std::min(text.size(), w));
}

std::string SacText(const SacHeader& header, int offset, int width) {
  if (offset < 0 || width <= 0 || static_cast<std::size_t>(offset) >= kTextBytes) return {};
  const std::size_t w =
      std::min(static_cast<std::size_t>(width), kTextBytes - static_cast<std::size_t>(offset));
  std::string_view field(header.text + offset, w);
  field = field.substr(0, field.find('\0'));
  const std::size_t end = field.find_last_not_of(' ');
  return std::string(end == std::string_view::npos ? std::string_view() : field.substr(0, end + 1));
}

void EncodeSacHeader(const SacHeader& header, uint8_t* out) {
  for (int i = 0; i < kFloatWords; ++i) StoreLE32(out + 4 * i, FloatToBits(header.floats[i]));
  for (int i = 0; i < kIntWords; ++i) {
    StoreLE32(out + 4 * (kFloatWords + i), static_cast<uint32_t>(header.ints[i]));
  }
  std::memcpy(out + kTextOffset, header.text, kTextBytes);
}

std::vector<uint8_t> EncodeSacFile(const SacHeader& header, const float* data, int32_t n) {
  const int32_t count = data != nullptr ? std::max<int32_t>(n, 0) : 0;
  std::vector<uint8_t> out(kSacHeaderBytes + 4 * static_cast<std::size_t>(count));
  SacHeader h = header;
  h.ints[SacHeader::kNpts] = count;
  EncodeSacHeader(h, out.data());
  for (int32_t i = 0; i < count; ++i) {
    StoreLE32(out.data() + kSacHeaderBytes + 4 * static_cast<std::size_t>(i), FloatToBits(data[i]));
  }
  return out;
}

int WriteSacsChannels(const std::string& path, const float* const* channels,
                      const char* const* names, int channel_count, int64_t first_sample,
                      int32_t sample_count, float sampling_interval, double reference_time) {
  std::vector<ChannelView> views(static_cast<std::size_t>(std::max(channel_count, 0)));
  for (std::size_t c = 0; c < views.size(); ++c) {
    if (channels != nullptr && channels[c] != nullptr) {
      views[c].data = channels[c];
      views[c].size = std::numeric_limits<int64_t>::max();
    }
    if (names != nullptr && names[c] != nullptr) views[c].name = names[c];
  }
  return WriteChannels(path, views, first_sample, sample_count, sampling_interval,
                       reference_time);
}

int WriteSacsChannels(const std::string& path, const std::vector<std::vector<float>>& channels,
                      const std::vector<std::string>& names, int64_t first_sample,
                      int32_t sample_count, float sampling_interval, double reference_time) {
  if (channels.size() > static_cast<std::size_t>(std::numeric_limits<int32_t>::max())) {
    std::fprintf(stderr, "Error in allocating memory for writing %s\n", path.c_str());
    return std::numeric_limits<int32_t>::max();
  }
  std::vector<ChannelView> views(channels.size());
  for (std::size_t c = 0; c < views.size(); ++c) {
    views[c].data = channels[c].data();
    views[c].size = static_cast<int64_t>(channels[c].size());
    if (c < names.size()) views[c].name = names[c];
  }
  return WriteChannels(path, views, first_sample, sample_count, sampling_interval,
                       reference_time);
}

bool ParseSacContainer(const uint8_t* data, std::size_t size, std::vector<SacRecord>* records,
                       std::string* error) {
  records->clear();
  std::string ignored;
  if (error == nullptr) error = &ignored;
  if (size < 4) {
    *error = StrPrintf("container needs a 4-byte record count, %zu bytes present", size);
    return false;
  }
  const auto count = static_cast<int32_t>(DecodeLE32(data));
  // Every record needs at least its header, which bounds the count before
  // anything is reserved for it.
  if (count < 0 || static_cast<uint64_t>(count) > (size - 4) / kSacHeaderBytes) {
    *error = StrPrintf("record count %d does not fit %zu bytes of records", count, size - 4);
    return false;
  }
  records->reserve(static_cast<std::size_t>(count));
  std::size_t pos = 4;
  for (int32_t r = 0; r < count; ++r) {
    SacRecord record;
    if (!ParseRecordAt(data, size, &pos, StrPrintf("record %d", r + 1), &record, error)) {
      records->clear();
      return false;
    }
    records->push_back(std::move(record));
  }
  if (pos != size) {
    *error = StrPrintf("%zu bytes follow the last of %d records at byte %zu", size - pos, count,
                       pos);
    records->clear();
    return false;
  }
  return true;
}

bool ParseSacFile(const uint8_t* data, std::size_t size, SacRecord* record, std::string* error) {
  std::string ignored;
  std::size_t pos = 0;
  return ParseRecordAt(data, size, &pos, "SAC record", record, error ? error : &ignored);
}

bool ReadSacRecords(const std::string& path, std::vector<SacRecord>* records, bool* is_container,
                    std::string* error) {
  std::string ignored;
  if (error == nullptr) error = &ignored;
  records->clear();
  std::vector<uint8_t> bytes;
  if (!ReadWholeFile(path, &bytes, error)) return false;
  std::string container_error;
  if (ParseSacContainer(bytes.data(), bytes.size(), records, &container_error)) {
    if (is_container) *is_container = true;
    return true;
  }
  SacRecord single;
  std::string single_error;
  if (ParseSacFile(bytes.data(), bytes.size(), &single, &single_error)) {
    records->push_back(std::move(single));
    if (is_container) *is_container = false;
    return true;
  }
  *error = path + ": not a SAC container (" + container_error + ") nor a SAC file (" +
           single_error + ")";
  return false;
}

}  // namespace qae
