// An error's text for a person, in UTF-8: messages from the database and the
// data files are GBK, the program's own are UTF-8. Text that is valid UTF-8 is
// taken as it is, anything else is read as GBK.
#pragma once

#include <string>
#include <string_view>

namespace app {

std::string ErrorTextUtf8(std::string_view what);

// True when bytes is well-formed UTF-8 (no overlong forms, no surrogates).
bool IsUtf8(std::string_view bytes);

}  // namespace app
