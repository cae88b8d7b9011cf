// The running program's path from GetModuleFileNameW.
#include <windows.h>

#include <string>

#include "port/program_path.h"

namespace port {

std::filesystem::path ProgramPath() {
  std::wstring buf(MAX_PATH, L'\0');
  for (;;) {
    const DWORD n = ::GetModuleFileNameW(nullptr, buf.data(), static_cast<DWORD>(buf.size()));
    if (n == 0) return {};
    if (n < buf.size()) {
      buf.resize(n);
      return std::filesystem::path(buf);
    }
    buf.resize(buf.size() * 2);  // cut short: try a larger buffer
  }
}

}  // namespace port
