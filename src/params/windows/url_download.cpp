// WinINet: the system's own client, so the Windows build needs no TLS
// library of its own and honours the system's proxy settings and
// certificate store. It follows redirects by itself (its own limit stands
// in for kMaxRedirects).
#include "params/url_download.h"

#include "util/windows/wide.h"

#include <wininet.h>

#include <chrono>
#include <memory>

#include "params/text_source.h"
#include "util/text.h"

namespace qae {

namespace {

struct InternetHandleCloser {
  void operator()(HINTERNET h) const {
    if (h != nullptr) InternetCloseHandle(h);
  }
};
using InternetHandle = std::unique_ptr<void, InternetHandleCloser>;

// WinINet's messages live in wininet.dll, not in the system's table.
std::string InternetErrorText(DWORD code) {
  wchar_t* buffer = nullptr;
  const DWORD n = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_HMODULE |
                                     FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                 GetModuleHandleW(L"wininet.dll"), code, 0,
                                 reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
  std::wstring text = n > 0 && buffer != nullptr ? std::wstring(buffer, n) : std::wstring();
  if (buffer != nullptr) LocalFree(buffer);
  while (!text.empty() && (text.back() == L'\n' || text.back() == L'\r' || text.back() == L' ' ||
                           text.back() == L'.')) {
    text.pop_back();
  }
  return text.empty() ? "internet error " + std::to_string(code) : win::Narrow(text);
}

bool Fail(std::string* error, const std::string& text) {
  if (error) *error = text;
  return false;
}

}  // namespace

bool DownloadText(const std::string& url, std::string* body, std::string* error) {
  const InternetHandle session(
      InternetOpenW(L"Quorvex_AE", INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0));
  if (!session) return Fail(error, "cannot initialise the internet client");
  DWORD connect_ms = kConnectTimeoutSeconds * 1000;
  DWORD transfer_ms = kTransferTimeoutSeconds * 1000;
  HINTERNET h = session.get();
  InternetSetOptionW(h, INTERNET_OPTION_CONNECT_TIMEOUT, &connect_ms, sizeof connect_ms);
  InternetSetOptionW(h, INTERNET_OPTION_RECEIVE_TIMEOUT, &transfer_ms, sizeof transfer_ms);
  InternetSetOptionW(h, INTERNET_OPTION_SEND_TIMEOUT, &transfer_ms, sizeof transfer_ms);

  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::seconds(kTransferTimeoutSeconds);
  const std::wstring wide_url = win::Widen(url);
  const InternetHandle request(InternetOpenUrlW(
      session.get(), wide_url.c_str(), nullptr, 0,
      INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE | INTERNET_FLAG_NO_UI |
          INTERNET_FLAG_NO_COOKIES | INTERNET_FLAG_PASSIVE,
      0));
  if (!request) return Fail(error, InternetErrorText(GetLastError()));

  // An HTTP error page is not a parameter file.
  if (StartsWithNoCase(url, "http")) {
    DWORD status = 0;
    DWORD size = sizeof status;
    if (HttpQueryInfoW(request.get(), HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &status,
                       &size, nullptr) &&
        status >= 400) {
      return Fail(error, "The requested URL returned error: " + std::to_string(status));
    }
  }

  std::string download;
  char buffer[16384];
  for (;;) {
    DWORD n = 0;
    if (!InternetReadFile(request.get(), buffer, sizeof buffer, &n)) {
      return Fail(error, InternetErrorText(GetLastError()));
    }
    if (n == 0) break;
    if (download.size() + n > kMaxTextSourceBytes) {
      return Fail(error, "download is larger than 16 MiB");
    }
    download.append(buffer, n);
    if (std::chrono::steady_clock::now() > deadline) {
      return Fail(error, "the transfer took longer than " +
                             std::to_string(kTransferTimeoutSeconds) + " seconds");
    }
  }
  *body = std::move(download);
  return true;
}

}  // namespace qae
