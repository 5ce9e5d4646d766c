#include "util/file_io.h"

#include <fcntl.h>
#include <io.h>

#include <atomic>
#include <cstring>

#include "util/windows/wide.h"

namespace qae {

namespace {

// ReadFile and WriteFile take 32-bit counts.
constexpr std::size_t kChunk = std::size_t{1} << 30;
// A freshly closed file can be held for a moment by a virus scanner or an
// indexer; replacing it is tried again for this long.
constexpr int kReplaceAttempts = 40;
constexpr DWORD kReplaceRetryMs = 50;

std::string LastErrorText(const std::string& what, const std::string& path) {
  return path + ": " + what + ": " + win::LastErrorText();
}

// Six characters for a unique name; a collision is met by trying again.
std::string RandomSuffix() {
  static std::atomic<unsigned long long> counter{0};
  unsigned long long v = GetTickCount64() * 1000003ull + GetCurrentProcessId() * 7919ull +
                         counter.fetch_add(1) * 2654435761ull;
  static const char kLetters[] = "abcdefghijklmnopqrstuvwxyz0123456789";
  std::string s(6, 'a');
  for (char& c : s) {
    c = kLetters[v % 36];
    v /= 36;
  }
  return s;
}

// Creates "<path>.tmp.XXXXXX" for writing; never an existing file.
HANDLE CreateBeside(const std::string& path, std::string* tmp_path) {
  for (int attempt = 0; attempt < 100; ++attempt) {
    const std::string tmp = path + ".tmp." + RandomSuffix();
    const HANDLE h = CreateFileW(win::Widen(tmp).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                 FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h != INVALID_HANDLE_VALUE) {
      *tmp_path = tmp;
      return h;
    }
    if (GetLastError() != ERROR_FILE_EXISTS && GetLastError() != ERROR_ALREADY_EXISTS) break;
  }
  return INVALID_HANDLE_VALUE;
}

bool MoveOver(const std::string& from, const std::string& to) {
  const std::wstring f = win::Widen(from);
  const std::wstring t = win::Widen(to);
  for (int attempt = 0;; ++attempt) {
    if (MoveFileExW(f.c_str(), t.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
      return true;
    }
    const DWORD err = GetLastError();
    if ((err != ERROR_ACCESS_DENIED && err != ERROR_SHARING_VIOLATION) ||
        attempt + 1 >= kReplaceAttempts) {
      SetLastError(err);
      return false;
    }
    Sleep(kReplaceRetryMs);
  }
}

}  // namespace

bool ReadWholeFile(const std::string& path, std::vector<uint8_t>* bytes, std::string* error,
                   uint64_t max_bytes) {
  bytes->clear();
  const std::wstring wide = win::Widen(path);
  const DWORD attributes = GetFileAttributesW(wide.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY)) {
    if (error) *error = path + ": not a regular file";
    return false;
  }
  // Others may go on writing, renaming or replacing it meanwhile, as they
  // may on POSIX.
  win::Handle file(CreateFileW(wide.c_str(), GENERIC_READ,
                               FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                               OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file.valid()) {
    if (error) *error = LastErrorText("cannot open", path);
    return false;
  }
  LARGE_INTEGER size{};
  if (!GetFileSizeEx(file.get(), &size) || GetFileType(file.get()) != FILE_TYPE_DISK) {
    if (error) *error = path + ": not a regular file";
    return false;
  }
  if (static_cast<uint64_t>(size.QuadPart) > max_bytes) {
    if (error) *error = path + ": file too large";
    return false;
  }
  bytes->resize(static_cast<std::size_t>(size.QuadPart));
  std::size_t done = 0;
  while (done < bytes->size()) {
    DWORD n = 0;
    const auto want = static_cast<DWORD>(std::min(kChunk, bytes->size() - done));
    if (!ReadFile(file.get(), bytes->data() + done, want, &n, nullptr)) {
      if (error) *error = LastErrorText("read error", path);
      bytes->clear();
      return false;
    }
    if (n == 0) break;  // the file shrank while being read
    done += n;
  }
  bytes->resize(done);
  return true;
}

bool WriteFileAtomically(const std::string& path, const uint8_t* bytes, std::size_t size,
                         std::string* error) {
  std::string tmp;
  win::Handle file(CreateBeside(path, &tmp));
  if (!file.valid()) {
    if (error) *error = LastErrorText("cannot create temporary file", path);
    return false;
  }
  auto fail = [&](const char* what) {
    if (error) *error = LastErrorText(what, tmp);
    file.Reset();
    DeleteFileW(win::Widen(tmp).c_str());
    return false;
  };
  std::size_t done = 0;
  while (done < size) {
    DWORD n = 0;
    const auto want = static_cast<DWORD>(std::min(kChunk, size - done));
    if (!WriteFile(file.get(), bytes + done, want, &n, nullptr) || n == 0) {
      return fail("write error");
    }
    done += n;
  }
  if (!FlushFileBuffers(file.get())) return fail("cannot flush");
  if (!CloseHandle(file.Release())) {
    if (error) *error = LastErrorText("close error", tmp);
    DeleteFileW(win::Widen(tmp).c_str());
    return false;
  }
  if (!MoveOver(tmp, path)) {
    if (error) *error = LastErrorText("cannot replace", path);
    DeleteFileW(win::Widen(tmp).c_str());
    return false;
  }
  return true;
}

std::FILE* OpenStdioFile(const std::string& path, const char* mode) {
  // "N": not inherited by the instances this process launches, as
  // O_CLOEXEC keeps them out of children on POSIX.
  return _wfopen(win::Widen(path).c_str(), (win::Widen(mode) + L"N").c_str());
}

std::FILE* CreateFileBeside(const std::string& path, std::string* tmp_path) {
  std::string tmp;
  const HANDLE h = CreateBeside(path, &tmp);
  if (h == INVALID_HANDLE_VALUE) return nullptr;
  const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(h), _O_BINARY | _O_WRONLY);
  std::FILE* file = fd >= 0 ? _fdopen(fd, "wb") : nullptr;
  if (file == nullptr) {
    if (fd >= 0) {
      _close(fd);
    } else {
      CloseHandle(h);
    }
    DeleteFileW(win::Widen(tmp).c_str());
    return nullptr;
  }
  *tmp_path = tmp;
  return file;
}

bool FlushToDisk(std::FILE* file) {
  if (std::fflush(file) != 0) return false;
  const auto h = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(file)));
  return h != INVALID_HANDLE_VALUE && FlushFileBuffers(h);
}

bool TakePermissionsOf(std::FILE* /*file*/, const std::string& /*path*/) { return true; }

bool MoveFileOver(const std::string& from, const std::string& to, std::string* error) {
  if (MoveOver(from, to)) return true;
  if (error) *error = win::LastErrorText();
  return false;
}

bool RemoveFile(const std::string& path) { return DeleteFileW(win::Widen(path).c_str()) != 0; }

}  // namespace qae
