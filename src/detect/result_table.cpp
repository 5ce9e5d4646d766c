#include "detect/result_table.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "util/spin_wait.h"

namespace qae {

const char* const kResultTableHeader =
    "PSDATA02\n"
    "Detecte event\n"
    "SAMPLES 777\n"
    "AE#\tt0,us\tX,mm\tY,mm\tZ,mm\tMw\tCC\tSNR1\tSNR2\tdX,mm\tdY,mm\tdZ,mm\tdMw\t#_T\tMw_T\n"
    "1\t1\t1\t1\t1\t1\t1\t1\t1\t1\t1\t1\t1\t1\t1\n"
    "PLOT_TYPE: 1\t1\t1\t1\t1\t1\t1\t1\t1\t1\t1\t1\t1\t1\t1\n"
    "PLOT_XY: 1\t0\t0\t0\t0\t0\t0\t0\t0\t2\t2\t2\t0\t0\t0\n";

namespace {

constexpr int kOpenAttempts = 10;
constexpr int kRetryWaitMs = 500;
constexpr int kLockPollMs = 10;
constexpr int kLockWaitMs = 120000;

bool WriteAll(int fd, const std::string& text) {
  std::size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

bool LockUnsupported(int err) { return err == ENOLCK || err == EINVAL || err == EOPNOTSUPP; }

}  // namespace

ResultTable::~ResultTable() {
  if (fd_ >= 0) {
    std::string ignored;
    Close(&ignored);
  }
}

bool ResultTable::Open(const std::string& path, std::string* error) {
  path_ = path;
  pending_.clear();
  std::string last_error;
  for (int attempt = 0; attempt < kOpenAttempts; ++attempt) {
    if (attempt > 0) SpinWait(kRetryWaitMs);
    const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_APPEND | O_CLOEXEC, 0666);
    if (fd < 0) {
      last_error = std::string("cannot open: ") + std::strerror(errno);
      continue;
    }
    // Probe the lock once, so a file system without record locks is found
    // before anything of the record is written.
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
    fd_ = fd;
    return true;
  }
  if (error) *error = path + ": " + last_error + " (after 10 attempts)";
  return false;
}

bool ResultTable::Close(std::string* error) {
  if (fd_ < 0) return false;
  const int fd = fd_;
  fd_ = -1;
  auto fail = [&](const std::string& what, int err) {
    if (error) *error = path_ + ": " + what + ": " + std::strerror(err);
    pending_.clear();
    close(fd);  // releases the lock
    return false;
  };
  struct flock lock {};
  lock.l_type = F_WRLCK;
  lock.l_whence = SEEK_SET;
  lock.l_start = 0;
  lock.l_len = 0;  // the whole file, however long it grows
  // Other processes hold the lock only while they append their rows; wait
  // for them, but not forever on a lock that a dead client left behind.
  int waited_ms = 0;
  while (fcntl(fd, F_SETLK, &lock) != 0) {
    const int err = errno;
    if (err == EINTR) continue;
    if ((err != EAGAIN && err != EACCES) || waited_ms >= kLockWaitMs) {
      return fail(LockUnsupported(err) ? "the file system does not support record locks"
                                       : "cannot lock",
                  err);
    }
    SpinWait(kLockPollMs);
    waited_ms += kLockPollMs;
  }
  struct stat st {};
  if (fstat(fd, &st) != 0) return fail("cannot read its length", errno);
  std::string text = st.st_size < 10 ? std::string(kResultTableHeader) : std::string();
  text += pending_;
  if (!WriteAll(fd, text)) return fail("write error", errno);
  if (fsync(fd) != 0) return fail("cannot flush", errno);
  pending_.clear();
  close(fd);
  return true;
}

bool AppendToResultTable(const std::string& path, const std::string& rows, std::string* error) {
  ResultTable table;
  if (!table.Open(path, error)) return false;
  table.AddRow(rows);
  return table.Close(error);
}

}  // namespace qae
