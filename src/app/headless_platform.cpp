#include "app/headless_platform.h"

#include <algorithm>
#include <cstdio>
#include <thread>

#include "app/dialog_model.h"
#include "util/process.h"
#include "util/spin_wait.h"

namespace qae {

int HeadlessPlatform::RunModal(CQuorvex_AEDlg& dialog) {
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

void HeadlessPlatform::EndDialog(int result) {
  ended_ = true;
  result_ = result;
}

void HeadlessPlatform::ReadControls(DialogFields* fields) { *fields = fields_; }

void HeadlessPlatform::WriteControls(const DialogFields& fields) {
  fields_ = fields;
  if (!fields.status.empty() && fields.status != last_printed_) PrintStatus(fields.status);
}

void HeadlessPlatform::PrintStatus(const std::string& text) {
  last_printed_ = text;
  // Several launched instances may share one terminal; the pid tells them
  // apart.
  const long pid = OwnProcessId();
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

void HeadlessPlatform::StartTimer(int id, int period_ms) {
  const std::chrono::milliseconds period(std::max(period_ms, 1));
  timers_[id] = Timer{period, std::chrono::steady_clock::now() + period};
}

void HeadlessPlatform::StopTimer(int id) { timers_.erase(id); }

std::string HeadlessPlatform::ChooseFile(const std::string& /*title*/,
                                         const std::string& /*filter*/) {
  return std::string();
}

bool HeadlessPlatform::OpenDocument(const std::string& path, std::string* error) {
  long pid = 0;
  if (!OpenWithDesktop(path, &pid, error)) return false;
  if (pid != 0) children_.push_back(pid);
  return true;
}

bool HeadlessPlatform::StartProcess(const std::string& executable, const std::string& argument,
                                    StartedProcess* started, std::string* error) {
  long pid = 0;
  if (!StartChildProcess(executable, {executable, argument}, false, &pid, error)) return false;
  children_.push_back(pid);
  started->pid = pid;
  return true;
}

std::string HeadlessPlatform::ExecutablePath() { return OwnExecutablePath(); }

void HeadlessPlatform::Wait(int ms) { SpinWait(ms); }

void HeadlessPlatform::ReportError(const std::string& message) { PrintStatus(message); }

void HeadlessPlatform::ReapFinishedChildren() { std::erase_if(children_, CollectIfEnded); }

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
  HeadlessPlatform platform;
  CQuorvex_AEApp app(platform);
  return app.InitInstance(argument);
}

}  // namespace qae
