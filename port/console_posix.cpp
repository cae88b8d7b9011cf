// Terminals on POSIX systems: isatty(3) and termios.
#include <termios.h>
#include <unistd.h>

#include "port/console.h"

namespace port {

struct HiddenInput::Saved {
  termios settings{};
};

bool IsTerminal(std::FILE* stream) { return ::isatty(::fileno(stream)) != 0; }

HiddenInput::HiddenInput() {
  if (!::isatty(STDIN_FILENO)) return;
  auto saved = std::make_unique<Saved>();
  if (::tcgetattr(STDIN_FILENO, &saved->settings) != 0) return;
  termios quiet = saved->settings;
  quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
  quiet.c_lflag |= ECHONL;
  if (::tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet) == 0) saved_ = std::move(saved);
}

HiddenInput::~HiddenInput() {
  if (saved_) ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved_->settings);
}

std::string ArgumentUtf8(const std::string& arg) { return arg; }

void UseUtf8Console() {}

}  // namespace port
