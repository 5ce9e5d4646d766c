#include "app/dialog_model.h"

#include <cmath>
#include <optional>

#include "app/launch_argument.h"
#include "util/crt_random.h"
#include "util/process.h"

namespace qae {

namespace {

// A draw of the generator (0..32767) as a pixel offset of 0..100.
int PlacementOffset(int draw) {
  return static_cast<int>(std::floor(draw * 100.0 / 32768.0 + 0.5));
}

}  // namespace

std::string DirectoryOf(std::string_view path) {
  const std::size_t cut = path.find_last_of("/\\");
  if (cut == std::string_view::npos) return std::string();
  return std::string(path.substr(0, cut + 1));
}

void DialogPlacement(int screen_width, int screen_height, int client_width, int draw1,
                     int draw2, int* x, int* y) {
  *x = screen_width - client_width - PlacementOffset(draw1);
  *y = static_cast<int>(std::floor(PlacementOffset(draw2) + 0.05 * screen_height));
}

CQuorvex_AEDlg::CQuorvex_AEDlg(Platform& platform) : platform_(platform) {}

void CQuorvex_AEDlg::RefreshFromControls() {
  DialogFields fields;
  platform_.ReadControls(&fields);
  parFile = fields.parFile;
  aeRange = fields.aeRange;
  autoClose = fields.autoClose;
  status = fields.status;
}

void CQuorvex_AEDlg::RefreshControls() {
  platform_.WriteControls(DialogFields{parFile, aeRange, autoClose, status});
}

std::string CQuorvex_AEDlg::ChooseParameterFile() {
  return platform_.ChooseFile(kChooserTitle, kChooserFilter);
}

RunRangeResult CQuorvex_AEDlg::RunRange(const std::string& par_file, int first, int last) {
  if (run_range_) return run_range_(par_file, first, last);
  // Warnings and lost outputs must reach the user even when no window shows
  // them (a launched instance that closes itself).
  RunOptions options;
  options.onWarning = [this](const std::string& w) { platform_.ReportError("warning: " + w); };
  options.onLoss = [this](const std::string& loss) { platform_.ReportError(loss); };
  return ::qae::RunRange(par_file, first, last, options);
}

void CQuorvex_AEDlg::OnInitDialog() {
  // Every instance draws the same two values (the generator is never
  // seeded); the run that follows continues from the third.
  const int draw1 = CrtRand();
  const int draw2 = CrtRand();
  int x = 0;
  int y = 0;
  DialogPlacement(platform_.ScreenWidth(), platform_.ScreenHeight(), platform_.ClientWidth(),
                  draw1, draw2, &x, &y);
  platform_.MoveWindow(x, y);

  if (!parFile.empty() || !launchError.empty()) {
    // A launched instance: its run starts from the timer, so that the
    // window is up and shows what it is doing first.
    status = launchError.empty() ? kStatusCalculating : launchError;
    RefreshControls();
    platform_.EnableControl(kIdGo, false);
    platform_.EnableControl(kIdInputFile, false);
    platform_.EnableControl(kIdAeRange, false);
    platform_.Repaint();
    platform_.StartTimer(kStartTimerId, kStartTimerPeriodMs);
    timerId = kStartTimerId;
  } else {
    status = kStatusHint;
    RefreshControls();
  }
}

void CQuorvex_AEDlg::OnGo() {
  RefreshFromControls();
  if (parFile.empty()) {
    parFile = ChooseParameterFile();
    if (parFile.empty()) return;
  }
  // Both forms of the range are accepted, exactly; anything else (a tail,
  // a reversed range) gets the same guidance as an empty text rather than a
  // run over whatever numbers reading it left behind.
  std::string why;
  const std::optional<AeRange> range = ParseAeRangeStrict(aeRange, &why);
  if (!range) {
    status = kStatusGiveRange;
    RefreshControls();
    return;
  }
  if (range->step >= 1) {
    LaunchMultipleRuns(range->first, range->last, range->step);
    return;
  }
  platform_.BeginWaitCursor();
  RunAndReport(range->first, range->last);
  platform_.EndWaitCursor();
}

void CQuorvex_AEDlg::LaunchMultipleRuns(int first, int last, int step) {
  launched.clear();
  std::vector<SubRange> plan;
  std::string problem = LaunchablePathProblem(parFile);
  if (problem.empty()) PlanSubRanges(first, last, step, &plan, &problem);
  if (!problem.empty()) {
    status = problem;
    RefreshControls();
    return;
  }
  status = kStatusLaunching;
  const std::string executable =
      DirectoryOf(platform_.ExecutablePath()) + ExecutableFileName(kExecutableName);
  LaunchOutcome outcome =
      LaunchRuns(platform_, executable, parFile, plan, launch_spacing_ms_, true);
  launched = std::move(outcome.started);
  if (!outcome.error.empty()) {
    // A launch that failed is shown at once; the dialog keeps the ones that
    // did start listed in `launched`.
    status = std::string(kStatusLaunching) + "\n" + outcome.error;
    RefreshControls();
  }
}

void CQuorvex_AEDlg::RunAndReport(int first, int last) {
  const RunRangeResult result = RunRange(parFile, first, last);
  exitCode = RunExitStatus(result);
  if (exitCode == kRunComplete) {
    status = kStatusEnded;
  } else if (exitCode == kRunNothingToScan) {
    status = std::string(kStatusEnded) + "\nNothing to scan: not one record of " +
             std::to_string(first) + " to " + std::to_string(last) + " could be read";
  } else {
    // "Ended!" alone would read as a finished run.
    status = std::string(kStatusEnded) + "\nThe run did not complete: " +
             (result.error.empty() ? std::string("unknown reason") : result.error);
  }
  RefreshControls();
}

void CQuorvex_AEDlg::OnTimer(int /*id*/) {
  if (timerId != 0) platform_.StopTimer(timerId);
  timerId = 0;

  if (!launchError.empty()) {
    status = launchError;
    exitCode = kExitBadArgument;
    RefreshControls();
  } else {
    platform_.BeginWaitCursor();
    // The range a launched instance received, "first,last;".
    std::string why;
    const std::optional<AeRange> range = ParseAeRangeStrict(aeRange, &why);
    if (range) {
      RunAndReport(range->first, range->last);
    } else {
      status = kStatusGiveRange;
      exitCode = kExitBadArgument;
      RefreshControls();
    }
    platform_.EndWaitCursor();
  }
  if (autoClose) platform_.EndDialog(1);
}

void CQuorvex_AEDlg::OnInputFile() {
  parFile = ChooseParameterFile();
  if (parFile.empty()) return;
  aeRange = kInputFileAeRange;
  RefreshControls();
  platform_.Repaint();
  std::string error;
  if (!platform_.OpenDocument(parFile, &error)) {
    status = "Could not open " + parFile + " for viewing: " + error;
    RefreshControls();
  }
}

void CQuorvex_AEDlg::OnDestroy() {
  if (timerId != 0) {
    platform_.StopTimer(timerId);
    timerId = 0;
  }
}

int CQuorvex_AEApp::InitInstance(const std::string& argument) {
  CQuorvex_AEDlg dialog(platform_);
  if (run_range_) dialog.SetRunRange(run_range_);
  if (IsLaunchArgument(argument)) {
    // Launched instances always close themselves, a malformed one too, so
    // that no window or process is left waiting for someone.
    dialog.autoClose = true;
    LaunchArgument launch;
    std::string error;
    if (ParseLaunchArgument(argument, &launch, &error)) {
      dialog.parFile = launch.parFile;
      dialog.aeRange = launch.aeRange;
      // Until its run completes: a window closed before the start timer
      // fired must not read as a finished run to whoever waits for it.
      dialog.exitCode = kExitRunFailed;
    } else {
      dialog.launchError = error;
      dialog.exitCode = kExitBadArgument;
      platform_.ReportError(error);
    }
  }
  platform_.RunModal(dialog);
  return dialog.exitCode;
}

}  // namespace qae
