// MPMCQueueCPP's own behaviour: both lists byte by byte (the golden layout,
// offsets written out here on purpose) through reads, a held cell and a
// discard. Many writers and readers at once: test_traffic.cpp; what it shares
// with SPSC: test_fixed_cell_queues.cpp; damaged list words: test_damaged_segments.cpp.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <tuple>
#include <vector>

#include "mpmc_queue.h"
#include "test_support.h"

namespace mox::ipc_queue {
namespace {

using namespace test;

constexpr size_t kFreeHead = 24, kFilledHead = 28, kFilledTail = 32, kReserved = 36;  // in the header
constexpr size_t kNext = 4, kLength = 8, kData = 16;                                  // in a cell
constexpr uint32_t kEnd = 0xFFFFFFFFu, kInUse = 0xC4653600u, kWait = 5000;            // kWait: reads that must succeed

size_t cell_offset(uint32_t index, uint64_t cell_size) { return 40 + index * (cell_size + 16); }

// Of three 8-byte cells: both list heads, the tail, every cell's `next`, then
// the counts (both locks must be free between calls).
void expect_state(const SegmentView& v, const std::string& name, uint32_t free_head, uint32_t filled_head,
                  uint32_t filled_tail, const std::vector<uint32_t>& nexts, int free, int filled) {
    EXPECT_EQ(std::make_tuple(v.u32(kFreeHead), v.u32(kFilledHead), v.u32(kFilledTail)),
              std::make_tuple(free_head, filled_head, filled_tail));
    for (uint32_t i = 0; i < 3; ++i) EXPECT_EQ(v.u32(cell_offset(i, 8) + kNext), nexts[i]) << "next of cell " << i;
    EXPECT_EQ(sem_values(name, QueueKind::kMPMC),
              "filled=" + std::to_string(filled) + " filled_mutex=1 free_mutex=1 free=" + std::to_string(free));
}

TEST(MPMCQueueLayout, WorkedExampleThreeCellsOfEightWithADiscard) {
    NameGuard guard(unique_name("mpmc_example"));
    const std::string& name = guard.name();
    MPMCQueueCPP q(name, 3, 8);
    SegmentView v(name);
    ASSERT_TRUE(v.ok());
    // Size twice, queue_type, num_cells, cell_size, reserved.
    EXPECT_EQ(std::make_tuple(v.size(), v.u64(0), v.u32(8), v.u32(12), v.u64(16), v.u32(kReserved)),
              std::make_tuple(size_t{112}, uint64_t{112}, 1u, 3u, uint64_t{8}, 0u));
    expect_state(v, name, 0, kEnd, kEnd, {1, 2, kEnd}, 3, 0);

    q.write("hello", 5);
    expect_state(v, name, 1, 0, 0, {kEnd, 2, kEnd}, 2, 1);
    q.write("ABCDEFGH", 8);
    expect_state(v, name, 2, 0, 1, {1, kEnd, kEnd}, 1, 2);
    EXPECT_EQ(v.u64(64 + kLength), 8u);
    EXPECT_EQ(std::memcmp(v.bytes() + 64 + kData, "ABCDEFGH", 8), 0);

    // A held cell is on neither list and marked; ending the read puts it on top.
    void* h = q.read_begin();
    EXPECT_EQ(static_cast<Cell*>(h)->length(), 5u);
    expect_state(v, name, 2, 1, 1, {kInUse, kEnd, kEnd}, 1, 1);
    q.read_end(h);
    expect_state(v, name, 0, 1, 1, {2, kEnd, kEnd}, 2, 1);
    std::string s;
    ASSERT_EQ(q.read(s, kWait), 0);
    EXPECT_EQ(s, "ABCDEFGH");
    expect_state(v, name, 1, kEnd, kEnd, {2, 0, kEnd}, 3, 0);

    // Of two cells taken (1, 0), one is published; the discarded one goes back on top.
    Cell* c1 = q.open_cell_for_write();
    Cell* c0 = q.open_cell_for_write();
    expect_state(v, name, 2, kEnd, kEnd, {kInUse, kInUse, kEnd}, 1, 0);
    c1->set_length(2);
    std::memcpy(c1->data(), "ok", 2);
    c0->set_length(4);
    std::memcpy(c0->data(), "drop", 4);
    q.close_cell_after_write(c1, false);
    q.close_cell_after_write(c0, true);
    expect_state(v, name, 0, 1, 1, {2, kEnd, kEnd}, 2, 1);
    ASSERT_EQ(q.read(s, kWait), 0);
    EXPECT_EQ(s, "ok");
    EXPECT_EQ(q.read(s, 50), 1);
    expect_state(v, name, 1, kEnd, kEnd, {2, 0, kEnd}, 3, 0);
    EXPECT_EQ(v.u32(kReserved), 0u);
}

}  // namespace
}  // namespace mox::ipc_queue
