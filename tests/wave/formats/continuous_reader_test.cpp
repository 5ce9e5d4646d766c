// Windows of continuous recordings in the four layouts: the window tests at
// the end of the data, the samples and times of a window, the path's
// channel values, and files that are shorter than they claim.
#include "wave/formats/continuous_reader.h"

#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "support/seg2_builder.h"
#include "support/test_paths.h"
#include "synth/continuous_recording.h"
#include "util/text.h"
#include "wave/wave_data.h"

namespace qae {
namespace {

namespace fs = std::filesystem;
using Channels = std::vector<std::vector<int32_t>>;

Channels MakeChannels(int n_channels, int n, int32_t (*value)(int, int)) {
  Channels c(static_cast<std::size_t>(n_channels),
             std::vector<int32_t>(static_cast<std::size_t>(n)));
  for (int k = 0; k < n_channels; ++k) {
    for (int i = 0; i < n; ++i)
      c[static_cast<std::size_t>(k)][static_cast<std::size_t>(i)] = value(k, i);
  }
  return c;
}

int32_t Small(int k, int i) { return (i % 20000) - 10000 + 7 * k; }

float At(const XL_WaveData& rec, int trace, int i) {
  return rec.Trace(trace).samples[static_cast<std::size_t>(i)];
}

// A sparse file of `bytes` zero bytes: long recordings without the disk.
void SparseFile(const std::string& path, uintmax_t bytes) {
  std::ofstream(path, std::ios::binary).put('\0');
  fs::resize_file(path, bytes);
}

class ContinuousReaderTest : public ::testing::Test {
 protected:
  std::string Path(const std::string& name) const { return scratch_.File(name); }

  int Read(const std::string& path, int64_t first, int64_t end) {
    return reader_.ReadWindow(path, rec_.header, rec_.traces, first, end);
  }

  test::ScratchDir scratch_;
  ContinuousReader reader_;
  XL_WaveData rec_;
};

TEST_F(ContinuousReaderTest, DefaultLayoutCountsWholeWindowsPerTrace) {
  // 1,000,000 bytes of 5 traces: P = 200,000 bytes, W = 100 windows of 1000.
  const std::string path = Path("rec.lng");
  std::string error;
  ASSERT_TRUE(synth::WriteTraceSequentialRecording(path, MakeChannels(5, 100000, Small), &error));
  ASSERT_EQ(fs::file_size(path), 1000000u);
  ASSERT_TRUE(synth::WriteRecordingCompanion(path, 5, 0.1, 100, 999990, &error)) << error;

  ASSERT_EQ(Read(path, 99000, 100000), 1) << reader_.message();
  ASSERT_EQ(rec_.TraceCount(), 5);
  EXPECT_EQ(rec_.header.traceCount, 5);
  EXPECT_EQ(std::string(TextOf(rec_.header.comments)), "99 / 100 from " + path);
  // 100 s + 999,990 us + 0.1 us * 99,000 = 101 s + 9,890 us.
  EXPECT_EQ(rec_.header.timeSec, 101);
  EXPECT_EQ(rec_.header.timeUsec, 9890);
  EXPECT_EQ(rec_.header.windowStart, 99000);
  EXPECT_EQ(std::string(TextOf(rec_.header.acquisitionDate)), "2024/05/14");
  for (int t = 0; t < 5; ++t) {
    const XL_WaveTrace& trace = rec_.Trace(t);
    EXPECT_EQ(trace.sampleCount, 1000);
    EXPECT_EQ(std::string(TextOf(trace.lineId)), StrPrintf("S%02d:AEZ", t + 1));
    for (int i = 0; i < 1000; ++i)
      ASSERT_EQ(At(rec_, t, i), static_cast<float>(Small(t, 99000 + i)));
  }

  // Later windows refill the same traces: memory does not grow.
  const XL_WaveTrace* trace0 = &rec_.Trace(0);
  const float* samples0 = rec_.Trace(0).samples.data();
  ASSERT_EQ(Read(path, 0, 1000), 1);
  EXPECT_EQ(&rec_.Trace(0), trace0);
  EXPECT_EQ(rec_.Trace(0).samples.data(), samples0);
  EXPECT_EQ(At(rec_, 3, 10), static_cast<float>(Small(3, 10)));
  EXPECT_EQ(std::string(TextOf(rec_.header.comments)), "0 / 100 from " + path);
  EXPECT_EQ(rec_.header.timeSec, 100);
  EXPECT_EQ(rec_.header.timeUsec, 999990);

  EXPECT_EQ(Read(path, 100000, 101000), 0);
  EXPECT_EQ(reader_.status(), ContinuousStatus::kEndOfData);

  // The free function gives the same window with a reader of its own.
  XL_WaveData fresh;
  ASSERT_EQ(ReadContinuousWindow(path, fresh.header, fresh.traces, 99000, 100000), 1);
  EXPECT_EQ(fresh.TraceCount(), 5);
  EXPECT_EQ(fresh.Trace(4).samples[999], static_cast<float>(Small(4, 99999)));
}

TEST_F(ContinuousReaderTest, DefaultLayoutWindowPastATraceEndHoldsZerosNotTheNextTrace) {
  // Windows of 1100 starting every 1000, as the driver asks: the window test
  // (first / n against W) lets the window at 98,950 through, although it
  // reaches 50 samples past the end of each trace.
  const std::string path = Path("rec.lng");
  std::string error;
  ASSERT_TRUE(synth::WriteTraceSequentialRecording(path, MakeChannels(5, 100000, Small), &error));
  ASSERT_TRUE(synth::WriteRecordingCompanion(path, 5, 0.1, 0, 0, &error));
  ASSERT_EQ(Read(path, 98950, 98950 + 1100), 1);
  for (int t = 0; t < 5; ++t) {
    SCOPED_TRACE(t);
    EXPECT_EQ(At(rec_, t, 1049), static_cast<float>(Small(t, 99999)));
    for (int i = 1050; i < 1100; ++i) ASSERT_EQ(At(rec_, t, i), 0.0f);
  }
  EXPECT_EQ(Read(path, 99000, 99000 + 1100), 0);
}

TEST_F(ContinuousReaderTest, DefaultLayoutRefusesBadCompanionsAndWindows) {
  const std::string path = Path("rec.lng");
  std::string error;
  ASSERT_TRUE(synth::WriteTraceSequentialRecording(path, MakeChannels(2, 5000, Small), &error));

  EXPECT_EQ(Read(path, 0, 100), 0);  // no companion yet
  EXPECT_EQ(reader_.status(), ContinuousStatus::kNoCompanion);
  EXPECT_NE(reader_.message().find("rec.sg2"), std::string::npos) << reader_.message();
  EXPECT_FALSE(reader_.CheckRecording(path).empty());

  // A companion without traces cannot say how the bytes divide.
  const std::vector<uint8_t> no_traces = test::BuildSeg2({"NOTE empty"}, {});
  std::ofstream(Path("rec.sg2"), std::ios::binary)
      .write(reinterpret_cast<const char*>(no_traces.data()),
             static_cast<std::streamsize>(no_traces.size()));
  EXPECT_EQ(Read(path, 0, 100), 0);
  EXPECT_EQ(reader_.status(), ContinuousStatus::kNoCompanion);

  ASSERT_TRUE(synth::WriteRecordingCompanion(path, 2, 0.1, 0, 0, &error));
  EXPECT_TRUE(reader_.CheckRecording(path).empty());
  EXPECT_EQ(Read(path, 0, 0), 0);  // an empty window would divide by zero
  EXPECT_EQ(reader_.status(), ContinuousStatus::kBadWindow);
  EXPECT_EQ(Read(path, -100, 0), 0);
  EXPECT_EQ(Read(path, 0, int64_t{1} << 40), 0);
  EXPECT_EQ(reader_.status(), ContinuousStatus::kBadWindow);
  EXPECT_EQ(Read(path, 0, 6000), 0);  // longer than a trace
  EXPECT_EQ(reader_.status(), ContinuousStatus::kEndOfData);
  EXPECT_EQ(rec_.TraceCount(), 0);

  // More companion traces than the recording has bytes: P = 0, no window.
  ASSERT_TRUE(synth::WriteTraceSequentialRecording(Path("tiny.lng"), {{1}}, &error));
  ASSERT_TRUE(synth::WriteRecordingCompanion(Path("tiny.lng"), 4, 0.1, 0, 0, &error));
  EXPECT_EQ(Read(Path("tiny.lng"), 0, 1), 0);
  EXPECT_EQ(reader_.status(), ContinuousStatus::kEndOfData);

  fs::remove(path);
  EXPECT_EQ(Read(path, 0, 100), 0);
  EXPECT_EQ(reader_.status(), ContinuousStatus::kCannotOpen);
}

TEST(ContinuousLayout, PathSelectsLayoutAndValues) {
  ContinuousLayout l = ParseContinuousLayout("/d/saq_bit24chn4seg5000.lng");
  EXPECT_EQ(l.kind, ContinuousLayoutKind::kSaq);
  EXPECT_TRUE(l.problem.empty());
  EXPECT_EQ(l.bits, 24);
  EXPECT_EQ(l.channels, 4);
  EXPECT_EQ(l.segmentLength, 5000);
  EXPECT_EQ(l.bytesPerSample, 4);
  EXPECT_EQ(l.MaxWindow(), 5000);

  l = ParseContinuousLayout("/d/saq_bitXchn.lng");  // keys without numbers keep the defaults
  EXPECT_TRUE(l.problem.empty());
  EXPECT_EQ(l.bits, 16);
  EXPECT_EQ(l.channels, 1);
  EXPECT_EQ(l.segmentLength, 10000);
  EXPECT_EQ(l.bytesPerSample, 2);
  EXPECT_EQ(ParseContinuousLayout("/d/saq_bit16.lng").bytesPerSample, 2);
  EXPECT_EQ(ParseContinuousLayout("/d/saq_bit17.lng").bytesPerSample, 4);

  EXPECT_EQ(ParseContinuousLayout("/d/saq_tdms.lng").kind, ContinuousLayoutKind::kSaqTdms);
  EXPECT_EQ(ParseContinuousLayout("/d/tdms_saq.lng").kind, ContinuousLayoutKind::kSaqTdms);
  EXPECT_EQ(ParseContinuousLayout("/d/company/x.lng").kind, ContinuousLayoutKind::kAny);
  EXPECT_EQ(ParseContinuousLayout("/d/any_A.lng").MaxWindow(), 6000);
  EXPECT_EQ(ParseContinuousLayout("/d/x.tdms.lng").kind, ContinuousLayoutKind::kDefault);
  EXPECT_EQ(ParseContinuousLayout("/d/SAQ.lng").kind, ContinuousLayoutKind::kDefault);

  // Values no recording can have, and channel counts a tdms frame cannot hold.
  for (const char* bad :
       {"saq_chn0", "saq_chn-2", "saq_chn99999", "saq_bit0", "saq_bit33", "saq_seg0",
        "saq_seg99999999999", "saq_chn1000seg1000000", "saq_tdms_chn33", "saq_tdms_bit32chn29"}) {
    EXPECT_FALSE(ParseContinuousLayout(std::string("/d/") + bad + ".lng").problem.empty()) << bad;
  }
  EXPECT_TRUE(ParseContinuousLayout("/d/saq_tdms_chn32.lng").problem.empty());
  EXPECT_TRUE(ParseContinuousLayout("/d/saq_tdms_bit32chn28.lng").problem.empty());
}

TEST_F(ContinuousReaderTest, SaqWindowsOfWideSamplesAndTheirTimes) {
  const std::string path = Path("saq_bit24chn4seg5000.lng");
  // 24-bit values, negative ones included, in 4-byte samples.
  auto value = [](int k, int i) { return (i * 977 + k * 131071) % 16777216 - 8388608; };
  const Channels c = MakeChannels(4, 15000, +value);
  std::string error;
  ASSERT_TRUE(synth::WriteSaqRecording(path, c, 4, 5000, &error));

  // end - first = 0: a whole segment.
  ASSERT_EQ(Read(path, 5000, 5000), 1) << reader_.message();
  ASSERT_EQ(rec_.TraceCount(), 4);
  EXPECT_EQ(std::string(TextOf(rec_.header.units)), "NONE");
  EXPECT_EQ(std::string(TextOf(rec_.header.waveUnits)), " ");
  EXPECT_EQ(std::string(TextOf(rec_.header.timeUnits)), "Time(sec)");
  for (int k = 0; k < 4; ++k) {
    const XL_WaveTrace& t = rec_.Trace(k);
    EXPECT_EQ(t.sampleCount, 5000);
    EXPECT_GE(t.AllocatedSlots(), 5000);
    EXPECT_EQ(t.channelNumber, k);
    EXPECT_EQ(t.receiverLocation[2], k + 1);
    EXPECT_EQ(t.stack, 1);
    EXPECT_EQ(t.dataFormat, 1);
    EXPECT_EQ(t.samplingInterval, 1e-6);
    EXPECT_DOUBLE_EQ(t.descalingFactor, 1000.0 / 16777216.0);
    for (int i = 0; i < 5000; ++i)
      ASSERT_EQ(At(rec_, k, i), static_cast<float>(value(k, 5000 + i)));
  }
  EXPECT_EQ(rec_.header.windowStart, 5000);

  // Window ends must lie before the end of the data (S = 15000).
  rec_.Clear();
  EXPECT_EQ(Read(path, 9999, 14999), 1);
  rec_.Clear();
  EXPECT_EQ(Read(path, 10000, 15000), 0);
  EXPECT_EQ(reader_.status(), ContinuousStatus::kEndOfData);
  // A window longer than a segment is refused, not read past the traces.
  EXPECT_EQ(Read(path, 0, 5001), 0);
  EXPECT_EQ(reader_.status(), ContinuousStatus::kBadWindow);
  EXPECT_NE(reader_.message().find("5000"), std::string::npos);

  // One sample per microsecond from the start of the file.
  const std::string long_path = Path("saq_seg5000.lng");
  SparseFile(long_path, 2 * 2510000);
  rec_.Clear();
  ASSERT_EQ(Read(long_path, 2500000, 2500000), 1);
  EXPECT_EQ(rec_.header.timeSec, 2);
  EXPECT_EQ(rec_.header.timeUsec, 500000);
  EXPECT_EQ(rec_.header.windowStart, 2500000);
  EXPECT_EQ(rec_.Trace(0).sampleCount, 5000);
}

TEST_F(ContinuousReaderTest, SaqWindowOffSegmentBoundariesKeepsChannelsApart) {
  // Channel k holds 1000 * k + i: any sample of another channel shows.
  const std::string path = Path("saq_chn3seg1000.lng");
  const Channels c = MakeChannels(3, 5000, [](int k, int i) { return 1000 * k + i % 1000; });
  std::string error;
  ASSERT_TRUE(synth::WriteSaqRecording(path, c, 2, 1000, &error));
  ASSERT_EQ(Read(path, 2600, 3500), 1);
  for (int k = 0; k < 3; ++k) {
    for (int i = 0; i < 1000; ++i) {
      ASSERT_EQ(
          At(rec_, k, i),
          static_cast<float>(c[static_cast<std::size_t>(k)][static_cast<std::size_t>(2600 + i)]))
          << k << " " << i;
    }
  }
}

TEST_F(ContinuousReaderTest, TruncatedSaqFilesLeaveZerosWhereDataIsMissing) {
  // Two whole segments of 2 channels x 100, then 75 samples of channel 0.
  const std::string path = Path("saq_chn2seg100.lng");
  const Channels c = MakeChannels(2, 300, [](int k, int i) { return 1 + i + 1000 * k; });
  std::string error;
  ASSERT_TRUE(synth::WriteSaqRecording(path, c, 2, 100, &error));
  fs::resize_file(path, 800 + 150);  // S = 950 / 2 / 2 = 237
  ASSERT_EQ(Read(path, 200, 230), 1);
  for (int i = 0; i < 75; ++i) EXPECT_EQ(At(rec_, 0, i), static_cast<float>(201 + i));
  for (int i = 75; i < 100; ++i) EXPECT_EQ(At(rec_, 0, i), 0.0f);
  for (int i = 0; i < 100; ++i) EXPECT_EQ(At(rec_, 1, i), 0.0f);
  rec_.Clear();
  EXPECT_EQ(Read(path, 207, 237), 0);

  // Without Clear the layout appends; a record never emptied is refused
  // before its trace count overflows.
  const std::string wide = Path("saq_chn1000seg10.lng");
  SparseFile(wide, 2 * 1000 * 100);
  int reads = 0;
  while (Read(wide, 0, 5) == 1 && reads < 100) ++reads;
  EXPECT_EQ(reads, 32);
  EXPECT_EQ(reader_.status(), ContinuousStatus::kBadWindow);
  EXPECT_EQ(rec_.TraceCount(), 32000);
}

TEST_F(ContinuousReaderTest, TdmsFramesAfterTheLeadIn) {
  const std::string path = Path("saq_tdms_bit16chn3seg400.lng");
  const Channels c = MakeChannels(3, 1000, [](int k, int i) { return i - 500 + 3000 * k; });
  std::string error;
  ASSERT_TRUE(synth::WriteSaqTdmsRecording(path, c, 2, 100, &error));
  ASSERT_EQ(Read(path, 100, 500), 1) << reader_.message();
  ASSERT_EQ(rec_.TraceCount(), 3);
  for (int k = 0; k < 3; ++k) {
    EXPECT_EQ(rec_.Trace(k).sampleCount, 400);
    for (int i = 0; i < 400; ++i)
      ASSERT_EQ(
          At(rec_, k, i),
          static_cast<float>(c[static_cast<std::size_t>(k)][static_cast<std::size_t>(100 + i)]));
  }
  rec_.Clear();
  EXPECT_EQ(Read(path, 600, 1000), 0);  // S = 1000
  // A short window near the end: the rest of the segment's frames are not
  // in the file and read as zeros.
  ASSERT_EQ(Read(path, 900, 950), 1);
  EXPECT_EQ(rec_.Trace(2).sampleCount, 50);
  EXPECT_EQ(At(rec_, 2, 99), static_cast<float>(c[2][999]));
  for (int i = 100; i < 400; ++i) ASSERT_EQ(At(rec_, 2, i), 0.0f);

  // A raw-data offset beyond the file leaves no data; a file shorter than
  // the lead-in has none either.
  const std::string bad = Path("saq_tdms_chn3.lng");
  ASSERT_TRUE(synth::WriteSaqTdmsRecording(bad, c, 2, 100, &error));
  {
    std::fstream f(bad, std::ios::in | std::ios::out | std::ios::binary);
    f.seekp(20);
    const char huge[8] = {'\xff', '\xff', '\xff', '\xff', '\xff', '\xff', '\xff', '\x7f'};
    f.write(huge, 8);
  }
  rec_.Clear();
  EXPECT_EQ(Read(bad, 0, 10), 0);
  EXPECT_EQ(reader_.status(), ContinuousStatus::kEndOfData);
  fs::resize_file(bad, 20);
  EXPECT_EQ(Read(bad, 0, 10), 0);

  // More channels than a frame holds: refused, not overflowed.
  const std::string many = Path("saq_tdms_chn40.lng");
  SparseFile(many, 100000);
  EXPECT_EQ(Read(many, 0, 10), 0);
  EXPECT_EQ(reader_.status(), ContinuousStatus::kUnusableLayout);
  EXPECT_FALSE(reader_.CheckRecording(many).empty());
}

// 16 channels of "any" frames: channel c holds 100 * c + small wobble, with
// bursts of `burst` on the channels `burst_channels` of frames 8000..8999.
Channels AnyChannels(int frames, const std::vector<int>& burst_channels, int32_t burst) {
  Channels c(16, std::vector<int32_t>(static_cast<std::size_t>(frames)));
  for (int ch = 0; ch < 16; ++ch) {
    for (int f = 0; f < frames; ++f) {
      c[static_cast<std::size_t>(ch)][static_cast<std::size_t>(f)] = (f % 7) - 3 - 100 * ch;
    }
  }
  for (int ch : burst_channels) {
    for (int f = 8000; f < 9000; ++f)
      c[static_cast<std::size_t>(ch)][static_cast<std::size_t>(f)] = burst;
  }
  return c;
}

TEST_F(ContinuousReaderTest, AnyPairsItsFilesAndSkipsQuietWindows) {
  const std::string a = Path("any_A.lng");
  const std::string b = Path("any_B.lng");
  std::string error;
  // In file A, four selected channels burst: the window whose samples
  // 2000..2999 hold frames 8000..8999 (first = 6000) is the first active one.
  ASSERT_TRUE(synth::WriteAnyRecording(a, AnyChannels(20000, {0, 1, 4, 5}, 51), &error));
  ASSERT_TRUE(synth::WriteAnyRecording(b, AnyChannels(20000, {}, 0), &error));
  ASSERT_EQ(Read(a, 0, 0), 1) << reader_.message();
  EXPECT_EQ(rec_.header.windowStart, 6000);
  EXPECT_EQ(rec_.header.timeSec, 0);
  EXPECT_EQ(rec_.header.timeUsec, 2000);  // three frames per microsecond
  ASSERT_EQ(rec_.TraceCount(), 16);
  const int selected[8] = {0, 1, 4, 5, 8, 9, 12, 13};
  for (int k = 0; k < 16; ++k) {
    const XL_WaveTrace& t = rec_.Trace(k);
    EXPECT_EQ(t.sampleCount, 6000);
    EXPECT_DOUBLE_EQ(t.samplingInterval, 1.0 / 3.0);
    EXPECT_EQ(t.descalingFactor, 0.00152587890625);
    EXPECT_EQ(t.channelNumber, k);
    // Traces 8.. come from file B, which has no burst.
    const int ch = selected[k % 8];
    EXPECT_EQ(At(rec_, k, 0), static_cast<float>((6000 % 7) - 3 - 100 * ch)) << k;
    EXPECT_EQ(At(rec_, k, 2500), k < 4 ? 51.0f : static_cast<float>((8500 % 7) - 3 - 100 * ch))
        << k;
  }

  // At the threshold (50) nothing is active: the search runs on to the last
  // window that fits (12000 + 6000 < 20000), whose traces stay.
  ASSERT_TRUE(synth::WriteAnyRecording(a, AnyChannels(20000, {0, 1, 4, 5}, 50), &error));
  rec_.Clear();
  ASSERT_EQ(Read(a, 0, 0), 1);
  EXPECT_EQ(rec_.header.windowStart, 12000);
  EXPECT_EQ(rec_.TraceCount(), 16);
  // Three active traces are not enough either.
  ASSERT_TRUE(synth::WriteAnyRecording(a, AnyChannels(20000, {0, 1, 4}, 900), &error));
  rec_.Clear();
  ASSERT_EQ(Read(a, 0, 0), 1);
  EXPECT_EQ(rec_.header.windowStart, 12000);

  rec_.Clear();
  EXPECT_EQ(Read(a, 14000, 20000), 0);
  EXPECT_EQ(reader_.status(), ContinuousStatus::kEndOfData);
  EXPECT_EQ(Read(a, 0, 6001), 0);
  EXPECT_EQ(reader_.status(), ContinuousStatus::kBadWindow);

  // A path without "_A" reads its own eight channels.
  const std::string single = Path("any_single.lng");
  fs::copy_file(a, single);
  rec_.Clear();
  ASSERT_EQ(Read(single, 0, 0), 1);
  EXPECT_EQ(rec_.TraceCount(), 8);

  fs::remove(b);
  rec_.Clear();
  EXPECT_EQ(Read(a, 0, 0), 0);
  EXPECT_EQ(reader_.status(), ContinuousStatus::kCannotOpen);
  EXPECT_NE(reader_.CheckRecording(a).find("any_B.lng"), std::string::npos);
}

TEST_F(ContinuousReaderTest, AnyWindowTimeCountsThreeFramesPerMicrosecond) {
  // The window at 3,000,300 is the last that fits: it is kept whatever its
  // activity.
  const std::string path = Path("any.lng");
  SparseFile(path, uintmax_t{32} * (3000300 + 6000 + 1));
  ASSERT_EQ(Read(path, 3000300, 3000300), 1);
  EXPECT_EQ(rec_.header.windowStart, 3000300);
  EXPECT_EQ(rec_.header.timeSec, 1);
  EXPECT_EQ(rec_.header.timeUsec, 100);
  EXPECT_EQ(At(rec_, 0, 0), -32768.0f);  // a zero byte pair is the most negative value
}

}  // namespace
}  // namespace qae
