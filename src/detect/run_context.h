// Per-run state shared by the run drivers, the template library and the
// scan: the log, the window sizes derived from the reference template, the
// scan's work arrays and its candidate table.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "detect/run_log.h"
#include "detect/scan_workspace.h"
#include "wave/vector3d.h"

namespace qae {

class DetectionWriter;
class ScanPool;
class ShiftPlanCache;

// Limits of one scan.
inline constexpr int kMaxCandidates = 100;   // rows of the candidate table
inline constexpr int kMaxStations = 50;      // traces of the reference template

// One detected event of a record.
struct CandidateEvent {
  int32_t ix = 0;              // grid indices of the best offset
  int32_t iy = 0;
  int32_t iz = 0;
  int32_t templateIndex = 0;   // -1 marks a row removed as a duplicate
  float cc = 0.0f;             // best stacked correlation
  float snr1 = 0.0f;
  float snr2 = 0.0f;
  double time = 0.0;           // lag of the peak times dt
  float mw = 0.0f;
  int64_t lag = 0;             // lag of the peak in samples
};

// Time spent in each stage of the scan, summed over a run (seconds).
struct ScanTimings {
  double correlation = 0.0;
  double stack = 0.0;
  double peakSearch = 0.0;
  double outputs = 0.0;
  int64_t templateRecords = 0;  // template x record pairs scanned
};

// How far a run has got: AE numbers (or segments) of the range dealt with,
// out of all of them, and the records with a detection so far.
struct RunProgress {
  int64_t done = 0;
  int64_t total = 0;
  int detected = 0;
};

// What a run could not write. A detection counts as unwritten when any of
// its outputs (table row, rewritten event file, numbered copy) is missing;
// rerunning the same range recovers it.
struct OutputLosses {
  int detections = 0;
  std::vector<std::string> messages;  // in order; each names the output and the reason
  void Add(int n_detections, const std::string& message) {
    detections += n_detections;
    messages.push_back(message);
  }
  bool Any() const { return detections > 0 || !messages.empty(); }
};

// The counts of a run, for its summary.
struct RunCounts {
  int scanned = 0;    // records handed to the scan
  int detected = 0;   // records whose detections reached the table
  int missing = 0;    // records of the range that could not be read
  int read = 0;       // records read (scanned, or read and skipped by a rule)
  bool nothingToScan = false;  // not one record of a non-empty range could be read
};

struct RunContext {
  RunLog log;
  std::string logPath;
  // Set by a driver that had to stop the run before scanning (no usable
  // reference template, windows that do not fit); also written to the log.
  std::string fatalError;
  // Set with fatalError when the parameters themselves cannot be run (a
  // grid too large for memory): bad input rather than a failed run.
  bool refusedParameters = false;
  // Lines that go to the top of the log when it is created (warnings about
  // the parameter file), each without its " !" and newline.
  std::vector<std::string> logPreamble;
  // Outputs lost so far, and the counts of the run.
  OutputLosses losses;
  RunCounts counts;
  // Optional: hears each loss as it happens (the command line prints it).
  // It must not throw.
  std::function<void(const std::string&)> onLoss;
  void Lose(int n_detections, const std::string& message) {
    losses.Add(n_detections, message);
    log.Printf(" !%s\n", message.c_str());
    if (onLoss) onLoss(message);
  }

  // The record being scanned, when it is a segment of a continuous
  // recording: its outputs are recorded as done in the segment ledger.
  struct Segment {
    std::string recording;   // the recording's identity in the ledger
    int64_t index = -1;
    std::string ledgerPath;
  };
  std::optional<Segment> segment;

  // Window sizes, from the first trace of the reference template.
  int32_t nTraces = 0;
  int32_t winLen = 0;   // trunc((preWin + postWin) / dt)
  int32_t preLen = 0;   // floor(preWin / dt + 0.5)
  int32_t len5 = 0;     // trunc(5 / dt): SNR noise window
  int32_t len2 = 0;     // trunc(2 / dt): gap between peak and noise window
  int32_t nLags = 0;    // reference sampleCount - winLen - 1
  float dt = 0.0f;

  // Work arrays, sized once per run by AllocateWorkArrays.
  std::vector<int32_t> traceIndex;             // [nTraces]
  std::vector<XL_Vector3D> traceGeom;          // [nTraces]
  std::vector<float> ccRows;                   // (nTraces + 1) rows of nLags, contiguous
  std::vector<float> traceWork;                // [nTraces]
  std::vector<std::array<char, 16>> labels;    // [nTraces + 1]

  std::array<CandidateEvent, kMaxCandidates> events{};
  int32_t nEvents = 0;

  ScanTimings timings;
  // Where a run's time goes around the scan (seconds, summed over a run):
  // preparing records (reading, decoding, filtering; on the preparing
  // thread when there is one) and writing detections (on the writer
  // thread), as processor and wall time.
  struct PipelineTimes {
    double prepareCpu = 0.0;
    double prepareWall = 0.0;
    double writeCpu = 0.0;
    double writeWall = 0.0;
    int64_t writtenRecords = 0;
    int64_t commitGroups = 0;
  };
  PipelineTimes pipelineTimes;
  // Encodes and commits detected records off the run's thread, in order;
  // null: WriteDetectionOutputs writes them itself before it returns.
  std::shared_ptr<DetectionWriter> writer;

  // Which scan runs: the straightforward one, or the fast one that gives the
  // same bits; and the fast scan's work arrays.
  enum class Kernel { kReference, kFast };
  Kernel kernel = Kernel::kFast;
  ScanWorkspace workspace;
  // Scanning threads of the fast scan (0: all cores); with more than one,
  // the templates of a record are scanned in parallel.
  int threads = 1;
  std::shared_ptr<ScanPool> pool;
  // Shift plans of the fast scan by template, built once per run.
  std::shared_ptr<ShiftPlanCache> shiftPlans;

  // Optional: told by the drivers once per AE number (or segment) and once
  // at the end of the range. It must not throw.
  std::function<void(const RunProgress&)> progress;
  void ReportProgress(int64_t done, int64_t total, int detected) const {
    if (progress) progress(RunProgress{done, total, detected});
  }

  float* Row(int k) { return ccRows.data() + static_cast<std::size_t>(k) * RowStride(); }
  const float* Row(int k) const {
    return ccRows.data() + static_cast<std::size_t>(k) * RowStride();
  }
  std::size_t RowStride() const { return static_cast<std::size_t>(nLags > 0 ? nLags : 0); }

  // The threads that scan: `threads` resolved (0: all cores); 1 for the
  // straightforward scan.
  int ScanThreads() const;

  // Sizes every work array for nTraces and nLags, zero-filled.
  void AllocateWorkArrays();
  void ReleaseWorkArrays();
};

// Window sizes for interval `dt`: the divisions are single-precision, as the
// run's dt is a 32-bit float (0.1 us windows of 1 + 3 us give 40 samples).
struct WindowSizes {
  int32_t winLen = 0;
  int32_t preLen = 0;
  int32_t len5 = 0;
  int32_t len2 = 0;
};
WindowSizes ComputeWindowSizes(float pre_win, float post_win, float dt);

}  // namespace qae
