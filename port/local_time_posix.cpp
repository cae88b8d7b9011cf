// Local time from localtime_r, whose tm_gmtoff gives the UTC offset.
#include "port/local_time.h"

namespace port {

LocalTime ToLocalTime(std::time_t t) {
  LocalTime out;
  localtime_r(&t, &out.tm);
  out.utc_offset = out.tm.tm_gmtoff;
  return out;
}

}  // namespace port
