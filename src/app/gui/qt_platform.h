// The main dialog in Qt Widgets: the window with the dialog's controls, and
// the platform that lets the dialog model drive it. Only this folder uses
// Qt; the model and everything it calls build without it.
#pragma once

#include <QCheckBox>
#include <QDialog>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTimer>

#include <functional>
#include <map>
#include <memory>
#include <string>

#include "app/dialog_model.h"
#include "app/headless_platform.h"

namespace qae::gui {

// The window: "Input file..." with the read-only parameter-file field, the
// range field, "Go" and "Auto close" on one row, and the multi-line
// read-only status below. Each control's object name is "idc<id>" (for
// example "idc1004" for "Go"), so tests and tools can find it by its id.
class MainDialogWindow : public QDialog {
 public:
  MainDialogWindow();

  QWidget* Control(int id) const;

  QPushButton* inputFileButton;
  QLineEdit* parFileEdit;
  QLineEdit* aeRangeEdit;
  QPushButton* goButton;
  QCheckBox* autoCloseCheck;
  QPlainTextEdit* statusEdit;

  // Opens the about box ("Quorvex_AE, Version 1.0").
  void ShowAbout();
};

// Runs the dialog model on a MainDialogWindow. Processes, the document
// opener and the executable path come from HeadlessPlatform.
class QtPlatform : public HeadlessPlatform {
 public:
  QtPlatform();
  ~QtPlatform() override;

  // Creates the window for `dialog`, wires its buttons to OnGo and
  // OnInputFile, calls OnInitDialog and shows the window without waiting.
  void Show(CQuorvex_AEDlg& dialog);

  // Show, then wait until the window closes; OnDestroy follows.
  int RunModal(CQuorvex_AEDlg& dialog) override;
  void EndDialog(int result) override;

  void ReadControls(DialogFields* fields) override;
  void WriteControls(const DialogFields& fields) override;
  void EnableControl(int id, bool enabled) override;
  void Repaint() override;

  void StartTimer(int id, int period_ms) override;
  void StopTimer(int id) override;

  void BeginWaitCursor() override;
  void EndWaitCursor() override;

  int ScreenWidth() override;
  int ScreenHeight() override;
  int ClientWidth() override;
  void MoveWindow(int x, int y) override;

  std::string ChooseFile(const std::string& title, const std::string& filter) override;

  // The window while it exists (after Show).
  MainDialogWindow* window() const { return window_.get(); }

 private:
  std::unique_ptr<MainDialogWindow> window_;
  CQuorvex_AEDlg* dialog_ = nullptr;
  std::map<int, std::unique_ptr<QTimer>> timers_;
  QTimer reaper_;
  int wait_cursors_ = 0;
};

}  // namespace qae::gui
