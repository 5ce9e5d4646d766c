// Record start times and table reading: the arithmetic every exported time
// rests on, checked against std::chrono's calendar.
#include <gtest/gtest.h>

#include <ctime>
#include <string>

#include "catalogue/record_time.h"
#include "catalogue/result_table_reader.h"
#include "detect/result_table.h"
#include "support/utc.h"

namespace {

using qae::IsoTimeFromMicros;
using qae::RecordStartMicros;

int64_t TimegmMicros(int y, int mo, int d, int h, int mi, int s) {
  std::tm t{};
  t.tm_year = y - 1900;
  t.tm_mon = mo - 1;
  t.tm_mday = d;
  t.tm_hour = h;
  t.tm_min = mi;
  t.tm_sec = s;
  return qae::test::UtcSeconds(t) * 1000000;
}

TEST(RecordStart, ReadsTheDateLayoutsOfThisSystemAndOfRecorders) {
  int64_t us = 0;
  ASSERT_TRUE(RecordStartMicros("2024/05/14", "10:00:35", 21000, &us));
  EXPECT_EQ(us, TimegmMicros(2024, 5, 14, 10, 0, 35) + 21000);
  // Layouts found in files of field recorders.
  ASSERT_TRUE(RecordStartMicros("07/JAN/2013", "0", 0, &us));
  EXPECT_EQ(us, TimegmMicros(2013, 1, 7, 0, 0, 0));
  ASSERT_TRUE(RecordStartMicros("7/MAR/2018", " 3:12:45", 0, &us));
  EXPECT_EQ(us, TimegmMicros(2018, 3, 7, 3, 12, 45));
  ASSERT_TRUE(RecordStartMicros("09/Jun/2017", "16:55:09.25", 0, &us));
  EXPECT_EQ(us, TimegmMicros(2017, 6, 9, 16, 55, 9) + 250000);
  ASSERT_TRUE(RecordStartMicros("29/02/2024", "23:59:59", 999999, &us));
  EXPECT_EQ(us, TimegmMicros(2024, 2, 29, 23, 59, 59) + 999999);
  // An empty time of day is midnight.
  ASSERT_TRUE(RecordStartMicros("1996/09/05", "", 0, &us));
  EXPECT_EQ(us, TimegmMicros(1996, 9, 5, 0, 0, 0));
}

TEST(RecordStart, RefusesWhatIsNoDate) {
  int64_t us = 0;
  for (const char* date : {"", "2024/02/30", "2023/02/29", "2024/13/01", "14/XYZ/2024",
                           "2024-05", "garbage", "1/2/3"}) {
    EXPECT_FALSE(RecordStartMicros(date, "10:00:00", 0, &us)) << date;
  }
  for (const char* time : {"24:00:00", "10:60:00", "10:00:61", "10:00:00x", "ab"}) {
    EXPECT_FALSE(RecordStartMicros("2024/05/14", time, 0, &us)) << time;
  }
}

TEST(IsoTime, FormatsMicrosecondsAcrossDayAndEpochBoundaries) {
  EXPECT_EQ(IsoTimeFromMicros(0), "1970-01-01T00:00:00.000000Z");
  EXPECT_EQ(IsoTimeFromMicros(-1), "1969-12-31T23:59:59.999999Z");
  EXPECT_EQ(IsoTimeFromMicros(TimegmMicros(2000, 2, 29, 12, 34, 56) + 7),
            "2000-02-29T12:34:56.000007Z");
  EXPECT_EQ(IsoTimeFromMicros(TimegmMicros(2024, 12, 31, 23, 59, 59) + 999999),
            "2024-12-31T23:59:59.999999Z");
  EXPECT_EQ(IsoTimeFromMicros(TimegmMicros(1900, 3, 1, 0, 0, 0)), "1900-03-01T00:00:00.000000Z");
}

TEST(ResultTableReader, KeepsRowsAsWrittenAndSaysWhatItSkipped) {
  const std::string row1 =
      "1\t246.400009\t29.4036\t42.1954\t52.7185\t-8.03\t0.9398\t14.89\t14.95\t-1.15\t2.15\t0.54\t-"
      "0.30\t13\t-7.73";
  const std::string row2 =
      "7\t1.000000\t1.0000\t2.0000\t3.0000\t-7.00\t0.8000\t5.00\t6.00\t0.10\t0.20\t0.30\t0.00\t9\t-"
      "7.00";
  std::string text = std::string(qae::kResultTableHeader) + row1 + "\n" + "not a row\n" +
                     row2 + "\r\n" + "1\t2\t3";  // a torn last line
  const qae::ResultTable t = qae::ParseResultTable(text, "T");
  ASSERT_EQ(t.rows.size(), 2u);
  EXPECT_EQ(t.timeUnit, "us");
  EXPECT_EQ(t.rows[0].ae, 1);
  EXPECT_EQ(t.rows[0].templateAe, 13);
  EXPECT_DOUBLE_EQ(t.rows[0].t0, 246.400009);
  EXPECT_FLOAT_EQ(t.rows[0].dmw, -0.30f);
  EXPECT_EQ(t.rows[0].text[2], "29.4036");
  EXPECT_EQ(t.rows[0].lineNumber, 8);
  EXPECT_EQ(t.rows[1].ae, 7);
  EXPECT_EQ(t.rows[1].text[14], "-7.00");  // the line end (CR LF too) is not part of it
  ASSERT_EQ(t.warnings.size(), 2u);
  EXPECT_NE(t.warnings[0].find("line 9"), std::string::npos);
  EXPECT_NE(t.warnings[1].find("no line end"), std::string::npos);

  // A table whose header names another time unit.
  std::string ms = text;
  ms.replace(ms.find("t0,us"), 5, "t0,ms");
  EXPECT_EQ(qae::ParseResultTable(ms, "T").timeUnit, "ms");
}

}  // namespace
