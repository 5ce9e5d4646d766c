#include "util/process.h"

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

extern char** environ;

namespace qae {

bool StartChildProcess(const std::string& file, const std::vector<std::string>& args,
                       bool search_path, long* pid_out, std::string* error) {
  std::vector<char*> argv;
  argv.reserve(args.size() + 1);
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  pid_t pid = 0;
  const int rc = search_path
                     ? posix_spawnp(&pid, file.c_str(), nullptr, nullptr, argv.data(), environ)
                     : posix_spawn(&pid, file.c_str(), nullptr, nullptr, argv.data(), environ);
  if (rc != 0) {
    *error = std::strerror(rc);
    return false;
  }
  *pid_out = static_cast<long>(pid);
  return true;
}

bool WaitForChildProcess(ChildEnd* end, std::string* error) {
  int status = 0;
  pid_t pid = 0;
  while ((pid = waitpid(-1, &status, 0)) < 0) {
    if (errno != EINTR) {
      *error = std::strerror(errno);
      return false;
    }
  }
  end->pid = static_cast<long>(pid);
  if (WIFEXITED(status)) {
    end->how = ChildEnd::How::kExited;
    end->value = WEXITSTATUS(status);
  } else if (WIFSIGNALED(status)) {
    end->how = ChildEnd::How::kSignaled;
    end->value = WTERMSIG(status);
  } else {
    end->how = ChildEnd::How::kOther;
    end->value = status;
  }
  return true;
}

bool CollectIfEnded(long pid) {
  int status = 0;
  const pid_t rc = waitpid(static_cast<pid_t>(pid), &status, WNOHANG);
  // Gone (reaped) or not ours any more (ECHILD: someone else waited).
  return rc == static_cast<pid_t>(pid) || (rc < 0 && errno == ECHILD);
}

bool OpenWithDesktop(const std::string& path, long* pid, std::string* error) {
  std::string reason;
  if (!StartChildProcess("xdg-open", {"xdg-open", path}, true, pid, &reason)) {
    *error = "xdg-open: " + reason;
    return false;
  }
  return true;
}

std::string ExecutableFileName(const std::string& stem) { return stem; }

std::string OwnExecutablePath() {
  std::vector<char> buffer(4096);
  for (;;) {
    const ssize_t n = readlink("/proc/self/exe", buffer.data(), buffer.size());
    if (n < 0) return std::string();
    if (static_cast<std::size_t>(n) < buffer.size()) {
      return std::string(buffer.data(), static_cast<std::size_t>(n));
    }
    if (buffer.size() >= (std::size_t{1} << 20)) return std::string();
    buffer.resize(buffer.size() * 2);
  }
}

long OwnProcessId() { return static_cast<long>(getpid()); }

std::vector<std::string> CommandLineArguments(int argc, char** argv) {
  return std::vector<std::string>(argv, argv + argc);
}

void PrepareStandardStreams() {}

bool StderrIsTerminal() { return isatty(STDERR_FILENO) != 0; }

}  // namespace qae
