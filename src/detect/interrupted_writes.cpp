#include "detect/interrupted_writes.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <filesystem>
#include <set>
#include <system_error>
#include <tuple>

#include "detect/detection_commit.h"
#include "util/path.h"
#include "util/text.h"

namespace qae {

namespace {

namespace fs = std::filesystem;

// The last component of a path, so that the staged files a journal names
// are known whatever prefix the run that wrote it was given.
std::string FileName(const std::string& path) {
  const std::size_t cut = path.find_last_of("/\\");
  return cut == std::string::npos ? path : path.substr(cut + 1);
}

enum class Leftover { kNone, kJournal, kStaged, kTemporary };

// Splits "<tail>%06d[_NN].sg2<suffix>" into its number and the kind of
// leftover; kNone for any other name.
Leftover Classify(const std::string& name, const std::string& tail, int* number) {
  if (name.compare(0, tail.size(), tail) != 0) return Leftover::kNone;
  const std::size_t sg2 = name.find(".sg2", tail.size());
  if (sg2 == std::string::npos) return Leftover::kNone;
  std::string_view digits = std::string_view(name).substr(tail.size(), sg2 - tail.size());
  if (digits.size() > 3 && digits[digits.size() - 3] == '_' &&
      std::isdigit(static_cast<unsigned char>(digits[digits.size() - 2])) &&
      std::isdigit(static_cast<unsigned char>(digits[digits.size() - 1]))) {
    digits.remove_suffix(3);
  }
  int n = 0;
  const auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), n);
  if (ec != std::errc() || end != digits.data() + digits.size()) return Leftover::kNone;
  if (StrPrintf("%06d", n) != digits) return Leftover::kNone;
  *number = n;
  const std::string_view suffix = std::string_view(name).substr(sg2 + 4);
  if (suffix == kJournalSuffix) return Leftover::kJournal;
  if (suffix == kStagedSuffix) return Leftover::kStaged;
  // WriteFileAtomically's temporary files: ".tmp." and six characters.
  if (suffix.size() == 11 && suffix.substr(0, 5) == ".tmp.") return Leftover::kTemporary;
  if (suffix.size() == 11 + std::string_view(kStagedSuffix).size() &&
      suffix.substr(0, std::string_view(kStagedSuffix).size()) == kStagedSuffix &&
      suffix.substr(std::string_view(kStagedSuffix).size(), 5) == ".tmp.") {
    return Leftover::kTemporary;
  }
  if (suffix.size() == 11 + std::string_view(kJournalSuffix).size() &&
      suffix.substr(0, std::string_view(kJournalSuffix).size()) == kJournalSuffix &&
      suffix.substr(std::string_view(kJournalSuffix).size(), 5) == ".tmp.") {
    return Leftover::kTemporary;
  }
  return Leftover::kNone;
}

}  // namespace

std::vector<InterruptedCommit> RecoverInterruptedWrites(const std::string& prefix, int first,
                                                        int last, const std::string& recording,
                                                        RunContext& ctx) {
  std::vector<InterruptedCommit> found;
  const std::size_t cut = prefix.find_last_of("/\\");
  const std::string dir = cut == std::string::npos ? std::string(".") : prefix.substr(0, cut + 1);
  const std::string tail = cut == std::string::npos ? prefix : prefix.substr(cut + 1);

  struct Entry {
    Leftover kind;
    int number;
    std::string path;
  };
  std::vector<Entry> entries;
  std::error_code ec;
  for (fs::directory_iterator it(PathOf(dir), ec), end; !ec && it != end; it.increment(ec)) {
    const std::string name = PathText(it->path().filename());
    int number = 0;
    const Leftover kind = Classify(name, tail, &number);
    // A journal may name records of several numbers (a group commit, named
    // after its first): it is read whatever its own number.
    if (kind == Leftover::kNone ||
        (kind != Leftover::kJournal && (number < first || number > last))) {
      continue;
    }
    entries.push_back({kind, number, prefix.substr(0, prefix.size() - tail.size()) + name});
  }
  // Journals first (they may still need their staged files), in number order.
  std::sort(entries.begin(), entries.end(), [](const Entry& a, const Entry& b) {
    return std::tie(a.kind, a.number, a.path) < std::tie(b.kind, b.number, b.path);
  });

  // Staged files (by name) that a journal still needs: of journals left for
  // another run, or not finished.
  std::set<std::string> needed;
  for (const Entry& e : entries) {
    if (e.kind == Leftover::kJournal) {
      std::vector<RecordCommit> journal;
      std::string error;
      if (!ReadCommitJournal(e.path, &journal, &error)) {
        if (e.number < first || e.number > last) continue;
        ctx.Lose(0, "cannot finish an interrupted write: " + error +
                        " (it is left in place; remove it if no run of this program wrote it)");
        continue;
      }
      bool ours = false;
      for (const RecordCommit& c : journal) {
        const int number = c.aeNumber >= 0 ? c.aeNumber : e.number;
        ours = ours || (number >= first && number <= last && c.recording == recording);
      }
      if (!ours) {
        // Another run's (of other numbers, or of another recording).
        for (const RecordCommit& c : journal) {
          if (c.marked) needed.insert(FileName(c.marked->path + kStagedSuffix));
        }
        continue;
      }
      const std::vector<RecoveryOutcome> outcomes = FinishInterruptedCommits(e.path);
      for (std::size_t i = 0; i < outcomes.size() && i < journal.size(); ++i) {
        const RecoveryOutcome& r = outcomes[i];
        const RecordCommit& c = journal[i];
        const int number = c.aeNumber >= 0 ? c.aeNumber : e.number;
        found.push_back(InterruptedCommit{number, r.finished, r.detections, r.recording, r.segment});
        const std::string what = c.marked ? c.marked->path : e.path;
        if (r.finished) {
          ctx.log.Printf("  Finished the interrupted write of %s: %d of %d rows added\n",
                         what.c_str(), r.rowsAdded, r.detections);
        } else {
          if (c.marked) needed.insert(FileName(c.marked->path + kStagedSuffix));
          ctx.Lose(r.detections, "cannot finish the interrupted write of " + what + ": " +
                                     r.error + "; it is kept for the next run");
        }
      }
    } else {
      // A staged file whose journal was never written, or a temporary file:
      // an interrupted write that had not committed anything.
      const std::string journal = e.path.substr(0, e.path.rfind(".sg2") + 4) + kJournalSuffix;
      if (e.kind == Leftover::kStaged &&
          (needed.count(FileName(e.path)) != 0 || fs::exists(PathOf(journal), ec))) {
        continue;
      }
      if (fs::remove(PathOf(e.path), ec)) {
        ctx.log.Printf("  Removed %s, left by an interrupted write\n", e.path.c_str());
      }
    }
  }
  return found;
}

}  // namespace qae
