// The machine's network name, as @@SERVERNAME reports it.
#pragma once

#include <string>

namespace port {

// The host name, or "localhost" when the system gives none.
std::string HostName();

}  // namespace port
