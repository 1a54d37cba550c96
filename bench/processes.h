// Child processes of the benchmark programs: a watchdog that breaks a stuck
// wait, forked workers that are killed and reaped on scope exit, pipes for
// their reports, and isolated(): one measurement in a child of its own, so a
// system that hangs or crashes costs that measurement and nothing else.
#pragma once

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <exception>
#include <functional>
#include <string>
#include <type_traits>
#include <vector>

#include "program.h"
#include "timing.h"

namespace mox::bench {

// A wait broken by SIGALRM fails with EINTR, so a stuck run ends with an
// exception (and its cleanup) instead of hanging.
inline void on_alarm(int) {}

inline void install_watchdog_handler() {
    struct sigaction sa{};
    sa.sa_handler = on_alarm;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = 0;  // no SA_RESTART: blocked calls return EINTR
    ::sigaction(SIGALRM, &sa, nullptr);
}

// Arms the watchdog for one run and disarms it however the run ends.
class Watchdog {
public:
    explicit Watchdog(unsigned seconds) { ::alarm(seconds); }
    Watchdog(const Watchdog&) = delete;
    Watchdog& operator=(const Watchdog&) = delete;
    ~Watchdog() { ::alarm(0); }
};

// Children that outlive their run are killed and reaped on scope exit.
class Children {
public:
    Children() = default;
    Children(const Children&) = delete;
    Children& operator=(const Children&) = delete;
    ~Children() { kill_all(); }

    // Runs `body` in a new process; its return value is the exit status. The
    // child dies with this process, and by SIGALRM after timeout_s (0: never).
    // It never runs destructors of what it inherited.
    pid_t spawn(const std::function<int()>& body, unsigned timeout_s) {
        std::fflush(nullptr);  // or buffered output would be printed twice
        const pid_t pid = ::fork();
        if (pid < 0) fail_errno("fork");
        if (pid == 0) {
            ::prctl(PR_SET_PDEATHSIG, SIGKILL);
            ::signal(SIGALRM, SIG_DFL);
            ::alarm(timeout_s);
            int status = 3;
            try {
                status = body();
            } catch (const std::exception& e) {
                std::fprintf(stderr, "bench child %d: %s\n", static_cast<int>(::getpid()), e.what());
            } catch (...) {
                std::fprintf(stderr, "bench child %d: unknown exception\n", static_cast<int>(::getpid()));
            }
            std::fflush(nullptr);
            ::_exit(status);
        }
        pids_.push_back(pid);
        return pid;
    }

    // Waits for `pid` and fails unless it exited with status 0.
    void wait(pid_t pid) {
        int status = 0;
        if (::waitpid(pid, &status, 0) < 0) fail_errno("waitpid");  // EINTR too: the watchdog fired
        pids_.erase(std::remove(pids_.begin(), pids_.end(), pid), pids_.end());
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
            fail("worker process " + std::to_string(pid) +
                 (WIFSIGNALED(status) ? " killed by signal " + std::to_string(WTERMSIG(status))
                                      : " exited with status " + std::to_string(WEXITSTATUS(status))));
        }
    }

    void kill_all() {
        for (pid_t pid : pids_) ::kill(pid, SIGKILL);
        for (pid_t pid : pids_) ::waitpid(pid, nullptr, 0);
        pids_.clear();
    }

private:
    std::vector<pid_t> pids_;
};

class Pipe {
public:
    Pipe() {
        if (::pipe2(fd_, O_CLOEXEC) != 0) fail_errno("pipe");
    }
    Pipe(const Pipe&) = delete;
    Pipe& operator=(const Pipe&) = delete;
    ~Pipe() {
        close_read();
        close_write();
    }
    void close_read() { close_end(0); }
    void close_write() { close_end(1); }

    void write_all(const void* data, size_t len) {
        const char* p = static_cast<const char*>(data);
        while (len > 0) {
            const ssize_t n = ::write(fd_[1], p, len);
            if (n < 0) fail_errno("pipe write");
            p += n;
            len -= static_cast<size_t>(n);
        }
    }
    // False at end of file before any byte; fails on a short record.
    bool read_all(void* data, size_t len) {
        char* p = static_cast<char*>(data);
        size_t got = 0;
        while (got < len) {
            const ssize_t n = ::read(fd_[0], p + got, len - got);
            if (n < 0) fail_errno("pipe read");
            if (n == 0) {
                if (got == 0) return false;
                fail("short record on pipe");
            }
            got += static_cast<size_t>(n);
        }
        return true;
    }
    // Blocks until every holder of the write end has closed it.
    void wait_eof() {
        char c;
        for (;;) {
            const ssize_t n = ::read(fd_[0], &c, 1);
            if (n == 0) return;
            if (n < 0) fail_errno("pipe read");
        }
    }
    // True once a read would not block (data or end of file); false when
    // timeout_s passed first.
    bool wait_readable(unsigned timeout_s) {
        const double end = now_s() + timeout_s;
        for (;;) {
            const double left = end - now_s();
            if (left <= 0) return false;
            pollfd p{fd_[0], POLLIN, 0};
            const int n = ::poll(&p, 1, static_cast<int>(left * 1000) + 1);
            if (n > 0) return true;
            if (n < 0 && errno != EINTR) fail_errno("poll");
        }
    }

private:
    void close_end(int i) {
        if (fd_[i] >= 0) ::close(fd_[i]);
        fd_[i] = -1;
    }
    int fd_[2] = {-1, -1};
};

// Removes every shared-memory object and semaphore that a process of this
// program made (queue_name's pattern); for after that process was killed.
inline void remove_names_of(pid_t pid) {
    const std::string mark = "_" + std::to_string(kProgramPid) + "_" + std::to_string(pid) + "_";
    DIR* dir = ::opendir("/dev/shm");
    if (dir == nullptr) return;
    std::vector<std::string> found;
    while (const dirent* e = ::readdir(dir)) {
        const std::string n = e->d_name;
        if ((n.rfind("mox_bench_", 0) == 0 || n.rfind("sem.mox_bench_", 0) == 0) && n.find(mark) != std::string::npos)
            found.push_back(n);
    }
    ::closedir(dir);
    for (const std::string& n : found) ::unlink(("/dev/shm/" + n).c_str());
}

// Runs `measure` in a forked child and returns its result (which crosses a
// pipe, so it is trivially copyable). The measurement arms its own watchdog;
// a child still running timeout_s later is killed with its own children, the
// names it made are removed, and this throws. A failed measurement throws
// with the child's error text.
template <class T, class Measure>
T isolated(Measure&& measure, unsigned timeout_s) {
    static_assert(std::is_trivially_copyable_v<T>, "a measurement's result crosses a pipe");
    struct Outcome {
        bool ok;
        T value;
        char error[480];
    };
    Children children;
    Pipe result;
    const pid_t pid = children.spawn(
        [&]() {
            result.close_read();
            install_watchdog_handler();
            Outcome out{};
            try {
                out.value = measure();
                out.ok = true;
            } catch (const std::exception& e) {
                std::snprintf(out.error, sizeof out.error, "%s", e.what());
            }
            result.write_all(&out, sizeof out);
            return out.ok ? 0 : 1;
        },
        0);
    result.close_write();
    if (!result.wait_readable(timeout_s)) {
        children.kill_all();
        remove_names_of(pid);
        fail("no result within " + std::to_string(timeout_s) + " s; the measurement was killed");
    }
    Outcome out{};
    const bool got = result.read_all(&out, sizeof out);
    if (got && !out.ok) {
        children.kill_all();
        remove_names_of(pid);
        fail(out.error);
    }
    try {
        children.wait(pid);  // a child that died without a word fails here, naming its signal
    } catch (...) {
        remove_names_of(pid);
        throw;
    }
    return out.value;
}

}  // namespace mox::bench
