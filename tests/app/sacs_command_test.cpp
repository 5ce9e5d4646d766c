// Runs `Quorvex_AE sacs` and `Quorvex_AE filter` as a user would and checks
// their output files, stdout, stderr and exit status.
#include <gtest/gtest.h>

#include "support/cli_runner.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "dsp/iir_filter.h"
#include "support/seg2_builder.h"
#include "support/test_paths.h"
#include "util/file_io.h"
#include "wave/formats/seg2_reader.h"
#include "writers/sac_container.h"

namespace qae {
namespace {

namespace fs = std::filesystem;

using test::Quote;
using test::RunResult;

std::string Slurp(const std::string& path) { return test::ReadText(path); }

class SacsCommandTest : public ::testing::Test {
 protected:
  RunResult Run(const std::string& args) { return test::RunCli(args, dir_.path()); }

  std::vector<SacRecord> ReadSac(const std::string& path, bool want_container) {
    std::vector<SacRecord> records;
    bool is_container = false;
    std::string error;
    EXPECT_TRUE(ReadSacRecords(path, &records, &is_container, &error)) << error;
    EXPECT_EQ(is_container, want_container) << path;
    return records;
  }

  test::ScratchDir dir_;
};

TEST_F(SacsCommandTest, DumpPrintsHeaderWordsTextsAndDataRange) {
  const RunResult run = Run("sacs dump " + Quote(test::DataFile("sac/synthetic_project_like.sacs")));
  ASSERT_EQ(run.exit_code, 0) << run.err;
  const auto json = nlohmann::json::parse(run.out);
  EXPECT_EQ(json["recordCount"], 3);
  ASSERT_EQ(json["records"].size(), 3u);
  const auto& r = json["records"][2];
  EXPECT_EQ(r["npts"], 1000);
  EXPECT_EQ(r["delta"], 1.0);
  EXPECT_EQ(r["e"], 1000.0);
  EXPECT_EQ(r["nzyear"], 2008);
  EXPECT_EQ(r["nzjday"], 135);
  EXPECT_EQ(r["nzmsec"], 789);
  EXPECT_EQ(r["iztype"], 11);
  EXPECT_EQ(r["idep"], -12345);
  EXPECT_EQ(r["knetwk"], "XY");
  EXPECT_EQ(r["kstnm"], "STN1");
  EXPECT_EQ(r["kcmpnm"], "EHZ");
  EXPECT_EQ(r["kuser1"], "-12345");
  const std::vector<SacRecord> records =
      ReadSac(test::DataFile("sac/synthetic_project_like.sacs"), true);
  float lo = records[2].data[0];
  float hi = lo;
  for (float v : records[2].data) {
    lo = std::min(lo, v);
    hi = std::max(hi, v);
  }
  EXPECT_FLOAT_EQ(r["min"].get<float>(), lo);
  EXPECT_FLOAT_EQ(r["max"].get<float>(), hi);
}

TEST_F(SacsCommandTest, DumpRefusesADamagedContainerWithOneLine) {
  std::string bytes = Slurp(test::DataFile("sac/synthetic_project_like.sacs"));
  bytes.resize(bytes.size() - 10);
  const std::string path = dir_.File("cut.sacs");
  std::ofstream(path, std::ios::binary) << bytes;
  const RunResult run = Run("sacs dump " + Quote(path));
  EXPECT_EQ(run.exit_code, 2);
  EXPECT_EQ(run.out, "");
  EXPECT_NE(run.err.find("record 3 at byte 9268"), std::string::npos) << run.err;
  EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << run.err;
}

TEST_F(SacsCommandTest, SplitRoundTripsAContainerThroughSingleSacFiles) {
  const std::vector<std::vector<float>> rows = {{0.5f, -0.25f, 0.125f}, {1e-6f, 2e-6f, 3e-6f}};
  const std::string container = dir_.File("cc.sacs");
  ASSERT_EQ(WriteSacsChannels(container, rows, {"_Sta001_", "XYSTN1EHZ"}, 0, 3, 0.5f, 2454600.5),
            0);
  const std::string out_dir = dir_.File("split/deeper");
  const RunResult run = Run("sacs split " + Quote(container) + " " + Quote(out_dir));
  ASSERT_EQ(run.exit_code, 0) << run.err;
  const std::vector<std::string> names = {"001__S.ta0.01_.sac", "002_XY.STN1.EHZ.sac"};
  EXPECT_EQ(run.out, out_dir + "/" + names[0] + "\n" + out_dir + "/" + names[1] + "\n");

  const std::vector<SacRecord> original = ReadSac(container, true);
  for (std::size_t i = 0; i < names.size(); ++i) {
    const std::string path = out_dir + "/" + names[i];
    EXPECT_EQ(fs::file_size(path), 632u + 3u * 4u);
    const std::vector<SacRecord> single = ReadSac(path, false);
    ASSERT_EQ(single.size(), 1u);
    EXPECT_EQ(std::memcmp(&single[0].header, &original[i].header, sizeof(SacHeader)), 0);
    EXPECT_EQ(single[0].data, original[i].data);
  }

  // A second split would overwrite: refused, and nothing is touched.
  fs::resize_file(out_dir + "/" + names[1], 7);
  const RunResult again = Run("sacs split " + Quote(container) + " " + Quote(out_dir));
  EXPECT_EQ(again.exit_code, 2);
  EXPECT_NE(again.err.find("--force"), std::string::npos) << again.err;
  EXPECT_EQ(fs::file_size(out_dir + "/" + names[1]), 7u);
  const RunResult forced = Run("sacs split --force " + Quote(container) + " " + Quote(out_dir));
  EXPECT_EQ(forced.exit_code, 0) << forced.err;
  EXPECT_EQ(fs::file_size(out_dir + "/" + names[1]), 632u + 12u);
}

// AE containers keep microseconds; --seconds gives SAC files in the unit
// ObsPy and SAC read, undefined words left undefined.
TEST_F(SacsCommandTest, SplitInSecondsConvertsDeltaAndTimeWords) {
  const std::string container = dir_.File("us.sacs");
  ASSERT_EQ(WriteSacsChannels(container, {{1.0f, 2.0f, 3.0f, 4.0f}}, {"XYSTN1EHZ"}, 0, 4, 0.1f,
                              2454600.5),
            0);
  const std::string out_dir = dir_.File("s");
  const RunResult run = Run("sacs split --seconds " + Quote(container) + " " + Quote(out_dir));
  ASSERT_EQ(run.exit_code, 0) << run.err;
  const SacRecord us = ReadSac(container, true)[0];
  const SacRecord s = ReadSac(out_dir + "/001_XY.STN1.EHZ.sac", false)[0];
  EXPECT_FLOAT_EQ(s.header.floats[SacHeader::kDelta], 1e-7f);
  EXPECT_FLOAT_EQ(s.header.floats[SacHeader::kE], us.header.floats[SacHeader::kE] * 1e-6f);
  EXPECT_EQ(s.header.floats[SacHeader::kB], 0.0f);
  EXPECT_EQ(s.header.floats[8], kSacUndefinedFloat);  // a: undefined stays undefined
  EXPECT_EQ(std::memcmp(s.header.ints, us.header.ints, sizeof us.header.ints), 0);
  EXPECT_EQ(s.data, us.data);
}

TEST_F(SacsCommandTest, SplitWritesBigEndianRecordsAsLittleEndianFiles) {
  const std::string plain = Slurp(test::DataFile("sac/test.sac"));
  const std::string swapped = Slurp(test::DataFile("sac/test.sac.swap"));
  const std::string container = dir_.File("mixed.sacs");
  std::ofstream(container, std::ios::binary) << std::string("\x02\0\0\0", 4) << swapped << plain;
  const std::string out_dir = dir_.File("out");
  const RunResult run = Run("sacs split " + Quote(container) + " " + Quote(out_dir));
  ASSERT_EQ(run.exit_code, 0) << run.err;
  // The swapped copy differs from the original only in unused float word 56.
  std::string from_swapped = Slurp(out_dir + "/001_.STA.Q.sac");
  ASSERT_EQ(from_swapped.size(), plain.size());
  from_swapped.replace(4 * 56, 4, plain, 4 * 56, 4);
  EXPECT_EQ(from_swapped, plain);
  EXPECT_EQ(Slurp(out_dir + "/002_.STA.Q.sac"), plain);
}

class FilterCommandTest : public SacsCommandTest {
 protected:
  void SetUp() override {
    std::vector<float> a(600);
    std::vector<float> b(600);
    for (std::size_t i = 0; i < a.size(); ++i) {
      a[i] = static_cast<float>(std::sin(0.3 * double(i)) + 0.5);
      b[i] = i == 10 ? 1.0f : 0.0f;
    }
    const auto bytes =
        test::BuildSeg2({}, {{{"SAMPLE_INTERVAL 0.001"}, 4, 600, test::FloatData(a)},
                             {{"SAMPLE_INTERVAL 0.002"}, 4, 600, test::FloatData(b)}});
    in_ = dir_.File("in.sg2");
    std::string error;
    ASSERT_TRUE(WriteFileAtomically(in_, bytes.data(), bytes.size(), &error)) << error;
  }
  std::string in_;
};

TEST_F(FilterCommandTest, WritesTheRecordFilteredAsTheScanFiltersIt) {
  const std::string out = dir_.File("out.sg2");
  const RunResult run = Run("filter " + Quote(in_) + " " + Quote(out) + " --band 20,100");
  ASSERT_EQ(run.exit_code, 0) << run.err;

  XL_WaveDataSeg2 expected;
  ASSERT_EQ(expected.Load(in_, 1, 0, 0), 1);
  ASSERT_EQ(FilterRecordBandpass(expected, 20.0f, 100.0f), 1);
  XL_WaveDataSeg2 got;
  ASSERT_EQ(got.Load(out, 1, 0, 0), 1);
  ASSERT_EQ(got.TraceCount(), 2);
  for (int t = 0; t < 2; ++t) {
    ASSERT_EQ(got.Trace(t).sampleCount, 600);
    for (int i = 0; i < 600; ++i) {
      ASSERT_EQ(got.Trace(t).samples[i], expected.Trace(t).samples[i]) << t << " " << i;
    }
  }
  // The impulse in trace 2 shows no output before it.
  EXPECT_EQ(got.Trace(1).samples[9], 0.0f);
  EXPECT_NE(got.Trace(1).samples[10], 0.0f);

  const RunResult again = Run("filter " + Quote(in_) + " " + Quote(out) + " --band 20,100");
  EXPECT_EQ(again.exit_code, 2);
  EXPECT_NE(again.err.find("--force"), std::string::npos);
  EXPECT_EQ(Run("filter " + Quote(in_) + " " + Quote(out) + " --band 20,100 --force --format 2")
                .exit_code,
            0);
}

TEST_F(FilterCommandTest, RefusesBandsThatCannotBeFilteredWithOneLine) {
  const std::string out = dir_.File("out.sg2");
  for (const char* band : {"20,500", "20,800", "0,100", "100,20", "20", "a,b", "nan,100"}) {
    const RunResult run = Run("filter " + Quote(in_) + " " + Quote(out) + " --band " + band);
    EXPECT_EQ(run.exit_code, 2) << band;
    EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << band << ": " << run.err;
    EXPECT_FALSE(fs::exists(out)) << band;
  }
  const RunResult nyquist = Run("filter " + Quote(in_) + " " + Quote(out) + " --band 20,500");
  EXPECT_NE(nyquist.err.find("half the sampling rate"), std::string::npos) << nyquist.err;
}

}  // namespace
}  // namespace qae
