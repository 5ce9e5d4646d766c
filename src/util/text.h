// Bounds-safe helpers for the fixed-width, NUL-terminated text fields of
// waveform records, and printf-style formatting into std::string.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

namespace qae {

// Copies `text` into `field`, cut to N - 1 bytes, and NUL-terminates it.
// The bytes after the terminator are zeroed, so a record written out holds
// no remnant of an earlier, longer value.
template <std::size_t N>
void SetText(char (&field)[N], std::string_view text) {
  static_assert(N > 0);
  const std::size_t n = text.size() < N - 1 ? text.size() : N - 1;
  if (n > 0) std::memcpy(field, text.data(), n);
  std::memset(field + n, 0, N - n);
}

// The text of a field: up to its first NUL, never past its width.
template <std::size_t N>
std::string_view TextOf(const char (&field)[N]) {
  const void* nul = std::memchr(field, 0, N);
  return std::string_view(field, nul ? static_cast<const char*>(nul) - field : N);
}

// vsnprintf into a std::string of the exact length.
std::string VStrPrintf(const char* format, std::va_list args);
std::string StrPrintf(const char* format, ...) __attribute__((format(gnu_printf, 1, 2)));

// Case-insensitive (ASCII) test whether `text` starts with `prefix`.
bool StartsWithNoCase(std::string_view text, std::string_view prefix);

// The tab-separated fields of `line` (one empty field for an empty line).
std::vector<std::string_view> SplitTabs(std::string_view line);

}  // namespace qae
