#include "app/launch_argument.h"

#include <cstdint>

#include "util/text.h"

namespace qae {

namespace {

bool IsSpace(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

// Reads an integer as "%d" does (leading blanks, optional sign, digits) from
// `text` at `*pos`, advancing `*pos` past it. Values beyond the int range
// count as no number rather than wrapping.
std::optional<int> ScanInt(std::string_view text, std::size_t* pos) {
  std::size_t i = *pos;
  while (i < text.size() && IsSpace(text[i])) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
    negative = text[i] == '-';
    ++i;
  }
  const std::size_t digits = i;
  int64_t value = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    value = value * 10 + (text[i] - '0');
    if (value > int64_t{INT32_MAX} + 1) return std::nullopt;
  }
  if (i == digits) return std::nullopt;
  if (negative) value = -value;
  if (value > INT32_MAX || value < INT32_MIN) return std::nullopt;
  *pos = i;
  return static_cast<int>(value);
}

bool ScanLiteral(std::string_view text, std::size_t* pos, std::string_view literal) {
  if (text.substr(*pos, literal.size()) != literal) return false;
  *pos += literal.size();
  return true;
}

}  // namespace

std::optional<AeRange> ParseAeRange(std::string_view text) {
  AeRange range;
  std::size_t pos = 0;
  const auto first = ScanInt(text, &pos);
  if (!first || !ScanLiteral(text, &pos, ",")) return std::nullopt;
  const auto last = ScanInt(text, &pos);
  if (!last) return std::nullopt;
  range.first = *first;
  range.last = *last;
  if (ScanLiteral(text, &pos, ",+=")) {
    if (const auto step = ScanInt(text, &pos)) {
      range.step = *step;
      range.has_step = true;
    }
  }
  return range;
}

bool IsLaunchArgument(std::string_view argument) {
  const std::size_t sep = argument.find(';');
  return sep != std::string_view::npos && sep > 0;
}

bool ParseLaunchArgument(std::string_view argument, LaunchArgument* out, std::string* error) {
  const std::string shown(argument);
  if (!IsLaunchArgument(argument)) {
    *error = "Malformed command line \"" + shown +
             "\": expected parameter file;first;last; as in \"pars.txt;0;499;\"";
    return false;
  }
  const std::size_t first_sep = argument.find(';');
  const std::size_t second_sep = argument.find(';', first_sep + 1);
  if (second_sep == std::string_view::npos) {
    *error = "Malformed command line \"" + shown +
             "\": the last AE number and its ';' are missing (expected parameter "
             "file;first;last;)";
    return false;
  }
  LaunchArgument parsed;
  parsed.parFile = std::string(argument.substr(0, first_sep));
  parsed.aeRange = std::string(argument.substr(first_sep + 1, second_sep - first_sep - 1)) +
                   "," + std::string(argument.substr(second_sep + 1));
  const std::optional<AeRange> range = ParseAeRange(parsed.aeRange);
  if (!range) {
    *error = "Malformed command line \"" + shown + "\": \"" + parsed.aeRange +
             "\" does not start with two AE numbers (expected parameter file;first;last;)";
    return false;
  }
  parsed.first = range->first;
  parsed.last = range->last;
  *out = std::move(parsed);
  return true;
}

std::string FormatLaunchArgument(std::string_view par_file, int first, int last) {
  return std::string(par_file) + StrPrintf(";%d;%d;", first, last);
}

}  // namespace qae
