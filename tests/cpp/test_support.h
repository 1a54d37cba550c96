// Helpers shared by the C++ tests and the fuzzer: unique names and a guard
// removing them, semaphore values, error texts, child processes with a
// bounded wait, a raw view of a segment's (or a semaphore's) bytes, and a
// child that keeps flipping one word of it.
#pragma once

#include <fcntl.h>
#include <semaphore.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <exception>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "ipc_queue_exception.h"
#include "layout.h"
#include "mpmc_queue.h"
#include "mpmcvar_queue.h"
#include "queue_names.h"
#include "spsc_queue.h"

namespace mox::ipc_queue::test {

// "/mox_<tag>_<pid>_<n>": unique across parallel runs and within one run.
inline std::string unique_name(const std::string& tag) {
    static std::atomic<int> counter{0};
    return "/mox_" + tag + "_" + std::to_string(::getpid()) + "_" + std::to_string(counter++);
}

// Removes the segment and every semaphore name a queue of any kind may have made.
class NameGuard {
    std::string name_;

public:
    explicit NameGuard(std::string name) : name_(std::move(name)) {}
    NameGuard(const NameGuard&) = delete;
    NameGuard& operator=(const NameGuard&) = delete;
    ~NameGuard() { remove_queue_names(name_); }
    const std::string& name() const { return name_; }
};

// The semaphore names of a queue of `kind` (MPMCVar: with `channels` channels), in create order.
inline std::vector<std::string> queue_sem_names(const std::string& name, QueueKind kind, unsigned channels = 0) {
    std::vector<std::string> names;
    for (const std::string& suffix : semaphore_suffixes(kind, channels)) names.push_back(name + suffix);
    return names;
}

inline bool sem_exists(const std::string& sem_name) { return ::access(semaphore_file(sem_name).c_str(), F_OK) == 0; }

// Whether the segment or any semaphore of such a queue is still named.
inline bool any_name_left(const std::string& name, QueueKind kind, unsigned channels = 0) {
    bool left = segment_exists(name);
    for (const std::string& sem : queue_sem_names(name, kind, channels)) left = left || sem_exists(sem);
    return left;
}

// Current value of a named semaphore, opened and closed for the look; -1 when it cannot be read.
inline int sem_value(const std::string& sem_name) {
    sem_t* sem = ::sem_open(sem_name.c_str(), 0);
    int value = -1;
    if (sem == SEM_FAILED || ::sem_getvalue(sem, &value) != 0) value = -1;
    if (sem != SEM_FAILED) ::sem_close(sem);
    return value;
}

// Every semaphore of the queue in create order, as "filled=0 free=3" (suffixes without their underscores).
inline std::string sem_values(const std::string& name, QueueKind kind, unsigned channels = 0) {
    std::string out;
    for (const std::string& suffix : semaphore_suffixes(kind, channels)) {
        const size_t end = suffix.back() == '_' ? suffix.size() - 2 : suffix.size() - 1;
        out += (out.empty() ? "" : " ") + suffix.substr(1, end) + "=" + std::to_string(sem_value(name + suffix));
    }
    return out;
}

// What `action` threw as IPCQueueException; "no exception" if it returned.
template <class F>
std::string thrown_text(F&& action) try {
    action();
    return "no exception";
} catch (const IPCQueueException& e) {
    return e.what();
}

// A write that gives up at `t`, for the kinds that have one.
inline bool write_within(IPCQueueCPP& q, const std::string& m, const Timeout& t) {
    const auto n = static_cast<int64_t>(m.size());
    if (q.is_mpmcvar_queue()) return static_cast<MPMCVarQueueCPP&>(q).write(m.data(), n, t);
    if (q.is_spsc_queue()) return static_cast<SPSCQueueCPP&>(q).write(m.data(), n, t);
    return static_cast<MPMCQueueCPP&>(q).write(m.data(), n, t);
}

// An error text as IPCQueueException words it for queue `name`.
inline std::string on_queue(const std::string& text, const std::string& name, int err = 0) {
    return text + " on queue '" + name + "'" + (err != 0 ? std::string(": ") + std::strerror(err) : "");
}

// A shared read-write mapping of an object of /dev/shm by the name shm_open
// takes ("/q" for a segment, "/sem.q_free_" for a semaphore), to check or damage its bytes.
class SegmentView {
public:
    explicit SegmentView(const std::string& name) {
        const int fd = ::shm_open(name.c_str(), O_RDWR, 0600);
        struct stat st{};
        if (fd >= 0 && ::fstat(fd, &st) == 0 && st.st_size > 0) {
            void* p = ::mmap(nullptr, static_cast<size_t>(st.st_size), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
            base_ = p == MAP_FAILED ? nullptr : static_cast<unsigned char*>(p);
            size_ = base_ == nullptr ? 0 : static_cast<size_t>(st.st_size);
        }
        if (fd >= 0) ::close(fd);
    }
    ~SegmentView() {
        if (base_ != nullptr) ::munmap(base_, size_);
    }
    SegmentView(const SegmentView&) = delete;
    SegmentView& operator=(const SegmentView&) = delete;
    bool ok() const { return base_ != nullptr; }
    size_t size() const { return size_; }
    unsigned char* bytes() const { return base_; }
    template <class T>
    T get(size_t offset) const {
        T v{};
        std::memcpy(&v, base_ + offset, sizeof v);
        return v;
    }
    template <class T>
    void put(size_t offset, T v) const {
        std::memcpy(base_ + offset, &v, sizeof v);
    }
    uint32_t u32(size_t offset) const { return get<uint32_t>(offset); }
    uint64_t u64(size_t offset) const { return get<uint64_t>(offset); }

private:
    unsigned char* base_ = nullptr;
    size_t size_ = 0;
};

struct ChildReport {
    int code = -1;
    std::string text;
};  // code: the exit code, -1 hung (killed), -2 a signal

// A forked child reporting a text through a pipe: empty for success, what() of an escaping
// exception. If the test leaves early (a failed assertion), the destructor kills and reaps it.
class ScopedChild {
public:
    explicit ScopedChild(const std::function<std::string()>& body) {
        int fds[2];
        if (::pipe(fds) != 0) return;
        pid_ = ::fork();
        if (pid_ == 0) {
            std::string text = "unknown exception";
            try {
                text = body();
            } catch (const std::exception& e) {
                text = std::string("exception: ") + e.what();
            } catch (...) {  // the text stays "unknown exception"
            }
            if (text.size() > 4000) text.resize(4000);  // below the pipe's capacity: never blocks
            if (!text.empty()) (void)!::write(fds[1], text.data(), text.size());
            ::_exit(text.empty() ? 0 : 1);
        }
        ::close(fds[1]);
        fd_ = fds[0];
    }
    ~ScopedChild() {
        if (pid_ > 0) ::kill(pid_, SIGKILL);
        join(5);
    }
    ScopedChild(const ScopedChild&) = delete;
    ScopedChild& operator=(const ScopedChild&) = delete;
    pid_t pid() const { return pid_; }
    // Waits at most timeout_s for the child; one still alive then is killed (a deadlock).
    ChildReport join(int timeout_s = 10) {
        ChildReport report;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeout_s);
        int status = 0;
        while (pid_ > 0 && ::waitpid(pid_, &status, WNOHANG) != pid_) {
            if (std::chrono::steady_clock::now() > deadline) {
                ::kill(pid_, SIGKILL);
                ::waitpid(pid_, &status, 0);
                status = -1;
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        if (pid_ > 0) report.code = status == -1 ? -1 : WIFEXITED(status) ? WEXITSTATUS(status) : -2;
        char buf[4096];
        ssize_t n = 0;
        while (fd_ >= 0 && (n = ::read(fd_, buf, sizeof buf)) > 0) report.text.append(buf, static_cast<size_t>(n));
        if (fd_ >= 0) ::close(fd_);
        pid_ = fd_ = -1;
        return report;
    }

private:
    pid_t pid_ = -1;
    int fd_ = -1;
};

inline ChildReport run_reporting(const std::function<std::string()>& body, int timeout_s = 10) {
    return ScopedChild(body).join(timeout_s);
}

// A child that keeps rewriting `width` bytes at `offset` of `view`: one write
// in `every` with `damaged`, the others with their value now, so that a check
// made once and a value read again disagree. Null when it could not start.
inline std::unique_ptr<ScopedChild> flip_in_child(const SegmentView& view, size_t offset, size_t width,
                                                  uint64_t damaged, unsigned every) {
    int ready[2];
    if (!view.ok() || ::pipe(ready) != 0) return nullptr;
    unsigned char values[2][8];  // its value, the damaged one
    std::memcpy(values[0], view.bytes() + offset, width);
    std::memcpy(values[1], &damaged, width);
    volatile unsigned char* word = view.bytes() + offset;
    auto child = std::make_unique<ScopedChild>([&]() -> std::string {
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);  // the parent waits for `ready`: it is still there
        if (::write(ready[1], "r", 1) != 1) return "pipe";
        for (uint64_t i = 0;; ++i)
            for (size_t b = 0; b < width; ++b) word[b] = values[i % every == every - 1][b];
    });
    char c = 0;
    const bool running = ::close(ready[1]) == 0 && ::read(ready[0], &c, 1) == 1;
    ::close(ready[0]);
    return running ? std::move(child) : nullptr;
}

}  // namespace mox::ipc_queue::test
