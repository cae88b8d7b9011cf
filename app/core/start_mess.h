// The shared start-up text of the program (UTF-8). It is "" when the program
// starts, the splash window's message while the data module connects, "OK"
// once the connection is open, and "Lib" (the registry sub-key the connection
// dialog edits) when start-up falls back to that dialog.
#pragma once

#include <string>

namespace app {

extern std::string StartMess;

}  // namespace app
