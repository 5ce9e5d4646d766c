#include "detect/result_table.h"

#include <unordered_set>

#include "util/locked_append.h"

namespace qae {

const char* const kResultTableHeader =
    "PSDATA02\n"
    "Detecte event\n"
    "SAMPLES 777\n"
    "AE#\tt0,us\tX,mm\tY,mm\tZ,mm\tMw\tCC\tSNR1\tSNR2\tdX,mm\tdY,mm\tdZ,mm\tdMw\t#_T\tMw_T\n"
    "1\t1\t1\t1\t1\t1\t1\t1\t1\t1\t1\t1\t1\t1\t1\n"
    "PLOT_TYPE: 1\t1\t1\t1\t1\t1\t1\t1\t1\t1\t1\t1\t1\t1\t1\n"
    "PLOT_XY: 1\t0\t0\t0\t0\t0\t0\t0\t0\t2\t2\t2\t0\t0\t0\n";

namespace {

constexpr int kOpenAttempts = 10;
constexpr int kRetryWaitMs = 500;

TableAppend Append(const std::string& path, const std::string& rows, bool only_missing) {
  TableAppend result;
  LockedAppendFile table;
  if (!table.Open(path, kOpenAttempts, kRetryWaitMs, &result.error) ||
      !table.Lock(&result.error) || !table.CutTornTail(&result.tornBytes, &result.error)) {
    return result;
  }
  std::string text = rows;
  if (only_missing) {
    std::string existing;
    if (!table.ReadAll(&existing, &result.error)) return result;
    std::unordered_set<std::string> present;
    for (std::string& line : WholeLines(existing)) present.insert(std::move(line));
    text.clear();
    for (const std::string& line : WholeLines(rows)) {
      if (present.count(line) == 0) text += line + "\n";
    }
  }
  for (char c : text) result.rowsAppended += c == '\n' ? 1 : 0;
  const int64_t size = table.Size(&result.error);
  if (size < 0) return result;
  if (size < 10 && !text.empty()) text = kResultTableHeader + text;
  if (!text.empty() && !table.AppendWhole(text, &result.unknown, &result.error)) {
    result.rowsAppended = 0;
    return result;
  }
  result.written = true;
  return result;
}

}  // namespace

TableAppend AppendRowsToTable(const std::string& path, const std::string& rows) {
  return Append(path, rows, false);
}

TableAppend AppendMissingRowsToTable(const std::string& path, const std::string& rows) {
  return Append(path, rows, true);
}

bool AppendToResultTable(const std::string& path, const std::string& rows, std::string* error) {
  const TableAppend result = AppendRowsToTable(path, rows);
  if (!result.written && error) *error = result.error;
  return result.written;
}

}  // namespace qae
