#include "util/temp_folder.h"

#include <atomic>
#include <filesystem>

#include "util/path.h"
#include "util/windows/wide.h"

namespace qae {

std::string MakeTemporaryFolder(const std::string& prefix, std::string* error) {
  std::wstring base(MAX_PATH + 1, L'\0');
  const DWORD n = GetTempPathW(static_cast<DWORD>(base.size()), base.data());
  base.resize(n > 0 && n < base.size() ? n : 0);
  std::string dir = base.empty() ? std::string(".") : PathText(std::filesystem::path(base));
  while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
  static std::atomic<unsigned> counter{0};
  static const char kLetters[] = "abcdefghijklmnopqrstuvwxyz0123456789";
  for (int attempt = 0; attempt < 100; ++attempt) {
    unsigned long long v = GetTickCount64() * 1000003ull + GetCurrentProcessId() * 7919ull +
                           counter.fetch_add(1) * 2654435761ull;
    std::string name = prefix;
    for (int i = 0; i < 6; ++i, v /= 36) name += kLetters[v % 36];
    const std::string path = dir + "/" + name;
    if (CreateDirectoryW(win::Widen(path).c_str(), nullptr)) return path;
    if (GetLastError() != ERROR_ALREADY_EXISTS) break;
  }
  if (error) {
    *error = "cannot create a temporary directory from " + dir + "/" + prefix + "XXXXXX: " +
             win::LastErrorText();
  }
  return std::string();
}

}  // namespace qae
