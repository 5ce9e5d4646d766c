// Builds SEG-2 byte images for tests, including deliberately broken ones.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "util/byte_order.h"

namespace qae::test {

struct Seg2TraceSpec {
  std::vector<std::string> strings;
  int format = 4;
  uint32_t declared_samples = 0;         // written into the descriptor
  std::vector<uint8_t> data;             // the data block as raw bytes
  int32_t block_size_override = -1;      // B; -1 = the real size
};

// Assembles a file: descriptor, pointers, file strings, then each trace's
// descriptor, strings (each a length word, text, NUL), terminating 0 and data.
inline std::vector<uint8_t> BuildSeg2(const std::vector<std::string>& file_strings,
                                      const std::vector<Seg2TraceSpec>& traces) {
  std::vector<uint8_t> out;
  PutLE16(out, 0x3A55);
  PutLE16(out, 1);
  PutLE16(out, static_cast<uint16_t>(4 * traces.size()));
  PutLE16(out, static_cast<uint16_t>(traces.size()));
  out.resize(32, 0);
  out.resize(32 + 4 * traces.size(), 0);
  auto put_string = [&out](const std::string& s) {
    PutLE16(out, static_cast<uint16_t>(s.size() + 3));
    out.insert(out.end(), s.begin(), s.end());
    out.push_back(0);
  };
  for (const auto& s : file_strings) put_string(s);
  PutLE16(out, 0);
  for (std::size_t i = 0; i < traces.size(); ++i) {
    const Seg2TraceSpec& t = traces[i];
    const std::size_t ptr = out.size();
    StoreLE32(out.data() + 32 + 4 * i, static_cast<uint32_t>(ptr));
    PutLE16(out, 0x4422);
    PutLE16(out, 0);
    PutLE32(out, static_cast<uint32_t>(t.data.size()));
    PutLE32(out, t.declared_samples);
    out.push_back(static_cast<uint8_t>(t.format));
    out.resize(ptr + 32, 0);
    for (const auto& s : t.strings) put_string(s);
    PutLE16(out, 0);
    const std::size_t block = t.block_size_override >= 0
                                  ? static_cast<std::size_t>(t.block_size_override)
                                  : out.size() - ptr;
    StoreLE16(out.data() + ptr + 2, static_cast<uint16_t>(block));
    out.insert(out.end(), t.data.begin(), t.data.end());
  }
  return out;
}

inline std::vector<uint8_t> FloatData(const std::vector<float>& values) {
  std::vector<uint8_t> out;
  for (float v : values) PutLEFloat(out, v);
  return out;
}

}  // namespace qae::test
