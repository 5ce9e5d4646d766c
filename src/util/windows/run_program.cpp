// CreateProcessW with both output streams on pipes, drained by two threads
// so that a child filling one pipe cannot block while we read the other.
#include "util/run_program.h"

#include <algorithm>
#include <thread>

#include "util/windows/wide.h"

namespace qae {

namespace {

void Drain(HANDLE pipe, std::string* sink, std::size_t max_bytes) {
  char buffer[4096];
  DWORD n = 0;
  while (ReadFile(pipe, buffer, sizeof buffer, &n, nullptr) && n > 0) {
    if (sink->size() < max_bytes) {
      sink->append(buffer, std::min<std::size_t>(n, max_bytes - sink->size()));
    }
  }
}

}  // namespace

ProgramResult RunProgram(const std::vector<std::string>& argv, std::size_t max_bytes) {
  ProgramResult r;
  if (argv.empty()) {
    r.error = "no program given";
    return r;
  }
  SECURITY_ATTRIBUTES inherit{};
  inherit.nLength = sizeof inherit;
  inherit.bInheritHandle = TRUE;
  HANDLE out_read = nullptr;
  HANDLE out_write = nullptr;
  HANDLE err_read = nullptr;
  HANDLE err_write = nullptr;
  if (!CreatePipe(&out_read, &out_write, &inherit, 0)) {
    r.error = "pipe: " + win::LastErrorText();
    return r;
  }
  win::Handle out_r(out_read), out_w(out_write);
  if (!CreatePipe(&err_read, &err_write, &inherit, 0)) {
    r.error = "pipe: " + win::LastErrorText();
    return r;
  }
  win::Handle err_r(err_read), err_w(err_write);
  // Only the write ends go to the child.
  SetHandleInformation(out_r.get(), HANDLE_FLAG_INHERIT, 0);
  SetHandleInformation(err_r.get(), HANDLE_FLAG_INHERIT, 0);

  std::wstring command_line;
  for (const std::string& a : argv) {
    if (!command_line.empty()) command_line += L' ';
    command_line += win::QuoteArgument(win::Widen(a));
  }
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  startup.hStdOutput = out_w.get();
  startup.hStdError = err_w.get();
  PROCESS_INFORMATION info{};
  const BOOL started = CreateProcessW(nullptr, command_line.data(), nullptr, nullptr, TRUE,
                                      CREATE_NO_WINDOW, nullptr, nullptr, &startup, &info);
  const DWORD start_error = GetLastError();
  out_w.Reset();
  err_w.Reset();
  if (!started) {
    r.error = argv[0] + ": " + win::ErrorText(start_error);
    return r;
  }
  win::Handle process(info.hProcess);
  CloseHandle(info.hThread);
  r.started = true;
  std::thread err_reader(Drain, err_r.get(), &r.err, max_bytes);
  Drain(out_r.get(), &r.out, max_bytes);
  err_reader.join();
  WaitForSingleObject(process.get(), INFINITE);
  DWORD code = 0;
  if (!GetExitCodeProcess(process.get(), &code)) {
    r.error = "GetExitCodeProcess: " + win::LastErrorText();
    return r;
  }
  r.exitCode = static_cast<int>(code);
  return r;
}

}  // namespace qae
