#include "params/value_line_checks.h"

#include <cerrno>
#include <cstdint>
#include <cstdlib>

#include "util/text.h"

namespace qae {

namespace {

std::string_view UpToNul(std::string_view line) { return line.substr(0, line.find('\0')); }

bool IsDigit(char c) { return c >= '0' && c <= '9'; }
bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }
bool IsWordChar(char c) {
  return IsDigit(c) || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_';
}

// Whether the text at `p`, where a number stopped, continues that number
// rather than starting a remark: a decimal comma ("0,6"), a fraction bar
// ("1/2"), for a float a second point ("1.2.3"), or an exponent without its
// digits ("1e", "1e+"). A unit or word written on ("6.5mm", "6.5eV") is not
// a continuation; neither is anything after a blank.
bool ContinuesNumber(const char* p, bool allow_point) {
  const char c0 = p[0];
  const char c1 = c0 != '\0' ? p[1] : '\0';
  if ((c0 == ',' || c0 == '/' || (allow_point && c0 == '.')) && IsDigit(c1)) return true;
  if (c0 == 'e' || c0 == 'E') {
    return c1 == '\0' || IsBlank(c1) || c1 == '+' || c1 == '-' || c1 == ';';
  }
  return false;
}

// The piece of text at `p` shown in a warning: up to a blank or ';'.
std::string TokenAt(const char* p) {
  constexpr std::size_t kMaxChars = 16;
  std::string token;
  while (*p != '\0' && !IsBlank(*p) && *p != ';' && token.size() < kMaxChars) token += *p++;
  return token;
}

bool IsReservedIndex(int index) {
  return index == 3 || index == 7 || index == 8 || index == 11 || index == 24;
}

// Words of commentary that name a field, lower case and without '_', so
// that "ccMin", "CCMIN" and "cc_min" all match. Besides the field names:
// vx/vy/vz, the usual notation of velocity components; cc and snr, the
// quantities the two thresholds bound; datadir, the common name of a data
// folder. Words that occur in ordinary commentary ("template", "window",
// "level") are left out on purpose: a label warning must come from a name.
struct FieldWord {
  std::string_view word;
  int index;
};
constexpr FieldWord kFieldWords[] = {
    {"velx", 0},          {"vx", 0},          {"vely", 1},           {"vy", 1},
    {"velz", 2},          {"vz", 2},          {"reserved1", 3},      {"prewin", 4},
    {"postwin", 5},       {"dupwin", 6},      {"reserved2", 7},      {"reserved3", 8},
    {"flow", 9},          {"fhigh", 10},      {"reserved4", 11},     {"ccmin", 12},
    {"cc", 12},           {"snrmin", 13},     {"snr", 13},           {"gridhalfx", 14},
    {"gridhalfy", 15},    {"gridhalfz", 16},  {"gridstepsx", 17},    {"gridstepsy", 18},
    {"gridstepsz", 19},   {"templatedir", 20}, {"datapath", 21},     {"datadir", 21},
    {"outdir", 22},       {"maxtemplates", 23}, {"reserved5", 24},   {"outlevel", 25},
    {"welllocatedm", 26}, {"reserved", kAnyReserved},
};

int FieldOfWord(std::string_view word) {
  for (const FieldWord& w : kFieldWords) {
    if (w.word == word) return w.index;
  }
  return kNoField;
}

std::string FieldNameAt(int index) {
  if (index >= 0 && index < static_cast<int>(kValueLineFields.size())) {
    return std::string(kValueLineFields[static_cast<std::size_t>(index)]);
  }
  if (index == kAllIndex) return "all";
  if (index == kMeanIndex) return "mean";
  return "a reserved field";
}

std::string_view Commentary(std::string_view line) { return line.substr(0, line.find('=')); }

// "ccMin", "ccMin and snrMin", "ccMin, snrMin and gridHalfX".
std::string JoinNames(int first, int count) {
  std::string text;
  for (int i = 0; i < count; ++i) {
    if (i > 0) text += i + 1 == count ? " and " : ", ";
    text += FieldNameAt(first + i);
  }
  return text;
}

}  // namespace

NumberReading InspectNumber(std::string_view line, bool integer) {
  NumberReading reading;
  line = UpToNul(line);
  const std::size_t eq = line.find('=');
  if (eq == std::string_view::npos) return reading;
  reading.has_equals = true;
  const std::string rest(line.substr(eq + 1));
  const char* begin = rest.c_str();
  char* end = nullptr;
  if (integer) {
    errno = 0;
    const long value = std::strtol(begin, &end, 10);
    if (end == begin) return reading;
    reading.has_number = true;
    reading.out_of_range = errno == ERANGE || value > INT32_MAX || value < INT32_MIN;
    // "5.0" and "5e0" read as 5 either way; "5.7" and "5e3" do not.
    char* decimal_end = nullptr;
    const double decimal = std::strtod(begin, &decimal_end);
    const bool loses_digits = decimal_end > end && decimal != static_cast<double>(value);
    if (loses_digits || ContinuesNumber(end, false)) reading.continuation = TokenAt(end);
  } else {
    static_cast<void>(std::strtof(begin, &end));
    if (end == begin) return reading;
    reading.has_number = true;
    if (ContinuesNumber(end, true)) reading.continuation = TokenAt(end);
  }
  return reading;
}

std::string QuoteLine(std::string_view text) {
  constexpr std::size_t kMaxChars = 72;
  const std::size_t first = text.find_first_not_of(" \t\r\n");
  if (first == std::string_view::npos) return "\"\"";
  text = text.substr(first, text.find_last_not_of(" \t\r\n") - first + 1);
  std::string shown;
  for (char c : text) shown += static_cast<unsigned char>(c) < 32 ? ' ' : c;
  if (shown.size() > kMaxChars) {
    std::size_t cut = kMaxChars - 3;
    // Never cut inside a UTF-8 sequence.
    while (cut > 0 && (static_cast<unsigned char>(shown[cut]) & 0xC0) == 0x80) --cut;
    shown = shown.substr(0, cut) + "...";
  }
  return "\"" + shown + "\"";
}

LineLabel LabelOf(std::string_view commentary) {
  LineLabel label;
  bool first_word = true;
  int n_words = 0;
  std::string only_word;
  std::size_t pos = 0;
  while (pos < commentary.size()) {
    if (!IsWordChar(commentary[pos])) {
      ++pos;
      continue;
    }
    std::string word;
    bool all_digits = true;
    for (; pos < commentary.size() && IsWordChar(commentary[pos]); ++pos) {
      const char c = commentary[pos];
      if (!IsDigit(c)) all_digits = false;
      if (c == '_') continue;
      word += (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
    }
    if (all_digits) continue;  // A line number such as "13." is not a label.
    ++n_words;
    only_word = word;
    const int index = FieldOfWord(word);
    if (index != kNoField) {
      if (label.all_named.empty()) {
        label.named = index;
        label.leading = first_word;
      }
      label.all_named.push_back(index);
    }
    first_word = false;
  }
  // "all" and "mean" are ordinary words in commentary ("mean velocity");
  // only as the whole commentary do they name the keyed fields.
  if (label.all_named.empty() && n_words == 1 && (only_word == "all" || only_word == "mean")) {
    label.named = only_word == "all" ? kAllIndex : kMeanIndex;
    label.leading = true;
    label.all_named.push_back(label.named);
  }
  return label;
}

bool NamesAnotherField(const LineLabel& label, int index) {
  if (label.named == kNoField) return false;
  auto is_own = [index](int named) {
    return named == index ||
           (IsReservedIndex(index) && (named == kAnyReserved || IsReservedIndex(named)));
  };
  if (label.leading) return !is_own(label.named);
  for (int named : label.all_named) {
    if (is_own(named)) return false;
  }
  return true;
}

std::vector<LineWarning> LabelWarnings(const std::vector<ValueLineSeen>& seen) {
  constexpr int kUnknown = -100;
  const int n = static_cast<int>(seen.size());
  // named_at[p]: the position the line in position p is labelled for, or
  // kUnknown; off[p]: whether that label belongs to another field.
  std::vector<int> named_at(seen.size(), kUnknown);
  std::vector<bool> off(seen.size(), false);
  std::vector<LineLabel> labels(seen.size());
  for (int p = 0; p < n; ++p) {
    const ValueLineSeen& s = seen[static_cast<std::size_t>(p)];
    if (s.line == 0 || s.end_marker) continue;
    const LineLabel label = LabelOf(Commentary(s.text));
    labels[static_cast<std::size_t>(p)] = label;
    if (label.named == kNoField) continue;
    off[static_cast<std::size_t>(p)] = NamesAnotherField(label, p);
    if (off[static_cast<std::size_t>(p)] || label.leading) {
      if (label.named != kAnyReserved) named_at[static_cast<std::size_t>(p)] = label.named;
    } else {
      named_at[static_cast<std::size_t>(p)] = p;
    }
  }

  std::vector<LineWarning> warnings;
  int done = 0;  // Positions before this one are reported on.
  for (int p = 0; p < n;) {
    const auto up = static_cast<std::size_t>(p);
    if (!off[up]) {
      ++p;
      continue;
    }
    // How far the labels of the following lines run off by the same shift,
    // and of the preceding ones: a "reserved3" line in the reserved2 place
    // fits a reserved place, but with the lines after it shows where the
    // shift begins.
    const int shift = named_at[up] == kUnknown ? 0 : named_at[up] - p;
    int first = p;
    int last = p;
    int n_agree = 1;
    if (shift != 0) {
      for (int r = p + 1; r < n; ++r) {
        const int named = named_at[static_cast<std::size_t>(r)];
        if (named == kUnknown) continue;
        if (named - r != shift) break;
        last = r;
        ++n_agree;
      }
      for (int r = p - 1; r >= done; --r) {
        const int named = named_at[static_cast<std::size_t>(r)];
        if (named == kUnknown) continue;
        if (named - r != shift) break;
        first = r;
        ++n_agree;
      }
    }
    if (n_agree < 2) {
      const ValueLineSeen& s = seen[up];
      warnings.push_back({s.line, StrPrintf("line %d: %s: %s names %s, not %s", s.line,
                                            FieldNameAt(p).c_str(), QuoteLine(s.text).c_str(),
                                            FieldNameAt(labels[up].named).c_str(),
                                            FieldNameAt(p).c_str())});
      done = ++p;
      continue;
    }
    const ValueLineSeen& s = seen[static_cast<std::size_t>(first)];
    const int last_line = seen[static_cast<std::size_t>(last)].line;
    // The line missing or added lies after the last line that names its
    // own field (or, without one, anywhere before).
    int first_line = 0;
    bool right_before = first == 0;
    for (int r = first - 1; r >= 0 && first_line == 0; --r) {
      const auto ur = static_cast<std::size_t>(r);
      if (named_at[ur] == r) {
        first_line = seen[ur].line + 1;
        right_before = r == first - 1;
      }
    }
    std::string what;
    if (shift > 0) {
      if (right_before) {
        what = shift == 1 ? "the " + FieldNameAt(first) + " line seems to be missing"
                          : "the lines for " + JoinNames(first, shift) + " seem to be missing";
        what += " before this one";
      } else {
        what = shift == 1 ? "a line seems to be missing"
                          : StrPrintf("%d lines seem to be missing", shift);
        what += first_line > 0 ? StrPrintf(" between line %d and this one", first_line - 1)
                               : std::string(" before this one");
      }
    } else {
      if (first_line == s.line && shift == -1) {
        what = "this line seems to be one too many";
      } else if (first_line > 0) {
        what = shift == -1 ? StrPrintf("one of lines %d to %d seems to be one too many",
                                       first_line, s.line)
                           : StrPrintf("%d of lines %d to %d seem to be too many", -shift,
                                       first_line, s.line);
      } else {
        what = shift == -1 ? "a line seems to be added at or before this one"
                           : StrPrintf("%d lines seem to be added at or before this one", -shift);
      }
    }
    const int places = shift > 0 ? shift : -shift;
    const std::string where =
        (places == 1 ? std::string("the field ") : StrPrintf("the field %d places ", places)) +
        (shift > 0 ? "before" : "after");
    warnings.push_back(
        {s.line,
         StrPrintf("line %d: %s: %s names %s: %s (the values of lines %d to %d go to %s the one "
                   "they name)",
                   s.line, FieldNameAt(first).c_str(), QuoteLine(s.text).c_str(),
                   FieldNameAt(first + shift).c_str(), what.c_str(), s.line, last_line,
                   where.c_str())});
    done = p = last + 1;
  }
  return warnings;
}

}  // namespace qae
