#include "wave/time_utils.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <ctime>

#include "util/local_time.h"
#include "util/text.h"

namespace qae {

namespace {

// Beyond this many days from the epoch the year no longer fits an int; such
// input (and NaN/inf) yields an all-zero CalendarTime instead of UB in the
// conversions below.
constexpr double kMaxJulianMagnitude = 1.0e11;

bool IsLeapYear(int year) { return year % 4 == 0 && (year % 100 != 0 || year % 400 == 0); }

// 0 for a month outside 1..12, so a malformed date is never rolled over.
int DaysInMonth(int year, int month) {
  static constexpr int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (month < 1 || month > 12) return 0;
  if (month == 2 && IsLeapYear(year)) return 29;
  return kDays[month - 1];
}

// floor(x) as int, saturating; NaN gives 0.
int SafeFloor(double x) {
  if (std::isnan(x)) return 0;
  const double f = std::floor(x);
  if (f <= static_cast<double>(INT_MIN)) return INT_MIN;
  if (f >= static_cast<double>(INT_MAX)) return INT_MAX;
  return static_cast<int>(f);
}

// Carries one minute into the hour, day, month and year. Only a field that
// reaches its limit through the carry is wrapped; fields that were already out
// of range are left as given.
void CarryMinute(int& year, int& month, int& day, int& hour, int& minute) {
  if (minute == INT_MAX) return;
  if (++minute != 60) return;
  minute = 0;
  if (hour == INT_MAX) return;
  if (++hour != 24) return;
  hour = 0;
  const int month_length = DaysInMonth(year, month);
  if (month_length == 0 || day == INT_MAX) return;
  if (++day <= month_length) return;
  day = 1;
  if (++month <= 12) return;
  month = 1;
  if (year != INT_MAX) ++year;
}

}  // namespace

CalendarTime CalendarFromJulian(double julian_day, float hour_offset) {
  CalendarTime t;
  if (!std::isfinite(julian_day) || !std::isfinite(hour_offset) ||
      std::fabs(julian_day) > kMaxJulianMagnitude) {
    return t;
  }
  // z = floor(julian_day + offset/24 + 0.5) and the fraction of the day, with
  // the half day and the offset added to the small fraction rather than to
  // the large day number, where -5/24 alone would cost 20 us and turn
  // 19:00:00 into 18:59:59.99998.
  const double whole_days = std::floor(julian_day);
  const double shifted =
      (julian_day - whole_days) + 0.5 + static_cast<double>(hour_offset) / 24.0;
  const double carry_days = std::floor(shifted);
  const double z = whole_days + carry_days;
  const double day_fraction = shifted - carry_days;
  if (std::fabs(z) > kMaxJulianMagnitude) return t;

  // Gregorian day from the day number (the correction applies to every date).
  const double alpha = std::floor((z - 1867216.25) / 36524.25);
  const double a = std::floor(z + 1.0 + alpha - std::floor(alpha / 4.0));
  const double b = a + 1524.0;
  const double c = std::floor((b - 122.1) / 365.25);
  const double d = std::floor(365.25 * c);
  const double e = std::floor((b - d) / 30.6001);
  t.day = static_cast<int>(b - d - std::floor(30.6001 * e));
  t.month = static_cast<int>(e < 13.5 ? e - 1.0 : e - 13.0);
  t.year = static_cast<int>(t.month > 2 ? c - 4716.0 : c - 4715.0);

  // Time of day in double: in float it drifts by up to 3 ms, so whole seconds
  // came out as x.997 and instants just before midnight as 24:00:00.
  const double h = day_fraction * 24.0;
  // The clamps keep a fraction of a day that rounds up to 1 from yielding
  // hour 24, minute 60 or negative seconds.
  const double hour = std::min(std::floor(h), 23.0);
  const double m = std::max((h - hour) * 60.0, 0.0);
  const double minute = std::min(std::floor(m), 59.0);
  const double seconds = std::max((m - minute) * 60.0, 0.0);
  t.hour = static_cast<int>(hour);
  t.minute = static_cast<int>(minute);
  // Stored as float, which can round 59.999998 up to 60: keep the field a
  // valid second of the minute; the text rounds it up and carries anyway.
  t.seconds = std::min(static_cast<float>(seconds), std::nextafter(60.0f, 0.0f));
  return t;
}

std::string FormatDateTime(int year, int month, int day, int hour, int minute, float seconds,
                           float hour_offset) {
  std::string text;
  const double secs = static_cast<double>(seconds);
  if (secs < 0.0001 && minute == 0 && hour == 0) {
    text = StrPrintf("%04d/%02d/%02d", year, month, day);
  } else if (secs - std::floor(secs) > 0.0001) {
    // Round to the printed milliseconds first so that 59.9996 shows as 00.000
    // of the next minute rather than as 60.000.
    double shown = std::round(secs * 1000.0) / 1000.0;
    if (shown >= 60.0 && shown < 120.0) {
      shown -= 60.0;
      CarryMinute(year, month, day, hour, minute);
    }
    text = StrPrintf("%04d/%02d/%02d %02d:%02d:%06.3f", year, month, day, hour, minute, shown);
  } else {
    int whole = SafeFloor(secs);
    if (whole >= 60 && whole < 120) {
      whole -= 60;
      CarryMinute(year, month, day, hour, minute);
    }
    text = StrPrintf("%04d/%02d/%02d %02d:%02d:%02d", year, month, day, hour, minute, whole);
  }
  if (hour_offset == 0.0f) {
    text += "(UTC)";
  } else {
    text += StrPrintf("(+%.2f)", static_cast<double>(hour_offset));
  }
  return text;
}

std::string FormatDateTime(const CalendarTime& t, float hour_offset) {
  return FormatDateTime(t.year, t.month, t.day, t.hour, t.minute, t.seconds, hour_offset);
}

std::string FormatJulianDay(double julian_day, float hour_offset) {
  return FormatDateTime(CalendarFromJulian(julian_day, hour_offset), hour_offset);
}

std::string CurrentTimeText(int compact) {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  if (now == static_cast<std::time_t>(-1) || !LocalTimeOf(now, &local)) local = std::tm{};
  const int year = local.tm_year + 1900;
  const int month = local.tm_mon + 1;
  if (compact == 0) {
    return StrPrintf("%04d/%02d/%02d %02d:%02d:%02d", year, month, local.tm_mday, local.tm_hour,
                     local.tm_min, local.tm_sec);
  }
  return StrPrintf("%04d%02d%02d%02d%02d%02d", year, month, local.tm_mday, local.tm_hour,
                   local.tm_min, local.tm_sec);
}

}  // namespace qae
