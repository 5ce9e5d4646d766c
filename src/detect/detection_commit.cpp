#include "detect/detection_commit.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <system_error>
#include <unordered_set>

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

// One record's part of a journal, put into `j`.
void PutRecord(nlohmann::ordered_json& j, const RecordCommit& c) {
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
  if (c.aeNumber >= 0) j["ae"] = c.aeNumber;
}

// A journal of one record keeps the layout of version 1; a group's names
// its records in order.
std::string JournalText(const std::vector<const RecordCommit*>& records) {
  nlohmann::ordered_json j;
  j["journal"] = "Quorvex_AE record commit";
  if (records.size() == 1) {
    j["version"] = 1;
    PutRecord(j, *records.front());
  } else {
    j["version"] = 2;
    nlohmann::ordered_json list = nlohmann::ordered_json::array();
    for (const RecordCommit* c : records) {
      nlohmann::ordered_json record;
      PutRecord(record, *c);
      list.push_back(std::move(record));
    }
    j["records"] = std::move(list);
  }
  return j.dump(1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
}

bool RecordFromJson(const nlohmann::json& j, RecordCommit* c) {
  if (!j.is_object() || !j.contains("table") || !j["table"].is_string() || !j.contains("rows") ||
      !j["rows"].is_string()) {
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
  c->aeNumber = j.value("ae", -1);
  return true;
}

// Appends those of `lines` that the ledger does not hold yet, in one write.
bool AddLedgerLines(const std::string& path, const std::vector<std::string>& lines,
                    std::string* error) {
  LockedAppendFile ledger;
  int64_t torn = 0;
  std::string text;
  if (!ledger.Open(path, kLedgerOpenAttempts, kLedgerRetryMs, error) || !ledger.Lock(error) ||
      !ledger.CutTornTail(&torn, error) || !ledger.ReadAll(&text, error)) {
    return false;
  }
  std::unordered_set<std::string> present;
  for (std::string& existing : WholeLines(text)) present.insert(existing + "\n");
  std::string missing;
  for (const std::string& line : lines) {
    if (present.insert(line).second) missing += line;
  }
  if (missing.empty()) return true;
  bool unknown = false;
  return ledger.AppendWhole(missing, &unknown, error);
}

// Step 5 for an event file: the staged file replaces it. Without the
// staged file the mark was made before a crash.
bool ReplaceByStaged(const RecordCommit& c, std::string* error) {
  if (!c.marked) return true;
  const std::string staged = c.marked->path + kStagedSuffix;
  std::error_code ec;
  if (fs::exists(PathOf(staged), ec)) {
    fs::rename(PathOf(staged), PathOf(c.marked->path), ec);
    if (ec) {
      if (error) *error = c.marked->path + ": cannot replace it: " + ec.message();
      return false;
    }
  }
  return true;
}

// Step 5: the mark.
bool Mark(const RecordCommit& c, std::string* error) {
  if (!ReplaceByStaged(c, error)) return false;
  if (!c.ledgerPath.empty() && !AddLedgerLines(c.ledgerPath, {c.ledgerLine}, error)) return false;
  return true;
}

}  // namespace

std::string RecordCommit::JournalPath() const {
  if (marked) return marked->path + kJournalSuffix;
  if (!files.empty()) return files.front().path + kJournalSuffix;
  return tablePath + kJournalSuffix;
}

CommitOutcome CommitRecord(const RecordCommit& c) { return CommitRecords({&c}).front(); }

std::vector<CommitOutcome> CommitRecords(const std::vector<const RecordCommit*>& batch) {
  std::vector<CommitOutcome> out(batch.size());
  if (batch.empty()) return out;
  for (const RecordCommit* c : batch) {
    if (c->tablePath != batch.front()->tablePath) {
      // Groups share one table append; records of other tables go alone.
      for (std::size_t i = 0; i < batch.size(); ++i) out[i] = CommitRecords({batch[i]}).front();
      return out;
    }
  }

  std::vector<std::size_t> files_written(batch.size(), 0);
  // Nothing of a record that is not in the table may stay behind: a copy
  // carries a detection line too.
  auto take_back = [&](std::size_t i, const std::string& error) {
    const RecordCommit& c = *batch[i];
    if (c.marked) RemoveIfThere(c.marked->path + kStagedSuffix);
    for (std::size_t k = 0; k < files_written[i]; ++k) RemoveIfThere(c.files[k].path);
    out[i].error = error;
  };

  // Steps 1 and 2, record by record; a record that fails here goes alone.
  std::vector<std::size_t> live;
  for (std::size_t i = 0; i < batch.size(); ++i) {
    const RecordCommit& c = *batch[i];
    std::string error;
    bool ok = true;
    for (const FileImage& file : c.files) {
      if (!WriteImage(file.path, file.bytes, &error)) {
        ok = false;
        break;
      }
      ++files_written[i];
      CrashPoint("copy written");
    }
    if (ok && c.marked) {
      ok = WriteImage(c.marked->path + kStagedSuffix, c.marked->bytes, &error);
      if (ok) CrashPoint("staged file written");
    }
    if (ok) {
      live.push_back(i);
    } else {
      take_back(i, error);
    }
  }
  if (live.empty()) return out;

  // Step 3: one journal for the group.
  std::vector<const RecordCommit*> journalled;
  for (std::size_t i : live) journalled.push_back(batch[i]);
  const std::string journal = journalled.front()->JournalPath();
  const std::string journal_text = JournalText(journalled);
  std::string error;
  if (!WriteFileAtomically(journal, reinterpret_cast<const uint8_t*>(journal_text.data()),
                           journal_text.size(), &error)) {
    RemoveIfThere(journal);
    for (std::size_t i : live) take_back(i, error);
    return out;
  }
  CrashPoint("journal written");

  // Step 4: the rows of the group, in order, in one append.
  std::string rows;
  for (const RecordCommit* c : journalled) rows += c->rows;
  const TableAppend appended = AppendRowsToTable(journalled.front()->tablePath, rows);
  if (!appended.written) {
    if (!appended.unknown) {
      RemoveIfThere(journal);
      for (std::size_t i : live) take_back(i, appended.error);
      return out;
    }
    // Part of the rows may be in the table: only the journal can tell a
    // later run which, so it stays.
    for (std::size_t i : live) {
      out[i].error = appended.error;
      out[i].pending = true;
    }
    return out;
  }
  for (std::size_t i : live) out[i].rowsWritten = true;
  CrashPoint("rows appended");

  // Step 5: the marks, event files one by one, ledger lines in one append
  // per ledger.
  bool all_marked = true;
  for (std::size_t i : live) {
    if (!ReplaceByStaged(*batch[i], &out[i].error)) {
      out[i].pending = true;
      all_marked = false;
    }
    if (batch[i]->ledgerPath.empty()) CrashPoint("record marked");
  }
  std::vector<std::string> ledgers;
  for (std::size_t i : live) {
    const std::string& path = batch[i]->ledgerPath;
    if (!path.empty() && std::find(ledgers.begin(), ledgers.end(), path) == ledgers.end()) {
      ledgers.push_back(path);
    }
  }
  for (const std::string& ledger : ledgers) {
    std::vector<std::string> lines;
    for (std::size_t i : live) {
      if (batch[i]->ledgerPath == ledger) lines.push_back(batch[i]->ledgerLine);
    }
    std::string ledger_error;
    const bool added = AddLedgerLines(ledger, lines, &ledger_error);
    for (std::size_t i : live) {
      if (batch[i]->ledgerPath != ledger) continue;
      if (!added) {
        out[i].error = ledger_error;
        out[i].pending = true;
        all_marked = false;
      } else {
        CrashPoint("record marked");
      }
    }
  }
  for (std::size_t i : live) out[i].complete = !out[i].pending;
  if (!all_marked) return out;  // the journal finishes the rest
  // A journal that cannot be removed only costs the next run a look.
  RemoveIfThere(journal);
  CrashPoint("journal removed");
  return out;
}

bool ReadCommitJournal(const std::string& journal_path, std::vector<RecordCommit>* commits,
                       std::string* error) {
  commits->clear();
  std::vector<uint8_t> bytes;
  if (!ReadWholeFile(journal_path, &bytes, error, uint64_t{1} << 26)) return false;
  const nlohmann::json j = nlohmann::json::parse(bytes.begin(), bytes.end(), nullptr, false);
  bool ok = !j.is_discarded() && j.is_object();
  const int version = ok ? j.value("version", 0) : 0;
  if (ok && version == 1) {
    RecordCommit c;
    ok = RecordFromJson(j, &c);
    if (ok) commits->push_back(std::move(c));
  } else if (ok && version == 2 && j.contains("records") && j["records"].is_array() &&
             !j["records"].empty()) {
    for (const nlohmann::json& record : j["records"]) {
      RecordCommit c;
      if (!RecordFromJson(record, &c)) {
        ok = false;
        break;
      }
      commits->push_back(std::move(c));
    }
  } else {
    ok = false;
  }
  if (!ok) {
    commits->clear();
    if (error) *error = journal_path + ": not a journal of an interrupted write";
  }
  return ok;
}

std::vector<RecoveryOutcome> FinishInterruptedCommits(const std::string& journal_path) {
  std::vector<RecordCommit> commits;
  std::string error;
  if (!ReadCommitJournal(journal_path, &commits, &error)) {
    RecoveryOutcome out;
    out.error = error;
    return {out};
  }
  std::vector<RecoveryOutcome> outcomes;
  bool all_finished = true;
  for (const RecordCommit& c : commits) {
    RecoveryOutcome out;
    out.aeNumber = c.aeNumber;
    out.detections = c.detections;
    out.recording = c.recording;
    out.segment = c.segment;
    out.ledgerLine = c.ledgerLine;
    const TableAppend appended = AppendMissingRowsToTable(c.tablePath, c.rows);
    if (!appended.written) {
      out.error = appended.error;
    } else {
      out.rowsAdded = appended.rowsAppended;
      CrashPoint("recovered rows appended");
      if (Mark(c, &out.error)) {
        CrashPoint("recovered record marked");
        out.finished = true;
      }
    }
    all_finished = all_finished && out.finished;
    outcomes.push_back(std::move(out));
  }
  if (all_finished && !RemoveIfThere(journal_path)) {
    for (RecoveryOutcome& out : outcomes) {
      out.finished = false;
      out.error = journal_path + ": cannot remove the finished journal";
    }
  }
  return outcomes;
}

}  // namespace qae
