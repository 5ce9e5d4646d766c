// The run's log file: the progress and error channel of a run. Every write is
// skipped while no file is open. Re-opening (close, then open again for
// appending) puts everything written so far on disk, so the log is complete
// up to the last record even when a run is killed.
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

  // Creates (truncates) the file at `path` and remembers the path.
  bool Create(const std::string& path);
  // Closes the file and opens the remembered path again for appending; the
  // log is closed when that fails.
  void Reopen();
  void Close();
  bool IsOpen() const { return file_ != nullptr; }
  const std::string& path() const { return path_; }

  // printf-style write; nothing when closed.
  void Printf(const char* format, ...) __attribute__((format(printf, 2, 3)));
  void Write(const std::string& text);

 private:
  std::FILE* file_ = nullptr;
  std::string path_;
};

}  // namespace qae
