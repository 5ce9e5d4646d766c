// Runs the built Quorvex_AE executable the way a user does, capturing its
// exit status and output.
#pragma once

#include <sys/wait.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

namespace qae::test {

struct RunResult {
  int exit_code = -1;
  std::string out;
  std::string err;
};

inline std::string ReadText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// A shell word holding `s` unchanged.
inline std::string Quote(const std::string& s) {
  std::string q = "'";
  for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return q + "'";
}

// Runs "Quorvex_AE <args>" (args already shell-quoted where needed); its
// stdout and stderr are captured through files in `scratch_dir`. `shell`
// goes in front of the command: environment settings ("QAE_CRASH_AT=3") or
// shell commands ending in ';' ("ulimit -f 16;").
inline RunResult RunCli(const std::string& args, const std::string& scratch_dir,
                        const std::string& shell = std::string()) {
  const std::string out = scratch_dir + "/stdout.txt";
  const std::string err = scratch_dir + "/stderr.txt";
  const std::string command = shell + " " + Quote(QAE_EXECUTABLE) + " " + args + " >" +
                              Quote(out) + " 2>" + Quote(err);
  const int status = std::system(command.c_str());
  RunResult result;
  if (status != -1 && WIFEXITED(status)) result.exit_code = WEXITSTATUS(status);
  result.out = ReadText(out);
  result.err = ReadText(err);
  return result;
}

}  // namespace qae::test
