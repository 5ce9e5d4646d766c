#include "util/temp_folder.h"

#include <stdlib.h>

#include <filesystem>
#include <vector>

namespace qae {

std::string MakeTemporaryFolder(const std::string& prefix, std::string* error) {
  std::error_code ec;
  const std::filesystem::path base = std::filesystem::temp_directory_path(ec);
  const std::string pattern = (ec ? std::string("/tmp") : base.string()) + "/" + prefix + "XXXXXX";
  std::vector<char> buffer(pattern.begin(), pattern.end());
  buffer.push_back('\0');
  if (mkdtemp(buffer.data()) == nullptr) {
    if (error) *error = "cannot create a temporary directory from " + pattern;
    return std::string();
  }
  return std::string(buffer.data());
}

}  // namespace qae
