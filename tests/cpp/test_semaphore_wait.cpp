// Blocking waits between processes.
// - A post is two steps (raise the value, then wake a sleeper); a poster
//   killed between them leaves the value raised and the sleepers asleep.
//   These tests leave exactly that state by raising a semaphore's value in
//   its shared page without the wake-up; every sleeper must still get it.
// - A signal that breaks a list-lock wait, which an operation makes after it
//   took a count or while it holds a cell, must cost the queue nothing; one
//   that breaks a wait inside a variable-length message is no failure.
// - A thread ended inside a wait (pthread_cancel, or an interpreter's
//   shutdown ending a daemon thread) unwinds through every handler.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <fstream>
#include <functional>
#include <string>

#include <pthread.h>

#include "ipc_queue_exception.h"
#include "mpmc_queue.h"
#include "mpmcvar_queue.h"
#include "semaphore_wait.h"
#include "test_support.h"

// This program's wall clock can be moved: clock_gettime is interposed here,
// and the library's calls resolve to it. A wall clock ahead of the system's
// is what a step of the system clock backwards makes of the deadlines a
// waiter already set.
std::atomic<int64_t> g_wall_clock_ahead_s{0};

extern "C" int clock_gettime(clockid_t clock, struct timespec* ts) {
    using Real = int (*)(clockid_t, struct timespec*);
    static const Real real = reinterpret_cast<Real>(::dlsym(RTLD_NEXT, "clock_gettime"));
    const int rc = real(clock, ts);
    if (rc == 0 && clock == CLOCK_REALTIME) ts->tv_sec += g_wall_clock_ahead_s.load();
    return rc;
}

namespace mox::ipc_queue {
namespace {

using test::ChildReport;
using test::run_reporting;
using test::NameGuard;
using test::ScopedChild;
using test::sem_value;
using test::unique_name;

// A named semaphore opened (or created) here, with a view of its shared
// word: glibc keeps the value in the low half, the sleepers in the high half.
class Semaphore {
public:
    Semaphore(std::string name, bool create) : name_(std::move(name)), owned_(create) {
        sem_ = create ? ::sem_open(name_.c_str(), O_CREAT | O_EXCL, 0600, 0) : ::sem_open(name_.c_str(), 0);
        const int fd = ::open(("/dev/shm/sem." + name_.substr(1)).c_str(), O_RDWR);
        if (fd < 0) return;
        void* p = ::mmap(nullptr, sizeof(uint64_t), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
        ::close(fd);
        if (p != MAP_FAILED) word_ = static_cast<uint64_t*>(p);
    }
    ~Semaphore() {
        if (word_ != nullptr) ::munmap(word_, sizeof(uint64_t));
        if (sem_ != SEM_FAILED) ::sem_close(sem_);
        if (owned_) ::sem_unlink(name_.c_str());
    }
    bool ok() const { return sem_ != SEM_FAILED && word_ != nullptr; }
    sem_t* get() const { return sem_; }
    uint32_t waiters() const { return static_cast<uint32_t>(__atomic_load_n(word_, __ATOMIC_SEQ_CST) >> 32); }
    // What a poster that dies before its wake-up call leaves behind.
    void post_without_wake() { __atomic_fetch_add(word_, 1, __ATOMIC_SEQ_CST); }

    // Until `pid` sleeps on it (registered as a sleeper, and in state S), so
    // that a raised value can reach it only through a wake-up or a recheck.
    bool wait_until_asleep(pid_t pid) const {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (std::chrono::steady_clock::now() < deadline) {
            if ((__atomic_load_n(word_, __ATOMIC_SEQ_CST) >> 32) > 0 && sleeping(pid)) {
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
                if (sleeping(pid)) return true;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        return false;
    }

private:
    static bool sleeping(pid_t pid) {
        std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
        std::string line;
        std::getline(stat, line);
        const auto paren = line.rfind(')');
        return paren != std::string::npos && line.size() > paren + 2 && line[paren + 2] == 'S';
    }

    std::string name_;
    bool owned_;
    sem_t* sem_ = SEM_FAILED;
    uint64_t* word_ = nullptr;
};

TEST(SemaphoreWait, ASleeperWhoseWakeUpWasLostStillTakesThePost) {
    for (const uint32_t timeout_ms : {0u, 30000u}) {
        SCOPED_TRACE("timeout_ms " + std::to_string(timeout_ms));
        Semaphore s(unique_name("lostwake"), true);
        ASSERT_TRUE(s.ok());
        ScopedChild child([&]() -> std::string {
            const int rc = wait_semaphore(s.get(), timeout_ms);
            return rc == 0 ? "" : "wait returned " + std::to_string(rc);
        });
        ASSERT_TRUE(s.wait_until_asleep(child.pid()));
        s.post_without_wake();
        const ChildReport report = child.join(5);
        EXPECT_EQ(report.code, 0) << report.text;
        int value = -1;
        ::sem_getvalue(s.get(), &value);
        EXPECT_EQ(value, 0);
    }
}

// Each sleep is bounded on the monotonic clock: a wall clock an hour off
// does not stretch it, and the lost wake-up is still noticed.
TEST(SemaphoreWait, AWallClockStepDoesNotStretchTheSleeps) {
    Semaphore s(unique_name("clockstep"), true);
    ASSERT_TRUE(s.ok());
    ScopedChild child([&]() -> std::string {
        g_wall_clock_ahead_s = 3600;
        const int rc = wait_semaphore(s.get(), 0);
        return rc == 0 ? "" : "wait returned " + std::to_string(rc);
    });
    ASSERT_TRUE(s.wait_until_asleep(child.pid()));
    s.post_without_wake();
    const ChildReport report = child.join(5);
    EXPECT_EQ(report.code, 0) << report.text;
}

// A deadline stays wall-clock time: moving the clock past it ends the wait.
TEST(SemaphoreWait, ADeadlineFollowsTheWallClock) {
    Semaphore s(unique_name("clockjump"), true);
    ASSERT_TRUE(s.ok());
    const ChildReport report = run_reporting([&]() -> std::string {
        std::thread jump([] {
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
            g_wall_clock_ahead_s = 3600;
        });
        const int rc = wait_semaphore(s.get(), 600000);
        jump.join();
        return rc == ETIMEDOUT ? "" : "wait returned " + std::to_string(rc);
    }, 5);
    EXPECT_EQ(report.code, 0) << report.text;
}

TEST(SemaphoreWait, ATimedWaitLongerThanOneSleepEndsAtItsDeadline) {
    Semaphore s(unique_name("deadline"), true);
    ASSERT_TRUE(s.ok());
    const uint32_t timeout_ms = 3 * kRecheckMs + 50;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(wait_semaphore(s.get(), timeout_ms, false), ETIMEDOUT);
    const auto waited = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
    EXPECT_GE(waited.count(), timeout_ms - 1);
    EXPECT_LT(waited.count(), 5000);
}

void ignore_sigusr1() {
    struct sigaction sa {};
    sa.sa_handler = [](int) {};
    ::sigaction(SIGUSR1, &sa, nullptr);  // no SA_RESTART
}

// Runs `body` in a child that blocks on the list lock `lock_name`, held here
// meanwhile. With `lost_wake`, the lock is then released the way a holder
// that died inside its post leaves it; otherwise the child's wait is first
// broken by a signal whose handler returns, then the lock is released.
ChildReport block_on_lock(const std::string& lock_name, bool lost_wake, const std::function<std::string()>& body) {
    Semaphore lock(lock_name, false);
    if (!lock.ok() || ::sem_wait(lock.get()) != 0) return {-3, "cannot take " + lock_name};
    ScopedChild child([&]() -> std::string {
        ignore_sigusr1();
        return body();
    });
    if (!lock.wait_until_asleep(child.pid())) {
        ::sem_post(lock.get());
        return {-3, "child never slept on " + lock_name};
    }
    if (lost_wake) {
        lock.post_without_wake();
    } else {
        ::kill(child.pid(), SIGUSR1);
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        ::sem_post(lock.get());
    }
    return child.join(5);
}

template <class Queue>
void read_without_limit(Queue& q) {
    std::string out;
    q.read(out, 0);
}

std::string expect_interrupted(const std::function<void()>& op) {
    try {
        op();
    } catch (const IPCQueueException& e) {
        return std::string(e.what()).find("Interrupted system call") != std::string::npos ? "" : e.what();
    }
    return "not interrupted";
}

// A writer about to publish sleeps on the filled list lock; its holder
// released it and died before the wake-up. The message must still arrive.
TEST(SemaphoreWait, AWriterWaitingOnAListLockReleasedWithoutWakeUpGoesOn) {
    NameGuard guard(unique_name("lostwake_mpmc"));
    MPMCQueueCPP q(guard.name(), 4, 64);
    const ChildReport report = block_on_lock(guard.name() + "_filled_mutex_", true, [&] {
        q.write("published", 9);
        return std::string();
    });
    EXPECT_EQ(report.code, 0) << report.text;
    std::string got;
    EXPECT_EQ(q.read(got, 2000), 0);
    EXPECT_EQ(got, "published");
}

TEST(InterruptedLockWait, MPMCOpeningACellGivesItsCountBack) {
    NameGuard guard(unique_name("intr_mpmc_open"));
    MPMCQueueCPP q(guard.name(), 2, 16);
    q.write("kept", 4);
    auto report = block_on_lock(guard.name() + "_filled_mutex_", false, [&] {
        return expect_interrupted([&] { read_without_limit(q); });
    });
    EXPECT_EQ(report.code, 0) << report.text;
    ASSERT_EQ(sem_value(guard.name() + "_filled_"), 1);  // the message is still counted

    report = block_on_lock(guard.name() + "_free_mutex_", false,
                           [&] { return expect_interrupted([&] { q.write("x", 1); }); });
    EXPECT_EQ(report.code, 0) << report.text;
    ASSERT_EQ(sem_value(guard.name() + "_free_"), 1);  // else the writes below would block

    std::string out;
    EXPECT_EQ(q.read(out, 2000), 0);
    EXPECT_EQ(out, "kept");
    q.write("a", 1);  // both cells usable again
    q.write("b", 1);
    EXPECT_EQ(sem_value(guard.name() + "_free_"), 0);
}

TEST(InterruptedLockWait, MPMCGivingACellBackOutlastsOneSignal) {
    NameGuard guard(unique_name("intr_mpmc_close"));
    MPMCQueueCPP q(guard.name(), 1, 16);
    q.write("m", 1);
    for (const bool reader : {true, false}) {
        SCOPED_TRACE(reader ? "close_cell_after_read" : "close_cell_after_write");
        Cell* cell = reader ? q.open_cell_for_read(0) : q.open_cell_for_write();
        if (!reader) cell->set_length(0);
        // The child closes the cell this process opened: the lists are shared.
        const auto report = block_on_lock(guard.name() + (reader ? "_free_mutex_" : "_filled_mutex_"), false, [&] {
            if (reader)
                q.close_cell_after_read(cell);
            else
                q.close_cell_after_write(cell, false);
            return std::string();
        });
        EXPECT_EQ(report.code, 0) << report.text;
        ASSERT_EQ(sem_value(guard.name() + (reader ? "_free_" : "_filled_")), 1);
    }
    std::string out;
    EXPECT_EQ(q.read(out, 2000), 0);
    EXPECT_EQ(out, "");
}

TEST(InterruptedLockWait, MPMCVarStartingOrTakingAMessageGivesTheChannelBack) {
    NameGuard guard(unique_name("intr_var"));
    MPMCVarQueueCPP q(guard.name(), 2, 2, 8);
    q.write("kept across", 11);
    const std::string lock = guard.name() + "_used_mutex_";
    auto report = block_on_lock(lock, false, [&] {
        return expect_interrupted([&] { read_without_limit(q); });
    });
    EXPECT_EQ(report.code, 0) << report.text;
    ASSERT_EQ(sem_value(guard.name() + "_used_"), 1);

    report = block_on_lock(lock, false, [&] { return expect_interrupted([&] { q.write("lost?", 5); }); });
    EXPECT_EQ(report.code, 0) << report.text;
    ASSERT_EQ(sem_value(guard.name() + "_free_"), 1);  // else the writes below would block

    std::string out;
    EXPECT_EQ(q.read(out, 2000), 0);
    EXPECT_EQ(out, "kept across");
    q.write("one", 3);  // both channels usable again
    q.write("two", 3);
    for (const char* expected : {"one", "two"}) {
        EXPECT_EQ(q.read(out, 2000), 0);
        EXPECT_EQ(out, expected);
    }
    EXPECT_EQ(q.read(out, 50), 1);
}

// A reader inside a message (ring of two 8-byte cells; the writer sends 8
// bytes, pauses, then 40 more) and a writer inside one (its ring full) each
// get signals whose handler returns: neither call fails, the message is whole.
TEST(InterruptedWait, InsideAMessageASignalIsNoFailure) {
    NameGuard guard(unique_name("intr_inside"));
    MPMCVarQueueCPP q(guard.name(), 1, 2, 8);
    std::string expected(48, '\0');
    for (size_t i = 0; i < expected.size(); ++i) expected[i] = static_cast<char>(i);
    Channel& ch = q.open_channel_for_write();
    ch.partial_write(expected.data(), 8);
    // Signals while the child sleeps inside the message; then it must still be in there.
    auto signal_while_asleep = [&](ScopedChild& child, const std::string& sem) {
        Semaphore s(sem, false);
        for (int i = 0; i < 3; ++i) {
            if (!s.wait_until_asleep(child.pid())) return false;
            ::kill(child.pid(), SIGUSR1);
        }
        return s.wait_until_asleep(child.pid());
    };
    {
        ScopedChild reader([&]() -> std::string {
            ignore_sigusr1();
            std::string out;
            q.read(out, 0);
            return out == expected ? "" : "read " + std::to_string(out.size()) + " bytes";
        });
        ASSERT_TRUE(signal_while_asleep(reader, guard.name() + "_filled_channel_0")) << "a signal ended the read";
        ch.partial_write(expected.data() + 8, 40);
        ch.partial_write_complete();
        const ChildReport r = reader.join(10);
        EXPECT_EQ(r.code, 0) << r.text;
    }
    ScopedChild writer([&]() -> std::string {
        ignore_sigusr1();
        q.write(expected.data(), 48);
        return "";
    });
    ASSERT_TRUE(signal_while_asleep(writer, guard.name() + "_free_channel_0")) << "a signal ended the write";
    std::string out;
    EXPECT_EQ(q.read(out, 10000), 0);
    EXPECT_EQ(out, expected);
    const ChildReport r = writer.join(10);
    EXPECT_EQ(r.code, 0) << r.text;
}

// A thread cancelled in a wait holding a cell to give back, or inside a
// message: it ends (as a process dying there would), the process goes on.
TEST(InterruptedWait, AThreadEndedInsideAWaitUnwindsThroughIt) {
    NameGuard guard(unique_name("cancel"));
    MPMCQueueCPP fixed(guard.name() + "f", 2, 16);
    NameGuard fixed_guard(guard.name() + "f");
    MPMCVarQueueCPP var(guard.name(), 1, 2, 8);
    fixed.write("m", 1);
    Channel& ch = var.open_channel_for_write();
    ch.partial_write("12345678", 8);
    const ChildReport r = run_reporting([&]() -> std::string {
        Semaphore held(guard.name() + "f_free_mutex_", false);
        if (!held.ok() || ::sem_wait(held.get()) != 0) return "cannot take the free mutex";
        std::string out[2];
        pthread_t threads[2];
        auto give_back = +[](void* q) -> void* { std::string m; static_cast<MPMCQueueCPP*>(q)->read(m, 0); return q; };
        auto inside = +[](void* q) -> void* { std::string m; static_cast<MPMCVarQueueCPP*>(q)->read(m, 0); return q; };
        ::pthread_create(&threads[0], nullptr, give_back, &fixed);
        ::pthread_create(&threads[1], nullptr, inside, &var);
        for (int i = 0; held.waiters() == 0; ++i)
            if (i == 5000) return "the reader never waited for the lock";
            else std::this_thread::sleep_for(std::chrono::milliseconds(1));
        std::this_thread::sleep_for(std::chrono::milliseconds(100));  // the other inside its message
        for (pthread_t t : threads) {
            ::pthread_cancel(t);
            void* result = nullptr;
            ::pthread_join(t, &result);
            if (result != PTHREAD_CANCELED) return "a thread returned instead of ending";
        }
        return "";
    });
    EXPECT_EQ(r.code, 0) << r.text;  // an unwind swallowed on the way aborts the process
}

}  // namespace
}  // namespace mox::ipc_queue
