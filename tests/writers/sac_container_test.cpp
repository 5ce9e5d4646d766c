#include "writers/sac_container.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "dsp/calendar.h"
#include "util/byte_order.h"
#include "util/file_io.h"
#include "support/test_paths.h"

namespace qae {
namespace {

std::vector<uint8_t> ReadBytes(const std::string& path) {
  std::vector<uint8_t> bytes;
  std::string error;
  EXPECT_TRUE(ReadWholeFile(path, &bytes, &error)) << error;
  return bytes;
}

std::string Field(const SacHeader& h, int offset, int width = 8) {
  return std::string(h.text + offset, static_cast<std::size_t>(width));
}

std::vector<SacRecord> ParseOrFail(const std::vector<uint8_t>& bytes) {
  std::vector<SacRecord> records;
  std::string error;
  EXPECT_TRUE(ParseSacContainer(bytes.data(), bytes.size(), &records, &error)) << error;
  return records;
}

TEST(SacContainerTest, DefaultHeaderDefinesOnlyTheTimeSeriesWords) {
  const SacHeader h = MakeDefaultSacHeader(1000, 0.5f, 2.0f);
  uint8_t bytes[kSacHeaderBytes];
  EncodeSacHeader(h, bytes);
  for (int i = 0; i < 70; ++i) {
    const float v = DecodeLEFloat(bytes + 4 * i);
    switch (i) {
      case SacHeader::kDelta: EXPECT_EQ(v, 0.5f); break;
      case SacHeader::kB: EXPECT_EQ(v, 2.0f); break;
      case SacHeader::kE: EXPECT_EQ(v, 2.0f + 999 * 0.5f); break;  // n - 1 intervals
      case SacHeader::kO: EXPECT_EQ(v, 0.0f); break;
      default: EXPECT_EQ(v, -12345.0f) << "float word " << i;
    }
  }
  for (int i = 70; i < 110; ++i) {
    const auto v = static_cast<int32_t>(DecodeLE32(bytes + 4 * i));
    switch (i) {
      case 76: EXPECT_EQ(v, 6); break;     // nvhdr
      case 79: EXPECT_EQ(v, 1000); break;  // npts
      case 85: EXPECT_EQ(v, 1); break;     // iftype: time series
      case 87: EXPECT_EQ(v, 11); break;    // iztype: origin
      case 105: EXPECT_EQ(v, 1); break;    // leven
      default: EXPECT_EQ(v, -12345) << "word " << i;
    }
  }
  const std::string text(reinterpret_cast<const char*>(bytes) + 440, 192);
  std::string expected = "-12345  -12345          ";
  for (int i = 0; i < 21; ++i) expected += "-12345  ";
  EXPECT_EQ(text, expected);
}

TEST(SacContainerTest, ContainerHoldsCountThenHeaderAndScaledSamplesPerChannel) {
  test::ScratchDir dir;
  std::vector<std::vector<float>> rows(3, std::vector<float>(1010));
  for (int c = 0; c < 3; ++c) {
    for (int i = 0; i < 1010; ++i) rows[c][i] = 1e-6f * static_cast<float>(c * 10000 + i) + 0.3f;
  }
  const std::string path = dir.File("cc.sacs");
  ASSERT_EQ(WriteSacsChannels(path, rows, {"_Sta001_", "ABSTA12Z", "XYSTN1EHZ"}, 10, 1000, 0.25f,
                              JulianDay(2008, 5, 14, 12, 34, 56.0f, 0.0f)),
            0);
  const std::vector<uint8_t> bytes = ReadBytes(path);
  ASSERT_EQ(bytes.size(), 4u + 3u * (632u + 4000u));
  EXPECT_EQ(DecodeLE32(bytes.data()), 3u);
  const std::vector<SacRecord> records = ParseOrFail(bytes);
  ASSERT_EQ(records.size(), 3u);
  for (int c = 0; c < 3; ++c) {
    const SacHeader& h = records[c].header;
    EXPECT_FALSE(records[c].bigEndian);
    EXPECT_EQ(h.ints[SacHeader::kNpts], 1000);
    EXPECT_EQ(h.floats[SacHeader::kDelta], 0.25f);
    EXPECT_EQ(h.floats[SacHeader::kB], 0.0f);
    EXPECT_EQ(h.floats[SacHeader::kE], 250.0f);  // n intervals, not n - 1
    EXPECT_EQ(h.floats[SacHeader::kO], 0.0f);
    EXPECT_EQ(h.ints[SacHeader::kIdep], -12345);
    EXPECT_EQ(h.ints[SacHeader::kIztype], 11);
    ASSERT_EQ(records[c].data.size(), 1000u);
    for (int i = 0; i < 1000; ++i) {
      ASSERT_EQ(records[c].data[i], static_cast<float>(rows[c][i + 10] * 1e6)) << c << " " << i;
    }
  }
  // No temporary file is left beside the container.
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()),
                          std::filesystem::directory_iterator()),
            1);
}

TEST(SacContainerTest, ReferenceTimeGivesDayOfYearAndTruncatedMilliseconds) {
  test::ScratchDir dir;
  const float row[4] = {1, 2, 3, 4};
  const float* rows[] = {row};
  const char* names[] = {"_Sta001_"};
  const std::string path = dir.File("t.sacs");
  ASSERT_EQ(WriteSacsChannels(path, rows, names, 1, 0, 4, 1.0f,
                              JulianDay(2008, 5, 14, 12, 34, 12.4567f, 0.0f)),
            0);
  const std::vector<SacRecord> records = ParseOrFail(ReadBytes(path));
  ASSERT_EQ(records.size(), 1u);
  const SacHeader& h = records[0].header;
  EXPECT_EQ(h.ints[SacHeader::kNzYear], 2008);
  EXPECT_EQ(h.ints[SacHeader::kNzJday], 135);
  EXPECT_EQ(h.ints[SacHeader::kNzHour], 12);
  EXPECT_EQ(h.ints[SacHeader::kNzMin], 34);
  EXPECT_EQ(h.ints[SacHeader::kNzSec], 12);
  EXPECT_EQ(h.ints[SacHeader::kNzMsec], 456);
}

TEST(SacContainerTest, ChannelNamesSplitIntoBlankPaddedNetworkStationAndComponent) {
  test::ScratchDir dir;
  const float row[2] = {0, 0};
  const float* rows[] = {row, row, row, row, row, row, row};
  const char* names[] = {"_Sta001_", "ABSTA12Z", "XYSTN1EHZ", "NETSTATIONCOMPXYZ", "A", "",
                         nullptr};
  const std::string path = dir.File("names.sacs");
  ASSERT_EQ(WriteSacsChannels(path, rows, names, 7, 0, 2, 1.0f, 2454600.5), 0);
  const std::vector<SacRecord> r = ParseOrFail(ReadBytes(path));
  ASSERT_EQ(r.size(), 7u);
  struct Expected {
    const char* net;
    const char* sta;
    const char* cmp;
  };
  const Expected expected[] = {{"_S      ", "ta0     ", "01_     "},
                               {"AB      ", "STA     ", "12Z     "},
                               {"XY      ", "STN1    ", "EHZ     "},
                               {"NE      ", "TSTAT   ", "ION     "},
                               {"A       ", "        ", "        "},
                               {"        ", "        ", "        "},
                               {"        ", "        ", "        "}};
  for (int i = 0; i < 7; ++i) {
    EXPECT_EQ(Field(r[i].header, SacHeader::kKnetwk), expected[i].net) << i;
    EXPECT_EQ(Field(r[i].header, SacHeader::kKstnm), expected[i].sta) << i;
    EXPECT_EQ(Field(r[i].header, SacHeader::kKcmpnm), expected[i].cmp) << i;
    // Station words other than the name stay undefined.
    EXPECT_EQ(Field(r[i].header, SacHeader::kKuser1), "-12345  ") << i;
  }
}

TEST(SacContainerTest, WritesTheHeaderWordsOfTheReferenceContainer) {
  const std::vector<SacRecord> reference =
      ParseOrFail(ReadBytes(test::DataFile("sac/synthetic_project_like.sacs")));
  ASSERT_EQ(reference.size(), 3u);
  test::ScratchDir dir;
  const std::vector<std::vector<float>> rows(3, std::vector<float>(1000, 0.0f));
  const std::string path = dir.File("cc.sacs");
  ASSERT_EQ(WriteSacsChannels(path, rows, {"_Sta001_", "ABSTA12Z", "XYSTN1EHZ"}, 0, 1000, 1.0f,
                              JulianDay(2008, 5, 14, 12, 34, 56.789f, 0.0f)),
            0);
  const std::vector<SacRecord> ours = ParseOrFail(ReadBytes(path));
  ASSERT_EQ(ours.size(), 3u);
  for (std::size_t r = 0; r < 3; ++r) {
    const SacHeader& a = ours[r].header;
    const SacHeader& b = reference[r].header;
    for (int i = 0; i < 70; ++i) EXPECT_EQ(a.floats[i], b.floats[i]) << r << " float " << i;
    for (int i = 0; i < 40; ++i) EXPECT_EQ(a.ints[i], b.ints[i]) << r << " int " << i;
    for (int f : {SacHeader::kKnetwk, SacHeader::kKstnm, SacHeader::kKcmpnm}) {
      EXPECT_EQ(SacText(a, f), SacText(b, f)) << r << " text at " << f;
    }
  }
  EXPECT_EQ(reference[0].header.ints[SacHeader::kNzJday], 135);
  EXPECT_EQ(reference[0].header.ints[SacHeader::kNzMsec], 789);
}

TEST(SacContainerTest, ReadsContainerOfForeignFiles) {
  const std::vector<SacRecord> records =
      ParseOrFail(ReadBytes(test::DataFile("sac/obspy_samples.sacs")));
  ASSERT_EQ(records.size(), 8u);
  std::vector<bool> matched(records.size(), false);
  for (const char* file : {"LMOW.BHE.SAC", "dis.G.SCZ.__.BHE_short", "non_ascii.sac",
                           "null_terminated.sac", "sample_spacing_rounding_issue.sac", "seism.sac",
                           "test.sac", "test.sac.swap"}) {
    const std::vector<uint8_t> bytes = ReadBytes(test::DataFile(std::string("sac/") + file));
    SacRecord single;
    std::string error;
    ASSERT_TRUE(ParseSacFile(bytes.data(), bytes.size(), &single, &error)) << file << error;
    bool found = false;
    for (std::size_t r = 0; r < records.size() && !found; ++r) {
      if (!matched[r] && std::memcmp(&single.header, &records[r].header, sizeof(SacHeader)) == 0 &&
          single.data == records[r].data) {
        matched[r] = found = true;
      }
    }
    EXPECT_TRUE(found) << file << " is not in the container";
  }
}

TEST(SacContainerTest, ReadsBigEndianRecordsToTheSameValues) {
  const std::vector<uint8_t> plain = ReadBytes(test::DataFile("sac/test.sac"));
  const std::vector<uint8_t> swapped = ReadBytes(test::DataFile("sac/test.sac.swap"));
  SacRecord a;
  SacRecord b;
  std::string error;
  ASSERT_TRUE(ParseSacFile(plain.data(), plain.size(), &a, &error)) << error;
  ASSERT_TRUE(ParseSacFile(swapped.data(), swapped.size(), &b, &error)) << error;
  EXPECT_FALSE(a.bigEndian);
  EXPECT_TRUE(b.bigEndian);
  // The swapped copy differs from the original in one unused float word.
  b.header.floats[56] = a.header.floats[56];
  EXPECT_EQ(std::memcmp(&a.header, &b.header, sizeof(SacHeader)), 0);
  EXPECT_EQ(a.data, b.data);
  EXPECT_EQ(a.data.size(), 100u);
  EXPECT_EQ(SacText(b.header, SacHeader::kKstnm), "STA");

  // Mixed byte orders inside one container.
  std::vector<uint8_t> container = {2, 0, 0, 0};
  container.insert(container.end(), swapped.begin(), swapped.end());
  container.insert(container.end(), plain.begin(), plain.end());
  const std::vector<SacRecord> records = ParseOrFail(container);
  ASSERT_EQ(records.size(), 2u);
  EXPECT_TRUE(records[0].bigEndian);
  EXPECT_EQ(records[0].data, records[1].data);

  // A text field stops at its first NUL.
  const std::vector<uint8_t> nul = ReadBytes(test::DataFile("sac/null_terminated.sac"));
  SacRecord c;
  ASSERT_TRUE(ParseSacFile(nul.data(), nul.size(), &c, &error)) << error;
  EXPECT_EQ(SacText(c.header, SacHeader::kKstnm), "PIN1");
}

// Each damaged container fails with a message naming the problem, without
// reading past the bytes or allocating what a count claims.
TEST(SacContainerTest, RejectsDamagedContainers) {
  const std::vector<uint8_t> good = ReadBytes(test::DataFile("sac/synthetic_project_like.sacs"));
  ASSERT_EQ(good.size(), 13900u);
  auto expect_error = [](std::vector<uint8_t> bytes, const std::string& fragment) {
    std::vector<SacRecord> records;
    std::string error;
    EXPECT_FALSE(ParseSacContainer(bytes.data(), bytes.size(), &records, &error)) << fragment;
    EXPECT_NE(error.find(fragment), std::string::npos) << error;
    EXPECT_TRUE(records.empty());
  };
  auto with_word = [&good](std::size_t offset, uint32_t value) {
    std::vector<uint8_t> b = good;
    StoreLE32(b.data() + offset, value);
    return b;
  };
  const std::size_t npts2 = 4 + 632 + 4000 + 4 * 79;
  expect_error({1, 0}, "4-byte record count");
  expect_error(with_word(0, 0xFFFFFFFFu), "record count -1");
  expect_error(with_word(0, 0x7FFFFFFFu), "record count 2147483647");
  expect_error(with_word(0, 4), "record 4 at byte 13900: header needs 632 bytes, 0 left");
  expect_error(with_word(npts2, 0xFFFFFFF0u), "record 2 at byte 4636: negative npts");
  expect_error(with_word(npts2, 0x7FFFFFFFu), "record 2 at byte 4636: 2147483647 samples need");
  expect_error(with_word(npts2, 1001), "record 3 at byte");
  expect_error(with_word(4 + 632 + 4000 + 4 * 76, 0), "record 2 at byte 4636: not a SAC header");
  expect_error(std::vector<uint8_t>(good.begin(), good.end() - 1), "record 3 at byte 9268");
  std::vector<uint8_t> trailing = good;
  trailing.push_back(0);
  expect_error(trailing, "1 bytes follow the last of 3 records");
}

TEST(SacContainerTest, FailedWriteReportsOnStderrAndLeavesNothingBehind) {
  test::ScratchDir dir;
  const float row[2] = {1, 2};
  const float* rows[] = {row, row, row};
  const char* names[] = {"AB", "CD", "EF"};
  const std::string path = dir.File("missing/cc.sacs");
  testing::internal::CaptureStderr();
  EXPECT_EQ(WriteSacsChannels(path, rows, names, 3, 0, 2, 1.0f, 2454600.5), 3);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "Error in opening file for writing " + path + "\n");
  // With no channels a failure must still not read as success.
  testing::internal::CaptureStderr();
  EXPECT_EQ(WriteSacsChannels(path, nullptr, nullptr, 0, 0, 2, 1.0f, 2454600.5), 1);
  testing::internal::GetCapturedStderr();

  // A container over a directory cannot replace it; the directory survives.
  const std::string blocked = dir.File("blocked.sacs");
  std::filesystem::create_directory(blocked);
  testing::internal::CaptureStderr();
  EXPECT_EQ(WriteSacsChannels(blocked, rows, names, 3, 0, 2, 1.0f, 2454600.5), 3);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "Error in opening file for writing " + blocked + "\n");
  EXPECT_TRUE(std::filesystem::is_directory(blocked));
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()),
                          std::filesystem::directory_iterator()),
            1);
}

TEST(SacContainerTest, SingleFileEncodingRoundTrips) {
  SacHeader h = MakeDefaultSacHeader(3, 0.01f, -1.0f);
  SetSacText(&h, SacHeader::kKstnm, 8, "LONGSTATIONNAME");
  const float data[3] = {1.5f, -2.25f, 3e9f};
  const std::vector<uint8_t> bytes = EncodeSacFile(h, data, 3);
  ASSERT_EQ(bytes.size(), 632u + 12u);
  SacRecord r;
  std::string error;
  ASSERT_TRUE(ParseSacFile(bytes.data(), bytes.size(), &r, &error)) << error;
  EXPECT_EQ(std::memcmp(&r.header, &h, sizeof h), 0);
  EXPECT_EQ(r.data, (std::vector<float>{1.5f, -2.25f, 3e9f}));
  EXPECT_EQ(SacText(r.header, SacHeader::kKstnm), "LONGSTAT");  // cut to the field
  EXPECT_EQ(Field(r.header, SacHeader::kKevnm, 16), "-12345          ");  // neighbour intact
}

}  // namespace
}  // namespace qae
