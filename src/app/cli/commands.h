// Sub-commands of the Quorvex_AE executable. Each Register* function adds
// one command (or a group) to the application; its callback throws
// CommandError to end with a one-line message and an exit code.
#pragma once

#include <stdexcept>
#include <string>

#include <CLI/CLI.hpp>

namespace qae::cli {

// A failed command: `message` goes to stderr as one line, `exit_code` to the
// shell (2 for bad input, 1 for a failed run).
class CommandError : public std::runtime_error {
 public:
  CommandError(std::string message, int exit_code = 2)
      : std::runtime_error(std::move(message)), exit_code_(exit_code) {}
  int exit_code() const { return exit_code_; }

 private:
  int exit_code_;
};

void RegisterParamsCommand(CLI::App& app);
void RegisterSeg2Commands(CLI::App& app);
void RegisterRunCommand(CLI::App& app);
void RegisterFilterCommand(CLI::App& app);
void RegisterSacsCommands(CLI::App& app);
void RegisterSynthCommand(CLI::App& app);
void RegisterDemoCommand(CLI::App& app);
void RegisterBenchCommand(CLI::App& app);
void RegisterExportCommand(CLI::App& app);
void RegisterSlurmCommands(CLI::App& app);

}  // namespace qae::cli
