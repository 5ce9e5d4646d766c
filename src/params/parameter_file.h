// The parameter file (`*ML_CC_AE_pars.txt`) and its text helpers.
//
// The format is positional: the significant lines of the file supply, in a
// fixed order, 27 value lines (velX, velY, velZ, reserved1, preWin, postWin,
// dupWin, reserved2, reserved3, fLow, fHigh, reserved4, ccMin, snrMin,
// gridHalfX..Z, gridStepsX..Z, templateDir, dataPath, outDir,
// "maxTemplates iTS= iTE=", reserved5, outLevel, wellLocatedM). The text in
// front of each '=' is commentary for the reader. After them comes a keyed
// section for `all` and `mean`, ended by the end of the file or an "[END]"
// line. A line is significant unless it is blank or its first non-blank
// character is one of ! # % * /.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "params/ae_pars.h"
#include "params/text_source.h"

namespace qae {

// Number of positional value lines of a parameter file.
inline constexpr int kParameterValueLines = 27;

// Reads the next significant line of `source` into `line`, in pieces of at
// most kLineBufferSize - 1 characters (the tail of a longer physical line is
// a line of its own). Returns false at the end of the source, after a read
// error, or at a line that begins with "[END]" in its first column. On true,
// `line` holds the line as read, leading blanks included, without its
// newline, and source->line_number() is its physical line. The text is cut
// at an embedded NUL byte.
bool ReadSignificantLine(std::string* line, TextSource* source);

// The number after the first '=' of `line`, read as "%f" / "%d" would read
// it: blanks skipped, reading stops at the first character that cannot
// continue the number. `*value` becomes `default_value` when the line has no
// '=' or no number follows it. Integers beyond the int32 range are clamped.
void ValueAfterEquals(std::string_view line, float* value, float default_value);
void ValueAfterEquals(std::string_view line, int32_t* value, int32_t default_value);

// The string value after the first '=' of `line`; empty without '='. Spaces
// and double quotes after the '=' are skipped. If the rest holds a '"' or a
// '<', the value ends before the first of them (so a quoted value keeps its
// spaces, and "<" starts a remark); otherwise it ends before the first of
// " ,;\n\t".
std::string PathToken(std::string_view line);

// Where the value of one field of AePars came from.
struct FieldSource {
  std::string field;  // The AePars member, e.g. "ccMin".
  int line = 0;       // Physical line of the file (1-based); 0: the field kept its default.
  std::string text;   // That line as read, without its line end; empty for a default.
  bool is_default() const { return line == 0; }
};

// What ReadParameterFile found, for messages to the user.
struct ParameterFileInfo {
  // How many of the kParameterValueLines positional lines the file held.
  int value_lines_present = 0;
  // Why the file could not be opened; empty when it was.
  std::string open_error;
  // One entry per field the file can supply, in file order: velX to
  // wellLocatedM (line 24 gives maxTemplates, iTS and iTE), then all and
  // mean. A value line the file does not reach, an iTS or iTE the template
  // line does not name, and an all or mean no keyed line names are
  // defaults. A line that holds no usable number still counts as the
  // field's source (a warning says it took the default). Empty when the
  // file could not be opened.
  std::vector<FieldSource> sources;
  // One line each, in line order, on what the file probably does not mean:
  // "line 17: ccMin: \"ccMin = 0,6\" reads as 0 (the number stops at \",6\")".
  // Only what the file's text shows; see FolderWarnings for the directories.
  std::vector<std::string> warnings;

  // The entry of `field`, or null when the file cannot supply it.
  const FieldSource* Source(std::string_view field) const;
};

// Fills `pars` from the parameter file or URL `path` (see OpenTextSource).
// Returns false when it cannot be opened; `pars` is then untouched. Otherwise
// returns true: content never makes it fail, a missing or malformed value
// leaves that field's default. `firstAE` and `lastAE` are not touched;
// `minStations` is always set to 4; `all` changes only when a keyed line
// names it. `info`, if not null, receives what was found: where each value
// came from and warnings on lines that probably do not say what their
// author meant (a number that stops early, a value without a number, a
// line labelled for another field, lines missing at the end).
bool ReadParameterFile(const std::string& path, AePars* pars, ParameterFileInfo* info = nullptr);

// Warnings on the three directories of `pars`, as a run will use them:
// templateDir, outDir and (unless it names a ".lng" recording) dataPath are
// prefixes, so the folder they lie in must exist: the path itself when it
// ends with a separator, else its parent ("data/run1_" lies in "data/"). A
// prefix that is an existing folder without the final separator is
// reported too (its files would land beside it), and so is one ending with
// a backslash where that separates no folders (a file from another
// system). A dataPath with ".lng"
// names a file, which must exist. An empty path is reported as such (its
// files are in the current directory). Relative paths are taken from the
// current directory. The folders are local even for a URL parameter file,
// which is why this is not part of ReadParameterFile. With `info`, each
// text starts with the line the path came from.
std::vector<std::string> FolderWarnings(const AePars& pars,
                                        const ParameterFileInfo* info = nullptr);

// Values a run must refuse at its start, one line each naming the field: a
// NaN or infinite velX, velY, velZ, preWin, postWin, fLow, fHigh, ccMin,
// snrMin or gridHalfX/Y/Z, and a NaN or negative dupWin (a negative one
// turns the removal of duplicate detections off without a word). Nothing a
// working file can hold is refused: fLow >= fHigh (no filter), zero
// velocities and negative grid steps are left to the run. With `info`, each
// text starts with the line the value came from.
std::vector<std::string> ParameterErrors(const AePars& pars,
                                         const ParameterFileInfo* info = nullptr);

// What a run should show before it starts: the reader's warnings, then the
// folder warnings.
std::vector<std::string> AllParameterWarnings(const ParameterFileInfo& info, const AePars& pars);

}  // namespace qae
