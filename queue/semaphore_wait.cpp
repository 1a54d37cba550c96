#include "semaphore_wait.h"

#include <atomic>
#include <cerrno>
#include <ctime>

// ThreadSanitizer knows sem_post as a release and the waits it intercepts as
// acquires; sem_clockwait it does not intercept, so its success is told.
#if defined(__SANITIZE_THREAD__)
extern "C" void __tsan_acquire(void* addr);
#define MOX_TSAN_ACQUIRE(sem) __tsan_acquire(sem)
#else
#define MOX_TSAN_ACQUIRE(sem) static_cast<void>(sem)
#endif

namespace mox::ipc_queue {

namespace {

std::atomic<const BlockingWaitHooks*> g_hooks{nullptr};

constexpr int64_t kNsPerSecond = 1000000000;
constexpr int64_t kNsPerMs = 1000000;

int64_t now_ns(clockid_t clock) {
    timespec ts{};
    ::clock_gettime(clock, &ts);
    return static_cast<int64_t>(ts.tv_sec) * kNsPerSecond + ts.tv_nsec;
}

timespec to_timespec(int64_t ns) {
    timespec ts{};
    ts.tv_sec = static_cast<time_t>(ns / kNsPerSecond);
    ts.tv_nsec = static_cast<long>(ns % kNsPerSecond);
    return ts;
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
    const int64_t end = now_ns(CLOCK_MONOTONIC) + budget;
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
    } while (now_ns(CLOCK_MONOTONIC) < end);
    t_budget_ns = !t_probing && budget / 2 >= kMinSpinNs ? budget / 2 : 0;
    t_probing = false;
    return false;
}

inline void record_taken(const WaitRecord& r) {
    if (r.word != nullptr) r.word->store(r.on_taken, std::memory_order_release);
}

// A deadline on one of the two clocks; 0: none.
struct ClockDeadline {
    clockid_t clock;
    int64_t at_ns;
};

// Sleeps on `sem` until it is taken, the deadline (if any) passes, the
// watch sees the other side gone, or a failure. A poster
// increments the value and then wakes a sleeper in a second step; one that
// dies between the two leaves the value up and every sleeper asleep. So no
// sleep lasts longer than kRecheckMs on the monotonic clock: each new sleep
// starts by taking the value if it is there. A signal that lands between
// two sleeps breaks neither, so the hooks get to look for one there.
int block(sem_t* sem, const ClockDeadline& deadline, const WaitOptions& o, const BlockingWaitHooks* hooks,
          void*& state) {
    const bool hooked = hooks != nullptr && state != nullptr;
    const bool ask_hook = hooked && o.on_signal != OnSignal::kDefer;
    for (;;) {
        if (o.watch != nullptr && o.watch->gone(o.watch->arg)) return ECANCELED;
        int64_t slice = int64_t{kRecheckMs} * kNsPerMs;
        if (deadline.at_ns != 0) {
            const int64_t left = deadline.at_ns - now_ns(deadline.clock);
            if (left <= 0) {
                if (::sem_trywait(sem) != 0) return ETIMEDOUT;
                record_taken(o.record);
                return 0;
            }
            if (left < slice) slice = left;
        }
        const timespec until = to_timespec(now_ns(CLOCK_MONOTONIC) + slice);
        if (::sem_clockwait(sem, CLOCK_MONOTONIC, &until) == 0) {
            MOX_TSAN_ACQUIRE(sem);
            record_taken(o.record);
            return 0;
        }
        const int err = errno;
        if (err == EINTR) {
            if (ask_hook) {
                state = hooks->signalled(state);  // a handler that raises leaves here
            } else if (o.on_signal == OnSignal::kFail) {
                return EINTR;
            }
            continue;
        }
        if (err != ETIMEDOUT) return err;
        if (o.record.stall != nullptr) o.record.stall->check(o.record.stall->arg);
        if (ask_hook) state = hooks->signalled(state);
    }
}

}  // namespace

Deadline::Deadline(const Timeout& timeout) : timeout_(timeout) {
    if (!timeout.unlimited() && !timeout.immediate()) at_ns_ = now_ns(CLOCK_MONOTONIC) + timeout.ns();
}

Timeout Deadline::left() const {
    if (at_ns_ == 0) return timeout_;
    return Timeout::within_ns(at_ns_ - now_ns(CLOCK_MONOTONIC));
}

int64_t monotonic_now_ns() { return now_ns(CLOCK_MONOTONIC); }

void set_blocking_wait_hooks(const BlockingWaitHooks* hooks) { g_hooks.store(hooks, std::memory_order_release); }

int wait_semaphore(sem_t* sem, const WaitOptions& o) {
    if (::sem_trywait(sem) == 0) {
        record_taken(o.record);
        return 0;
    }
    if (errno != EAGAIN) return errno;

    if (o.timeout != nullptr && o.timeout->immediate()) {
        // Nothing now; a peer that is gone will never post, so say so.
        if (o.watch != nullptr && o.watch->gone(o.watch->arg)) return ECANCELED;
        return ETIMEDOUT;
    }
    // Millisecond timeouts are wall-clock time: setting the clock moves
    // them. A Timeout is measured on the monotonic clock.
    ClockDeadline deadline{CLOCK_REALTIME, 0};
    if (o.timeout != nullptr) {
        if (!o.timeout->unlimited()) deadline = {CLOCK_MONOTONIC, now_ns(CLOCK_MONOTONIC) + o.timeout->ns()};
    } else if (o.timeout_ms != 0) {
        deadline.at_ns = now_ns(CLOCK_REALTIME) + static_cast<int64_t>(o.timeout_ms) * kNsPerMs;
    }
    if (o.may_poll && poll(sem)) {
        record_taken(o.record);
        return 0;
    }

    if (t_budget_ns == 0 && ++t_blocks >= kProbeAfter) {
        t_blocks = 0;
        t_budget_ns = kProbeNs;  // for the next wait
        t_probing = true;
    }
    const BlockingWaitHooks* hooks = g_hooks.load(std::memory_order_acquire);
    void* state = hooks != nullptr ? hooks->enter() : nullptr;
    const int result = block(sem, deadline, o, hooks, state);
    if (hooks != nullptr && state != nullptr) hooks->leave(state);
    return result;
}

}  // namespace mox::ipc_queue
