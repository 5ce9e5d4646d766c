#include "detect/scan_pool.h"

#include <algorithm>

#include "detect/fast_scan.h"
#include "dsp/iir_filter.h"
#include "wave/formats/seg2_reader.h"

namespace qae {

ScanPool::ScanPool(int threads, int32_t n_traces, int32_t n_lags, int32_t win_len) {
  threads = std::max(threads, 1);
  // One slot more than workers, so a finished scan can wait for its turn
  // while every worker goes on with the next template.
  for (int i = 0; i <= threads; ++i) {
    slots_.push_back(std::make_unique<Slot>());
    slots_.back()->workspace.Allocate(n_traces, n_lags, win_len);
  }
  for (int i = 0; i < threads; ++i) workers_.emplace_back([this] { WorkerLoop(); });
}

ScanPool::~ScanPool() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  work_ready_.notify_all();
  for (auto& w : workers_) w.join();
}

void ScanPool::WorkerLoop() {
  std::unique_lock<std::mutex> lock(mutex_);
  while (true) {
    work_ready_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
    if (stopping_) return;
    Slot* slot = queue_.front();
    queue_.erase(queue_.begin());
    lock.unlock();
    Run(*slot);
    lock.lock();
    slot->done = true;
    slot_done_.notify_all();
  }
}

// One template against the record: as the one-thread scan does it, with a
// template that is not in memory loaded (and filtered) for this scan alone.
void ScanPool::Run(Slot& slot) {
  const Job& job = job_;
  const int t = slot.template_index;
  slot.scan = TemplateScan();
  slot.timings = ScanTimings();
  const XL_WaveData* tpl = &(*job.templates)[t];
  XL_WaveDataSeg2 scratch;
  if (tpl->TraceCount() == 0) {
    if (job.pars->iTE > job.pars->iTS) return;
    if (scratch.Load((*job.templates)[t].sourceName, 1, 0, 0) < 1) return;
    if (job.pars->fLow < job.pars->fHigh) {
      FilterRecordBandpass(scratch, job.pars->fLow, job.pars->fHigh);
    }
    tpl = &scratch;
  }
  slot.scan = ScanTemplateFast(*tpl, *job.record, *job.pars, *job.ctx, slot.workspace,
                               job.threshold, &slot.timings, t, WantsExactRows(*job.pars));
}

void ScanPool::ScanInOrder(const TemplateLibrary& templates, int count, const XL_WaveData& record,
                           const AePars& pars, const RunContext& ctx, float threshold,
                           const Consumer& consume) {
  std::unique_lock<std::mutex> lock(mutex_);
  job_ = Job{&templates, &record, &pars, &ctx, threshold};
  int next_dispatch = 0;
  bool stop = false;
  for (int next = 0; next < count && !stop; ++next) {
    // Keep every free slot busy with the templates that come next.
    for (auto& s : slots_) {
      if (next_dispatch >= count) break;
      if (s->template_index != -1) continue;
      s->template_index = next_dispatch++;
      s->done = false;
      queue_.push_back(s.get());
      work_ready_.notify_one();
    }
    Slot* slot = nullptr;
    for (auto& s : slots_) {
      if (s->template_index == next) slot = s.get();
    }
    slot_done_.wait(lock, [slot] { return slot->done; });
    lock.unlock();
    stop = !consume(next, slot->scan, slot->timings);
    lock.lock();
    slot->template_index = -1;
  }
  // Scans started ahead of a stop are finished and dropped.
  for (Slot* s : queue_) s->template_index = -1;
  queue_.clear();
  slot_done_.wait(lock, [this] {
    return std::all_of(slots_.begin(), slots_.end(),
                       [](const auto& s) { return s->template_index == -1 || s->done; });
  });
  for (auto& s : slots_) s->template_index = -1;
}

}  // namespace qae
