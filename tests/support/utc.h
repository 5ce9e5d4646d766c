// Seconds since 1970 of a UTC calendar time, the reference the tests check
// record times against (timegm, which Windows lacks).
#pragma once

#include <chrono>
#include <cstdint>
#include <ctime>

namespace qae::test {

inline int64_t UtcSeconds(const std::tm& t) {
  using namespace std::chrono;
  const sys_days day = year{t.tm_year + 1900} / month{static_cast<unsigned>(t.tm_mon + 1)} /
                       std::chrono::day{static_cast<unsigned>(t.tm_mday)};
  return static_cast<int64_t>(day.time_since_epoch().count()) * 86400 + t.tm_hour * 3600 +
         t.tm_min * 60 + t.tm_sec;
}

}  // namespace qae::test
