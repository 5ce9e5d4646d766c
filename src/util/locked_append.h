// A text file that several processes (possibly on several machines sharing
// a network file system) append to: the result table and the segment
// ledger. Every change happens under an exclusive lock that network file
// systems honour (a POSIX record lock on the whole file through fcntl; on
// Windows LockFileEx on one byte far past the end, so that readers, which
// Windows' mandatory locks would otherwise stop, can read all the while),
// and text is appended whole or not at all, so a reader never meets half a
// line. The lock is held from Lock() to Close() only.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace qae {

class LockedAppendFile {
 public:
  LockedAppendFile() = default;
  ~LockedAppendFile() { Close(); }
  LockedAppendFile(const LockedAppendFile&) = delete;
  LockedAppendFile& operator=(const LockedAppendFile&) = delete;

  // Opens (creating) `path` for appending, up to `attempts` times with a
  // wait of `retry_ms` after each failure. False with `error` when it cannot
  // be opened, or when its file system has no record locks (the file is
  // then refused rather than appended to unlocked).
  bool Open(const std::string& path, int attempts, int retry_ms, std::string* error);
  // Takes the exclusive lock, waiting for other writers (but not forever on
  // a lock that a dead client left behind).
  bool Lock(std::string* error);

  // Under the lock:
  // The whole content.
  bool ReadAll(std::string* text, std::string* error);
  // A last line without its newline can only be the remains of a writer that
  // died mid-append; it is cut off so that the next line does not join it.
  // `removed` gets the number of bytes cut (0 when the end was whole).
  bool CutTornTail(int64_t* removed, std::string* error);
  // The current length in bytes, or -1 on error.
  int64_t Size(std::string* error);
  // Appends `text` and flushes it to disk. On failure the file is cut back
  // to its length before the call, and false is returned; `unknown` is set
  // when even that failed, so that part of the text may be in the file.
  bool AppendWhole(const std::string& text, bool* unknown, std::string* error);

  // Releases the lock and closes.
  void Close();
  bool IsOpen() const { return handle_ != kNoHandle; }
  const std::string& path() const { return path_; }

 private:
  std::string Error(const std::string& what, int err) const;

  static constexpr std::intptr_t kNoHandle = -1;
  std::intptr_t handle_ = kNoHandle;  // a descriptor or a HANDLE
  bool locked_ = false;
  std::string path_;
};

// Whether processes can lock files in the folder of the prefix `dir` (as
// the output folder of a run is given): a probe file is created there,
// locked and removed. Empty when locks work; otherwise one line naming the
// folder and the reason, for a file system that refuses record locks
// (ENOLCK, ENOSYS, EOPNOTSUPP: a network mount without a lock service).
// Other failures (a folder that cannot be written) are left to the writes
// that meet them.
std::string RecordLockProblem(const std::string& dir);
// RecordLockProblem's line for the folder `dir`, with the system's `reason`.
std::string NoLocksProblem(const std::string& dir, const std::string& reason);

// The lines of `text` (without their line ends, "\n" or "\r\n": a file
// an older Windows program wrote counts the same); a last line without a
// newline is left out, as it is not whole.
std::vector<std::string> WholeLines(const std::string& text);

}  // namespace qae
