#include "wave/formats/seg2_writer.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "support/processes.h"
#include "support/test_paths.h"
#include "util/byte_order.h"
#include "util/file_io.h"
#include "util/text.h"
#include "wave/formats/seg2_reader.h"

namespace qae {
namespace {

using test::ScratchDir;

// Two traces of 300 samples with distinct header values.
void FillRecord(XL_WaveData& rec) {
  for (int k = 0; k < 2; ++k) {
    auto t = std::make_unique<XL_WaveTrace>(300);
    for (int i = 0; i < 300; ++i) t->samples[static_cast<std::size_t>(i)] = static_cast<float>(k * 1000 + i) * 0.5f;
    t->samplingInterval = 0.1;
    t->receiverLocation[0] = 10.25 + k;
    t->receiverLocation[1] = -3.5;
    t->receiverLocation[2] = 99.0;
    t->timeBegin = 2454601.024268391;
    t->delay = 1.5;
    t->pickup[0] = 150;
    t->pickup[1] = 40;
    SetText(t->lineId, k == 0 ? "ST01:HHZ" : "ST02:HHZ");
    SetText(t->note, "loc_ind=03");
    rec.AddTrace(std::move(t));
  }
  SetText(rec.header.comments, "x=1 y=2 z=3 Mw=-1.5 M=8");
  rec.header.timeSec = 1210768496;
  rec.header.timeUsec = 789000;
}

TEST(Seg2Writer, RoundTripFloat32KeepsValuesAndRenumbersChannels) {
  ScratchDir dir;
  XL_WaveDataSeg2 rec;
  FillRecord(rec);
  ASSERT_EQ(WriteSeg2(dir.File("copy.sg2"), rec, 0, 0, 4), 1);
  XL_WaveDataSeg2 back;
  ASSERT_EQ(back.Load(dir.File("copy.sg2"), 1, 0, 0), 1);
  ASSERT_EQ(back.TraceCount(), 2);
  for (int k = 0; k < 2; ++k) {
    const XL_WaveTrace& a = rec.Trace(k);
    const XL_WaveTrace& b = back.Trace(k);
    EXPECT_EQ(b.channelNumber, k);  // the writer's 0-based numbers replace the reader's
    EXPECT_EQ(b.sampleCount, 300);
    EXPECT_TRUE(std::equal(a.samples.begin(), a.samples.begin() + 300, b.samples.begin()));
    EXPECT_DOUBLE_EQ(b.samplingInterval, 0.1);
    EXPECT_EQ(b.receiverLocation[0], a.receiverLocation[0]);
    EXPECT_EQ(b.receiverLocation[1], -3.5);
    EXPECT_EQ(TextOf(b.lineId), TextOf(a.lineId));
    EXPECT_EQ(TextOf(b.note), "loc_ind=03");
    EXPECT_NEAR(b.timeBegin, a.timeBegin, 5e-7);
    EXPECT_EQ(b.pickup[0], 150);
    EXPECT_EQ(b.dataFormat, 4);
  }
  EXPECT_EQ(TextOf(back.header.comments), "x=1 y=2 z=3 Mw=-1.5 M=8");
  EXPECT_EQ(back.header.timeSec, 1210768496);
  EXPECT_EQ(back.header.timeUsec, 789000);
  // TIME_BEGIN is written with six decimals of a day, so the start moves to
  // the nearest 86.4 ms step.
  EXPECT_EQ(TextOf(back.header.note), "Start: 2008/05/14 12:34:56.755(UTC)");
}

TEST(Seg2Writer, IntegerFormatsTruncateAndWrap) {
  ScratchDir dir;
  XL_WaveDataSeg2 rec;
  auto t = std::make_unique<XL_WaveTrace>(6);
  const float values[6] = {40000.0f, -1.7f, 1.9f, 3e9f, -32768.0f, 123456.0f};
  std::copy(values, values + 6, t->samples.begin());
  rec.AddTrace(std::move(t));

  ASSERT_EQ(WriteSeg2(dir.File("i16.sg2"), rec, 0, 0, 1), 1);
  XL_WaveDataSeg2 b1;
  ASSERT_EQ(b1.Load(dir.File("i16.sg2"), 1, 0, 0), 1);
  EXPECT_EQ(b1.Trace(0).dataFormat, 1);
  EXPECT_EQ(b1.Trace(0).samples[0], -25536.0f);  // low 16 bits of 40000
  EXPECT_EQ(b1.Trace(0).samples[1], -1.0f);
  EXPECT_EQ(b1.Trace(0).samples[2], 1.0f);
  EXPECT_EQ(b1.Trace(0).samples[4], -32768.0f);

  ASSERT_EQ(WriteSeg2(dir.File("i32.sg2"), rec, 0, 0, 2), 1);
  XL_WaveDataSeg2 b2;
  ASSERT_EQ(b2.Load(dir.File("i32.sg2"), 1, 0, 0), 1);
  EXPECT_EQ(b2.Trace(0).samples[0], 40000.0f);
  EXPECT_EQ(b2.Trace(0).samples[1], -1.0f);
  EXPECT_EQ(b2.Trace(0).samples[3], 2147483647.0f);  // saturated, not wrapped to a negative
  EXPECT_EQ(b2.Trace(0).samples[5], 123456.0f);
}

TEST(Seg2Writer, WindowShiftsDelayAndPicks) {
  ScratchDir dir;
  XL_WaveDataSeg2 rec;
  FillRecord(rec);
  ASSERT_EQ(WriteSeg2(dir.File("win.sg2"), rec, 100, 50, 4), 1);
  XL_WaveDataSeg2 back;
  ASSERT_EQ(back.Load(dir.File("win.sg2"), 1, 0, 0), 1);
  const XL_WaveTrace& b = back.Trace(0);
  EXPECT_EQ(b.sampleCount, 50);
  EXPECT_EQ(b.samples[0], rec.Trace(0).samples[100]);
  EXPECT_NEAR(b.delay, 1.5 + 100 * 0.1, 1e-6);
  EXPECT_EQ(b.pickup[0], 50);
  EXPECT_EQ(b.pickup[1], 0);  // 40 - 100 is floored at 0
}

TEST(Seg2Writer, ShortKeywordSetUnlessNameEndsInSg2) {
  ScratchDir dir;
  XL_WaveDataSeg2 rec;
  FillRecord(rec);
  ASSERT_EQ(WriteSeg2(dir.File("plain.dat"), rec, 0, 0, 4), 1);
  ASSERT_EQ(WriteSeg2(dir.File("upper.SG2"), rec, 0, 0, 4), 1);
  XL_WaveDataSeg2 plain;
  XL_WaveDataSeg2 upper;
  ASSERT_EQ(plain.Load(dir.File("plain.dat"), 1, 0, 0), 1);
  ASSERT_EQ(upper.Load(dir.File("upper.SG2"), 1, 0, 0), 1);
  EXPECT_EQ(TextOf(plain.header.comments), "");
  EXPECT_EQ(plain.Trace(0).pickup[0], 0);
  EXPECT_EQ(plain.Trace(0).timeBegin, 0.0);
  EXPECT_EQ(TextOf(upper.header.comments), "x=1 y=2 z=3 Mw=-1.5 M=8");
}

TEST(Seg2Writer, FileLayoutBytes) {
  XL_WaveDataSeg2 rec;
  FillRecord(rec);
  const auto bytes = EncodeSeg2(rec, 0, 0, 1, true);
  EXPECT_EQ(DecodeLE16(bytes.data()), 0x3A55);
  EXPECT_EQ(DecodeLE16(bytes.data() + 2), 1);
  EXPECT_EQ(DecodeLE16(bytes.data() + 4), 8);   // M = 4 x traces
  EXPECT_EQ(DecodeLE16(bytes.data() + 6), 2);   // N
  EXPECT_EQ(bytes[8], 1);
  EXPECT_EQ(bytes[11], 1);
  EXPECT_EQ(bytes[12], 10);
  EXPECT_EQ(DecodeLE16(bytes.data() + 22), 1210768496 & 0xFFFF);
  EXPECT_EQ(DecodeLE32(bytes.data() + 24), 789000u);
  // First file string: length = text + 3, then the text and one NUL.
  const std::string first = "ACQUISITION_DATE ";
  EXPECT_EQ(DecodeLE16(bytes.data() + 40), first.size() + 3);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(bytes.data() + 42), first.size()), first);
  // Trace descriptor: B reaches the data, which hold n x 2 bytes.
  const uint32_t ptr = DecodeLE32(bytes.data() + 32);
  EXPECT_EQ(DecodeLE16(bytes.data() + ptr), 0x4422);
  const uint16_t block = DecodeLE16(bytes.data() + ptr + 2);
  EXPECT_EQ(DecodeLE32(bytes.data() + ptr + 4), 600u);
  EXPECT_EQ(DecodeLE32(bytes.data() + ptr + 8), 300u);
  EXPECT_EQ(bytes[ptr + 12], 1);
  EXPECT_EQ(DecodeLE16(bytes.data() + ptr + block - 2), 0);  // the list's closing 0
  EXPECT_EQ(DecodeLE32(bytes.data() + 36), ptr + block + 600);
  const std::string channel = "CHANNEL_NUMBER 0";
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(bytes.data() + ptr + 34), channel.size()),
            channel);
}

// A string of 256 bytes or more would end the reader's list and lose every
// keyword after it; the writer cuts it instead.
TEST(Seg2Writer, LongValueDoesNotHideLaterKeywords) {
  ScratchDir dir;
  XL_WaveDataSeg2 rec;
  FillRecord(rec);
  SetText(rec.header.comments, std::string(300, 'c'));
  SetText(rec.Trace(0).note, std::string(300, 'n'));
  ASSERT_EQ(WriteSeg2(dir.File("long.sg2"), rec, 0, 0, 4), 1);
  XL_WaveDataSeg2 back;
  ASSERT_EQ(back.Load(dir.File("long.sg2"), 1, 0, 0), 1);
  EXPECT_EQ(back.header.timeSec, 1210768496);
  EXPECT_NEAR(back.Trace(0).timeBegin, 2454601.024268, 1e-6);
  EXPECT_GT(TextOf(back.Trace(0).note).size(), 200u);
}

TEST(Seg2Writer, FailedWriteLeavesExistingFileUntouched) {
  ScratchDir dir;
  const std::string path = dir.File("event.sg2");
  XL_WaveDataSeg2 rec;
  FillRecord(rec);
  ASSERT_EQ(WriteSeg2(path, rec, 0, 0, 4), 1);
  std::vector<uint8_t> before;
  ASSERT_TRUE(ReadWholeFile(path, &before, nullptr));

  // Make the next write fail part-way: limit the size of files this
  // process may write.
  std::string error;
  int result = -1;
  if (!test::WithFileSizeLimit(512, [&] { result = WriteSeg2(path, rec, 0, 0, 2, &error); })) {
    GTEST_SKIP() << "needs a file-size limit (RLIMIT_FSIZE); Windows has no counterpart";
  }

  EXPECT_EQ(result, 0);
  EXPECT_FALSE(error.empty());
  std::vector<uint8_t> after;
  ASSERT_TRUE(ReadWholeFile(path, &after, nullptr));
  EXPECT_EQ(before, after);
  int entries = 0;
  for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator(dir.path())) ++entries;
  EXPECT_EQ(entries, 1) << "temporary file left behind";

  EXPECT_EQ(WriteSeg2(dir.File("missing/dir/x.sg2"), rec, 0, 0, 4), 0);
}

TEST(Seg2Writer, SamplesBeyondTheTraceWriteAsZero) {
  XL_WaveDataSeg2 rec;
  auto t = std::make_unique<XL_WaveTrace>(4);
  t->samples[3] = 5.0f;
  rec.AddTrace(std::move(t));
  ScratchDir dir;
  ASSERT_EQ(WriteSeg2(dir.File("w.sg2"), rec, 2, 6, 4), 1);
  XL_WaveDataSeg2 back;
  ASSERT_EQ(back.Load(dir.File("w.sg2"), 1, 0, 0), 1);
  EXPECT_EQ(std::vector<float>(back.Trace(0).samples.begin(), back.Trace(0).samples.begin() + 6),
            (std::vector<float>{0, 5, 0, 0, 0, 0}));
}

}  // namespace
}  // namespace qae
