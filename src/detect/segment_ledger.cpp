#include "detect/segment_ledger.h"

#include <charconv>
#include <filesystem>
#include <system_error>
#include <vector>

#include "util/file_io.h"
#include "util/locked_append.h"
#include "util/path.h"
#include "util/text.h"

namespace qae {

namespace {

template <typename T>
bool ParseNumber(std::string_view text, T* value) {
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), *value);
  return ec == std::errc() && end == text.data() + text.size();
}

}  // namespace

std::string SegmentLedgerPath(const std::string& out_dir) { return out_dir + kSegmentLedgerName; }

std::string RecordingIdentity(const std::string& data_path) {
  std::error_code ec;
  const std::filesystem::path absolute = std::filesystem::absolute(PathOf(data_path), ec);
  if (ec) return data_path;
  const std::filesystem::path normal = std::filesystem::weakly_canonical(absolute, ec);
  return PathText(ec ? absolute.lexically_normal() : normal);
}

std::string SegmentLedgerLine(const std::string& recording, int64_t segment, int ae_number) {
  return recording + StrPrintf("\t%lld\t%d\n", static_cast<long long>(segment), ae_number);
}

bool ReadSegmentLedger(const std::string& path, const std::string& recording,
                       std::map<int64_t, int>* segments, std::string* error) {
  segments->clear();
  std::error_code ec;
  if (!std::filesystem::exists(PathOf(path), ec)) return true;
  std::vector<uint8_t> bytes;
  if (!ReadWholeFile(path, &bytes, error, uint64_t{1} << 32)) return false;
  const std::string text(bytes.begin(), bytes.end());
  for (const std::string& line : WholeLines(text)) {
    // The recording's name may hold anything but a newline; the numbers are
    // the last two fields.
    const std::size_t tab2 = line.rfind('\t');
    if (tab2 == std::string::npos || tab2 == 0) continue;
    const std::size_t tab1 = line.rfind('\t', tab2 - 1);
    if (tab1 == std::string::npos) continue;
    if (std::string_view(line).substr(0, tab1) != recording) continue;
    int64_t segment = 0;
    int ae = 0;
    if (!ParseNumber(std::string_view(line).substr(tab1 + 1, tab2 - tab1 - 1), &segment) ||
        !ParseNumber(std::string_view(line).substr(tab2 + 1), &ae)) {
      continue;
    }
    (*segments)[segment] = ae;
  }
  return true;
}

}  // namespace qae
