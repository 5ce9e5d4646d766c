// Other processes (started, waited for) and facts about this one: what the
// dialog's launches, `run --wait` and the command line need from the
// operating system.
#pragma once

#include <string>
#include <vector>

namespace qae {

// Starts `file` with the argument list `args` (args[0] is the name the
// program sees as its own). With `search_path` a name without a folder is
// looked up on PATH. The child inherits the environment, the working folder
// and the standard streams. False with `error` set when it cannot be
// started (missing, not executable, no process slot).
bool StartChildProcess(const std::string& file, const std::vector<std::string>& args,
                       bool search_path, long* pid, std::string* error);

// How a started child ended.
struct ChildEnd {
  enum class How { kExited, kSignaled, kOther };
  long pid = 0;
  How how = How::kOther;
  int value = 0;  // the exit code, the signal number, or the raw status
};

// Waits until a child started by StartChildProcess ends. False (with
// `error`) when none is left to wait for.
bool WaitForChildProcess(ChildEnd* end, std::string* error);

// Whether child `pid` has ended; an ended child is collected, so it cannot
// be waited for afterwards. A pid that is no child of ours counts as ended.
// Never blocks.
bool CollectIfEnded(long pid);

// Opens `path` in the desktop's program for its kind. `pid` gets the helper
// process to collect later, or 0 when there is none. False with `error`.
bool OpenWithDesktop(const std::string& path, long* pid, std::string* error);

// The file name of the program `stem` as the system names executables
// ("Quorvex_AE" on POSIX, "Quorvex_AE.exe" on Windows).
std::string ExecutableFileName(const std::string& stem);

// Full path of the running executable ("" when unknown).
std::string OwnExecutablePath();

long OwnProcessId();

// The command-line arguments as UTF-8, argv[0] first.
std::vector<std::string> CommandLineArguments(int argc, char** argv);

// Sets up stdin/stdout/stderr so that what the program writes is the same
// bytes on every system ("\n" line ends, UTF-8 text).
void PrepareStandardStreams();

// Whether stderr is a terminal (a progress line is then drawn there).
bool StderrIsTerminal();

}  // namespace qae
