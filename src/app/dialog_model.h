// The application object and the main dialog, as operations on a small
// model: the four bound fields, the start timer, and the handlers of the
// dialog's buttons and timer. Everything the window system does for them
// goes through a Platform (app/platform.h), so the same model runs under the
// Qt dialog, headless in a launched instance, and in tests.
//
// All of it runs on one thread: a run blocks its handler until it ends, and
// parallelism comes only from the separate processes that "Go" starts.
#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "app/multiple_runs.h"
#include "app/platform.h"
#include "app/run_range.h"

namespace qae {

// Texts of the dialog.
inline constexpr const char* kDialogTitle = "Quorvex_AE";
inline constexpr const char* kAboutText = "Quorvex_AE, Version 1.0";
inline constexpr const char* kInitialAeRange = "0,2500,+=250";
inline constexpr const char* kInputFileAeRange = "0,100,+=0";
inline constexpr const char* kChooserTitle = "Select the *ML_CC_AE_pars.txt file.";
inline constexpr const char* kChooserFilter = "(*.txt)|*.txt||";
inline constexpr const char* kStatusLaunching = "Lunch new runs...";
inline constexpr const char* kStatusEnded = "Ended!";
inline constexpr const char* kStatusCalculating = "In calculation, taking a few hours to days...";
inline constexpr const char* kStatusHint =
    "\"0,1500,+=500\" for multiple runs or \"0,1500,+=0\" for a single run!";
inline constexpr const char* kStatusGiveRange =
    "Give AE numbers as \"0,1500,+=500\" for multiple runs or \"0,1500,+=0\" for a single run "
    "in the text box!";

// Id and period of the timer that starts a launched instance's run.
inline constexpr int kStartTimerId = 2;
inline constexpr int kStartTimerPeriodMs = 1000;

// Exit codes of an instance (the result of InitInstance), those of a run.
inline constexpr int kExitOk = kRunComplete;
inline constexpr int kExitRunFailed = kRunIncomplete;  // the run did not complete
inline constexpr int kExitBadArgument = kRunBadInput;  // malformed launch argument: nothing ran
inline constexpr int kExitNothingToScan = kRunNothingToScan;

// The single run: parameter file, first and last AE number (inclusive).
using RunRangeFn = std::function<RunRangeResult(const std::string&, int, int)>;

// The text up to and including the last '/' or '\', whichever comes later;
// empty when `path` has neither.
std::string DirectoryOf(std::string_view path);

// The dialog's window position for its two placement draws (each a value
// 0..32767 of the process's generator): x = screen width - client width -
// r1, y = floor(r2 + 0.05 x screen height), with r = floor(draw x 100 /
// 32768 + 0.5).
void DialogPlacement(int screen_width, int screen_height, int client_width, int draw1,
                     int draw2, int* x, int* y);

class CQuorvex_AEDlg {
 public:
  // `platform` must outlive the dialog.
  explicit CQuorvex_AEDlg(Platform& platform);

  // Bound fields (shown only after RefreshControls, read back only by
  // RefreshFromControls).
  std::string parFile;
  std::string aeRange = kInitialAeRange;
  bool autoClose = false;
  std::string status;

  int timerId = 0;  // id of the running start timer, 0 when none

  // Set by the application object when the command line was meant for a
  // launched instance but is malformed: the instance shows it, runs nothing
  // and ends with "Auto close".
  std::string launchError;

  // The instance's exit code: kExitOk, kExitRunFailed when the last run
  // did not complete (or a launched instance's run never started),
  // kExitBadArgument for a malformed launch argument.
  int exitCode = kExitOk;

  // The instances the last "Go" started.
  std::vector<LaunchedRun> launched;

  void OnInitDialog();
  void OnGo();
  void OnInputFile();
  void OnTimer(int id);
  void OnDestroy();

  void RefreshFromControls();
  void RefreshControls();

  // The file-open dialog for the parameter file; empty when cancelled.
  std::string ChooseParameterFile();

  // The single run shared by "Go" and the start timer; through the hook set
  // with SetRunRange (qae::RunRange unless replaced).
  RunRangeResult RunRange(const std::string& par_file, int first, int last);
  void SetRunRange(RunRangeFn run_range) { run_range_ = std::move(run_range); }

  // Spacing of launches in SpinWait milliseconds (kLaunchSpacingMs).
  void SetLaunchSpacing(int ms) { launch_spacing_ms_ = ms; }

 private:
  // Runs first..last here and leaves "Ended!" (with the reason below it when
  // the run did not complete) in `status`.
  void RunAndReport(int first, int last);
  void LaunchMultipleRuns(int first, int last, int step);

  Platform& platform_;
  RunRangeFn run_range_;
  int launch_spacing_ms_ = kLaunchSpacingMs;
};

class CQuorvex_AEApp {
 public:
  explicit CQuorvex_AEApp(Platform& platform) : platform_(platform) {}

  // Start-up: creates the dialog, fills it from `argument` when that is a
  // launch argument ("P;10;20;" gives parFile P, aeRange "10,20;" and Auto
  // close; a malformed one is reported and run as nothing), shows it
  // modally and returns the instance's exit code when it closes.
  int InitInstance(const std::string& argument);

  void SetRunRange(RunRangeFn run_range) { run_range_ = std::move(run_range); }

 private:
  Platform& platform_;
  RunRangeFn run_range_;
};

}  // namespace qae
