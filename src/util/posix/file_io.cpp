#include "util/file_io.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace qae {

namespace {

std::string ErrnoText(const std::string& what, const std::string& path) {
  return path + ": " + what + ": " + std::strerror(errno);
}

mode_t DefaultFileMode() {
  const mode_t mask = umask(0);
  umask(mask);
  return static_cast<mode_t>(0666 & ~mask);
}

mode_t NewFileMode(const std::string& path) {
  struct stat st {};
  if (stat(path.c_str(), &st) == 0) return static_cast<mode_t>(st.st_mode & 07777);
  return DefaultFileMode();
}

}  // namespace

bool ReadWholeFile(const std::string& path, std::vector<uint8_t>* bytes, std::string* error,
                   uint64_t max_bytes) {
  bytes->clear();
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    if (error) *error = ErrnoText("cannot open", path);
    return false;
  }
  struct stat st {};
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    if (error) *error = path + ": not a regular file";
    close(fd);
    return false;
  }
  if (static_cast<uint64_t>(st.st_size) > max_bytes) {
    if (error) *error = path + ": file too large";
    close(fd);
    return false;
  }
  bytes->resize(static_cast<std::size_t>(st.st_size));
  std::size_t done = 0;
  while (done < bytes->size()) {
    const ssize_t n = read(fd, bytes->data() + done, bytes->size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      if (error) *error = ErrnoText("read error", path);
      close(fd);
      bytes->clear();
      return false;
    }
    if (n == 0) break;  // the file shrank while being read
    done += static_cast<std::size_t>(n);
  }
  bytes->resize(done);
  close(fd);
  return true;
}

bool WriteFileAtomically(const std::string& path, const uint8_t* bytes, std::size_t size,
                         std::string* error) {
  std::string tmp = path + ".tmp.XXXXXX";
  const int fd = mkstemp(tmp.data());
  if (fd < 0) {
    if (error) *error = ErrnoText("cannot create temporary file", path);
    return false;
  }
  auto fail = [&](const char* what) {
    if (error) *error = ErrnoText(what, tmp);
    close(fd);
    unlink(tmp.c_str());
    return false;
  };
  std::size_t done = 0;
  while (done < size) {
    const ssize_t n = write(fd, bytes + done, size - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return fail("write error");
    done += static_cast<std::size_t>(n);
  }
  struct stat st {};
  const mode_t mode = stat(path.c_str(), &st) == 0 ? (st.st_mode & 07777) : DefaultFileMode();
  if (fchmod(fd, mode) != 0) return fail("cannot set permissions");
  if (fsync(fd) != 0) return fail("cannot flush");
  if (close(fd) != 0) {
    if (error) *error = ErrnoText("close error", tmp);
    unlink(tmp.c_str());
    return false;
  }
  if (std::rename(tmp.c_str(), path.c_str()) != 0) {
    if (error) *error = ErrnoText("cannot replace", path);
    unlink(tmp.c_str());
    return false;
  }
  return true;
}

std::FILE* OpenStdioFile(const std::string& path, const char* mode) {
  return std::fopen(path.c_str(), mode);
}

std::FILE* CreateFileBeside(const std::string& path, std::string* tmp_path) {
  std::string tmp = path + ".tmp.XXXXXX";
  const int fd = mkstemp(tmp.data());
  if (fd < 0) return nullptr;
  std::FILE* file = fdopen(fd, "wb");
  if (file == nullptr) {
    close(fd);
    unlink(tmp.c_str());
    return nullptr;
  }
  *tmp_path = tmp;
  return file;
}

bool FlushToDisk(std::FILE* file) { return std::fflush(file) == 0 && fsync(fileno(file)) == 0; }

bool TakePermissionsOf(std::FILE* file, const std::string& path) {
  return fchmod(fileno(file), NewFileMode(path)) == 0;
}

bool MoveFileOver(const std::string& from, const std::string& to, std::string* error) {
  if (std::rename(from.c_str(), to.c_str()) == 0) return true;
  if (error) *error = std::strerror(errno);
  return false;
}

bool RemoveFile(const std::string& path) { return unlink(path.c_str()) == 0; }

}  // namespace qae
