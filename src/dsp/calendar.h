// Rounding helpers, day of year, and calendar date to Julian day number.
#pragma once

#include <cstdint>

#include "wave/time_utils.h"

namespace qae {

// floor(x + 0.5) as a 32-bit integer (2.5 -> 3, -2.5 -> -2).
int32_t RoundFloatToInt(float x);
int32_t RoundDoubleToInt(double x);
// floor(x) as a 32-bit integer.
int32_t FloorToInt(double x);

// Day number within the year, 1 for 1 January (Gregorian leap years).
int DayOfYear(int year, int month, int day);

// Julian day number with fraction of the given local date and time, where
// the local time is `hour_offset` hours ahead of UTC. 2000-01-01 00:00 UTC
// is 2451544.5.
double JulianDay(int year, int month, int day, int hour, int minute, float seconds,
                 float hour_offset);

}  // namespace qae
