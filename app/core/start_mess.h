// The shared start-up text of the program (UTF-8). It is "" when the program
// starts, the splash window's message while the data module connects, "OK"
// once the connection is open, and "Lib" (the registry sub-key the connection
// dialog edits) when start-up falls back to that dialog.
#pragma once

#include <string>

namespace app {

extern std::string StartMess;

// Why the start-up connection failed, as the driver (or the registry layer)
// said it, in UTF-8; empty when it did not fail or gave no message. The
// connection dialog shows it below its fixed warnings.
extern std::string StartError;

}  // namespace app
