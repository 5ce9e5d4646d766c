#include "params/text_source.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include "params/ae_pars.h"
#include "params/parameter_file.h"
#include "util/process.h"

namespace qae {
namespace {

namespace fs = std::filesystem;

std::vector<std::string> AllPieces(TextSource* source, std::size_t buffer_size = kLineBufferSize) {
  std::vector<std::string> pieces;
  std::string piece;
  while (source->ReadLine(&piece, buffer_size)) pieces.push_back(piece);
  return pieces;
}

class TextSourceFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() /
           ("qae_textsrc_" + std::to_string(qae::OwnProcessId()) + "_" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }

  fs::path dir_;
};

TEST(TextSource, ReadsPiecesLikeFgets) {
  auto source = TextSourceFromString("abcdef\nxy\n\nlast");
  EXPECT_EQ(AllPieces(source.get(), 4),
            (std::vector<std::string>{"abc", "def", "\n", "xy\n", "\n", "las", "t"}));
}

TEST(TextSource, TextModeLineEnds) {
  // "\r\n" is one newline, also across a piece boundary; a lone '\r' stays.
  auto source = TextSourceFromString("ab\r\ncd\rx\r\n\r\n\r");
  EXPECT_EQ(AllPieces(source.get(), 3),
            (std::vector<std::string>{"ab", "\n", "cd", "\rx", "\n", "\n", "\r"}));
}

TEST(TextSource, LineNumberCountsPhysicalLines) {
  // Pieces of one long line share its number; blank lines count; a lone
  // '\r' ends no line, "\r\n" does.
  auto source = TextSourceFromString("abcdef\nxy\n\nla\rst\r\nend");
  std::vector<std::pair<std::string, int>> pieces;
  std::string piece;
  EXPECT_EQ(source->line_number(), 0);
  while (source->ReadLine(&piece, 4)) pieces.emplace_back(piece, source->line_number());
  EXPECT_EQ(pieces, (std::vector<std::pair<std::string, int>>{{"abc", 1},
                                                               {"def", 1},
                                                               {"\n", 1},
                                                               {"xy\n", 2},
                                                               {"\n", 3},
                                                               {"la\r", 4},
                                                               {"st\n", 4},
                                                               {"end", 5}}));
  EXPECT_EQ(source->line_number(), 5) << "stays at the last line after the end";
}

TEST(TextSource, EndIsSticky) {
  auto source = TextSourceFromString("one\n");
  std::string line = "stale";
  ASSERT_TRUE(source->ReadLine(&line));
  EXPECT_FALSE(source->ReadLine(&line));
  EXPECT_TRUE(line.empty());
  EXPECT_FALSE(source->ReadLine(&line));
  EXPECT_FALSE(source->failed());
}

TEST(IsUrlName, IsACaseSensitiveSubstringTest) {
  EXPECT_TRUE(IsUrlName("http://host/ML_CC_AE_pars.txt"));
  EXPECT_TRUE(IsUrlName("https://host/p.txt"));
  EXPECT_TRUE(IsUrlName("ftp://host/p.txt"));
  EXPECT_TRUE(IsUrlName("/data/httpdata/ML_CC_AE_pars.txt"));
  EXPECT_FALSE(IsUrlName("HTTP://host/p.txt"));
  EXPECT_FALSE(IsUrlName("FTP://host/p.txt"));
  EXPECT_FALSE(IsUrlName("/data/ftp/p.txt"));
  EXPECT_FALSE(IsUrlName("C:\\AE\\ML_CC_AE_pars.txt"));
}

TEST_F(TextSourceFileTest, LocalFileReadsLikeMemory) {
  const std::string text = "a = 1\r\nb\n" + std::string(300, 'c') + "\nend";
  const fs::path path = dir_ / "ML_CC_AE_pars.txt";
  std::ofstream(path, std::ios::binary) << text;
  std::string error = "old";
  auto file = OpenTextSource(path.string(), &error);
  ASSERT_NE(file, nullptr) << error;
  EXPECT_TRUE(error.empty());
  auto memory = TextSourceFromString(text);
  EXPECT_EQ(AllPieces(file.get()), AllPieces(memory.get()));
  EXPECT_FALSE(file->failed());
}

TEST_F(TextSourceFileTest, MissingFileReportsWhy) {
  std::string error;
  EXPECT_EQ(OpenTextSource((dir_ / "none.txt").string(), &error), nullptr);
  EXPECT_NE(error.find("No such file"), std::string::npos) << error;
  EXPECT_EQ(OpenTextSource(dir_.string(), &error), nullptr);
  EXPECT_EQ(error, "is a directory");
  EXPECT_EQ(OpenTextSource("", &error), nullptr);
}

TEST_F(TextSourceFileTest, LocalPathWithHttpIsTakenAsUrlAndFailsCleanly) {
  fs::create_directories(dir_ / "httpdata");
  const fs::path path = dir_ / "httpdata" / "ML_CC_AE_pars.txt";
  std::ofstream(path, std::ios::binary) << "velX = 1\n";
  std::string error;
  EXPECT_EQ(OpenTextSource(path.string(), &error), nullptr);
  EXPECT_FALSE(error.empty());
  AePars pars;
  pars.velX = 99.0f;
  EXPECT_FALSE(ReadParameterFile(path.string(), &pars));
  EXPECT_FLOAT_EQ(pars.velX, 99.0f);
}

TEST_F(TextSourceFileTest, UpperCaseSchemeIsALocalFile) {
  // POSIX reads "HTTP://name" as the directory "HTTP:" and the file "name".
  fs::create_directories(dir_ / "HTTP:");
  std::ofstream(dir_ / "HTTP:" / "pars.txt", std::ios::binary) << "velX = 1\n";
  std::string error;
  auto source = OpenTextSource((dir_ / "HTTP://pars.txt").string(), &error);
  ASSERT_NE(source, nullptr) << error;
  std::string line;
  EXPECT_TRUE(source->ReadLine(&line));
  EXPECT_EQ(line, "velX = 1\n");
}

TEST(OpenTextSource, UnreachableUrlFailsQuickly) {
  // Port 1 on the loopback interface: refused at once, no outside host.
  const auto start = std::chrono::steady_clock::now();
  std::string error;
  EXPECT_EQ(OpenTextSource("http://127.0.0.1:1/ML_CC_AE_pars.txt", &error), nullptr);
  EXPECT_FALSE(error.empty());
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(15));
}

TEST(TextSource, EndlessInputStopsAtSizeCapAsFailure) {
  if (!fs::exists("/dev/zero")) GTEST_SKIP() << "no /dev/zero";
  auto source = OpenTextSource("/dev/zero");
  ASSERT_NE(source, nullptr);
  std::string piece;
  std::uint64_t n_bytes = 0;
  while (source->ReadLine(&piece)) n_bytes += piece.size();
  EXPECT_TRUE(source->failed());
  EXPECT_LE(n_bytes, kMaxTextSourceBytes);
}

}  // namespace
}  // namespace qae
