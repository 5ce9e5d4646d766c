// The result table "ML_detect.ps0", appended to by every process of a run
// that shares the output directory, possibly from several machines on a
// network file system.
#pragma once

#include <cstdint>
#include <string>

namespace qae {

// The seven header lines of a new table.
extern const char* const kResultTableHeader;

// How an append to the table went.
struct TableAppend {
  bool written = false;  // every row is in the table, on disk
  // Only when !written: part of the rows may be in the table after all (a
  // failed write could not be taken back).
  bool unknown = false;
  std::string error;
  // Bytes of a torn last line (left by a writer that died mid-append) that
  // were cut off before appending.
  int64_t tornBytes = 0;
  int rowsAppended = 0;  // lines appended (header not counted)
};

// Appends `rows` (whole lines) to the table at `path`: the file is opened
// with up to 10 attempts 500 ms apart, then locked exclusively (waiting for
// other writers), the header is written first when the file holds fewer than
// 10 bytes, and header and rows go in with one write, flushed to disk before
// the lock is released. Whole or not at all: after a failed write the table
// is cut back to its length before it.
TableAppend AppendRowsToTable(const std::string& path, const std::string& rows);

// The same, for finishing an interrupted commit: only those lines of `rows`
// that the table does not already hold are appended, so rows that made it in
// before a crash are not doubled.
TableAppend AppendMissingRowsToTable(const std::string& path, const std::string& rows);

// AppendRowsToTable, as a yes or no (with `error`).
bool AppendToResultTable(const std::string& path, const std::string& rows, std::string* error);

}  // namespace qae
