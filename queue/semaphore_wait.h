// Waiting on a named semaphore: the one place where a queue operation blocks.
//
// A wait first tries to take the semaphore without blocking; only when that
// fails does it block (without limit, or until a CLOCK_REALTIME deadline).
// An embedding runtime can hook the blocking part: the Python module uses
// this to release the interpreter lock for the wait alone.
#pragma once

#include <semaphore.h>

#include <cstdint>

namespace mox::ipc_queue {

// Called around a wait that has to block; `leave` gets the wait's result
// (0 or an errno value) and may throw only when the result is not 0.
struct BlockingWaitHooks {
    void* (*enter)();
    void (*leave)(void* state, int result);
};

// Installs hooks for every later blocking wait in this process; null removes them.
void set_blocking_wait_hooks(const BlockingWaitHooks* hooks);

// Waits on `sem`; timeout_ms 0 means no limit. Returns 0 when taken,
// ETIMEDOUT when the deadline passed, otherwise the errno of the failed wait
// (EINTR included: an interrupted wait is a failure and is not retried).
int wait_semaphore(sem_t* sem, uint32_t timeout_ms);

}  // namespace mox::ipc_queue
