// The Win32 dialog in a program of its own, for the screenshot test where
// the Windows build of Quorvex_AE is not at hand: the same window, console
// handling and system platform as the real program, with a detection run
// that takes a second and completes.
//
//   dialog_harness.exe [LAUNCH-ARGUMENT]
//
// Exit status: the instance's, or 77 when no window can be shown.
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>

#include "app/headless_platform.h"
#include "app/win32/win32_dialog_app.h"

int main(int argc, char** argv) {
  const std::string argument = argc > 1 ? argv[1] : "";
  qae::HeadlessPlatform system;
  const int rc = qae::win32::RunWin32Dialog(
      argument, system, [](const std::string& /*par_file*/, int /*first*/, int /*last*/) {
        std::this_thread::sleep_for(std::chrono::seconds(1));
        qae::RunRangeResult result;
        result.parametersRead = true;
        result.scanned = 1;
        return result;
      });
  if (rc == qae::kNoDisplay) {
    std::fprintf(stderr, "dialog_harness: no desktop to show the dialog on\n");
    return 77;
  }
  return rc;
}
