#include "wave/time_utils.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <regex>

namespace qae {
namespace {

constexpr double kJ2000Midnight = 2451544.5;  // 2000-01-01 00:00 UTC
constexpr double kSecond = 1.0 / 86400.0;

TEST(CalendarFromJulian, MidnightAndNoonOfJanuaryFirst2000) {
  const CalendarTime midnight = CalendarFromJulian(kJ2000Midnight, 0.0f);
  EXPECT_EQ(midnight.year, 2000);
  EXPECT_EQ(midnight.month, 1);
  EXPECT_EQ(midnight.day, 1);
  EXPECT_EQ(midnight.hour, 0);
  EXPECT_EQ(midnight.minute, 0);
  EXPECT_EQ(midnight.seconds, 0.0f);
  EXPECT_EQ(FormatJulianDay(kJ2000Midnight, 0.0f), "2000/01/01(UTC)");
  EXPECT_EQ(FormatJulianDay(2451545.0, 0.0f), "2000/01/01 12:00:00(UTC)");
}

TEST(CalendarFromJulian, FractionalSecondsPrintAsMilliseconds) {
  EXPECT_EQ(FormatJulianDay(kJ2000Midnight + 30.25 * kSecond, 0.0f),
            "2000/01/01 00:00:30.250(UTC)");
}

TEST(CalendarFromJulian, OffsetShiftsFieldsAndNamesItInSuffix) {
  const CalendarTime tokyo = CalendarFromJulian(kJ2000Midnight, 9.0f);
  EXPECT_EQ(tokyo.year, 2000);
  EXPECT_EQ(tokyo.day, 1);
  EXPECT_EQ(tokyo.hour, 9);
  EXPECT_EQ(tokyo.minute, 0);
  EXPECT_EQ(tokyo.seconds, 0.0f);
  EXPECT_EQ(FormatJulianDay(kJ2000Midnight, 9.0f), "2000/01/01 09:00:00(+9.00)");
  EXPECT_EQ(FormatJulianDay(kJ2000Midnight, -5.0f), "1999/12/31 19:00:00(+-5.00)");
}

// In 32-bit arithmetic 23:59:59 came out as 23:59:58.997.
TEST(CalendarFromJulian, WholeSecondBeforeMidnightStaysWhole) {
  const double jd = kJ2000Midnight - kSecond;
  const CalendarTime t = CalendarFromJulian(jd, 0.0f);
  EXPECT_EQ(t.day, 31);
  EXPECT_EQ(t.hour, 23);
  EXPECT_EQ(t.minute, 59);
  EXPECT_NEAR(t.seconds, 59.0f, 1e-4);
  EXPECT_EQ(FormatJulianDay(jd, 0.0f), "1999/12/31 23:59:59(UTC)");
}

TEST(CalendarFromJulian, LastRepresentableInstantOfDayHasValidFields) {
  for (double boundary : {1.5, 100.5, 2415079.5, kJ2000Midnight, 2488434.5}) {
    const double jd = std::nextafter(boundary, 0.0);
    const CalendarTime t = CalendarFromJulian(jd, 0.0f);
    const CalendarTime next = CalendarFromJulian(boundary, 0.0f);
    SCOPED_TRACE(boundary);
    EXPECT_NE(t.day, next.day);
    EXPECT_EQ(t.hour, 23);
    EXPECT_EQ(t.minute, 59);
    EXPECT_GE(t.seconds, 59.999f);
    EXPECT_LT(t.seconds, 60.0f);
  }
  // A fraction of a day one ulp below 1 rounds to 24 h in the products.
  const CalendarTime t = CalendarFromJulian(std::nextafter(1.0, 0.0) - 0.5, 0.0f);
  EXPECT_EQ(t.hour, 23);
  EXPECT_EQ(t.minute, 59);
  EXPECT_LT(t.seconds, 60.0f);
}

TEST(CalendarFromJulian, NonFiniteOrHugeInputGivesZeroFields) {
  for (double jd : {std::numeric_limits<double>::quiet_NaN(), std::numeric_limits<double>::infinity(),
                    -std::numeric_limits<double>::infinity(), 1e300, -1e300}) {
    const CalendarTime t = CalendarFromJulian(jd, 0.0f);
    EXPECT_EQ(t.year, 0);
    EXPECT_EQ(t.month, 0);
    EXPECT_EQ(t.day, 0);
  }
  EXPECT_EQ(CalendarFromJulian(kJ2000Midnight, std::numeric_limits<float>::quiet_NaN()).year, 0);
  EXPECT_EQ(CalendarFromJulian(kJ2000Midnight, 1e30f).year, 0);
  EXPECT_EQ(CalendarFromJulian(kJ2000Midnight, -std::numeric_limits<float>::max()).year, 0);
}

TEST(FormatDateTime, FormChosenByFractionAboveTenthOfMillisecond) {
  EXPECT_EQ(FormatDateTime(2000, 1, 1, 10, 20, 30.00005f, 0.0f), "2000/01/01 10:20:30(UTC)");
  EXPECT_EQ(FormatDateTime(2000, 1, 1, 10, 20, 30.0002f, 0.0f), "2000/01/01 10:20:30.000(UTC)");
  // Under a tenth of a millisecond past midnight is midnight.
  EXPECT_EQ(FormatDateTime(2000, 1, 1, 0, 0, 0.00005f, 0.0f), "2000/01/01(UTC)");
}

TEST(FormatDateTime, RoundedSecondsCarryInsteadOfShowingSixty) {
  // The fractional form stays; the minute is carried.
  EXPECT_EQ(FormatDateTime(2000, 1, 1, 0, 0, 59.99996f, 0.0f), "2000/01/01 00:01:00.000(UTC)");
  EXPECT_EQ(FormatDateTime(2000, 1, 1, 10, 59, 59.9996f, 0.0f), "2000/01/01 11:00:00.000(UTC)");
  // Integer form: a whole 60 carries as well.
  EXPECT_EQ(FormatDateTime(2000, 1, 1, 10, 59, 60.0f, 0.0f), "2000/01/01 11:00:00(UTC)");
  EXPECT_EQ(FormatDateTime(2000, 1, 1, 10, 30, 59.9994f, 0.0f), "2000/01/01 10:30:59.999(UTC)");
}

TEST(FormatDateTime, CarryCrossesDayMonthAndYear) {
  EXPECT_EQ(FormatDateTime(1999, 12, 31, 23, 59, 59.9995f, 0.0f), "2000/01/01 00:00:00.000(UTC)");
  EXPECT_EQ(FormatDateTime(2023, 12, 31, 23, 59, 59.9999f, 0.0f), "2024/01/01 00:00:00.000(UTC)");
  EXPECT_EQ(FormatDateTime(2023, 4, 30, 23, 59, 59.9999f, 3.0f), "2023/05/01 00:00:00.000(+3.00)");
  // Leap days: 1900 has none, 2000 has one.
  EXPECT_EQ(FormatDateTime(1900, 2, 28, 23, 59, 59.9999f, 0.0f), "1900/03/01 00:00:00.000(UTC)");
  EXPECT_EQ(FormatDateTime(2000, 2, 28, 23, 59, 59.9999f, 0.0f), "2000/02/29 00:00:00.000(UTC)");
  EXPECT_EQ(FormatDateTime(2000, 2, 29, 23, 59, 59.9999f, 0.0f), "2000/03/01 00:00:00.000(UTC)");
}

// 32-bit time of day printed instants within 3 ms of midnight as 24:00:00.
TEST(FormatJulianDay, InstantJustBeforeMidnightCarriesToNextDay) {
  const std::string text = FormatJulianDay(kJ2000Midnight - 0.0002 * kSecond, 0.0f);
  EXPECT_EQ(text, "2000/01/01 00:00:00.000(UTC)");
  EXPECT_EQ(FormatJulianDay(kJ2000Midnight + 0.5 - 0.0002 * kSecond, 0.0f),
            "2000/01/01 12:00:00.000(UTC)");
}

TEST(FormatDateTime, MalformedFieldsDoNotCrash) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  EXPECT_FALSE(FormatDateTime(2000, 13, 40, 23, 59, 59.9999f, 0.0f).empty());
  EXPECT_FALSE(FormatDateTime(2000, 1, 1, 10, 0, nan, nan).empty());
  EXPECT_FALSE(FormatDateTime(2000, 1, 1, 10, 0, 1e30f, 0.0f).empty());
  EXPECT_FALSE(FormatDateTime(2000, 1, 1, 10, 0, -1e30f, 0.0f).empty());
  EXPECT_FALSE(FormatDateTime(std::numeric_limits<int>::max(), 12, 31, 23, 59, 59.9999f, 0.0f).empty());
}

TEST(CurrentTimeText, BothLayouts) {
  EXPECT_TRUE(std::regex_match(CurrentTimeText(0),
                               std::regex(R"(\d{4}/\d{2}/\d{2} \d{2}:\d{2}:\d{2})")));
  EXPECT_TRUE(std::regex_match(CurrentTimeText(1), std::regex(R"(\d{14})")));
}

}  // namespace
}  // namespace qae
