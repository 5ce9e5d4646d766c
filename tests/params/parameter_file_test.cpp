#include "params/parameter_file.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>

#include "params/text_source.h"

namespace qae {
namespace {

namespace fs = std::filesystem;

// A complete file as a user writes one: commentary before each '=',
// comments and blank lines in between, remarks after values.
constexpr char kFullFile[] =
    "! acoustic-emission detection parameters\n"
    "velX = 6.5  mm/us\n"
    "velY = 6.6\n"
    "\n"
    "velZ = 6.7\n"
    "reserved1 = 0.25\n"
    "   \t  \n"
    "preWin = 1.5\n"
    "postWin = 4\n"
    "dupWin = 300\n"
    "reserved2 = 0.1\n"
    "reserved3 = 0.2\n"
    "# band-pass in MHz\n"
    "fLow = 0.05\n"
    "fHigh = 0.3\n"
    "reserved4 = 0.8\n"
    "% thresholds\n"
    "ccMin = 0.65 ; remark\n"
    "snrMin = 3\n"
    "* grid\n"
    "gridHalfX = 1.5\n"
    "gridHalfY = 2.5\n"
    "gridHalfZ = 3.5\n"
    "/ steps\n"
    "gridStepsX = 6\n"
    "gridStepsY = 7\n"
    "gridStepsZ = 8\n"
    "templateDir = \"/data/my templates/\"\n"
    "dataPath = /data/events/ ; event files\n"
    "outDir = /data/out/ <results\n"
    "maxTemplates = -200 iTS= 5 iTE=10\n"
    "reserved5 = 900\n"
    "outLevel = 3\n"
    "wellLocatedM = 10\n"
    "all = 1\n"
    "mean = 1\n"
    "[END]\n"
    "more text after the end marker\n";

// The 27 value lines of a file whose every value differs from its default.
std::string ValueLines() {
  return "velX=1\nvelY=2\nvelZ=3\nr1=4\npre=5\npost=6\ndup=7\nr2=8\nr3=9\nfl=10\nfh=11\n"
         "r4=12\ncc=13\nsnr=14\nhx=15\nhy=16\nhz=17\nsx=18\nsy=19\nsz=20\n"
         "t=/t/\nd=/d/\no=/o/\nmax=21 iTS=22 iTE=23\nr5=24\nlevel=25\nwell=26\n";
}

class ParameterFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() /
           ("qae_parfile_" + std::to_string(getpid()) + "_" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }

  std::string Write(const std::string& text, const std::string& name = "ML_CC_AE_pars.txt") {
    const fs::path path = dir_ / name;
    std::ofstream(path, std::ios::binary) << text;
    return path.string();
  }

  // Reads `text` as a parameter file into a fresh record.
  AePars Read(const std::string& text, ParameterFileInfo* info = nullptr) {
    AePars pars;
    EXPECT_TRUE(ReadParameterFile(Write(text), &pars, info));
    return pars;
  }

  fs::path dir_;
};

std::string NextSignificant(TextSource* source) {
  std::string line;
  return ReadSignificantLine(&line, source) ? line : "<none>";
}

TEST(ReadSignificantLine, SkipsBlankAndCommentLinesAndKeepsLeadingBlanks) {
  auto source =
      TextSourceFromString("\n   \t \n! a\n# b\n% c\n* d\n/ e\n  \t! f\n  x = 1\n\t y=2\n");
  EXPECT_EQ(NextSignificant(source.get()), "  x = 1");
  EXPECT_EQ(NextSignificant(source.get()), "\t y=2");
  EXPECT_EQ(NextSignificant(source.get()), "<none>");
}

TEST(ReadSignificantLine, EndMarkerCountsOnlyInColumnOne) {
  auto source = TextSourceFromString(" [END]\nx [END]\n[END] anything\nafter=1\n");
  EXPECT_EQ(NextSignificant(source.get()), " [END]");
  EXPECT_EQ(NextSignificant(source.get()), "x [END]");
  EXPECT_EQ(NextSignificant(source.get()), "<none>");
  // The marker does not close the source.
  EXPECT_EQ(NextSignificant(source.get()), "after=1");
}

TEST(ReadSignificantLine, LongLineComesInPiecesOfAtMost255) {
  const std::string head = "a=1" + std::string(252, 'b');  // 255 characters.
  auto source = TextSourceFromString(head + "c=2\n" + head + "#comment\n" + std::string(255, 'd') +
                                     "\nnext\n");
  EXPECT_EQ(NextSignificant(source.get()), head);
  EXPECT_EQ(NextSignificant(source.get()), "c=2");
  EXPECT_EQ(NextSignificant(source.get()), head);  // Its tail is a comment.
  // Exactly 255 characters: the newline alone is the next piece, a blank.
  EXPECT_EQ(NextSignificant(source.get()), std::string(255, 'd'));
  EXPECT_EQ(NextSignificant(source.get()), "next");
}

TEST(ReadSignificantLine, CrLfLineEndsLeaveNoCarriageReturn) {
  auto source = TextSourceFromString("! c\r\n\r\nx = 1\r\ndir = C:\\d\\\r\n");
  EXPECT_EQ(NextSignificant(source.get()), "x = 1");
  std::string line;
  ASSERT_TRUE(ReadSignificantLine(&line, source.get()));
  EXPECT_EQ(PathToken(line), "C:\\d\\");
}

TEST(ReadSignificantLine, NonAsciiFirstByteIsNotAControlCharacter) {
  // A UTF-8 byte-order mark or a commentary word such as "µs" must not make
  // the line blank, which would shift every following value by one line.
  auto source = TextSourceFromString("\xEF\xBB\xBFvelX = 6.5\n\xC2\xB5s = 2\n");
  EXPECT_EQ(NextSignificant(source.get()), "\xEF\xBB\xBFvelX = 6.5");
  EXPECT_EQ(NextSignificant(source.get()), "\xC2\xB5s = 2");
}

TEST(ReadSignificantLine, NulByteEndsTheLineAndNeverReadsPastIt) {
  auto source = TextSourceFromString(std::string("x = 1\0 = 2\n\0abc\nlast\n", 21));
  EXPECT_EQ(NextSignificant(source.get()), "x = 1");
  EXPECT_EQ(NextSignificant(source.get()), "last");
}

TEST(ValueAfterEquals, ReadsNumberLikeScanf) {
  float f = 0;
  ValueAfterEquals("ccMin = 0.65 ; remark", &f, 9.0f);
  EXPECT_FLOAT_EQ(f, 0.65f);
  ValueAfterEquals("x =\t -3.5e1xyz", &f, 9.0f);
  EXPECT_FLOAT_EQ(f, -35.0f);
  ValueAfterEquals("a = 1 = 2", &f, 9.0f);
  EXPECT_FLOAT_EQ(f, 1.0f);
  int32_t i = 0;
  ValueAfterEquals("steps = 7.9", &i, 5);
  EXPECT_EQ(i, 7);
  ValueAfterEquals("steps=+12mm", &i, 5);
  EXPECT_EQ(i, 12);
}

TEST(ValueAfterEquals, MissingEqualsOrNumberGivesDefault) {
  float f = 0;
  ValueAfterEquals("velX 5.0", &f, 7.0f);
  EXPECT_FLOAT_EQ(f, 7.0f);
  ValueAfterEquals("velX = fast", &f, 7.0f);
  EXPECT_FLOAT_EQ(f, 7.0f);
  ValueAfterEquals("velX =", &f, 7.0f);
  EXPECT_FLOAT_EQ(f, 7.0f);
  int32_t i = 0;
  ValueAfterEquals("level = -", &i, 2);
  EXPECT_EQ(i, 2);
}

TEST(ValueAfterEquals, IntegerOutOfRangeIsClamped) {
  int32_t i = 0;
  ValueAfterEquals("n = 99999999999999999999999", &i, 1);
  EXPECT_EQ(i, INT32_MAX);
  ValueAfterEquals("n = -3000000000", &i, 1);
  EXPECT_EQ(i, INT32_MIN);
}

TEST(PathToken, QuotedValueKeepsItsSpaces) {
  EXPECT_EQ(PathToken("templateDir = \"C:\\My Data, old\\tpl\\\" remark"),
            "C:\\My Data, old\\tpl\\");
}

TEST(PathToken, DelimiterEndsUnquotedValue) {
  EXPECT_EQ(PathToken("dataPath = D:\\data\\ ; event files"), "D:\\data\\");
  EXPECT_EQ(PathToken("dataPath = D:\\data\\;x"), "D:\\data\\");
  EXPECT_EQ(PathToken("dataPath = a,b"), "a");
  EXPECT_EQ(PathToken("dataPath=/rest/of/line"), "/rest/of/line");
  EXPECT_EQ(PathToken("dataPath without equals"), "");
}

TEST(PathToken, RemarkMarkerWinsOverDelimitersAndKeepsTrailingBlank) {
  EXPECT_EQ(PathToken("outDir = D:\\out\\ <results go here"), "D:\\out\\ ");
}

TEST(PathToken, TabAfterEqualsIsNotSkipped) { EXPECT_EQ(PathToken("outDir =\tD:\\out\\"), ""); }

TEST_F(ParameterFileTest, FullFileFillsEveryField) {
  ParameterFileInfo info;
  const AePars p = Read(kFullFile, &info);
  EXPECT_EQ(info.value_lines_present, kParameterValueLines);
  EXPECT_FLOAT_EQ(p.velX, 6.5f);
  EXPECT_FLOAT_EQ(p.velY, 6.6f);
  EXPECT_FLOAT_EQ(p.velZ, 6.7f);
  EXPECT_FLOAT_EQ(p.reserved1, 0.25f);
  EXPECT_FLOAT_EQ(p.preWin, 1.5f);
  EXPECT_FLOAT_EQ(p.postWin, 4.0f);
  EXPECT_FLOAT_EQ(p.dupWin, 300.0f);
  EXPECT_FLOAT_EQ(p.reserved2, 0.1f);
  EXPECT_FLOAT_EQ(p.reserved3, 0.2f);
  EXPECT_FLOAT_EQ(p.fLow, 0.05f);
  EXPECT_FLOAT_EQ(p.fHigh, 0.3f);
  EXPECT_FLOAT_EQ(p.reserved4, 0.8f);
  EXPECT_FLOAT_EQ(p.ccMin, 0.65f);
  EXPECT_FLOAT_EQ(p.snrMin, 3.0f);
  EXPECT_FLOAT_EQ(p.gridHalfX, 1.5f);
  EXPECT_FLOAT_EQ(p.gridHalfY, 2.5f);
  EXPECT_FLOAT_EQ(p.gridHalfZ, 3.5f);
  EXPECT_EQ(p.gridStepsX, 6);
  EXPECT_EQ(p.gridStepsY, 7);
  EXPECT_EQ(p.gridStepsZ, 8);
  EXPECT_EQ(p.templateDir, "/data/my templates/");
  EXPECT_EQ(p.dataPath, "/data/events/");
  EXPECT_EQ(p.outDir, "/data/out/ ");
  EXPECT_EQ(p.maxTemplates, -200);  // The sign is the loader's to interpret.
  EXPECT_EQ(p.iTS, 5);
  EXPECT_EQ(p.iTE, 10);
  EXPECT_EQ(p.reserved5, 900);
  EXPECT_EQ(p.outLevel, 3);
  EXPECT_EQ(p.wellLocatedM, 10);
  EXPECT_EQ(p.all, 1);
  EXPECT_EQ(p.mean, 1);
  EXPECT_EQ(p.minStations, 4);
}

TEST_F(ParameterFileTest, CrLfFileReadsLikeLfFile) {
  std::string crlf;
  for (const char* c = kFullFile; *c; ++c) {
    if (*c == '\n') crlf += '\r';
    crlf += *c;
  }
  const AePars p = Read(crlf);
  EXPECT_EQ(p.templateDir, "/data/my templates/");
  EXPECT_EQ(p.dataPath, "/data/events/");
  EXPECT_EQ(p.outDir, "/data/out/ ");
  EXPECT_EQ(p.wellLocatedM, 10);
  EXPECT_EQ(p.mean, 1);
}

TEST_F(ParameterFileTest, TemplateLineWithoutOwnEqualsTakesIts) {
  std::string text = ValueLines();
  text.replace(text.find("max=21 iTS=22 iTE=23"), 20, "templates iTS=3 iTE= 9");
  const AePars p = Read(text);
  EXPECT_EQ(p.maxTemplates, 3);
  EXPECT_EQ(p.iTS, 3);
  EXPECT_EQ(p.iTE, 9);
}

TEST_F(ParameterFileTest, TemplateLineWithoutKeysGivesDefaultRange) {
  std::string text = ValueLines();
  text.replace(text.find("max=21 iTS=22 iTE=23"), 20, "max=50");
  const AePars p = Read(text);
  EXPECT_EQ(p.maxTemplates, 50);
  EXPECT_EQ(p.iTS, -1);
  EXPECT_EQ(p.iTE, -1);
}

TEST_F(ParameterFileTest, KeyedMeanNeedsEndMarkerAndOneMoreLine) {
  {
    const AePars p = Read(ValueLines() + "all = 1\nmean = 1\n");
    EXPECT_EQ(p.all, 1);
    EXPECT_EQ(p.mean, 0) << "file ended right after the keyed lines";
  }
  {
    const AePars p = Read(ValueLines() + "all = 1\nmean = 1\n[END]\nanything\n");
    EXPECT_EQ(p.all, 1);
    EXPECT_EQ(p.mean, 1);
  }
  {
    const AePars p = Read(ValueLines() + "mean = 1\n[END]\n! only a comment\n\n");
    EXPECT_EQ(p.mean, 0) << "no significant line after [END]";
  }
}

TEST_F(ParameterFileTest, AllIsAPlainSubstringTest) {
  const AePars p = Read(ValueLines() + "small = 3\nmean = 1 (small)\nother = 9\n[END]\nx\n");
  EXPECT_EQ(p.all, 1) << "the mean line contains \"small\" and sets all";
  EXPECT_EQ(p.mean, 0);
}

TEST_F(ParameterFileTest, MinStationsIsAlwaysFour) {
  AePars pars;
  pars.minStations = 9;
  ASSERT_TRUE(ReadParameterFile(Write(ValueLines() + "minStations = 7\n"), &pars));
  EXPECT_EQ(pars.minStations, 4);
}

TEST_F(ParameterFileTest, TruncatedFileGivesDefaultsForMissingLines) {
  // Start from a record whose every value is off its default, so a field
  // that keeps a stale value shows.
  AePars pars;
  ASSERT_TRUE(ReadParameterFile(Write(ValueLines(), "full.txt"), &pars));
  ParameterFileInfo info;
  ASSERT_TRUE(ReadParameterFile(Write("velX = 1.5\nvelY = 2.5\n"), &pars, &info));
  EXPECT_EQ(info.value_lines_present, 2);
  EXPECT_FLOAT_EQ(pars.velX, 1.5f);
  EXPECT_FLOAT_EQ(pars.velY, 2.5f);
  const AePars defaults;
  EXPECT_FLOAT_EQ(pars.velZ, defaults.velZ);
  EXPECT_FLOAT_EQ(pars.dupWin, defaults.dupWin);
  EXPECT_FLOAT_EQ(pars.gridHalfZ, defaults.gridHalfZ);
  EXPECT_EQ(pars.gridStepsX, 5);
  EXPECT_EQ(pars.templateDir, "");
  EXPECT_EQ(pars.outDir, "");
  EXPECT_EQ(pars.maxTemplates, 1000);
  EXPECT_EQ(pars.iTS, -1);
  EXPECT_EQ(pars.iTE, -1);
  EXPECT_EQ(pars.reserved5, 1000);
  EXPECT_EQ(pars.outLevel, 2);
  EXPECT_EQ(pars.wellLocatedM, 12);
}

TEST_F(ParameterFileTest, EarlyEndMarkerDefaultsOneLineAndReadingGoesOn) {
  ParameterFileInfo info;
  const AePars p = Read("velX=1\nvelY=2\n[END]\nvelZ=3\n", &info);
  EXPECT_EQ(info.value_lines_present, 3);
  EXPECT_FLOAT_EQ(p.velX, 1.0f);
  EXPECT_FLOAT_EQ(p.velY, 2.0f);
  EXPECT_FLOAT_EQ(p.velZ, 7.0f);
  EXPECT_FLOAT_EQ(p.reserved1, 3.0f);
  EXPECT_FLOAT_EQ(p.preWin, 1.0f);
}

TEST_F(ParameterFileTest, UnopenableFileLeavesRecordUntouched) {
  AePars pars;
  pars.velX = 123.0f;
  pars.minStations = 9;
  pars.templateDir = "keep/";
  pars.mean = 5;
  ParameterFileInfo info;
  EXPECT_FALSE(ReadParameterFile((dir_ / "missing.txt").string(), &pars, &info));
  EXPECT_FALSE(info.open_error.empty());
  EXPECT_FALSE(ReadParameterFile(dir_.string(), &pars, &info)) << "a directory";
  EXPECT_FLOAT_EQ(pars.velX, 123.0f);
  EXPECT_EQ(pars.minStations, 9);
  EXPECT_EQ(pars.templateDir, "keep/");
  EXPECT_EQ(pars.mean, 5);
}

TEST_F(ParameterFileTest, EndlessDeviceStopsAtSizeCap) {
  if (!fs::exists("/dev/zero")) GTEST_SKIP() << "no /dev/zero";
  ParameterFileInfo info;
  AePars pars;
  ASSERT_TRUE(ReadParameterFile("/dev/zero", &pars, &info));
  EXPECT_EQ(info.value_lines_present, 0);
  EXPECT_FLOAT_EQ(pars.velX, 7.0f);
}

}  // namespace
}  // namespace qae
