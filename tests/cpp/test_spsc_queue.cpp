// SPSCQueueCPP's own behaviour: ring bytes, thread slots, taking a write back, damaged ring
// indices. Shared with MPMC: test_fixed_cell_queues.cpp; names, damaged headers: test_queue_lifecycle.cpp.
#include <gtest/gtest.h>
#include <pthread.h>

#include <cstring>
#include <string>
#include <thread>
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

TEST(SPSCLayout, HeaderCellsAndRingIndicesByteByByte) {
    const NameGuard guard(unique_name("spsc_layout"));
    const std::string& name = guard.name();
    SPSCQueueCPP q(name, 3, 10, true);
    SegmentView v(name);
    ASSERT_TRUE(v.ok());
    // Size twice, queue_type, num_cells, cell_size, read_index, write_index.
    EXPECT_EQ(std::make_tuple(v.size(), v.u64(0), v.u32(8), v.u32(12), v.u64(16), v.u32(24), v.u32(28)),
              std::make_tuple(size_t{126}, uint64_t{126}, 0u, 3u, uint64_t{10}, 0u, 0u));

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
        EXPECT_EQ(std::make_pair(v.u64(mine), v.u64(other)), std::make_pair(self_id(), uint64_t{0}));
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

TEST(SPSCCells, DiscardingAnEmptyCellTakesTheWriteBack) {
    const NameGuard guard(unique_name("spsc_discard"));
    const std::string& name = guard.name();
    SPSCQueueCPP q(name, 3, 8, true);
    SegmentView v(name);
    ASSERT_TRUE(v.ok());
    for (const char* m : {"a", "b"}) q.write(m, 1);
    // At the last position the taken-back write steps back over the wrap, so
    // the same cell comes again; discarding a non-empty one publishes it.
    for (const std::string body : {"", "xyz"}) {
        Cell* c = q.open_cell_for_write();
        EXPECT_EQ(c, q.cellAt(2));
        c->set_length(body.size());
        std::memcpy(c->data(), body.data(), body.size());
        q.close_cell_after_write(c, true);
        ASSERT_EQ(sem_value(name + "_free_"), body.empty() ? 1 : 0);  // else the next open would block
    }
    EXPECT_EQ(v.u32(kWriteIndex), 0u);
    EXPECT_EQ(drain(q), "a|b|xyz|");
    // In the middle of the ring it steps back by one.
    q.write("c", 1);
    Cell* c = q.open_cell_for_write();
    c->set_length(0);
    q.close_cell_after_write(c, true);
    EXPECT_EQ(v.u32(kWriteIndex), 1u);
    q.write("d", 1);
    EXPECT_EQ(drain(q), "c|d|");
}

// Ring indices read back from the segment are checked before use: the first
// past the ring, and one negative as int32. In a child, so a crash fails the
// test instead of ending it. Every read and write takes its cell the same way.
TEST(SPSCDamaged, OutOfRangeRingIndicesThrow) {
    for (const bool reads : {true, false}) {
        for (const uint32_t index : {3u, 0xFFFFFFFFu}) {
            const NameGuard guard(unique_name("spsc_dmg"));
            SPSCQueueCPP q(guard.name(), 3, 8, true);
            SegmentView v(guard.name());
            if (reads) q.write("m", 1);
            v.put<uint32_t>(reads ? kReadIndex : kWriteIndex, index);
            const ChildReport r = run_reporting([&] {
                std::string out;
                return thrown_text([&] { reads ? static_cast<void>(q.read(out, 1000)) : q.write("w", 1); });
            });
            EXPECT_EQ(r.text, on_queue("SPSCQueueCPP: ring index out of range; segment is damaged", guard.name()))
                << (reads ? "read_index " : "write_index ") << index;
        }
    }
}

}  // namespace
}  // namespace mox::ipc_queue
