// Paths of test inputs and scratch directories.
#pragma once

#include <filesystem>
#include <string>

namespace qae::test {

// A file committed under tests/data.
inline std::string DataFile(const std::string& relative) {
  return std::string(QAE_TEST_DATA_DIR) + "/" + relative;
}

// A file of the shared test corpus beside the checkout, or "" when that
// corpus is not present (a user's clone has none).
inline std::string SharedFile(const std::string& relative) {
  const std::string path = std::string(QAE_SHARED_TESTDATA_DIR) + "/" + relative;
  return std::filesystem::exists(path) ? path : std::string();
}

// A fresh, empty directory for one test, removed when the object dies.
class ScratchDir {
 public:
  ScratchDir() {
    std::string tmpl = (std::filesystem::temp_directory_path() / "qae_test_XXXXXX").string();
    path_ = mkdtemp(tmpl.data()) ? tmpl : std::string();
  }
  ~ScratchDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;

  const std::string& path() const { return path_; }
  std::string File(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

}  // namespace qae::test
