// The 632-byte header of a binary SAC (version 6) record: 70 floats, 40
// integers and 192 bytes of text. A trace may own one; the SAC writers fill
// it. Word numbers below are positions among the 110 four-byte words.
#pragma once

#include <cstdint>

namespace qae {

struct SacHeader {
  float floats[70];
  int32_t ints[40];
  char text[192];

  // Float words.
  static constexpr int kDelta = 0;
  static constexpr int kB = 5;
  static constexpr int kE = 6;
  static constexpr int kO = 7;
  static constexpr int kT1 = 11;
  static constexpr int kUser1 = 41;
  // Integer words, counted from the first integer (word 70).
  static constexpr int kNzYear = 0;
  static constexpr int kNzJday = 1;
  static constexpr int kNzHour = 2;
  static constexpr int kNzMin = 3;
  static constexpr int kNzSec = 4;
  static constexpr int kNzMsec = 5;
  static constexpr int kNvhdr = 6;
  static constexpr int kNpts = 9;
  static constexpr int kIftype = 15;
  static constexpr int kIdep = 16;
  static constexpr int kIztype = 17;
  static constexpr int kLeven = 35;
  // Text fields, as byte offsets into `text` (header offset minus 440).
  static constexpr int kKstnm = 0;
  static constexpr int kKevnm = 8;
  static constexpr int kKuser1 = 144;
  static constexpr int kKcmpnm = 160;
  static constexpr int kKnetwk = 168;
};
static_assert(sizeof(SacHeader) == 632, "SAC header must be 632 bytes");

}  // namespace qae
