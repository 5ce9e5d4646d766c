#include "util/path.h"

namespace qae {

std::filesystem::path PathOf(std::string_view utf8) { return std::filesystem::path(utf8); }

std::string PathText(const std::filesystem::path& path) { return path.string(); }

}  // namespace qae
