// The Windows console: console modes and the console's output code page.
#include <io.h>
#include <windows.h>

#include "port/console.h"
#include "port/wide.h"

namespace port {

struct HiddenInput::Saved {
  HANDLE input = nullptr;
  DWORD mode = 0;
};

bool IsTerminal(std::FILE* stream) { return ::_isatty(::_fileno(stream)) != 0; }

HiddenInput::HiddenInput() {
  HANDLE in = ::GetStdHandle(STD_INPUT_HANDLE);
  DWORD mode = 0;
  if (in == INVALID_HANDLE_VALUE || !::GetConsoleMode(in, &mode)) return;  // not a console
  if (::SetConsoleMode(in, mode & ~static_cast<DWORD>(ENABLE_ECHO_INPUT)))
    saved_ = std::make_unique<Saved>(Saved{in, mode});
}

HiddenInput::~HiddenInput() {
  if (!saved_) return;
  ::SetConsoleMode(saved_->input, saved_->mode);
  // The console did not echo the line's end either.
  std::fputs("\n", stderr);
}

std::string ArgumentUtf8(const std::string& arg) {
  return Narrow(Widen(arg, CP_ACP), CP_UTF8);
}

void UseUtf8Console() {
  DWORD mode = 0;
  if (::GetConsoleMode(::GetStdHandle(STD_OUTPUT_HANDLE), &mode)) ::SetConsoleOutputCP(CP_UTF8);
}

}  // namespace port
