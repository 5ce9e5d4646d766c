// SAC output: the default SAC version 6 header, the `.sacs` container of
// records the scan writes its correlation diagnostics to, and a reader for
// containers and single SAC files.
//
// A SAC v6 record is a 632-byte header (70 floats, 40 int32, 192 bytes of
// text; wave/sac_header.h) followed by npts float32 samples. The container:
//
//   offset  size         content
//   0       4            int32 record count N
//   4       632          header of record 1
//   636     4 * npts1    samples of record 1 (npts1 = its header word npts)
//   ...                  records 2 .. N the same way; nothing follows them.
//
// Everything the writer produces is little-endian.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "wave/sac_header.h"

namespace qae {

inline constexpr std::size_t kSacHeaderBytes = 632;
inline constexpr float kSacUndefinedFloat = -12345.0f;
inline constexpr int32_t kSacUndefinedInt = -12345;

// A header with every word undefined (-12345, and "-12345" blank-padded in
// every text field) except: delta = dt, b = b0, o = 0,
// e = b0 + (n - 1) * dt, nvhdr = 6, npts = n, iftype = 1 (time series),
// iztype = 11 (origin), leven = 1.
SacHeader MakeDefaultSacHeader(int32_t n, float dt, float b0);

// Writes `channel_count` records to the container `path`: record c has
// samples channels[c][first_sample + i] * 1e6 for i < sample_count, delta =
// `sampling_interval`, b = 0, e = sample_count * interval, and the reference
// time `reference_time` (Julian day, UTC) in nzyear .. nzmsec. Channel names
// are packed station codes: 2 characters of network (knetwk), then the
// station (kstnm; 3 characters for a name of 8, 4 for 9, else 5), then 3 of
// component (kcmpnm); a part the name does not reach is left blank, and
// fields are blank-padded to 8 characters. A null name counts as empty; a
// null channel, or an index before its start, reads as 0.
//
// The container is written to a temporary file beside `path` and renamed
// over it only when complete, so a failed write leaves any earlier file
// whole and no partial one. Returns 0 on success; on failure writes one of
// "Error in allocating memory for writing %s", "Error in opening file for
// writing %s", "Error in writing SAC header for writing %s" or "Error in
// writing SAC data for writing %s" to stderr and returns the channel count
// (1 when there are no channels, so that a failure never reads as success).
int WriteSacsChannels(const std::string& path, const float* const* channels,
                      const char* const* names, int channel_count, int64_t first_sample,
                      int32_t sample_count, float sampling_interval, double reference_time);

// The same for owned rows; indices past the end of a row read as 0.
int WriteSacsChannels(const std::string& path, const std::vector<std::vector<float>>& channels,
                      const std::vector<std::string>& names, int64_t first_sample,
                      int32_t sample_count, float sampling_interval, double reference_time);

// Writes `text` into the `width`-byte text field at byte `offset` of the
// header's text block (SacHeader::kKstnm etc.), cut to the width and
// blank-padded, without a terminating zero.
void SetSacText(SacHeader* header, int offset, int width, std::string_view text);
// A text field up to its first NUL, without trailing blanks.
std::string SacText(const SacHeader& header, int offset, int width = 8);

// Multiplies every defined time word of the header (delta, odelta, b, e, o,
// a, t0..t9, f) by `factor`, such as 1e-6 for times kept in microseconds
// that readers expect in seconds. Undefined words (-12345) stay undefined;
// the reference time nz* is a calendar time and is not touched.
void ScaleSacTimes(SacHeader* header, double factor);

// The 632 header bytes, little-endian.
void EncodeSacHeader(const SacHeader& header, uint8_t* out);
// One standard single-record SAC file: the header with npts = n, then n
// little-endian floats.
std::vector<uint8_t> EncodeSacFile(const SacHeader& header, const float* data, int32_t n);

// One record as read, with its header in host order whatever the byte order
// of the file.
struct SacRecord {
  SacHeader header{};
  std::vector<float> data;
  bool bigEndian = false;
};

// Parses a whole container. Each record's byte order is taken from its
// header version word (little-endian unless only the swapped value is a SAC
// version), so big-endian records read too. Fails, with `error` naming the
// record and byte offset, when the count is negative or cannot fit the
// bytes, when a header is not SAC, when a record's npts is negative or runs
// past the end, or when bytes follow the last record. Every length is
// checked against the bytes left before anything is allocated.
bool ParseSacContainer(const uint8_t* data, std::size_t size, std::vector<SacRecord>* records,
                       std::string* error);

// Parses a single SAC file (either byte order). Bytes after the samples,
// such as a version-7 footer, are ignored.
bool ParseSacFile(const uint8_t* data, std::size_t size, SacRecord* record, std::string* error);

// Reads `path` as a container or, when it is not one, as a single SAC file.
// `is_container` (if not null) says which.
bool ReadSacRecords(const std::string& path, std::vector<SacRecord>* records, bool* is_container,
                    std::string* error);

}  // namespace qae
