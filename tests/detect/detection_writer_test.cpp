// The writer thread writes what the run hands it, in order and as the run
// decided it, and hands back what it could not write.
#include "detect/detection_writer.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>

#include "detect/result_table.h"
#include "support/cli_runner.h"
#include "support/test_paths.h"
#include "util/text.h"
#include "wave/formats/seg2_writer.h"

namespace qae {
namespace {

namespace fs = std::filesystem;
using test::ReadText;

void FillRecord(XL_WaveData& record, int traces, int samples) {
  for (int k = 0; k < traces; ++k) {
    auto t = std::make_unique<XL_WaveTrace>(samples);
    for (int i = 0; i < samples; ++i) {
      t->samples[static_cast<std::size_t>(i)] = static_cast<float>((i * (k + 3)) % 200 - 100);
    }
    SetText(t->note, "loc_ind=01");
    t->samplingInterval = 0.1;
    record.AddTrace(std::move(t));
  }
  SetText(record.header.comments, "first");
}

std::vector<uint8_t> FileBytes(const std::string& path) {
  const std::string text = ReadText(path);
  return std::vector<uint8_t>(text.begin(), text.end());
}

// Every file gets the header values of the moment its output was decided,
// not those the record ends with.
TEST(DetectionWriterTest, FilesCarryTheRecordAsItStoodForEachOutput) {
  test::ScratchDir dir;
  XL_WaveDataSeg2 record;
  FillRecord(record, 3, 700);
  DetectionJob job;
  job.commit.tablePath = dir.File("ML_detect.ps0");
  job.commit.rows = "1\tfirst\n1\tsecond\n";
  job.commit.detections = 2;
  std::vector<std::vector<uint8_t>> expected;
  const char* names[] = {"000001.sg2", "000001_01.sg2"};
  for (int n = 0; n < 2; ++n) {
    SetText(record.header.comments, n == 0 ? "detected: first" : "detected: second");
    SetText(record.Trace(1).note, StrPrintf("loc_ind=%02d", 7 + n));
    record.Trace(2).pickup[0] = 100 + n;
    expected.push_back(EncodeSeg2For(names[n], record, 1));
    job.outputs.push_back({dir.File(names[n]), Seg2WrittenValues::Of(record), n == 0});
  }
  job.sourceName = dir.File(names[0]);
  job.record.traces = std::move(record.traces);

  RunContext ctx;
  {
    DetectionWriter writer;
    writer.Submit(std::move(job));
    writer.Finish(ctx);
    EXPECT_EQ(writer.recordsWithoutRows(), 0);
    EXPECT_EQ(writer.times().records, 1);
  }
  EXPECT_FALSE(ctx.losses.Any());
  EXPECT_EQ(FileBytes(dir.File(names[0])), expected[0]);
  EXPECT_EQ(FileBytes(dir.File(names[1])), expected[1]);
  EXPECT_EQ(ReadText(dir.File("ML_detect.ps0")),
            std::string(kResultTableHeader) + "1\tfirst\n1\tsecond\n");
}

// Records are committed in the order handed over, also when they form one
// group; a record that cannot be written is taken back alone and reported,
// as the run would have reported it without a writer.
TEST(DetectionWriterTest, OrderIsKeptAndALostRecordIsReportedOnTheRunsThread) {
  test::ScratchDir dir;
  RunContext ctx;
  std::vector<std::string> heard;
  ctx.onLoss = [&](const std::string& m) { heard.push_back(m); };
  {
    DetectionWriter writer;
    for (int r = 1; r <= 5; ++r) {
      XL_WaveDataSeg2 record;
      FillRecord(record, 2, 300);
      DetectionJob job;
      // Record 3 goes to a folder that does not exist.
      const std::string path =
          r == 3 ? dir.File("missing/000003.sg2") : dir.File(StrPrintf("%06d.sg2", r));
      job.commit.tablePath = dir.File("ML_detect.ps0");
      job.commit.rows = StrPrintf("%d\trow\n", r);
      job.commit.detections = 1;
      job.commit.aeNumber = r;
      job.sourceName = path;
      job.outputs.push_back({path, Seg2WrittenValues::Of(record), true});
      job.record.traces = std::move(record.traces);
      writer.Submit(std::move(job));
    }
    writer.Finish(ctx);
    EXPECT_EQ(writer.recordsWithoutRows(), 1);
  }
  EXPECT_EQ(ReadText(dir.File("ML_detect.ps0")),
            std::string(kResultTableHeader) + "1\trow\n2\trow\n4\trow\n5\trow\n");
  ASSERT_EQ(heard.size(), 1u);
  EXPECT_EQ(heard[0].rfind("1 detection of " + dir.File("missing/000003.sg2") + " not written: ",
                           0),
            0u)
      << heard[0];
  EXPECT_NE(heard[0].find("rerunning the same range detects it again"), std::string::npos);
  EXPECT_EQ(ctx.losses.detections, 1);
  for (const auto& e : fs::directory_iterator(dir.path())) {
    const std::string name = e.path().filename().string();
    EXPECT_EQ(name.find(".qae-"), std::string::npos) << name;
  }
}

}  // namespace
}  // namespace qae
