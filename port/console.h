// The console as the command-line program uses it: whether a stream is a
// terminal, typing a password unseen, and text that reaches a person.
#pragma once

#include <cstdio>
#include <memory>
#include <string>

namespace port {

bool IsTerminal(std::FILE* stream);

// While alive, what is typed on the terminal at standard input is not shown
// (the line's end still moves to the next line). Does nothing when standard
// input is not a terminal.
class HiddenInput {
 public:
  HiddenInput();
  ~HiddenInput();
  HiddenInput(const HiddenInput&) = delete;
  HiddenInput& operator=(const HiddenInput&) = delete;

 private:
  struct Saved;  // the terminal's settings before, per system
  std::unique_ptr<Saved> saved_;
};

// Text typed on the command line, as UTF-8: the argument itself where the
// terminal is UTF-8 (POSIX); on Windows, converted from the ANSI code page the
// C runtime gives arguments in (936 on the library's workstations).
std::string ArgumentUtf8(const std::string& arg);

// Makes a console window show the UTF-8 the program writes (Windows consoles
// use the ANSI code page otherwise); nothing elsewhere.
void UseUtf8Console();

}  // namespace port
