// The texts that start runs: the AE range typed into the dialog and the one
// command-line argument that a launching instance hands to each instance it
// starts ("%s;%d;%d;": parameter file, first and last AE number).
//
// Both are parsed from the text alone, without fixed buffers, so a path of
// any length is carried whole and a malformed text is a clear error rather
// than a truncated or unset value.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace qae {

struct AeRange {
  int first = 0;
  int last = 0;
  int step = 0;       // 0 when the text has no step (or an unreadable one)
  bool has_step = false;
};

// Reads an AE range in one of its two forms, as "%d,%d,+=%d" and "%d,%d"
// read them: "first,last,+=step" as typed in the dialog, or "first,last"
// followed by anything (the form a launched instance receives, "10,20;"),
// which has no step. Numbers take leading blanks and a sign; a number beyond
// the int range counts as no number. Empty when the text starts with neither
// form.
std::optional<AeRange> ParseAeRange(std::string_view text);

// Reads an AE range that must be exactly one of the two forms,
// "first,last,+=step" or "first,last" (the latter with the ';' a launched
// instance receives, "10,20;"; blanks allowed before each number and at the
// end), with first not above last. Empty, with `why` set to a
// short reason, otherwise: "1,46,step=0" or "46,1,+=0" never runs as
// something the user did not mean.
std::optional<AeRange> ParseAeRangeStrict(std::string_view text, std::string* why);

// True when `argument` has the launch form: its first ';' comes after at
// least one character. Any such argument is meant for a launched instance,
// even when the rest of it is malformed.
bool IsLaunchArgument(std::string_view argument);

struct LaunchArgument {
  std::string parFile;  // the text before the first ';'
  std::string aeRange;  // between the first and second ';', a comma, the rest
  int first = 0;
  int last = 0;
};

// Splits a launch argument "P;10;20;" into parFile "P" and aeRange "10,20;"
// and reads first and last from the range. Returns false with `error` set
// (a sentence naming the argument and what is wrong) when the argument is
// not in the launch form, has no second ';', or its range is not exactly
// "first;last;" with first not above last; `out` is then left unchanged.
bool ParseLaunchArgument(std::string_view argument, LaunchArgument* out, std::string* error);

// The argument that starts an instance on `par_file` for first..last.
std::string FormatLaunchArgument(std::string_view par_file, int first, int last);

}  // namespace qae
