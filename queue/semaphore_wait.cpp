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

}  // namespace

void set_blocking_wait_hooks(const BlockingWaitHooks* hooks) { g_hooks.store(hooks, std::memory_order_release); }

int wait_semaphore(sem_t* sem, uint32_t timeout_ms) {
    if (::sem_trywait(sem) == 0) return 0;
    if (errno != EAGAIN) return errno;

    timespec deadline{};
    if (timeout_ms != 0) deadline = deadline_after(timeout_ms);

    const BlockingWaitHooks* hooks = g_hooks.load(std::memory_order_acquire);
    void* state = hooks != nullptr ? hooks->enter() : nullptr;
    const int rc = timeout_ms != 0 ? ::sem_timedwait(sem, &deadline) : ::sem_wait(sem);
    const int result = rc == 0 ? 0 : errno;
    if (hooks != nullptr) hooks->leave(state, result);
    return result;
}

}  // namespace mox::ipc_queue
