#include "util/read_only_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace qae {

ReadOnlyFile::ReadOnlyFile(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    error_ = std::strerror(errno);
    return;
  }
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    error_ = "not a regular file";
    ::close(fd);
    return;
  }
  handle_ = fd;
  size_ = static_cast<int64_t>(st.st_size);
}

ReadOnlyFile::~ReadOnlyFile() {
  if (handle_ != kNoHandle) ::close(static_cast<int>(handle_));
}

std::size_t ReadOnlyFile::ReadAt(uint8_t* dst, std::size_t count, int64_t offset) const {
  std::size_t done = 0;
  while (done < count && offset >= 0) {
    const ssize_t got = ::pread(static_cast<int>(handle_), dst + done, count - done,
                                static_cast<off_t>(offset + static_cast<int64_t>(done)));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    done += static_cast<std::size_t>(got);
  }
  return done;
}

}  // namespace qae
