#include "detect/run_log.h"

#include <cerrno>
#include <cstdarg>
#include <cstring>
#include <filesystem>
#include <system_error>

#include "util/file_io.h"
#include "util/path.h"

namespace qae {

namespace {

std::string ErrnoText() { return std::strerror(errno); }

}  // namespace

std::string BackupName(const std::string& path, int n) {
  const std::string suffix = ".txt";
  const bool txt = path.size() >= suffix.size() &&
                   path.compare(path.size() - suffix.size(), suffix.size(), suffix) == 0;
  const std::string stem = txt ? path.substr(0, path.size() - suffix.size()) : path;
  return stem + ".bak" + std::to_string(n) + (txt ? suffix : std::string());
}

bool KeepAsBackup(const std::string& path, std::string* backup, std::string* error) {
  backup->clear();
  std::error_code ec;
  if (!std::filesystem::exists(PathOf(path), ec)) return true;
  for (int n = 1; n < 100000; ++n) {
    const std::string name = BackupName(path, n);
    if (std::filesystem::exists(PathOf(name), ec)) continue;
    std::filesystem::rename(PathOf(path), PathOf(name), ec);
    if (ec) {
      if (error) *error = "cannot keep " + path + " as " + name + ": " + ec.message();
      return false;
    }
    *backup = name;
    return true;
  }
  if (error) *error = "cannot keep " + path + ": no free backup name";
  return false;
}

void RunLog::Fail(const std::string& what) {
  if (failure_.empty()) failure_ = path_ + ": " + what;
}

bool RunLog::Create(const std::string& path) {
  Close();
  path_ = path;
  failure_.clear();
  std::string backup;
  std::string error;
  if (!KeepAsBackup(path, &backup, &error)) {
    // Truncating it would destroy the only record of the earlier run.
    Fail(error);
    return false;
  }
  // Binary: the log has "\n" line ends on Windows too, the same bytes as
  // on Linux; every reader of ours (and any editor of this century) takes
  // "\n" as well as the "\r\n" of older Windows programs.
  file_ = OpenStdioFile(path, "wb");
  if (file_ == nullptr) {
    Fail("cannot create: " + ErrnoText());
    return false;
  }
  return true;
}

void RunLog::Reopen() {
  Close();
  if (path_.empty()) return;
  file_ = OpenStdioFile(path_, "ab+");
  if (file_ == nullptr) Fail("cannot reopen: " + ErrnoText());
}

void RunLog::Close() {
  if (file_ != nullptr) {
    // A full disk shows only when the buffer is flushed.
    const bool flushed = std::fflush(file_) == 0 && std::ferror(file_) == 0;
    const int err = errno;
    const bool closed = std::fclose(file_) == 0;
    file_ = nullptr;
    if (!flushed) {
      Fail(std::string("write error: ") + std::strerror(err));
    } else if (!closed) {
      Fail("write error: " + ErrnoText());
    }
  }
}

void RunLog::Printf(const char* format, ...) {
  if (file_ == nullptr) return;
  std::va_list args;
  va_start(args, format);
  const int n = std::vfprintf(file_, format, args);
  va_end(args);
  if (n < 0) Fail("write error: " + ErrnoText());
}

void RunLog::Write(const std::string& text) {
  if (file_ == nullptr) return;
  if (std::fwrite(text.data(), 1, text.size(), file_) != text.size()) {
    Fail("write error: " + ErrnoText());
  }
}

}  // namespace qae
