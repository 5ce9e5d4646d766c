#include "dsp/calendar.h"

#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <limits>
#include <sstream>
#include <string>
#include <vector>

namespace qae {
namespace {

TEST(Rounding, HalfRoundsTowardPlusInfinity) {
  EXPECT_EQ(RoundFloatToInt(2.5f), 3);
  EXPECT_EQ(RoundFloatToInt(-2.5f), -2);
  EXPECT_EQ(RoundFloatToInt(-2.6f), -3);
  EXPECT_EQ(RoundFloatToInt(0.49999997f), 0);  // 0.49999997f + 0.5f is 1.0f in float
  EXPECT_EQ(RoundDoubleToInt(2.5), 3);
  EXPECT_EQ(RoundDoubleToInt(-2.5), -2);
  EXPECT_EQ(FloorToInt(-0.5), -1);
  EXPECT_EQ(FloorToInt(2.999), 2);
}

TEST(Rounding, OutOfRangeSaturatesAndNanIsZero) {
  constexpr int32_t kMax = std::numeric_limits<int32_t>::max();
  constexpr int32_t kMin = std::numeric_limits<int32_t>::min();
  const double inf = std::numeric_limits<double>::infinity();
  const double nan = std::numeric_limits<double>::quiet_NaN();
  EXPECT_EQ(RoundFloatToInt(3e9f), kMax);
  EXPECT_EQ(RoundFloatToInt(-3e9f), kMin);
  EXPECT_EQ(RoundFloatToInt(std::numeric_limits<float>::quiet_NaN()), 0);
  EXPECT_EQ(RoundDoubleToInt(1e300), kMax);
  EXPECT_EQ(RoundDoubleToInt(-inf), kMin);
  EXPECT_EQ(RoundDoubleToInt(nan), 0);
  EXPECT_EQ(FloorToInt(inf), kMax);
  EXPECT_EQ(FloorToInt(-1e300), kMin);
  EXPECT_EQ(FloorToInt(nan), 0);
  EXPECT_EQ(FloorToInt(2147483646.5), 2147483646);
  EXPECT_EQ(FloorToInt(-2147483648.5), kMin);
}

TEST(DayOfYear, CenturyLeapRule) {
  EXPECT_EQ(DayOfYear(1900, 3, 1), 60);
  EXPECT_EQ(DayOfYear(2000, 3, 1), 61);
  EXPECT_EQ(DayOfYear(2001, 3, 1), 60);
  EXPECT_EQ(DayOfYear(2004, 3, 1), 61);
  EXPECT_EQ(DayOfYear(2004, 2, 29), 60);  // the leap day itself is not shifted
  EXPECT_EQ(DayOfYear(2100, 12, 31), 365);
  EXPECT_EQ(DayOfYear(2000, 12, 31), 366);
}

TEST(DayOfYear, MalformedMonthStaysInTable) {
  EXPECT_EQ(DayOfYear(2001, 0, 5), 5);
  EXPECT_EQ(DayOfYear(2001, -7, 5), 5);
  EXPECT_EQ(DayOfYear(2001, 13, 1), 366);
  EXPECT_EQ(DayOfYear(2001, std::numeric_limits<int>::max(), 1), 366);
  EXPECT_EQ(DayOfYear(2000, 12, std::numeric_limits<int>::max()), std::numeric_limits<int>::max());
}

TEST(JulianDay, OffsetIsSubtracted) {
  EXPECT_EQ(JulianDay(2000, 1, 1, 0, 0, 0.0f, 0.0f), 2451544.5);
  EXPECT_EQ(JulianDay(2000, 1, 1, 12, 0, 0.0f, 0.0f), 2451545.0);
  // 09:00 at UTC+9 is midnight UTC.
  EXPECT_DOUBLE_EQ(JulianDay(2000, 1, 1, 9, 0, 0.0f, 9.0f), 2451544.5);
  EXPECT_TRUE(std::isfinite(JulianDay(std::numeric_limits<int>::max(),
                                      std::numeric_limits<int>::min(), 1, 0, 0, 0.0f, 0.0f)));
}

void ExpectCalendar(const CalendarTime& t, int year, int month, int day, int hour, int minute,
                    double seconds, double tolerance_s) {
  EXPECT_EQ(t.year, year);
  EXPECT_EQ(t.month, month);
  EXPECT_EQ(t.day, day);
  EXPECT_EQ(t.hour, hour);
  EXPECT_EQ(t.minute, minute);
  EXPECT_NEAR(t.seconds, seconds, tolerance_s);
}

TEST(JulianDay, RoundTripThroughCalendarWithOffsets) {
  struct Case {
    int year, month, day, hour, minute;
    float seconds, offset;
  };
  const Case cases[] = {{1900, 2, 28, 23, 59, 59.5f, 0.0f}, {1999, 12, 31, 23, 59, 59.999f, 0.0f},
                        {2000, 2, 29, 0, 0, 0.001f, 9.0f},  {2024, 7, 1, 3, 4, 5.678f, -5.0f},
                        {2100, 3, 1, 5, 0, 0.0f, 5.5f},     {1600, 1, 1, 12, 0, 0.25f, 0.0f}};
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.year << "-" << c.month << "-" << c.day << " " << c.hour
                                    << ":" << c.minute << ":" << c.seconds << " offset "
                                    << c.offset);
    const double jd = JulianDay(c.year, c.month, c.day, c.hour, c.minute, c.seconds, c.offset);
    ExpectCalendar(CalendarFromJulian(jd, c.offset), c.year, c.month, c.day, c.hour, c.minute,
                   c.seconds, 1e-4);
  }
}

TEST(JulianDay, SampleStepsCrossMidnightMonthAndYear) {
  const double dt = 0.001;  // seconds per sample
  // 1000 samples after 2023-12-31 23:59:59.5 is 2024-01-01 00:00:00.5.
  double jd = JulianDay(2023, 12, 31, 23, 59, 59.5f, 0.0f) + 1000 * dt / 86400.0;
  ExpectCalendar(CalendarFromJulian(jd, 0.0f), 2024, 1, 1, 0, 0, 0.5, 1e-4);
  // Non-leap and leap February.
  jd = JulianDay(2023, 2, 28, 23, 59, 59.75f, 0.0f) + 500 * dt / 86400.0;
  ExpectCalendar(CalendarFromJulian(jd, 0.0f), 2023, 3, 1, 0, 0, 0.25, 1e-4);
  jd = JulianDay(2024, 2, 28, 23, 59, 59.75f, 0.0f) + 500 * dt / 86400.0;
  ExpectCalendar(CalendarFromJulian(jd, 0.0f), 2024, 2, 29, 0, 0, 0.25, 1e-4);
  // A long run of microsecond samples accumulates no drift beyond rounding.
  jd = JulianDay(2024, 4, 30, 23, 59, 59.0f, 0.0f) + 2500000 * 1e-6 / 86400.0;
  ExpectCalendar(CalendarFromJulian(jd, 0.0f), 2024, 5, 1, 0, 0, 1.5, 1e-4);
}

struct ReferenceRow {
  std::string id;
  double jd = 0.0;
  double jd_exact = 0.0;
  int year = 0, month = 0, day = 0, hour = 0, minute = 0;
  double second = 0.0;
  int doy = 0;
};

std::vector<ReferenceRow> LoadReference() {
  std::vector<ReferenceRow> rows;
  std::ifstream in(QAE_TEST_DATA_DIR "/julian/julian_reference.csv", std::ios::binary);
  std::string line;
  if (!std::getline(in, line)) return rows;  // header
  while (std::getline(in, line)) {
    std::vector<std::string> f;
    std::stringstream ss(line);
    std::string cell;
    while (std::getline(ss, cell, ',')) f.push_back(cell);
    if (f.size() < 10) continue;
    ReferenceRow r;
    r.id = f[0];
    r.jd = std::stod(f[1]);
    r.jd_exact = std::stod(f[2]);
    r.year = std::stoi(f[3]);
    r.month = std::stoi(f[4]);
    r.day = std::stoi(f[5]);
    r.hour = std::stoi(f[6]);
    r.minute = std::stoi(f[7]);
    r.second = std::stod(f[8]);
    r.doy = std::stoi(f[9]);
    rows.push_back(r);
  }
  return rows;
}

// Instants 1900-2100 computed independently, many within a millisecond of a
// day, month or year boundary.
TEST(JulianDay, AgreesWithIndependentReference) {
  const std::vector<ReferenceRow> rows = LoadReference();
  ASSERT_EQ(rows.size(), 200u);
  // A double near 2.4e6 days resolves 40 us; 1e-9 day (86 us) covers that
  // and the float seconds. Calendar seconds likewise to within 0.1 ms.
  constexpr double kDayTolerance = 1e-9;
  constexpr double kSecondTolerance = 1e-4;
  for (const ReferenceRow& r : rows) {
    SCOPED_TRACE("row " + r.id);
    EXPECT_NEAR(JulianDay(r.year, r.month, r.day, r.hour, r.minute, static_cast<float>(r.second),
                          0.0f),
                r.jd_exact, kDayTolerance);
    ExpectCalendar(CalendarFromJulian(r.jd, 0.0f), r.year, r.month, r.day, r.hour, r.minute,
                   r.second, kSecondTolerance);
    EXPECT_EQ(DayOfYear(r.year, r.month, r.day), r.doy);
  }
}

}  // namespace
}  // namespace qae
