// The main dialog in a native Win32 window: the dialog template and the
// About box come from quorvex_ae.rc (which must be linked into the
// executable), and the window parts of the Platform are done here with
// plain Win32 calls. What is not the window's (processes, opening a
// document, the executable path, waits, errors that must reach the user)
// goes to the headless platform given at construction, the one that runs a
// launched instance when no window can be shown.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <string>

#include "app/dialog_model.h"
#include "app/headless_platform.h"
#include "app/platform.h"

namespace qae::win32 {

// "description|pattern|...||" as GetOpenFileName wants it: the same pairs
// separated by NULs and closed by two.
std::wstring ToOpenFileFilter(const std::string& filter);

// Text between the model (lines end in "\n") and a multi-line edit control
// (lines end in "\r\n").
std::string ToEditLines(const std::string& text);
std::string FromEditLines(const std::string& text);

class Win32Platform : public Platform {
 public:
  // `system` must outlive this platform. While the window is up, it
  // collects the instances "Go" started once they have ended.
  explicit Win32Platform(HeadlessPlatform& system);
  ~Win32Platform() override;

  Win32Platform(const Win32Platform&) = delete;
  Win32Platform& operator=(const Win32Platform&) = delete;

  // DialogBox with the dialog template on this thread: OnInitDialog runs in
  // WM_INITDIALOG (before the window is first shown, so it appears where the
  // model places it), OnDestroy in WM_DESTROY. Returns the result given to
  // EndDialog, 0 when the user closed the window, and 0 after reporting
  // the error when the window could not be created.
  int RunModal(CQuorvex_AEDlg& dialog) override;
  void EndDialog(int result) override;

  void ReadControls(DialogFields* fields) override;
  void WriteControls(const DialogFields& fields) override;
  void EnableControl(int id, bool enabled) override;
  void Repaint() override;

  // Window timers: WM_TIMER calls the dialog's OnTimer(id).
  void StartTimer(int id, int period_ms) override;
  void StopTimer(int id) override;

  // Nested; the hourglass stays over the dialog until the last End.
  void BeginWaitCursor() override;
  void EndWaitCursor() override;

  // The primary screen, where the window is placed.
  int ScreenWidth() override;
  int ScreenHeight() override;
  int ClientWidth() override;
  void MoveWindow(int x, int y) override;

  // GetOpenFileName owned by the dialog. Leaves the working directory
  // alone: relative folders in the parameter file resolve against it.
  std::string ChooseFile(const std::string& title, const std::string& filter) override;

  // To the system platform.
  bool OpenDocument(const std::string& path, std::string* error) override;
  bool StartProcess(const std::string& executable, const std::string& argument,
                    StartedProcess* started, std::string* error) override;
  std::string ExecutablePath() override;
  void Wait(int ms) override;
  void ReportError(const std::string& message) override;

  // The modal About box ("Quorvex_AE, Version 1.0"), also reached from the
  // window menu.
  void ShowAbout();

  // The dialog window while it exists (from WM_INITDIALOG to WM_DESTROY).
  HWND window() const { return window_; }

 private:
  static INT_PTR CALLBACK DialogProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam);
  INT_PTR HandleMessage(UINT message, WPARAM wparam, LPARAM lparam);
  void InitWindow();
  std::string ControlText(int id) const;
  void SetControlText(int id, const std::string& text);

  HeadlessPlatform& system_;
  CQuorvex_AEDlg* dialog_ = nullptr;
  HWND window_ = nullptr;
  int wait_cursors_ = 0;
};

}  // namespace qae::win32
