// Waiting on a named semaphore: the one place where a queue operation blocks.
//
// A wait first tries to take the semaphore without blocking, then polls it
// for a short, bounded time, and only then blocks (without limit, or until
// a CLOCK_REALTIME deadline), in sleeps of at most kRecheckMs measured on
// CLOCK_MONOTONIC, so that a wall-clock step never stretches one. A peer
// that is busy writing or reading usually posts within a microsecond or
// two, and catching that post by polling saves the sleep and the wake-up: a
// futex call on each side and a pass through the scheduler, several
// microseconds. The poll adapts per thread (see the .cpp), so a waiter that
// would only burn its CPU soon stops polling.
//
// Signals: a handler that runs in the waiting thread breaks its sleep
// (EINTR). What follows depends on what the operation already holds (see
// OnSignal). An embedding runtime can hook the blocking part: the Python
// module releases the interpreter lock for the wait alone and runs the
// interpreter's signal handlers where a wait may be broken.
#pragma once

#include <cxxabi.h>
#include <semaphore.h>

#include <atomic>
#include <cstdint>

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

// What a signal does to a wait.
enum class OnSignal {
    // Nothing is held yet: the wait fails with EINTR. Under a hook the
    // runtime's handlers run instead: one that raises ends the wait with its
    // exception, one that returns lets the wait go on with the time left.
    kFail,
    // The operation holds something it can give back or abandon: the wait
    // goes on. Under a hook the handlers run, and one that raises ends the
    // wait with its exception; the caller then undoes or abandons.
    kResume,
    // The wait is itself an undo that must finish: it goes on, and under a
    // hook no handler runs; they run once the call has returned.
    kDefer,
};

// Called around a wait that has to block. `enter` returns a state, null
// when this thread is not the runtime's (then the wait runs unhooked);
// `leave` gets it back. `signalled` runs where a signal may have arrived,
// for waits that are not kDefer (after a broken sleep, and between two
// sleeps, for signals caught by another thread): it returns the state for
// the rest of the wait, or throws the handler's exception, and then `leave`
// is not called.
struct BlockingWaitHooks {
    void* (*enter)();
    void (*leave)(void* state);
    void* (*signalled)(void* state);
};

// CLOCK_MONOTONIC now, in nanoseconds.
int64_t monotonic_now_ns();

// Installs hooks for every later blocking wait in this process; null removes them.
void set_blocking_wait_hooks(const BlockingWaitHooks* hooks);

// Ends a wait early when the other side of the operation is gone: checked
// before the wait first sleeps and after each sleep, and by a wait that
// takes only what is there now when nothing is.
struct WaitWatch {
    bool (*gone)(const void* arg);
    const void* arg;
};

// How long a call of the newer API may wait: without limit, not at all (it
// takes only what is there now), or at most a span measured on the monotonic
// clock (a wall-clock step does not move it).
class Timeout {
public:
    static Timeout none() { return Timeout(-1); }
    static Timeout now() { return Timeout(0); }
    // At most `ns` nanoseconds; 0 is now().
    static Timeout within_ns(int64_t ns) { return Timeout(ns < 0 ? 0 : ns); }

    bool unlimited() const { return ns_ < 0; }
    bool immediate() const { return ns_ == 0; }
    int64_t ns() const { return ns_; }

private:
    explicit Timeout(int64_t ns) : ns_(ns) {}
    int64_t ns_;
};

// One Timeout spent over several waits: each gets what is left of it.
class Deadline {
public:
    explicit Deadline(const Timeout& timeout);
    Timeout left() const;

private:
    Timeout timeout_;
    int64_t at_ns_ = 0;  // CLOCK_MONOTONIC; only for a bounded, non-immediate timeout
};

// Called after each sleep of a wait that ended without the semaphore: a
// queue looks there for holders that died (see owner_table.h). Never throws.
struct StallCheck {
    void (*check)(const void* arg);
    const void* arg;
};

// What a queue adds to a wait: the word to store the moment the semaphore
// is taken (before any hook runs, so that a holder is never unrecorded
// across a sleep), and its stall check.
struct WaitRecord {
    std::atomic<uint64_t>* word = nullptr;
    uint64_t on_taken = 0;
    const StallCheck* stall = nullptr;
};

struct WaitOptions {
    uint32_t timeout_ms = 0;  // 0: no limit; else a CLOCK_REALTIME deadline
    // When set, replaces timeout_ms: the newer calls' limits.
    const Timeout* timeout = nullptr;
    bool may_poll = true;  // false: block without polling (cells above kPollMaxCellSize)
    OnSignal on_signal = OnSignal::kFail;
    const WaitWatch* watch = nullptr;
    WaitRecord record;
};

// Waits on `sem`. Returns 0 when taken, ETIMEDOUT when the deadline passed,
// ECANCELED when the watch saw the other side gone, EINTR for a kFail wait
// that a signal broke (unhooked), otherwise the errno of the failed wait.
// Throws only what a hook throws.
int wait_semaphore(sem_t* sem, const WaitOptions& options);

inline int wait_semaphore(sem_t* sem, uint32_t timeout_ms, bool may_poll = true) {
    WaitOptions options;
    options.timeout_ms = timeout_ms;
    options.may_poll = may_poll;
    return wait_semaphore(sem, options);
}

inline int wait_semaphore(sem_t* sem, const Timeout& timeout, bool may_poll = true, const WaitRecord& record = {}) {
    WaitOptions options;
    options.timeout = &timeout;
    options.may_poll = may_poll;
    options.record = record;
    return wait_semaphore(sem, options);
}

// A thread being ended (pthread_cancel, or an interpreter's shutdown ending
// a daemon thread inside a wait) unwinds without a C++ exception
// (abi::__forced_unwind): every handler on a path that can block rethrows
// it, and takes nothing back on its way out (undoing could mean waiting, and
// the thread is going), so it leaves the queue as a process dying there
// would. True inside such a handler.
inline bool thread_ending() { return abi::__cxa_current_exception_type() == nullptr; }

// Waits without limit on a list lock for an operation that has already
// taken something (a count, a channel). When the wait fails (returned, or
// thrown by a hook), `undo` gives it back first: an interrupted operation
// then costs the queue no capacity and holds back no message.
template <class Undo>
int wait_lock_or_undo(sem_t* lock, Undo&& undo, const WaitRecord& record = {}) {
    WaitOptions options;
    options.record = record;
    int err = 0;
    try {
        err = wait_semaphore(lock, options);
    } catch (...) {
        if (!thread_ending()) undo();
        throw;
    }
    if (err != 0) undo();
    return err;
}

inline int wait_lock_after_count(sem_t* lock, sem_t* count, const WaitRecord& record = {}) {
    return wait_lock_or_undo(lock, [count] { ::sem_post(count); }, record);
}

// Waits without limit on a list lock that must be taken to finish what the
// operation holds (a cell to publish or give back). A signal never ends it
// with EINTR. Under a hook, a handler that raises ends it: `undo` then
// takes the operation back by other means, itself waiting with kDefer, and
// the exception passes on. Returns 0 or the errno of a failed wait.
template <class Undo>
int wait_lock_to_finish(sem_t* lock, Undo&& undo, const WaitRecord& record = {}) {
    WaitOptions options;
    options.on_signal = OnSignal::kResume;
    options.record = record;
    try {
        return wait_semaphore(lock, options);
    } catch (...) {
        if (!thread_ending()) undo();
        throw;
    }
}

// The wait of such an undo: it must finish, whatever signals come.
inline int wait_lock_deferring_signals(sem_t* lock, const WaitRecord& record = {}) {
    WaitOptions options;
    options.on_signal = OnSignal::kDefer;
    options.record = record;
    return wait_semaphore(lock, options);
}

}  // namespace mox::ipc_queue
