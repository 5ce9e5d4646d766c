// A Slurm job-array script that runs the sub-ranges of a stepped AE range,
// one array task per sub-range, each as `Quorvex_AE run PARFILE a,b,+=0`.
#pragma once

#include <string>
#include <vector>

#include "app/multiple_runs.h"

namespace qae {

struct SlurmOptions {
  int cpusPerTask = 1;
  std::string time;       // --time, e.g. "2-00:00:00"; empty: the partition's default
  std::string mem;        // --mem, e.g. "8G"
  std::string partition;
  std::string account;
  int maxRunning = 0;     // the array's %N throttle; 0: none
  std::string jobName;    // empty: "qae_<first>_<last>"
  std::string output;     // --output pattern; empty: "<outDir>slurm_%A_%a.out"
  std::vector<std::string> sbatchArgs;  // further "#SBATCH" options, as given
};

// The script. `executable` and `parFile` should be absolute (tasks start in
// the submission directory, but a script may be kept and submitted from
// elsewhere); `outDir` is the run's output prefix. `ranges` must not be
// empty.
std::string SlurmArrayScript(const std::string& executable, const std::string& parFile,
                             const std::string& outDir, const std::vector<SubRange>& ranges,
                             const SlurmOptions& options);

// A word for the shell that the shell reads back unchanged.
std::string ShellQuote(const std::string& word);

// Options that would break the script (a line break in a value, a
// throttle below 0, ...), one line each; empty when it is fine.
std::vector<std::string> SlurmOptionProblems(const SlurmOptions& options);

}  // namespace qae
