#include "util/locked_append.h"

#include <algorithm>

#include "util/spin_wait.h"
#include "util/windows/wide.h"

namespace qae {

namespace {

constexpr int kLockPollMs = 10;
constexpr int kLockWaitMs = 120000;

// Every writer locks this one byte. Windows locks are mandatory: a lock on
// the data would stop readers that do not lock; this byte lies far beyond
// any table, so only the writers meet it.
constexpr DWORD kLockOffsetHigh = 0x40000000;  // 2^62
constexpr DWORD kLockOffsetLow = 0;

HANDLE AsHandle(std::intptr_t h) { return reinterpret_cast<HANDLE>(h); }

bool LockUnsupported(DWORD err) {
  return err == ERROR_NOT_SUPPORTED || err == ERROR_INVALID_FUNCTION ||
         err == ERROR_INVALID_PARAMETER || err == ERROR_NOT_LOCKED;
}

OVERLAPPED LockPosition() {
  OVERLAPPED at{};
  at.Offset = kLockOffsetLow;
  at.OffsetHigh = kLockOffsetHigh;
  return at;
}

// Takes the writers' byte without waiting. 0 when taken, else the error
// (ERROR_LOCK_VIOLATION while another writer holds it).
DWORD TryLock(HANDLE h) {
  OVERLAPPED at = LockPosition();
  if (LockFileEx(h, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &at)) return 0;
  const DWORD err = GetLastError();
  return err == 0 ? ERROR_LOCK_VIOLATION : err;
}

void Unlock(HANDLE h) {
  OVERLAPPED at = LockPosition();
  UnlockFileEx(h, 0, 1, 0, &at);
}

bool WriteAll(HANDLE h, const char* data, std::size_t size, std::size_t* done) {
  *done = 0;
  while (*done < size) {
    DWORD n = 0;
    const auto want =
        static_cast<DWORD>(std::min<std::size_t>(size - *done, std::size_t{1} << 30));
    if (!WriteFile(h, data + *done, want, &n, nullptr)) return false;
    if (n == 0) {
      SetLastError(ERROR_DISK_FULL);
      return false;
    }
    *done += n;
  }
  return true;
}

bool ReadAt(HANDLE h, char* dst, std::size_t count, int64_t offset, std::size_t* done) {
  *done = 0;
  while (*done < count) {
    const auto at_byte = static_cast<uint64_t>(offset) + *done;
    OVERLAPPED at{};
    at.Offset = static_cast<DWORD>(at_byte & 0xFFFFFFFFu);
    at.OffsetHigh = static_cast<DWORD>(at_byte >> 32);
    DWORD n = 0;
    const auto want =
        static_cast<DWORD>(std::min<std::size_t>(count - *done, std::size_t{1} << 30));
    if (!ReadFile(h, dst + *done, want, &n, &at)) {
      if (GetLastError() == ERROR_HANDLE_EOF) return true;
      return false;
    }
    if (n == 0) return true;
    *done += n;
  }
  return true;
}

// Cuts the file to `length` and flushes it.
bool Truncate(HANDLE h, int64_t length) {
  FILE_END_OF_FILE_INFO end{};
  end.EndOfFile.QuadPart = length;
  return SetFileInformationByHandle(h, FileEndOfFileInfo, &end, sizeof end) &&
         FlushFileBuffers(h);
}

}  // namespace

std::string RecordLockProblem(const std::string& dir) {
  std::string probe;
  HANDLE h = INVALID_HANDLE_VALUE;
  for (int attempt = 0; attempt < 100 && h == INVALID_HANDLE_VALUE; ++attempt) {
    probe = dir + ".qae-lockprobe." + std::to_string(GetCurrentProcessId()) + "_" +
            std::to_string(GetTickCount64() + static_cast<ULONGLONG>(attempt));
    h = CreateFileW(win::Widen(probe).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                    CREATE_NEW, FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    if (h == INVALID_HANDLE_VALUE && GetLastError() != ERROR_FILE_EXISTS) break;
  }
  if (h == INVALID_HANDLE_VALUE) return std::string();
  const DWORD err = TryLock(h);
  if (err == 0) Unlock(h);
  CloseHandle(h);  // deletes the probe
  if (err == 0 || !LockUnsupported(err)) return std::string();
  return NoLocksProblem(dir, win::ErrorText(err));
}

std::string LockedAppendFile::Error(const std::string& what, int err) const {
  return path_ + ": " + what + ": " + win::ErrorText(static_cast<DWORD>(err));
}

bool LockedAppendFile::Open(const std::string& path, int attempts, int retry_ms,
                            std::string* error) {
  Close();
  path_ = path;
  const std::wstring wide = win::Widen(path);
  std::string last_error;
  for (int attempt = 0; attempt < attempts; ++attempt) {
    if (attempt > 0) SpinWait(retry_ms);
    // Readers, renamers and other writers may open it meanwhile, as on
    // POSIX; the lock alone orders the writers.
    const HANDLE h = CreateFileW(wide.c_str(), GENERIC_READ | GENERIC_WRITE,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                 OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
      last_error = "cannot open: " + win::LastErrorText();
      continue;
    }
    // Probe the lock once, so a file system without locks is found before
    // anything is written.
    const DWORD err = TryLock(h);
    if (err == 0) Unlock(h);
    if (err != 0 && LockUnsupported(err)) {
      CloseHandle(h);
      if (error) {
        *error = path + ": the file system does not support record locks (" +
                 win::ErrorText(err) + "); not appending unlocked";
      }
      return false;
    }
    handle_ = reinterpret_cast<std::intptr_t>(h);
    return true;
  }
  if (error) {
    *error = path + ": " + last_error + " (after " + std::to_string(attempts) + " attempts)";
  }
  return false;
}

bool LockedAppendFile::Lock(std::string* error) {
  int waited_ms = 0;
  for (;;) {
    const DWORD err = TryLock(AsHandle(handle_));
    if (err == 0) break;
    if (err != ERROR_LOCK_VIOLATION || waited_ms >= kLockWaitMs) {
      if (error) {
        *error = Error(LockUnsupported(err) ? "the file system does not support record locks"
                                            : "cannot lock",
                       static_cast<int>(err));
      }
      return false;
    }
    SpinWait(kLockPollMs);
    waited_ms += kLockPollMs;
  }
  locked_ = true;
  return true;
}

int64_t LockedAppendFile::Size(std::string* error) {
  LARGE_INTEGER size{};
  if (!GetFileSizeEx(AsHandle(handle_), &size)) {
    if (error) *error = Error("cannot read its length", static_cast<int>(GetLastError()));
    return -1;
  }
  return static_cast<int64_t>(size.QuadPart);
}

bool LockedAppendFile::ReadAll(std::string* text, std::string* error) {
  const int64_t size = Size(error);
  if (size < 0) return false;
  text->assign(static_cast<std::size_t>(size), '\0');
  std::size_t done = 0;
  if (!ReadAt(AsHandle(handle_), text->data(), text->size(), 0, &done)) {
    if (error) *error = Error("read error", static_cast<int>(GetLastError()));
    return false;
  }
  text->resize(done);
  return true;
}

bool LockedAppendFile::CutTornTail(int64_t* removed, std::string* error) {
  *removed = 0;
  const int64_t size = Size(error);
  if (size <= 0) return size == 0;
  char last = '\n';
  std::size_t got = 0;
  if (!ReadAt(AsHandle(handle_), &last, 1, size - 1, &got) || got != 1) {
    if (error) *error = Error("read error", static_cast<int>(GetLastError()));
    return false;
  }
  if (last == '\n') return true;
  // Look back for the end of the last whole line, a block at a time.
  int64_t end = size;
  int64_t keep = 0;
  char block[4096];
  while (end > 0) {
    const int64_t begin = std::max<int64_t>(end - static_cast<int64_t>(sizeof block), 0);
    const auto len = static_cast<std::size_t>(end - begin);
    if (!ReadAt(AsHandle(handle_), block, len, begin, &got) || got != len) {
      if (error) *error = Error("read error", static_cast<int>(GetLastError()));
      return false;
    }
    std::size_t i = len;
    while (i > 0 && block[i - 1] != '\n') --i;
    if (i > 0) {
      keep = begin + static_cast<int64_t>(i);
      break;
    }
    end = begin;
  }
  if (!Truncate(AsHandle(handle_), keep)) {
    if (error) {
      *error = Error("cannot cut off a torn last line", static_cast<int>(GetLastError()));
    }
    return false;
  }
  *removed = size - keep;
  return true;
}

bool LockedAppendFile::AppendWhole(const std::string& text, bool* unknown, std::string* error) {
  *unknown = false;
  const int64_t before = Size(error);
  if (before < 0) return false;
  const HANDLE h = AsHandle(handle_);
  // Under the lock the end does not move, so writing there appends.
  LARGE_INTEGER at{};
  at.QuadPart = before;
  std::size_t done = 0;
  DWORD err = 0;
  if (!SetFilePointerEx(h, at, nullptr, FILE_BEGIN) ||
      !WriteAll(h, text.data(), text.size(), &done)) {
    err = GetLastError();
  }
  if (err == 0 && !FlushFileBuffers(h)) err = GetLastError();
  if (err == 0) return true;
  if (error) {
    *error = Error(done < text.size() ? "write error" : "cannot flush", static_cast<int>(err));
  }
  // Whole or nothing: take back what part of the text got in.
  if (!Truncate(h, before)) *unknown = true;
  return false;
}

void LockedAppendFile::Close() {
  if (handle_ == kNoHandle) return;
  // Windows frees a lock some time after its handle closes; the next
  // writer should not have to wait for that.
  if (locked_) Unlock(AsHandle(handle_));
  locked_ = false;
  CloseHandle(AsHandle(handle_));
  handle_ = kNoHandle;
}

}  // namespace qae
