// Waiting on a named semaphore: the one place where a queue operation blocks.
//
// A wait first tries to take the semaphore without blocking, then polls it
// for a short, bounded time, and only then blocks (without limit, or until
// a CLOCK_REALTIME deadline), in sleeps of at most kRecheckMs. A peer that is busy writing or reading usually
// posts within a microsecond or two, and catching that post by polling saves
// the sleep and the wake-up: a futex call on each side and a pass through
// the scheduler, several microseconds. The poll adapts per thread (see the
// .cpp), so a waiter that would only burn its CPU soon stops polling.
// An embedding runtime can hook the blocking part: the Python module uses
// this to release the interpreter lock for the wait alone.
#pragma once

#include <semaphore.h>

#include <cstdint>
#include <exception>

namespace mox::ipc_queue {

// The longest a wait polls before it blocks, in nanoseconds.
inline constexpr int64_t kWaitSpinNs = 10000;

// The longest one sleep lasts before the semaphore is tried again: the bound
// on how long a waiter can miss a post whose poster died before waking it.
inline constexpr uint32_t kRecheckMs = 200;

// Waits for cells of more payload bytes than this do not poll. Copying such
// a cell takes long enough that a poll rarely saves a wake-up, and a reader
// that follows its writer cell by cell copies each cell out of the writer's
// cache; one that sleeps lets cells gather and then takes them in a run
// (measured: 64 KiB cells up to 2x faster without polling).
inline constexpr uint64_t kPollMaxCellSize = 4096;

// Called around a wait that has to block; `leave` gets the wait's result
// (0 or an errno value) and may throw only when the result is not 0.
// `between` runs between two sleeps of one wait (every kRecheckMs), gets
// and returns the state, and may throw (then `leave` is not called): it is
// where a signal that arrived outside a sleep is noticed.
struct BlockingWaitHooks {
    void* (*enter)();
    void (*leave)(void* state, int result);
    void* (*between)(void* state);
};

// Installs hooks for every later blocking wait in this process; null removes them.
void set_blocking_wait_hooks(const BlockingWaitHooks* hooks);

// Waits on `sem`; timeout_ms 0 means no limit; may_poll false blocks
// without polling (cells above kPollMaxCellSize). Returns 0 when taken,
// ETIMEDOUT when the deadline passed, otherwise the errno of the failed wait
// (EINTR included: an interrupted wait is a failure and is not retried).
int wait_semaphore(sem_t* sem, uint32_t timeout_ms, bool may_poll = true);

// Waits without limit on a list lock for an operation that has already
// taken something (a count, a channel). When the wait fails (returned, or
// thrown by a hook), `undo` gives it back first: an interrupted operation
// then costs the queue no capacity and holds back no message.
template <class Undo>
int wait_lock_or_undo(sem_t* lock, Undo&& undo) {
    int err = 0;
    try {
        err = wait_semaphore(lock, 0);
    } catch (...) {
        undo();
        throw;
    }
    if (err != 0) undo();
    return err;
}

inline int wait_lock_after_count(sem_t* lock, sem_t* count) {
    return wait_lock_or_undo(lock, [count] { ::sem_post(count); });
}

// Waits without limit on a list lock that must be taken to give back what
// the caller holds (a cell), so that one interruption does not lose it: the
// wait is tried once more. An exception the first interruption raised in a
// hook (Python's KeyboardInterrupt) is stored in `pending` for the caller to
// rethrow once the cell is back. Returns 0 or the errno of the failed wait.
int wait_lock_to_give_back(sem_t* lock, std::exception_ptr& pending);

}  // namespace mox::ipc_queue
