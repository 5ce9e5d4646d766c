// Text files written with "\r\n" line ends (by older Windows programs, or
// an editor) read as those written with "\n": every reader of the system's
// own text files accepts both, and appending to such a file neither
// duplicates its lines nor joins a new line to them.
#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <string>

#include "app/cluster/subrange_status.h"
#include "catalogue/catalogue.h"
#include "detect/result_table.h"
#include "detect/segment_ledger.h"
#include "support/test_paths.h"
#include "util/locked_append.h"
#include "util/path.h"

namespace qae {
namespace {

std::string WithCrLf(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c == '\n') out += '\r';
    out += c;
  }
  return out;
}

void Write(const std::string& path, const std::string& text) {
  std::ofstream(PathOf(path), std::ios::binary) << text;
}

std::string Read(const std::string& path) {
  std::ifstream in(PathOf(path), std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

TEST(LineEnds, WholeLinesTakesEitherEndAndLeavesATornLineOut) {
  EXPECT_EQ(WholeLines("a\r\nb\nc\r\n\r\ntorn\r"),
            (std::vector<std::string>{"a", "b", "c", ""}));
  // A carriage return inside a line is the line's own.
  EXPECT_EQ(WholeLines("a\rb\n"), (std::vector<std::string>{"a\rb"}));
  EXPECT_EQ(WholeLines("\n"), (std::vector<std::string>{""}));
}

TEST(LineEnds, RowsAlreadyInACrLfTableAreNotAppendedAgain) {
  test::ScratchDir dir;
  const std::string path = dir.File("ML_detect.ps0");
  Write(path, WithCrLf(std::string(kResultTableHeader) + "1\ta\n2\tb\n"));
  const TableAppend r = AppendMissingRowsToTable(path, "1\ta\n2\tb\n3\tc\n");
  ASSERT_TRUE(r.written) << r.error;
  EXPECT_EQ(r.rowsAppended, 1);
  EXPECT_EQ(r.tornBytes, 0);
  // Our own rows end "\n", after the older ones as they were.
  EXPECT_EQ(Read(path), WithCrLf(std::string(kResultTableHeader) + "1\ta\n2\tb\n") + "3\tc\n");
}

TEST(LineEnds, SegmentLedgerWithCrLfGivesItsSegments) {
  test::ScratchDir dir;
  const std::string path = dir.File("ledger.txt");
  const std::string rec = RecordingIdentity(dir.File("stream.lng"));
  Write(path, WithCrLf(SegmentLedgerLine(rec, 0, 1) + SegmentLedgerLine(rec, 7, 2) +
                       SegmentLedgerLine("/other/rec.lng", 1, 3)));
  std::map<int64_t, int> segments;
  std::string error;
  ASSERT_TRUE(ReadSegmentLedger(path, rec, &segments, &error)) << error;
  EXPECT_EQ(segments, (std::map<int64_t, int>{{0, 1}, {7, 2}}));
}

TEST(LineEnds, LogsWithCrLfTellTheStateOfTheirSubRange) {
  test::ScratchDir dir;
  const std::string out = dir.path() + "/";
  Write(out + "Log_000001_000005_OK.txt",
        WithCrLf(" !Parameter file: line 12: x\n Ended: 5 / 2 events scanned/detected. t\n"));
  Write(out + "Log_000006_000010_OK.txt",
        WithCrLf(" !Nothing to scan: none of 6 through 10\n Ended: 0 / 0 events. t\n"));
  const SubRangeStatus done = StatusOfSubRange(out, {1, 5});
  EXPECT_EQ(done.state, SubRangeState::kDone);
  EXPECT_EQ(done.scanned, 5);
  EXPECT_EQ(done.detected, 2);
  const SubRangeStatus nothing = StatusOfSubRange(out, {6, 10});
  EXPECT_EQ(nothing.state, SubRangeState::kNothingToScan);
  EXPECT_EQ(nothing.reason, "Nothing to scan: none of 6 through 10");
}

TEST(LineEnds, CatalogueFindsTheFoldersInACrLfLog) {
  test::ScratchDir dir;
  const std::string out = dir.path() + "/out/";
  std::filesystem::create_directories(PathOf(out));
  Write(out + "Log_000001_000002_OK.txt",
        WithCrLf(" Load templates from /t/tpl/\n  Loading /d/ev/000001.sg2... !\n"));
  const RunFolders folders = DiscoverRunFolders(out);
  EXPECT_EQ(folders.templateDir, "/t/tpl/");
  EXPECT_EQ(folders.dataPrefix, "/d/ev/");
}

}  // namespace
}  // namespace qae
