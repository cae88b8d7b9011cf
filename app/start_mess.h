// The shared start-up text of the program. It is "" when the program starts,
// the splash window's message while the data module connects, "OK" once the
// connection is open, and "Lib" (the registry sub-key the connection dialog
// edits) when start-up falls back to that dialog.
#pragma once

#include <QString>

namespace app {

extern QString StartMess;

}  // namespace app
