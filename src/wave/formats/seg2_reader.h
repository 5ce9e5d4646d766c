// SEG-2 reading: XL_WaveDataSeg2::Load and the in-memory parser behind it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "wave/wave_data.h"

namespace qae {

// A trace read only in part: its descriptor declares more samples than the
// bytes after its data start hold (a truncated copy, a forged count), or its
// data format is one this reader does not decode. The samples not read are
// 0 in the trace.
struct Seg2ShortTrace {
  int index = 0;               // index of the trace in the record
  int64_t number = 0;          // 1-based trace number in the file
  int64_t declared = 0;        // samples its descriptor declares
  int64_t present = 0;         // samples decoded from the file
  int format = 0;              // data format code
  bool unknown_format = false; // a code that is not decoded: nothing read
};

// Outcome of parsing SEG-2 bytes. `loaded` is the value Load returns (1 or
// 0); `message` says why reading failed or stopped early (empty when every
// selected trace was read whole).
struct Seg2ReadResult {
  int loaded = 0;
  int traces_read = 0;
  std::string message;
  int64_t traces_declared = 0;   // N of the file descriptor
  std::vector<Seg2ShortTrace> short_traces;
  // Selected traces that could not be read at all (the file ends before
  // them, or a descriptor is bad): numbers missing_first..missing_last,
  // none when missing_first is 0.
  int64_t missing_first = 0;
  int64_t missing_last = 0;
  // What was not read, in one line (PartialReadText); empty for a whole file.
  std::string partial;
};

// One line saying what of a file was not read, e.g. "trace 3 of 16: 1200 of
// 4096 samples present; traces 4-16 missing"; empty when nothing is missing.
std::string PartialReadText(const Seg2ReadResult& r);

// Parses a SEG-2 file held in memory into `record`, appending traces
// `first_trace` .. `last_trace` (1-based, inclusive; both 0 means 1..9999).
// Never reads outside `data[0, size)`. Sample counts beyond what the bytes
// can hold are capped (the unread samples stay 0) within a fixed budget per
// file, so a hostile header cannot make it allocate without limit.
Seg2ReadResult ParseSeg2(const uint8_t* data, std::size_t size, XL_WaveData& record,
                         int64_t first_trace, int64_t last_trace);

class XL_WaveDataSeg2 : public XL_WaveDataAE {
 public:
  XL_WaveDataSeg2() = default;
  ~XL_WaveDataSeg2() override;
  XL_WaveDataSeg2(XL_WaveDataSeg2&&) = default;
  XL_WaveDataSeg2& operator=(XL_WaveDataSeg2&&) = default;

  // Reads a SEG-2 file: with `clear_first` > 0 the record is emptied first,
  // otherwise the traces are appended. Returns 1 when the file was read and
  // at least one trace was taken from it, 0 when it cannot be opened, is not
  // a little-endian SEG-2 file, or yields no trace. Does not set
  // `sourceName` or `aeNumber`.
  int Load(const std::string& file_name, int clear_first, int64_t first_trace,
           int64_t last_trace) override;

  // Why the last Load failed or stopped early; empty after a clean read.
  const std::string& LastLoadMessage() const { return last_message_; }

  // After Load: what the file lacked of what it declares, in one short line
  // ("trace 3 of 16: 1200 of 4096 samples present; traces 4-16 missing"),
  // without the file name; empty when every selected trace was read whole.
  const std::string& PartialRead() const { return partial_read_; }
  // After Load: the traces it read only in part, in record order.
  const std::vector<Seg2ShortTrace>& ShortTraces() const { return short_traces_; }

 private:
  std::string last_message_;
  std::string partial_read_;
  std::vector<Seg2ShortTrace> short_traces_;
};

}  // namespace qae
