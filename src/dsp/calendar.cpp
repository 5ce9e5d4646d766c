#include "dsp/calendar.h"

#include <cmath>
#include <limits>

namespace qae {

namespace {

// Saturates to the int32 range and maps NaN to 0: a plain cast of an
// out-of-range double is undefined behaviour, and sample offsets computed
// from corrupt headers can be arbitrarily large.
int32_t SaturateToInt32(double whole) {
  if (std::isnan(whole)) return 0;
  constexpr double kMin = static_cast<double>(std::numeric_limits<int32_t>::min());
  constexpr double kMax = static_cast<double>(std::numeric_limits<int32_t>::max());
  if (whole <= kMin) return std::numeric_limits<int32_t>::min();
  if (whole >= kMax) return std::numeric_limits<int32_t>::max();
  return static_cast<int32_t>(whole);
}

bool IsLeapYear(int year) { return year % 4 == 0 && (year % 100 != 0 || year % 400 == 0); }

}  // namespace

// The half is added in double so that 0.49999997f does not round up to 1.
int32_t RoundFloatToInt(float x) { return SaturateToInt32(std::floor(static_cast<double>(x) + 0.5)); }

int32_t RoundDoubleToInt(double x) { return SaturateToInt32(std::floor(x + 0.5)); }

int32_t FloorToInt(double x) { return SaturateToInt32(std::floor(x)); }

int DayOfYear(int year, int month, int day) {
  static constexpr int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  // A month beyond December counts the whole year before it; never index
  // past the table.
  const int months_before = month < 1 ? 0 : (month > 13 ? 12 : month - 1);
  int64_t total = day;
  for (int m = 0; m < months_before; ++m) total += kDays[m];
  if (months_before >= 2 && IsLeapYear(year)) ++total;
  if (total > std::numeric_limits<int>::max()) return std::numeric_limits<int>::max();
  if (total < std::numeric_limits<int>::min()) return std::numeric_limits<int>::min();
  return static_cast<int>(total);
}

double JulianDay(int year, int month, int day, int hour, int minute, float seconds,
                 float hour_offset) {
  // Integer parts in 64 bits so that no year or month overflows; divisions of
  // integers truncate toward zero as the day-number formula requires.
  const int64_t y = year;
  const int64_t mo = month;
  const int64_t x = (mo - 14) / 12;
  const double a = std::trunc(static_cast<double>((y + 4800 + x) * 1461) * 0.25);
  const double b = static_cast<double>(day) - 32075.5;
  const double c = static_cast<double>((mo - 2 - 12 * x) * 367 / 12);
  const double d = std::trunc(static_cast<double>((y + 4900 + x) / 100 * 3) * 0.25);
  return a + b + c - d + static_cast<double>(hour) / 24.0 + static_cast<double>(minute) / 1440.0 +
         static_cast<double>(seconds) / 86400.0 - static_cast<double>(hour_offset) / 24.0;
}

}  // namespace qae
