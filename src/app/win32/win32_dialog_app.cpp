#include "app/win32/win32_dialog_app.h"

// <windows.h>, which <commctrl.h> needs first.
#include "app/win32/win32_platform.h"

#include <commctrl.h>

#include <utility>

#include "app/dialog_model.h"

namespace qae::win32 {

namespace {

void ReleaseOwnConsole() {
  if (GetConsoleWindow() == nullptr) return;
  DWORD processes[2] = {};
  if (GetConsoleProcessList(processes, 2) == 1) FreeConsole();
}

}  // namespace

bool DesktopAvailable() {
  HWINSTA station = GetProcessWindowStation();
  USEROBJECTFLAGS flags{};
  if (station == nullptr ||
      !GetUserObjectInformationW(station, UOI_FLAGS, &flags, sizeof flags, nullptr) ||
      (flags.dwFlags & WSF_VISIBLE) == 0) {
    return false;
  }
  HWND probe = CreateWindowExW(0, L"STATIC", L"", WS_POPUP, 0, 0, 0, 0, nullptr, nullptr,
                               GetModuleHandleW(nullptr), nullptr);
  if (probe == nullptr) return false;
  DestroyWindow(probe);
  return true;
}

int RunWin32Dialog(const std::string& argument, HeadlessPlatform& system,
                   RunRangeFn run_range) {
  if (!DesktopAvailable()) return kNoDisplay;
  // The themed (version 6) controls the manifest asks for.
  INITCOMMONCONTROLSEX controls{sizeof controls, ICC_STANDARD_CLASSES};
  InitCommonControlsEx(&controls);
  ReleaseOwnConsole();

  Win32Platform platform(system);
  CQuorvex_AEApp app(platform);
  if (run_range) app.SetRunRange(std::move(run_range));
  return app.InitInstance(argument);
}

}  // namespace qae::win32
