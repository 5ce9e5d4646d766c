// Running another program (a batch system's client such as sbatch) and
// reading what it prints.
#pragma once

#include <string>
#include <vector>

namespace qae {

struct ProgramResult {
  bool started = false;  // false: it could not be run at all (see `error`)
  int exitCode = -1;     // its exit status; -1 when it ended by a signal
  std::string out;       // stdout
  std::string err;       // stderr
  std::string error;     // why it could not be started or waited for
};

// Runs argv[0] (looked up on PATH) with `argv`, waits for it, and returns
// its output. Output beyond `max_bytes` per stream is dropped.
ProgramResult RunProgram(const std::vector<std::string>& argv, std::size_t max_bytes = 1 << 20);

}  // namespace qae
