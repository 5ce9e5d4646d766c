// Brain-float pairs of a whole record for the plain bound pass. A station's
// segment is the trace from some sample on, zero past its end, so its pairs
// are the padded trace's pairs from that sample: made once per record, they
// serve every template scanned against it.
#pragma once

#include <cstdint>
#include <mutex>
#include <vector>

#include "wave/wave_data.h"

namespace qae {

class RecordBrainFloats {
 public:
  // Pairs u < length of each trace of `record`, which must outlive this.
  RecordBrainFloats(const XL_WaveData& record, int64_t length);

  // Trace i's pairs: entry u holds samples u and u + 1 (0 past the trace's
  // valid samples), for u < length(); nullptr for a trace the record lacks
  // or where the processor has no brain floats. Made on the first call; any
  // number of threads may call at once.
  const uint32_t* Pairs(int i) const;
  int64_t length() const { return length_; }

 private:
  void Make() const;

  const XL_WaveData& record_;
  int64_t length_;
  mutable std::once_flag made_;
  mutable std::vector<std::vector<uint32_t>> pairs_;
};

}  // namespace qae
