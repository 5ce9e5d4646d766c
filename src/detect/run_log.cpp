#include "detect/run_log.h"

#include <cstdarg>

namespace qae {

bool RunLog::Create(const std::string& path) {
  Close();
  path_ = path;
  file_ = std::fopen(path.c_str(), "w");
  return file_ != nullptr;
}

void RunLog::Reopen() {
  Close();
  if (!path_.empty()) file_ = std::fopen(path_.c_str(), "a+");
}

void RunLog::Close() {
  if (file_ != nullptr) {
    std::fclose(file_);
    file_ = nullptr;
  }
}

void RunLog::Printf(const char* format, ...) {
  if (file_ == nullptr) return;
  std::va_list args;
  va_start(args, format);
  std::vfprintf(file_, format, args);
  va_end(args);
}

void RunLog::Write(const std::string& text) {
  if (file_ != nullptr) std::fwrite(text.data(), 1, text.size(), file_);
}

}  // namespace qae
