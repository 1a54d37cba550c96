// Children stopped at a named fault point and then SIGKILLed: what the
// test_dead_* programs share (they link the fault points' library).
#pragma once

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <string>
#include <thread>

#include "fault_point.h"
#include "semaphore_wait.h"

namespace mox::ipc_queue::test {

// The promise is 1 s; the bound is loose so a loaded machine does not fail it.
inline const Timeout kPatience = Timeout::within_ns(5'000'000'000);
inline const Timeout kShort = Timeout::within_ns(50'000'000);

// Forks a child that runs `op` with `point` armed; returns its pid once it
// has stopped there, or -1 (reaped) when it never got there.
inline pid_t stopped_at(const char* point, const std::function<void()>& op) {
    const pid_t pid = ::fork();
    if (pid == 0) {
        arm_fault_point(point);
        try {
            op();
        } catch (...) {
            ::_exit(2);
        }
        ::_exit(0);
    }
    int status = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (::waitpid(pid, &status, WNOHANG | WUNTRACED) == 0 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    if (status != 0 && WIFSTOPPED(status)) return pid;
    ::kill(pid, SIGKILL);
    ::waitpid(pid, &status, 0);
    return -1;
}

inline void kill_and_reap(pid_t pid) {
    ::kill(pid, SIGKILL);
    int status = 0;
    ::waitpid(pid, &status, 0);
}

// Lets a stopped child go on; whether it then ended with exit code 0 within
// 10 s (else it is killed).
inline bool continued_to_exit(pid_t pid) {
    int status = 0;
    pid_t got = ::kill(pid, SIGCONT) == 0 ? 0 : -1;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (got == 0 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        got = ::waitpid(pid, &status, WNOHANG);
    }
    if (got == 0) kill_and_reap(pid);
    return got == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// "mpmc.write.cell" as a test name.
inline std::string point_name(std::string point) {
    std::replace(point.begin(), point.end(), '.', '_');
    return point;
}

}  // namespace mox::ipc_queue::test
