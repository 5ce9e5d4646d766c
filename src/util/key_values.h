// "key=value" entries inside free header text ("M=", "x=", "CC=",
// "loc_ind="): found by plain substring search, read as "%d" / "%f" would
// read the text right after the key.
#pragma once

#include <cstdint>
#include <string_view>

namespace qae {

// The integer after the first occurrence of `key`; `fallback` when the key
// is absent or no number follows. Clamped to the int32 range.
int32_t IntAfterKey(std::string_view text, std::string_view key, int32_t fallback);

// The number after the first occurrence of `key`, as a 32-bit float.
float FloatAfterKey(std::string_view text, std::string_view key, float fallback);

// Whether `key` occurs in `text`.
inline bool HasKey(std::string_view text, std::string_view key) {
  return text.find(key) != std::string_view::npos;
}

}  // namespace qae
