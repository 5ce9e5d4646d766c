// One run over an AE range in this process: read the parameter file, set the
// range, call the run driver, and say truthfully how it went.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "detect/run_context.h"
#include "params/ae_pars.h"
#include "params/parameter_file.h"

namespace qae {

// Exit statuses of a run, shared by `run`, launched instances and the
// dialog's record of them.
inline constexpr int kRunComplete = 0;       // every record dealt with, nothing lost
inline constexpr int kRunIncomplete = 1;     // stopped early, or an output was lost
inline constexpr int kRunBadInput = 2;       // unreadable or refused parameters, bad range
inline constexpr int kRunNothingToScan = 3;  // not one record of the range could be read

struct RunRangeResult {
  bool parametersRead = false;  // false: the parameter file could not be opened; nothing ran
  bool badInput = false;        // the parameters were refused; nothing ran
  int detected = 0;             // records (or segments) whose detections were written
  int scanned = 0;              // records handed to the scan
  int missing = 0;              // records of the range that could not be read
  int unwritten = 0;            // detections with an output that could not be written
  bool nothingToScan = false;   // not one record of the range could be read
  std::string logPath;          // where the run's log is now (its "_OK" name when complete)
  std::string dataPath;         // the event-file prefix or recording that was scanned
  std::string error;            // why the run is not complete
  std::vector<std::string> warnings;  // about the parameter file
};

// kRunComplete, kRunIncomplete, kRunBadInput or kRunNothingToScan.
int RunExitStatus(const RunRangeResult& result);

// "detected=N scanned=S missing=M unwritten=U log=PATH" (an empty PATH when
// no log could be written).
std::string RunSummaryLine(const RunRangeResult& result);

// How the records are scanned: the fast scan on `threads` threads (0: one
// per CPU this process may use), or the straightforward reference scan on
// one. Both write the same bytes.
struct ScanOptions {
  RunContext::Kernel kernel = RunContext::Kernel::kFast;
  int threads = 0;
};

struct RunOptions {
  ScanOptions scan;
  // Every parameter-file warning refuses the run (kRunBadInput).
  bool strict = false;
  // Optional: hears how far the run has got, once per AE number.
  std::function<void(const RunProgress&)> progress;
  // Optional: hears each parameter-file warning before the run starts, and
  // each lost output as it is lost.
  std::function<void(const std::string&)> onWarning;
  std::function<void(const std::string&)> onLoss;
};

// What a run says about a parameter file before it starts: its warnings
// (the file's text and its folders), and the values no run can use.
std::vector<std::string> ParameterWarningsOf(const ParameterFileInfo& info, const AePars& pars);
std::vector<std::string> ParameterErrorsOf(const ParameterFileInfo& info, const AePars& pars);

// Reads `par_file` into a fresh parameter record, sets firstAE = first and
// lastAE = last (inclusive), and runs the event-file driver (which hands
// continuous recordings on). A parameter file that cannot be opened, or
// whose values cannot be run (see ParameterErrors), runs nothing; its
// warnings go to `onWarning` and to the top of the run's log.
RunRangeResult RunRange(const std::string& par_file, int first, int last,
                        const RunOptions& options = {});

}  // namespace qae
