// Helpers shared by the C++ tests: unique queue names, a guard that removes
// every name a queue of any kind may have made, child processes with a
// bounded wait, and a raw view of a segment's bytes.
#pragma once

#include <dirent.h>
#include <fcntl.h>
#include <semaphore.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
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

namespace mox::ipc_queue::test {

// "/mox_<tag>_<pid>_<n>": unique across parallel runs and within one run.
inline std::string unique_name(const std::string& tag) {
    static std::atomic<int> counter{0};
    return "/mox_" + tag + "_" + std::to_string(::getpid()) + "_" + std::to_string(counter++);
}

// Removes the segment and every semaphore name any queue kind could have made
// under `name` (channels up to max_channels), whether or not they exist.
class NameGuard {
public:
    explicit NameGuard(std::string name, unsigned max_channels = 64) : name_(std::move(name)), max_channels_(max_channels) {}
    NameGuard(const NameGuard&) = delete;
    NameGuard& operator=(const NameGuard&) = delete;
    ~NameGuard() { remove_all(); }

    const std::string& name() const { return name_; }

    void remove_all() const {
        ::shm_unlink(name_.c_str());
        for (const char* suffix : {"_filled_", "_free_", "_free_mutex_", "_filled_mutex_", "_used_", "_used_mutex_"})
            ::sem_unlink((name_ + suffix).c_str());
        for (unsigned i = 0; i < max_channels_; ++i) {
            ::sem_unlink((name_ + "_free_channel_" + std::to_string(i)).c_str());
            ::sem_unlink((name_ + "_filled_channel_" + std::to_string(i)).c_str());
        }
    }

private:
    std::string name_;
    unsigned max_channels_;
};

inline bool shm_exists(const std::string& name) {
    struct stat st {};
    return ::stat(("/dev/shm" + name).c_str(), &st) == 0;
}

inline bool sem_exists(const std::string& sem_name) {
    struct stat st {};
    return ::stat(("/dev/shm/sem." + sem_name.substr(sem_name[0] == '/' ? 1 : 0)).c_str(), &st) == 0;
}

// Current value of a named semaphore, opened and closed for the look.
inline int sem_value(const std::string& sem_name) {
    sem_t* sem = ::sem_open(sem_name.c_str(), 0);
    if (sem == SEM_FAILED) return -1;
    int value = -1;
    ::sem_getvalue(sem, &value);
    ::sem_close(sem);
    return value;
}

// Runs `body` in a forked child, which exits with its result (an exception
// exits with 99). The child never returns into the test framework.
inline pid_t spawn(const std::function<int()>& body) {
    const pid_t pid = ::fork();
    if (pid < 0) ::abort();  // join(-1) would reap an unrelated child
    if (pid == 0) {
        int code = 99;
        try {
            code = body();
        } catch (...) {
        }
        ::_exit(code);
    }
    return pid;
}

// Exit code of `pid`; -1 if it did not end within timeout_s (it is then
// killed: a child still alive means a deadlock), -2 if a signal ended it.
inline int join(pid_t pid, int timeout_s = 60) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeout_s);
    int status = 0;
    while (true) {
        const pid_t r = ::waitpid(pid, &status, WNOHANG);
        if (r == pid) break;
        if (std::chrono::steady_clock::now() > deadline) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, &status, 0);
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    return -2;
}

// True while `pid` is still running after `ms` milliseconds (it is blocked).
// The child is not reaped, so a later join() still gets its exit code.
inline bool still_running_after(pid_t pid, int ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
    siginfo_t info{};
    return ::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid == 0;
}

// A private read-write mapping of a segment by name, for checking its bytes.
class SegmentView {
public:
    explicit SegmentView(const std::string& name) {
        const int fd = ::shm_open(name.c_str(), O_RDWR, 0600);
        if (fd < 0) return;
        struct stat st {};
        ::fstat(fd, &st);
        size_ = static_cast<size_t>(st.st_size);
        if (size_ > 0) {
            void* p = ::mmap(nullptr, size_, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
            base_ = p == MAP_FAILED ? nullptr : static_cast<unsigned char*>(p);
        }
        ::close(fd);
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


// A forked child that reports a text back through a pipe: an empty text means
// success; an escaping exception is reported with its what().
struct ReportingChild {
    pid_t pid = -1;
    int fd = -1;
};

struct ChildReport {
    int code = -1;     // as join(): exit code, -1 deadlock, -2 ended by a signal
    std::string text;  // what the child reported
};

inline ReportingChild spawn_reporting(const std::function<std::string()>& body) {
    int fds[2];
    if (::pipe(fds) != 0) return {};
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::close(fds[0]);
        std::string text;
        try {
            text = body();
        } catch (const std::exception& e) {
            text = std::string("exception: ") + e.what();
        } catch (...) {
            text = "unknown exception";
        }
        // Kept below the pipe's capacity so the child never blocks on it.
        if (text.size() > 4000) text.resize(4000);
        if (!text.empty()) (void)!::write(fds[1], text.data(), text.size());
        ::_exit(text.empty() ? 0 : 1);
    }
    ::close(fds[1]);
    return {pid, fds[0]};
}

inline ChildReport join_reporting(ReportingChild& child, int timeout_s = 10) {
    ChildReport report;
    if (child.pid < 0) return report;
    report.code = join(child.pid, timeout_s);
    char buf[4096];
    ssize_t n = 0;
    while ((n = ::read(child.fd, buf, sizeof buf)) > 0) report.text.append(buf, static_cast<size_t>(n));
    ::close(child.fd);
    child = {};
    return report;
}

// Owns a reporting child: joins it on join(), and kills and reaps it when the
// test leaves early (a failed assertion), so no child outlives its test.
class ScopedChild {
public:
    explicit ScopedChild(const std::function<std::string()>& body) : child_(spawn_reporting(body)) {}
    ~ScopedChild() {
        if (child_.pid > 0) {
            ::kill(child_.pid, SIGKILL);
            join_reporting(child_, 5);
        }
    }
    ScopedChild(const ScopedChild&) = delete;
    ScopedChild& operator=(const ScopedChild&) = delete;

    pid_t pid() const { return child_.pid; }
    ChildReport join(int timeout_s = 10) { return join_reporting(child_, timeout_s); }

private:
    ReportingChild child_;
};

inline ChildReport run_reporting(const std::function<std::string()>& body, int timeout_s = 10) {
    ReportingChild child = spawn_reporting(body);
    return join_reporting(child, timeout_s);
}

// Number of descriptors open in this process.
inline int open_fd_count() {
    int count = 0;
    if (DIR* dir = ::opendir("/proc/self/fd")) {
        while (const dirent* e = ::readdir(dir))
            if (e->d_name[0] != '.') ++count;
        ::closedir(dir);
        --count;  // the one opendir itself holds
    }
    return count;
}

// True when this process maps the file /dev/shm/<file> (a segment name
// without its slash, or "sem." + a semaphore name without its slash). Matched
// by inode, since a created semaphore is mapped under a temporary name.
inline bool mapped_in_self(const std::string& file) {
    struct stat st {};
    if (::stat(("/dev/shm/" + file).c_str(), &st) != 0) return false;
    FILE* f = ::fopen("/proc/self/maps", "r");
    if (f == nullptr) return false;
    char line[4096];
    bool found = false;
    while (!found && ::fgets(line, sizeof line, f) != nullptr) {
        unsigned dev_major = 0, dev_minor = 0;
        unsigned long long inode = 0;
        if (std::sscanf(line, "%*s %*s %*s %x:%x %llu", &dev_major, &dev_minor, &inode) == 3)
            found = inode == st.st_ino && makedev(dev_major, dev_minor) == st.st_dev;
    }
    ::fclose(f);
    return found;
}

// Makes a bare shared-memory object of `size` bytes (all zeros), as a queue
// of some kind or a half-created one would leave it; fill it with SegmentView.
inline bool make_raw_segment(const std::string& name, off_t size) {
    const int fd = ::shm_open(name.c_str(), O_RDWR | O_CREAT | O_EXCL, 0600);
    if (fd < 0) return false;
    const bool ok = ::ftruncate(fd, size) == 0;
    ::close(fd);
    return ok;
}

}  // namespace mox::ipc_queue::test
