// Checks of single parameter-file lines behind the reader's warnings: how
// the number after '=' reads, which field the commentary in front of '='
// names, and whether a run of such names shows a missing or added line.
// Used by ReadParameterFile; not a user-facing interface of its own.
#pragma once

#include <array>
#include <string>
#include <string_view>
#include <vector>

namespace qae {

// The fields of the positional value lines, by index (line 1 is index 0);
// index 23 is the template line, named after its first field.
inline constexpr std::array<std::string_view, 27> kValueLineFields = {
    "velX",       "velY",       "velZ",        "reserved1",  "preWin",       "postWin",
    "dupWin",     "reserved2",  "reserved3",   "fLow",       "fHigh",        "reserved4",
    "ccMin",      "snrMin",     "gridHalfX",   "gridHalfY",  "gridHalfZ",    "gridStepsX",
    "gridStepsY", "gridStepsZ", "templateDir", "dataPath",   "outDir",       "maxTemplates",
    "reserved5",  "outLevel",   "wellLocatedM"};

// Indices beyond the value lines for the two keyed fields, so that a keyed
// line read in a value position has a place in the order.
inline constexpr int kAllIndex = 27;
inline constexpr int kMeanIndex = 28;

// How the number after the first '=' of a line reads ("%f" or "%d").
struct NumberReading {
  bool has_equals = false;
  bool has_number = false;
  // An integer beyond the int32 range (the reader clamps it).
  bool out_of_range = false;
  // The text at which reading stopped, when it continues the number: a
  // decimal comma or a second point ("0,6" stops at ",6"), a fraction bar
  // ("1/2"), an exponent without digits ("1e"), and for an integer field any
  // tail that a decimal reading would not round to the same value ("5.7",
  // "5e3"; "5.0" is harmless). Empty when the number ends at a blank, at the
  // end of the line, or at a remark or unit written right after it ("6.5mm").
  std::string continuation;
};
NumberReading InspectNumber(std::string_view line, bool integer);

// `text` trimmed of surrounding blanks, control characters as blanks, long
// text shortened, in double quotes: the form in which warnings quote a line.
std::string QuoteLine(std::string_view text);

// The field a line's commentary (the text in front of its first '=') names.
struct LineLabel {
  // Index (kValueLineFields, kAllIndex, kMeanIndex) of the first field
  // named, kAnyReserved for the bare word "reserved", kNoField for none.
  int named = -1;
  // Whether the first word of the commentary (after a leading number such
  // as "13.") is that field name: then it is taken as the line's label.
  bool leading = false;
  // Every field index named, in order of appearance.
  std::vector<int> all_named;
};
inline constexpr int kNoField = -1;
inline constexpr int kAnyReserved = -2;
LineLabel LabelOf(std::string_view commentary);

// Whether a line with `label` in value position `index` is labelled for
// another field: a leading label names another field, or, without one,
// the commentary names other fields and never its own. Any "reserved" name
// fits any reserved position, whatever its number.
bool NamesAnotherField(const LineLabel& label, int index);

// One significant line read for a value position.
struct ValueLineSeen {
  int line = 0;  // Physical line; 0 when the file did not reach this position.
  std::string text;
  bool end_marker = false;  // An early "[END]" line stood in this position.
};

// A warning anchored at a physical line, so that all can be put in order.
struct LineWarning {
  int line = 0;
  std::string text;
};

// Warnings for value lines labelled for another field. Where consecutive
// labelled lines are all off by the same number of positions, one warning
// at the first of them says that a line seems to be missing (or added)
// before it, instead of one warning per line.
std::vector<LineWarning> LabelWarnings(const std::vector<ValueLineSeen>& seen);

}  // namespace qae
