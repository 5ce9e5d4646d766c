// The Win32 boundary: UTF-8 to UTF-16 and back, and the quoting that
// CreateProcessW's command line needs (read back as CommandLineToArgvW and
// the C runtime read it).
#include "util/windows/wide.h"

#include <gtest/gtest.h>
#include <shellapi.h>

#include <string>
#include <vector>

namespace qae::win {
namespace {

std::vector<std::wstring> Split(const std::wstring& command_line) {
  int n = 0;
  wchar_t** argv = CommandLineToArgvW(command_line.c_str(), &n);
  std::vector<std::wstring> out(argv, argv + n);
  LocalFree(argv);
  return out;
}

TEST(WideText, Utf8RoundTrips) {
  for (const std::string& s : {std::string(), std::string("plain"),
                              std::string("Gr\xC3\xB6\xC3\x9F" "e \xE6\xB8\xAC\xE5\xAE\x9A"),
                              std::string("\xF0\x9F\x93\x88 beyond the BMP")}) {
    EXPECT_EQ(Narrow(Widen(s)), s);
  }
  EXPECT_EQ(Widen("\xC3\xA9"), L"\u00E9");
  EXPECT_EQ(Widen("\xF0\x9F\x93\x88").size(), 2u);  // a surrogate pair
}

TEST(WideText, BytesThatAreNotUtf8AreReadInTheAnsiCodePage) {
  // An older program's parameter file names "café" in its code page.
  const std::wstring wide = Widen("caf\xE9");
  ASSERT_EQ(wide.size(), 4u);
  EXPECT_EQ(wide.substr(0, 3), L"caf");
  EXPECT_NE(wide[3], L'\uFFFD');
}

TEST(WideText, QuotedArgumentsComeBackUnchanged) {
  const std::vector<std::wstring> args = {
      L"plain", L"", L"two words", L"tab\there", L"\"quoted\"", L"back\\slash",
      L"trailing\\", L"trailing two\\\\", L"\\\"", L"a\\\\\"b", L"C:\\Program Files\\x\\",
      L"semi;colon;", L"\u00FCml \u6E2C"};
  std::wstring line = L"prog.exe";
  for (const std::wstring& a : args) line += L" " + QuoteArgument(a);
  const std::vector<std::wstring> back = Split(line);
  ASSERT_EQ(back.size(), args.size() + 1);
  for (std::size_t i = 0; i < args.size(); ++i) EXPECT_EQ(back[i + 1], args[i]) << i;
  // Words without anything special stay as they are.
  EXPECT_EQ(QuoteArgument(L"1,46,+=0"), L"1,46,+=0");
}

TEST(WideText, ErrorTextsAreOneLine) {
  const std::string text = ErrorText(ERROR_FILE_NOT_FOUND);
  EXPECT_FALSE(text.empty());
  EXPECT_EQ(text.find('\n'), std::string::npos);
  EXPECT_NE(text.back(), '.');
  EXPECT_EQ(ErrorText(0xFFFFFFF0u).rfind("error ", 0), 0u);
}

}  // namespace
}  // namespace qae::win
