// Reading one window of a continuous recording: a recording is far too long
// to load, so the continuous-data driver asks for one window of samples at a
// time (first sample, end sample, counted from the start of the recording)
// and scans each window as a record.
//
// Four layouts, chosen by substrings of the path (case-sensitive, tested in
// this order):
//   "saq" and "tdms"  frame-interleaved 16/32-bit integers after a 28-byte
//                     lead-in whose last 8 bytes give the raw-data offset;
//   "saq"             channel-blocked segments of G samples per channel;
//   "any"             16-channel frames of offset 16-bit values, in paired
//                     files "_A" and "_B", 8 channels used from each;
//   anything else     16-bit traces one after another, described by a
//                     companion SEG-2 file (the path with "sg2" as its last
//                     three characters).
// For the "saq" layouts the path also carries the sample width ("bit16"),
// the channel count ("chn8") and the segment length G ("seg10000").
//
// Every read uses explicit 64-bit file offsets and reads only the requested
// window, so a recording of any length is scanned in constant memory. A file
// that ends inside a window, or is truncated or inconsistent, never makes the
// reader go outside its buffers: samples the file does not hold are 0.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "wave/formats/seg2_reader.h"
#include "wave/wave_header.h"
#include "wave/wave_trace.h"

namespace qae {

using TraceList = std::vector<std::unique_ptr<XL_WaveTrace>>;

enum class ContinuousLayoutKind { kDefault, kSaq, kSaqTdms, kAny };

// Frames read per window of the "any" layout, and the step of its search
// for an active window.
inline constexpr int32_t kAnyWindowFrames = 6000;
inline constexpr int32_t kAnyActivityStep = 3000;

// Limits on the values a path may give, so that a mistyped name cannot make
// a window allocate without bound.
inline constexpr int32_t kMaxContinuousChannels = 1024;
inline constexpr int32_t kMaxContinuousSegment = 1 << 22;
inline constexpr int64_t kMaxContinuousWindowSamples = int64_t{1} << 26;  // all channels

struct ContinuousLayout {
  ContinuousLayoutKind kind = ContinuousLayoutKind::kDefault;
  // "saq" layouts: from the path (defaults 16 bits, 1 channel, 10000).
  int32_t bits = 16;
  int32_t channels = 1;
  int32_t segmentLength = 10000;
  int32_t bytesPerSample = 2;
  // Why the layout cannot be read (empty when it can).
  std::string problem;

  // The longest window the layout delivers: G samples for the "saq"
  // layouts, 6000 frames for "any", no fixed limit for the default layout.
  int64_t MaxWindow() const;
  const char* Name() const;
};

// The layout of `path`, with the path's values checked: a width outside
// 1..32 bits, a channel count below 1 or above the limit (for "tdms", above
// what its frame buffer holds: 32 channels of 2-byte or 28 of 4-byte
// samples), a segment length below 1 or above the limit, each make
// `problem` say why.
ContinuousLayout ParseContinuousLayout(const std::string& path);

// The companion SEG-2 file of a default-layout recording.
std::string ContinuousCompanionPath(const std::string& path);

// Why the last read gave no window.
enum class ContinuousStatus {
  kRead,            // the window was read
  kEndOfData,       // the window does not lie inside the data
  kCannotOpen,      // a recording file cannot be opened
  kNoCompanion,     // the companion SEG-2 file cannot be loaded or has no trace
  kUnusableLayout,  // the path's layout values are out of range
  kBadWindow,       // the window is empty, negative or longer than the layout delivers
};

// Reads windows of continuous recordings. Keeps, between calls, the
// companion of the default layout and a read buffer, so that a run over a
// long recording reloads nothing and allocates nothing per window.
class ContinuousReader {
 public:
  // Fills `header` and `traces` with the window [first, end) of every
  // channel of the recording at `path`; returns 1 when it was read, else 0
  // (see status()). The window length end - first must fit 32 bits.
  //
  // Default layout: the traces are created on the first call (when
  // header.traceCount is 0, from the companion file) and only refilled on
  // later calls. The "saq" and "any" layouts append new traces on every
  // call, so the record must be emptied (XL_WaveData::Clear) before each of
  // their windows. "any" moves on, 3000 frames at a time, past windows in
  // which at most three traces are active; windowStart says where it
  // stopped.
  int ReadWindow(const std::string& path, WaveHeader& header, TraceList& traces, int64_t first,
                 int64_t end);

  // Whether `path` can be read at all: its layout values, the file (and
  // the "_B" file of an "_A" path) opens, and, for the default layout, the
  // companion file loads. Returns an empty string when it can, else why not.
  std::string CheckRecording(const std::string& path);

  ContinuousStatus status() const { return status_; }
  // One line on why the last read failed (empty after a read).
  const std::string& message() const { return message_; }

 private:
  int Fail(ContinuousStatus status, std::string message);
  bool LoadCompanion(const std::string& path);
  int ReadDefault(const std::string& path, WaveHeader& header, TraceList& traces, int64_t first,
                  int64_t end);
  int ReadSaq(const std::string& path, const ContinuousLayout& layout, WaveHeader& header,
              TraceList& traces, int64_t first, int64_t end);
  int ReadAny(const std::string& path, WaveHeader& header, TraceList& traces, int64_t first,
              int64_t end);

  ContinuousStatus status_ = ContinuousStatus::kRead;
  std::string message_;
  std::string companion_path_;
  XL_WaveDataSeg2 companion_;  // header and trace values only; samples dropped
  std::vector<uint8_t> buffer_;
};

// One window read with a reader of its own (the companion of a default
// layout recording is loaded afresh); see ContinuousReader::ReadWindow.
int ReadContinuousWindow(const std::string& path, WaveHeader& header, TraceList& traces,
                         int64_t first, int64_t end);

}  // namespace qae
