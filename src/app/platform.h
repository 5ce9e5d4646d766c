// What the main dialog needs from the window system and the operating
// system, and nothing more: the dialog model (app/dialog_model.h) calls only
// this interface, so it runs the same under the Qt dialog, headless, and in
// tests under a recording implementation.
#pragma once

#include <string>

namespace qae {

class CQuorvex_AEDlg;

// What a window-system front end returns when it cannot show a window (no
// display); the caller then goes on without one.
inline constexpr int kNoDisplay = -1;

// Control ids of the main dialog.
inline constexpr int kIdInputFile = 1000;  // push button "Input file..."
inline constexpr int kIdParFile = 1001;    // read-only edit: the parameter file
inline constexpr int kIdStatus = 1003;     // multi-line read-only edit: the status
inline constexpr int kIdGo = 1004;         // push button "Go"
inline constexpr int kIdAutoClose = 1005;  // check box "Auto close"
inline constexpr int kIdAeRange = 1052;    // edit: the AE range text

// The four values bound to the dialog's controls.
struct DialogFields {
  std::string parFile;
  std::string aeRange;
  bool autoClose = false;
  std::string status;
};

// A started process.
struct StartedProcess {
  long pid = 0;
};

class Platform {
 public:
  virtual ~Platform() = default;

  // Shows `dialog` modally: calls its OnInitDialog, delivers its timers
  // until EndDialog is called (or the user closes the window), calls its
  // OnDestroy, and returns the result given to EndDialog (0 when the window
  // was closed otherwise).
  virtual int RunModal(CQuorvex_AEDlg& dialog) = 0;
  virtual void EndDialog(int result) = 0;

  // Explicit transfer between the controls and the dialog's fields.
  virtual void ReadControls(DialogFields* fields) = 0;
  virtual void WriteControls(const DialogFields& fields) = 0;
  virtual void EnableControl(int id, bool enabled) = 0;
  virtual void Repaint() = 0;

  // A timer calls the dialog's OnTimer(id) every `period_ms` until stopped.
  virtual void StartTimer(int id, int period_ms) = 0;
  virtual void StopTimer(int id) = 0;

  virtual void BeginWaitCursor() = 0;
  virtual void EndWaitCursor() = 0;

  // Screen size and the window's client width in pixels (0 when there is
  // no screen), and moving the window without resizing or restacking it.
  virtual int ScreenWidth() = 0;
  virtual int ScreenHeight() = 0;
  virtual int ClientWidth() = 0;
  virtual void MoveWindow(int x, int y) = 0;

  // A file-open dialog; empty when the user cancels. `filter` is written as
  // "(*.txt)|*.txt||": description and pattern pairs separated by '|'.
  virtual std::string ChooseFile(const std::string& title, const std::string& filter) = 0;

  // Opens a document in the desktop's program for it. False with `error`
  // set when no viewer could be started.
  virtual bool OpenDocument(const std::string& path, std::string* error) = 0;

  // Starts `executable` with `argument` as its one argument. False with
  // `error` set when the process could not be started (the executable is
  // missing or not executable, no process slot).
  virtual bool StartProcess(const std::string& executable, const std::string& argument,
                            StartedProcess* started, std::string* error) = 0;

  // Full path of the running executable ("" when unknown).
  virtual std::string ExecutablePath() = 0;

  // The wait between two launches (SpinWait).
  virtual void Wait(int ms) = 0;

  // A message that must reach the user even when no window shows it.
  virtual void ReportError(const std::string& message) = 0;
};

}  // namespace qae
