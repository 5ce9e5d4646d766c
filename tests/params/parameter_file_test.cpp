#include "params/parameter_file.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <limits>
#include <sstream>
#include <string>
#include <vector>

#include "params/text_source.h"
#include "synth/synthetic_experiment.h"
#include "util/process.h"

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
           ("qae_parfile_" + std::to_string(qae::OwnProcessId()) + "_" +
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

  // The reader's warnings for ValueLines() with its line `n` (1-based)
  // replaced by `text`.
  std::vector<std::string> WarningsWithLine(int n, const std::string& text) {
    std::istringstream in(ValueLines());
    std::string file;
    std::string line;
    for (int i = 1; std::getline(in, line); ++i) file += (i == n ? text : line) + "\n";
    ParameterFileInfo info;
    Read(file, &info);
    return info.warnings;
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


// ---- where each value came from -------------------------------------------

TEST_F(ParameterFileTest, SourcesCountEveryPhysicalLine) {
  ParameterFileInfo info;
  Read(kFullFile, &info);
  ASSERT_EQ(info.sources.size(), 31u);
  EXPECT_EQ(info.sources.front().field, "velX");
  EXPECT_EQ(info.sources.back().field, "mean");
  struct Expected {
    const char* field;
    int line;
    const char* text;
  };
  // Line 4 is empty, line 7 blanks and a tab, 13/17/20/24 comments.
  for (const Expected& e : {Expected{"velX", 2, "velX = 6.5  mm/us"},
                            Expected{"velZ", 5, "velZ = 6.7"},
                            Expected{"preWin", 8, "preWin = 1.5"},
                            Expected{"ccMin", 18, "ccMin = 0.65 ; remark"},
                            Expected{"gridStepsX", 25, "gridStepsX = 6"},
                            Expected{"templateDir", 28, "templateDir = \"/data/my templates/\""},
                            Expected{"maxTemplates", 31, "maxTemplates = -200 iTS= 5 iTE=10"},
                            Expected{"iTS", 31, "maxTemplates = -200 iTS= 5 iTE=10"},
                            Expected{"iTE", 31, "maxTemplates = -200 iTS= 5 iTE=10"},
                            Expected{"wellLocatedM", 34, "wellLocatedM = 10"},
                            Expected{"all", 35, "all = 1"},
                            Expected{"mean", 36, "mean = 1"}}) {
    const FieldSource* source = info.Source(e.field);
    ASSERT_NE(source, nullptr) << e.field;
    EXPECT_EQ(source->line, e.line) << e.field;
    EXPECT_EQ(source->text, e.text) << e.field;
  }
  EXPECT_EQ(info.Source("minStations"), nullptr) << "never read from the file";
  EXPECT_EQ(info.warnings, std::vector<std::string>{}) << "a good file gives no warning";
}

TEST_F(ParameterFileTest, SourcesMarkDefaults) {
  ParameterFileInfo info;
  Read("velX = 1.5\n\nvelY = 2.5\n", &info);
  EXPECT_EQ(info.Source("velY")->line, 3);
  for (const char* field : {"velZ", "dupWin", "templateDir", "maxTemplates", "iTS", "iTE",
                            "wellLocatedM", "all", "mean"}) {
    EXPECT_TRUE(info.Source(field)->is_default()) << field;
    EXPECT_EQ(info.Source(field)->text, "") << field;
  }
  std::string text = ValueLines();
  text.replace(text.find("max=21 iTS=22 iTE=23"), 20, "max=50");
  Read(text, &info);
  EXPECT_EQ(info.Source("maxTemplates")->line, 24);
  EXPECT_TRUE(info.Source("iTS")->is_default()) << "the line does not name it";
  EXPECT_TRUE(info.Source("iTE")->is_default());
}

TEST_F(ParameterFileTest, PieceOfLongLineHasItsPhysicalLine) {
  std::string first = "velX = 1";
  first.resize(255, ' ');
  ParameterFileInfo info;
  const AePars p = Read(first + "velY = 2\n\nvelZ = 3\n", &info);
  EXPECT_FLOAT_EQ(p.velY, 2.0f);
  EXPECT_EQ(info.Source("velX")->line, 1);
  EXPECT_EQ(info.Source("velY")->line, 1);
  EXPECT_EQ(info.Source("velY")->text, "velY = 2");
  EXPECT_EQ(info.Source("velZ")->line, 3);
}

// ---- values that do not read as written -----------------------------------

TEST_F(ParameterFileTest, DecimalCommaWarnsWithLineFieldAndText) {
  EXPECT_EQ(WarningsWithLine(13, "ccMin = 0,6"),
            std::vector<std::string>{
                "line 13: ccMin: \"ccMin = 0,6\" reads as 0 (the number stops at \",6\")"});
}

TEST_F(ParameterFileTest, NumberCutShortWarnsButRemarksAndUnitsDoNot) {
  struct Case {
    int line;
    const char* text;
    const char* stop;  // Where the warning says reading stopped; null: no warning.
  };
  for (const Case& c : {
           Case{1, "velX = 6.5 mm/us", nullptr},
           Case{1, "velX = 6.5mm/us", nullptr},
           Case{1, "velX = 1e3", nullptr},
           Case{13, "ccMin = 0.5   minimum", nullptr},
           Case{18, "gridStepsX = 5.0", nullptr},  // An integer field: still 5.
           Case{18, "gridStepsX = 5e0", nullptr},
           Case{18, "gridStepsX = 5.7", ".7"},
           Case{18, "gridStepsX = 5e3", "e3"},
           Case{25, "reserved5 = 1,000", ",000"},
           Case{13, "ccMin = 1/2", "/2"},
           Case{1, "velX = 1.2.3", ".3"},
           Case{1, "velX = 2e+x remark", "e+x"},
       }) {
    const std::vector<std::string> warnings = WarningsWithLine(c.line, c.text);
    if (c.stop == nullptr) {
      EXPECT_EQ(warnings, std::vector<std::string>{}) << c.text;
      continue;
    }
    ASSERT_EQ(warnings.size(), 1u) << c.text;
    EXPECT_TRUE(warnings[0].starts_with("line " + std::to_string(c.line) + ": ")) << warnings[0];
    EXPECT_NE(warnings[0].find(std::string("(the number stops at \"") + c.stop + "\")"),
              std::string::npos)
        << warnings[0];
  }
}

TEST_F(ParameterFileTest, ValueLineWithoutNumberOrEqualsWarnsOfDefault) {
  EXPECT_EQ(WarningsWithLine(13, "ccMin = high"),
            std::vector<std::string>{"line 13: ccMin: \"ccMin = high\" has no number after '=', "
                                     "so ccMin takes its default 0.5"});
  EXPECT_EQ(WarningsWithLine(9, "r3 0.7"),
            std::vector<std::string>{
                "line 9: reserved3: \"r3 0.7\" has no '=', so reserved3 takes its default 0.3"});
  EXPECT_EQ(WarningsWithLine(21, "t /t/"),
            std::vector<std::string>{
                "line 21: templateDir: \"t /t/\" has no '=', so templateDir is empty"});
  // A tab after '=' ends the path before it starts.
  const std::vector<std::string> tab = WarningsWithLine(23, "o =\t/o/");
  ASSERT_EQ(tab.size(), 1u);
  EXPECT_TRUE(tab[0].starts_with("line 23: outDir: \"o = /o/\" gives an empty path")) << tab[0];
  EXPECT_EQ(WarningsWithLine(25, "r5 = 99999999999"),
            std::vector<std::string>{"line 25: reserved5: \"r5 = 99999999999\" is beyond the "
                                     "integer range and reads as 2147483647"});
}

TEST_F(ParameterFileTest, TemplateLineWarnings) {
  EXPECT_EQ(WarningsWithLine(24, "templates iTS=3 iTE= 9"),
            std::vector<std::string>{"line 24: maxTemplates: \"templates iTS=3 iTE= 9\" has no "
                                     "'=' of its own before \"iTS=\", so maxTemplates takes the "
                                     "iTS value 3"});
  EXPECT_EQ(WarningsWithLine(24, "max=21 iTS=x iTE=2.5"),
            (std::vector<std::string>{
                "line 24: iTS: \"max=21 iTS=x iTE=2.5\" has no number after \"iTS=\", so iTS "
                "takes its default -1",
                "line 24: iTE: \"max=21 iTS=x iTE=2.5\" reads as 2 (the number stops at \".5\")"}));
}

TEST_F(ParameterFileTest, FileEndingEarlyGivesOneWarningNamingTheFields) {
  ParameterFileInfo info;
  Read("velX = 1.5\n! comment\nvelY = 2.5\n", &info);
  ASSERT_EQ(info.warnings.size(), 1u);
  const std::string& w = info.warnings[0];
  EXPECT_TRUE(w.starts_with("line 3: the file ends after 2 of the 27 value lines (3 lines in "
                            "all); velZ, reserved1, preWin,"))
      << w;
  EXPECT_NE(w.find("outDir, maxTemplates, iTS, iTE, reserved5"), std::string::npos) << w;
  EXPECT_TRUE(w.ends_with("wellLocatedM take their defaults")) << w;

  std::string text = ValueLines();
  text.erase(text.find("well=26\n"));
  Read(text, &info);
  EXPECT_EQ(info.warnings,
            std::vector<std::string>{"line 26: the file ends after 26 of the 27 value lines (26 "
                                     "lines in all); wellLocatedM takes its default"});
}

TEST_F(ParameterFileTest, EarlyEndMarkerWarns) {
  ParameterFileInfo info;
  Read("velX=1\nvelY=2\n[END]\nvelZ=3\n", &info);
  ASSERT_FALSE(info.warnings.empty());
  EXPECT_EQ(info.warnings[0],
            "line 3: velZ: \"[END]\" comes before the 27 value lines are complete; velZ takes "
            "its default and reading goes on after it");
  EXPECT_TRUE(info.Source("velZ")->is_default());
  EXPECT_EQ(info.Source("reserved1")->line, 4);
}

TEST_F(ParameterFileTest, KeyedSectionTraps) {
  ParameterFileInfo info;
  Read(ValueLines() + "all = 1\nmean = 1\n", &info);
  EXPECT_EQ(info.warnings,
            std::vector<std::string>{"line 29: mean: \"mean = 1\" has no effect: mean stays 0 "
                                     "unless \"[END]\" and at least one more significant line "
                                     "follow it"});
  Read(ValueLines() + "mean = 1 (small)\n[END]\nx\n", &info);
  EXPECT_EQ(info.warnings,
            std::vector<std::string>{"line 28: all: \"mean = 1 (small)\" sets all to 1, because "
                                     "it contains \"all\" inside a word"});
  Read(ValueLines() + "ALL = 1\nmean = 0\n[END]\n", &info);
  ASSERT_EQ(info.warnings.size(), 1u);
  EXPECT_TRUE(info.warnings[0].starts_with("line 28: all: \"ALL = 1\" is ignored"))
      << info.warnings[0];
  // Remarks that name no field stay quiet, as they always did.
  Read(ValueLines() + "rescan = 0\nall = 0 ; small files too\nmean = 0\n[END]\n", &info);
  EXPECT_EQ(info.warnings, std::vector<std::string>{});
}

// ---- lines labelled for another field -------------------------------------

TEST_F(ParameterFileTest, OldFileWithTerseCommentaryGivesNoWarning) {
  ParameterFileInfo info;
  Read(ValueLines(), &info);
  EXPECT_EQ(info.warnings, std::vector<std::string>{});
  // Commentary that also names other fields, other numbering of the
  // reserved lines, a leading line number, "mean" as an ordinary word.
  for (const auto& [n, text] : std::vector<std::pair<int, std::string>>{
           {1, "mean velocity along X, vx = 6.5"},
           {8, "reserved5 = 8"},
           {9, "reserved = 9"},
           {13, "13. ccMin = 0.6"},
           {13, "minimum CC; see snrMin below = 0.6"},
           {14, "snrMin: minimum SNR of the CC peak = 2"},
           {20, "GRID_STEPS_Z = 4"},
       }) {
    EXPECT_EQ(WarningsWithLine(n, text), std::vector<std::string>{}) << text;
  }
}

TEST_F(ParameterFileTest, LineNamingAnotherFieldWarns) {
  EXPECT_EQ(WarningsWithLine(13, "snrMin: minimum signal-to-noise ratio = 2"),
            std::vector<std::string>{"line 13: ccMin: \"snrMin: minimum signal-to-noise ratio = "
                                     "2\" names snrMin, not ccMin"});
  EXPECT_EQ(WarningsWithLine(10, "reserved = 10"),
            std::vector<std::string>{
                "line 10: fLow: \"reserved = 10\" names a reserved field, not fLow"});
  EXPECT_EQ(WarningsWithLine(27, "all = 0"),
            std::vector<std::string>{"line 27: wellLocatedM: \"all = 0\" names all, not "
                                     "wellLocatedM"});
}

// Our own parameter files, as the synthetic experiment writes them.
class OwnParameterFileTest : public ParameterFileTest {
 protected:
  void SetUp() override {
    ParameterFileTest::SetUp();
    synth::SyntheticOptions o;
    o.n_sensors = 4;
    o.n_templates = 1;
    o.n_events = 1;
    o.n_samples = 1024;
    std::string error;
    ASSERT_TRUE(synth::GenerateSyntheticExperiment((dir_ / "exp").string(), o, &exp_, &error))
        << error;
    std::ifstream in(exp_.par_file, std::ios::binary);
    for (std::string line; std::getline(in, line);) lines_.push_back(line);
  }

  static bool IsValueLine(const std::string& line) {
    return !line.empty() && line[0] != '!' && !line.starts_with("all") &&
           !line.starts_with("mean") && !line.starts_with("[END]");
  }

  // The file without line `skip`, or with line `twice` written twice (1-based).
  std::string Edited(int skip, int twice) const {
    std::string text;
    for (int i = 1; i <= static_cast<int>(lines_.size()); ++i) {
      const std::string& line = lines_[static_cast<std::size_t>(i - 1)];
      if (i != skip) text += line + "\n";
      if (i == twice) text += line + "\n";
    }
    return text;
  }

  synth::SyntheticExperiment exp_;
  std::vector<std::string> lines_;
};

TEST_F(OwnParameterFileTest, GivesNoWarning) {
  AePars pars;
  ParameterFileInfo info;
  ASSERT_TRUE(ReadParameterFile(exp_.par_file, &pars, &info));
  EXPECT_EQ(info.value_lines_present, kParameterValueLines);
  EXPECT_EQ(AllParameterWarnings(info, pars), std::vector<std::string>{});
  EXPECT_EQ(ParameterErrors(pars, &info), std::vector<std::string>{});
}

TEST_F(OwnParameterFileTest, DeletedLineIsReportedWhereTheShiftStarts) {
  int n_value_lines = 0;
  for (int k = 1; k <= static_cast<int>(lines_.size()); ++k) {
    if (!IsValueLine(lines_[static_cast<std::size_t>(k - 1)])) continue;
    ++n_value_lines;
    // The next value line moves up into the gap (or below a comment line).
    int next = k + 1;
    while (!IsValueLine(lines_[static_cast<std::size_t>(next - 1)]) &&
           !lines_[static_cast<std::size_t>(next - 1)].starts_with("all")) {
      ++next;
    }
    ParameterFileInfo info;
    Read(Edited(k, 0), &info);
    ASSERT_FALSE(info.warnings.empty()) << "line " << k << " deleted";
    const std::string& w = info.warnings[0];
    EXPECT_TRUE(w.starts_with("line " + std::to_string(next - 1) + ": ")) << k << ": " << w;
    if (n_value_lines < kParameterValueLines) {
      EXPECT_NE(w.find("line seems to be missing before this one"), std::string::npos)
          << k << ": " << w;
    }
  }
  EXPECT_EQ(n_value_lines, kParameterValueLines);
}

TEST_F(OwnParameterFileTest, AddedLineIsReportedAtTheExtraLine) {
  for (int k = 1; k <= static_cast<int>(lines_.size()); ++k) {
    if (!IsValueLine(lines_[static_cast<std::size_t>(k - 1)])) continue;
    ParameterFileInfo info;
    Read(Edited(0, k), &info);
    ASSERT_FALSE(info.warnings.empty()) << "line " << k << " doubled";
    EXPECT_TRUE(info.warnings[0].starts_with("line " + std::to_string(k + 1) + ": "))
        << k << ": " << info.warnings[0];
  }
  // A line added in the middle, without a label of its own.
  ParameterFileInfo info;
  std::string text;
  for (std::size_t i = 0; i < lines_.size(); ++i) {
    text += lines_[i] + "\n";
    if (lines_[i].starts_with("dupWin")) text += "window = 5\n";
  }
  Read(text, &info);
  ASSERT_FALSE(info.warnings.empty());
  EXPECT_NE(info.warnings[0].find("seems to be one too many"), std::string::npos)
      << info.warnings[0];
}

// ---- folders ----------------------------------------------------------------

TEST_F(ParameterFileTest, FolderWarnings) {
  fs::create_directories(dir_ / "tpl");
  fs::create_directories(dir_ / "data");
  std::ofstream(dir_ / "rec.lng", std::ios::binary) << "x";
  std::ofstream(dir_ / "plain", std::ios::binary) << "x";
  const std::string d = dir_.string() + "/";
  AePars pars;
  pars.templateDir = d + "tpl/";
  pars.dataPath = d + "data/run1_";
  pars.outDir = "./";
  EXPECT_EQ(FolderWarnings(pars), std::vector<std::string>{});
  pars.dataPath = d + "rec.lng";
  EXPECT_EQ(FolderWarnings(pars), std::vector<std::string>{});

  pars.templateDir = d + "nope/";
  pars.dataPath = d + "gone/run1_";
  pars.outDir = "";
  EXPECT_EQ(FolderWarnings(pars),
            (std::vector<std::string>{
                "templateDir: folder \"" + d + "nope/\" does not exist",
                "dataPath: folder \"" + d + "gone/\" of the prefix \"" + d +
                    "gone/run1_\" does not exist",
                "outDir: empty, so the log and the results are written to the current directory"}));

  pars.templateDir = d + "plain/";
  pars.dataPath = d + "gone.lng";
  pars.outDir = "qae_no_such_folder_here/";  // Relative: from the current directory.
  EXPECT_EQ(FolderWarnings(pars),
            (std::vector<std::string>{"templateDir: \"" + d + "plain/\" is not a folder",
                                      "dataPath: recording \"" + d + "gone.lng\" does not exist",
                                      "outDir: folder \"qae_no_such_folder_here/\" does not "
                                      "exist"}));

  pars.templateDir = d + "tpl";  // The final '/' forgotten.
  pars.dataPath = d + "data/";
  pars.outDir = d;
  const std::vector<std::string> forgotten = FolderWarnings(pars);
  ASSERT_EQ(forgotten.size(), 1u);
  EXPECT_TRUE(forgotten[0].starts_with("templateDir: \"" + d + "tpl\" is a folder but has no "
                                       "final '/'"))
      << forgotten[0];
}

TEST_F(ParameterFileTest, BackslashPrefixWhereBackslashSeparatesNothing) {
  if (fs::path::preferred_separator == '\\') GTEST_SKIP() << "backslash separates folders here";
  fs::create_directories(dir_ / "tpl");
  AePars pars;
  pars.templateDir = dir_.string() + "/tpl\\";  // A run would read tpl\000001.sg2 beside tpl.
  pars.dataPath = "D:\\data\\";
  pars.outDir = "./";
  EXPECT_EQ(FolderWarnings(pars),
            (std::vector<std::string>{
                "templateDir: \"" + pars.templateDir +
                    "\" ends with '\\', which does not separate folders on this system",
                "dataPath: \"D:\\data\\\" ends with '\\', which does not separate folders on "
                "this system"}));
}

TEST_F(ParameterFileTest, FolderWarningsNameTheLineAndFollowReaderWarnings) {
  std::string text = ValueLines();
  text.replace(text.find("cc=13"), 5, "cc=0,5");
  text.replace(text.find("d=/d/"), 5, "d=" + dir_.string() + "/");
  AePars pars;
  ParameterFileInfo info;
  ASSERT_TRUE(ReadParameterFile(Write(text), &pars, &info));
  EXPECT_EQ(AllParameterWarnings(info, pars),
            (std::vector<std::string>{
                "line 13: ccMin: \"cc=0,5\" reads as 0 (the number stops at \",5\")",
                "line 21: templateDir: folder \"/t/\" does not exist",
                "line 23: outDir: folder \"/o/\" does not exist"}));
}

// ---- values a run refuses ---------------------------------------------------

TEST(ParameterErrors, NonFiniteValuesAndNegativeDupWinAreRefused) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const float inf = std::numeric_limits<float>::infinity();
  AePars pars;
  EXPECT_EQ(ParameterErrors(pars), std::vector<std::string>{});
  pars.ccMin = nan;
  pars.velY = inf;
  pars.gridHalfZ = -inf;
  pars.dupWin = -1.0f;
  EXPECT_EQ(ParameterErrors(pars),
            (std::vector<std::string>{
                "velY: inf is not a finite number",
                "dupWin: -1 is negative, which turns the removal of duplicate detections off",
                "ccMin: nan is not a number a run can use",
                "gridHalfZ: -inf is not a finite number"}));
  AePars nan_dup;
  nan_dup.dupWin = nan;
  EXPECT_EQ(ParameterErrors(nan_dup),
            std::vector<std::string>{"dupWin: nan is not a number a run can use"});
}

TEST(ParameterErrors, OddButWorkingValuesPass) {
  AePars pars;
  pars.fLow = 5.0f;  // fLow >= fHigh: no filter.
  pars.fHigh = 1.0f;
  pars.velX = 0.0f;
  pars.gridStepsX = -3;
  pars.gridHalfY = -1.0f;
  pars.dupWin = 0.0f;
  pars.ccMin = 2.0f;
  pars.snrMin = -1.0f;
  EXPECT_EQ(ParameterErrors(pars), std::vector<std::string>{});
}

TEST_F(ParameterFileTest, ParameterErrorsNameTheLine) {
  std::string text = ValueLines();
  text.replace(text.find("cc=13"), 5, "cc = nan");
  AePars pars;
  ParameterFileInfo info;
  ASSERT_TRUE(ReadParameterFile(Write(text), &pars, &info));
  EXPECT_EQ(ParameterErrors(pars, &info),
            std::vector<std::string>{"line 13: ccMin: nan is not a number a run can use"});
}

}  // namespace
}  // namespace qae
