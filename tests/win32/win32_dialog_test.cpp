// The Win32 dialog driven as a user drives it: the dialog runs its modal
// loop on a thread of its own while the test types into its controls,
// presses its buttons with window messages and reads back what the window
// shows. Processes, waits and the document opener are recorded instead of
// performed. Needs a desktop (Wine with an X display, or Windows); without
// one every test is skipped.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "app/dialog_model.h"
#include "app/headless_platform.h"
#include "app/win32/resource.h"
#include "app/win32/win32_dialog_app.h"
#include "app/win32/win32_platform.h"
#include "util/crt_random.h"

namespace {

using namespace std::chrono_literals;
using qae::win32::Win32Platform;

constexpr auto kPatience = 10s;

// What the Win32 platform hands on to the system, recorded.
class RecordingSystem : public qae::HeadlessPlatform {
 public:
  bool OpenDocument(const std::string& path, std::string* error) override {
    opened.push_back(path);
    if (!open_error.empty()) *error = open_error;
    return open_error.empty();
  }
  bool StartProcess(const std::string& executable, const std::string& argument,
                    qae::StartedProcess* started, std::string* /*error*/) override {
    executables.push_back(executable);
    arguments.push_back(argument);
    started->pid = 4000 + static_cast<long>(arguments.size());
    return true;
  }
  std::string ExecutablePath() override { return R"(C:\Program Files\Quorvex_AE\Quorvex_AE.exe)"; }
  void Wait(int ms) override { waits.push_back(ms); }
  void ReportError(const std::string& message) override { errors.push_back(message); }

  std::string open_error;
  std::vector<std::string> opened;
  std::vector<std::string> executables;
  std::vector<std::string> arguments;
  std::vector<int> waits;
  std::vector<std::string> errors;
};

// The real window with the file chooser answered from `chosen`, unless
// `real_chooser` is set.
class TestPlatform : public Win32Platform {
 public:
  using Win32Platform::Win32Platform;
  std::string ChooseFile(const std::string& title, const std::string& filter) override {
    if (real_chooser) return Win32Platform::ChooseFile(title, filter);
    chooser_requests.push_back(title + " " + filter);
    return chosen;
  }
  bool real_chooser = false;
  std::string chosen;
  std::vector<std::string> chooser_requests;
};

struct RunCall {
  std::string par_file;
  int first = 0;
  int last = 0;
};

qae::RunRangeResult Complete() {
  qae::RunRangeResult result;
  result.parametersRead = true;
  return result;
}

std::wstring Text(HWND window) {
  const auto length = static_cast<std::size_t>(SendMessageW(window, WM_GETTEXTLENGTH, 0, 0));
  std::wstring text(length + 1, L'\0');
  const auto copied = static_cast<std::size_t>(
      SendMessageW(window, WM_GETTEXT, text.size(), reinterpret_cast<LPARAM>(text.data())));
  text.resize(copied);
  return text;
}

std::wstring ControlText(HWND dialog, int id) { return Text(GetDlgItem(dialog, id)); }

void SetControlText(HWND dialog, int id, const wchar_t* text) {
  SendMessageW(GetDlgItem(dialog, id), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text));
}

// Selects what the field holds and types `text` over it, key by key.
void Type(HWND dialog, int id, const std::wstring& text) {
  HWND field = GetDlgItem(dialog, id);
  SendMessageW(field, EM_SETSEL, 0, -1);
  for (const wchar_t c : text) SendMessageW(field, WM_CHAR, c, 1);
}

// Returns once the button's handler has returned.
void Click(HWND dialog, int id) { SendMessageW(GetDlgItem(dialog, id), BM_CLICK, 0, 0); }

// For a handler that opens a modal window of its own.
void ClickLater(HWND dialog, int id) { PostMessageW(GetDlgItem(dialog, id), BM_CLICK, 0, 0); }

LONG_PTR Style(HWND dialog, int id) { return GetWindowLongPtrW(GetDlgItem(dialog, id), GWL_STYLE); }

bool WaitUntil(const std::function<bool()>& done) {
  const auto deadline = std::chrono::steady_clock::now() + kPatience;
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(20ms);
  }
  return true;
}

// The visible top-level window of `thread` titled `title`, or null.
HWND ThreadWindow(DWORD thread, const std::wstring& title) {
  struct Search {
    const std::wstring* title;
    HWND found;
  } search{&title, nullptr};
  EnumThreadWindows(
      thread,
      [](HWND window, LPARAM data) -> BOOL {
        auto* s = reinterpret_cast<Search*>(data);
        if (IsWindowVisible(window) && Text(window) == *s->title) {
          s->found = window;
          return FALSE;
        }
        return TRUE;
      },
      reinterpret_cast<LPARAM>(&search));
  return search.found;
}

// Runs `body` (a modal loop) on a thread of its own. Whatever windows are
// left when the test ends are closed, so a failed test does not hang.
class UiThread {
 public:
  explicit UiThread(std::function<void()> body)
      : thread_([this, body = std::move(body)] {
          id_ = GetCurrentThreadId();
          body();
          finished_ = true;
        }) {
    WaitUntil([this] { return id_ != 0; });
  }
  ~UiThread() {
    while (!finished_) {
      EnumThreadWindows(
          id_,
          [](HWND window, LPARAM) -> BOOL {
            PostMessageW(window, WM_CLOSE, 0, 0);
            return TRUE;
          },
          0);
      std::this_thread::sleep_for(20ms);
    }
    thread_.join();
  }

  HWND WaitForWindow(const std::wstring& title) {
    HWND found = nullptr;
    WaitUntil([&] { return (found = ThreadWindow(id_, title)) != nullptr || finished_; });
    return found;
  }
  bool WaitUntilFinished() { return WaitUntil([this] { return finished_.load(); }); }
  bool finished() const { return finished_; }

 private:
  std::atomic<DWORD> id_{0};
  std::atomic<bool> finished_{false};
  std::thread thread_;
};

// The dialog of the thread that calls it (from inside a run).
HWND OwnDialog() { return ThreadWindow(GetCurrentThreadId(), L"Quorvex_AE"); }

class Win32DialogTest : public testing::Test {
 protected:
  void SetUp() override {
    if (!qae::win32::DesktopAvailable()) {
      GTEST_SKIP() << "no desktop to show windows on (Wine needs an X display: DISPLAY)";
    }
    qae::ResetCrtRandForTesting();
  }
};

TEST(Win32DialogText, FiltersAndLineEndsForTheControls) {
  using qae::win32::FromEditLines;
  using qae::win32::ToEditLines;
  using qae::win32::ToOpenFileFilter;
  EXPECT_EQ(ToOpenFileFilter("(*.txt)|*.txt||"), std::wstring(L"(*.txt)\0*.txt\0", 15));
  EXPECT_EQ(ToOpenFileFilter("Parameters|*.txt|All files|*.*||"),
            std::wstring(L"Parameters\0*.txt\0All files\0*.*\0", 32));
  // Without the closing "||" the list must still end in two NULs.
  EXPECT_EQ(ToOpenFileFilter("Parameters|*.txt"), std::wstring(L"Parameters\0*.txt\0", 17));

  EXPECT_EQ(ToEditLines("Ended!\nThe run did not complete"),
            "Ended!\r\nThe run did not complete");
  EXPECT_EQ(ToEditLines("a\r\nb\n"), "a\r\nb\r\n");
  EXPECT_EQ(FromEditLines("Ended!\r\nNothing to scan\r\n"), "Ended!\nNothing to scan\n");
  // A lone CR is text, not a line end.
  EXPECT_EQ(FromEditLines("a\rb"), "a\rb");
  EXPECT_EQ(FromEditLines(ToEditLines("x\ny\n\nz")), "x\ny\n\nz");
}

TEST_F(Win32DialogTest, ShowsTheTextsControlsAndPlacement) {
  RecordingSystem system;
  TestPlatform platform(system);
  qae::CQuorvex_AEDlg dialog(platform);
  UiThread ui([&] { platform.RunModal(dialog); });
  HWND w = ui.WaitForWindow(L"Quorvex_AE");
  ASSERT_NE(w, nullptr);

  EXPECT_EQ(ControlText(w, qae::kIdInputFile), L"Input file...");
  EXPECT_EQ(ControlText(w, qae::kIdGo), L"Go");
  EXPECT_EQ(ControlText(w, qae::kIdAutoClose), L"Auto close");
  EXPECT_EQ(ControlText(w, qae::kIdParFile), L"");
  EXPECT_EQ(ControlText(w, qae::kIdAeRange), L"0,2500,+=250");
  EXPECT_EQ(ControlText(w, qae::kIdStatus),
            L"\"0,1500,+=500\" for multiple runs or \"0,1500,+=0\" for a single run!");
  EXPECT_EQ(IsDlgButtonChecked(w, qae::kIdAutoClose), static_cast<UINT>(BST_UNCHECKED));
  EXPECT_EQ(Style(w, qae::kIdAutoClose) & BS_TYPEMASK, BS_AUTOCHECKBOX);
  EXPECT_TRUE(Style(w, qae::kIdParFile) & ES_READONLY);
  EXPECT_FALSE(Style(w, qae::kIdAeRange) & ES_READONLY);
  EXPECT_TRUE(Style(w, qae::kIdStatus) & ES_READONLY);
  EXPECT_TRUE(Style(w, qae::kIdStatus) & ES_MULTILINE);
  // Neither button is the default: Enter must not start a run.
  EXPECT_NE(Style(w, qae::kIdGo) & BS_TYPEMASK, BS_DEFPUSHBUTTON);
  EXPECT_NE(Style(w, qae::kIdInputFile) & BS_TYPEMASK, BS_DEFPUSHBUTTON);
  for (const int id : {qae::kIdInputFile, qae::kIdParFile, qae::kIdAeRange, qae::kIdGo,
                       qae::kIdAutoClose, qae::kIdStatus}) {
    EXPECT_TRUE(IsWindowEnabled(GetDlgItem(w, id))) << "control " << id;
  }
  EXPECT_NE(SendMessageW(w, WM_GETICON, ICON_BIG, 0), 0);
  EXPECT_NE(SendMessageW(w, WM_GETICON, ICON_SMALL, 0), 0);

  // Near the top right corner, from the generator's first two draws (41 and
  // 18467, that is 0 and 56 pixels).
  RECT window{};
  RECT client{};
  GetWindowRect(w, &window);
  GetClientRect(w, &client);
  EXPECT_EQ(window.left, GetSystemMetrics(SM_CXSCREEN) - client.right);
  EXPECT_EQ(window.top, static_cast<int>(std::floor(56 + 0.05 * GetSystemMetrics(SM_CYSCREEN))));

  HMENU menu = GetSystemMenu(w, FALSE);
  wchar_t label[64] = {};
  ASSERT_GT(GetMenuStringW(menu, IDM_ABOUTBOX, label, 64, MF_BYCOMMAND), 0);
  EXPECT_STREQ(label, L"&About Quorvex_AE...");
}

TEST_F(Win32DialogTest, EnterStartsNothingAndEscapeCloses) {
  RecordingSystem system;
  TestPlatform platform(system);
  qae::CQuorvex_AEDlg dialog(platform);
  bool ran = false;
  dialog.SetRunRange([&ran](const std::string&, int, int) {
    ran = true;
    return Complete();
  });
  int result = -1;
  UiThread ui([&] { result = platform.RunModal(dialog); });
  HWND w = ui.WaitForWindow(L"Quorvex_AE");
  ASSERT_NE(w, nullptr);
  SetControlText(w, qae::kIdParFile, L"C:\\p\\pars.txt");
  Type(w, qae::kIdAeRange, L"0,5,+=0");
  // Keys go through the dialog's own loop, as typed ones do.
  HWND range = GetDlgItem(w, qae::kIdAeRange);
  PostMessageW(range, WM_KEYDOWN, VK_RETURN, 1);
  PostMessageW(range, WM_KEYUP, VK_RETURN, 0xC0000001);
  SendMessageW(w, WM_NULL, 0, 0);  // the posted keys are handled before this returns
  std::this_thread::sleep_for(200ms);
  EXPECT_FALSE(ran);
  EXPECT_FALSE(ui.finished());

  PostMessageW(range, WM_KEYDOWN, VK_ESCAPE, 1);
  ASSERT_TRUE(ui.WaitUntilFinished());
  EXPECT_EQ(result, 0);
  EXPECT_FALSE(ran);
}

TEST_F(Win32DialogTest, GoWithoutAStepRunsHereAndShowsTheOutcome) {
  RecordingSystem system;
  TestPlatform platform(system);
  qae::CQuorvex_AEDlg dialog(platform);
  std::vector<RunCall> runs;
  bool wait_cursor_during_run = false;
  qae::RunRangeResult next = Complete();
  dialog.SetRunRange([&](const std::string& par, int first, int last) {
    runs.push_back({par, first, last});
    wait_cursor_during_run = GetCursor() == LoadCursorA(nullptr, IDC_WAIT);
    return next;
  });
  UiThread ui([&] { platform.RunModal(dialog); });
  HWND w = ui.WaitForWindow(L"Quorvex_AE");
  ASSERT_NE(w, nullptr);
  SetControlText(w, qae::kIdParFile, L"C:\\exp\\ML_CC_AE_pars.txt");
  Type(w, qae::kIdAeRange, L"0,1500,+=0");
  Click(w, qae::kIdGo);

  ASSERT_EQ(runs.size(), 1u);
  EXPECT_EQ(runs[0].par_file, "C:\\exp\\ML_CC_AE_pars.txt");
  EXPECT_EQ(runs[0].first, 0);
  EXPECT_EQ(runs[0].last, 1500);
  EXPECT_TRUE(wait_cursor_during_run);
  EXPECT_EQ(ControlText(w, qae::kIdStatus), L"Ended!");
  EXPECT_TRUE(system.arguments.empty());
  EXPECT_EQ(dialog.exitCode, qae::kExitOk);

  // A run that did not complete says why on a line of its own: the edit
  // control shows a line break only for "\r\n".
  next.error = "no template could be read";
  Click(w, qae::kIdGo);
  EXPECT_EQ(ControlText(w, qae::kIdStatus),
            L"Ended!\r\nThe run did not complete: no template could be read");
  EXPECT_EQ(SendMessageW(GetDlgItem(w, qae::kIdStatus), EM_GETLINECOUNT, 0, 0), 2);
  EXPECT_EQ(dialog.exitCode, qae::kExitRunFailed);
  // Read back through the controls, the model sees its own text again.
  dialog.RefreshFromControls();
  EXPECT_EQ(dialog.status, "Ended!\nThe run did not complete: no template could be read");
}

TEST_F(Win32DialogTest, GoWithAStepLaunchesOneInstancePerSubRange) {
  RecordingSystem system;
  TestPlatform platform(system);
  qae::CQuorvex_AEDlg dialog(platform);
  UiThread ui([&] { platform.RunModal(dialog); });
  HWND w = ui.WaitForWindow(L"Quorvex_AE");
  ASSERT_NE(w, nullptr);
  SetControlText(w, qae::kIdParFile, L"D:\\data\\exp\\ML_CC_AE_pars.txt");
  Type(w, qae::kIdAeRange, L"0,1000,+=300");
  Click(w, qae::kIdGo);

  const std::vector<std::string> expected = {
      "D:\\data\\exp\\ML_CC_AE_pars.txt;0;299;", "D:\\data\\exp\\ML_CC_AE_pars.txt;300;599;",
      "D:\\data\\exp\\ML_CC_AE_pars.txt;600;899;", "D:\\data\\exp\\ML_CC_AE_pars.txt;900;999;"};
  EXPECT_EQ(system.arguments, expected);
  EXPECT_EQ(system.waits, std::vector<int>(4, 10000));
  ASSERT_FALSE(system.executables.empty());
  EXPECT_EQ(system.executables[0], "C:\\Program Files\\Quorvex_AE\\Quorvex_AE.exe");
  EXPECT_EQ(dialog.status, "Lunch new runs...");
}

TEST_F(Win32DialogTest, InputFileFillsTheFieldsAndOpensTheFile) {
  RecordingSystem system;
  TestPlatform platform(system);
  // UTF-8 in the model, UTF-16 in the window.
  platform.chosen = "C:\\Mesures\\Donn\xC3\xA9" "es\\ML_CC_AE_pars.txt";
  qae::CQuorvex_AEDlg dialog(platform);
  UiThread ui([&] { platform.RunModal(dialog); });
  HWND w = ui.WaitForWindow(L"Quorvex_AE");
  ASSERT_NE(w, nullptr);
  Click(w, qae::kIdInputFile);

  EXPECT_EQ(platform.chooser_requests,
            std::vector<std::string>{"Select the *ML_CC_AE_pars.txt file. (*.txt)|*.txt||"});
  EXPECT_EQ(ControlText(w, qae::kIdParFile), L"C:\\Mesures\\Donn\u00E9es\\ML_CC_AE_pars.txt");
  EXPECT_EQ(ControlText(w, qae::kIdAeRange), L"0,100,+=0");
  EXPECT_EQ(system.opened, std::vector<std::string>{platform.chosen});

  // The same path read back from the window for the run.
  dialog.RefreshFromControls();
  EXPECT_EQ(dialog.parFile, platform.chosen);

  system.open_error = "ShellExecute: no program is associated with this kind of file";
  Click(w, qae::kIdInputFile);
  EXPECT_EQ(ControlText(w, qae::kIdStatus),
            L"Could not open C:\\Mesures\\Donn\u00E9es\\ML_CC_AE_pars.txt for viewing: "
            L"ShellExecute: no program is associated with this kind of file");
}

TEST_F(Win32DialogTest, TheFileChooserAsksForTheParameterFileAndKeepsTheWorkingFolder) {
  wchar_t temp[MAX_PATH] = {};
  GetTempPathW(MAX_PATH, temp);
  const std::wstring par_file = std::wstring(temp) + L"qae_chooser_ML_CC_AE_pars.txt";
  HANDLE file = CreateFileW(par_file.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  CloseHandle(file);
  wchar_t folder_before[MAX_PATH] = {};
  GetCurrentDirectoryW(MAX_PATH, folder_before);

  RecordingSystem system;
  TestPlatform platform(system);
  platform.real_chooser = true;
  qae::CQuorvex_AEDlg dialog(platform);
  std::vector<RunCall> runs;
  dialog.SetRunRange([&runs](const std::string& par, int first, int last) {
    runs.push_back({par, first, last});
    return Complete();
  });
  UiThread ui([&] { platform.RunModal(dialog); });
  HWND w = ui.WaitForWindow(L"Quorvex_AE");
  ASSERT_NE(w, nullptr);
  Type(w, qae::kIdAeRange, L"3,7,+=0");

  // Cancelled: nothing runs.
  ClickLater(w, qae::kIdGo);
  HWND chooser = ui.WaitForWindow(L"Select the *ML_CC_AE_pars.txt file.");
  ASSERT_NE(chooser, nullptr);
  EXPECT_EQ(GetWindow(chooser, GW_OWNER), w);
  PostMessageW(chooser, WM_COMMAND, IDCANCEL, 0);
  ASSERT_TRUE(WaitUntil([&] { return !IsWindow(chooser); }));
  SendMessageW(w, WM_NULL, 0, 0);
  EXPECT_TRUE(runs.empty());
  EXPECT_EQ(ControlText(w, qae::kIdParFile), L"");

  // Chosen: the run gets the file.
  ClickLater(w, qae::kIdGo);
  chooser = ui.WaitForWindow(L"Select the *ML_CC_AE_pars.txt file.");
  ASSERT_NE(chooser, nullptr);
  // The file name field: the Explorer-style combo box, or the old edit.
  HWND name = GetDlgItem(chooser, 0x47C);
  if (name == nullptr) name = GetDlgItem(chooser, 0x480);
  ASSERT_NE(name, nullptr);
  SendMessageW(name, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(par_file.c_str()));
  PostMessageW(chooser, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED),
               reinterpret_cast<LPARAM>(GetDlgItem(chooser, IDOK)));
  ASSERT_TRUE(WaitUntil([&] { return ControlText(w, qae::kIdStatus) == L"Ended!"; }));
  ASSERT_EQ(runs.size(), 1u);
  EXPECT_EQ(runs[0].first, 3);
  EXPECT_EQ(runs[0].last, 7);
  // The chooser may give the folder in another spelling (short names).
  EXPECT_NE(runs[0].par_file.find("qae_chooser_ML_CC_AE_pars.txt"), std::string::npos);

  // Relative folders in the parameter file resolve against the folder the
  // program was started in.
  wchar_t folder_after[MAX_PATH] = {};
  GetCurrentDirectoryW(MAX_PATH, folder_after);
  EXPECT_STREQ(folder_after, folder_before);
  DeleteFileW(par_file.c_str());
}

TEST_F(Win32DialogTest, TheAboutBoxOpensFromTheWindowMenu) {
  RecordingSystem system;
  TestPlatform platform(system);
  qae::CQuorvex_AEDlg dialog(platform);
  UiThread ui([&] { platform.RunModal(dialog); });
  HWND w = ui.WaitForWindow(L"Quorvex_AE");
  ASSERT_NE(w, nullptr);

  PostMessageW(w, WM_SYSCOMMAND, IDM_ABOUTBOX, 0);
  HWND about = ui.WaitForWindow(L"About Quorvex_AE");
  ASSERT_NE(about, nullptr);
  EXPECT_EQ(GetWindow(about, GW_OWNER), w);
  EXPECT_EQ(ControlText(about, IDC_ABOUT_TEXT), L"Quorvex_AE, Version 1.0");
  EXPECT_NE(SendMessageW(GetDlgItem(about, IDC_ABOUT_ICON), STM_GETICON, 0, 0), 0);
  EXPECT_FALSE(IsWindowEnabled(w));  // modal
  // Over the dialog (which has room for it here, away from the screen's
  // edges), not wherever the template would put it.
  RECT box{};
  RECT owner{};
  GetWindowRect(about, &box);
  GetWindowRect(w, &owner);
  EXPECT_NEAR((box.left + box.right) / 2, (owner.left + owner.right) / 2, 1);
  EXPECT_NEAR((box.top + box.bottom) / 2, (owner.top + owner.bottom) / 2, 1);

  SendMessageW(GetDlgItem(about, IDOK), BM_CLICK, 0, 0);
  ASSERT_TRUE(WaitUntil([&] { return !IsWindow(about); }));
  EXPECT_TRUE(IsWindowVisible(w));
  EXPECT_FALSE(ui.finished());
}

TEST_F(Win32DialogTest, ALaunchedInstanceRunsAfterOneSecondAndClosesItself) {
  RecordingSystem system;
  std::vector<RunCall> runs;
  std::wstring status_during_run;
  std::wstring range_during_run;
  bool controls_as_launched = false;
  bool focus_on_an_enabled_control = false;
  int exit_code = -1;
  const auto started = std::chrono::steady_clock::now();
  std::chrono::steady_clock::duration until_run{};
  UiThread ui([&] {
    exit_code = qae::win32::RunWin32Dialog(
        "C:\\a folder\\with spaces\\ML_CC_AE_pars.txt;500;999;", system,
        [&](const std::string& par, int first, int last) {
          until_run = std::chrono::steady_clock::now() - started;
          runs.push_back({par, first, last});
          HWND w = OwnDialog();
          status_during_run = ControlText(w, qae::kIdStatus);
          range_during_run = ControlText(w, qae::kIdAeRange);
          controls_as_launched = !IsWindowEnabled(GetDlgItem(w, qae::kIdGo)) &&
                                 !IsWindowEnabled(GetDlgItem(w, qae::kIdInputFile)) &&
                                 !IsWindowEnabled(GetDlgItem(w, qae::kIdAeRange)) &&
                                 IsWindowEnabled(GetDlgItem(w, qae::kIdAutoClose)) &&
                                 IsDlgButtonChecked(w, qae::kIdAutoClose) == BST_CHECKED;
          focus_on_an_enabled_control = GetFocus() != nullptr && IsWindowEnabled(GetFocus());
          return Complete();
        });
  });
  ASSERT_TRUE(ui.WaitUntilFinished());
  EXPECT_EQ(exit_code, qae::kExitOk);
  EXPECT_GE(until_run, 900ms);
  ASSERT_EQ(runs.size(), 1u);
  EXPECT_EQ(runs[0].par_file, "C:\\a folder\\with spaces\\ML_CC_AE_pars.txt");
  EXPECT_EQ(runs[0].first, 500);
  EXPECT_EQ(runs[0].last, 999);
  EXPECT_EQ(status_during_run, L"In calculation, taking a few hours to days...");
  EXPECT_EQ(range_during_run, L"500,999;");
  EXPECT_TRUE(controls_as_launched);
  EXPECT_TRUE(focus_on_an_enabled_control);
}

TEST_F(Win32DialogTest, WithoutAVisibleWindowStationNothingShowsOrRuns) {
  // A service's or a remote shell's window station: windows there reach no
  // one, so the caller must run the instance headless instead.
  HWINSTA interactive = GetProcessWindowStation();
  HWINSTA hidden = CreateWindowStationW(nullptr, 0, WINSTA_ALL_ACCESS, nullptr);
  ASSERT_NE(hidden, nullptr);
  ASSERT_TRUE(SetProcessWindowStation(hidden));
  RecordingSystem system;
  bool ran = false;
  const bool available = qae::win32::DesktopAvailable();
  const int rc = qae::win32::RunWin32Dialog("C:\\p\\pars.txt;1;2;", system,
                                            [&ran](const std::string&, int, int) {
                                              ran = true;
                                              return Complete();
                                            });
  SetProcessWindowStation(interactive);
  CloseWindowStation(hidden);
  EXPECT_FALSE(available);
  EXPECT_EQ(rc, qae::kNoDisplay);
  EXPECT_FALSE(ran);
  EXPECT_TRUE(system.errors.empty());
  EXPECT_TRUE(qae::win32::DesktopAvailable());
}

}  // namespace
