// Children are kept by handle: a Windows process id may be reused as soon
// as the last handle to an ended process is closed, so the handle stays
// open until the child has been collected.
#include "util/process.h"

#include "util/windows/wide.h"

#include <fcntl.h>
#include <io.h>
#include <objbase.h>
#include <shellapi.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <mutex>

#include "util/path.h"

namespace qae {

namespace {

std::mutex g_children_mutex;
std::map<long, HANDLE>& Children() {
  static std::map<long, HANDLE> children;
  return children;
}

ChildEnd EndOf(long pid, HANDLE process) {
  ChildEnd end;
  end.pid = pid;
  DWORD code = 0;
  if (GetExitCodeProcess(process, &code)) {
    end.how = ChildEnd::How::kExited;
    end.value = static_cast<int>(code);
  }
  return end;
}

}  // namespace

bool StartChildProcess(const std::string& file, const std::vector<std::string>& args,
                       bool search_path, long* pid, std::string* error) {
  std::wstring command_line;
  for (const std::string& a : args) {
    if (!command_line.empty()) command_line += L' ';
    command_line += win::QuoteArgument(win::Widen(a));
  }
  const std::wstring application = search_path ? std::wstring() : win::Widen(file);
  if (search_path && args.empty()) command_line = win::QuoteArgument(win::Widen(file));
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION info{};
  // A dialog started from Explorer has released its console, and its
  // standard streams lead nowhere; its launched instances show their own
  // dialogs and must not each open an empty console window beside them.
  // Streams that lead to a pipe or a file (a shell's, a test's) are
  // inherited as they are.
  const HANDLE err = GetStdHandle(STD_ERROR_HANDLE);
  const bool streams_lead_nowhere =
      err == nullptr || err == INVALID_HANDLE_VALUE || GetFileType(err) == FILE_TYPE_UNKNOWN;
  const DWORD flags =
      GetConsoleWindow() == nullptr && streams_lead_nowhere ? CREATE_NO_WINDOW : 0;
  if (!CreateProcessW(search_path ? nullptr : application.c_str(), command_line.data(), nullptr,
                      nullptr, TRUE, flags, nullptr, nullptr, &startup, &info)) {
    *error = win::LastErrorText();
    return false;
  }
  CloseHandle(info.hThread);
  *pid = static_cast<long>(info.dwProcessId);
  std::lock_guard<std::mutex> lock(g_children_mutex);
  Children()[*pid] = info.hProcess;
  return true;
}

bool WaitForChildProcess(ChildEnd* end, std::string* error) {
  for (;;) {
    std::vector<std::pair<long, HANDLE>> waiting;
    {
      std::lock_guard<std::mutex> lock(g_children_mutex);
      waiting.assign(Children().begin(), Children().end());
    }
    if (waiting.empty()) {
      *error = "no child processes";
      return false;
    }
    // WaitForMultipleObjects takes at most 64 handles; more are polled in
    // groups.
    const bool one_group = waiting.size() <= MAXIMUM_WAIT_OBJECTS;
    for (std::size_t begin = 0; begin < waiting.size(); begin += MAXIMUM_WAIT_OBJECTS) {
      const std::size_t n = std::min<std::size_t>(MAXIMUM_WAIT_OBJECTS, waiting.size() - begin);
      std::vector<HANDLE> handles;
      for (std::size_t i = 0; i < n; ++i) handles.push_back(waiting[begin + i].second);
      const DWORD rc = WaitForMultipleObjects(static_cast<DWORD>(n), handles.data(), FALSE,
                                              one_group ? INFINITE : 50);
      if (rc == WAIT_TIMEOUT) continue;
      if (rc >= WAIT_OBJECT_0 + n) {
        *error = win::LastErrorText();
        return false;
      }
      const auto& [pid, handle] = waiting[begin + (rc - WAIT_OBJECT_0)];
      *end = EndOf(pid, handle);
      std::lock_guard<std::mutex> lock(g_children_mutex);
      Children().erase(pid);
      CloseHandle(handle);
      return true;
    }
  }
}

bool CollectIfEnded(long pid) {
  std::lock_guard<std::mutex> lock(g_children_mutex);
  const auto it = Children().find(pid);
  if (it == Children().end()) return true;
  if (WaitForSingleObject(it->second, 0) != WAIT_OBJECT_0) return false;
  CloseHandle(it->second);
  Children().erase(it);
  return true;
}

bool OpenWithDesktop(const std::string& path, long* pid, std::string* error) {
  *pid = 0;
  // The program for a kind of file may be a shell extension, which runs
  // through COM; it stays set up for the thread (a dialog opens several).
  thread_local const HRESULT com = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED |
                                                               COINIT_DISABLE_OLE1DDE);
  (void)com;
  const std::wstring file = win::Widen(path);
  const auto rc = reinterpret_cast<INT_PTR>(
      ShellExecuteW(nullptr, L"open", file.c_str(), nullptr, nullptr, SW_SHOWNORMAL));
  // Values up to 32 are errors.
  if (rc <= 32) {
    *error = "ShellExecute: " + (rc == SE_ERR_NOASSOC ? std::string("no program is associated "
                                                                    "with this kind of file")
                                                      : win::ErrorText(static_cast<DWORD>(rc)));
    return false;
  }
  return true;
}

std::string ExecutableFileName(const std::string& stem) { return stem + ".exe"; }

std::string OwnExecutablePath() {
  std::wstring buffer(MAX_PATH, L'\0');
  for (;;) {
    const DWORD n = GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
    if (n == 0) return std::string();
    if (n < buffer.size()) {
      buffer.resize(n);
      return PathText(std::filesystem::path(buffer));
    }
    if (buffer.size() >= (std::size_t{1} << 16)) return std::string();
    buffer.resize(buffer.size() * 2);
  }
}

long OwnProcessId() { return static_cast<long>(GetCurrentProcessId()); }

std::vector<std::string> CommandLineArguments(int argc, char** argv) {
  int n = 0;
  wchar_t** wide = CommandLineToArgvW(GetCommandLineW(), &n);
  if (wide == nullptr || n != argc) {
    if (wide != nullptr) LocalFree(wide);
    return std::vector<std::string>(argv, argv + argc);
  }
  std::vector<std::string> args;
  args.reserve(static_cast<std::size_t>(n));
  for (int i = 0; i < n; ++i) args.push_back(win::Narrow(wide[i]));
  LocalFree(wide);
  return args;
}

void PrepareStandardStreams() {
  // Text mode would turn every "\n" into "\r\n"; output is written with
  // "\n" on every system, so tables and reports piped to a file are the
  // same bytes (a Windows console shows "\n" as a line end too).
  _setmode(_fileno(stdout), _O_BINARY);
  _setmode(_fileno(stderr), _O_BINARY);
  // Names and texts are UTF-8.
  SetConsoleOutputCP(CP_UTF8);
}

bool StderrIsTerminal() { return _isatty(_fileno(stderr)) != 0; }

}  // namespace qae
