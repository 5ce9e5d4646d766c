#include "util/key_values.h"

#include <algorithm>
#include <cstdlib>
#include <string>

namespace qae {

namespace {

// The text after the key, as a C string for strtol/strtof. Header fields
// are at most a few hundred bytes, so the copy is cheap.
bool TailAfter(std::string_view text, std::string_view key, std::string* tail) {
  const std::size_t at = text.find(key);
  if (at == std::string_view::npos) return false;
  tail->assign(text.substr(at + key.size()));
  return true;
}

}  // namespace

int32_t IntAfterKey(std::string_view text, std::string_view key, int32_t fallback) {
  std::string tail;
  if (!TailAfter(text, key, &tail)) return fallback;
  char* end = nullptr;
  const long long v = std::strtoll(tail.c_str(), &end, 10);
  if (end == tail.c_str()) return fallback;
  return static_cast<int32_t>(std::clamp<long long>(v, INT32_MIN, INT32_MAX));
}

float FloatAfterKey(std::string_view text, std::string_view key, float fallback) {
  std::string tail;
  if (!TailAfter(text, key, &tail)) return fallback;
  char* end = nullptr;
  const float v = std::strtof(tail.c_str(), &end);
  if (end == tail.c_str()) return fallback;
  return v;
}

}  // namespace qae
