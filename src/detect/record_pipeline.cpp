#include "detect/record_pipeline.h"

#include <chrono>

#include "util/cpu_time.h"
#include "util/key_values.h"
#include "util/text.h"

namespace qae {

namespace {
// Records prepared ahead of the one being written: enough to keep the
// scanning threads fed, few enough to bound memory.
constexpr std::size_t kRecordsAhead = 2;
}  // namespace

void PreparedRecord::WriteLog(RunContext& ctx) const {
  for (const LogPiece& piece : log) {
    if (!piece.text.empty()) ctx.log.Write(piece.text);
    if (piece.reopen) ctx.log.Reopen();
  }
}

void ApplyVelocityOverrides(const XL_WaveData& record, AePars& pars) {
  const std::string note(TextOf(record.header.note));
  pars.velX = FloatAfterKey(note, "x=", pars.velX);
  pars.velY = FloatAfterKey(note, "y=", pars.velY);
  pars.velZ = FloatAfterKey(note, "z=", pars.velZ);
}

float RecordThreshold(const XL_WaveData& record, const AePars& pars, float* cc_so_far) {
  const float so_far = FloatAfterKey(TextOf(record.header.comments), "CC=", 0.0f);
  if (cc_so_far) *cc_so_far = so_far;
  return so_far > pars.ccMin ? so_far : pars.ccMin;
}

RecordPipeline::RecordPipeline(Prepare prepare, const TemplateLibrary& templates,
                               const AePars& pars, RunContext& ctx)
    : prepare_(std::move(prepare)), templates_(templates), scan_pars_(pars), ctx_(ctx),
      ahead_(ctx.pool != nullptr && ctx.kernel == RunContext::Kernel::kFast) {
  if (ahead_) producer_ = std::thread([this] { Produce(); });
}

RecordPipeline::~RecordPipeline() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  changed_.notify_all();
  if (producer_.joinable()) producer_.join();
  // Scans queued for records the run did not reach are dropped.
  for (PreparedRecord& item : ready_) {
    if (item.scans) ctx_.pool->Cancel(*item.scans);
  }
}

PreparedRecord RecordPipeline::PrepareAndQueue(int64_t step) {
  // Only the thread that prepares touches these times.
  const double cpu0 = ThreadCpuSeconds();
  const auto wall0 = std::chrono::steady_clock::now();
  PreparedRecord item = prepare_(step);
  ctx_.pipelineTimes.prepareCpu += ThreadCpuSeconds() - cpu0;
  ctx_.pipelineTimes.prepareWall +=
      std::chrono::duration<double>(std::chrono::steady_clock::now() - wall0).count();
  if (ahead_ && item.record) {
    ApplyVelocityOverrides(*item.record, scan_pars_);
    item.scans = ctx_.pool->Submit(templates_, templates_.size(), item.record,
                                   std::make_shared<const AePars>(scan_pars_), ctx_,
                                   RecordThreshold(*item.record, scan_pars_));
  }
  return item;
}

void RecordPipeline::Produce() {
  for (int64_t step = 0;; ++step) {
    {
      std::unique_lock<std::mutex> lock(mutex_);
      changed_.wait(lock, [this] { return stopping_ || ready_.size() < kRecordsAhead; });
      if (stopping_) return;
    }
    PreparedRecord item;
    try {
      item = PrepareAndQueue(step);
    } catch (...) {
      std::lock_guard<std::mutex> lock(mutex_);
      error_ = std::current_exception();
      produced_all_ = true;
      changed_.notify_all();
      return;
    }
    const bool end = item.end;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      ready_.push_back(std::move(item));
      if (end) produced_all_ = true;
    }
    changed_.notify_all();
    if (end) return;
  }
}

bool RecordPipeline::Next(PreparedRecord& out) {
  if (finished_) return false;
  if (!ahead_) {
    out = PrepareAndQueue(next_step_++);
  } else {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [this] { return !ready_.empty() || produced_all_; });
    if (ready_.empty()) {
      finished_ = true;
      if (error_) std::rethrow_exception(error_);
      return false;
    }
    out = std::move(ready_.front());
    ready_.pop_front();
    changed_.notify_all();
  }
  if (out.end) finished_ = true;
  return true;
}

}  // namespace qae
