// The calls added beside the original ones: writes and reads bounded by a
// Timeout, counts(), close(), and queues whose names outlive their objects.
#include <gtest/gtest.h>

#include <cerrno>
#include <memory>
#include <string>

#include "mpmc_queue.h"
#include "mpmcvar_queue.h"
#include "spsc_queue.h"
#include "test_support.h"

namespace mox::ipc_queue::test {
namespace {

const Timeout kShort = Timeout::within_ns(20'000'000);

template <class Q>
void fill_then_time_out(Q& q, uint32_t room) {
    const char byte = 'x';
    for (uint32_t i = 0; i < room; ++i) ASSERT_TRUE(q.write(&byte, 1, Timeout::now()));
    EXPECT_EQ(q.counts().waiting, static_cast<int>(room));
    EXPECT_EQ(q.counts().free, 0);
    EXPECT_FALSE(q.write(&byte, 1, Timeout::now()));
    EXPECT_FALSE(q.write(&byte, 1, kShort));
    std::string out = "untouched";
    for (uint32_t i = 0; i < room; ++i) ASSERT_EQ(q.read(out, Timeout::now()), 0);
    EXPECT_EQ(out, "x");
    EXPECT_EQ(q.read(out, kShort), 1);
    EXPECT_EQ(q.read(out, Timeout::now()), 1);
    EXPECT_EQ(q.counts().waiting, 0);
    EXPECT_EQ(q.counts().free, static_cast<int>(room));
}

TEST(Timeouts, WritesAndReadsGiveUpWithNothingChanged) {
    NameGuard a(unique_name("tmo")), b(unique_name("tmo")), c(unique_name("tmo"));
    SPSCQueueCPP spsc(a.name(), 3, 8, true);
    fill_then_time_out(spsc, 3);
    MPMCQueueCPP mpmc(b.name(), 3, 8);
    fill_then_time_out(mpmc, 3);
    MPMCVarQueueCPP var(c.name(), 3, 2, 8);  // one message per channel
    fill_then_time_out(var, 3);
}

TEST(Timeouts, AVariableMessageThatRunsOutOfTimeIsAbandonedAndSkipped) {
    NameGuard g(unique_name("tmo"));
    MPMCVarQueueCPP q(g.name(), 2, 2, 8);
    const std::string big(40, 'b');  // five cells through a ring of two
    EXPECT_FALSE(q.write(big.data(), static_cast<int64_t>(big.size()), kShort));
    ASSERT_TRUE(q.write("ok", 2, Timeout::now()));
    std::string out;
    // The abandoned message's reader learns it without waiting, even from a
    // full ring: a take-what-is-there read must not report "nothing yet" for ever.
    Channel* first = q.open_channel_for_read(Timeout::now());
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(first->partial_read(out, Timeout::now()), Channel::ReadStep::kMore);
    EXPECT_EQ(first->partial_read(out, Timeout::now()), Channel::ReadStep::kMore);
    EXPECT_THROW(first->partial_read(out, Timeout::now()), MessageAbandoned);
    ASSERT_EQ(q.read(out, Timeout::now()), 0);
    EXPECT_EQ(out, "ok");
    EXPECT_EQ(q.counts().free, 2);
}

template <class Q>
void check_closed(Q& q) {
    EXPECT_FALSE(q.closed());
    q.close();
    EXPECT_TRUE(q.closed());
    q.close();
    std::string out;
    EXPECT_EQ(thrown_text([&] { q.write("x", 1); }), "queue is closed");
    EXPECT_EQ(thrown_text([&] { q.read(out, Timeout::now()); }), "queue is closed");
    EXPECT_EQ(thrown_text([&] { q.counts(); }), "queue is closed");
    EXPECT_EQ(thrown_text([&] { q.report(); }), "queue is closed");
    q.unlink();  // nothing to do
    EXPECT_EQ(q.cell_size(), 8u);
}

TEST(Close, ReleasesNowAndLaterCallsThrow) {
    NameGuard a(unique_name("close")), b(unique_name("close")), c(unique_name("close"));
    SPSCQueueCPP spsc(a.name(), 2, 8, true);
    check_closed(spsc);
    MPMCQueueCPP mpmc(b.name(), 2, 8);
    check_closed(mpmc);
    MPMCVarQueueCPP var(c.name(), 2, 2, 8);
    check_closed(var);
    for (const NameGuard* g : {&a, &b, &c}) EXPECT_FALSE(segment_exists(g->name()));
}

template <class Q, class... Geometry>
void check_kept_names(const std::string& name, QueueKind kind, unsigned channels, Geometry... geometry) {
    {
        Q creator(name, geometry..., CreateOptions{.keep_names = true});
        EXPECT_TRUE(creator.keeps_names());
        Q worker(name);
        EXPECT_TRUE(worker.keeps_names());
        worker.close();
        ASSERT_TRUE(creator.write("j", 1, Timeout::now()));
    }
    // Nobody is attached now, and the message waits for the next worker.
    ASSERT_TRUE(any_name_left(name, kind, channels));
    for (const std::string& sem : queue_sem_names(name, kind, channels)) EXPECT_TRUE(sem_exists(sem)) << sem;
    Q next(name);
    std::string out;
    ASSERT_EQ(next.read(out, Timeout::now()), 0);
    EXPECT_EQ(out, "j");
    next.unlink();
    EXPECT_FALSE(any_name_left(name, kind, channels));

    Q plain(name, geometry...);
    EXPECT_FALSE(plain.keeps_names());
    Q(name).close();  // as before: any object's end removes the names
    EXPECT_FALSE(any_name_left(name, kind, channels));
}

TEST(KeepNames, NamesStayUntilUnlink) {
    NameGuard a(unique_name("keep")), b(unique_name("keep"));
    check_kept_names<MPMCQueueCPP>(a.name(), QueueKind::kMPMC, 0, int64_t{2}, int64_t{8});
    check_kept_names<MPMCVarQueueCPP>(b.name(), QueueKind::kMPMCVar, 2, int64_t{2}, int64_t{2}, uint64_t{8});
}

TEST(Errors, CarryTheErrnoOfTheFailedCall) {
    try {
        MPMCQueueCPP q(unique_name("missing"));
        FAIL() << "connected to a queue that does not exist";
    } catch (const IPCQueueException& e) {
        EXPECT_EQ(e.error, ENOENT);
    }
    EXPECT_EQ(IPCQueueException("text").error, 0);
}

}  // namespace
}  // namespace mox::ipc_queue::test
