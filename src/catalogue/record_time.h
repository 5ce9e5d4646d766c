// Absolute times of records: the start a SEG-2 header gives, as
// microseconds since 1970-01-01 UTC, and ISO 8601 text.
#pragma once

#include <cstdint>
#include <string>

#include "wave/wave_header.h"

namespace qae {

// The record start: ACQUISITION_DATE ("YYYY/MM/DD" as this system writes it,
// or "DD/MM/YYYY" and "DD/MON/YYYY" as other recorders do), ACQUISITION_TIME
// ("HH:MM:SS" with an optional fraction; missing minutes or seconds are 0),
// plus TIME_SEC_USEC microseconds. False when the date cannot be read or a
// field is out of range.
bool RecordStartMicros(const WaveHeader& header, int64_t* micros);
bool RecordStartMicros(const std::string& date, const std::string& time, int32_t usec,
                       int64_t* micros);

// Microseconds since 1970 of a calendar date at midnight (proleptic
// Gregorian).
int64_t MicrosOfDate(int year, int month, int day);

// "YYYY-MM-DDTHH:MM:SS.ffffffZ".
std::string IsoTimeFromMicros(int64_t micros);

// Microseconds per unit for "us", "ms", "s"; 0 for anything else.
double MicrosecondsPerUnit(const std::string& unit);

}  // namespace qae
