// Drives the Win32 dialog of another process as a user would, for the
// screenshot test: finds its windows by title, types, clicks, answers the
// file chooser and reads the controls back. Runs under Wine beside the
// program it drives.
//
//   dialog_driver.exe STEP [ARG...] [STEP [ARG...]]...
//
// Steps (ids are the dialog's control ids):
//   window TITLE          wait for a visible top-level window titled TITLE
//                         and act on it from then on
//   controls              print "control ID CLASS ENABLED CHECKED TEXT" for
//                         each child (ENABLED, CHECKED: 1 or 0; "\n" for line
//                         ends in TEXT), then "title TEXT"
//   rect                  print "rect LEFT TOP WIDTH HEIGHT" of the window
//   type ID TEXT          select the control's text and type TEXT over it
//   click ID              press the button (without waiting for its handler)
//   wait-text ID PREFIX   wait until the control's text starts with PREFIX
//   wait-enabled ID       wait until the control is enabled
//   choose-file PATH      wait for the file chooser (the window titled by the
//                         dialog's chooser title), enter PATH, press Open
//   sysmenu ID            send the window-menu command ID (0x10: About)
//   close                 post WM_CLOSE to the window
//   front                 bring the window to the foreground
//   wait-gone TITLE       wait until no window titled TITLE is left
//   sleep MS
//
// Every wait gives up after 30 s; the driver then prints what it waited for
// and exits 1. A step that cannot be done exits 1 as well.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr auto kPatience = std::chrono::seconds(30);
constexpr const wchar_t* kChooserTitle = L"Select the *ML_CC_AE_pars.txt file.";

std::wstring Widen(const std::string& s) {
  const int n = MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), nullptr, 0);
  std::wstring w(static_cast<std::size_t>(n), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), w.data(), n);
  return w;
}

std::string Narrow(const std::wstring& w) {
  const int n = WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), nullptr, 0,
                                    nullptr, nullptr);
  std::string s(static_cast<std::size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), s.data(), n, nullptr,
                      nullptr);
  return s;
}

// WM_GETTEXT rather than GetWindowText: the latter does not read the
// controls of another process.
std::wstring TextOf(HWND window) {
  DWORD_PTR length = 0;
  if (!SendMessageTimeoutW(window, WM_GETTEXTLENGTH, 0, 0, SMTO_ABORTIFHUNG, 5000, &length)) {
    return std::wstring();
  }
  std::wstring text(length + 1, L'\0');
  DWORD_PTR copied = 0;
  SendMessageTimeoutW(window, WM_GETTEXT, text.size(), reinterpret_cast<LPARAM>(text.data()),
                      SMTO_ABORTIFHUNG, 5000, &copied);
  text.resize(copied);
  return text;
}

[[noreturn]] void Fail(const std::string& what) {
  std::printf("FAILED %s\n", what.c_str());
  std::fflush(stdout);
  std::exit(1);
}

void WaitFor(const std::string& what, const std::function<bool()>& done) {
  const auto deadline = std::chrono::steady_clock::now() + kPatience;
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) Fail("timed out waiting for " + what);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
}

HWND VisibleWindowTitled(const std::wstring& title) {
  struct Search {
    const std::wstring* title;
    HWND found;
  } search{&title, nullptr};
  EnumWindows(
      [](HWND window, LPARAM data) -> BOOL {
        auto* s = reinterpret_cast<Search*>(data);
        if (IsWindowVisible(window) && TextOf(window) == *s->title) {
          s->found = window;
          return FALSE;
        }
        return TRUE;
      },
      reinterpret_cast<LPARAM>(&search));
  return search.found;
}

HWND Control(HWND window, const std::string& id) {
  HWND control = GetDlgItem(window, std::atoi(id.c_str()));
  if (control == nullptr) Fail("no control " + id);
  return control;
}

std::string Escaped(const std::wstring& text) {
  std::string out;
  for (const char c : Narrow(text)) {
    if (c == '\r') continue;
    out += c == '\n' ? std::string("\\n") : std::string(1, c);
  }
  return out;
}

void PrintControls(HWND window) {
  std::vector<HWND> children;
  EnumChildWindows(
      window,
      [](HWND child, LPARAM data) -> BOOL {
        reinterpret_cast<std::vector<HWND>*>(data)->push_back(child);
        return TRUE;
      },
      reinterpret_cast<LPARAM>(&children));
  for (HWND child : children) {
    wchar_t class_name[64] = {};
    GetClassNameW(child, class_name, 64);
    const bool checked = SendMessageW(child, BM_GETCHECK, 0, 0) == BST_CHECKED &&
                         lstrcmpiW(class_name, L"Button") == 0;
    std::printf("control %d %s %d %d %s\n", GetDlgCtrlID(child), Narrow(class_name).c_str(),
                IsWindowEnabled(child) ? 1 : 0, checked ? 1 : 0, Escaped(TextOf(child)).c_str());
  }
  std::printf("title %s\n", Escaped(TextOf(window)).c_str());
}

// The chooser's file name field: the combo box of the Explorer-style
// dialog, or the edit of the old style.
HWND FileNameField(HWND chooser) {
  if (HWND combo = GetDlgItem(chooser, 0x47C)) return combo;
  return GetDlgItem(chooser, 0x480);
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  HWND window = nullptr;
  auto need = [&](std::size_t i, std::size_t n) {
    if (i + n > args.size()) Fail("missing argument of " + args[i - 1]);
  };
  for (std::size_t i = 0; i < args.size();) {
    const std::string step = args[i++];
    if (step == "window" || step == "wait-gone") {
      need(i, 1);
      const std::wstring title = Widen(args[i++]);
      if (step == "window") {
        WaitFor("window " + Narrow(title), [&] { return (window = VisibleWindowTitled(title)); });
      } else {
        WaitFor("no window " + Narrow(title), [&] { return !VisibleWindowTitled(title); });
      }
      continue;
    }
    if (step == "sleep") {
      need(i, 1);
      std::this_thread::sleep_for(std::chrono::milliseconds(std::atoi(args[i++].c_str())));
      continue;
    }
    if (window == nullptr) Fail(step + " before any window");
    if (step == "controls") {
      PrintControls(window);
    } else if (step == "rect") {
      RECT r{};
      GetWindowRect(window, &r);
      std::printf("rect %ld %ld %ld %ld\n", r.left, r.top, r.right - r.left, r.bottom - r.top);
    } else if (step == "type") {
      need(i, 2);
      HWND control = Control(window, args[i++]);
      SendMessageW(control, EM_SETSEL, 0, -1);
      for (const wchar_t c : Widen(args[i++])) SendMessageW(control, WM_CHAR, c, 1);
    } else if (step == "click") {
      need(i, 1);
      PostMessageW(Control(window, args[i++]), BM_CLICK, 0, 0);
    } else if (step == "wait-text") {
      need(i, 2);
      HWND control = Control(window, args[i++]);
      const std::wstring prefix = Widen(args[i++]);
      WaitFor("text starting " + Narrow(prefix),
              [&] { return TextOf(control).rfind(prefix, 0) == 0; });
    } else if (step == "wait-enabled") {
      need(i, 1);
      HWND control = Control(window, args[i++]);
      WaitFor("an enabled control", [&] { return IsWindowEnabled(control) != FALSE; });
    } else if (step == "choose-file") {
      need(i, 1);
      const std::wstring path = Widen(args[i++]);
      HWND chooser = nullptr;
      WaitFor("the file chooser", [&] {
        chooser = VisibleWindowTitled(kChooserTitle);
        return chooser != nullptr && FileNameField(chooser) != nullptr;
      });
      SendMessageW(FileNameField(chooser), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(path.c_str()));
      PostMessageW(chooser, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED),
                   reinterpret_cast<LPARAM>(GetDlgItem(chooser, IDOK)));
    } else if (step == "sysmenu") {
      need(i, 1);
      PostMessageW(window, WM_SYSCOMMAND, std::strtoul(args[i++].c_str(), nullptr, 0), 0);
    } else if (step == "close") {
      PostMessageW(window, WM_CLOSE, 0, 0);
    } else if (step == "front") {
      SetForegroundWindow(window);
    } else {
      Fail("unknown step " + step);
    }
  }
  std::fflush(stdout);
  return 0;
}
