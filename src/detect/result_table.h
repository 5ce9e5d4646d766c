// The result table "ML_detect.ps0", appended to by every process of a run
// that shares the output directory, possibly from several machines on a
// network file system.
#pragma once

#include <string>

namespace qae {

// The seven header lines of a new table.
extern const char* const kResultTableHeader;

// An open table. Opening tries up to 10 times, 500 ms apart. Rows are
// collected and written by Close under an exclusive POSIX record lock
// (fcntl, which network file systems honour), taken before the length check
// and held through the header and the rows until they are on disk: the
// header is written exactly once and no row of another process lands inside
// this one's.
class ResultTable {
 public:
  ResultTable() = default;
  ~ResultTable();
  ResultTable(const ResultTable&) = delete;
  ResultTable& operator=(const ResultTable&) = delete;

  // Opens `path` for appending. False (with `error`) when it cannot be
  // opened, or when its file system has no record locks (the table is then
  // refused rather than appended to unlocked).
  bool Open(const std::string& path, std::string* error);
  // Collects rows; they are written together by Close.
  void AddRow(const std::string& row) { pending_ += row; }
  // Locks the table (waiting for other writers), writes the header when the
  // file holds fewer than 10 bytes and the collected rows in one write,
  // flushes them to disk, unlocks and closes. False (with `error`) when
  // locking or writing failed.
  bool Close(std::string* error);
  bool IsOpen() const { return fd_ >= 0; }

 private:
  int fd_ = -1;
  std::string path_;
  std::string pending_;
};

// Open, add `rows`, Close.
bool AppendToResultTable(const std::string& path, const std::string& rows, std::string* error);

}  // namespace qae
