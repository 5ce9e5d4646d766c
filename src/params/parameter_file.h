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
// newline. The text is cut at an embedded NUL byte.
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

// What ReadParameterFile found, for messages to the user.
struct ParameterFileInfo {
  // How many of the kParameterValueLines positional lines the file held.
  int value_lines_present = 0;
  // Why the file could not be opened; empty when it was.
  std::string open_error;
};

// Fills `pars` from the parameter file or URL `path` (see OpenTextSource).
// Returns false when it cannot be opened; `pars` is then untouched. Otherwise
// returns true: content never makes it fail, a missing or malformed value
// leaves that field's default. `firstAE` and `lastAE` are not touched;
// `minStations` is always set to 4; `all` changes only when a keyed line
// names it. `info`, if not null, receives what was found.
bool ReadParameterFile(const std::string& path, AePars* pars, ParameterFileInfo* info = nullptr);

}  // namespace qae
