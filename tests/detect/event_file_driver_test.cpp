// The event-file run driver: the skip rules, the log's lines and its
// completion rename, the rewrite under `all`, and the setups that cannot be
// scanned. The records here never yield a detection (the template has no
// station count, so the scan passes it over), which keeps the tests about
// the driver alone.
#include "detect/event_file_driver.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "support/test_paths.h"
#include "dsp/iir_filter.h"
#include "util/text.h"
#include "wave/formats/seg2_reader.h"
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

float Wiggle(int trace, int i) { return static_cast<float>((i * 7 + trace * 13) % 61 - 30); }

void WriteRecord(const std::string& path, const std::string& comments, int traces = 4,
                 int samples = 512, int format = 1,
                 const std::function<float(int, int)>& value = Wiggle) {
  XL_WaveDataSeg2 rec;
  for (int t = 0; t < traces; ++t) {
    auto trace = std::make_unique<XL_WaveTrace>(samples);
    trace->samplingInterval = 0.1;
    trace->pickup[0] = 100;
    for (int i = 0; i < samples; ++i) trace->samples[static_cast<std::size_t>(i)] = value(t, i);
    rec.AddTrace(std::move(trace));
  }
  SetText(rec.header.comments, comments);
  std::string error;
  ASSERT_EQ(WriteSeg2(path, rec, 0, 0, format, &error), 1) << error;
}

class EventFileDriverTest : public ::testing::Test {
 protected:
  void SetUp() override {
    tpl_dir_ = scratch_.path() + "/tpl/";
    data_dir_ = scratch_.path() + "/data/";
    out_dir_ = scratch_.path() + "/out/";
    for (const auto& d : {tpl_dir_, data_dir_, out_dir_}) fs::create_directories(d);
    pars_.templateDir = tpl_dir_;
    pars_.dataPath = data_dir_;
    pars_.outDir = out_dir_;
  }

  // A template without "M=": the scan skips it, so no record is detected.
  void WriteReferenceTemplate(int ae = 4) {
    WriteRecord(tpl_dir_ + StrPrintf("%06d.sg2", ae), "x=1 y=2 z=3 Mw=-3.0");
  }

  int Run(int first, int last) { return Run(first, last, ctx_); }
  int Run(int first, int last, RunContext& ctx) {
    pars_.firstAE = first;
    pars_.lastAE = last;
    const int detected = RunEventFiles(ctx, pars_.dataPath, pars_.templateDir, pars_);
    EXPECT_FALSE(ctx.log.IsOpen());
    return detected;
  }

  std::string LogPath(int first, int last, bool completed) const {
    return out_dir_ + StrPrintf("Log_%06d_%06d%s.txt", first, last, completed ? "_OK" : "");
  }

  // The log after the template loader's lines and the filter lines.
  static std::string ScanPart(const std::string& log) {
    const std::size_t at = log.find("  Start to scan AE");
    return at == std::string::npos ? std::string() : log.substr(at);
  }

  test::ScratchDir scratch_;
  std::string tpl_dir_;
  std::string data_dir_;
  std::string out_dir_;
  AePars pars_;
  RunContext ctx_;
};

const char kStamp[] = R"(\d{4}/\d{2}/\d{2} \d{2}:\d{2}:\d{2})";

TEST_F(EventFileDriverTest, TemplateNumbersAndMissingFilesAreSkippedWithOneLineEach) {
  WriteReferenceTemplate(4);
  const fs::path cwd = fs::current_path();
  EXPECT_EQ(Run(3, 5), 0);
  EXPECT_EQ(fs::current_path(), cwd);
  EXPECT_TRUE(ctx_.fatalError.empty());
  EXPECT_FALSE(fs::exists(LogPath(3, 5, false)));
  const std::string log = ReadText(LogPath(3, 5, true));
  EXPECT_TRUE(std::regex_search(
      log, std::regex(std::string("number of template: 1\n\n  Start IIR filtering  ") + kStamp +
                      R"(\.\.\.\n  End of IIR filtering )" + kStamp + R"(\.  Start to scan)")))
      << log;
  const std::string missing3 = "  Loading " + data_dir_ + "000003.sg2... failed or non-existent!\n";
  const std::string missing5 = "  Loading " + data_dir_ + "000005.sg2... failed or non-existent!\n";
  EXPECT_TRUE(std::regex_match(
      ScanPart(log), std::regex("  Start to scan AE from 3 through 5\n" +
                                std::regex_replace(missing3, std::regex(R"([.])"), R"(\.)") +
                                R"(  Skip template event \(AE#=4\)\n)" +
                                std::regex_replace(missing5, std::regex(R"([.])"), R"(\.)") +
                                " !Nothing to scan: no event file " + data_dir_ +
                                "%06d\\.sg2 of AE 3 through 5 could be read\n"
                                " Ended: 0 / 0 events scanned/detected. " + kStamp + "\n")))
      << log;
}

// A truncated event file is scanned for what it holds, and its loading
// line says what was missing rather than a bare " !".
TEST_F(EventFileDriverTest, PartlyReadEventFileSaysWhatWasRead) {
  WriteReferenceTemplate(4);
  WriteRecord(data_dir_ + "000005.sg2", "");
  const std::string path = data_dir_ + "000005.sg2";
  fs::resize_file(path, fs::file_size(path) - 700);
  Run(5, 5);
  const std::string log = ReadText(LogPath(5, 5, true));
  EXPECT_NE(log.find("  Loading " + path + "... ! partly read: trace 4 of 4: "),
            std::string::npos)
      << log;
  EXPECT_EQ(ctx_.counts.scanned, 1);
}

TEST_F(EventFileDriverTest, RecordMarkedByAnEarlierRunIsSkippedAndKept) {
  WriteReferenceTemplate();
  const std::string path = data_dir_ + "000001.sg2";
  WriteRecord(path, "detected: AE#=1, Mw=-2.00, CC=0.90, M=3, Tpl=4(Mw-3.00)\n");
  const std::string before = ReadText(path);
  EXPECT_EQ(Run(1, 1), 0);
  const std::string log = ReadText(LogPath(1, 1, true));
  EXPECT_NE(log.find("  Loading " + path + "...  Skip event detected by prev. run(s)\n Ended: 0 / 0"),
            std::string::npos)
      << log;
  EXPECT_EQ(ReadText(path), before);
}

TEST_F(EventFileDriverTest, WellLocatedRecordsAreSkippedFromTheThreshold) {
  WriteReferenceTemplate(100);
  pars_.wellLocatedM = 12;
  WriteRecord(data_dir_ + "000001.sg2", "x=1 M=12 Mw=-3");
  WriteRecord(data_dir_ + "000002.sg2", "x=1 M=11 Mw=-3");
  WriteRecord(data_dir_ + "000003.sg2", "x=1 M=0");
  WriteRecord(data_dir_ + "000004.sg2", "no station count");
  const std::string before = ReadText(data_dir_ + "000002.sg2");
  EXPECT_EQ(Run(1, 4), 0);
  const std::string log = ReadText(LogPath(1, 4, true));
  EXPECT_NE(log.find("000001.sg2...  Skip well located event (Mid=12)\n"), std::string::npos);
  for (const char* scanned : {"000002.sg2... !\n", "000003.sg2... !\n", "000004.sg2... !\n"}) {
    EXPECT_NE(log.find(scanned), std::string::npos) << scanned;
  }
  EXPECT_NE(log.find(" Ended: 3 / 0 events scanned/detected. "), std::string::npos) << log;
  // Without `all` the driver never rewrites an event file.
  EXPECT_EQ(ReadText(data_dir_ + "000002.sg2"), before);
}

TEST_F(EventFileDriverTest, AllRewritesUndetectedRecordsWithRawSamplesLosslessly) {
  WriteReferenceTemplate(100);
  pars_.all = 1;
  pars_.wellLocatedM = 12;
  // Marked and well located: with `all` it is scanned all the same.
  WriteRecord(data_dir_ + "000001.sg2", "detected: AE#=1, CC=0.90, M=15, Tpl=4(Mw-3.00)\n");
  // Float samples must survive the rewrite exactly.
  const auto fractional = [](int t, int i) { return 0.25f * static_cast<float>(i - t) + 1e-3f; };
  WriteRecord(data_dir_ + "000002.sg2", "M=3", 4, 512, 4, fractional);
  EXPECT_EQ(Run(1, 2), 0);
  EXPECT_NE(ReadText(LogPath(1, 2, true)).find(" Ended: 2 / 0 events scanned/detected. "),
            std::string::npos);

  for (int ae : {1, 2}) {
    SCOPED_TRACE(ae);
    XL_WaveDataSeg2 rec;
    ASSERT_EQ(rec.Load(data_dir_ + StrPrintf("%06d.sg2", ae), 1, 0, 0), 1);
    EXPECT_EQ(std::string(TextOf(rec.header.comments)), " ");
    ASSERT_EQ(rec.TraceCount(), 4);
    for (int t = 0; t < 4; ++t) {
      const XL_WaveTrace& trace = rec.Trace(t);
      EXPECT_EQ(trace.dataFormat, ae == 1 ? 1 : 4);
      ASSERT_EQ(trace.sampleCount, 512);
      for (int i = 0; i < 512; ++i) {
        const float expected = ae == 1 ? Wiggle(t, i) : fractional(t, i);
        ASSERT_EQ(trace.samples[static_cast<std::size_t>(i)], expected) << t << " " << i;
      }
    }
  }
}

TEST_F(EventFileDriverTest, RefusedFilterDesignIsLoggedAndTheRunGoesOn) {
  WriteReferenceTemplate(100);
  WriteRecord(data_dir_ + "000001.sg2", "");
  pars_.fHigh = 6.0f;  // above half the sampling rate of 0.1 us samples
  XL_WaveDataSeg2 probe;
  probe.AddTrace(std::make_unique<XL_WaveTrace>(8)).samplingInterval = 0.1;
  std::string reason;
  ASSERT_EQ(FilterRecordBandpass(probe, pars_.fLow, pars_.fHigh, &reason), 0);
  const std::string line = "  " + reason + "\n";

  EXPECT_EQ(Run(1, 1), 0);
  const std::string log = ReadText(LogPath(1, 1, true));
  // Once for the template, once for the record.
  const std::size_t first = log.find(line);
  ASSERT_NE(first, std::string::npos) << log;
  EXPECT_LT(first, log.find("  End of IIR filtering"));
  EXPECT_NE(log.find("000001.sg2... !\n" + line), std::string::npos) << log;
  EXPECT_NE(log.find(" Ended: 1 / 0 events scanned/detected. "), std::string::npos);
}

TEST_F(EventFileDriverTest, EmptyRangeCompletesWithZeroCounts) {
  WriteReferenceTemplate();
  EXPECT_EQ(Run(10, 5), 0);
  const std::string log = ReadText(LogPath(10, 5, true));
  EXPECT_TRUE(std::regex_match(ScanPart(log),
                               std::regex(std::string("  Start to scan AE from 10 through 5\n"
                                                      " Ended: 0 / 0 events scanned/detected. ") +
                                          kStamp + "\n")))
      << log;
}

TEST_F(EventFileDriverTest, CompletedLogTakesItsOkName) {
  WriteReferenceTemplate(1000);
  Run(0, 499);
  EXPECT_TRUE(fs::exists(out_dir_ + "Log_000000_000499_OK.txt"));
  EXPECT_FALSE(fs::exists(out_dir_ + "Log_000000_000499.txt"));
}

TEST_F(EventFileDriverTest, RunWithoutTemplatesKeepsThePlainLogName) {
  EXPECT_EQ(Run(0, 9), 0);
  EXPECT_FALSE(fs::exists(LogPath(0, 9, true)));
  const std::string log = ReadText(LogPath(0, 9, false));
  EXPECT_EQ(log, "\n Load templates from " + tpl_dir_ + "\nnumber of template: 0\n\n" +
                     " !Number of templates is 0 in " + tpl_dir_ + "\n");
  // The caller must be able to tell this run from a completed one.
  EXPECT_FALSE(ctx_.fatalError.empty());
}

TEST_F(EventFileDriverTest, UnusableReferenceTemplateStopsTheRun) {
  struct Case {
    const char* name;
    std::function<void()> setup;
  };
  const std::vector<Case> cases = {
      {"51 traces", [&] { WriteRecord(tpl_dir_ + "000001.sg2", "", 51); }},
      {"reference slot beyond the library",
       [&] {
         WriteRecord(tpl_dir_ + "000001.sg2", "");
         pars_.iTS = 5;
       }},
      {"reference slot not loaded",
       [&] {
         WriteRecord(tpl_dir_ + "000001.sg2", "");
         WriteRecord(tpl_dir_ + "000002.sg2", "");
         pars_.maxTemplates = -1000;
         pars_.iTS = 1;
       }},
      {"trace not longer than the window", [&] { WriteRecord(tpl_dir_ + "000001.sg2", "", 4, 41); }},
      {"empty window",
       [&] {
         WriteRecord(tpl_dir_ + "000001.sg2", "");
         pars_.preWin = 0.0f;
         pars_.postWin = 0.05f;
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(tpl_dir_);
    fs::create_directories(tpl_dir_);
    fs::remove_all(out_dir_);
    fs::create_directories(out_dir_);
    pars_ = AePars();
    pars_.templateDir = tpl_dir_;
    pars_.dataPath = data_dir_;
    pars_.outDir = out_dir_;
    WriteRecord(data_dir_ + "000000.sg2", "");
    c.setup();
    RunContext ctx;
    EXPECT_EQ(Run(0, 0, ctx), 0);
    ASSERT_FALSE(ctx.fatalError.empty());
    EXPECT_EQ(ctx.fatalError.find('\n'), std::string::npos);
    EXPECT_FALSE(fs::exists(LogPath(0, 0, true)));
    const std::string log = ReadText(LogPath(0, 0, false));
    EXPECT_NE(log.find(" !" + ctx.fatalError + "\n"), std::string::npos) << log;
    EXPECT_EQ(log.find("Loading"), std::string::npos);
  }
}

// A ".lng" data path goes to the continuous-data driver; a recording that
// is not there stops that run with a message naming it, not with a silent
// "EOF" and a completed log.
TEST_F(EventFileDriverTest, MissingContinuousRecordingStopsTheRunNamingIt) {
  WriteReferenceTemplate();
  pars_.dataPath = data_dir_ + "recording.lng";
  EXPECT_EQ(Run(0, 3), 0);
  EXPECT_NE(ctx_.fatalError.find("recording.lng"), std::string::npos);
  EXPECT_NE(ReadText(LogPath(0, 3, false)).find(ctx_.fatalError), std::string::npos);
}

}  // namespace
}  // namespace qae
