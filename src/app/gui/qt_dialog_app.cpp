#include "app/gui/qt_dialog_app.h"

#include <QApplication>

#include <cstdlib>

#include "app/dialog_model.h"
#include "app/gui/qt_platform.h"

namespace qae::gui {

namespace {

bool EnvSet(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr && *value != '\0';
}

}  // namespace

int RunQtDialog(int& argc, char** argv, const std::string& argument) {
  bool fallback_set_here = false;
  if (!EnvSet("QT_QPA_PLATFORM")) {
    if (!EnvSet("DISPLAY") && !EnvSet("WAYLAND_DISPLAY")) return kNoDisplay;
    // Qt aborts when its platform cannot reach the display; with offscreen
    // as the last choice it starts anyway, and that is taken as "no display"
    // below, so a launched instance still runs (headless).
    setenv("QT_QPA_PLATFORM", EnvSet("WAYLAND_DISPLAY") ? "wayland;xcb;offscreen" : "xcb;offscreen",
           1);
    fallback_set_here = true;
  }

  QApplication application(argc, argv);
  if (fallback_set_here) {
    // Instances started from here choose for themselves.
    unsetenv("QT_QPA_PLATFORM");
    if (QGuiApplication::platformName() == "offscreen") return kNoDisplay;
  }
  // The settings key of the application; nothing is stored under it.
  QCoreApplication::setOrganizationName("Halvenor");
  QCoreApplication::setApplicationName("Quorvex_AE");

  QtPlatform platform;
  CQuorvex_AEApp app(platform);
  return app.InitInstance(argument);
}

}  // namespace qae::gui

#if defined(__SANITIZE_ADDRESS__)
// Sanitizer builds: libdbus, which Qt opens on a real display, keeps one
// buffer to the end of the process; the leak checker would turn that into
// a failing exit status of every dialog.
extern "C" const char* __lsan_default_suppressions() { return "leak:libdbus-1.so\n"; }
#endif
