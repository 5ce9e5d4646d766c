// The run's log file: the progress and error channel of a run. Every write is
// skipped while no file is open. Re-opening (close, then open again for
// appending) puts everything written so far on disk, so the log is complete
// up to the last record even when a run is killed.
//
// A log that cannot be written is itself a lost output: the first failure
// (creating, writing, flushing or re-opening the file) is remembered, so
// that the run does not call itself complete.
#pragma once

#include <cstdio>
#include <string>

namespace qae {

class RunLog {
 public:
  RunLog() = default;
  ~RunLog() { Close(); }
  RunLog(const RunLog&) = delete;
  RunLog& operator=(const RunLog&) = delete;

  // Creates (truncates) the file at `path` and remembers the path. A log
  // left at `path` by an earlier run over the same range (a killed one, or
  // one whose outputs were incomplete) is kept: it moves to the first free
  // backup name first (see BackupName).
  bool Create(const std::string& path);
  // Closes the file and opens the remembered path again for appending; the
  // log is closed when that fails.
  void Reopen();
  void Close();
  bool IsOpen() const { return file_ != nullptr; }
  const std::string& path() const { return path_; }

  // printf-style write; nothing when closed.
  void Printf(const char* format, ...) __attribute__((format(gnu_printf, 2, 3)));
  void Write(const std::string& text);

  // The first failure of this log (empty while none): what was lost.
  const std::string& failure() const { return failure_; }

 private:
  void Fail(const std::string& what);

  std::FILE* file_ = nullptr;
  std::string path_;
  std::string failure_;
};

// The n-th backup name of a log: "Log_000000_000499.txt" gives
// "Log_000000_000499.bak1.txt" for n = 1 ("..._OK.txt" gives
// "..._OK.bak1.txt"), so a backup never looks like a live or completed log.
std::string BackupName(const std::string& path, int n);

// Moves the file at `path`, when there is one, to its first free backup
// name. Returns the backup's name, or an empty string when there was nothing
// to keep. False (with `error`) when the file is there but could not be
// moved.
bool KeepAsBackup(const std::string& path, std::string* backup, std::string* error);

}  // namespace qae
