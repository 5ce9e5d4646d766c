// Quorvex_AE command-line entry point: parses the sub-command and maps
// failures to one stderr line and an exit code.
#include <cstdio>
#include <exception>

#include <CLI/CLI.hpp>

#include "app/cli/commands.h"

int main(int argc, char** argv) {
  CLI::App app{
      "Quorvex_AE: detection of acoustic-emission events in multi-station\n"
      "waveform recordings by template matching."};
  app.set_version_flag("-V,--version", "Quorvex_AE " QAE_VERSION);
  app.require_subcommand(1);
  app.fallthrough(false);

  qae::cli::RegisterParamsCommand(app);
  qae::cli::RegisterSeg2Commands(app);

  try {
    app.parse(argc, argv);
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
    std::fprintf(stderr, "Quorvex_AE: %s\n", e.what());
    return e.exit_code();
  } catch (const std::exception& e) {
    std::fprintf(stderr, "Quorvex_AE: %s\n", e.what());
    return 1;
  }
  return 0;
}
