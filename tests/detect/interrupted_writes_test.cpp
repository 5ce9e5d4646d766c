// What an interrupted run leaves beside the event files is dealt with by
// the next run over the same numbers, and by no other.
#include "detect/interrupted_writes.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>

#include "detect/detection_commit.h"
#include "detect/result_table.h"
#include "detect/run_log.h"
#include "support/cli_runner.h"
#include "support/test_paths.h"
#include "util/text.h"

namespace qae {
namespace {

namespace fs = std::filesystem;
using test::ReadText;

void Touch(const std::string& path, const std::string& text = "x") {
  std::ofstream(path, std::ios::binary) << text;
}

// One record of a group journal, as CommitRecords writes it.
std::string RecordJson(const RecordCommit& c) {
  nlohmann::ordered_json j;
  j["table"] = c.tablePath;
  j["rows"] = c.rows;
  j["detections"] = c.detections;
  j["marked"] = c.marked->path;
  j["ae"] = c.aeNumber;
  return j.dump();
}

class InterruptedWritesTest : public ::testing::Test {
 protected:
  std::string Data(const std::string& name) const { return dir_.File("data/" + name); }
  void SetUp() override { fs::create_directories(dir_.File("data")); }

  test::ScratchDir dir_;
  RunContext ctx_;
};

TEST_F(InterruptedWritesTest, LeftoversOfTheRangeGoAndOthersStay) {
  Touch(Data("000005.sg2"));
  Touch(Data("000005.sg2.tmp.AbC123"));     // an interrupted rewrite
  Touch(Data("000005_01.sg2.tmp.zzzzzz"));  // of a copy
  Touch(Data("000006.sg2.qae-staged"));     // staged, never committed
  Touch(Data("000009.sg2.tmp.AbC123"));     // another run's number
  Touch(Data("000005.sg2.tmp.toolong1"));   // not ours
  Touch(Data("notes.sg2.tmp.AbC123"));
  const auto found = RecoverInterruptedWrites(dir_.File("data/"), 0, 8, "", ctx_);
  EXPECT_TRUE(found.empty());
  EXPECT_TRUE(fs::exists(Data("000005.sg2")));
  EXPECT_FALSE(fs::exists(Data("000005.sg2.tmp.AbC123")));
  EXPECT_FALSE(fs::exists(Data("000005_01.sg2.tmp.zzzzzz")));
  EXPECT_FALSE(fs::exists(Data("000006.sg2.qae-staged")));
  EXPECT_TRUE(fs::exists(Data("000009.sg2.tmp.AbC123")));
  EXPECT_TRUE(fs::exists(Data("000005.sg2.tmp.toolong1")));
  EXPECT_TRUE(fs::exists(Data("notes.sg2.tmp.AbC123")));
  EXPECT_FALSE(ctx_.losses.Any());
}

// A commit journalled before the crash: its rows go in once, its staged
// file becomes the event file, and the journal goes.
TEST_F(InterruptedWritesTest, JournalledCommitIsFinished) {
  RecordCommit c;
  c.tablePath = dir_.File("ML_detect.ps0");
  c.rows = "7\trow a\n7\trow b\n";
  c.detections = 2;
  c.marked = FileImage{Data("000007.sg2"), {}};
  Touch(Data("000007.sg2"), "old");
  Touch(Data("000007.sg2.qae-staged"), "new");
  // Crashed after the first row made it in.
  ASSERT_TRUE(AppendToResultTable(c.tablePath, "7\trow a\n", nullptr));
  // The journal as CommitRecord writes it (as JSON).
  Touch(c.JournalPath(), R"({"version":1,"table":")" + c.tablePath +
                             R"(","rows":"7\trow a\n7\trow b\n","detections":2,"marked":")" +
                             Data("000007.sg2") + "\"}");
  const auto found = RecoverInterruptedWrites(dir_.File("data/"), 0, 10, "", ctx_);
  ASSERT_EQ(found.size(), 1u);
  EXPECT_TRUE(found[0].finished);
  EXPECT_EQ(found[0].aeNumber, 7);
  EXPECT_EQ(ReadText(c.tablePath), std::string(kResultTableHeader) + "7\trow a\n7\trow b\n");
  EXPECT_EQ(ReadText(Data("000007.sg2")), "new");
  EXPECT_FALSE(fs::exists(c.JournalPath()));
  EXPECT_FALSE(fs::exists(Data("000007.sg2.qae-staged")));
  EXPECT_FALSE(ctx_.losses.Any());

  std::vector<RecordCommit> read_back;
  std::string error;
  Touch(c.JournalPath(), "{\"version\":1,\"rows\"");  // not a journal
  EXPECT_FALSE(ReadCommitJournal(c.JournalPath(), &read_back, &error));
  EXPECT_NE(error.find("not a journal"), std::string::npos);
  Touch(c.JournalPath(), R"({"version":2,"records":[{"table":"t"}]})");  // a record without rows
  EXPECT_FALSE(ReadCommitJournal(c.JournalPath(), &read_back, &error));
  EXPECT_TRUE(read_back.empty());
}

// A group of records committed together, interrupted after its journal:
// a run over any of its numbers finishes all of them (the journal is named
// after the first), and until then no staged file of the group goes.
TEST_F(InterruptedWritesTest, GroupJournalIsFinishedByARunOverAnyOfItsNumbers) {
  std::vector<RecordCommit> group(3);
  std::vector<const RecordCommit*> pointers;
  for (int i = 0; i < 3; ++i) {
    RecordCommit& c = group[static_cast<std::size_t>(i)];
    const std::string name = StrPrintf("%06d.sg2", 5 + i);
    c.tablePath = dir_.File("ML_detect.ps0");
    c.rows = StrPrintf("%d\trow\n", 5 + i);
    c.detections = 1;
    c.aeNumber = 5 + i;
    c.marked = FileImage{Data(name), {'n', 'e', 'w'}};
    Touch(Data(name), "old");
    pointers.push_back(&c);
  }
  // A complete group commit leaves each record marked, its row once, and
  // nothing beside the files.
  {
    const std::vector<CommitOutcome> done = CommitRecords(pointers);
    ASSERT_EQ(done.size(), 3u);
    for (const CommitOutcome& o : done) EXPECT_TRUE(o.complete) << o.error;
    EXPECT_EQ(ReadText(group[0].tablePath),
              std::string(kResultTableHeader) + "5\trow\n6\trow\n7\trow\n");
    EXPECT_EQ(ReadText(Data("000006.sg2")), "new");
    EXPECT_FALSE(fs::exists(group[0].JournalPath()));
  }

  // The same group as a crash after its journal and one row left it.
  fs::remove(group[0].tablePath);
  ASSERT_TRUE(AppendToResultTable(group[0].tablePath, "5\trow\n", nullptr));
  for (int i = 0; i < 3; ++i) {
    const std::string name = StrPrintf("%06d.sg2", 5 + i);
    Touch(Data(name), "old");
    Touch(Data(name + ".qae-staged"), "new");
  }
  Touch(Data("000005.sg2.qae-pending"),
        R"({"version":2,"records":[)" + RecordJson(group[0]) + "," + RecordJson(group[1]) + "," +
            RecordJson(group[2]) + "]}");
  // A run over other numbers leaves the group alone, staged files included.
  EXPECT_TRUE(RecoverInterruptedWrites(dir_.File("data/"), 8, 20, "", ctx_).empty());
  EXPECT_TRUE(fs::exists(Data("000006.sg2.qae-staged")));
  // A run over 6 to 10 finishes all three.
  const auto found = RecoverInterruptedWrites(dir_.File("data/"), 6, 10, "", ctx_);
  ASSERT_EQ(found.size(), 3u);
  for (int i = 0; i < 3; ++i) {
    EXPECT_TRUE(found[static_cast<std::size_t>(i)].finished);
    EXPECT_EQ(found[static_cast<std::size_t>(i)].aeNumber, 5 + i);
    EXPECT_EQ(ReadText(Data(StrPrintf("%06d.sg2", 5 + i))), "new");
  }
  EXPECT_EQ(ReadText(group[0].tablePath),
            std::string(kResultTableHeader) + "5\trow\n6\trow\n7\trow\n");
  EXPECT_FALSE(fs::exists(Data("000005.sg2.qae-pending")));
  EXPECT_FALSE(ctx_.losses.Any());
}

TEST_F(InterruptedWritesTest, JournalThatCannotBeFinishedIsKeptAndCounted) {
  Touch(Data("000003.sg2.qae-pending"),
        R"({"version":1,"table":")" + dir_.File("missing/ML_detect.ps0") +
            R"(","rows":"3\tr\n","detections":1,"marked":")" + Data("000003.sg2") + "\"}");
  const auto found = RecoverInterruptedWrites(dir_.File("data/"), 0, 10, "", ctx_);
  ASSERT_EQ(found.size(), 1u);
  EXPECT_FALSE(found[0].finished);
  EXPECT_EQ(ctx_.losses.detections, 1);
  EXPECT_TRUE(fs::exists(Data("000003.sg2.qae-pending")));
}

TEST(RunLogBackup, AnEarlierLogIsKeptUnderTheFirstFreeName) {
  test::ScratchDir dir;
  const std::string path = dir.File("Log_000000_000499.txt");
  EXPECT_EQ(BackupName(path, 2), dir.File("Log_000000_000499.bak2.txt"));
  EXPECT_EQ(BackupName(dir.File("Log_000000_000499_OK.txt"), 1),
            dir.File("Log_000000_000499_OK.bak1.txt"));
  for (const char* text : {"first", "second", "third"}) {
    RunLog log;
    ASSERT_TRUE(log.Create(path));
    log.Write(text);
  }
  EXPECT_EQ(ReadText(path), "third");
  EXPECT_EQ(ReadText(BackupName(path, 1)), "first");
  EXPECT_EQ(ReadText(BackupName(path, 2)), "second");
}

}  // namespace
}  // namespace qae
