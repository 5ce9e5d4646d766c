#include "app/cli/progress_line.h"

#include <cmath>

#include "util/text.h"

namespace qae::cli {

std::string FormatDuration(double seconds) {
  if (!std::isfinite(seconds) || seconds < 0 || seconds > 1e9) return "-:--:--";
  const auto total = static_cast<long long>(seconds + 0.5);
  return StrPrintf("%lld:%02lld:%02lld", total / 3600, total / 60 % 60, total % 60);
}

std::string FormatProgressLine(const RunProgress& progress, double elapsed_s) {
  const double remaining =
      progress.done > 0
          ? elapsed_s * static_cast<double>(progress.total - progress.done) /
                static_cast<double>(progress.done)
          : -1.0;
  return StrPrintf("AE %lld/%lld done, %d detected, %s elapsed, %s remaining",
                   static_cast<long long>(progress.done), static_cast<long long>(progress.total),
                   progress.detected, FormatDuration(elapsed_s).c_str(),
                   FormatDuration(remaining).c_str());
}

TerminalProgress::TerminalProgress(std::FILE* out)
    : out_(out), start_(std::chrono::steady_clock::now()), last_draw_(start_) {}

void TerminalProgress::Update(const RunProgress& progress) {
  const auto now = std::chrono::steady_clock::now();
  if (drawn_ && progress.done < progress.total &&
      now - last_draw_ < std::chrono::milliseconds(250)) {
    return;
  }
  last_draw_ = now;
  drawn_ = true;
  const double elapsed = std::chrono::duration<double>(now - start_).count();
  // Carriage return and erase-to-end-of-line redraw the line in place.
  std::fprintf(out_, "\r%s\033[K", FormatProgressLine(progress, elapsed).c_str());
  std::fflush(out_);
}

void TerminalProgress::Finish() {
  if (!drawn_) return;
  std::fputc('\n', out_);
  std::fflush(out_);
  drawn_ = false;
}

}  // namespace qae::cli
