#include "detect/detection_writer.h"

#include <chrono>
#include <exception>
#include <utility>

#include "detect/detection_outputs.h"
#include "util/cpu_time.h"
#include "util/text.h"
#include "wave/formats/seg2_writer.h"

namespace qae {

namespace {

// Records queued or being written before Submit waits: enough for a group
// to form while the disk is busy, few enough to bound memory (each holds
// its samples and, while written, its encoded files).
constexpr std::size_t kMaxPending = 6;

std::string Plural(int n) { return n == 1 ? "" : "s"; }

}  // namespace

void DetectionJob::TakeRecord(XL_WaveData& from) {
  record.header = from.header;
  record.traces = std::move(from.traces);
  from.traces.clear();
  for (auto& t : record.traces) t->savedSamples = std::vector<float>();
}

void EncodeJobFiles(DetectionJob& job) {
  // The samples do not change between the outputs of a record, so neither
  // does the narrowest format that holds them.
  const int format = LosslessSeg2Format(job.record);
  for (const DetectionJob::Output& out : job.outputs) {
    out.values.ApplyTo(job.record);
    FileImage image{out.path, EncodeSeg2For(out.path, job.record, format)};
    if (out.marked) {
      job.commit.marked = std::move(image);
    } else {
      job.commit.files.push_back(std::move(image));
    }
  }
}

DetectionWriter::DetectionWriter() { thread_ = std::thread([this] { Run(); }); }

DetectionWriter::~DetectionWriter() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  changed_.notify_all();
  if (thread_.joinable()) thread_.join();
}

void DetectionWriter::Submit(DetectionJob job) {
  std::unique_lock<std::mutex> lock(mutex_);
  changed_.wait(lock, [this] { return queue_.size() + in_flight_ < kMaxPending; });
  queue_.push_back(std::move(job));
  changed_.notify_all();
}

void DetectionWriter::Run() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    changed_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
    if (queue_.empty()) return;  // stopping, and everything is written
    std::vector<DetectionJob> batch;
    while (!queue_.empty()) {
      batch.push_back(std::move(queue_.front()));
      queue_.pop_front();
    }
    in_flight_ = batch.size();
    lock.unlock();

    const double cpu0 = ThreadCpuSeconds();
    const auto wall0 = std::chrono::steady_clock::now();
    std::vector<Result> results;
    Times counts;
    WriteBatch(batch, results, counts);
    batch.clear();  // the samples and files go before the next group forms
    const double cpu = ThreadCpuSeconds() - cpu0;
    const double wall =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - wall0).count();

    lock.lock();
    for (Result& r : results) {
      if (!r.rewriteOnly && !r.outcome.rowsWritten) ++without_rows_;
      results_.push_back(std::move(r));
    }
    times_.cpu += cpu;
    times_.wall += wall;
    times_.records += counts.records;
    times_.groups += counts.groups;
    in_flight_ = 0;
    changed_.notify_all();
  }
}

void DetectionWriter::WriteBatch(std::vector<DetectionJob>& batch, std::vector<Result>& results,
                                 Times& counts) {
  // Jobs of the group so far, committed together; a lone rewrite is written
  // after the group before it, so files change in the order of the run.
  std::vector<std::size_t> group;
  auto commit_group = [&] {
    if (group.empty()) return;
    std::vector<const RecordCommit*> commits;
    for (std::size_t i : group) commits.push_back(&batch[i].commit);
    const std::vector<CommitOutcome> outcomes = CommitRecords(commits);
    for (std::size_t k = 0; k < group.size(); ++k) results[group[k]].outcome = outcomes[k];
    counts.records += static_cast<int64_t>(group.size());
    ++counts.groups;
    // The files of committed records are not needed any more.
    for (std::size_t i : group) batch[i] = DetectionJob();
    group.clear();
  };

  results.resize(batch.size());
  for (std::size_t i = 0; i < batch.size(); ++i) {
    DetectionJob& job = batch[i];
    Result& r = results[i];
    r.rewriteOnly = job.rewriteOnly;
    r.sourceName = job.sourceName;
    r.detections = job.commit.detections;
    try {
      if (job.rewriteOnly) {
        commit_group();
        if (job.outputs.empty()) continue;
        const DetectionJob::Output& out = job.outputs.front();
        r.path = out.path;
        out.values.ApplyTo(job.record);
        std::string error;
        r.outcome.complete = WriteSeg2(out.path, job.record, 0, 0,
                                       LosslessSeg2Format(job.record), &error) == 1;
        r.outcome.error = error;
        job = DetectionJob();
        continue;
      }
      EncodeJobFiles(job);
      job.record = XL_WaveDataSeg2();  // the samples are in the files now
      group.push_back(i);
    } catch (const std::exception& e) {
      // Nothing of this record was written: a rerun detects it again.
      r.outcome.error = std::string("cannot encode its files: ") + e.what();
      job = DetectionJob();
    }
  }
  commit_group();
}

void DetectionWriter::Report(RunContext& ctx) {
  std::vector<Result> results;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    results.swap(results_);
  }
  for (const Result& r : results) {
    if (r.outcome.complete) continue;
    if (r.rewriteOnly) {
      // The file keeps its old content, mark included: a rerun with `all`
      // set scans it again.
      ctx.Lose(0, "the unconfirmed mark of " + r.path + " could not be cleared: " +
                      r.outcome.error);
      continue;
    }
    const std::string what = StrPrintf("%d detection%s of %s not written", r.detections,
                                       Plural(r.detections).c_str(), r.sourceName.c_str());
    ctx.Lose(r.detections,
             what + ": " + r.outcome.error +
                 (r.outcome.pending ? "; the next run over this record finishes writing it"
                                    : "; nothing of it was kept, rerunning the same range "
                                      "detects it again"));
  }
}

void DetectionWriter::Finish(RunContext& ctx) {
  {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [this] { return queue_.empty() && in_flight_ == 0; });
  }
  Report(ctx);
}

int DetectionWriter::recordsWithoutRows() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return without_rows_;
}

DetectionWriter::Times DetectionWriter::times() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return times_;
}

}  // namespace qae
