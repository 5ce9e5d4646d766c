// The dialog model driven through a recording platform: which instances it
// launches with which arguments and waits, what it runs, what it shows.
#include "app/dialog_model.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/headless_platform.h"
#include "util/crt_random.h"
#include "util/process.h"

namespace {

using qae::CQuorvex_AEApp;
using qae::CQuorvex_AEDlg;

struct RunCall {
  std::string par_file;
  int first = 0;
  int last = 0;
  bool operator==(const RunCall&) const = default;
};

// Keeps the controls in memory and records every platform call. Timers are
// delivered at once by RunModal, in simulated time.
class RecordingPlatform : public qae::Platform {
 public:
  int RunModal(CQuorvex_AEDlg& dialog) override {
    dialog.OnInitDialog();
    while (!ended && !timers.empty() && !closed_by_user) {
      const int id = timers.begin()->first;
      simulated_ms += timers.begin()->second;
      dialog.OnTimer(id);
    }
    dialog.OnDestroy();
    return end_result;
  }
  void EndDialog(int result) override {
    ended = true;
    end_result = result;
  }
  void ReadControls(qae::DialogFields* f) override { *f = controls; }
  void WriteControls(const qae::DialogFields& f) override { controls = f; }
  void EnableControl(int id, bool enabled) override {
    (enabled ? enabled_ids : disabled_ids).push_back(id);
  }
  void Repaint() override { ++repaints; }
  void StartTimer(int id, int period_ms) override { timers[id] = period_ms; }
  void StopTimer(int id) override {
    timers.erase(id);
    stopped_timers.push_back(id);
  }
  void BeginWaitCursor() override { ++wait_cursor; }
  void EndWaitCursor() override { --wait_cursor; }
  int ScreenWidth() override { return 1920; }
  int ScreenHeight() override { return 1080; }
  int ClientWidth() override { return 400; }
  void MoveWindow(int x, int y) override { moved_to = {x, y}; }
  std::string ChooseFile(const std::string& title, const std::string& filter) override {
    chooser_calls.push_back(title + "|" + filter);
    return chosen;
  }
  bool OpenDocument(const std::string& path, std::string* error) override {
    opened.push_back(path);
    if (!open_error.empty()) *error = open_error;
    return open_error.empty();
  }
  bool StartProcess(const std::string& executable, const std::string& argument,
                    qae::StartedProcess* started, std::string* error) override {
    if (static_cast<int>(arguments.size()) == fail_launch_at) {
      *error = "No such file or directory";
      return false;
    }
    executables.push_back(executable);
    arguments.push_back(argument);
    events.push_back("start " + argument);
    started->pid = 100 + static_cast<long>(arguments.size());
    return true;
  }
  std::string ExecutablePath() override { return "/opt/qae/bin/Quorvex_AE"; }
  void Wait(int ms) override { events.push_back("wait " + std::to_string(ms)); }
  void ReportError(const std::string& message) override { errors.push_back(message); }

  qae::DialogFields controls;
  std::vector<int> enabled_ids, disabled_ids, stopped_timers;
  std::map<int, int> timers;
  long simulated_ms = 0;
  int repaints = 0;
  int wait_cursor = 0;
  std::pair<int, int> moved_to{-1, -1};
  std::string chosen;
  std::string open_error;
  std::vector<std::string> chooser_calls, opened, executables, arguments, events, errors;
  int fail_launch_at = -1;
  bool closed_by_user = false;  // the window is closed before any timer fires
  bool ended = false;
  int end_result = 0;
};

class DialogModelTest : public ::testing::Test {
 protected:
  void SetUp() override { qae::ResetCrtRandForTesting(); }

  // A run that records its call and succeeds.
  qae::RunRangeFn Recorder() {
    return [this](const std::string& par, int first, int last) {
      runs_.push_back({par, first, last});
      qae::RunRangeResult r;
      r.parametersRead = true;
      r.detected = 1;
      return r;
    };
  }

  // The dialog after start-up, with `range` typed and `par` chosen, and
  // "Go" pressed.
  void PressGo(CQuorvex_AEDlg& dialog, const std::string& par, const std::string& range) {
    dialog.SetRunRange(Recorder());
    dialog.OnInitDialog();
    platform_.controls.parFile = par;
    platform_.controls.aeRange = range;
    dialog.OnGo();
  }

  RecordingPlatform platform_;
  std::vector<RunCall> runs_;
};

TEST_F(DialogModelTest, SteppedRangesLaunchOneInstancePerSubRangeWithWaits) {
  struct Case {
    const char* range;
    std::vector<std::string> ranges;
  };
  const Case cases[] = {
      {"0,1500,+=500", {"0;499;", "500;999;", "1000;1499;"}},
      {"0,1000,+=300", {"0;299;", "300;599;", "600;899;", "900;999;"}},
      {"100,100,+=50", {}},
      {"2147483000,2147483647,+=500", {"2147483000;2147483499;", "2147483500;2147483646;"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.range);
    RecordingPlatform platform;
    CQuorvex_AEDlg dialog(platform);
    dialog.SetRunRange(Recorder());
    dialog.OnInitDialog();
    platform.controls.parFile = "/exp/ML_CC_AE_pars.txt";
    platform.controls.aeRange = c.range;
    dialog.OnGo();
    std::vector<std::string> expected;
    for (const std::string& r : c.ranges) {
      expected.push_back("start /exp/ML_CC_AE_pars.txt;" + r);
      expected.push_back("wait 10000");
    }
    EXPECT_EQ(platform.events, expected);
    for (const std::string& exe : platform.executables) {
      EXPECT_EQ(exe, "/opt/qae/bin/" + qae::ExecutableFileName("Quorvex_AE"));
    }
    EXPECT_EQ(dialog.launched.size(), c.ranges.size());
    if (!c.ranges.empty()) {
      EXPECT_EQ(dialog.status, "Lunch new runs...");
    }
  }
  EXPECT_TRUE(runs_.empty());
}

TEST_F(DialogModelTest, StepZeroRunsTheWholeRangeHereAndShowsEnded) {
  CQuorvex_AEDlg dialog(platform_);
  PressGo(dialog, "/exp/pars.txt", "0,1500,+=0");
  EXPECT_EQ(runs_, (std::vector<RunCall>{{"/exp/pars.txt", 0, 1500}}));
  EXPECT_EQ(platform_.controls.status, "Ended!");
  EXPECT_EQ(platform_.wait_cursor, 0);
  EXPECT_TRUE(platform_.arguments.empty());

  // The launch form of the range (no step) is a single run too.
  PressGo(dialog, "/exp/pars.txt", "10,20;");
  EXPECT_EQ(runs_.back(), (RunCall{"/exp/pars.txt", 10, 20}));
}

TEST_F(DialogModelTest, ARangeOfNeitherFormGivesGuidanceAndRunsNothing) {
  const std::string guidance =
      "Give AE numbers as \"0,1500,+=500\" for multiple runs or \"0,1500,+=0\" for a single "
      "run in the text box!";
  // A reversed range and a tail after the numbers are refused the same way.
  for (const char* range : {"", "abc", "0;1500", "5", ",5,+=1", "1,99999999999,+=0", "46,1,+=0",
                            "1,46,step=0", "0,1500,+=500 x"}) {
    SCOPED_TRACE(range);
    CQuorvex_AEDlg dialog(platform_);
    PressGo(dialog, "/exp/pars.txt", range);
    EXPECT_EQ(platform_.controls.status, guidance);
  }
  EXPECT_TRUE(runs_.empty());
  EXPECT_TRUE(platform_.arguments.empty());
}

TEST_F(DialogModelTest, GoWithoutParameterFileAsksForOneAndStopsWhenCancelled) {
  CQuorvex_AEDlg dialog(platform_);
  PressGo(dialog, "", "0,10,+=0");
  EXPECT_EQ(platform_.chooser_calls,
            std::vector<std::string>{"Select the *ML_CC_AE_pars.txt file.|(*.txt)|*.txt||"});
  EXPECT_TRUE(runs_.empty());

  platform_.chosen = "/picked/pars.txt";
  PressGo(dialog, "", "0,10,+=0");
  EXPECT_EQ(runs_, (std::vector<RunCall>{{"/picked/pars.txt", 0, 10}}));
}

TEST_F(DialogModelTest, AFailedLaunchIsReportedAndStopsTheLaunching) {
  platform_.fail_launch_at = 1;
  CQuorvex_AEDlg dialog(platform_);
  PressGo(dialog, "/exp/pars.txt", "0,1000,+=300");
  EXPECT_EQ(platform_.events,
            (std::vector<std::string>{"start /exp/pars.txt;0;299;", "wait 10000"}));
  EXPECT_EQ(dialog.launched.size(), 1u);
  EXPECT_EQ(platform_.controls.status,
            "Lunch new runs...\nCould not start instance 2 of 4 (AE 300 to 599): "
            "/opt/qae/bin/" + qae::ExecutableFileName("Quorvex_AE") +
                ": No such file or directory");
}

TEST_F(DialogModelTest, LaunchesThatCannotWorkAreRefusedBeforeAnyStarts) {
  CQuorvex_AEDlg dialog(platform_);
  // A ';' in the path would end the path early in the launched instance.
  PressGo(dialog, "/exp;old/pars.txt", "0,1000,+=300");
  EXPECT_NE(platform_.controls.status.find("contains ';'"), std::string::npos);
  // A step that would start thousands of instances is a typing error.
  PressGo(dialog, "/exp/pars.txt", "0,150000,+=10");
  EXPECT_NE(platform_.controls.status.find("15000 instances"), std::string::npos)
      << platform_.controls.status;
  EXPECT_TRUE(platform_.events.empty());
}

TEST_F(DialogModelTest, ARunThatDidNotCompleteIsNotReportedAsEnded) {
  CQuorvex_AEDlg dialog(platform_);
  dialog.SetRunRange([](const std::string&, int, int) {
    qae::RunRangeResult r;
    r.error = "cannot open parameter file /x/pars.txt: No such file or directory";
    return r;
  });
  dialog.OnInitDialog();
  platform_.controls.parFile = "/x/pars.txt";
  platform_.controls.aeRange = "0,5,+=0";
  dialog.OnGo();
  EXPECT_EQ(platform_.controls.status,
            "Ended!\nThe run did not complete: cannot open parameter file /x/pars.txt: No such "
            "file or directory");
  // An unreadable parameter file is bad input, not a failed run.
  EXPECT_EQ(dialog.exitCode, qae::kExitBadArgument);
}

TEST_F(DialogModelTest, StartUpPlacesTheWindowFromTwoDrawsAndShowsTheHint) {
  CQuorvex_AEDlg dialog(platform_);
  dialog.OnInitDialog();
  // Draws 41 and 18467 give offsets 0 and 56: x = 1920 - 400 - 0,
  // y = floor(56 + 54).
  EXPECT_EQ(platform_.moved_to, std::make_pair(1520, 110));
  EXPECT_EQ(qae::CrtRand(), 6334);  // the run continues from the third draw
  EXPECT_EQ(platform_.controls.aeRange, "0,2500,+=250");
  EXPECT_FALSE(platform_.controls.autoClose);
  EXPECT_EQ(platform_.controls.status,
            "\"0,1500,+=500\" for multiple runs or \"0,1500,+=0\" for a single run!");
  EXPECT_TRUE(platform_.timers.empty());
  EXPECT_TRUE(platform_.disabled_ids.empty());

  int x = 0;
  int y = 0;
  qae::DialogPlacement(1000, 999, 300, 32767, 16384, &x, &y);
  EXPECT_EQ(x, 1000 - 300 - 100);
  EXPECT_EQ(y, 50 + 49);  // floor(50 + 49.95)
}

TEST_F(DialogModelTest, ALaunchedInstanceRunsItsRangeFromTheTimerAndCloses) {
  CQuorvex_AEApp app(platform_);
  app.SetRunRange(Recorder());
  const int exit_code = app.InitInstance("/exp dir/ML_CC_AE_pars.txt;500;999;");
  EXPECT_EQ(exit_code, qae::kExitOk);
  EXPECT_EQ(runs_, (std::vector<RunCall>{{"/exp dir/ML_CC_AE_pars.txt", 500, 999}}));
  EXPECT_EQ(platform_.controls.parFile, "/exp dir/ML_CC_AE_pars.txt");
  EXPECT_EQ(platform_.controls.aeRange, "500,999;");
  EXPECT_TRUE(platform_.controls.autoClose);
  EXPECT_EQ(platform_.controls.status, "Ended!");
  EXPECT_EQ(platform_.disabled_ids, (std::vector<int>{1004, 1000, 1052}));
  EXPECT_EQ(platform_.simulated_ms, 1000);
  EXPECT_EQ(platform_.stopped_timers, std::vector<int>{2});
  EXPECT_TRUE(platform_.ended);
  EXPECT_EQ(platform_.end_result, 1);
  EXPECT_EQ(platform_.wait_cursor, 0);
}

TEST_F(DialogModelTest, ALaunchedInstanceClosedBeforeItsRunDoesNotEndAsSuccess) {
  platform_.closed_by_user = true;
  CQuorvex_AEApp app(platform_);
  app.SetRunRange(Recorder());
  EXPECT_EQ(app.InitInstance("/exp/pars.txt;1;2;"), qae::kExitRunFailed);
  EXPECT_TRUE(runs_.empty());
  EXPECT_TRUE(platform_.timers.empty());  // stopped on closing
}

TEST_F(DialogModelTest, ALaunchArgumentWithALongPathIsCarriedWhole) {
  const std::string path = "/" + std::string(5000, 'd') + "/ML_CC_AE_pars.txt";
  CQuorvex_AEApp app(platform_);
  app.SetRunRange(Recorder());
  EXPECT_EQ(app.InitInstance(path + ";7;9;"), qae::kExitOk);
  EXPECT_EQ(runs_, (std::vector<RunCall>{{path, 7, 9}}));
}

TEST_F(DialogModelTest, AMalformedLaunchArgumentIsReportedRunsNothingAndCloses) {
  for (const char* argument : {"/p/pars.txt;500", "/p/pars.txt;x;9;", "/p/pars.txt;;;",
                               "/p/pars.txt;5;", "/p/pars.txt;5;99999999999;"}) {
    SCOPED_TRACE(argument);
    RecordingPlatform platform;
    CQuorvex_AEApp app(platform);
    app.SetRunRange(Recorder());
    EXPECT_EQ(app.InitInstance(argument), qae::kExitBadArgument);
    ASSERT_EQ(platform.errors.size(), 1u);
    EXPECT_EQ(platform.errors[0].rfind("Malformed command line \"", 0), 0u) << platform.errors[0];
    EXPECT_EQ(platform.controls.status, platform.errors[0]);
    EXPECT_TRUE(platform.ended);
  }
  EXPECT_TRUE(runs_.empty());
}

TEST_F(DialogModelTest, InputFileFillsTheRangeAndOpensTheFile) {
  CQuorvex_AEDlg dialog(platform_);
  dialog.OnInitDialog();
  dialog.OnInputFile();  // cancelled
  EXPECT_TRUE(platform_.opened.empty());
  EXPECT_EQ(platform_.controls.aeRange, "0,2500,+=250");

  platform_.chosen = "/exp/ML_CC_AE_pars.txt";
  dialog.OnInputFile();
  EXPECT_EQ(platform_.controls.parFile, "/exp/ML_CC_AE_pars.txt");
  EXPECT_EQ(platform_.controls.aeRange, "0,100,+=0");
  EXPECT_EQ(platform_.opened, std::vector<std::string>{"/exp/ML_CC_AE_pars.txt"});

  platform_.open_error = "xdg-open: No such file or directory";
  dialog.OnInputFile();
  EXPECT_EQ(platform_.controls.status,
            "Could not open /exp/ML_CC_AE_pars.txt for viewing: xdg-open: No such file or "
            "directory");
}

TEST_F(DialogModelTest, ClosingStopsAPendingStartTimer) {
  CQuorvex_AEDlg dialog(platform_);
  dialog.parFile = "/exp/pars.txt";
  dialog.aeRange = "1,2;";
  dialog.OnInitDialog();
  EXPECT_EQ(platform_.timers.count(2), 1u);
  dialog.OnDestroy();
  EXPECT_TRUE(platform_.timers.empty());
  EXPECT_EQ(dialog.timerId, 0);
}

TEST(DirectoryOfTest, CutsAfterTheLastSeparatorOfEitherKind) {
  EXPECT_EQ(qae::DirectoryOf("/usr/local/bin/Quorvex_AE"), "/usr/local/bin/");
  EXPECT_EQ(qae::DirectoryOf("C:\\Apps\\qae/bin\\Quorvex_AE.exe"), "C:\\Apps\\qae/bin\\");
  EXPECT_EQ(qae::DirectoryOf("C:\\Apps/qae"), "C:\\Apps/");
  EXPECT_EQ(qae::DirectoryOf("Quorvex_AE"), "");
  EXPECT_EQ(qae::DirectoryOf(""), "");
}

TEST(NameFilterTest, TurnsDescriptionPatternPairsIntoNameFilters) {
  EXPECT_EQ(qae::ToNameFilter("(*.txt)|*.txt||"), "(*.txt)");
  EXPECT_EQ(qae::ToNameFilter("Text|*.txt;*.dat|All|*||"), "Text (*.txt *.dat);;All (*)");
  EXPECT_EQ(qae::ToNameFilter(""), "");
}

}  // namespace
