// Local time from the C runtime's localtime_s; the UTC offset is the local
// time read back as if it were UTC, less the moment itself.
#include <time.h>

#include "port/local_time.h"

namespace port {

LocalTime ToLocalTime(std::time_t t) {
  LocalTime out;
  localtime_s(&out.tm, &t);
  std::tm copy = out.tm;
  out.utc_offset = static_cast<long>(_mkgmtime(&copy) - t);
  return out;
}

}  // namespace port
