#include "util/read_only_file.h"

#include <algorithm>

#include "util/windows/wide.h"

namespace qae {

namespace {

HANDLE AsHandle(std::intptr_t h) { return reinterpret_cast<HANDLE>(h); }

}  // namespace

ReadOnlyFile::ReadOnlyFile(const std::string& path) {
  const std::wstring wide = win::Widen(path);
  const DWORD attributes = GetFileAttributesW(wide.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY)) {
    error_ = "not a regular file";
    return;
  }
  const HANDLE h = CreateFileW(wide.c_str(), GENERIC_READ,
                               FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                               OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    error_ = win::LastErrorText();
    return;
  }
  LARGE_INTEGER size{};
  if (GetFileType(h) != FILE_TYPE_DISK || !GetFileSizeEx(h, &size)) {
    error_ = "not a regular file";
    CloseHandle(h);
    return;
  }
  handle_ = reinterpret_cast<std::intptr_t>(h);
  size_ = static_cast<int64_t>(size.QuadPart);
}

ReadOnlyFile::~ReadOnlyFile() {
  if (handle_ != kNoHandle) CloseHandle(AsHandle(handle_));
}

std::size_t ReadOnlyFile::ReadAt(uint8_t* dst, std::size_t count, int64_t offset) const {
  std::size_t done = 0;
  while (done < count && offset >= 0) {
    // The offset travels in the OVERLAPPED structure, so reads from
    // several threads do not share a file position.
    const auto at = static_cast<uint64_t>(offset) + done;
    OVERLAPPED where{};
    where.Offset = static_cast<DWORD>(at & 0xFFFFFFFFu);
    where.OffsetHigh = static_cast<DWORD>(at >> 32);
    const auto want = static_cast<DWORD>(std::min<std::size_t>(count - done, std::size_t{1} << 30));
    DWORD got = 0;
    if (!ReadFile(AsHandle(handle_), dst + done, want, &got, &where) || got == 0) break;
    done += got;
  }
  return done;
}

}  // namespace qae
