#include "support/cli_runner.h"

#include <sys/wait.h>

#include <cstdlib>

namespace qae::test {

std::string Quote(const std::string& s) {
  std::string q = "'";
  for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return q + "'";
}

RunResult RunCommandLine(const std::string& command_line, const std::string& scratch_dir,
                         const std::string& shell) {
  const std::string out = scratch_dir + "/stdout.txt";
  const std::string err = scratch_dir + "/stderr.txt";
  const std::string command =
      shell + " " + command_line + " >" + Quote(out) + " 2>" + Quote(err);
  const int status = std::system(command.c_str());
  RunResult result;
  if (status != -1 && WIFEXITED(status)) result.exit_code = WEXITSTATUS(status);
  result.out = ReadText(out);
  result.err = ReadText(err);
  return result;
}

}  // namespace qae::test
