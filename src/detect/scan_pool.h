// Threads that scan the templates of one record in parallel while the
// caller consumes the results strictly in template order, so candidate
// updates, log lines and files come out exactly as in a one-thread run.
#pragma once

#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "detect/matched_filter_scan.h"
#include "detect/run_context.h"
#include "detect/scan_workspace.h"
#include "detect/template_library.h"
#include "params/ae_pars.h"

namespace qae {

class ScanPool {
 public:
  // `threads` workers, each with work arrays for the run's window sizes.
  ScanPool(int threads, int32_t n_traces, int32_t n_lags, int32_t win_len);
  ~ScanPool();
  ScanPool(const ScanPool&) = delete;
  ScanPool& operator=(const ScanPool&) = delete;

  int threads() const { return static_cast<int>(workers_.size()); }

  // Called for each template in order with its scan (scanned == false for a
  // skipped template) and the time it took; returning false stops the loop:
  // templates scanned ahead are then discarded.
  using Consumer = std::function<bool(int t, const TemplateScan& scan, const ScanTimings& time)>;

  // Scans templates 0 .. count - 1 against `record` with the fast scan.
  // Templates, record and parameters are only read while this runs.
  void ScanInOrder(const TemplateLibrary& templates, int count, const XL_WaveData& record,
                   const AePars& pars, const RunContext& ctx, float threshold,
                   const Consumer& consume);

 private:
  struct Slot {
    ScanWorkspace workspace;
    int template_index = -1;  // -1: free
    bool done = false;
    TemplateScan scan;
    ScanTimings timings;
  };
  struct Job {
    const TemplateLibrary* templates = nullptr;
    const XL_WaveData* record = nullptr;
    const AePars* pars = nullptr;
    const RunContext* ctx = nullptr;
    float threshold = 0.0f;
  };

  void WorkerLoop();
  void Run(Slot& slot);

  std::mutex mutex_;
  std::condition_variable work_ready_;
  std::condition_variable slot_done_;
  std::vector<std::unique_ptr<Slot>> slots_;
  std::vector<Slot*> queue_;
  Job job_;
  bool stopping_ = false;
  std::vector<std::thread> workers_;
};

}  // namespace qae
