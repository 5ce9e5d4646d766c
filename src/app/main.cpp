// Quorvex_AE command-line entry point: parses the sub-command and maps
// failures to one stderr line and an exit code. Without arguments it opens
// the dialog, and a single argument in the launch form "PARFILE;first;last;"
// makes it a launched instance (in the dialog when a display is available,
// headless otherwise).
#include <cstdio>
#include <exception>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "app/cli/commands.h"
#include "app/headless_platform.h"
#include "app/launch_argument.h"
#include "app/platform.h"
#include "util/process.h"
#if defined(QAE_WITH_QT)
#include "app/gui/qt_dialog_app.h"
#elif defined(QAE_WITH_WIN32)
#include "app/win32/win32_dialog_app.h"
#endif

namespace {

// The dialog in a window, or qae::kNoDisplay when this build or this
// session cannot show one.
#if defined(QAE_WITH_QT)
constexpr const char* kNoDialogReason = "the dialog needs a display";
#elif defined(QAE_WITH_WIN32)
constexpr const char* kNoDialogReason = "the dialog needs an interactive desktop";
#else
constexpr const char* kNoDialogReason = "this build has no dialog (built without Qt)";
#endif

int ShowDialog(char** argv, const std::string& argument) {
#if defined(QAE_WITH_QT)
  // Qt reads options from the command line; it sees only the program name.
  static int qt_argc = 1;
  return qae::gui::RunQtDialog(qt_argc, argv, argument);
#elif defined(QAE_WITH_WIN32)
  (void)argv;
  qae::HeadlessPlatform system;
  return qae::win32::RunWin32Dialog(argument, system);
#else
  (void)argv;
  (void)argument;
  return qae::kNoDisplay;
#endif
}

}  // namespace

int main(int argc, char** argv) {
  qae::PrepareStandardStreams();
  // UTF-8 on every system (Windows hands argv over in its ANSI code page).
  std::vector<std::string> args = qae::CommandLineArguments(argc, argv);
  std::vector<char*> utf8_argv;
  for (std::string& a : args) utf8_argv.push_back(a.data());
  utf8_argv.push_back(nullptr);

  // The launch form is not a command CLI11 knows, so it is taken first.
  if (args.size() == 2 && qae::IsLaunchArgument(args[1])) {
    try {
      const int rc = ShowDialog(argv, args[1]);
      return rc != qae::kNoDisplay ? rc : qae::RunHeadlessInstance(args[1]);
    } catch (const std::exception& e) {
      std::fprintf(stderr, "Quorvex_AE: %s\n", e.what());
      return 1;
    }
  }

  CLI::App app{
      "Quorvex_AE: detection of acoustic-emission events in multi-station\n"
      "waveform recordings by template matching."};
  app.set_version_flag("-V,--version", "Quorvex_AE " QAE_VERSION);
  app.require_subcommand(1);
  app.fallthrough(false);
  // Paths such as /data/run1/pars.txt are arguments, never "/option"s
  // (CLI11 takes them for options on Windows unless told not to).
  // Subcommands inherit this when they are added, so it comes first.
  app.allow_windows_style_options(false);

  qae::cli::RegisterParamsCommand(app);
  qae::cli::RegisterSeg2Commands(app);
  qae::cli::RegisterRunCommand(app);
  qae::cli::RegisterFilterCommand(app);
  qae::cli::RegisterSacsCommands(app);
  qae::cli::RegisterSynthCommand(app);
  qae::cli::RegisterDemoCommand(app);
  qae::cli::RegisterExportCommand(app);
  qae::cli::RegisterSlurmCommands(app);
  qae::cli::RegisterBenchCommand(app);
  bool open_dialog = false;
  app.add_subcommand("dialog", "Open the dialog (needs a display; Qt on Linux, native on Windows).")
      ->callback([&open_dialog] { open_dialog = true; });

  if (argc == 1) {
    const int rc = ShowDialog(argv, std::string());
    if (rc != qae::kNoDisplay) return rc;
    std::fprintf(stderr, "Quorvex_AE: no dialog without a display; choose a command.\n%s",
                 app.help().c_str());
    return 2;
  }

  try {
    app.parse(static_cast<int>(args.size()), utf8_argv.data());
    if (open_dialog) {
      const int rc = ShowDialog(argv, std::string());
      if (rc != qae::kNoDisplay) return rc;
      std::fprintf(stderr, "Quorvex_AE: %s\n", kNoDialogReason);
      return 2;
    }
  } catch (const CLI::CallForHelp& e) {
    return app.exit(e);
  } catch (const CLI::CallForAllHelp& e) {
    return app.exit(e);
  } catch (const CLI::CallForVersion& e) {
    return app.exit(e);
  } catch (const CLI::ParseError& e) {
    std::fprintf(stderr, "Quorvex_AE: %s\nTry --help\n", e.what());
    return 2;
  } catch (const qae::cli::CommandError& e) {
    // An empty message: the command has said everything on stdout already.
    if (*e.what() != '\0') std::fprintf(stderr, "Quorvex_AE: %s\n", e.what());
    return e.exit_code();
  } catch (const std::exception& e) {
    std::fprintf(stderr, "Quorvex_AE: %s\n", e.what());
    return 1;
  }
  return 0;
}
