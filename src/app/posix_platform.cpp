#include "app/posix_platform.h"

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <thread>

#include "app/dialog_model.h"
#include "util/spin_wait.h"

extern char** environ;

namespace qae {

namespace {

bool Spawn(const std::string& file, const std::vector<std::string>& args, bool search_path,
           long* pid_out, std::string* error) {
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

}  // namespace

int PosixPlatform::RunModal(CQuorvex_AEDlg& dialog) {
  ended_ = false;
  result_ = 0;
  dialog.OnInitDialog();
  while (!ended_ && !timers_.empty()) {
    auto next = std::min_element(timers_.begin(), timers_.end(), [](const auto& a, const auto& b) {
      return a.second.due < b.second.due;
    });
    std::this_thread::sleep_until(next->second.due);
    next->second.due += next->second.period;
    dialog.OnTimer(next->first);
  }
  dialog.OnDestroy();
  return result_;
}

void PosixPlatform::EndDialog(int result) {
  ended_ = true;
  result_ = result;
}

void PosixPlatform::ReadControls(DialogFields* fields) { *fields = fields_; }

void PosixPlatform::WriteControls(const DialogFields& fields) {
  fields_ = fields;
  if (!fields.status.empty() && fields.status != last_printed_) PrintStatus(fields.status);
}

void PosixPlatform::PrintStatus(const std::string& text) {
  last_printed_ = text;
  // Several launched instances may share one terminal; the pid tells them
  // apart.
  const long pid = static_cast<long>(getpid());
  std::size_t begin = 0;
  while (begin <= text.size()) {
    std::size_t end = text.find('\n', begin);
    if (end == std::string::npos) end = text.size();
    std::fprintf(stderr, "Quorvex_AE[%ld]: %.*s\n", pid, static_cast<int>(end - begin),
                 text.data() + begin);
    begin = end + 1;
  }
  std::fflush(stderr);
}

void PosixPlatform::StartTimer(int id, int period_ms) {
  const std::chrono::milliseconds period(std::max(period_ms, 1));
  timers_[id] = Timer{period, std::chrono::steady_clock::now() + period};
}

void PosixPlatform::StopTimer(int id) { timers_.erase(id); }

std::string PosixPlatform::ChooseFile(const std::string& /*title*/,
                                      const std::string& /*filter*/) {
  return std::string();
}

bool PosixPlatform::OpenDocument(const std::string& path, std::string* error) {
  long pid = 0;
  std::string reason;
  if (!Spawn("xdg-open", {"xdg-open", path}, true, &pid, &reason)) {
    *error = "xdg-open: " + reason;
    return false;
  }
  children_.push_back(pid);
  return true;
}

bool PosixPlatform::StartProcess(const std::string& executable, const std::string& argument,
                                 StartedProcess* started, std::string* error) {
  long pid = 0;
  if (!Spawn(executable, {executable, argument}, false, &pid, error)) return false;
  children_.push_back(pid);
  started->pid = pid;
  return true;
}

std::string PosixPlatform::ExecutablePath() {
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

void PosixPlatform::Wait(int ms) { SpinWait(ms); }

void PosixPlatform::ReportError(const std::string& message) { PrintStatus(message); }

void PosixPlatform::ReapFinishedChildren() {
  std::erase_if(children_, [](long pid) {
    int status = 0;
    const pid_t rc = waitpid(static_cast<pid_t>(pid), &status, WNOHANG);
    // Gone (reaped) or not ours any more (ECHILD: someone else waited).
    return rc == static_cast<pid_t>(pid) || (rc < 0 && errno == ECHILD);
  });
}

std::string ToNameFilter(const std::string& filter) {
  std::vector<std::string> parts;
  std::size_t begin = 0;
  while (begin < filter.size()) {
    const std::size_t end = std::min(filter.find('|', begin), filter.size());
    parts.push_back(filter.substr(begin, end - begin));
    begin = end + 1;
  }
  std::string out;
  for (std::size_t i = 0; i + 1 < parts.size(); i += 2) {
    const std::string& description = parts[i];
    const std::string& pattern = parts[i + 1];
    if (description.empty() && pattern.empty()) break;  // the closing "||"
    std::string entry = description;
    if (description.find("(" + pattern + ")") == std::string::npos) {
      std::string spaced = pattern;  // "*.txt;*.dat" lists patterns with ';'
      std::replace(spaced.begin(), spaced.end(), ';', ' ');
      entry += (entry.empty() ? "(" : " (") + spaced + ")";
    }
    if (!out.empty()) out += ";;";
    out += entry;
  }
  return out;
}

int RunHeadlessInstance(const std::string& argument) {
  PosixPlatform platform;
  CQuorvex_AEApp app(platform);
  return app.InitInstance(argument);
}

}  // namespace qae
