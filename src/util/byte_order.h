// Little-endian encoding and decoding of fixed-width values. Every binary
// format of the system is little-endian; values are assembled byte by byte,
// never by casting a struct, so the code is independent of host order and
// alignment.
#pragma once

#include <cstdint>
#include <cstring>
#include <vector>

namespace qae {

inline uint16_t DecodeLE16(const uint8_t* p) {
  return static_cast<uint16_t>(p[0] | (p[1] << 8));
}
inline uint32_t DecodeLE32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
         (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}
inline uint64_t DecodeLE64(const uint8_t* p) {
  return static_cast<uint64_t>(DecodeLE32(p)) | (static_cast<uint64_t>(DecodeLE32(p + 4)) << 32);
}
inline float DecodeLEFloat(const uint8_t* p) {
  const uint32_t bits = DecodeLE32(p);
  float f;
  std::memcpy(&f, &bits, sizeof f);
  return f;
}
inline double DecodeLEDouble(const uint8_t* p) {
  const uint64_t bits = DecodeLE64(p);
  double d;
  std::memcpy(&d, &bits, sizeof d);
  return d;
}

// Appends to a byte buffer.
inline void PutLE16(std::vector<uint8_t>& out, uint16_t v) {
  out.push_back(static_cast<uint8_t>(v));
  out.push_back(static_cast<uint8_t>(v >> 8));
}
inline void PutLE32(std::vector<uint8_t>& out, uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}
inline void PutLEFloat(std::vector<uint8_t>& out, float f) {
  uint32_t bits;
  std::memcpy(&bits, &f, sizeof bits);
  PutLE32(out, bits);
}

// Overwrites in place.
inline void StoreLE16(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}
inline void StoreLE32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

}  // namespace qae
