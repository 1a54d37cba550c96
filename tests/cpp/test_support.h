// Helpers shared by the C++ tests: unique names, the queues' semaphore names and a guard removing
// them, error texts, child processes with a bounded wait, and a raw view of a segment's bytes.
#pragma once

#include <fcntl.h>
#include <semaphore.h>
#include <signal.h>
#include <sys/mman.h>
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
#include <string>
#include <thread>
#include <vector>

#include "ipc_queue_exception.h"
#include "layout.h"
#include "queue_names.h"

namespace mox::ipc_queue::test {

// "/mox_<tag>_<pid>_<n>": unique across parallel runs and within one run.
inline std::string unique_name(const std::string& tag) {
    static std::atomic<int> counter{0};
    return "/mox_" + tag + "_" + std::to_string(::getpid()) + "_" + std::to_string(counter++);
}

// The semaphore names of a queue of kind `code` (0 SPSC, 1 MPMC, 2 MPMCVar with `channels` channels).
inline std::vector<std::string> queue_sem_names(const std::string& name, uint32_t code, unsigned channels = 0) {
    std::vector<std::string> names;
    for (const std::string& suffix : semaphore_suffixes(static_cast<QueueKind>(code), channels))
        names.push_back(name + suffix);
    return names;
}

// Removes the segment and every semaphore name a queue of any kind may have made.
class NameGuard {
    std::string name_;

public:
    explicit NameGuard(std::string name) : name_(std::move(name)) {}
    NameGuard(const NameGuard&) = delete;
    NameGuard& operator=(const NameGuard&) = delete;
    ~NameGuard() { remove_all(); }
    const std::string& name() const { return name_; }
    void remove_all() const { remove_queue_names(name_); }
};

inline bool shm_exists(const std::string& name) { return ::access(("/dev/shm" + name).c_str(), F_OK) == 0; }
inline bool sem_exists(const std::string& sem_name) {
    return ::access(("/dev/shm/sem." + sem_name.substr(sem_name[0] == '/' ? 1 : 0)).c_str(), F_OK) == 0;
}

// Current value of a named semaphore, opened and closed for the look.
inline int sem_value(const std::string& sem_name) {
    sem_t* sem = ::sem_open(sem_name.c_str(), 0);
    int value = -1;
    if (sem == SEM_FAILED || ::sem_getvalue(sem, &value) != 0) value = -1;
    if (sem != SEM_FAILED) ::sem_close(sem);
    return value;
}

// What `action` threw as IPCQueueException; "no exception" if it returned.
template <class F>
std::string thrown_text(F&& action) try {
    action();
    return "no exception";
} catch (const IPCQueueException& e) {
    return e.what();
}

// An error text as IPCQueueException words it for queue `name`.
inline std::string on_queue(const std::string& text, const std::string& name, int err = 0) {
    return text + " on queue '" + name + "'" + (err != 0 ? std::string(": ") + std::strerror(err) : "");
}

// Exit code of `pid`; -1 if it had not ended within timeout_s (it is then
// killed: a child still alive means a deadlock), -2 if a signal ended it.
inline int join(pid_t pid, int timeout_s = 60) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeout_s);
    int status = 0;
    while (::waitpid(pid, &status, WNOHANG) != pid) {
        if (std::chrono::steady_clock::now() > deadline) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, &status, 0);
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -2;
}

// A shared read-write mapping of a segment by name, to check or damage its bytes.
class SegmentView {
public:
    explicit SegmentView(const std::string& name) {
        const int fd = ::shm_open(name.c_str(), O_RDWR, 0600);
        struct stat st {};
        if (fd >= 0 && ::fstat(fd, &st) == 0 && st.st_size > 0) {
            void* p = ::mmap(nullptr, static_cast<size_t>(st.st_size), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
            base_ = p == MAP_FAILED ? nullptr : static_cast<unsigned char*>(p);
            size_ = base_ == nullptr ? 0 : static_cast<size_t>(st.st_size);
        }
        if (fd >= 0) ::close(fd);
    }
    ~SegmentView() { if (base_ != nullptr) ::munmap(base_, size_); }
    SegmentView(const SegmentView&) = delete;
    SegmentView& operator=(const SegmentView&) = delete;
    bool ok() const { return base_ != nullptr; }
    size_t size() const { return size_; }
    unsigned char* bytes() const { return base_; }
    template <class T> T get(size_t offset) const { T v{}; std::memcpy(&v, base_ + offset, sizeof v); return v; }
    template <class T> void put(size_t offset, T v) const { std::memcpy(base_ + offset, &v, sizeof v); }
    uint32_t u32(size_t offset) const { return get<uint32_t>(offset); }
    uint64_t u64(size_t offset) const { return get<uint64_t>(offset); }

private:
    unsigned char* base_ = nullptr;
    size_t size_ = 0;
};

// A bare segment of `size` zero bytes, as a half-created queue leaves it.
inline bool make_raw_segment(const std::string& name, off_t size) {
    const int fd = ::shm_open(name.c_str(), O_RDWR | O_CREAT | O_EXCL, 0600);
    const bool ok = fd >= 0 && ::ftruncate(fd, size) == 0;
    if (fd >= 0) ::close(fd);
    return ok;
}

struct ChildReport { int code = -1; std::string text; };  // code as join() gives it; text as the child sent it

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
    ~ScopedChild() { if (pid_ > 0) { ::kill(pid_, SIGKILL); } join(5); }
    ScopedChild(const ScopedChild&) = delete;
    ScopedChild& operator=(const ScopedChild&) = delete;
    pid_t pid() const { return pid_; }
    ChildReport join(int timeout_s = 10) {
        ChildReport report{pid_ > 0 ? test::join(pid_, timeout_s) : -1, ""};
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

}  // namespace mox::ipc_queue::test
