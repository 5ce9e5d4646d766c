// The writer thread of a run: encodes the files of detected records and
// commits them (detection_commit.h) while the run goes on scanning, so that
// the scan never waits for a disk. Records are written in the order they
// are handed over; whatever is queued when the writer gets to it is
// committed as one group (one journal, one table append). Nothing of it
// touches the run's log or context: losses are handed back and reported on
// the run's thread (Report), where the log lives.
//
// A detection's log lines are written when it is handed over, before its
// files are on disk; a crash in between leaves it to the journal or to a
// rerun, as for any crash before the commit.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "detect/detection_commit.h"
#include "detect/run_context.h"
#include "wave/formats/seg2_reader.h"
#include "wave/formats/seg2_written_values.h"

namespace qae {

// The outputs of one record, decided but not yet encoded.
struct DetectionJob {
  // The record's traces, their samples as every file gets them; the job
  // owns them.
  XL_WaveDataSeg2 record;
  struct Output {
    std::string path;
    Seg2WrittenValues values;  // the record's header values for this file
    bool marked = false;       // the record's own file (steps 2 and 5)
  };
  std::vector<Output> outputs;
  // Rows, ledger and journal details; the writer adds the encoded files.
  RecordCommit commit;
  // A lone rewrite of outputs[0] (a mark taken back): no rows, no journal.
  bool rewriteOnly = false;
  std::string sourceName;  // for the messages of losses

  // Takes `from`'s header and traces (leaving it without traces); the raw
  // samples kept beside the filtered ones are not needed for writing.
  void TakeRecord(XL_WaveData& from);
};

class DetectionWriter {
 public:
  DetectionWriter();
  // Writes whatever is still queued, then stops.
  ~DetectionWriter();
  DetectionWriter(const DetectionWriter&) = delete;
  DetectionWriter& operator=(const DetectionWriter&) = delete;

  // Queues a job; waits while a few records are queued already, so that
  // memory stays bounded when the disk is slower than the scan.
  void Submit(DetectionJob job);
  // Reports the losses of the jobs written so far to ctx (ctx.Lose), in
  // order. Call from the run's thread.
  void Report(RunContext& ctx);
  // Waits until everything queued is written, then reports.
  void Finish(RunContext& ctx);
  // Records handed over whose rows did not reach the table (so far).
  int recordsWithoutRows() const;

  // The writer thread's processor and wall time while it had work
  // (seconds), and the records and groups it committed.
  struct Times {
    double cpu = 0.0;
    double wall = 0.0;
    int64_t records = 0;
    int64_t groups = 0;
  };
  Times times() const;

 private:
  struct Result {
    bool rewriteOnly = false;
    std::string sourceName;
    std::string path;
    int detections = 0;
    CommitOutcome outcome;
  };
  void Run();
  void WriteBatch(std::vector<DetectionJob>& batch, std::vector<Result>& results, Times& counts);

  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<DetectionJob> queue_;
  std::size_t in_flight_ = 0;  // taken from the queue, not yet written
  std::vector<Result> results_;
  int without_rows_ = 0;
  bool stopping_ = false;
  Times times_;
  std::thread thread_;
};

// Encodes the files of `job` into job.commit (on the writer thread, or
// inline without one).
void EncodeJobFiles(DetectionJob& job);

}  // namespace qae
