#include "util/locked_append.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "util/spin_wait.h"

namespace qae {

namespace {

constexpr int kLockPollMs = 10;
constexpr int kLockWaitMs = 120000;

bool LockUnsupported(int err) {
  return err == ENOLCK || err == ENOSYS || err == EINVAL || err == EOPNOTSUPP;
}

int AsFd(std::intptr_t handle) { return static_cast<int>(handle); }

}  // namespace

std::string RecordLockProblem(const std::string& dir) {
  std::string probe = dir + ".qae-lockprobe.XXXXXX";
  const int fd = mkostemp(probe.data(), O_CLOEXEC);
  if (fd < 0) return std::string();
  struct flock lock {};
  lock.l_type = F_WRLCK;
  lock.l_whence = SEEK_SET;
  int err = 0;
  while (fcntl(fd, F_SETLK, &lock) != 0) {
    if (errno == EINTR) continue;
    err = errno;
    break;
  }
  close(fd);
  unlink(probe.c_str());
  if (err == 0 || !LockUnsupported(err)) return std::string();
  return NoLocksProblem(dir, std::strerror(err));
}

std::string LockedAppendFile::Error(const std::string& what, int err) const {
  return path_ + ": " + what + ": " + std::strerror(err);
}

bool LockedAppendFile::Open(const std::string& path, int attempts, int retry_ms,
                            std::string* error) {
  Close();
  path_ = path;
  std::string last_error;
  for (int attempt = 0; attempt < attempts; ++attempt) {
    if (attempt > 0) SpinWait(retry_ms);
    const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_APPEND | O_CLOEXEC, 0666);
    if (fd < 0) {
      last_error = std::string("cannot open: ") + std::strerror(errno);
      continue;
    }
    // Probe the lock once, so a file system without record locks is found
    // before anything is written.
    struct flock probe {};
    probe.l_type = F_WRLCK;
    probe.l_whence = SEEK_SET;
    if (fcntl(fd, F_GETLK, &probe) != 0 && LockUnsupported(errno)) {
      const int err = errno;
      close(fd);
      if (error) {
        *error = path + ": the file system does not support record locks (" +
                 std::strerror(err) + "); not appending unlocked";
      }
      return false;
    }
    handle_ = fd;
    return true;
  }
  if (error) *error = path + ": " + last_error + " (after " + std::to_string(attempts) + " attempts)";
  return false;
}

bool LockedAppendFile::Lock(std::string* error) {
  struct flock lock {};
  lock.l_type = F_WRLCK;
  lock.l_whence = SEEK_SET;
  lock.l_start = 0;
  lock.l_len = 0;  // the whole file, however long it grows
  int waited_ms = 0;
  while (fcntl(AsFd(handle_), F_SETLK, &lock) != 0) {
    const int err = errno;
    if (err == EINTR) continue;
    if ((err != EAGAIN && err != EACCES) || waited_ms >= kLockWaitMs) {
      if (error) {
        *error = Error(LockUnsupported(err) ? "the file system does not support record locks"
                                            : "cannot lock",
                       err);
      }
      return false;
    }
    SpinWait(kLockPollMs);
    waited_ms += kLockPollMs;
  }
  return true;
}

int64_t LockedAppendFile::Size(std::string* error) {
  struct stat st {};
  if (fstat(AsFd(handle_), &st) != 0) {
    if (error) *error = Error("cannot read its length", errno);
    return -1;
  }
  return static_cast<int64_t>(st.st_size);
}

bool LockedAppendFile::ReadAll(std::string* text, std::string* error) {
  const int64_t size = Size(error);
  if (size < 0) return false;
  text->assign(static_cast<std::size_t>(size), '\0');
  std::size_t done = 0;
  while (done < text->size()) {
    const ssize_t n = pread(AsFd(handle_), text->data() + done, text->size() - done,
                            static_cast<off_t>(done));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      if (error) *error = Error("read error", errno);
      return false;
    }
    if (n == 0) break;
    done += static_cast<std::size_t>(n);
  }
  text->resize(done);
  return true;
}

bool LockedAppendFile::CutTornTail(int64_t* removed, std::string* error) {
  *removed = 0;
  const int64_t size = Size(error);
  if (size <= 0) return size == 0;
  char last = '\n';
  if (pread(AsFd(handle_), &last, 1, static_cast<off_t>(size - 1)) != 1) {
    if (error) *error = Error("read error", errno);
    return false;
  }
  if (last == '\n') return true;
  // Look back for the end of the last whole line, a block at a time.
  int64_t end = size;
  int64_t keep = 0;
  char block[4096];
  while (end > 0) {
    const int64_t begin = end > static_cast<int64_t>(sizeof block) ? end - static_cast<int64_t>(sizeof block) : 0;
    const auto len = static_cast<std::size_t>(end - begin);
    if (pread(AsFd(handle_), block, len, static_cast<off_t>(begin)) != static_cast<ssize_t>(len)) {
      if (error) *error = Error("read error", errno);
      return false;
    }
    const void* nl = nullptr;
    for (std::size_t i = len; i > 0; --i) {
      if (block[i - 1] == '\n') {
        nl = block + i - 1;
        break;
      }
    }
    if (nl != nullptr) {
      keep = begin + (static_cast<const char*>(nl) - block) + 1;
      break;
    }
    end = begin;
  }
  if (ftruncate(AsFd(handle_), static_cast<off_t>(keep)) != 0 || fsync(AsFd(handle_)) != 0) {
    if (error) *error = Error("cannot cut off a torn last line", errno);
    return false;
  }
  *removed = size - keep;
  return true;
}

bool LockedAppendFile::AppendWhole(const std::string& text, bool* unknown, std::string* error) {
  *unknown = false;
  const int64_t before = Size(error);
  if (before < 0) return false;
  std::size_t done = 0;
  int err = 0;
  while (done < text.size()) {
    const ssize_t n = write(AsFd(handle_), text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      err = n < 0 ? errno : ENOSPC;
      break;
    }
    done += static_cast<std::size_t>(n);
  }
  if (err == 0 && fsync(AsFd(handle_)) != 0) err = errno;
  if (err == 0) return true;
  if (error) *error = Error(done < text.size() ? "write error" : "cannot flush", err);
  // Whole or nothing: take back what part of the text got in.
  if (ftruncate(AsFd(handle_), static_cast<off_t>(before)) != 0 || fsync(AsFd(handle_)) != 0) {
    *unknown = true;
  }
  return false;
}

void LockedAppendFile::Close() {
  if (handle_ != kNoHandle) {
    close(AsFd(handle_));  // releases the lock
    handle_ = kNoHandle;
  }
}

}  // namespace qae
