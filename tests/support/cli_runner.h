// Runs the built Quorvex_AE executable the way a user does, capturing its
// exit status and output. Arguments are written as one command-line text,
// each word quoted with Quote() where needed: for the POSIX shell on POSIX
// systems, as CommandLineToArgvW reads it on Windows.
#pragma once

#include <fstream>
#include <sstream>
#include <string>

#include "util/path.h"

namespace qae::test {

struct RunResult {
  int exit_code = -1;
  std::string out;
  std::string err;
};

inline std::string ReadText(const std::string& path) {
  std::ifstream in(qae::PathOf(path), std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// A command-line word holding `s` unchanged.
std::string Quote(const std::string& s);

// Runs `command_line` (a program and its arguments, quoted with Quote);
// stdout and stderr are captured through files in `scratch_dir`. `shell`
// goes in front of it: environment settings ("QAE_CRASH_AT=3", several
// separated by blanks) on every system, and on POSIX also shell commands
// ending in ';' ("ulimit -f 16;"), which have no Windows counterpart.
RunResult RunCommandLine(const std::string& command_line, const std::string& scratch_dir,
                         const std::string& shell = std::string());

// Runs "Quorvex_AE <args>".
inline RunResult RunCli(const std::string& args, const std::string& scratch_dir,
                        const std::string& shell = std::string()) {
  return RunCommandLine(Quote(QAE_EXECUTABLE) + " " + args, scratch_dir, shell);
}

}  // namespace qae::test
