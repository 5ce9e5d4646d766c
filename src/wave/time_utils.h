// Julian day numbers to calendar fields and text, and the current local time
// as text. Times inside records are Julian day numbers (UTC) with a fraction
// of a day; the inverse conversion is in dsp/calendar.h.
#pragma once

#include <string>

namespace qae {

struct CalendarTime {
  int year = 0;
  int month = 0;
  int day = 0;
  int hour = 0;
  int minute = 0;
  float seconds = 0.0f;
};

// Calendar fields of `julian_day` shifted by `hour_offset` hours. The day is
// found with the Gregorian algorithm for every date; the time of day is
// computed in 64-bit floating point. Fields stay within 0..23, 0..59 and
// [0, 60) seconds. NaN, infinite or astronomically large input (beyond about
// 1e11 days, where the year would not fit an int) gives all-zero fields.
CalendarTime CalendarFromJulian(double julian_day, float hour_offset);

// "%04d/%02d/%02d" at exact midnight, "%04d/%02d/%02d %02d:%02d:%06.3f" when
// the seconds have a fraction above 0.0001, "%04d/%02d/%02d %02d:%02d:%02d"
// otherwise; then "(UTC)" for offset 0, else "(+%.2f)". Rounding of the
// seconds carries into minutes, hours and the date, so the text never shows
// 60 seconds, 60 minutes or 24 hours.
std::string FormatDateTime(int year, int month, int day, int hour, int minute, float seconds,
                           float hour_offset);
std::string FormatDateTime(const CalendarTime& t, float hour_offset);

// FormatDateTime(CalendarFromJulian(julian_day, hour_offset), hour_offset).
std::string FormatJulianDay(double julian_day, float hour_offset);

// The machine's local time: "%04d/%02d/%02d %02d:%02d:%02d" when `compact` is
// 0 (log lines), "%04d%02d%02d%02d%02d%02d" otherwise (file names).
std::string CurrentTimeText(int compact);

}  // namespace qae
