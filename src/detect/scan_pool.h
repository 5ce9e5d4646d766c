// Threads that scan templates against records ahead of the caller, who
// takes the results strictly in order (record by record, template by
// template), so candidate updates, log lines and files come out exactly as
// in a one-thread run. Records are queued as batches; workers go on with
// the next record's templates while the caller is still writing the last
// one's detections.
#pragma once

#include <condition_variable>
#include <deque>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "detect/matched_filter_scan.h"
#include "detect/record_brain_floats.h"
#include "detect/run_context.h"
#include "detect/scan_workspace.h"
#include "detect/template_library.h"
#include "params/ae_pars.h"

namespace qae {

// The scans of one record, queued with everything they read: the record and
// the parameters as they stand for it (velocities from earlier notes).
class ScanBatch {
 public:
  int count() const { return static_cast<int>(results_.size()); }

 private:
  friend class ScanPool;
  struct Result {
    bool started = false;
    bool done = false;
    bool released = false;    // consumed or dropped
    std::exception_ptr error;
    TemplateScan scan;
    std::vector<float> rows;  // kept only when the diagnostics read them
    ScanTimings timings;
  };
  const TemplateLibrary* templates_ = nullptr;
  std::shared_ptr<const XL_WaveData> record_;
  // Made by the first scan that needs them, read by all.
  std::unique_ptr<RecordBrainFloats> recordPairs_;
  std::shared_ptr<const AePars> pars_;
  const RunContext* ctx_ = nullptr;
  float threshold_ = 0.0f;
  bool cancelled_ = false;
  std::vector<Result> results_;
};

class ScanPool {
 public:
  // `threads` workers, each with work arrays for the run's window sizes;
  // at most `ahead` template scans are waiting or running at a time.
  ScanPool(int threads, int32_t n_traces, int32_t n_lags, int32_t win_len, int ahead = 0);
  ~ScanPool();
  ScanPool(const ScanPool&) = delete;
  ScanPool& operator=(const ScanPool&) = delete;

  int threads() const { return static_cast<int>(workers_.size()); }

  // Queues the scans of templates 0 .. count - 1 against `record`. The
  // templates and ctx must stay unchanged until the batch is consumed.
  std::shared_ptr<ScanBatch> Submit(const TemplateLibrary& templates, int count,
                                    std::shared_ptr<const XL_WaveData> record,
                                    std::shared_ptr<const AePars> pars, const RunContext& ctx,
                                    float threshold);

  // Called for each template in order with its scan (scanned == false for a
  // skipped template) and the time it took; returning false stops the loop:
  // the batch's remaining scans are then dropped.
  using Consumer = std::function<bool(int t, const TemplateScan& scan, const ScanTimings& time)>;
  void Consume(ScanBatch& batch, const Consumer& consume);

  // Drops a batch that will not be consumed (the run ended before it).
  void Cancel(ScanBatch& batch);

  // Submit and Consume of one record that the caller holds meanwhile.
  void ScanInOrder(const TemplateLibrary& templates, int count, const XL_WaveData& record,
                   const AePars& pars, const RunContext& ctx, float threshold,
                   const Consumer& consume);

 private:
  struct Task {
    std::shared_ptr<ScanBatch> batch;
    int t = 0;
  };

  void WorkerLoop(ScanWorkspace& workspace);
  static void Run(ScanBatch& batch, int t, ScanWorkspace& workspace);
  void CancelLocked(ScanBatch& batch, std::unique_lock<std::mutex>& lock);

  std::mutex mutex_;
  std::condition_variable work_ready_;
  std::condition_variable result_done_;
  std::deque<Task> tasks_;
  int outstanding_ = 0;  // results started and not yet consumed or dropped
  int ahead_ = 1;
  bool stopping_ = false;
  std::vector<std::unique_ptr<ScanWorkspace>> workspaces_;
  std::vector<std::thread> workers_;
};

}  // namespace qae
