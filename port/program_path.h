// Where the running program lives, for the data files kept beside it.
#pragma once

#include <filesystem>

namespace port {

// The full path of the running executable; empty when the system cannot say.
std::filesystem::path ProgramPath();

}  // namespace port
