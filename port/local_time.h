// The local calendar time of the machine, with its distance from UTC.
#pragma once

#include <ctime>

namespace port {

struct LocalTime {
  std::tm tm{};             // broken-down local time
  long utc_offset = 0;      // seconds east of UTC in force at that moment
};

LocalTime ToLocalTime(std::time_t t);

}  // namespace port
