#include "detect/result_table.h"

#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <sstream>

#include "detect/detection_outputs.h"
#include "support/processes.h"
#include "support/test_paths.h"
#include "util/text.h"

namespace qae {
namespace {

std::string ReadText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

TEST(ResultTable, HeaderOnlyOnceThenRows) {
  test::ScratchDir dir;
  const std::string path = dir.File("ML_detect.ps0");
  std::string error;
  ASSERT_TRUE(AppendToResultTable(path, "1\trow\n", &error)) << error;
  ASSERT_TRUE(AppendToResultTable(path, "2\trow\n", &error)) << error;
  EXPECT_EQ(ReadText(path), std::string(kResultTableHeader) + "1\trow\n2\trow\n");
  EXPECT_EQ(std::string(kResultTableHeader).substr(0, 9), "PSDATA02\n");
}

TEST(ResultTable, ShortFileGetsTheHeader) {
  test::ScratchDir dir;
  const std::string path = dir.File("ML_detect.ps0");
  { std::ofstream(path, std::ios::binary) << "junk\n"; }  // fewer than 10 bytes
  ASSERT_TRUE(AppendToResultTable(path, "r\n", nullptr));
  EXPECT_EQ(ReadText(path), std::string("junk\n") + kResultTableHeader + "r\n");
}

// A writer that died mid-append left half a row: the next append cuts it
// off rather than joining its row onto it (once a 19-field row).
TEST(ResultTable, TornLastLineIsCutBeforeTheNextRow) {
  test::ScratchDir dir;
  const std::string path = dir.File("ML_detect.ps0");
  { std::ofstream(path, std::ios::binary) << kResultTableHeader << "1\tok\n2\tto"; }
  const TableAppend r = AppendRowsToTable(path, "3\tnew\n");
  ASSERT_TRUE(r.written) << r.error;
  EXPECT_EQ(r.tornBytes, 4);
  EXPECT_EQ(ReadText(path), std::string(kResultTableHeader) + "1\tok\n3\tnew\n");
}

// Finishing an interrupted commit adds only the rows that did not make it.
TEST(ResultTable, MissingRowsAreAddedOnce) {
  test::ScratchDir dir;
  const std::string path = dir.File("ML_detect.ps0");
  ASSERT_TRUE(AppendToResultTable(path, "1\ta\n", nullptr));
  TableAppend r = AppendMissingRowsToTable(path, "1\ta\n2\tb\n");
  ASSERT_TRUE(r.written);
  EXPECT_EQ(r.rowsAppended, 1);
  r = AppendMissingRowsToTable(path, "1\ta\n2\tb\n");
  EXPECT_EQ(r.rowsAppended, 0);
  EXPECT_EQ(ReadText(path), std::string(kResultTableHeader) + "1\ta\n2\tb\n");
}

TEST(ResultTable, UnopenableTableFailsAfterRetries) {
  std::string error;
  EXPECT_FALSE(AppendToResultTable("/nonexistent-dir/ML_detect.ps0", "r\n", &error));
  EXPECT_NE(error.find("after 10 attempts"), std::string::npos);
}

// Several processes appending at once: every row arrives whole, and the
// header is written exactly once.
TEST(ResultTable, ConcurrentProcessesLoseNoRow) {
  test::ScratchDir dir;
  const std::string path = dir.File("ML_detect.ps0");
  constexpr int kProcesses = 6;
  constexpr int kRecords = 40;
  const std::vector<int> codes = test::RunConcurrently(kProcesses, [&path](int p) {
    bool ok = true;
    for (int r = 0; r < kRecords; ++r) {
      std::string rows;
      for (int k = 0; k < 3; ++k) {
        rows += StrPrintf("%d\t%d\t%d\t%s\n", p, r, k, std::string(200, 'x').c_str());
      }
      ok = AppendToResultTable(path, rows, nullptr) && ok;
    }
    return ok ? 0 : 1;
  });
  for (const int code : codes) EXPECT_EQ(code, 0);
  const std::string text = ReadText(path);
  ASSERT_EQ(text.rfind(kResultTableHeader, 0), 0u);
  std::size_t count = 0;
  for (std::size_t at = 0; (at = text.find("PSDATA02", at)) != std::string::npos; ++at) ++count;
  EXPECT_EQ(count, 1u);
  std::istringstream lines(text.substr(std::string(kResultTableHeader).size()));
  std::map<std::string, int> seen;
  std::string line;
  int n = 0;
  while (std::getline(lines, line)) {
    ASSERT_EQ(line.size() > 200 ? line.substr(line.size() - 200) : "", std::string(200, 'x'))
        << "torn row: " << line;
    ++seen[line];
    ++n;
  }
  EXPECT_EQ(n, kProcesses * kRecords * 3);
  EXPECT_EQ(seen.size(), static_cast<std::size_t>(n));
}

TEST(LosslessSeg2Format, NarrowestExactCode) {
  XL_WaveData rec;
  auto t = std::make_unique<XL_WaveTrace>(3);
  t->samples = {-32768.0f, 32767.0f, 0.0f};
  t->samples.resize(256);
  XL_WaveTrace& tr = rec.AddTrace(std::move(t));
  EXPECT_EQ(LosslessSeg2Format(rec), 1);
  tr.samples[1] = 40000.0f;
  EXPECT_EQ(LosslessSeg2Format(rec), 2);
  tr.samples[2] = 0.5f;
  EXPECT_EQ(LosslessSeg2Format(rec), 4);
  tr.samples[2] = 3e9f;
  EXPECT_EQ(LosslessSeg2Format(rec), 4);
}

}  // namespace
}  // namespace qae
