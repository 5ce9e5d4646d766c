// The settings of a parameter file as the JSON of `params`, shared by the
// command and the Python binding.
#pragma once

#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "params/ae_pars.h"
#include "params/parameter_file.h"

namespace qae::cli {

// Every field of `p`; floats as their shortest round-trip decimal.
nlohmann::ordered_json ParsJson(const AePars& p);

// Where each value came from: {"line": N, "text": "..."} or {"default": true}.
nlohmann::ordered_json ParsSourceJson(const ParameterFileInfo& info);

// The whole `params` output: the settings, then "source", "warnings" and
// "errors".
nlohmann::ordered_json ParamsJson(const AePars& p, const ParameterFileInfo& info,
                                  const std::vector<std::string>& warnings,
                                  const std::vector<std::string>& errors);

}  // namespace qae::cli
