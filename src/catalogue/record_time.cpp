#include "catalogue/record_time.h"

#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string_view>
#include <vector>

#include "util/text.h"

namespace qae {

namespace {

constexpr int64_t kMicrosPerDay = int64_t{86400} * 1000000;

// Days since 1970-01-01 of a proleptic Gregorian date (Hinnant's algorithm).
int64_t DaysFromCivil(int64_t y, int m, int d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const int64_t yoe = y - era * 400;
  const int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

void CivilFromDays(int64_t z, int64_t* y, int* m, int* d) {
  z += 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const int64_t doe = z - era * 146097;
  const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const int64_t mp = (5 * doy + 2) / 153;
  *d = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  *m = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  *y = yoe + era * 400 + (*m <= 2);
}

int DaysInMonth(int year, int month) {
  static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
  return month == 2 && leap ? 29 : kDays[month - 1];
}

int MonthOfName(std::string_view name) {
  static const char* const kNames[] = {"JAN", "FEB", "MAR", "APR", "MAY", "JUN",
                                       "JUL", "AUG", "SEP", "OCT", "NOV", "DEC"};
  if (name.size() != 3) return 0;
  for (int i = 0; i < 12; ++i) {
    if (StartsWithNoCase(name, kNames[i])) return i + 1;
  }
  return 0;
}

std::string_view Trim(std::string_view s) {
  while (!s.empty() && std::isspace(static_cast<unsigned char>(s.front()))) s.remove_prefix(1);
  while (!s.empty() && std::isspace(static_cast<unsigned char>(s.back()))) s.remove_suffix(1);
  return s;
}

bool AllDigits(std::string_view s) {
  if (s.empty() || s.size() > 4) return false;
  for (char c : s) {
    if (!std::isdigit(static_cast<unsigned char>(c))) return false;
  }
  return true;
}

bool ParseDate(std::string_view text, int* year, int* month, int* day) {
  std::vector<std::string_view> parts;
  std::string_view rest = Trim(text);
  while (true) {
    const std::size_t sep = rest.find_first_of("/-.");
    parts.push_back(Trim(rest.substr(0, sep)));
    if (sep == std::string_view::npos) break;
    rest = rest.substr(sep + 1);
  }
  if (parts.size() != 3) return false;
  const auto num = [](std::string_view s) { return std::atoi(std::string(s).c_str()); };
  int y = 0;
  int m = 0;
  int d = 0;
  if (parts[0].size() == 4 && AllDigits(parts[0]) && AllDigits(parts[1]) && AllDigits(parts[2])) {
    y = num(parts[0]);  // YYYY/MM/DD, as this system writes it
    m = num(parts[1]);
    d = num(parts[2]);
  } else if (parts[2].size() == 4 && AllDigits(parts[2]) && AllDigits(parts[0])) {
    y = num(parts[2]);  // DD/MON/YYYY or DD/MM/YYYY, as recorders write it
    d = num(parts[0]);
    m = AllDigits(parts[1]) ? num(parts[1]) : MonthOfName(parts[1]);
  } else {
    return false;
  }
  if (y < 1 || m < 1 || m > 12 || d < 1 || d > DaysInMonth(y, m)) return false;
  *year = y;
  *month = m;
  *day = d;
  return true;
}

// "H[:M[:S[.f]]]" (an empty time is midnight) as microseconds of the day.
bool ParseTimeOfDay(std::string_view text, int64_t* micros) {
  const std::string t(Trim(text));
  if (t.empty()) {
    *micros = 0;
    return true;
  }
  int hour = 0;
  int minute = 0;
  double seconds = 0;
  char tail = 0;
  const int n = std::sscanf(t.c_str(), "%d:%d:%lf%c", &hour, &minute, &seconds, &tail);
  if (n < 1 || n > 3) return false;
  if (n == 2 && t.find(':') == std::string::npos) return false;
  if (hour < 0 || hour > 23 || minute < 0 || minute > 59 || !(seconds >= 0 && seconds < 61)) {
    return false;
  }
  *micros = (int64_t{hour} * 3600 + minute * 60) * 1000000 + std::llround(seconds * 1e6);
  return true;
}

}  // namespace

int64_t MicrosOfDate(int year, int month, int day) {
  return DaysFromCivil(year, month, day) * kMicrosPerDay;
}

bool RecordStartMicros(const std::string& date, const std::string& time, int32_t usec,
                       int64_t* micros) {
  int year = 0;
  int month = 0;
  int day = 0;
  int64_t of_day = 0;
  if (!ParseDate(date, &year, &month, &day) || !ParseTimeOfDay(time, &of_day)) return false;
  *micros = MicrosOfDate(year, month, day) + of_day + usec;
  return true;
}

bool RecordStartMicros(const WaveHeader& header, int64_t* micros) {
  return RecordStartMicros(std::string(TextOf(header.acquisitionDate)),
                           std::string(TextOf(header.acquisitionTime)), header.timeUsec, micros);
}

std::string IsoTimeFromMicros(int64_t micros) {
  int64_t days = micros / kMicrosPerDay;
  int64_t rem = micros % kMicrosPerDay;
  if (rem < 0) {
    rem += kMicrosPerDay;
    --days;
  }
  int64_t year = 0;
  int month = 0;
  int day = 0;
  CivilFromDays(days, &year, &month, &day);
  const int64_t secs = rem / 1000000;
  return StrPrintf("%04lld-%02d-%02dT%02lld:%02lld:%02lld.%06lldZ", static_cast<long long>(year),
                   month, day, static_cast<long long>(secs / 3600),
                   static_cast<long long>(secs / 60 % 60), static_cast<long long>(secs % 60),
                   static_cast<long long>(rem % 1000000));
}

double MicrosecondsPerUnit(const std::string& unit) {
  if (unit == "us") return 1.0;
  if (unit == "ms") return 1e3;
  if (unit == "s") return 1e6;
  return 0.0;
}

}  // namespace qae
