#include "params/parameter_file.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <memory>

namespace qae {

namespace {

// The line helpers see a line as a C string would: up to its first NUL.
std::string_view UpToNul(std::string_view line) { return line.substr(0, line.find('\0')); }

bool IsControl(char c) { return static_cast<unsigned char>(c) < 32; }

struct FloatLine {
  float AePars::*field;
  float default_value;
};

struct IntLine {
  int32_t AePars::*field;
  int32_t default_value;
};

// Value lines 1 to 17, in file order.
constexpr FloatLine kFloatLines[] = {
    {&AePars::velX, 7.0f},      {&AePars::velY, 7.0f},      {&AePars::velZ, 7.0f},
    {&AePars::reserved1, 0.3f}, {&AePars::preWin, 1.0f},    {&AePars::postWin, 3.0f},
    {&AePars::dupWin, 250.0f},  {&AePars::reserved2, 0.0f}, {&AePars::reserved3, 0.3f},
    {&AePars::fLow, 0.1f},      {&AePars::fHigh, 3.0f},     {&AePars::reserved4, 0.9f},
    {&AePars::ccMin, 0.5f},     {&AePars::snrMin, 2.0f},    {&AePars::gridHalfX, 0.5f},
    {&AePars::gridHalfY, 0.5f}, {&AePars::gridHalfZ, 0.5f},
};

// Value lines 18 to 20.
constexpr IntLine kGridStepLines[] = {
    {&AePars::gridStepsX, 5}, {&AePars::gridStepsY, 5}, {&AePars::gridStepsZ, 5}};

// Value lines 21 to 23.
constexpr std::string AePars::*kPathLines[] = {&AePars::templateDir, &AePars::dataPath,
                                               &AePars::outDir};

// Value lines 25 to 27 (line 24 has its own rule).
constexpr IntLine kTailLines[] = {
    {&AePars::reserved5, 1000}, {&AePars::outLevel, 2}, {&AePars::wellLocatedM, 12}};

// The integer after `key` anywhere in `line`, or `default_value`.
int32_t IntAfterKey(std::string_view line, std::string_view key, int32_t default_value) {
  const std::size_t pos = line.find(key);
  int32_t value = default_value;
  if (pos != std::string_view::npos) ValueAfterEquals(line.substr(pos), &value, default_value);
  return value;
}

}  // namespace

bool ReadSignificantLine(std::string* line, TextSource* source) {
  for (;;) {
    if (!source->ReadLine(line, kLineBufferSize)) return false;
    line->resize(UpToNul(*line).size());
    if (line->starts_with("[END]")) return false;
    const std::size_t first = line->find_first_not_of(" \t");
    if (first == std::string::npos || IsControl((*line)[first])) continue;  // Blank.
    if (line->size() - first > 1 && IsControl(line->back())) line->pop_back();
    switch ((*line)[first]) {
      case '!':
      case '#':
      case '%':
      case '*':
      case '/':
        continue;  // Comment.
      default:
        return true;
    }
  }
}

void ValueAfterEquals(std::string_view line, float* value, float default_value) {
  line = UpToNul(line);
  const std::size_t eq = line.find('=');
  *value = default_value;
  if (eq == std::string_view::npos) return;
  const std::string rest(line.substr(eq + 1));
  char* end = nullptr;
  const float parsed = std::strtof(rest.c_str(), &end);
  if (end != rest.c_str()) *value = parsed;
}

void ValueAfterEquals(std::string_view line, int32_t* value, int32_t default_value) {
  line = UpToNul(line);
  const std::size_t eq = line.find('=');
  *value = default_value;
  if (eq == std::string_view::npos) return;
  const std::string rest(line.substr(eq + 1));
  char* end = nullptr;
  const long parsed = std::strtol(rest.c_str(), &end, 10);
  if (end == rest.c_str()) return;
  // "%d" on an out-of-range number is undefined; saturate instead.
  if (parsed > INT32_MAX) {
    *value = INT32_MAX;
  } else if (parsed < INT32_MIN) {
    *value = INT32_MIN;
  } else {
    *value = static_cast<int32_t>(parsed);
  }
}

std::string PathToken(std::string_view line) {
  line = UpToNul(line);
  const std::size_t eq = line.find('=');
  if (eq == std::string_view::npos) return {};
  std::size_t pos = eq + 1;
  while (pos < line.size() && (line[pos] == ' ' || line[pos] == '"')) ++pos;
  const std::string_view rest = line.substr(pos);
  // A closing quote or a '<' remark wins over the delimiters, so a quoted
  // value keeps its blanks and commas.
  const std::size_t quote_or_remark = rest.find_first_of("\"<");
  if (quote_or_remark != std::string_view::npos) {
    return std::string(rest.substr(0, quote_or_remark));
  }
  return std::string(rest.substr(0, rest.find_first_of(" ,;\n\t")));
}

bool ReadParameterFile(const std::string& path, AePars* pars, ParameterFileInfo* info) {
  std::string open_error;
  std::unique_ptr<TextSource> source = OpenTextSource(path, &open_error);
  if (info) {
    info->value_lines_present = 0;
    info->open_error = open_error;
  }
  if (!source) return false;

  std::string line;
  int n_present = 0;
  // A value line that is missing, because the file ended or an "[END]" line
  // came early, reads as an empty line and so gives its field the default.
  // Reading goes on after an early "[END]": the source stays open, and the
  // lines behind it supply the following fields.
  auto next_value_line = [&]() -> std::string_view {
    if (ReadSignificantLine(&line, source.get())) {
      ++n_present;
    } else {
      line.clear();
    }
    return line;
  };

  for (const FloatLine& f : kFloatLines) {
    ValueAfterEquals(next_value_line(), &(pars->*f.field), f.default_value);
  }
  for (const IntLine& f : kGridStepLines) {
    ValueAfterEquals(next_value_line(), &(pars->*f.field), f.default_value);
  }
  for (std::string AePars::*field : kPathLines) {
    pars->*field = PathToken(next_value_line());
  }
  {
    // Without an '=' of its own in front of "iTS=", the first '=' is that of
    // "iTS=", and maxTemplates takes the value of iTS.
    const std::string_view templates = next_value_line();
    ValueAfterEquals(templates, &pars->maxTemplates, 1000);
    pars->iTS = IntAfterKey(templates, "iTS=", -1);
    pars->iTE = IntAfterKey(templates, "iTE=", -1);
  }
  for (const IntLine& f : kTailLines) {
    ValueAfterEquals(next_value_line(), &(pars->*f.field), f.default_value);
  }
  pars->minStations = 4;

  // Keyed section. The key test is a plain substring test, so a word such as
  // "small" sets `all` too.
  while (ReadSignificantLine(&line, source.get())) {
    if (line.find("all") != std::string::npos) {
      ValueAfterEquals(line, &pars->all, 0);
    } else if (line.find("mean") != std::string::npos) {
      ValueAfterEquals(line, &pars->mean, 0);
    }
  }
  // `mean` stays on only when the keyed section ended at an "[END]" line
  // that is followed by at least one more significant line.
  if (!ReadSignificantLine(&line, source.get())) pars->mean = 0;

  if (info) info->value_lines_present = n_present;
  return true;
}

}  // namespace qae
