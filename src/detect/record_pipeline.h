// The record loop of a run, split in two: preparing a record (the skip
// rules, loading, filtering) and everything with an effect (log lines,
// candidate updates, estimation, file writes). With a scan pool, records
// are prepared on a thread of their own and their template scans queued
// while the run is still writing earlier records; the run takes them in
// order, so its effects come out as in a one-thread run. Without a pool
// each record is prepared when the run asks for it.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "detect/run_context.h"
#include "detect/scan_pool.h"
#include "detect/template_library.h"
#include "params/ae_pars.h"
#include "wave/formats/seg2_reader.h"

namespace qae {

// One step of the record loop, as prepared ahead of its turn.
struct PreparedRecord {
  int64_t index = 0;  // AE number or segment
  // Log text of the preparation, in order; `reopen` flushes the log to
  // disk after its text, as the one-thread loop does at that point.
  struct LogPiece {
    std::string text;
    bool reopen = false;
  };
  std::vector<LogPiece> log;
  // The record to scan; null when the step scans nothing.
  std::shared_ptr<XL_WaveDataSeg2> record;
  // Its template scans, queued ahead (null: scanned in its turn).
  std::shared_ptr<ScanBatch> scans;
  bool missing = false;     // the record could not be read
  bool read = false;        // the record was read (scanned or skipped by a rule)
  bool end = false;         // no step follows this one
  std::string stopReason;   // why the loop ends early (empty: it ran out normally)

  void Log(std::string text) { log.push_back({std::move(text), false}); }
  void Reopen() { log.push_back({std::string(), true}); }
  // Writes the preparation's log text to the run's log.
  void WriteLog(RunContext& ctx) const;
};

class RecordPipeline {
 public:
  // `prepare` is called with step numbers 0, 1, ... (until it returns a step
  // with `end`) and must only read: it runs on another thread when ctx has a
  // pool. Scans are queued with the parameters as they stand for the record:
  // the velocities of its note and of every earlier scanned record's note.
  using Prepare = std::function<PreparedRecord(int64_t step)>;
  RecordPipeline(Prepare prepare, const TemplateLibrary& templates, const AePars& pars,
                 RunContext& ctx);
  ~RecordPipeline();
  RecordPipeline(const RecordPipeline&) = delete;
  RecordPipeline& operator=(const RecordPipeline&) = delete;

  // The next step, in order; false once the step with `end` was taken.
  bool Next(PreparedRecord& out);

 private:
  PreparedRecord PrepareAndQueue(int64_t step);
  void Produce();

  Prepare prepare_;
  const TemplateLibrary& templates_;
  AePars scan_pars_;  // the parameters as they stand for the next record
  RunContext& ctx_;
  bool ahead_ = false;
  int64_t next_step_ = 0;
  bool finished_ = false;

  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<PreparedRecord> ready_;
  std::exception_ptr error_;
  bool produced_all_ = false;
  bool stopping_ = false;
  std::thread producer_;
};

// The velocity overrides ("x=", "y=", "z=") of a record's note, applied to
// `pars` as a scan of that record applies them.
void ApplyVelocityOverrides(const XL_WaveData& record, AePars& pars);

// The correlation threshold of a record: ccMin, or the "CC=" of an earlier
// detection noted in its comments when that is higher.
float RecordThreshold(const XL_WaveData& record, const AePars& pars, float* cc_so_far = nullptr);

}  // namespace qae
