// Text at the Win32 boundary: the program keeps UTF-8 everywhere and turns
// it into UTF-16 only for the call. Included by the files of util/windows/
// (and the other windows/ folders) only.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <string>
#include <string_view>
#include <vector>

namespace qae::win {

// UTF-16 of `utf8`. Bytes that are not UTF-8 (a parameter file written in
// the system's ANSI code page by an older program) are read in that code
// page instead, so such a name still opens.
std::wstring Widen(std::string_view utf8);

// UTF-8 of `wide`; unpaired surrogates become U+FFFD.
std::string Narrow(std::wstring_view wide);

// The system's message for an error code, in UTF-8, without the trailing
// line end ("error 123" when it has none).
std::string ErrorText(DWORD code);

// ErrorText(GetLastError()).
std::string LastErrorText();

// One argument quoted so that CommandLineToArgvW (and the C runtime's
// parser) gives it back unchanged.
std::wstring QuoteArgument(std::wstring_view argument);

// A handle closed when the object dies.
class Handle {
 public:
  Handle() = default;
  explicit Handle(HANDLE h) : h_(h) {}
  ~Handle() { Reset(); }
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  Handle(Handle&& other) noexcept : h_(other.Release()) {}
  Handle& operator=(Handle&& other) noexcept {
    if (this != &other) {
      Reset();
      h_ = other.Release();
    }
    return *this;
  }

  bool valid() const { return h_ != nullptr && h_ != INVALID_HANDLE_VALUE; }
  HANDLE get() const { return h_; }
  HANDLE Release() {
    HANDLE h = h_;
    h_ = nullptr;
    return h;
  }
  void Reset(HANDLE h = nullptr) {
    if (valid()) CloseHandle(h_);
    h_ = h;
  }

 private:
  HANDLE h_ = nullptr;
};

}  // namespace qae::win
