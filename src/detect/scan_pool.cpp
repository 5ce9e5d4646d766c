#include "detect/scan_pool.h"

#include <algorithm>

#include "detect/fast_scan.h"
#include "dsp/iir_filter.h"
#include "wave/formats/seg2_reader.h"

namespace qae {

ScanPool::ScanPool(int threads, int32_t n_traces, int32_t n_lags, int32_t win_len, int ahead) {
  threads = std::max(threads, 1);
  // Enough scans ahead that every worker stays busy while the caller
  // writes a record's detections; each waiting scan holds only its peaks.
  ahead_ = ahead > 0 ? ahead : 4 * threads + 2;
  for (int i = 0; i < threads; ++i) {
    workspaces_.push_back(std::make_unique<ScanWorkspace>());
    workspaces_.back()->Allocate(n_traces, n_lags, win_len);
  }
  for (int i = 0; i < threads; ++i) {
    ScanWorkspace* ws = workspaces_[static_cast<std::size_t>(i)].get();
    workers_.emplace_back([this, ws] { WorkerLoop(*ws); });
  }
}

ScanPool::~ScanPool() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  work_ready_.notify_all();
  for (auto& w : workers_) w.join();
}

void ScanPool::WorkerLoop(ScanWorkspace& workspace) {
  std::unique_lock<std::mutex> lock(mutex_);
  while (true) {
    work_ready_.wait(lock, [this] {
      return stopping_ || (!tasks_.empty() && outstanding_ < ahead_);
    });
    if (stopping_) return;
    const Task task = tasks_.front();
    tasks_.pop_front();
    ScanBatch& batch = *task.batch;
    ScanBatch::Result& result = batch.results_[static_cast<std::size_t>(task.t)];
    result.started = true;
    ++outstanding_;
    lock.unlock();
    try {
      Run(batch, task.t, workspace);
    } catch (...) {
      result.error = std::current_exception();
    }
    lock.lock();
    result.done = true;
    if (batch.cancelled_ && !result.released) {
      result.released = true;
      result.scan = TemplateScan();
      result.rows = {};
      --outstanding_;
      work_ready_.notify_all();
    }
    result_done_.notify_all();
  }
}

// One template against the record: as the one-thread scan does it, with a
// template that is not in memory loaded (and filtered) for this scan alone.
void ScanPool::Run(ScanBatch& batch, int t, ScanWorkspace& workspace) {
  ScanBatch::Result& result = batch.results_[static_cast<std::size_t>(t)];
  const AePars& pars = *batch.pars_;
  const XL_WaveData* tpl = &(*batch.templates_)[t];
  XL_WaveDataSeg2 scratch;
  if (tpl->TraceCount() == 0) {
    if (pars.iTE > pars.iTS) return;
    if (scratch.Load((*batch.templates_)[t].sourceName, 1, 0, 0) < 1) return;
    if (pars.fLow < pars.fHigh) FilterRecordBandpass(scratch, pars.fLow, pars.fHigh);
    tpl = &scratch;
  }
  const bool exact_rows = WantsExactRows(pars);
  result.scan = ScanTemplateFast(*tpl, *batch.record_, pars, *batch.ctx_, workspace,
                                 batch.threshold_, &result.timings, t, exact_rows,
                                 batch.recordPairs_.get());
  // The worker's rows are reused by its next scan; only the diagnostic
  // files read them after the scan, so only then are they kept.
  if (exact_rows && result.scan.rows != nullptr) {
    const std::size_t n = static_cast<std::size_t>(result.scan.stations.n()) + 1;
    result.rows.assign(result.scan.rows, result.scan.rows + n * result.scan.rowStride);
    result.scan.rows = result.rows.data();
  } else {
    result.scan.rows = nullptr;
  }
}

std::shared_ptr<ScanBatch> ScanPool::Submit(const TemplateLibrary& templates, int count,
                                            std::shared_ptr<const XL_WaveData> record,
                                            std::shared_ptr<const AePars> pars,
                                            const RunContext& ctx, float threshold) {
  auto batch = std::make_shared<ScanBatch>();
  batch->templates_ = &templates;
  batch->record_ = std::move(record);
  batch->recordPairs_ = std::make_unique<RecordBrainFloats>(
      *batch->record_, int64_t{ctx.nLags} + ctx.winLen);
  batch->pars_ = std::move(pars);
  batch->ctx_ = &ctx;
  batch->threshold_ = threshold;
  batch->results_.resize(static_cast<std::size_t>(std::max(count, 0)));
  {
    std::lock_guard<std::mutex> lock(mutex_);
    for (int t = 0; t < batch->count(); ++t) tasks_.push_back({batch, t});
  }
  work_ready_.notify_all();
  return batch;
}

void ScanPool::Consume(ScanBatch& batch, const Consumer& consume) {
  std::unique_lock<std::mutex> lock(mutex_);
  for (int t = 0; t < batch.count(); ++t) {
    ScanBatch::Result& result = batch.results_[static_cast<std::size_t>(t)];
    // Scans are handed out in queue order and everything queued before
    // this batch has been consumed, so this one is running or next.
    result_done_.wait(lock, [&result] { return result.done; });
    lock.unlock();
    bool go_on = false;
    std::exception_ptr error = result.error;
    if (!error) {
      try {
        go_on = consume(t, result.scan, result.timings);
      } catch (...) {
        error = std::current_exception();
      }
    }
    lock.lock();
    result.released = true;
    result.scan = TemplateScan();
    result.rows = {};
    --outstanding_;
    work_ready_.notify_all();
    if (error || !go_on) {
      CancelLocked(batch, lock);
      if (error) std::rethrow_exception(error);
      return;
    }
  }
}

void ScanPool::Cancel(ScanBatch& batch) {
  std::unique_lock<std::mutex> lock(mutex_);
  CancelLocked(batch, lock);
}

// Drops the batch's queued scans and the results nobody will take, and
// waits for its running scans, which read the caller's record.
void ScanPool::CancelLocked(ScanBatch& batch, std::unique_lock<std::mutex>& lock) {
  batch.cancelled_ = true;
  tasks_.erase(std::remove_if(tasks_.begin(), tasks_.end(),
                              [&batch](const Task& task) { return task.batch.get() == &batch; }),
               tasks_.end());
  for (ScanBatch::Result& result : batch.results_) {
    if (result.done && !result.released) {
      result.released = true;
      result.scan = TemplateScan();
      result.rows = {};
      --outstanding_;
    }
  }
  work_ready_.notify_all();
  result_done_.wait(lock, [&batch] {
    return std::all_of(batch.results_.begin(), batch.results_.end(),
                       [](const ScanBatch::Result& r) { return !r.started || r.done; });
  });
}

void ScanPool::ScanInOrder(const TemplateLibrary& templates, int count, const XL_WaveData& record,
                           const AePars& pars, const RunContext& ctx, float threshold,
                           const Consumer& consume) {
  // The caller holds the record and parameters until this returns, and
  // Consume waits for every scan of the batch before returning.
  const std::shared_ptr<const XL_WaveData> record_ref(&record, [](const XL_WaveData*) {});
  const std::shared_ptr<const AePars> pars_ref(&pars, [](const AePars*) {});
  const std::shared_ptr<ScanBatch> batch =
      Submit(templates, count, record_ref, pars_ref, ctx, threshold);
  Consume(*batch, consume);
}

}  // namespace qae
