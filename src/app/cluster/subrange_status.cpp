#include "app/cluster/subrange_status.h"

#include <cstdio>
#include <filesystem>
#include <fstream>

#include "detect/run_steps.h"
#include "util/path.h"
#include "util/text.h"

namespace qae {

namespace {

struct LogSummary {
  bool ended = false;
  bool endsWithReason = false;  // the last line is a reason: the run stopped there
  bool nothingToScan = false;
  std::string lastReason;
  int scanned = -1;
  int detected = -1;
};

LogSummary ReadLogSummary(const std::string& path) {
  LogSummary s;
  std::ifstream in(PathOf(path), std::ios::binary);
  std::string line;
  while (std::getline(in, line)) {
    // Logs written on Windows by older programs end their lines "\r\n".
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty()) continue;
    s.endsWithReason = false;
    if (line.rfind(" !", 0) == 0 && line.size() > 2) {
      s.endsWithReason = line.rfind(" !Parameter file: ", 0) != 0;
      // The parameter file's warnings head every log; they are no reason.
      if (line.rfind(" !Parameter file: ", 0) != 0) s.lastReason = line.substr(2);
      if (line.rfind(" !Nothing to scan", 0) == 0) s.nothingToScan = true;
    } else if (line.rfind(" Ended: ", 0) == 0) {
      s.ended = true;
      std::sscanf(line.c_str(), " Ended: %d / %d", &s.scanned, &s.detected);
    }
  }
  return s;
}

}  // namespace

const char* StateName(SubRangeState state) {
  switch (state) {
    case SubRangeState::kDone: return "done";
    case SubRangeState::kNothingToScan: return "nothing to scan";
    case SubRangeState::kFailed: return "failed";
    case SubRangeState::kStopped: return "stopped or running";
    case SubRangeState::kNotStarted: return "not started";
  }
  return "?";
}

SubRangeStatus StatusOfSubRange(const std::string& outDir, const SubRange& range) {
  SubRangeStatus st;
  st.range = range;
  const std::string plain = StrPrintf("%sLog_%06d_%06d.txt", outDir.c_str(), range.first, range.last);
  const std::string ok = CompletedLogPath(plain);
  std::error_code ec;
  // A rerun keeps the earlier "_OK" log as a backup before it starts, so a
  // plain log is always the newer one.
  if (std::filesystem::exists(PathOf(plain), ec)) {
    st.log = plain;
    const LogSummary s = ReadLogSummary(plain);
    st.scanned = s.scanned;
    st.detected = s.detected;
    st.reason = s.lastReason;
    // Stopped early for a reason (no templates, an unusable reference), or
    // ended with something lost; otherwise it was killed or still runs.
    st.state = s.ended || s.endsWithReason ? SubRangeState::kFailed : SubRangeState::kStopped;
    if (st.state == SubRangeState::kFailed && st.reason.empty()) {
      st.reason = "the log was not renamed _OK";
    }
    return st;
  }
  if (std::filesystem::exists(PathOf(ok), ec)) {
    st.log = ok;
    const LogSummary s = ReadLogSummary(ok);
    st.scanned = s.scanned;
    st.detected = s.detected;
    st.state = s.nothingToScan ? SubRangeState::kNothingToScan : SubRangeState::kDone;
    if (s.nothingToScan) st.reason = s.lastReason;
    return st;
  }
  return st;
}

}  // namespace qae
