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
#include <pthread.h>

#include <cerrno>
#include <csignal>
#include <fstream>

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

using namespace test;

// A queue's semaphore opened here, with a view of its shared word: glibc
// keeps the value in the low half, the sleepers in the high half.
class Semaphore {
public:
    explicit Semaphore(const std::string& name) : sem_(::sem_open(name.c_str(), 0)), view_("/sem." + name.substr(1)) {}
    ~Semaphore() {
        if (sem_ != SEM_FAILED) ::sem_close(sem_);
    }
    bool ok() const { return sem_ != SEM_FAILED && view_.ok(); }
    sem_t* get() const { return sem_; }
    uint32_t waiters() const { return static_cast<uint32_t>(__atomic_load_n(word(), __ATOMIC_SEQ_CST) >> 32); }
    // What a poster that dies before its wake-up call leaves behind.
    void post_without_wake() const { __atomic_fetch_add(word(), 1, __ATOMIC_SEQ_CST); }

    // Until `pid` sleeps on it (registered as a sleeper, and in state S, twice
    // 20 ms apart), so that a raised value can reach it only through a wake-up or a recheck.
    bool wait_until_asleep(pid_t pid) const {
        for (int i = 0, asleep = 0; i < 2500; ++i) {
            asleep = waiters() > 0 && sleeping(pid) ? asleep + 1 : 0;
            if (asleep == 2) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(asleep == 1 ? 20 : 2));
        }
        return false;
    }

private:
    uint64_t* word() const { return reinterpret_cast<uint64_t*>(view_.bytes()); }
    static bool sleeping(pid_t pid) {
        std::string line;
        std::getline(std::ifstream("/proc/" + std::to_string(pid) + "/stat"), line);
        const auto paren = line.rfind(')');
        return paren != std::string::npos && line.size() > paren + 2 && line[paren + 2] == 'S';
    }

    sem_t* sem_;
    SegmentView view_;
};

void ignore_sigusr1() {
    struct sigaction sa{};
    sa.sa_handler = [](int) {};
    ::sigaction(SIGUSR1, &sa, nullptr);  // no SA_RESTART
}

// Runs `body` in a child (SIGUSR1 handled, returning) and, once the child
// sleeps on the semaphore `sem_name`, lets `poke` act on both; then joins it.
ChildReport when_asleep(const std::string& sem_name, const std::function<std::string()>& body,
                        const std::function<bool(Semaphore&, pid_t)>& poke) {
    Semaphore sem(sem_name);
    ScopedChild child([&] { return ignore_sigusr1(), body(); });
    if (!sem.ok() || !sem.wait_until_asleep(child.pid()) || !poke(sem, child.pid()))
        return {-3, "the child never slept on " + sem_name + ", or slept no more after a signal"};
    return child.join(10);
}

// What a holder that dies inside its post leaves: the value raised, nobody woken.
bool release_without_wake(Semaphore& s, pid_t) { return s.post_without_wake(), true; }
// A signal whose handler returns breaks the sleep first; then the post.
bool signal_then_release(Semaphore& s, pid_t pid) {
    ::kill(pid, SIGUSR1);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    return ::sem_post(s.get()) == 0;
}

// Takes the list lock `name` as another process inside its list step would.
bool take(const std::string& name) {
    Semaphore lock(name);
    return lock.ok() && ::sem_wait(lock.get()) == 0;
}

// With or without a deadline, and with the wall clock an hour ahead (each
// sleep is bounded on the monotonic clock, so the step does not stretch it).
TEST(SemaphoreWait, ASleeperWhoseWakeUpWasLostStillTakesThePost) {
    for (const auto& [timeout_ms, clock_ahead_s] : {std::pair{0u, 0}, {30000u, 0}, {0u, 3600}, {30000u, 3600}}) {
        SCOPED_TRACE("timeout_ms " + std::to_string(timeout_ms) + ", clock ahead " + std::to_string(clock_ahead_s));
        NameGuard guard(unique_name("lostwake"));
        MPMCQueueCPP q(guard.name(), 1, 8);
        const ChildReport r = when_asleep(
            guard.name() + "_filled_",
            [&, ahead = clock_ahead_s, limit = timeout_ms] {
                g_wall_clock_ahead_s = ahead;
                Semaphore filled(guard.name() + "_filled_");
                const int rc = wait_semaphore(filled.get(), limit);
                return rc == 0 ? "" : "wait returned " + std::to_string(rc);
            },
            release_without_wake);
        EXPECT_EQ(r.code, 0) << r.text;
        EXPECT_EQ(sem_value(guard.name() + "_filled_"), 0);
    }
}

// A timed wait longer than one sleep ends at its deadline, not before; a
// deadline stays wall-clock time, so moving the clock past it ends the wait.
TEST(SemaphoreWait, DeadlinesAreWallClockTimeAcrossSleeps) {
    NameGuard guard(unique_name("deadline"));
    MPMCQueueCPP q(guard.name(), 1, 8);
    Semaphore s(guard.name() + "_filled_");
    ASSERT_TRUE(s.ok());
    const uint32_t timeout_ms = 3 * kRecheckMs + 50;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(wait_semaphore(s.get(), timeout_ms, false), ETIMEDOUT);
    const auto waited = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
    EXPECT_GE(waited.count(), timeout_ms - 1);
    const ChildReport report = run_reporting(
        [&]() -> std::string {
            std::thread jump([] {
                std::this_thread::sleep_for(std::chrono::milliseconds(300));
                g_wall_clock_ahead_s = 3600;
            });
            const int rc = wait_semaphore(s.get(), 600000);
            jump.join();
            return rc == ETIMEDOUT ? "" : "wait returned " + std::to_string(rc);
        },
        5);
    EXPECT_EQ(report.code, 0) << report.text;
}

std::string expect_interrupted(const std::function<void()>& op) {
    const std::string text = thrown_text(op);
    return text.find(std::strerror(EINTR)) != std::string::npos ? "" : text;
}

// A read and a write each interrupted in their list-lock wait, after taking
// their count: both fail with EINTR and give the count back, so the message
// is still there and every cell or channel is usable again.
TEST(InterruptedLockWait, ACountTakenBeforeTheLockIsGivenBack) {
    NameGuard mpmc_guard(unique_name("intr_mpmc")), var_guard(unique_name("intr_var"));
    MPMCQueueCPP mpmc(mpmc_guard.name(), 2, 16);
    MPMCVarQueueCPP var(var_guard.name(), 2, 2, 8);
    const struct {
        IPCQueueCPP& q;
        const char *read_lock, *write_lock, *read_count, *write_count;
    } kinds[] = {
        {mpmc, "_filled_mutex_", "_free_mutex_", "_filled_", "_free_"},
        {var, "_used_mutex_", "_used_mutex_", "_used_", "_free_"},
    };
    for (const auto& k : kinds) {
        const std::string& name = k.q.name();
        SCOPED_TRACE(name);
        k.q.write("kept across", 11);
        std::string out;
        ASSERT_TRUE(take(name + k.read_lock));
        ChildReport r = when_asleep(
            name + k.read_lock, [&] { return expect_interrupted([&] { k.q.read(out, 0); }); }, signal_then_release);
        EXPECT_EQ(r.code, 0) << r.text;
        ASSERT_EQ(sem_value(name + k.read_count), 1);  // the message is still counted
        ASSERT_TRUE(take(name + k.write_lock));
        r = when_asleep(
            name + k.write_lock, [&] { return expect_interrupted([&] { k.q.write("x", 1); }); }, signal_then_release);
        EXPECT_EQ(r.code, 0) << r.text;
        ASSERT_EQ(sem_value(name + k.write_count), 1);  // else the writes below would block
        EXPECT_TRUE(k.q.read(out, 2000) == 0 && out == "kept across") << out;
        for (const char* m : {"one", "two"}) k.q.write(m, 3);  // both cells or channels usable again
        for (const char* m : {"one", "two"}) EXPECT_TRUE(k.q.read(out, 2000) == 0 && out == m) << out;
        EXPECT_EQ(k.q.report().findings, std::vector<std::string>{});  // every count and list back
    }
}

// An MPMC cell held to give back (read) or to publish (write) waits for its
// list lock until it gets it: neither a signal whose handler returns nor a
// holder that released the lock without waking it makes it fail. The child
// closes the cell this process opened: the lists are shared.
TEST(InterruptedLockWait, AHeldCellIsGivenBackOrPublishedWhateverTheLockWaitMeets) {
    NameGuard guard(unique_name("intr_close"));
    const std::string& name = guard.name();
    MPMCQueueCPP q(name, 1, 16);
    q.write("m", 1);
    for (const auto release : {signal_then_release, release_without_wake}) {
        for (const bool reader : {true, false}) {
            SCOPED_TRACE(std::string(reader ? "read" : "write") +
                         (release == signal_then_release ? ", signal" : ", lost wake-up"));
            Cell* cell = reader ? q.open_cell_for_read(0) : q.open_cell_for_write();
            if (!reader) cell->set_length(0);
            const std::string lock = name + (reader ? "_free_mutex_" : "_filled_mutex_");
            ASSERT_TRUE(take(lock));
            const ChildReport r = when_asleep(
                lock,
                [&] {
                    reader ? q.close_cell_after_read(cell) : q.close_cell_after_write(cell, false);
                    return std::string();
                },
                release);
            EXPECT_EQ(r.code, 0) << r.text;
            ASSERT_EQ(sem_values(name, QueueKind::kMPMC), reader ? "filled=0 filled_mutex=1 free_mutex=1 free=1"
                                                                 : "filled=1 filled_mutex=1 free_mutex=1 free=0");
        }
        std::string out = "not read";
        EXPECT_TRUE(q.read(out, 2000) == 0 && out.empty()) << out;
        q.write("m", 1);
    }
}

// A reader inside a message (ring of two 8-byte cells; the writer sends 8
// bytes, then 40 more) and a writer inside one (its ring full) each get three
// signals whose handler returns while they sleep there: neither call fails,
// the message is whole.
TEST(InterruptedWait, InsideAMessageASignalIsNoFailure) {
    NameGuard guard(unique_name("intr_inside"));
    MPMCVarQueueCPP q(guard.name(), 1, 2, 8);
    std::string expected(48, '\0');
    for (size_t i = 0; i < expected.size(); ++i) expected[i] = static_cast<char>(i);
    Channel& ch = q.open_channel_for_write();
    ch.partial_write(expected.data(), 8);
    const auto signals_then = [&](const std::function<bool()>& then) {
        return [&, then](Semaphore& s, pid_t pid) {
            for (int i = 0; i < 3; ++i)
                if (::kill(pid, SIGUSR1) != 0 || !s.wait_until_asleep(pid)) return false;
            return then();
        };
    };
    ChildReport r = when_asleep(
        guard.name() + "_filled_channel_0",
        [&] {
            std::string out;
            q.read(out, 0);
            return out == expected ? "" : "read " + std::to_string(out.size()) + " bytes";
        },
        signals_then([&] { return ch.partial_write(expected.data() + 8, 40), ch.partial_write_complete(), true; }));
    EXPECT_EQ(r.code, 0) << r.text;
    r = when_asleep(
        guard.name() + "_free_channel_0", [&] { return q.write(expected.data(), 48), std::string(); },
        signals_then([&] {
            std::string out;
            return q.read(out, 10000) == 0 && out == expected;
        }));
    EXPECT_EQ(r.code, 0) << r.text;
}

// A thread cancelled in a wait holding a cell to give back, or inside a
// message: it ends (as a process dying there would), the process goes on.
TEST(InterruptedWait, AThreadEndedInsideAWaitUnwindsThroughIt) {
    NameGuard guard(unique_name("cancel")), fixed_guard(guard.name() + "f");
    MPMCQueueCPP fixed(fixed_guard.name(), 2, 16);
    MPMCVarQueueCPP var(guard.name(), 1, 2, 8);
    fixed.write("m", 1);
    Channel& ch = var.open_channel_for_write();
    ch.partial_write("12345678", 8);
    const ChildReport r = run_reporting([&]() -> std::string {
        Semaphore held(fixed_guard.name() + "_free_mutex_");
        if (!held.ok() || ::sem_wait(held.get()) != 0) return "cannot take the free mutex";
        pthread_t threads[2];
        auto read = +[](void* q) -> void* {
            std::string m;
            static_cast<IPCQueueCPP*>(q)->read(m, 0);
            return q;
        };
        ::pthread_create(&threads[0], nullptr, read, static_cast<IPCQueueCPP*>(&fixed));
        ::pthread_create(&threads[1], nullptr, read, static_cast<IPCQueueCPP*>(&var));
        for (int i = 0; held.waiters() == 0; ++i)
            if (i == 5000)
                return "the reader never waited for the lock";
            else
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
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
