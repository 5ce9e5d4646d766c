#include "util/path.h"

#include "util/windows/wide.h"

namespace qae {

std::filesystem::path PathOf(std::string_view utf8) {
  return std::filesystem::path(win::Widen(utf8));
}

std::string PathText(const std::filesystem::path& path) {
  return win::Narrow(path.generic_wstring());
}

}  // namespace qae
