// The running program's path from /proc (Linux).
#include "port/program_path.h"

namespace port {

std::filesystem::path ProgramPath() {
  std::error_code ec;
  std::filesystem::path exe = std::filesystem::read_symlink("/proc/self/exe", ec);
  return ec ? std::filesystem::path() : exe;
}

}  // namespace port
