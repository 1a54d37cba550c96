#include "interpreter_lock_hooks.h"

#include <pybind11/pybind11.h>

#include "closable_python_queue.h"
#include "ipc_queue_exception.h"
#include "semaphore_wait.h"

namespace mox::ipc_queue {

namespace py = pybind11;

namespace {

// Only a thread that holds the interpreter lock gives it up; C++ threads of
// an embedding program that never entered Python pass straight through.
void* release_interpreter_lock() {
    if (PyGILState_Check() == 0) return nullptr;
    return PyEval_SaveThread();
}

void reacquire_interpreter_lock(void* state) { PyEval_RestoreThread(static_cast<PyThreadState*>(state)); }

// A signal may have arrived (it broke the sleep, or another thread caught
// it): its handlers run now. One that raises ends the wait with its
// exception; one that returns lets the wait go on with the time it has left
// (PEP 475). A close() of the object meanwhile ends the wait as well.
void* run_signal_handlers(void* state) {
    PyEval_RestoreThread(static_cast<PyThreadState*>(state));
    if (PyErr_CheckSignals() != 0) throw py::error_already_set();
    if (const bool* closing = close_requested_in_this_thread(); closing != nullptr && *closing)
        throw IPCQueueException("queue is closed");
    return PyEval_SaveThread();
}

const BlockingWaitHooks kInterpreterLockHooks{release_interpreter_lock, reacquire_interpreter_lock,
                                              run_signal_handlers};

}  // namespace

void install_interpreter_lock_hooks() { set_blocking_wait_hooks(&kInterpreterLockHooks); }

}  // namespace mox::ipc_queue
