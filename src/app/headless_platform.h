// The platform without a window: real processes, the desktop's document
// opener and the executable's own path (util/process.h), with the dialog
// kept in memory. It is what a launched instance runs on when no display is
// available (the status goes to stderr instead of a window), what
// `Quorvex_AE run` launches with, and the base of the Qt dialog's platform.
#pragma once

#include <chrono>
#include <map>
#include <string>
#include <vector>

#include "app/platform.h"

namespace qae {

class HeadlessPlatform : public Platform {
 public:
  HeadlessPlatform() = default;
  ~HeadlessPlatform() override = default;

  // Headless: calls OnInitDialog, then sleeps until the earliest running
  // timer is due and delivers it, until EndDialog is called or no timer is
  // left; then OnDestroy.
  int RunModal(CQuorvex_AEDlg& dialog) override;
  void EndDialog(int result) override;

  void ReadControls(DialogFields* fields) override;
  // Each new status text goes to stderr, one line per line of it.
  void WriteControls(const DialogFields& fields) override;
  void EnableControl(int /*id*/, bool /*enabled*/) override {}
  void Repaint() override {}

  void StartTimer(int id, int period_ms) override;
  void StopTimer(int id) override;

  void BeginWaitCursor() override {}
  void EndWaitCursor() override {}

  int ScreenWidth() override { return 0; }
  int ScreenHeight() override { return 0; }
  int ClientWidth() override { return 0; }
  void MoveWindow(int /*x*/, int /*y*/) override {}

  // No chooser without a window: always "cancelled".
  std::string ChooseFile(const std::string& title, const std::string& filter) override;

  // Opens `path` in the desktop's program for it (xdg-open on POSIX,
  // ShellExecute on Windows).
  bool OpenDocument(const std::string& path, std::string* error) override;

  // Starts `executable` with argv {executable, argument}; the child
  // inherits the environment, the working directory and the standard
  // streams. A missing or non-executable file fails here.
  bool StartProcess(const std::string& executable, const std::string& argument,
                    StartedProcess* started, std::string* error) override;

  // From the system (/proc/self/exe, GetModuleFileNameW).
  std::string ExecutablePath() override;

  // SpinWait(ms).
  void Wait(int ms) override;

  // To stderr.
  void ReportError(const std::string& message) override;

  // Collects the exit status of every started child that has ended, so that
  // a long-lived dialog does not accumulate finished processes. Never
  // blocks. Not called on its own: a caller that waits for its children
  // itself (`run --wait`) must get their status first.
  void ReapFinishedChildren();

 protected:
  bool ended() const { return ended_; }

 private:
  void PrintStatus(const std::string& text);

  DialogFields fields_;
  std::string last_printed_;
  struct Timer {
    std::chrono::milliseconds period{0};
    std::chrono::steady_clock::time_point due;
  };
  std::map<int, Timer> timers_;
  std::vector<long> children_;
  bool ended_ = false;
  int result_ = 0;
};

// Turns a file filter written as "description|pattern|...||" into name
// filters "description (pattern)" separated by ";;"; a description that
// already shows its pattern in parentheses is kept as it is, so
// "(*.txt)|*.txt||" becomes "(*.txt)".
std::string ToNameFilter(const std::string& filter);

// A launched instance without a window: the application object on a
// HeadlessPlatform. Returns the instance's exit code.
int RunHeadlessInstance(const std::string& argument);

}  // namespace qae
