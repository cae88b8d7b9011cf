// Narrow text to the W functions and back (Windows builds only): the
// narrow side is in the given code page (CP_ACP for paths as the command line
// gives them, 936 for GBK data).
#pragma once

#include <string>
#include <string_view>

namespace port {

std::wstring Widen(std::string_view narrow, unsigned code_page);
std::string Narrow(std::wstring_view wide, unsigned code_page);

}  // namespace port
