#include "detect/detection_commit.h"

#include <cstdio>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <system_error>

#include "detect/result_table.h"
#include "util/crash_point.h"
#include "util/file_io.h"
#include "util/locked_append.h"
#include "util/path.h"

namespace qae {

namespace {

namespace fs = std::filesystem;

constexpr int kLedgerOpenAttempts = 10;
constexpr int kLedgerRetryMs = 500;

bool WriteImage(const std::string& path, const std::vector<uint8_t>& bytes, std::string* error) {
  return WriteFileAtomically(path, bytes.data(), bytes.size(), error);
}

bool RemoveIfThere(const std::string& path) {
  std::error_code ec;
  fs::remove(PathOf(path), ec);
  return !ec;
}

int CountLines(const std::string& text) {
  int n = 0;
  for (char c : text) n += c == '\n' ? 1 : 0;
  return n;
}

std::string JournalText(const RecordCommit& c) {
  nlohmann::ordered_json j;
  j["journal"] = "Quorvex_AE record commit";
  j["version"] = 1;
  j["table"] = c.tablePath;
  j["rows"] = c.rows;
  j["detections"] = c.detections;
  if (c.marked) j["marked"] = c.marked->path;
  if (!c.ledgerPath.empty()) {
    j["ledger"] = c.ledgerPath;
    j["ledgerLine"] = c.ledgerLine;
  }
  if (!c.recording.empty()) {
    j["recording"] = c.recording;
    j["segment"] = c.segment;
  }
  return j.dump(1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
}

// Appends `line` to the ledger unless it holds it already.
bool AddLedgerLine(const std::string& path, const std::string& line, std::string* error) {
  LockedAppendFile ledger;
  int64_t torn = 0;
  std::string text;
  if (!ledger.Open(path, kLedgerOpenAttempts, kLedgerRetryMs, error) || !ledger.Lock(error) ||
      !ledger.CutTornTail(&torn, error) || !ledger.ReadAll(&text, error)) {
    return false;
  }
  for (const std::string& existing : WholeLines(text)) {
    if (existing + "\n" == line) return true;
  }
  bool unknown = false;
  return ledger.AppendWhole(line, &unknown, error);
}

// Step 5: the mark.
bool Mark(const RecordCommit& c, std::string* error) {
  if (c.marked) {
    const std::string staged = c.marked->path + kStagedSuffix;
    std::error_code ec;
    if (fs::exists(PathOf(staged), ec)) {
      fs::rename(PathOf(staged), PathOf(c.marked->path), ec);
      if (ec) {
        if (error) *error = c.marked->path + ": cannot replace it: " + ec.message();
        return false;
      }
    }
    // Without the staged file the mark was made before the crash.
  }
  if (!c.ledgerPath.empty() && !AddLedgerLine(c.ledgerPath, c.ledgerLine, error)) return false;
  return true;
}

}  // namespace

std::string RecordCommit::JournalPath() const {
  if (marked) return marked->path + kJournalSuffix;
  if (!files.empty()) return files.front().path + kJournalSuffix;
  return tablePath + kJournalSuffix;
}

CommitOutcome CommitRecord(const RecordCommit& c) {
  CommitOutcome out;
  const std::string journal = c.JournalPath();
  const std::string staged = c.marked ? c.marked->path + kStagedSuffix : std::string();
  std::size_t files_written = 0;
  // Nothing of a record that is not in the table may stay behind: a copy
  // carries a detection line too.
  auto take_back = [&](const std::string& error) {
    RemoveIfThere(journal);
    if (!staged.empty()) RemoveIfThere(staged);
    for (std::size_t i = 0; i < files_written; ++i) RemoveIfThere(c.files[i].path);
    out.error = error;
    return out;
  };

  std::string error;
  for (const FileImage& file : c.files) {
    if (!WriteImage(file.path, file.bytes, &error)) return take_back(error);
    ++files_written;
    CrashPoint("copy written");
  }
  if (c.marked) {
    if (!WriteImage(staged, c.marked->bytes, &error)) return take_back(error);
    CrashPoint("staged file written");
  }
  const std::string journal_text = JournalText(c);
  if (!WriteFileAtomically(journal, reinterpret_cast<const uint8_t*>(journal_text.data()),
                           journal_text.size(), &error)) {
    return take_back(error);
  }
  CrashPoint("journal written");

  const TableAppend appended = AppendRowsToTable(c.tablePath, c.rows);
  if (!appended.written) {
    if (!appended.unknown) return take_back(appended.error);
    // Part of the rows may be in the table: only the journal can tell a
    // later run which, so it stays.
    out.error = appended.error;
    out.pending = true;
    return out;
  }
  out.rowsWritten = true;
  CrashPoint("rows appended");

  if (!Mark(c, &error)) {
    out.error = error;
    out.pending = true;
    return out;
  }
  CrashPoint("record marked");
  // A journal that cannot be removed only costs the next run a look.
  RemoveIfThere(journal);
  CrashPoint("journal removed");
  out.complete = true;
  return out;
}

bool ReadCommitJournal(const std::string& journal_path, RecordCommit* c, std::string* error) {
  std::vector<uint8_t> bytes;
  if (!ReadWholeFile(journal_path, &bytes, error, uint64_t{1} << 26)) return false;
  const nlohmann::json j = nlohmann::json::parse(bytes.begin(), bytes.end(), nullptr, false);
  if (j.is_discarded() || !j.is_object() || j.value("version", 0) != 1 ||
      !j.contains("table") || !j["table"].is_string() || !j.contains("rows") ||
      !j["rows"].is_string()) {
    if (error) *error = journal_path + ": not a journal of an interrupted write";
    return false;
  }
  *c = RecordCommit();
  c->tablePath = j["table"].get<std::string>();
  c->rows = j["rows"].get<std::string>();
  c->detections = j.value("detections", CountLines(c->rows));
  if (j.contains("marked") && j["marked"].is_string()) {
    c->marked = FileImage{j["marked"].get<std::string>(), {}};
  }
  if (j.contains("ledger") && j["ledger"].is_string()) {
    c->ledgerPath = j["ledger"].get<std::string>();
    c->ledgerLine = j.value("ledgerLine", std::string());
  }
  if (j.contains("recording") && j["recording"].is_string()) {
    c->recording = j["recording"].get<std::string>();
    c->segment = j.value("segment", int64_t{-1});
  }
  return true;
}

RecoveryOutcome FinishInterruptedCommit(const std::string& journal_path) {
  RecoveryOutcome out;
  RecordCommit c;
  if (!ReadCommitJournal(journal_path, &c, &out.error)) return out;
  out.detections = c.detections;
  out.recording = c.recording;
  out.segment = c.segment;
  out.ledgerLine = c.ledgerLine;

  const TableAppend appended = AppendMissingRowsToTable(c.tablePath, c.rows);
  if (!appended.written) {
    out.error = appended.error;
    return out;
  }
  out.rowsAdded = appended.rowsAppended;
  CrashPoint("recovered rows appended");
  if (!Mark(c, &out.error)) return out;
  CrashPoint("recovered record marked");
  if (!RemoveIfThere(journal_path)) {
    out.error = journal_path + ": cannot remove the finished journal";
    return out;
  }
  out.finished = true;
  return out;
}

}  // namespace qae
