// SPSCQueueCPP's own behaviour: the ring's bytes, the thread slots, taking a
// write back, and damaged ring indices. What it shares with MPMC is in
// test_fixed_cell_queues.cpp; names and damaged headers in test_queue_lifecycle.cpp.
#include <gtest/gtest.h>
#include <pthread.h>

#include <cstring>
#include <string>
#include <thread>

#include "ipc_queue_exception.h"
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

TEST(SPSCLayout, HeaderCellsAndRingIndicesByteByByte) {
    const NameGuard guard(unique_name("spsc_layout"));
    const std::string& name = guard.name();
    SPSCQueueCPP q(name, 3, 10, true);
    SegmentView v(name);
    ASSERT_TRUE(v.ok());
    EXPECT_EQ(v.size(), 126u);
    EXPECT_EQ(v.u64(0), 126u);
    EXPECT_EQ(v.u32(8), 0u);
    EXPECT_EQ(v.u32(12), 3u);
    EXPECT_EQ(v.u64(16), 10u);
    EXPECT_EQ(v.u32(kReadIndex), 0u);
    EXPECT_EQ(v.u32(kWriteIndex), 0u);

    q.write("abc", 3);
    EXPECT_EQ(v.u32(kWriteIndex), 1u);
    EXPECT_EQ(v.u64(48), 0u) << "the first 8 bytes of a cell are unused";
    EXPECT_EQ(v.u64(48 + 8), 3u);
    EXPECT_EQ(std::memcmp(v.bytes() + 48 + 16, "abc", 3), 0);
    q.write("0123456789", 10);
    EXPECT_EQ(v.u32(kWriteIndex), 2u);
    EXPECT_EQ(v.u64(74 + 8), 10u);
    EXPECT_EQ(std::memcmp(v.bytes() + 74 + 16, "0123456789", 10), 0);
    // A full cell ends exactly where the next cell's header starts.
    EXPECT_EQ(v.u64(100), 0u);
    EXPECT_EQ(v.u64(100 + 8), 0u);

    std::string out;
    ASSERT_EQ(q.read(out, 1000), 0);
    EXPECT_EQ(v.u32(kReadIndex), 1u);
    q.write("z", 1);
    EXPECT_EQ(v.u32(kWriteIndex), 0u) << "write_index wraps";
    EXPECT_EQ(v.u64(100 + 8), 1u);
    EXPECT_EQ(drain(q), "0123456789|z|");
    EXPECT_EQ(v.u32(kReadIndex), 0u) << "read_index wraps";
}

// The creator takes the slot it asked for; a peer connecting from a thread of
// another process takes the other one.
TEST(SPSCLayout, ThreadSlots) {
    for (const bool creator_first : {true, false}) {
        const NameGuard guard(unique_name("spsc_slot"));
        SPSCQueueCPP q(guard.name(), 2, 8, creator_first);
        SegmentView v(guard.name());
        ASSERT_TRUE(v.ok());
        const size_t mine = creator_first ? kFirstThread : kSecondThread, other = kFirstThread + kSecondThread - mine;
        EXPECT_EQ(v.u64(mine), self_id());
        EXPECT_EQ(v.u64(other), 0u);
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

TEST(SPSCCells, DiscardingAnEmptyCellHandsTheSlotBack) {
    const NameGuard guard(unique_name("spsc_discard"));
    const std::string& name = guard.name();
    SPSCQueueCPP q(name, 3, 8, true);
    SegmentView v(name);
    ASSERT_TRUE(v.ok());
    q.write("a", 1);
    q.write("b", 1);

    // At the last position: the taken-back write steps back over the wrap.
    Cell* c = q.open_cell_for_write();
    EXPECT_EQ(c, q.cellAt(2));
    c->set_length(0);
    q.close_cell_after_write(c, true);
    EXPECT_EQ(v.u32(kWriteIndex), 2u);
    ASSERT_EQ(sem_value(name + "_free_"), 1);
    EXPECT_EQ(sem_value(name + "_filled_"), 2);

    // The same cell comes again, and discarding a non-empty one publishes it.
    c = q.open_cell_for_write();
    EXPECT_EQ(c, q.cellAt(2));
    c->set_length(3);
    std::memcpy(c->data(), "xyz", 3);
    q.close_cell_after_write(c, true);
    EXPECT_EQ(v.u32(kWriteIndex), 0u);
    EXPECT_EQ(sem_value(name + "_free_"), 0);
    EXPECT_EQ(drain(q), "a|b|xyz|");

    // In the middle of the ring it steps back by one.
    q.write("c", 1);
    c = q.open_cell_for_write();
    c->set_length(0);
    q.close_cell_after_write(c, true);
    EXPECT_EQ(v.u32(kWriteIndex), 1u);
    q.write("d", 1);
    EXPECT_EQ(drain(q), "c|d|");
}

// Ring indices read back from the segment are checked before use. The
// operation runs in a child, so a crash fails the test instead of ending it.
TEST(SPSCDamaged, OutOfRangeRingIndicesThrow) {
    struct Case {
        bool reads;  // else it writes
        uint32_t index;
        void (*op)(SPSCQueueCPP&);
    };
    const Case cases[] = {
        {true, 3, [](SPSCQueueCPP& q) { std::string o; q.read(o, 1000); }},
        {true, 0x80000000u, [](SPSCQueueCPP& q) { char b[8]; int64_t n = 0; q.read(b, 8, n, 1000); }},
        {true, 0xFFFFFFFFu, [](SPSCQueueCPP& q) { q.read_begin(); }},
        {false, 3, [](SPSCQueueCPP& q) { q.write("w", 1); }},
        {false, 0xFFFFFFFFu, [](SPSCQueueCPP& q) { q.open_cell_for_write(); }},
    };
    for (const Case& c : cases) {
        const NameGuard guard(unique_name("spsc_dmg"));
        SPSCQueueCPP q(guard.name(), 3, 8, true);
        SegmentView v(guard.name());
        if (c.reads) q.write("m", 1);
        v.put<uint32_t>(c.reads ? kReadIndex : kWriteIndex, c.index);
        const ChildReport r = run_reporting([&]() -> std::string {
            try {
                c.op(q);
            } catch (const IPCQueueException& e) {
                return e.what();
            }
            return "no exception";
        });
        EXPECT_EQ(r.text, "SPSCQueueCPP: ring index out of range; segment is damaged on queue '" + guard.name() + "'")
            << "case " << &c - cases;
    }
}

}  // namespace
}  // namespace mox::ipc_queue
