// Ending this process at once, as a crash or a kill would: no destructors, no
// flushing of buffers, no exit handlers. The fault hook uses it to stop a run
// between two statements.
#pragma once

namespace port {

[[noreturn]] void KillThisProcess();

}  // namespace port
