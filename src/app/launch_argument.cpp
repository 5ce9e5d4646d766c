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

std::optional<AeRange> ParseAeRangeStrict(std::string_view text, std::string* why) {
  std::size_t pos = 0;
  const auto first = ScanInt(text, &pos);
  std::optional<int> last;
  if (first && ScanLiteral(text, &pos, ",")) last = ScanInt(text, &pos);
  AeRange range;
  bool ok = last.has_value();
  if (ok && ScanLiteral(text, &pos, ",+=")) {
    const auto step = ScanInt(text, &pos);
    ok = step.has_value();
    if (ok) {
      range.step = *step;
      range.has_step = true;
    }
  }
  // The two-number form is what a launched instance receives, "10,20;".
  if (ok && !range.has_step) ScanLiteral(text, &pos, ";");
  while (ok && pos < text.size() && IsSpace(text[pos])) ++pos;
  if (!ok || pos != text.size()) {
    *why = "expected first,last,+=step (or first,last)";
    return std::nullopt;
  }
  if (*first > *last) {
    *why = "the first AE number is above the last";
    return std::nullopt;
  }
  range.first = *first;
  range.last = *last;
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
  // The range is "first,last;" as the launcher writes it: the last number
  // ends at the third ';', and nothing but blanks may follow.
  std::string_view tail = argument.substr(second_sep + 1);
  const std::size_t third_sep = tail.find(';');
  std::string why = "\"" + parsed.aeRange + "\" is not two AE numbers";
  std::optional<AeRange> range;
  if (third_sep == std::string_view::npos ||
      tail.substr(third_sep + 1).find_first_not_of(" \t\r\n") == std::string_view::npos) {
    const std::string numbers =
        std::string(argument.substr(first_sep + 1, second_sep - first_sep - 1)) + "," +
        std::string(tail.substr(0, third_sep));
    range = ParseAeRangeStrict(numbers, &why);
    if (!range && why.starts_with("expected")) why = "\"" + parsed.aeRange + "\" is not two AE numbers";
  }
  if (!range || range->has_step) {
    *error = "Malformed command line \"" + shown + "\": " + why +
             " (expected parameter file;first;last; as in \"pars.txt;0;499;\")";
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
