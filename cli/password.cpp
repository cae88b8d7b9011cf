// The password of libupgrade-cli's login: from the option, the environment or
// a prompt that does not echo what is typed.
#include "cli/password.h"

#include <cstdlib>
#include <iostream>
#include <stdexcept>

#include "port/console.h"

namespace cli {

namespace {

std::string Prompt() {
  if (port::IsTerminal(stdin)) std::cerr << "Password: " << std::flush;
  std::string line;
  bool got;
  {
    port::HiddenInput hidden;
    got = static_cast<bool>(std::getline(std::cin, line));
  }
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
