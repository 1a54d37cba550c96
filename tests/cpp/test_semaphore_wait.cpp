// Blocking waits between processes.
// - A post is two steps (raise the value, then wake a sleeper); a poster
//   killed between them leaves the value raised and the sleepers asleep.
//   These tests leave exactly that state by raising a semaphore's value in
//   its shared page without the wake-up; every sleeper must still get it.
// - A signal that breaks a list-lock wait, which an operation makes after it
//   took a count or while it holds a cell, must cost the queue nothing.
#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>

#include "ipc_queue_exception.h"
#include "mpmc_queue.h"
#include "mpmcvar_queue.h"
#include "semaphore_wait.h"
#include "test_support.h"

namespace mox::ipc_queue {
namespace {

using test::NameGuard;
using test::ScopedChild;
using test::sem_value;
using test::unique_name;

// glibc keeps a process-shared semaphore in one 64-bit word: the value in
// the low half, the number of sleepers in the high half.
class SemaphorePage {
public:
    explicit SemaphorePage(const std::string& sem_name) {
        const int fd = ::open(("/dev/shm/sem." + sem_name.substr(1)).c_str(), O_RDWR);
        if (fd < 0) return;
        void* p = ::mmap(nullptr, sizeof(uint64_t), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
        ::close(fd);
        if (p != MAP_FAILED) word_ = static_cast<uint64_t*>(p);
    }
    ~SemaphorePage() {
        if (word_ != nullptr) ::munmap(word_, sizeof(uint64_t));
    }
    bool ok() const { return word_ != nullptr; }
    uint32_t sleepers() const { return static_cast<uint32_t>(__atomic_load_n(word_, __ATOMIC_SEQ_CST) >> 32); }
    // What a poster that dies before its wake-up call leaves behind.
    void post_without_wake() { __atomic_fetch_add(word_, 1, __ATOMIC_SEQ_CST); }

private:
    uint64_t* word_ = nullptr;
};

bool sleeping(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    std::getline(stat, line);
    const auto paren = line.rfind(')');
    return paren != std::string::npos && line.size() > paren + 2 && line[paren + 2] == 'S';
}

// Until `pid` sleeps on the semaphore (registered as a sleeper, and in state
// S), so that a raised value can only reach it through a wake-up or a recheck.
bool wait_until_asleep(const SemaphorePage& page, pid_t pid) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (std::chrono::steady_clock::now() < deadline) {
        if (page.sleepers() > 0 && sleeping(pid)) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            if (sleeping(pid)) return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return false;
}

struct NamedSemaphore {
    explicit NamedSemaphore(std::string n, unsigned value) : name(std::move(n)) {
        sem = ::sem_open(name.c_str(), O_CREAT | O_EXCL, 0600, value);
    }
    ~NamedSemaphore() {
        if (sem != SEM_FAILED) ::sem_close(sem);
        ::sem_unlink(name.c_str());
    }
    std::string name;
    sem_t* sem;
};

TEST(SemaphoreWait, ASleeperWhoseWakeUpWasLostStillTakesThePost) {
    for (const uint32_t timeout_ms : {0u, 30000u}) {
        SCOPED_TRACE("timeout_ms " + std::to_string(timeout_ms));
        NamedSemaphore s(unique_name("lostwake"), 0);
        ASSERT_NE(s.sem, SEM_FAILED);
        SemaphorePage page(s.name);
        ASSERT_TRUE(page.ok());

        ScopedChild child([&]() -> std::string {
            const int rc = wait_semaphore(s.sem, timeout_ms);
            return rc == 0 ? "" : "wait returned " + std::to_string(rc);
        });
        ASSERT_TRUE(wait_until_asleep(page, child.pid()));
        page.post_without_wake();
        const auto report = child.join(5);
        EXPECT_EQ(report.code, 0) << report.text;
        int value = -1;
        ::sem_getvalue(s.sem, &value);
        EXPECT_EQ(value, 0);
    }
}

TEST(SemaphoreWait, ATimedWaitLongerThanOneSleepEndsAtItsDeadline) {
    NamedSemaphore s(unique_name("deadline"), 0);
    ASSERT_NE(s.sem, SEM_FAILED);
    const uint32_t timeout_ms = 3 * kRecheckMs + 50;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(wait_semaphore(s.sem, timeout_ms, false), ETIMEDOUT);
    const auto waited = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
    EXPECT_GE(waited.count(), timeout_ms - 1);
    EXPECT_LT(waited.count(), 5000);
}

// The queue-level case: a writer about to publish waits on the filled list
// lock; its holder released it and died before the wake-up. The writer must
// still publish, and a reader must get the message.
TEST(SemaphoreWait, AWriterWaitingOnAListLockReleasedWithoutWakeUpGoesOn) {
    NameGuard guard(unique_name("lostwake_mpmc"));
    MPMCQueueCPP q(guard.name(), 4, 64);
    const std::string lock_name = guard.name() + "_filled_mutex_";
    sem_t* lock = ::sem_open(lock_name.c_str(), 0);
    ASSERT_NE(lock, SEM_FAILED);
    ASSERT_EQ(::sem_wait(lock), 0);  // held, as by the peer about to die
    SemaphorePage page(lock_name);
    ASSERT_TRUE(page.ok());

    ScopedChild writer([&]() -> std::string {
        q.write("published", 9);
        return "";
    });
    ASSERT_TRUE(wait_until_asleep(page, writer.pid()));
    page.post_without_wake();
    const auto report = writer.join(5);
    EXPECT_EQ(report.code, 0) << report.text;

    std::string got;
    EXPECT_EQ(q.read(got, 2000), 0);
    EXPECT_EQ(got, "published");
    ::sem_close(lock);
}

// Runs `body` in a child that blocks on the lock `lock_name` (held here
// meanwhile), breaks that wait with a signal whose handler returns, then
// releases the lock; returns the child's report.
test::ChildReport interrupt_lock_wait(const std::string& lock_name, const std::function<std::string()>& body) {
    sem_t* lock = ::sem_open(lock_name.c_str(), 0);
    if (lock == SEM_FAILED || ::sem_wait(lock) != 0) return {-3, "cannot take " + lock_name};
    SemaphorePage page(lock_name);
    ScopedChild child([&]() -> std::string {
        struct sigaction sa {};
        sa.sa_handler = [](int) {};
        ::sigaction(SIGUSR1, &sa, nullptr);  // no SA_RESTART
        return body();
    });
    test::ChildReport report{-3, "child never slept on " + lock_name};
    if (page.ok() && wait_until_asleep(page, child.pid())) {
        ::kill(child.pid(), SIGUSR1);
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        ::sem_post(lock);
        report = child.join(5);
    } else {
        ::sem_post(lock);
    }
    ::sem_close(lock);
    return report;
}

std::string expect_interrupted(const std::function<void()>& op) {
    try {
        op();
    } catch (const IPCQueueException& e) {
        return std::string(e.what()).find("Interrupted system call") != std::string::npos ? "" : e.what();
    }
    return "not interrupted";
}

TEST(InterruptedLockWait, MPMCOpeningACellGivesItsCountBack) {
    NameGuard guard(unique_name("intr_mpmc_open"));
    MPMCQueueCPP q(guard.name(), 2, 16);
    q.write("kept", 4);

    auto report = interrupt_lock_wait(guard.name() + "_filled_mutex_", [&] {
        return expect_interrupted([&] {
            std::string out;
            q.read(out, 0);
        });
    });
    EXPECT_EQ(report.code, 0) << report.text;
    ASSERT_EQ(sem_value(guard.name() + "_filled_"), 1);  // the message is still counted

    report = interrupt_lock_wait(guard.name() + "_free_mutex_", [&] { return expect_interrupted([&] { q.write("x", 1); }); });
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
        const auto report = interrupt_lock_wait(guard.name() + (reader ? "_free_mutex_" : "_filled_mutex_"), [&] {
            if (reader)
                q.close_cell_after_read(cell);
            else
                q.close_cell_after_write(cell, false);
            return std::string();
        });
        EXPECT_EQ(report.code, 0) << report.text;
        // The child finished for this process, which still holds `cell` only
        // in its own copy of the bookkeeping: the shared lists moved on.
        ASSERT_EQ(sem_value(guard.name() + (reader ? "_free_" : "_filled_")), 1);
    }
    std::string out;
    EXPECT_EQ(q.read(out, 2000), 0);
    EXPECT_EQ(out, "");
}

TEST(InterruptedLockWait, MPMCVarStartingOrTakingAMessageGivesTheChannelBack) {
    NameGuard guard(unique_name("intr_var"), 2);
    MPMCVarQueueCPP q(guard.name(), 2, 2, 8);
    q.write("kept across", 11);

    auto report = interrupt_lock_wait(guard.name() + "_used_mutex_", [&] {
        return expect_interrupted([&] {
            std::string out;
            q.read(out, 0);
        });
    });
    EXPECT_EQ(report.code, 0) << report.text;
    ASSERT_EQ(sem_value(guard.name() + "_used_"), 1);

    report = interrupt_lock_wait(guard.name() + "_used_mutex_",
                                 [&] { return expect_interrupted([&] { q.write("lost?", 5); }); });
    EXPECT_EQ(report.code, 0) << report.text;
    ASSERT_EQ(sem_value(guard.name() + "_free_"), 1);  // else the writes below would block

    std::string out;
    EXPECT_EQ(q.read(out, 2000), 0);
    EXPECT_EQ(out, "kept across");
    q.write("one", 3);  // both channels usable again
    q.write("two", 3);
    EXPECT_EQ(q.read(out, 2000), 0);
    EXPECT_EQ(out, "one");
    EXPECT_EQ(q.read(out, 2000), 0);
    EXPECT_EQ(out, "two");
    EXPECT_EQ(q.read(out, 50), 1);
}

}  // namespace
}  // namespace mox::ipc_queue
