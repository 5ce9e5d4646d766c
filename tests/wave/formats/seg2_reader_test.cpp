#include "wave/formats/seg2_reader.h"

#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <random>
#include <sstream>

#include "support/seg2_builder.h"
#include "support/test_paths.h"
#include "util/file_io.h"
#include "util/text.h"

namespace qae {
namespace {

using test::BuildSeg2;
using test::DataFile;
using test::FloatData;
using test::Seg2TraceSpec;

std::vector<float> Samples(const XL_WaveTrace& t) {
  return std::vector<float>(t.samples.begin(), t.samples.begin() + t.sampleCount);
}

XL_WaveDataSeg2 LoadOk(const std::string& path, int64_t first = 0, int64_t last = 0) {
  XL_WaveDataSeg2 rec;
  EXPECT_EQ(rec.Load(path, 1, first, last), 1) << rec.LastLoadMessage();
  return rec;
}

int ParseBytes(const std::vector<uint8_t>& bytes, XL_WaveData& rec, int64_t first = 0,
               int64_t last = 0) {
  return ParseSeg2(bytes.data(), bytes.size(), rec, first, last).loaded;
}

TEST(Seg2Reader, DecodesIntegerAndFloatFormats) {
  auto r1 = LoadOk(DataFile("seg2/synth_fmt1_int16.sg2"));
  ASSERT_EQ(r1.TraceCount(), 2);
  EXPECT_EQ(Samples(r1.Trace(0)),
            (std::vector<float>{-32768, 32767, 0, -1, 1, 12345, -12345, 7}));
  EXPECT_EQ(Samples(r1.Trace(1)),
            (std::vector<float>{-8000, -7000, -6000, -5000, -4000, -3000, -2000, -1000, 0, 1000,
                                2000, 3000, 4000, 5000, 6000, 7000}));
  EXPECT_EQ(r1.Trace(0).dataFormat, 1);

  auto r2 = LoadOk(DataFile("seg2/synth_fmt2_int32.sg2"));
  EXPECT_EQ(Samples(r2.Trace(0)), (std::vector<float>{-2147483648.0f, 2147483648.0f, 16777216.0f,
                                                      -16777220.0f, 0, -1, 40000, 7}));

  auto r4 = LoadOk(DataFile("seg2/synth_fmt4_float32.sg2"));
  const auto s4 = Samples(r4.Trace(0));
  ASSERT_EQ(s4.size(), 8u);
  EXPECT_EQ(s4[0], 1.5f);
  EXPECT_TRUE(std::signbit(s4[1]) && s4[1] == 0.0f);
  EXPECT_EQ(s4[2], 1e-30f);
  EXPECT_EQ(s4[3], -3.4e38f);
  EXPECT_EQ(s4[5], std::numeric_limits<float>::denorm_min());
  EXPECT_EQ(s4[7], -7.25f);

  auto r5 = LoadOk(DataFile("seg2/synth_fmt5_float64.sg2"));
  const auto s5 = Samples(r5.Trace(0));
  ASSERT_EQ(s5.size(), 8u);
  EXPECT_EQ(s5[0], 0.1f);
  EXPECT_EQ(s5[1], static_cast<float>(1.0 / 3.0));
  EXPECT_EQ(s5[4], 123456792.0f);
  EXPECT_TRUE(std::signbit(s5[5]) && s5[5] == 0.0f);
  EXPECT_EQ(s5[6], 16777216.0f);
  EXPECT_EQ(s5[7], std::numeric_limits<float>::denorm_min());
}

// Negative 20-bit mantissas are one's complement: m < 0 stands for m + 1.
TEST(Seg2Reader, Format3NegativeMantissaIsOnesComplement) {
  auto r = LoadOk(DataFile("seg2/synth_fmt3_20bit.sg2"));
  EXPECT_EQ(Samples(r.Trace(0)), (std::vector<float>{2, 0, 3, 0, 32768, -32767, 0, 524272,
                                                     -32766, 800, -32767, 0}));
  auto e = LoadOk(DataFile("seg2/synth_fmt3_edge.sg2"));
  ASSERT_EQ(e.TraceCount(), 2);
  EXPECT_EQ(Samples(e.Trace(0)),
            (std::vector<float>{-79996, -32768, -65534, -47984, 5, -4, 72, -64}));
}

// n = 6 is not a multiple of 4: the last group still has all its 10 bytes
// and its two valid samples must be read, not left undefined.
TEST(Seg2Reader, Format3ReadsWholeLastGroup) {
  auto e = LoadOk(DataFile("seg2/synth_fmt3_edge.sg2"));
  EXPECT_EQ(Samples(e.Trace(1)), (std::vector<float>{1, 2, 3, 4, 10, -10}));
}

// Reads a whitespace-separated column file.
std::vector<std::vector<double>> ReadColumns(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::vector<std::vector<double>> rows;
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream ls(line);
    std::vector<double> row;
    double v;
    while (ls >> v) row.push_back(v);
    if (!row.empty()) rows.push_back(row);
  }
  return rows;
}

// The vendor exports are printed to 8 significant digits.
void ExpectMatchesExport(const XL_WaveData& rec, const std::string& export_path, double scale) {
  const auto rows = ReadColumns(export_path);
  ASSERT_FALSE(rows.empty());
  for (int tr = 0; tr < rec.TraceCount(); ++tr) {
    const XL_WaveTrace& t = rec.Trace(tr);
    ASSERT_EQ(static_cast<std::size_t>(t.sampleCount), rows.size());
    for (std::size_t i = 0; i < rows.size(); ++i) {
      const double expected = rows[i][static_cast<std::size_t>(tr)];
      const double got = t.samples[i] * t.descalingFactor * scale;
      ASSERT_NEAR(got, expected, 1e-6 * std::max(1.0, std::fabs(expected)))
          << "trace " << tr << " sample " << i;
    }
  }
}

TEST(Seg2Reader, RealFilesMatchVendorExports) {
  auto c = LoadOk(DataFile("seg2/20130107_103041000.CET.3c.cont.0.seg2"));
  ASSERT_EQ(c.TraceCount(), 3);
  EXPECT_EQ(c.Trace(0).dataFormat, 2);
  ExpectMatchesExport(c, DataFile("seg2/20130107_103041000.CET.3c.cont.0.DAT"), 1000.0);

  auto t = LoadOk(DataFile("seg2/20180307_031245000.0.seg2"));
  ASSERT_EQ(t.TraceCount(), 1);
  EXPECT_EQ(t.Trace(0).dataFormat, 3);
  ExpectMatchesExport(t, DataFile("seg2/20180307_031245000.0.DAT"), 1.0);
}

TEST(Seg2Reader, ThirdPartyFilesOfTheSharedCorpusLoad) {
  const std::string a = test::SharedFile("seg2/refrapy_1000.DAT");
  const std::string b = test::SharedFile("seg2/swprocess_wghs_6.dat");
  if (a.empty() || b.empty()) GTEST_SKIP() << "shared test corpus not present";
  auto ra = LoadOk(a);
  EXPECT_EQ(ra.TraceCount(), 24);
  EXPECT_EQ(ra.Trace(23).sampleCount, 2048);
  auto rb = LoadOk(b);
  EXPECT_EQ(rb.TraceCount(), 24);
  EXPECT_EQ(rb.Trace(0).sampleCount, 1500);
  EXPECT_EQ(rb.Trace(0).dataFormat, 4);
}

TEST(Seg2Reader, KeywordTablesFillHeaderAndTraces) {
  auto r = LoadOk(DataFile("seg2/synth_keywords.sg2"));
  const WaveHeader& h = r.header;
  EXPECT_EQ(TextOf(h.units), "m/s");  // "UNITSX m/s" matches UNITS by prefix
  EXPECT_EQ(TextOf(h.comments), "x=100.5 y=-20 z=3.25 Mw=-2.1 M=6");
  EXPECT_EQ(h.timeSec, 1210768496);
  EXPECT_EQ(h.timeUsec, 789000);
  EXPECT_EQ(h.rotation[0], 90);
  EXPECT_EQ(h.rotation[1], -45);
  EXPECT_EQ(TextOf(h.note), "Start: 2008/05/14 12:34:56.789(UTC)");
  ASSERT_EQ(r.TraceCount(), 3);
  ASSERT_EQ(h.traceCount, 3);

  const XL_WaveTrace& t0 = r.Trace(0);
  EXPECT_EQ(t0.channelNumber, 7);
  EXPECT_EQ(t0.receiverLocation[0], 10.5);
  EXPECT_EQ(t0.receiverLocation[1], 0.0);
  EXPECT_EQ(t0.ampPickupSign, 0);  // AMPPICKUP 0 leaves the sign alone
  EXPECT_DOUBLE_EQ(t0.timeBegin, 2454601.024268391);

  const XL_WaveTrace& t1 = r.Trace(1);
  EXPECT_EQ(t1.channelNumber, 2);  // no CHANNEL_NUMBER: its position
  EXPECT_EQ(TextOf(t1.lineId), "");
  EXPECT_EQ(t1.samplingInterval, 1.0);  // 0 is not a usable interval
  EXPECT_EQ(t1.ampPickupSign, -1);
  EXPECT_EQ(t1.pickup[0], 9);
  EXPECT_EQ(t1.pickup[1], 0);

  const XL_WaveTrace& t2 = r.Trace(2);
  EXPECT_EQ(t2.channelNumber, 9);  // keywords match in any case
  EXPECT_EQ(t2.receiverLocation[2], 3.0);
  EXPECT_EQ(t2.ampPickupSign, 0);  // 2e-11 does not exceed the 1e-10 threshold
}

TEST(Seg2Reader, LongFileStringEndsTheList) {
  auto r = LoadOk(DataFile("seg2/synth_longstring.sg2"));
  EXPECT_EQ(TextOf(r.header.units), "NONE");  // the reset value: UNITS was not read
}

TEST(Seg2Reader, BigEndianFileIsRefused) {
  XL_WaveDataSeg2 r;
  EXPECT_EQ(r.Load(DataFile("seg2/synth_bigendian.sg2"), 1, 0, 0), 0);
  EXPECT_NE(r.LastLoadMessage().find("big-endian"), std::string::npos);
  EXPECT_EQ(r.Load(DataFile("seg2/does_not_exist.sg2"), 1, 0, 0), 0);
}

TEST(Seg2Reader, TraceRangeKeepsFileNumbering) {
  const auto bytes = BuildSeg2({}, {{{"SAMPLE_INTERVAL 1"}, 4, 2, FloatData({1, 2})},
                                    {{"SAMPLE_INTERVAL 1"}, 4, 2, FloatData({3, 4})},
                                    {{"SAMPLE_INTERVAL 1"}, 4, 2, FloatData({5, 6})}});
  XL_WaveDataSeg2 r;
  ASSERT_EQ(ParseBytes(bytes, r, 2, 2), 1);
  ASSERT_EQ(r.TraceCount(), 1);
  EXPECT_EQ(r.Trace(0).channelNumber, 2);
  EXPECT_EQ(r.Trace(0).samples[0], 3.0f);
}

TEST(Seg2Reader, AppendKeepsHeaderStringsButRewritesNote) {
  const auto first = BuildSeg2({"COMMENTS first", "NOTE n1"},
                               {{{"TIME_BEGIN 2451545.0"}, 4, 1, FloatData({1})}});
  const auto second = BuildSeg2({"COMMENTS second"}, {{{}, 4, 1, FloatData({2})}});
  XL_WaveDataSeg2 r;
  ASSERT_EQ(ParseBytes(first, r), 1);
  ASSERT_EQ(ParseBytes(second, r), 1);
  EXPECT_EQ(r.TraceCount(), 2);
  EXPECT_EQ(r.header.traceCount, 2);
  EXPECT_EQ(TextOf(r.header.comments), "first");
  EXPECT_EQ(TextOf(r.header.note), "Start: 2000/01/01 12:00:00(UTC)");
}

// Strings that fill the descriptor block exactly: the data that follow must
// not be taken for one more string length.
TEST(Seg2Reader, StringsEndingAtBlockEndDoNotReadIntoData) {
  Seg2TraceSpec t{{"SAMPLE_INTERVAL 0.5"}, 1, 2, {}};
  // Data: 0x0009, then "X" and NUL, which would read as a 9-byte string
  // "\x01..." if the length word were taken from the data block.
  t.data = {0x09, 0x00, 'L', 0x00};
  auto bytes = BuildSeg2({}, {t});
  // Make B end right after the last string, before the list's closing 0.
  const std::size_t ptr = DecodeLE32(bytes.data() + 32);
  StoreLE16(bytes.data() + ptr + 2, static_cast<uint16_t>(32 + 2 + 19 + 1));
  XL_WaveDataSeg2 r;
  ASSERT_EQ(ParseBytes(bytes, r), 1);
  EXPECT_EQ(r.Trace(0).samplingInterval, 0.5);
}

TEST(Seg2Reader, BlockSizeSmallerThanStringsStopsAfterStraddlingString) {
  Seg2TraceSpec t{{"LINE_ID A1", "SKEW 2.5", "STACK 3"}, 4, 1, FloatData({9})};
  auto bytes = BuildSeg2({}, {t});
  const std::size_t ptr = DecodeLE32(bytes.data() + 32);
  // B ends inside "SKEW 2.5": that string is still read, "STACK 3" is not.
  StoreLE16(bytes.data() + ptr + 2, static_cast<uint16_t>(32 + 13 + 4));
  XL_WaveDataSeg2 r;
  ASSERT_EQ(ParseBytes(bytes, r), 1);
  EXPECT_EQ(TextOf(r.Trace(0).lineId), "A1");
  EXPECT_EQ(r.Trace(0).skew, 2.5);
  EXPECT_EQ(r.Trace(0).stack, 0);
}

TEST(Seg2Reader, ShortDataBlockLeavesZeros) {
  Seg2TraceSpec t{{}, 4, 10, FloatData({1, 2, 3})};
  const auto bytes = BuildSeg2({}, {t});
  XL_WaveDataSeg2 r;
  ASSERT_EQ(ParseBytes(bytes, r), 1);
  ASSERT_EQ(r.Trace(0).sampleCount, 10);
  EXPECT_EQ(Samples(r.Trace(0)), (std::vector<float>{1, 2, 3, 0, 0, 0, 0, 0, 0, 0}));
}

TEST(Seg2Reader, ValueLongerThanFieldIsCut) {
  const std::string long_id(200, 'Q');
  const auto bytes = BuildSeg2({}, {{{"LINE_ID " + long_id}, 4, 1, FloatData({1})}});
  XL_WaveDataSeg2 r;
  ASSERT_EQ(ParseBytes(bytes, r), 1);
  EXPECT_EQ(TextOf(r.Trace(0).lineId), std::string(31, 'Q'));
}

TEST(Seg2Reader, HostileCountsDoNotAllocateWithoutLimit) {
  // 4 billion samples declared in a file of a few hundred bytes, twice.
  Seg2TraceSpec t{{}, 4, 0xFFFFFFFFu, FloatData({1, 2})};
  auto bytes = BuildSeg2({}, {t, t});
  XL_WaveDataSeg2 r;
  ASSERT_EQ(ParseBytes(bytes, r), 1);
  ASSERT_EQ(r.TraceCount(), 2);
  int64_t total = 0;
  for (const auto& tr : r.traces) total += tr->sampleCount;
  EXPECT_LE(total, (int64_t{1} << 22) + 100);
  EXPECT_EQ(r.Trace(0).samples[1], 2.0f);

  // 65535 traces declared, pointers all aimed at one descriptor.
  auto many = BuildSeg2({}, {{{}, 4, 1, FloatData({7})}});
  const uint32_t ptr = DecodeLE32(many.data() + 32);
  StoreLE16(many.data() + 6, 0xFFFF);
  std::vector<uint8_t> grown(many.begin(), many.begin() + 32);
  for (int i = 0; i < 100; ++i) PutLE32(grown, ptr + 400);
  const std::size_t shift = grown.size() - 36;
  grown.insert(grown.end(), many.begin() + 36, many.end());
  for (int i = 0; i < 100; ++i) StoreLE32(grown.data() + 32 + 4 * i, static_cast<uint32_t>(ptr + shift));
  XL_WaveDataSeg2 m;
  ParseBytes(grown, m);  // loads what it can; must not crash or over-read
  EXPECT_LE(m.TraceCount(), static_cast<int>((grown.size() - 32) / 4));
}

TEST(Seg2Reader, PointersPastEndOfFileStopCleanly) {
  auto bytes = BuildSeg2({}, {{{}, 4, 1, FloatData({1})}, {{}, 4, 1, FloatData({2})}});
  StoreLE32(bytes.data() + 36, 0x7FFFFFF0u);
  XL_WaveDataSeg2 r;
  ASSERT_EQ(ParseBytes(bytes, r), 1);
  EXPECT_EQ(r.TraceCount(), 1);
  XL_WaveDataSeg2 none;
  StoreLE32(bytes.data() + 32, 0xFFFFFFFFu);
  EXPECT_EQ(ParseBytes(bytes, none), 0);
}

// Every prefix of real and generated files loads or fails cleanly; run
// under the sanitizers this proves no read outside the file.
TEST(Seg2Reader, TruncatedAtEveryByteNeverReadsOutOfBounds) {
  for (const char* name : {"seg2/synth_keywords.sg2", "seg2/synth_fmt3_edge.sg2",
                           "seg2/20180307_031245000.0.seg2"}) {
    std::vector<uint8_t> bytes;
    ASSERT_TRUE(ReadWholeFile(DataFile(name), &bytes, nullptr));
    for (std::size_t n = 0; n <= bytes.size(); ++n) {
      std::vector<uint8_t> cut(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(n));
      XL_WaveDataSeg2 r;
      const int loaded = ParseBytes(cut, r);
      EXPECT_EQ(r.header.traceCount, r.TraceCount());
      if (n < 32) {
        EXPECT_EQ(loaded, 0);
      }
    }
  }
}

TEST(Seg2Reader, RandomCorruptionNeverCrashes) {
  std::vector<uint8_t> original;
  ASSERT_TRUE(ReadWholeFile(DataFile("seg2/synth_keywords.sg2"), &original, nullptr));
  std::mt19937 rng(12345);
  for (int round = 0; round < 1000; ++round) {
    auto bytes = original;
    const int flips = 1 + static_cast<int>(rng() % 8);
    for (int f = 0; f < flips; ++f) {
      bytes[rng() % bytes.size()] = static_cast<uint8_t>(rng());
    }
    XL_WaveDataSeg2 r;
    ParseBytes(bytes, r);
    EXPECT_EQ(r.header.traceCount, r.TraceCount());
  }
}

// ---- files read only in part -----------------------------------------------

Seg2ReadResult Parse(const std::vector<uint8_t>& bytes, int64_t first = 0, int64_t last = 0) {
  XL_WaveDataSeg2 r;
  return ParseSeg2(bytes.data(), bytes.size(), r, first, last);
}

// Three float traces of 100 samples, 1 to 100.
std::vector<uint8_t> ThreeTraces() {
  std::vector<float> v(100);
  for (int i = 0; i < 100; ++i) v[static_cast<std::size_t>(i)] = static_cast<float>(i + 1);
  const Seg2TraceSpec t{{"SAMPLE_INTERVAL 0.1"}, 4, 100, FloatData(v)};
  return BuildSeg2({}, {t, t, t});
}

TEST(Seg2PartialRead, TruncatedCopySaysWhatIsPresentAndWhatIsMissing) {
  auto bytes = ThreeTraces();
  EXPECT_EQ(Parse(bytes).partial, "");
  // Cut 30 samples into the data of trace 2; trace 3 lies beyond the end.
  const std::size_t descriptor = DecodeLE32(bytes.data() + 36);
  bytes.resize(descriptor + DecodeLE16(bytes.data() + descriptor + 2) + 30 * 4 + 3);
  XL_WaveDataSeg2 rec;
  const Seg2ReadResult r = ParseSeg2(bytes.data(), bytes.size(), rec, 0, 0);
  EXPECT_EQ(r.loaded, 1);
  EXPECT_EQ(r.partial, "trace 2 of 3: 30 of 100 samples present; trace 3 missing");
  ASSERT_EQ(r.short_traces.size(), 1u);
  EXPECT_EQ(r.short_traces[0].index, 1);
  ASSERT_EQ(rec.TraceCount(), 2);
  EXPECT_EQ(rec.Trace(1).samples[29], 30.0f);
  EXPECT_EQ(rec.Trace(1).samples[30], 0.0f);
  // Only the selected traces count.
  EXPECT_EQ(Parse(bytes, 1, 1).partial, "");
  EXPECT_EQ(Parse(bytes, 3, 3).partial, "trace 3 missing");
}

TEST(Seg2PartialRead, ForgedSampleCountsAreReportedAsDeclared) {
  // A tiny file whose trace declares 4,194,304 samples.
  Seg2TraceSpec t{{}, 4, 4194304u, FloatData({1, 2, 3})};
  EXPECT_EQ(Parse(BuildSeg2({}, {t})).partial, "trace 1 of 1: 3 of 4194304 samples present");
  // Past the budget for samples the file cannot back, the count is cut but
  // the report keeps the declared one. Trace 1 reads on over trace 2.
  t.declared_samples = 0xFFFFFFFFu;
  EXPECT_EQ(Parse(BuildSeg2({}, {t, t})).partial,
            "trace 1 of 2: 14 of 4294967295 samples present; 1 more trace short of samples");
}

TEST(Seg2PartialRead, BadDescriptorAndPointersBeyondTheFileMissTheirTraces) {
  auto bytes = ThreeTraces();
  StoreLE16(bytes.data() + DecodeLE32(bytes.data() + 36), 0x1234);  // trace 2's id
  EXPECT_EQ(Parse(bytes).partial, "traces 2-3 missing");
  // More traces declared than there is room for pointers; without a range,
  // traces 1 to 9999 are the selected ones.
  auto few = BuildSeg2({}, {{{}, 4, 1, FloatData({1})}});
  StoreLE16(few.data() + 6, 40000);
  EXPECT_EQ(Parse(few).partial, "traces 2-9999 missing");
  EXPECT_EQ(Parse(few, 39000, 50000).partial, "traces 39000-40000 missing");
}

TEST(Seg2PartialRead, Format3WordsOfAStartedGroupAndUnknownFormats) {
  // 7 samples in two groups; the second cut after two mantissas, then after
  // one and a half.
  auto bytes = BuildSeg2({}, {{{}, 3, 7, std::vector<uint8_t>(20, 0)}});
  EXPECT_EQ(Parse(bytes).partial, "");
  bytes.resize(bytes.size() - 4);
  EXPECT_EQ(Parse(bytes).partial, "trace 1 of 1: 6 of 7 samples present");
  bytes.resize(bytes.size() - 1);
  EXPECT_EQ(Parse(bytes).partial, "trace 1 of 1: 5 of 7 samples present");
  EXPECT_EQ(Parse(BuildSeg2({}, {{{}, 9, 4, FloatData({1, 2, 3, 4})}})).partial,
            "trace 1 of 1: data format 9 is not read, its 4 samples are 0");
}

// The last bytes of these files are samples: every cut after the header is
// reported.
TEST(Seg2PartialRead, EveryTruncationIsReported) {
  for (const char* name : {"seg2/synth_keywords.sg2", "seg2/20180307_031245000.0.seg2"}) {
    std::vector<uint8_t> bytes;
    ASSERT_TRUE(ReadWholeFile(DataFile(name), &bytes, nullptr));
    EXPECT_EQ(Parse(bytes).partial, "") << name;
    for (std::size_t n = 32; n < bytes.size(); ++n) {
      const std::vector<uint8_t> cut(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(n));
      EXPECT_NE(Parse(cut).partial, "") << name << " cut at " << n;
    }
  }
}

TEST(Seg2PartialRead, LoadKeepsTheReportUntilTheNextLoad) {
  test::ScratchDir dir;
  auto bytes = ThreeTraces();
  const std::string whole = dir.File("whole.sg2");
  const std::string cut = dir.File("cut.sg2");
  ASSERT_TRUE(WriteFileAtomically(whole, bytes.data(), bytes.size(), nullptr));
  bytes.resize(bytes.size() - 4 * 60);
  ASSERT_TRUE(WriteFileAtomically(cut, bytes.data(), bytes.size(), nullptr));
  XL_WaveDataSeg2 rec;
  ASSERT_EQ(rec.Load(cut, 1, 0, 0), 1);
  EXPECT_EQ(rec.PartialRead(), "trace 3 of 3: 40 of 100 samples present");
  ASSERT_EQ(rec.Load(whole, 1, 0, 0), 1);
  EXPECT_EQ(rec.PartialRead(), "");
  EXPECT_TRUE(rec.ShortTraces().empty());
  // Appended traces are indexed in the record.
  ASSERT_EQ(rec.Load(cut, 0, 0, 0), 1);
  ASSERT_EQ(rec.ShortTraces().size(), 1u);
  EXPECT_EQ(rec.ShortTraces()[0].index, 5);
}

}  // namespace
}  // namespace qae
