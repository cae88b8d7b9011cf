// The computer's name from GetComputerNameA (the NetBIOS name SQL Server
// reports as @@SERVERNAME).
#include <windows.h>

#include "port/host_name.h"

namespace port {

std::string HostName() {
  char host[MAX_COMPUTERNAME_LENGTH + 1] = {};
  DWORD n = sizeof host;
  if (!::GetComputerNameA(host, &n) || n == 0) return "localhost";
  return std::string(host, n);
}

}  // namespace port
