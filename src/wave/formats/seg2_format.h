// SEG-2 file layout as this system reads and writes it (little-endian only).
//
// File descriptor block, 32 bytes at offset 0:
//   off width  content
//     0   2    block id 0x3A55 (bytes 55 3A)
//     2   2    revision (written 1)
//     4   2    M: size of the trace pointer sub-block in bytes
//     6   2    N: number of traces (unsigned)
//     8   6    string / line terminator sizes and characters
//    14  18    reserved (the writer puts the low 16 bits of timeSec at 22 and
//              timeUsec at 24)
// Trace pointer sub-block: N uint32 file offsets at offset 32.
// File strings from 32 + M: each a uint16 length L (counting the two length
//   bytes), L - 2 bytes of text with a NUL; 0 < L < 256 continues the list.
// Trace descriptor block, 32 bytes at its pointer:
//     0   2    block id 0x4422 (bytes 22 44)
//     2   2    B: bytes from the block start to the data block
//     4   4    data block size in bytes
//     8   4    n: number of samples
//    12   1    data format code
//    13  19    reserved
//    32        trace strings, then the data block at pointer + B
// Data format codes: 1 int16, 2 int32, 3 20-bit floating point (groups of
//   four samples in 10 bytes), 4 float32, 5 float64.
#pragma once

#include <cstdint>

namespace qae::seg2 {

constexpr uint16_t kFileBlockId = 0x3A55;
constexpr uint16_t kTraceBlockId = 0x4422;
constexpr std::size_t kFileDescriptorBytes = 32;
constexpr std::size_t kTraceDescriptorBytes = 32;
// Lengths at or above this end a string list.
constexpr int kMaxStringLength = 256;
// Both trace numbers 0 mean this range.
constexpr int64_t kDefaultFirstTrace = 1;
constexpr int64_t kDefaultLastTrace = 9999;

}  // namespace qae::seg2
