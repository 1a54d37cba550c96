// SPSCQueueCPP's own behaviour, in its golden layout test (offsets written
// out here on purpose): ring bytes, thread slots, taking a write back. Shared
// with MPMC: test_fixed_cell_queues.cpp; names, damaged headers:
// test_queue_lifecycle.cpp; damaged ring indices: test_damaged_segments.cpp.
#include <gtest/gtest.h>
#include <pthread.h>

#include <future>
#include <tuple>

#include "spsc_queue.h"
#include "test_support.h"

namespace mox::ipc_queue {
namespace {

using namespace test;

constexpr size_t kReadIndex = 24, kWriteIndex = 28, kFirstThread = 32, kSecondThread = 40;

uint64_t self_id() { return static_cast<uint64_t>(::pthread_self()); }

// Everything still in the queue, each message followed by '|'.
std::string drain(SPSCQueueCPP& q) {
    std::string out, all;
    while (q.read(out, 20) == 0) all += out + "|";
    return all;
}

// The creator takes the thread slot it asked for; a peer connecting from a
// thread of another process takes the other one. Discarding an empty cell
// takes the write back: at the last position it steps back over the wrap, so
// the same cell comes again, in the middle of the ring by one; discarding a
// non-empty one publishes it.
TEST(SPSCLayout, HeaderCellsRingIndicesThreadSlotsAndTakenBackWritesByteByByte) {
    for (const bool creator_first : {true, false}) {
        SCOPED_TRACE(creator_first ? "creator first" : "creator second");
        const NameGuard guard(unique_name("spsc_layout"));
        SPSCQueueCPP q(guard.name(), 3, 10, creator_first);
        SegmentView v(guard.name());
        ASSERT_TRUE(v.ok());
        const size_t mine = creator_first ? kFirstThread : kSecondThread, other = kFirstThread + kSecondThread - mine;
        // Size twice, queue_type, num_cells, cell_size, read_index, write_index, both thread slots.
        EXPECT_EQ(std::make_tuple(v.size(), v.u64(0), v.u32(8), v.u32(12), v.u64(16), v.u32(24), v.u32(28), v.u64(mine),
                                  v.u64(other)),
                  std::make_tuple(size_t{126}, uint64_t{126}, 0u, 3u, uint64_t{10}, 0u, 0u, self_id(), uint64_t{0}));
        q.write("abc", 3);
        EXPECT_EQ(v.u32(kWriteIndex), 1u);
        EXPECT_EQ(v.u64(48), 0u) << "the first 8 bytes of a cell are unused";
        EXPECT_EQ(v.u64(48 + 8), 3u);
        EXPECT_EQ(std::memcmp(v.bytes() + 48 + 16, "abc", 3), 0);
        q.write("0123456789", 10);
        EXPECT_EQ(v.u32(kWriteIndex), 2u);
        EXPECT_EQ(v.u64(74 + 8), 10u);
        EXPECT_EQ(std::memcmp(v.bytes() + 74 + 16, "0123456789", 10), 0);
        EXPECT_EQ(v.u64(100 + 8), 0u) << "a full cell ends where the next cell's header starts";
        std::string out;
        ASSERT_EQ(q.read(out, 1000), 0);
        EXPECT_EQ(v.u32(kReadIndex), 1u);
        q.write("z", 1);
        EXPECT_EQ(v.u32(kWriteIndex), 0u) << "write_index wraps";
        EXPECT_EQ(v.u64(100 + 8), 1u);
        EXPECT_EQ(drain(q), "0123456789|z|");
        EXPECT_EQ(v.u32(kReadIndex), 0u) << "read_index wraps";

        for (const char* m : {"a", "b"}) q.write(m, 1);
        for (const std::string body : {"", "xyz"}) {
            Cell* c = q.open_cell_for_write();
            EXPECT_EQ(c, q.cellAt(2));
            c->set_length(body.size());
            std::memcpy(c->data(), body.data(), body.size());
            q.close_cell_after_write(c, true);
            ASSERT_EQ(sem_value(guard.name() + "_free_"), body.empty() ? 1 : 0);  // else the next open would block
        }
        EXPECT_EQ(v.u32(kWriteIndex), 0u);
        EXPECT_EQ(drain(q), "a|b|xyz|");
        q.write("c", 1);
        Cell* c = q.open_cell_for_write();
        c->set_length(0);
        q.close_cell_after_write(c, true);
        EXPECT_EQ(v.u32(kWriteIndex), 1u);
        q.write("d", 1);
        EXPECT_EQ(drain(q), "c|d|");

        const ChildReport r = run_reporting([&] {
            uint64_t id = 0;
            std::thread([&] {
                id = self_id();
                SPSCQueueCPP peer(guard.name());
            }).join();
            return v.u64(other) == id && v.u64(mine) != id ? "" : std::string("the peer's slot: wrong thread");
        });
        EXPECT_EQ(r.code, 0) << r.text;
        EXPECT_EQ(v.u64(mine), self_id());
    }
}

// A call blocked on a peer that was killed learns it (both directions):
// nothing more can come or go. A peer that is merely quiet is no reason.
TEST(SPSCPeer, ABlockedCallLearnsThatThePeerDied) {
    for (const bool reader : {true, false}) {
        NameGuard guard(unique_name("peer"));
        SPSCQueueCPP q(guard.name(), 2, 16, true);
        if (!reader) q.write("ab", 2), q.write("cd", 2);  // full: the next write waits
        std::string out;
        EXPECT_EQ(ScopedChild([&] {
                      SPSCQueueCPP peer(guard.name());
                      ::raise(SIGKILL);
                      return std::string("alive");
                  })
                      .join()
                      .code,
                  -2);
        auto call = std::async(std::launch::async, [&] { reader ? q.read(out, 0) : (q.write("ef", 2), 0); });
        ASSERT_EQ(call.wait_for(std::chrono::seconds(5)), std::future_status::ready) << "still waiting";
        const std::string text = thrown_text([&] { call.get(); });
        EXPECT_NE(text.find("the peer process died"), std::string::npos) << text;
    }
    NameGuard guard(unique_name("quiet"));
    SPSCQueueCPP q(guard.name(), 2, 16, true);
    ScopedChild quiet([&] {
        SPSCQueueCPP peer(guard.name());
        ::pause();
        return std::string();
    });
    while (segment_exists(guard.name())) std::this_thread::sleep_for(std::chrono::milliseconds(1));  // connected
    std::string out;
    EXPECT_EQ(q.read(out, Timeout::within_ns(600'000'000)), 1);
}

}  // namespace
}  // namespace mox::ipc_queue
