// The detection line a run writes into a record header's comments
// ("detected: AE#=..., Mw=..., x=..., ..., M=..., Tpl=...(Mw...)"), read
// back to tell which file holds which detection.
#pragma once

#include <cstdint>
#include <string_view>

#include "catalogue/result_table_reader.h"

namespace qae {

struct DetectionLine {
  int32_t ae = 0;
  float mw = 0;
  float x = 0, y = 0, z = 0;
  double t0 = 0;
  int32_t stations = 0;  // "M="
  int32_t templateAe = 0;
};

// Parses the line at the start of `comments`; false when the comments do not
// start with a complete detection line.
bool ParseDetectionLine(std::string_view comments, DetectionLine* line);

// Whether the line was written for the table row `row`: the same record and
// template, and t0 and position equal within the line's rounding.
bool DetectionLineMatchesRow(const DetectionLine& line, const ResultRow& row);

}  // namespace qae
