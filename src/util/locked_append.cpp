#include "util/locked_append.h"

namespace qae {

std::vector<std::string> WholeLines(const std::string& text) {
  std::vector<std::string> lines;
  std::size_t begin = 0;
  for (;;) {
    const std::size_t nl = text.find('\n', begin);
    if (nl == std::string::npos) break;
    const std::size_t end = nl > begin && text[nl - 1] == '\r' ? nl - 1 : nl;
    lines.push_back(text.substr(begin, end - begin));
    begin = nl + 1;
  }
  return lines;
}

}  // namespace qae
