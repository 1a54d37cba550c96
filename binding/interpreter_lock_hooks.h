// The queue library's blocking-wait hooks for the interpreter: a wait that
// has to block releases the interpreter lock for the wait alone, and the
// signal handlers of a signal that arrives meanwhile run at once. A handler
// that raises (Ctrl-C) ends the wait with that exception; one that returns
// lets it go on with the time it has left (PEP 475).
#pragma once

namespace mox::ipc_queue {

// Once, when the module is imported.
void install_interpreter_lock_hooks();

}  // namespace mox::ipc_queue
