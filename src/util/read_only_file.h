// A file opened for positioned reads (pread on POSIX, ReadFile at an offset
// on Windows), with 64-bit offsets: continuous recordings exceed 4 GiB.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace qae {

class ReadOnlyFile {
 public:
  // Only regular files open: a directory opens on some systems but has no
  // data to read.
  explicit ReadOnlyFile(const std::string& path);
  ~ReadOnlyFile();
  ReadOnlyFile(const ReadOnlyFile&) = delete;
  ReadOnlyFile& operator=(const ReadOnlyFile&) = delete;

  bool ok() const { return handle_ != kNoHandle; }
  int64_t size() const { return size_; }
  // Why it did not open.
  const std::string& error() const { return error_; }

  // Reads up to `count` bytes at `offset`; returns how many were read (fewer
  // at the end of the file or on an error).
  std::size_t ReadAt(uint8_t* dst, std::size_t count, int64_t offset) const;

 private:
  static constexpr std::intptr_t kNoHandle = -1;
  std::intptr_t handle_ = kNoHandle;  // a descriptor or a HANDLE
  int64_t size_ = 0;
  std::string error_;
};

}  // namespace qae
