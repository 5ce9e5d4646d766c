#include "app/cli/json_output.h"

#include <charconv>
#include <cmath>
#include <cstdlib>

namespace qae::cli {

double ShortestFloat(float value) {
  if (!std::isfinite(value)) return static_cast<double>(value);
  char buf[64];
  const auto r = std::to_chars(buf, buf + sizeof buf - 1, value);
  *r.ptr = '\0';
  return std::strtod(buf, nullptr);
}

std::string DumpJson(const nlohmann::ordered_json& value) {
  return value.dump(2, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
}

}  // namespace qae::cli
