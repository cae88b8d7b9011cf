// The password of libupgrade-cli's login: from the option, the environment or
// a prompt that does not echo what is typed.
#include "cli/password.h"

#include <termios.h>
#include <unistd.h>

#include <cstdlib>
#include <iostream>
#include <stdexcept>

namespace cli {

namespace {

std::string Prompt() {
  const bool terminal = isatty(STDIN_FILENO) != 0;
  termios saved{};
  if (terminal) {
    std::cerr << "Password: " << std::flush;
    tcgetattr(STDIN_FILENO, &saved);
    termios quiet = saved;
    quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    quiet.c_lflag |= ECHONL;
    tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet);
  }
  std::string line;
  const bool got = static_cast<bool>(std::getline(std::cin, line));
  if (terminal) tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved);
  if (!got) throw std::runtime_error("no password given on standard input for --password -");
  if (!line.empty() && line.back() == '\r') line.pop_back();
  return line;
}

}  // namespace

std::optional<std::string> ResolvePassword(const std::optional<std::string>& option) {
  if (option) return *option == "-" ? Prompt() : *option;
  if (const char* env = std::getenv("LIBUPGRADE_PASSWORD")) return std::string(env);
  return std::nullopt;
}

}  // namespace cli
