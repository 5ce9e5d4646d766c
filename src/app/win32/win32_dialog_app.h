// The application with its dialog in a native Win32 window: the Windows
// counterpart of app/gui/qt_dialog_app.h.
#pragma once

#include <string>

#include "app/dialog_model.h"
#include "app/headless_platform.h"

namespace qae::win32 {

// Whether this process can show a window someone sees: its window station
// is the interactive one (not a service's, nor that of a remote shell such
// as ssh) and a window can be created there (Wine without an X display
// cannot).
bool DesktopAvailable();

// Runs the application object with `argument` (empty, or a launch
// argument) in the Win32 dialog, with `system` doing processes, documents,
// waits and errors. Returns the instance's exit code, or kNoDisplay without
// having shown or run anything when DesktopAvailable() is false.
//
// A console that exists only for this process (the program was started
// from Explorer or a shortcut, not from a shell) is released before the
// window shows: it would sit empty beside the dialog, and closing it would
// end the dialog with it. A console shared with a shell stays, so the shell
// waits for the dialog and shows what it reports.
//
// `run_range`, when set, replaces the detection run (test programs).
int RunWin32Dialog(const std::string& argument, HeadlessPlatform& system,
                   RunRangeFn run_range = {});

}  // namespace qae::win32
