#include "catalogue/result_table_reader.h"

#include <cerrno>
#include <cstdlib>
#include <string_view>

#include "detect/result_table.h"
#include "util/file_io.h"
#include "util/text.h"

namespace qae {

namespace {

// The whole field as a number, as strtod reads it; false for empty text or
// anything left over.
bool WholeDouble(std::string_view field, double* value) {
  if (field.empty() || field.size() > 64) return false;
  const std::string text(field);
  char* end = nullptr;
  errno = 0;
  *value = std::strtod(text.c_str(), &end);
  return end == text.c_str() + text.size();
}

bool WholeInt(std::string_view field, int32_t* value) {
  if (field.empty() || field.size() > 16) return false;
  const std::string text(field);
  char* end = nullptr;
  errno = 0;
  const long long v = std::strtoll(text.c_str(), &end, 10);
  if (end != text.c_str() + text.size() || errno == ERANGE || v < INT32_MIN || v > INT32_MAX) {
    return false;
  }
  *value = static_cast<int32_t>(v);
  return true;
}

bool ParseRow(std::string_view line, ResultRow* row, std::string* why) {
  const std::vector<std::string_view> f = SplitTabs(line);
  if (f.size() != static_cast<std::size_t>(kResultColumns)) {
    *why = StrPrintf("%zu fields instead of %d", f.size(), kResultColumns);
    return false;
  }
  double d[kResultColumns] = {};
  for (int i = 0; i < kResultColumns; ++i) {
    const std::string_view field = f[static_cast<std::size_t>(i)];
    bool ok = false;
    if (i == 0) {
      ok = WholeInt(field, &row->ae);
    } else if (i == 13) {
      ok = WholeInt(field, &row->templateAe);
    } else {
      ok = WholeDouble(field, &d[i]);
    }
    if (!ok) {
      *why = StrPrintf("field %d is not a number", i + 1);
      return false;
    }
    row->text[static_cast<std::size_t>(i)] = std::string(field);
  }
  row->t0 = d[1];
  float* const floats[] = {&row->x,  &row->y,  &row->z,  &row->mw,  &row->cc, &row->snr1,
                           &row->snr2, &row->dx, &row->dy, &row->dz, &row->dmw};
  for (int i = 0; i < 11; ++i) *floats[i] = static_cast<float>(d[2 + i]);
  row->mwTemplate = static_cast<float>(d[14]);
  return true;
}

// The unit after "t0," in the column header line; empty when absent.
std::string UnitOfColumns(std::string_view line) {
  const std::vector<std::string_view> f = SplitTabs(line);
  if (f.size() < 2 || f[1].substr(0, 3) != "t0,") return {};
  return std::string(f[1].substr(3));
}

}  // namespace

ResultTable ParseResultTable(const std::string& text, const std::string& path) {
  ResultTable table;
  table.path = path;
  // The header lines, as the writer puts them, are never rows, wherever
  // they appear.
  std::vector<std::string_view> header_lines;
  {
    std::string_view h(kResultTableHeader);
    while (!h.empty()) {
      const std::size_t nl = h.find('\n');
      header_lines.push_back(h.substr(0, nl));
      h = nl == std::string_view::npos ? std::string_view() : h.substr(nl + 1);
    }
  }
  std::string_view rest(text);
  int line_number = 0;
  while (!rest.empty()) {
    ++line_number;
    const std::size_t nl = rest.find('\n');
    const bool complete = nl != std::string_view::npos;
    std::string_view line = rest.substr(0, nl);
    rest = complete ? rest.substr(nl + 1) : std::string_view();
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line.empty()) continue;
    bool is_header = false;
    for (std::string_view h : header_lines) is_header = is_header || line == h;
    if (line.substr(0, 4) == "AE#\t") {
      const std::string unit = UnitOfColumns(line);
      if (!unit.empty()) table.timeUnit = unit;
      continue;
    }
    if (is_header) continue;
    if (!complete) {
      table.warnings.push_back(StrPrintf(
          "%s line %d: the last line has no line end (a write cut short), skipped", path.c_str(),
          line_number));
      continue;
    }
    ResultRow row;
    std::string why;
    if (!ParseRow(line, &row, &why)) {
      table.warnings.push_back(
          StrPrintf("%s line %d: not a result row (%s), skipped", path.c_str(), line_number,
                    why.c_str()));
      continue;
    }
    row.lineNumber = line_number;
    table.rows.push_back(std::move(row));
  }
  return table;
}

bool ReadResultTable(const std::string& path, ResultTable* table, std::string* error) {
  std::vector<uint8_t> bytes;
  if (!ReadWholeFile(path, &bytes, error)) return false;
  const std::string text(bytes.begin(), bytes.end());
  if (text.rfind("PSDATA02", 0) != 0) {
    *error = path + ": not a result table (its first line is not \"PSDATA02\")";
    return false;
  }
  *table = ParseResultTable(text, path);
  return true;
}

}  // namespace qae
