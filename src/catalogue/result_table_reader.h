// Reading the result table "ML_detect.ps0" back: the header that names the
// time unit and one row per written detection, each field kept both as the
// number and as the text the run wrote (so exports repeat it digit for digit).
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace qae {

// Columns of a row, in the table's order.
inline constexpr int kResultColumns = 15;

struct ResultRow {
  int lineNumber = 0;  // 1-based line of the table
  int32_t ae = 0;      // AE#: the record (or numbered segment)
  double t0 = 0;       // origin time after the record's start, table time unit
  float x = 0, y = 0, z = 0;
  float mw = 0;
  float cc = 0;
  float snr1 = 0, snr2 = 0;
  float dx = 0, dy = 0, dz = 0;
  float dmw = 0;
  int32_t templateAe = 0;  // #_T
  float mwTemplate = 0;    // Mw_T
  std::array<std::string, kResultColumns> text;  // the fields as written
};

struct ResultTable {
  std::string path;
  // From the header's "t0,<unit>" column: "us" unless the table says
  // otherwise.
  std::string timeUnit = "us";
  std::vector<ResultRow> rows;
  // Lines that are not rows (a torn last line, a foreign line), one message
  // each, with the line number.
  std::vector<std::string> warnings;
};

// Reads the table at `path`. False (with `error`) only when the file cannot
// be read or is not a result table (no "PSDATA02" first line); malformed
// rows are skipped with a warning.
bool ReadResultTable(const std::string& path, ResultTable* table, std::string* error);

// The same, from the table's text.
ResultTable ParseResultTable(const std::string& text, const std::string& path);

}  // namespace qae
