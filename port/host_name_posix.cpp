// The host name from gethostname(2).
#include <unistd.h>

#include "port/host_name.h"

namespace port {

std::string HostName() {
  char host[256] = {};
  if (::gethostname(host, sizeof host - 1) != 0 || host[0] == '\0') return "localhost";
  return host;
}

}  // namespace port
