#include "util/locked_append.h"

namespace qae {

std::string NoLocksProblem(const std::string& dir, const std::string& reason) {
  const std::string folder = dir.empty() ? std::string("the current folder") : dir;
  return "the output folder " + folder + " does not support file locks (" + reason +
         "): processes sharing ML_detect.ps0 there could overwrite each other's rows. Mount it "
         "with lock support (NFSv4, NFSv3 with lockd, Lustre with -o flock) or give outDir a "
         "folder on such a mount or a local disk";
}

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
