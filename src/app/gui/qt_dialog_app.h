// The application with its dialog in a Qt window.
#pragma once

#include <string>

namespace qae::gui {

// Creates the Qt application and runs the application object with
// `argument` (empty, or a launch argument) in a window. Returns the
// instance's exit code, or kNoDisplay (app/platform.h) without having shown
// anything when no display can be reached; QT_QPA_PLATFORM, when set, is
// taken as the user's choice (offscreen included). `argc` and `argv` go to
// Qt and must outlive the call.
int RunQtDialog(int& argc, char** argv, const std::string& argument);

}  // namespace qae::gui
