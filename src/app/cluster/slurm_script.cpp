#include "app/cluster/slurm_script.h"

#include "util/text.h"

namespace qae {

std::string ShellQuote(const std::string& word) {
  std::string q = "'";
  for (char c : word) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return q + "'";
}

std::vector<std::string> SlurmOptionProblems(const SlurmOptions& o) {
  std::vector<std::string> problems;
  if (o.cpusPerTask < 1) problems.push_back("--cpus-per-task must be at least 1");
  if (o.maxRunning < 0) problems.push_back("--max-running must not be negative");
  const auto one_line = [&](const std::string& name, const std::string& value) {
    if (value.find_first_of("\r\n") != std::string::npos) {
      problems.push_back(name + " must be one line");
    }
  };
  one_line("--time", o.time);
  one_line("--mem", o.mem);
  one_line("--partition", o.partition);
  one_line("--account", o.account);
  one_line("--job-name", o.jobName);
  one_line("--output", o.output);
  for (const std::string& a : o.sbatchArgs) {
    one_line("--sbatch-arg", a);
    if (a.rfind("-", 0) != 0) problems.push_back("--sbatch-arg wants an sbatch option, got \"" + a + "\"");
  }
  return problems;
}

std::string SlurmArrayScript(const std::string& executable, const std::string& parFile,
                             const std::string& outDir, const std::vector<SubRange>& ranges,
                             const SlurmOptions& o) {
  const int first = ranges.front().first;
  const int last = ranges.back().last;
  std::string s = "#!/bin/bash\n";
  s += "# Quorvex_AE: " + std::to_string(ranges.size()) + " sub-ranges of AE " +
       std::to_string(first) + ".." + std::to_string(last) + " of " + parFile + "\n";
  const auto directive = [&](const std::string& option) { s += "#SBATCH " + option + "\n"; };
  directive("--job-name=" +
            (o.jobName.empty() ? StrPrintf("qae_%d_%d", first, last) : o.jobName));
  std::string array = "--array=0-";
  array += std::to_string(ranges.size() - 1);
  if (o.maxRunning > 0) {
    array += '%';
    array += std::to_string(o.maxRunning);
  }
  directive(array);
  directive("--ntasks=1");
  directive("--cpus-per-task=" + std::to_string(o.cpusPerTask));
  if (!o.time.empty()) directive("--time=" + o.time);
  if (!o.mem.empty()) directive("--mem=" + o.mem);
  if (!o.partition.empty()) directive("--partition=" + o.partition);
  if (!o.account.empty()) directive("--account=" + o.account);
  directive("--output=" + (o.output.empty() ? outDir + "slurm_%A_%a.out" : o.output));
  for (const std::string& a : o.sbatchArgs) directive(a);
  s += "\nset -u\n";
  // Sub-ranges by array index: a resubmitted array holds only the unfinished
  // ones, so the index is not a simple multiple of the step.
  s += "firsts=(";
  for (std::size_t i = 0; i < ranges.size(); ++i) {
    if (i) s += ' ';
    s += std::to_string(ranges[i].first);
  }
  s += ")\nlasts=(";
  for (std::size_t i = 0; i < ranges.size(); ++i) {
    if (i) s += ' ';
    s += std::to_string(ranges[i].last);
  }
  s += ")\n";
  s += "i=${SLURM_ARRAY_TASK_ID:?run this script with sbatch}\n";
  s += ShellQuote(executable) + " run " + ShellQuote(parFile) +
       " \"${firsts[$i]},${lasts[$i]},+=0\" --threads \"${SLURM_CPUS_PER_TASK:-1}\"\n";
  // Status 3: not one record of the sub-range could be read (as past the
  // end of a recording). The task did all there was to do, so Slurm should
  // not call it failed; `status` reports it as "nothing to scan".
  s += "rc=$?\n";
  s += "if [ \"$rc\" -eq 3 ]; then\n";
  s += "  echo \"Quorvex_AE: nothing to scan in ${firsts[$i]}..${lasts[$i]}\" >&2\n";
  s += "  exit 0\n";
  s += "fi\n";
  s += "exit \"$rc\"\n";
  return s;
}

}  // namespace qae
