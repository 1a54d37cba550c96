#include "semaphore_wait.h"

#include <cerrno>
#include <ctime>
#include <atomic>

namespace mox::ipc_queue {

namespace {

std::atomic<const BlockingWaitHooks*> g_hooks{nullptr};

// Now + timeout_ms on the wall clock, carried into whole seconds.
timespec deadline_after(uint32_t timeout_ms) {
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    const int64_t ns = static_cast<int64_t>(now.tv_nsec) + static_cast<int64_t>(timeout_ms) * 1000000;
    timespec deadline{};
    deadline.tv_sec = now.tv_sec + static_cast<time_t>(ns / 1000000000);
    deadline.tv_nsec = static_cast<long>(ns % 1000000000);
    return deadline;
}

int64_t monotonic_ns() {
    timespec ts{};
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

inline void cpu_relax() {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#endif
}

// This thread's polling budget. A poll that succeeds restores the full
// budget; one that runs out halves it, down to none, so a waiter whose peer
// is not running (it may be waiting for this very CPU) or whose queue stays
// empty soon blocks at once. A waiter that no longer polls polls once more,
// for kProbeNs, after kProbeAfter blocking waits: long enough to outlast a
// blocked peer's wake-up (up to ~30 us measured on an idle virtual
// machine), so two peers that both went back to blocking find their way
// back to polling when they can, at a cost of at most kProbeNs in
// kProbeAfter waits when they cannot.
constexpr int64_t kMinSpinNs = kWaitSpinNs / 8;
constexpr int64_t kProbeNs = 5 * kWaitSpinNs;
constexpr uint32_t kProbeAfter = 64;
thread_local int64_t t_budget_ns = kWaitSpinNs;
thread_local bool t_probing = false;
thread_local uint32_t t_blocks = 0;

// True when `sem` was taken within this thread's budget.
bool poll(sem_t* sem) {
    const int64_t budget = t_budget_ns;
    if (budget <= 0) return false;
    const int64_t end = monotonic_ns() + budget;
    do {
        for (int i = 0; i < 16; ++i) {
            cpu_relax();
            if (::sem_trywait(sem) == 0) {
                t_budget_ns = kWaitSpinNs;
                t_probing = false;
                return true;
            }
            if (errno != EAGAIN) return false;  // the blocking wait reports it
        }
    } while (monotonic_ns() < end);
    t_budget_ns = !t_probing && budget / 2 >= kMinSpinNs ? budget / 2 : 0;
    t_probing = false;
    return false;
}

bool before(const timespec& a, const timespec& b) {
    return a.tv_sec < b.tv_sec || (a.tv_sec == b.tv_sec && a.tv_nsec < b.tv_nsec);
}

// Sleeps on `sem` until it is taken, `deadline` (if any) passes, or a
// failure. A poster increments the value and then wakes a sleeper in a
// second step; one that dies between the two leaves the value up and every
// sleeper asleep. So no sleep lasts longer than kRecheckMs: each new sleep
// starts by taking the value if it is there. A signal that lands between two
// sleeps breaks neither, so the hooks get to look for one there.
int block(sem_t* sem, const timespec* deadline, const BlockingWaitHooks* hooks, void*& state) {
    for (;;) {
        timespec until = deadline_after(kRecheckMs);
        const bool last = deadline != nullptr && !before(until, *deadline);
        if (last) until = *deadline;
        if (::sem_timedwait(sem, &until) == 0) return 0;
        if (errno != ETIMEDOUT || last) return errno;
        if (hooks != nullptr) state = hooks->between(state);
    }
}

}  // namespace

void set_blocking_wait_hooks(const BlockingWaitHooks* hooks) { g_hooks.store(hooks, std::memory_order_release); }

int wait_semaphore(sem_t* sem, uint32_t timeout_ms, bool may_poll) {
    if (::sem_trywait(sem) == 0) return 0;
    if (errno != EAGAIN) return errno;

    timespec deadline{};
    if (timeout_ms != 0) deadline = deadline_after(timeout_ms);
    if (may_poll && poll(sem)) return 0;

    if (t_budget_ns == 0 && ++t_blocks >= kProbeAfter) {
        t_blocks = 0;
        t_budget_ns = kProbeNs;  // for the next wait
        t_probing = true;
    }
    const BlockingWaitHooks* hooks = g_hooks.load(std::memory_order_acquire);
    void* state = hooks != nullptr ? hooks->enter() : nullptr;
    const int result = block(sem, timeout_ms != 0 ? &deadline : nullptr, hooks, state);
    if (hooks != nullptr) hooks->leave(state, result);
    return result;
}

int wait_lock_to_give_back(sem_t* lock, std::exception_ptr& pending) {
    int err = 0;
    try {
        err = wait_semaphore(lock, 0);
    } catch (...) {
        pending = std::current_exception();
        err = EINTR;
    }
    // A second interruption is taken as meant: the lock's holder may be dead.
    if (err == EINTR) err = wait_semaphore(lock, 0);
    return err;
}

}  // namespace mox::ipc_queue
