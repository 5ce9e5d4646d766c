// The template library: which files of the template directory get slots, in
// which order, which slots are loaded up front, and the loader's log lines.
#include "detect/template_library.h"

#include <gtest/gtest.h>

#include <climits>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "support/test_paths.h"
#include "wave/formats/seg2_writer.h"

namespace qae {
namespace {

namespace fs = std::filesystem;

std::string ReadText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// A small template file: `traces` traces of 64 samples.
void WriteTemplate(const std::string& path, int traces = 2) {
  XL_WaveDataSeg2 rec;
  for (int t = 0; t < traces; ++t) {
    auto trace = std::make_unique<XL_WaveTrace>(64);
    trace->samplingInterval = 0.1;
    for (int i = 0; i < 64; ++i) trace->samples[static_cast<std::size_t>(i)] = static_cast<float>(i % 7);
    rec.AddTrace(std::move(trace));
  }
  std::string error;
  ASSERT_EQ(WriteSeg2(path, rec, 0, 0, 4, &error), 1) << error;
}

class TemplateLibraryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = scratch_.path() + "/templates/";
    fs::create_directories(dir_);
    log_path_ = scratch_.File("log.txt");
    ASSERT_TRUE(ctx_.log.Create(log_path_));
  }

  // Loads with the given parameters and returns the log's text.
  std::string Load(TemplateLibrary* lib) {
    *lib = LoadTemplates(dir_, pars_, ctx_);
    ctx_.log.Close();
    return ReadText(log_path_);
  }

  void WriteThree() {
    // Written out of order: slots follow the sorted names.
    WriteTemplate(dir_ + "000030.sg2");
    WriteTemplate(dir_ + "000010.sg2");
    WriteTemplate(dir_ + "000020.sg2");
  }

  test::ScratchDir scratch_;
  std::string dir_;
  std::string log_path_;
  AePars pars_;
  RunContext ctx_;
};

TEST_F(TemplateLibraryTest, DefaultsLoadEveryFileInSortedOrderWithExactLog) {
  WriteThree();
  TemplateLibrary lib;
  const std::string log = Load(&lib);
  ASSERT_EQ(lib.size(), 3);
  EXPECT_EQ(pars_.maxTemplates, 3);
  const int expected[] = {10, 20, 30};
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(lib[i].aeNumber, expected[i]);
    EXPECT_EQ(lib[i].TraceCount(), 2);
  }
  EXPECT_EQ(lib[1].sourceName, dir_ + "000020.sg2");
  EXPECT_EQ(log, "\n Load templates from " + dir_ +
                     "\n"
                     "  loading 000010.sg2 (0)... !\n"
                     "  loading 000020.sg2 (1)... !\n"
                     "  loading 000030.sg2 (2)... !\n"
                     "number of template: 3\n\n");
}

TEST_F(TemplateLibraryTest, CapacityStopsTheListingSilently) {
  WriteThree();
  pars_.maxTemplates = 2;
  TemplateLibrary lib;
  const std::string log = Load(&lib);
  ASSERT_EQ(lib.size(), 2);
  EXPECT_EQ(pars_.maxTemplates, 2);
  EXPECT_EQ(log.find("000030"), std::string::npos);
  EXPECT_NE(log.find("number of template: 2\n\n"), std::string::npos);
}

TEST_F(TemplateLibraryTest, ZeroCapacityFillsNoSlot) {
  WriteThree();
  pars_.maxTemplates = 0;
  TemplateLibrary lib;
  const std::string log = Load(&lib);
  EXPECT_EQ(lib.size(), 0);
  EXPECT_EQ(pars_.maxTemplates, 0);
  EXPECT_NE(log.find("number of template: 0\n\n"), std::string::npos);
}

TEST_F(TemplateLibraryTest, EqualSlotRangeLoadsOnlyThatSlot) {
  WriteThree();
  pars_.iTS = 1;
  pars_.iTE = 1;
  TemplateLibrary lib;
  const std::string log = Load(&lib);
  ASSERT_EQ(lib.size(), 3);
  EXPECT_EQ(lib[0].TraceCount(), 0);
  EXPECT_EQ(lib[1].TraceCount(), 2);
  EXPECT_EQ(lib[2].TraceCount(), 0);
  // Registered slots still carry their numbers and paths for on-demand loads.
  EXPECT_EQ(lib[0].aeNumber, 10);
  EXPECT_EQ(lib[2].aeNumber, 30);
  EXPECT_EQ(lib[2].sourceName, dir_ + "000030.sg2");
  EXPECT_NE(log.find("  template 000010.sg2 (0)... !\n"
                     "  loading 000020.sg2 (1)... !\n"
                     "  template 000030.sg2 (2)... !\n"),
            std::string::npos);
}

TEST_F(TemplateLibraryTest, NegativeCapacityLoadsOnlySlotZero) {
  for (const int max_templates : {-1000, INT_MIN}) {
    SCOPED_TRACE(max_templates);
    WriteThree();
    pars_ = AePars();
    pars_.maxTemplates = max_templates;
    ASSERT_TRUE(ctx_.log.Create(log_path_));
    TemplateLibrary lib;
    Load(&lib);
    ASSERT_EQ(lib.size(), 3);
    EXPECT_EQ(pars_.maxTemplates, 3);
    EXPECT_EQ(lib[0].TraceCount(), 2);
    EXPECT_EQ(lib[1].TraceCount(), 0);
    EXPECT_EQ(lib[2].TraceCount(), 0);
  }
}

TEST_F(TemplateLibraryTest, UnreadableFileCostsALineButNoSlot) {
  WriteTemplate(dir_ + "000010.sg2");
  std::ofstream(dir_ + "000015.sg2", std::ios::binary) << "not a SEG-2 file";
  WriteTemplate(dir_ + "000020.sg2");
  TemplateLibrary lib;
  const std::string log = Load(&lib);
  ASSERT_EQ(lib.size(), 2);
  EXPECT_EQ(lib[0].aeNumber, 10);
  EXPECT_EQ(lib[1].aeNumber, 20);
  EXPECT_NE(log.find("  loading 000010.sg2 (0)... !\n"
                     "  loading 000015.sg2 (1)... failed !\n"
                     "  loading 000020.sg2 (1)... !\n"
                     "number of template: 2\n\n"),
            std::string::npos);
}

TEST_F(TemplateLibraryTest, AeNumberComesFromTheFirstSixCharacters) {
  EXPECT_EQ(TemplateAeNumber("12345678.sg2"), 123456);
  EXPECT_EQ(TemplateAeNumber("001234_x.sg2"), 1234);
  EXPECT_EQ(TemplateAeNumber("12.sg2"), 12);
  EXPECT_EQ(TemplateAeNumber("tpl_000001.sg2"), 0);
  EXPECT_EQ(TemplateAeNumber(""), 0);

  WriteTemplate(dir_ + "12345678.sg2");
  WriteTemplate(dir_ + "big_event.sg2");
  TemplateLibrary lib;
  Load(&lib);
  ASSERT_EQ(lib.size(), 2);
  EXPECT_EQ(lib[0].aeNumber, 123456);
  EXPECT_EQ(lib[1].aeNumber, 0);
}

TEST_F(TemplateLibraryTest, OnlyVisibleSg2FilesAreTemplates) {
  WriteTemplate(dir_ + "000010.sg2");
  fs::create_directories(dir_ + "000005.sg2");  // a directory with a template's name
  WriteTemplate(dir_ + ".000001.sg2");
  WriteTemplate(dir_ + "000002.SG2");
  WriteTemplate(dir_ + "000003.sg2.bak");
  TemplateLibrary lib;
  const std::string log = Load(&lib);
  ASSERT_EQ(lib.size(), 1);
  EXPECT_EQ(lib[0].aeNumber, 10);
  EXPECT_EQ(log.find("000005"), std::string::npos);
}

TEST_F(TemplateLibraryTest, MissingDirectoryGivesAnEmptyLibrary) {
  dir_ = scratch_.path() + "/no_such_dir/";
  TemplateLibrary lib;
  const std::string log = Load(&lib);
  EXPECT_EQ(lib.size(), 0);
  EXPECT_EQ(pars_.maxTemplates, 0);
  EXPECT_EQ(log, "\n Load templates from " + dir_ + "\nnumber of template: 0\n\n");
}

}  // namespace
}  // namespace qae
