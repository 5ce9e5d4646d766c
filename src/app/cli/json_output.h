// JSON helpers shared by the inspection commands.
#pragma once

#include <string>

#include <nlohmann/json.hpp>

namespace qae::cli {

// A 32-bit float as the JSON number of its shortest round-trip decimal, so
// 0.3f prints as 0.3 rather than 0.30000001192092896.
double ShortestFloat(float value);

// Dumps with two-space indent; bytes that are not UTF-8 (possible in the
// text fields of foreign files) are replaced instead of throwing.
std::string DumpJson(const nlohmann::ordered_json& value);

}  // namespace qae::cli
