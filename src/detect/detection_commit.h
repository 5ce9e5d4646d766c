// Writing the outputs of one detected record so that each detection ends up
// exactly once in the result table and in its files, whatever point a crash
// (or a full disk) interrupts the writing at.
//
// The order, and why:
//  1. The numbered copies and the outputs of a continuous segment are
//     written (each atomically). Alone they mean nothing: a rerun that
//     detects the record again writes them again.
//  2. An event file's new content (with its "detected:" line) is written
//     beside it as "<file>.qae-staged", complete on disk.
//  3. A journal "<file>.qae-pending" is written: the table rows and what is
//     left to do. From here on the record is committed.
//  4. The rows are appended to the table, whole or not at all.
//  5. The mark: the staged file replaces the event file (later runs skip a
//     marked record), or the segment goes into the ledger of a continuous
//     recording (later runs skip it).
//  6. The journal is removed.
// A crash before 3 leaves no row and no mark, so a rerun detects the record
// again (and writes its copies anew); a crash after it leaves the journal,
// and the next run over the record finishes steps 4 to 6 from it (appending
// only rows the table does not hold yet). A failure before 4 takes the
// record's outputs back (no copy, nothing marked, no row), so that a rerun
// recovers it.
//
// Records committed together (CommitRecords) share the durable steps that
// cost a flush each: one journal for all of them (beside the first one's
// file, naming every record), one append of all their rows under one lock.
// Each file is still written and replaced on its own, and each record's
// mark still follows the journal and the rows, so a crash leaves every
// record of the group in the state above that a rerun resolves.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace qae {

struct FileImage {
  std::string path;
  std::vector<uint8_t> bytes;
};

struct RecordCommit {
  std::string tablePath;
  std::string rows;              // whole table lines
  int detections = 0;            // rows, for the counts of what was lost
  std::vector<FileImage> files;  // step 1
  // Event files: the record's own file, rewritten with its detection line
  // (steps 2 and 5).
  std::optional<FileImage> marked;
  // Continuous recordings: the ledger and the segment's line in it (step 5).
  std::string ledgerPath;
  std::string ledgerLine;
  // Kept in the journal so that a run can tell which interrupted commits
  // are its own: the recording and segment of a continuous record.
  std::string recording;
  int64_t segment = -1;
  // The record's AE number, so that a run over a range can find its own
  // records in a journal shared with others (-1: from the journal's name).
  int aeNumber = -1;

  // Where the journal of this commit lives: beside the marked file, or
  // beside the first file.
  std::string JournalPath() const;
};

inline constexpr const char* kJournalSuffix = ".qae-pending";
inline constexpr const char* kStagedSuffix = ".qae-staged";

struct CommitOutcome {
  bool rowsWritten = false;  // the rows are in the table
  bool complete = false;     // everything is written and marked
  // When not complete: what was lost and why; whether the next run over
  // the record finishes it (the journal stays) or detects it again.
  std::string error;
  bool pending = false;
};

CommitOutcome CommitRecord(const RecordCommit& commit);

// The records of `batch`, in order, as one group; one outcome per record.
// A record whose own files cannot be written is taken back alone.
std::vector<CommitOutcome> CommitRecords(const std::vector<const RecordCommit*>& batch);

// Finishes the commits of the journal at `journal_path` (steps 4 to 6), in
// their order; one outcome per record. The journal goes only when every
// record of it is finished.
struct RecoveryOutcome {
  int aeNumber = -1;       // as the journal names it (-1: not named)
  bool finished = false;
  int rowsAdded = 0;       // rows that had not reached the table before
  int detections = 0;      // rows of the commit
  std::string recording;   // of a continuous commit, else empty
  int64_t segment = -1;
  std::string ledgerLine;  // of a continuous commit
  std::string error;       // why it could not be finished
};
std::vector<RecoveryOutcome> FinishInterruptedCommits(const std::string& journal_path);

// The commits of a journal, as read back; false when it is not one.
bool ReadCommitJournal(const std::string& journal_path, std::vector<RecordCommit>* commits,
                       std::string* error);

}  // namespace qae
