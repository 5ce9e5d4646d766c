// SEG-2 reading: XL_WaveDataSeg2::Load and the in-memory parser behind it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "wave/wave_data.h"

namespace qae {

// Outcome of parsing SEG-2 bytes. `loaded` is the value Load returns (1 or
// 0); `message` says why reading failed or stopped early (empty when every
// selected trace was read whole).
struct Seg2ReadResult {
  int loaded = 0;
  int traces_read = 0;
  std::string message;
};

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

 private:
  std::string last_message_;
};

}  // namespace qae
