// CreateProcessW with stdout and stderr going to files, as the POSIX
// runner's shell redirections do.
#include "support/cli_runner.h"

#include <gtest/gtest.h>

#include <map>
#include <vector>

#include "util/windows/wide.h"

namespace qae::test {

namespace {

// The environment block of this process with `changes` applied.
std::wstring EnvironmentWith(const std::map<std::wstring, std::wstring>& changes) {
  std::map<std::wstring, std::wstring> vars;
  wchar_t* block = GetEnvironmentStringsW();
  for (const wchar_t* p = block; p != nullptr && *p != L'\0'; p += wcslen(p) + 1) {
    const std::wstring entry(p);
    // Entries such as "=C:=C:\\dir" (a drive's folder) start with '='.
    const std::size_t eq = entry.find(L'=', 1);
    if (eq != std::wstring::npos) vars[entry.substr(0, eq)] = entry.substr(eq + 1);
  }
  if (block != nullptr) FreeEnvironmentStringsW(block);
  for (const auto& [name, value] : changes) vars[name] = value;
  std::wstring out;
  for (const auto& [name, value] : vars) out += name + L"=" + value + L'\0';
  out += L'\0';
  return out;
}

HANDLE CreateOutput(const std::string& path) {
  SECURITY_ATTRIBUTES inherit{};
  inherit.nLength = sizeof inherit;
  inherit.bInheritHandle = TRUE;
  return CreateFileW(qae::win::Widen(path).c_str(), GENERIC_WRITE,
                     FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, &inherit,
                     CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
}

}  // namespace

std::string Quote(const std::string& s) {
  // Always quoted, so that an empty word survives too.
  std::wstring q = qae::win::QuoteArgument(qae::win::Widen(s));
  if (q.empty() || q.front() != L'"') q = L"\"" + q + L"\"";
  return qae::win::Narrow(q);
}

RunResult RunCommandLine(const std::string& command_line, const std::string& scratch_dir,
                         const std::string& shell) {
  RunResult result;
  std::map<std::wstring, std::wstring> changes;
  std::istringstream words(shell);
  std::string word;
  while (words >> word) {
    const std::size_t eq = word.find('=');
    if (eq == std::string::npos || eq == 0) {
      ADD_FAILURE() << "no Windows counterpart of the shell text: " << shell;
      return result;
    }
    std::string value = word.substr(eq + 1);
    if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
        value.back() == value.front()) {
      value = value.substr(1, value.size() - 2);
    }
    changes[qae::win::Widen(word.substr(0, eq))] = qae::win::Widen(value);
  }
  const std::string out = scratch_dir + "/stdout.txt";
  const std::string err = scratch_dir + "/stderr.txt";
  qae::win::Handle out_file(CreateOutput(out));
  qae::win::Handle err_file(CreateOutput(err));
  if (!out_file.valid() || !err_file.valid()) {
    ADD_FAILURE() << "cannot create the output files in " << scratch_dir;
    return result;
  }
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  startup.hStdOutput = out_file.get();
  startup.hStdError = err_file.get();
  std::wstring line = qae::win::Widen(command_line);
  std::wstring environment = EnvironmentWith(changes);
  PROCESS_INFORMATION info{};
  if (!CreateProcessW(nullptr, line.data(), nullptr, nullptr, TRUE, CREATE_UNICODE_ENVIRONMENT,
                      environment.data(), nullptr, &startup, &info)) {
    ADD_FAILURE() << "cannot start " << command_line << ": " << qae::win::LastErrorText();
    return result;
  }
  CloseHandle(info.hThread);
  WaitForSingleObject(info.hProcess, INFINITE);
  DWORD code = 0;
  if (GetExitCodeProcess(info.hProcess, &code)) result.exit_code = static_cast<int>(code);
  CloseHandle(info.hProcess);
  out_file.Reset();
  err_file.Reset();
  result.out = ReadText(out);
  result.err = ReadText(err);
  return result;
}

}  // namespace qae::test
