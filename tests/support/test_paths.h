// Paths of test inputs and scratch directories.
#pragma once

#include <filesystem>
#include <string>

#include "util/path.h"
#include "util/temp_folder.h"

namespace qae::test {

// A file committed under tests/data.
inline std::string DataFile(const std::string& relative) {
  return std::string(QAE_TEST_DATA_DIR) + "/" + relative;
}

// A file of the shared test corpus beside the checkout, or "" when that
// corpus is not present (a user's clone has none).
inline std::string SharedFile(const std::string& relative) {
  const std::string path = std::string(QAE_SHARED_TESTDATA_DIR) + "/" + relative;
  return std::filesystem::exists(PathOf(path)) ? path : std::string();
}

// A fresh, empty directory for one test, removed when the object dies.
class ScratchDir {
 public:
  ScratchDir() {
    std::string error;
    // No underscore before the random letters: a folder named "..._A..."
    // would make every recording in it one of an "_A"/"_B" pair.
    path_ = MakeTemporaryFolder("qae-test-", &error);
  }
  ~ScratchDir() {
    std::error_code ec;
    if (!path_.empty()) std::filesystem::remove_all(PathOf(path_), ec);
  }
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;

  const std::string& path() const { return path_; }
  std::string File(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

}  // namespace qae::test
