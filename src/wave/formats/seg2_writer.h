// SEG-2 writing of a record, or of a window of its samples.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "wave/wave_data.h"

namespace qae {

// Writes `record` to `file_name` as little-endian SEG-2: samples
// first_sample .. first_sample + sample_count - 1 of every trace, or every
// trace whole from sample 0 when sample_count < 1. `data_format` is 1
// (int16), 2 (int32) or 4 (float32); 5 writes float64, and any other code is
// written as 4. The full keyword set is written only when the name ends in
// "sg2" (any case). Runs RecomputeStats and sets dataFormat on every trace.
//
// The file is replaced atomically: an existing file stays untouched until
// the new one is complete on disk. Returns 1 after writing, 0 when the file
// could not be written (`error` then says why). Samples outside a trace read
// as 0.
int WriteSeg2(const std::string& file_name, XL_WaveData& record, int64_t first_sample,
              int32_t sample_count, int data_format, std::string* error = nullptr);

// True when `name` ends in "sg2" (any case): such files get the full keyword
// set.
bool EndsWithSg2(const std::string& name);

// The bytes WriteSeg2 would write, for callers that keep the file in memory.
std::vector<uint8_t> EncodeSeg2(XL_WaveData& record, int64_t first_sample, int32_t sample_count,
                                int data_format, bool extended_keywords);
// EncodeSeg2 with the keyword set WriteSeg2 would choose for `file_name`.
inline std::vector<uint8_t> EncodeSeg2For(const std::string& file_name, XL_WaveData& record,
                                          int data_format) {
  return EncodeSeg2(record, 0, 0, data_format, EndsWithSg2(file_name));
}

}  // namespace qae
