#include "params/parameter_file.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <climits>
#include <cstdlib>
#include <memory>
#include <utility>
#include <vector>

#include "params/value_line_checks.h"
#include "util/text.h"

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

enum class LineEnd { kLine, kEndMarker, kEndOfSource };

// ReadSignificantLine, telling an "[END]" line from the end of the source.
LineEnd NextSignificantLine(std::string* line, TextSource* source) {
  for (;;) {
    if (!source->ReadLine(line, kLineBufferSize)) return LineEnd::kEndOfSource;
    line->resize(UpToNul(*line).size());
    if (line->starts_with("[END]")) return LineEnd::kEndMarker;
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
        return LineEnd::kLine;
    }
  }
}

}  // namespace

bool ReadSignificantLine(std::string* line, TextSource* source) {
  return NextSignificantLine(line, source) == LineEnd::kLine;
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

const FieldSource* ParameterFileInfo::Source(std::string_view field) const {
  for (const FieldSource& source : sources) {
    if (source.field == field) return &source;
  }
  return nullptr;
}

namespace {

std::string FloatText(float value) {
  char text[32];
  const auto [end, ec] = std::to_chars(text, text + sizeof(text), value);
  return ec == std::errc() ? std::string(text, end) : StrPrintf("%g", static_cast<double>(value));
}

std::string IntText(int32_t value) { return std::to_string(value); }

// What the reader learns about the lines it reads, for ParameterFileInfo.
struct ReadNotes {
  std::vector<ValueLineSeen> seen = std::vector<ValueLineSeen>(kParameterValueLines);
  std::vector<FieldSource> sources;
  std::vector<LineWarning> warnings;

  void SetSource(std::string_view field, int line, const std::string& text) {
    sources.push_back({std::string(field), line, line > 0 ? text : std::string()});
  }
  void Warn(int line, std::string text) { warnings.push_back({line, std::move(text)}); }

  // Warnings on the number after the first '=' of `parsed` (the line itself,
  // or its tail from a key such as "iTS="), which gave `field` the value
  // `value`.
  void CheckNumber(const ValueLineSeen& s, std::string_view parsed, std::string_view field,
                   bool integer, const std::string& value, std::string_view after = "'='") {
    const NumberReading r = InspectNumber(parsed, integer);
    const std::string head =
        StrPrintf("line %d: %.*s: %s", s.line, static_cast<int>(field.size()), field.data(),
                  QuoteLine(s.text).c_str());
    const std::string f(field);
    if (!r.has_equals) {
      Warn(s.line, head + " has no '=', so " + f + " takes its default " + value);
    } else if (!r.has_number) {
      Warn(s.line, head + " has no number after " + std::string(after) + ", so " + f +
                       " takes its default " + value);
    } else if (!r.continuation.empty()) {
      Warn(s.line, head + " reads as " + value + " (the number stops at \"" + r.continuation +
                       "\")");
    } else if (r.out_of_range) {
      Warn(s.line, head + " is beyond the integer range and reads as " + value);
    }
  }
};

// Whether some "all" in `line` begins a word. Otherwise the line sets `all`
// only because a word such as "small" contains it, which its author hardly
// means.
bool AllBeginsAWord(std::string_view line) {
  for (std::size_t pos = line.find("all"); pos != std::string_view::npos;
       pos = line.find("all", pos + 1)) {
    const char before = pos > 0 ? line[pos - 1] : ' ';
    const bool in_word = (before >= 'a' && before <= 'z') || (before >= 'A' && before <= 'Z');
    if (!in_word) return true;
  }
  return false;
}

bool ContainsNoCase(std::string_view text, std::string_view word) {
  for (std::size_t pos = 0; pos + word.size() <= text.size(); ++pos) {
    if (StartsWithNoCase(text.substr(pos), word)) return true;
  }
  return false;
}

}  // namespace

bool ReadParameterFile(const std::string& path, AePars* pars, ParameterFileInfo* info) {
  std::string open_error;
  std::unique_ptr<TextSource> source = OpenTextSource(path, &open_error);
  if (info) {
    *info = ParameterFileInfo{};
    info->open_error = open_error;
  }
  if (!source) return false;

  ReadNotes notes;
  std::string line;
  int n_present = 0;
  std::vector<int> missing_at_end;  // Value positions the file did not reach.
  // A value line that is missing, because the file ended or an "[END]" line
  // came early, reads as an empty line and so gives its field the default.
  // Reading goes on after an early "[END]": the source stays open, and the
  // lines behind it supply the following fields.
  auto next_value_line = [&](int index) -> const ValueLineSeen& {
    ValueLineSeen& s = notes.seen[static_cast<std::size_t>(index)];
    const LineEnd end = NextSignificantLine(&line, source.get());
    if (end == LineEnd::kLine) {
      ++n_present;
      s.line = source->line_number();
      s.text = line;
    } else {
      if (end == LineEnd::kEndMarker) {
        s.end_marker = true;
        const std::string field(kValueLineFields[static_cast<std::size_t>(index)]);
        notes.Warn(source->line_number(),
                   StrPrintf("line %d: %s: \"[END]\" comes before the %d value lines are "
                             "complete; %s takes its default and reading goes on after it",
                             source->line_number(), field.c_str(), kParameterValueLines,
                             field.c_str()));
      } else {
        missing_at_end.push_back(index);
      }
      line.clear();
    }
    return s;
  };

  int index = 0;
  for (const FloatLine& f : kFloatLines) {
    const std::string_view name = kValueLineFields[static_cast<std::size_t>(index)];
    const ValueLineSeen& s = next_value_line(index++);
    ValueAfterEquals(line, &(pars->*f.field), f.default_value);
    notes.SetSource(name, s.line, s.text);
    if (s.line > 0) notes.CheckNumber(s, line, name, false, FloatText(pars->*f.field));
  }
  for (const IntLine& f : kGridStepLines) {
    const std::string_view name = kValueLineFields[static_cast<std::size_t>(index)];
    const ValueLineSeen& s = next_value_line(index++);
    ValueAfterEquals(line, &(pars->*f.field), f.default_value);
    notes.SetSource(name, s.line, s.text);
    if (s.line > 0) notes.CheckNumber(s, line, name, true, IntText(pars->*f.field));
  }
  for (std::string AePars::*field : kPathLines) {
    const std::string name(kValueLineFields[static_cast<std::size_t>(index)]);
    const ValueLineSeen& s = next_value_line(index++);
    pars->*field = PathToken(line);
    notes.SetSource(name, s.line, s.text);
    if (s.line == 0) continue;
    const std::size_t eq = line.find('=');
    if (eq == std::string::npos) {
      notes.Warn(s.line, StrPrintf("line %d: %s: %s has no '=', so %s is empty", s.line,
                                   name.c_str(), QuoteLine(line).c_str(), name.c_str()));
    } else if ((pars->*field).empty() &&
               line.find_first_not_of(" \"", eq + 1) != std::string::npos) {
      // Text follows the '=' but the path is empty: a tab, ',', ';' or '<'
      // came first.
      notes.Warn(s.line, StrPrintf("line %d: %s: %s gives an empty path (only spaces may "
                                   "stand between '=' and the path)",
                                   s.line, name.c_str(), QuoteLine(line).c_str()));
    }
  }
  {
    // Without an '=' of its own in front of "iTS=", the first '=' is that of
    // "iTS=", and maxTemplates takes the value of iTS.
    const ValueLineSeen& s = next_value_line(index++);
    const std::string_view templates = line;
    ValueAfterEquals(templates, &pars->maxTemplates, 1000);
    pars->iTS = IntAfterKey(templates, "iTS=", -1);
    pars->iTE = IntAfterKey(templates, "iTE=", -1);
    const std::size_t its = templates.find("iTS=");
    const std::size_t ite = templates.find("iTE=");
    notes.SetSource("maxTemplates", s.line, s.text);
    notes.SetSource("iTS", its != std::string_view::npos ? s.line : 0, s.text);
    notes.SetSource("iTE", ite != std::string_view::npos ? s.line : 0, s.text);
    if (s.line > 0) {
      const std::size_t eq = templates.find('=');
      const bool borrowed = eq != std::string_view::npos && eq >= 3 &&
                            (eq - 3 == its || eq - 3 == ite);
      if (borrowed) {
        notes.Warn(s.line, StrPrintf("line %d: maxTemplates: %s has no '=' of its own before "
                                     "\"%s\", so maxTemplates takes the %s value %d",
                                     s.line, QuoteLine(templates).c_str(),
                                     eq - 3 == its ? "iTS=" : "iTE=",
                                     eq - 3 == its ? "iTS" : "iTE", pars->maxTemplates));
      } else {
        notes.CheckNumber(s, templates, "maxTemplates", true, IntText(pars->maxTemplates));
      }
      if (its != std::string_view::npos) {
        notes.CheckNumber(s, templates.substr(its), "iTS", true, IntText(pars->iTS),
                          "\"iTS=\"");
      }
      if (ite != std::string_view::npos) {
        notes.CheckNumber(s, templates.substr(ite), "iTE", true, IntText(pars->iTE),
                          "\"iTE=\"");
      }
    }
  }
  for (const IntLine& f : kTailLines) {
    const std::string_view name = kValueLineFields[static_cast<std::size_t>(index)];
    const ValueLineSeen& s = next_value_line(index++);
    ValueAfterEquals(line, &(pars->*f.field), f.default_value);
    notes.SetSource(name, s.line, s.text);
    if (s.line > 0) notes.CheckNumber(s, line, name, true, IntText(pars->*f.field));
  }
  pars->minStations = 4;

  if (!missing_at_end.empty()) {
    std::string fields;
    for (int i : missing_at_end) {
      if (!fields.empty()) fields += ", ";
      fields += i == 23 ? "maxTemplates, iTS, iTE"
                        : std::string(kValueLineFields[static_cast<std::size_t>(i)]);
    }
    const int n_lines = source->line_number();
    const bool one_field = missing_at_end.size() == 1 && missing_at_end[0] != 23;
    notes.Warn(n_lines,
               StrPrintf("line %d: %s after %d of the %d value lines (%d line%s in all); %s %s",
                         n_lines,
                         source->failed() ? "reading stopped (read error or size limit)"
                                          : "the file ends",
                         n_present, kParameterValueLines, n_lines, n_lines == 1 ? "" : "s",
                         fields.c_str(),
                         one_field ? "takes its default" : "take their defaults"));
  }

  // Keyed section. The key test is a plain substring test, so a word such as
  // "small" sets `all` too.
  ValueLineSeen all_seen;
  ValueLineSeen mean_seen;
  while (NextSignificantLine(&line, source.get()) == LineEnd::kLine) {
    const ValueLineSeen here{source->line_number(), line, false};
    if (line.find("all") != std::string::npos) {
      ValueAfterEquals(line, &pars->all, 0);
      all_seen = here;
      notes.CheckNumber(here, line, "all", true, IntText(pars->all));
      if (!AllBeginsAWord(line)) {
        notes.Warn(here.line, StrPrintf("line %d: all: %s sets all to %d, because it contains "
                                        "\"all\" inside a word",
                                        here.line, QuoteLine(line).c_str(), pars->all));
      }
    } else if (line.find("mean") != std::string::npos) {
      ValueAfterEquals(line, &pars->mean, 0);
      mean_seen = here;
      notes.CheckNumber(here, line, "mean", true, IntText(pars->mean));
    } else {
      // A value line pushed past the 27 positions by an added line lands
      // here and would be ignored without a word.
      const LineLabel label = LabelOf(line.substr(0, line.find('=')));
      if (label.leading && label.named >= 0 && label.named < kParameterValueLines) {
        const std::string field(kValueLineFields[static_cast<std::size_t>(label.named)]);
        notes.Warn(here.line,
                   StrPrintf("line %d: %s: %s comes after the %d value lines and is ignored "
                             "(a line seems to be added above it)",
                             here.line, field.c_str(), QuoteLine(line).c_str(),
                             kParameterValueLines));
      } else if (ContainsNoCase(line, "all") || ContainsNoCase(line, "mean")) {
        notes.Warn(here.line, StrPrintf("line %d: %s: %s is ignored: only \"all\" and \"mean\" "
                                        "in lower case name the keyed fields",
                                        here.line, ContainsNoCase(line, "all") ? "all" : "mean",
                                        QuoteLine(line).c_str()));
      }
    }
  }
  // `mean` stays on only when the keyed section ended at an "[END]" line
  // that is followed by at least one more significant line.
  if (NextSignificantLine(&line, source.get()) != LineEnd::kLine) {
    if (pars->mean != 0 && mean_seen.line > 0) {
      notes.Warn(mean_seen.line,
                 StrPrintf("line %d: mean: %s has no effect: mean stays 0 unless \"[END]\" and "
                           "at least one more significant line follow it",
                           mean_seen.line, QuoteLine(mean_seen.text).c_str()));
    }
    pars->mean = 0;
  }
  notes.SetSource("all", all_seen.line, all_seen.text);
  notes.SetSource("mean", mean_seen.line, mean_seen.text);

  if (info) {
    info->value_lines_present = n_present;
    // A line labelled for another field goes first: what else is odd about
    // that line (no number, a number cut short) follows from it.
    std::vector<LineWarning> warnings = LabelWarnings(notes.seen);
    for (LineWarning& w : notes.warnings) warnings.push_back(std::move(w));
    std::stable_sort(warnings.begin(), warnings.end(),
                     [](const LineWarning& a, const LineWarning& b) { return a.line < b.line; });
    info->sources = std::move(notes.sources);
    for (LineWarning& w : warnings) info->warnings.push_back(std::move(w.text));
  }
  return true;
}

}  // namespace qae
