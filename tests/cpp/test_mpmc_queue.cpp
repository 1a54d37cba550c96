// MPMCQueueCPP's own behaviour: both lists byte by byte, discard, damaged list
// words, many writer and reader processes at once. What it shares with SPSC is
// in test_fixed_cell_queues.cpp; names and damaged headers in test_queue_lifecycle.cpp.
#include <gtest/gtest.h>
#include <sys/mman.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "ipc_queue_exception.h"
#include "mpmc_queue.h"
#include "test_support.h"

namespace mox::ipc_queue {
namespace {

using namespace test;

constexpr size_t kFreeHead = 24, kFilledHead = 28, kFilledTail = 32, kReserved = 36;  // in the header
constexpr size_t kNext = 4, kLength = 8, kData = 16;                                  // in a cell
constexpr uint32_t kEnd = 0xFFFFFFFFu, kInUse = 0xC4653600u, kWait = 5000;  // kWait: reads that must succeed

size_t cell_offset(uint32_t index, uint64_t cell_size) { return 40 + index * (cell_size + 16); }

std::string payload(const SegmentView& v, size_t at, size_t n) { return {reinterpret_cast<char*>(v.bytes()) + at, n}; }

// Both list heads, the tail and every cell's `next` word.
void expect_lists(const SegmentView& v, uint64_t cell_size, uint32_t free_head, uint32_t filled_head,
                  uint32_t filled_tail, const std::vector<uint32_t>& nexts) {
    EXPECT_EQ(v.u32(kFreeHead), free_head);
    EXPECT_EQ(v.u32(kFilledHead), filled_head);
    EXPECT_EQ(v.u32(kFilledTail), filled_tail);
    for (uint32_t i = 0; i < nexts.size(); ++i)
        EXPECT_EQ(v.u32(cell_offset(i, cell_size) + kNext), nexts[i]) << "next of cell " << i;
}

// The counting semaphores as given; both locks must be free between calls.
void expect_sems(const std::string& name, int free, int filled) {
    EXPECT_EQ(sem_value(name + "_free_"), free);
    EXPECT_EQ(sem_value(name + "_filled_"), filled);
    EXPECT_EQ(sem_value(name + "_free_mutex_"), 1);
    EXPECT_EQ(sem_value(name + "_filled_mutex_"), 1);
}

// Never destroyed: a forked child ends with _exit, and the names outlive it.
MPMCQueueCPP& attach_for_life(const std::string& name) { return *new MPMCQueueCPP(name); }

TEST(MPMCQueueLayout, WorkedExampleThreeCellsOfEightWithADiscard) {
    NameGuard guard(unique_name("mpmc_example"));
    const std::string& name = guard.name();
    MPMCQueueCPP q(name, 3, 8);
    SegmentView v(name);
    ASSERT_TRUE(v.ok());
    EXPECT_EQ(v.size(), 112u);
    EXPECT_EQ(v.u64(0), 112u);
    EXPECT_EQ(v.u32(8), 1u);
    EXPECT_EQ(v.u32(12), 3u);
    EXPECT_EQ(v.u64(16), 8u);
    EXPECT_EQ(v.u32(kReserved), 0u);
    expect_lists(v, 8, 0, kEnd, kEnd, {1, 2, kEnd});
    for (uint32_t i = 0; i < 3; ++i) {
        EXPECT_EQ(v.u32(cell_offset(i, 8)), 0u) << "reserved word of cell " << i;
        EXPECT_EQ(v.u64(cell_offset(i, 8) + kLength), 0u) << "length of cell " << i;
    }
    expect_sems(name, 3, 0);

    q.write("hello", 5);
    expect_lists(v, 8, 1, 0, 0, {kEnd, 2, kEnd});
    EXPECT_EQ(v.u64(40 + kLength), 5u);
    EXPECT_EQ(payload(v, 40 + kData, 5), "hello");
    q.write("ABCDEFGH", 8);
    expect_lists(v, 8, 2, 0, 1, {1, kEnd, kEnd});
    EXPECT_EQ(v.u64(64 + kLength), 8u);
    EXPECT_EQ(payload(v, 64 + kData, 8), "ABCDEFGH");
    expect_sems(name, 1, 2);

    // A held cell is on neither list and marked; ending the read puts it on top.
    void* h = q.read_begin();
    EXPECT_EQ(static_cast<Cell*>(h)->length(), 5u);
    expect_lists(v, 8, 2, 1, 1, {kInUse, kEnd, kEnd});
    expect_sems(name, 1, 1);
    q.read_end(h);
    expect_lists(v, 8, 0, 1, 1, {2, kEnd, kEnd});
    expect_sems(name, 2, 1);

    std::string s;
    ASSERT_EQ(q.read(s, kWait), 0);
    EXPECT_EQ(s, "ABCDEFGH");
    expect_lists(v, 8, 1, kEnd, kEnd, {2, 0, kEnd});
    expect_sems(name, 3, 0);

    // Three writes take the cells in free-list order 1, 0, 2.
    q.write("x", 1);
    q.write("yy", 2);
    q.write("zzz", 3);
    EXPECT_EQ(payload(v, 64 + kData, 1), "x");
    EXPECT_EQ(payload(v, 40 + kData, 2), "yy");
    EXPECT_EQ(payload(v, 88 + kData, 3), "zzz");
    EXPECT_EQ(v.u64(88 + kLength), 3u);
    expect_lists(v, 8, kEnd, 1, 2, {2, 0, kEnd});
    expect_sems(name, 0, 3);
    for (const char* expected : {"x", "yy", "zzz"}) {
        ASSERT_EQ(q.read(s, kWait), 0);
        EXPECT_EQ(s, expected);
    }
    expect_lists(v, 8, 2, kEnd, kEnd, {1, kEnd, 0});
    expect_sems(name, 3, 0);

    // Of two cells taken (2, 0), one is published and the discarded one goes
    // back on top unpublished.
    Cell* c2 = q.open_cell_for_write();
    Cell* c0 = q.open_cell_for_write();
    expect_lists(v, 8, 1, kEnd, kEnd, {kInUse, kEnd, kInUse});
    c2->set_length(2);
    std::memcpy(c2->data(), "ok", 2);
    c0->set_length(4);
    std::memcpy(c0->data(), "drop", 4);
    q.close_cell_after_write(c2, false);
    q.close_cell_after_write(c0, true);
    expect_lists(v, 8, 0, 2, 2, {1, kEnd, kEnd});
    expect_sems(name, 2, 1);
    ASSERT_EQ(q.read(s, kWait), 0);
    EXPECT_EQ(s, "ok");
    EXPECT_EQ(q.read(s, 50), 1);
    expect_lists(v, 8, 2, kEnd, kEnd, {1, kEnd, 0});
    EXPECT_EQ(v.u32(kReserved), 0u);
}

// Every list word read from the segment is range-checked, also while a cell
// is held, and the thrower lets go of the list lock. Each case runs in a
// child so that a crash shows as a failure instead of ending the program.
TEST(MPMCQueueDamage, OutOfRangeListWordsThrowInsteadOfTouchingMemory) {
    enum Op { kWrite, kRead, kReadBegin, kCloseRead, kDiscard };  // the last two take a cell before the damage
    struct Case {
        const char* what;
        bool one_message;  // written before the damage
        size_t word;
        uint32_t value;
        Op op;
    };
    const Case cases[] = {
        {"free_head past the cells", false, kFreeHead, 3, kWrite},
        {"free_head the in-use mark", false, kFreeHead, kInUse, kWrite},
        {"free_head empty while the count says free", false, kFreeHead, kEnd, kWrite},
        {"free cell's next past the cells", false, 40 + kNext, 0x12345, kWrite},
        {"filled_tail past the cells", true, kFilledTail, 1000, kWrite},
        {"filled_head past the cells", true, kFilledHead, 77, kRead},
        {"filled_head empty while the count says filled", true, kFilledHead, kEnd, kReadBegin},
        {"filled cell's next past the cells", true, 40 + kNext, 5000, kRead},
        {"free_head damaged while a reader holds a cell", true, kFreeHead, 0x7FFFFFFF, kCloseRead},
        {"free_head damaged while a writer discards", false, kFreeHead, 3, kDiscard},
    };
    const std::string kDamaged = "MPMCQueueCPP: list index out of range; segment is damaged on queue '";
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        NameGuard guard(unique_name("mpmc_damage"));
        const std::string& name = guard.name();
        MPMCQueueCPP q(name, 3, 8);
        SegmentView v(name);
        ASSERT_TRUE(v.ok());
        if (c.one_message) q.write("a", 1);
        const auto report = run_reporting([&]() -> std::string {
            MPMCQueueCPP& victim = attach_for_life(name);
            try {
                Cell* held = c.op == kCloseRead ? victim.open_cell_for_read(0)
                             : c.op == kDiscard ? victim.open_cell_for_write()
                                                : nullptr;
                v.put<uint32_t>(c.word, c.value);
                std::string s;
                if (c.op == kWrite) victim.write("x", 1);
                if (c.op == kRead) victim.read(s, 1000);
                if (c.op == kReadBegin) victim.read_begin();
                if (c.op == kCloseRead) victim.close_cell_after_read(held);
                if (c.op == kDiscard) victim.close_cell_after_write(held, true);
            } catch (const IPCQueueException& e) {
                return e.what() == kDamaged + name + "'" ? "" : std::string("threw ") + e.what();
            }
            return "no exception";
        });
        EXPECT_EQ(report.code, 0) << report.text;
        EXPECT_EQ(sem_value(name + "_free_mutex_"), 1);
        EXPECT_EQ(sem_value(name + "_filled_mutex_"), 1);
    }
}

// ---- Many writer and reader processes at once.
constexpr int kWriters = 4, kReaders = 4;
constexpr uint32_t kPerWriter = 20000, kStop = 0xFFFFFFFFu, kPoison = 0xDEADu;

// Shared by all children through an anonymous MAP_SHARED mapping.
struct Tally {
    std::atomic<uint32_t> seen[kWriters][kPerWriter];
    std::atomic<uint32_t> out_of_order, malformed, writers_done;
};

// Writer id, sequence, then seq % 6 bytes that depend on both, so a torn or
// mixed copy shows.
std::string stress_message(uint32_t writer, uint32_t seq) {
    std::string m(8 + seq % 6, '\0');
    std::memcpy(&m[0], &writer, 4);
    std::memcpy(&m[4], &seq, 4);
    for (size_t k = 8; k < m.size(); ++k) m[k] = static_cast<char>(writer * 31 + seq + k);
    return m;
}

// Odd writers use the cell calls, now and then discarding a cell that no
// reader may ever see.
std::string run_writer(const std::string& name, Tally& t, uint32_t w) {
    MPMCQueueCPP& q = attach_for_life(name);
    for (uint32_t seq = 0; seq < kPerWriter; ++seq) {
        const std::string m = stress_message(w, seq);
        if (w % 2 == 0) {
            q.write(m.data(), static_cast<int64_t>(m.size()));
            continue;
        }
        for (const bool discard : {seq % 97 == 0, false}) {
            const std::string body = discard ? stress_message(kPoison, seq) : m;
            Cell* cell = q.open_cell_for_write();
            cell->set_length(body.size());
            std::memcpy(cell->data(), body.data(), body.size());
            q.close_cell_after_write(cell, discard);
            if (!discard) break;
        }
    }
    // The last writer to finish stops every reader, each after its share.
    if (t.writers_done.fetch_add(1) + 1 == kWriters) {
        const uint32_t stop[2] = {kStop, 0};
        for (int r = 0; r < kReaders; ++r) q.write(reinterpret_cast<const char*>(stop), sizeof stop);
    }
    return "";
}

// Even readers copy, odd ones read in place, until a stop mark.
std::string run_reader(const std::string& name, Tally& t, int r) {
    MPMCQueueCPP& q = attach_for_life(name);
    int64_t last[kWriters] = {-1, -1, -1, -1};
    for (std::string m;;) {
        if (r % 2 == 0) {
            q.read(m, 0);
        } else {
            void* handle = q.read_begin();
            char* data = nullptr;
            uint64_t length = 0;
            q.read(handle, &data, &length);
            m.assign(data, length);
            q.read_end(handle);
        }
        uint32_t w = kWriters, seq = 0;
        if (m.size() >= 8) {
            std::memcpy(&w, m.data(), 4);
            std::memcpy(&seq, m.data() + 4, 4);
        }
        if (w == kStop) return "";
        if (w >= kWriters || seq >= kPerWriter || m != stress_message(w, seq)) {
            t.malformed.fetch_add(1, std::memory_order_relaxed);
            continue;
        }
        t.seen[w][seq].fetch_add(1, std::memory_order_relaxed);
        if (static_cast<int64_t>(seq) <= last[w]) t.out_of_order.fetch_add(1, std::memory_order_relaxed);
        last[w] = seq;
    }
}

TEST(MPMCQueueStress, FourWritersFourReadersDeliverEveryMessageExactlyOnceInOrder) {
    NameGuard guard(unique_name("mpmc_stress"));
    const std::string& name = guard.name();
    MPMCQueueCPP q(name, 8, 13);  // stride 29: unaligned cell headers
    SegmentView v(name);
    ASSERT_TRUE(v.ok());
    void* shared = ::mmap(nullptr, sizeof(Tally), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(shared, MAP_FAILED);
    Tally& t = *new (shared) Tally();

    std::vector<std::unique_ptr<ScopedChild>> children;
    for (int r = 0; r < kReaders; ++r)
        children.push_back(std::make_unique<ScopedChild>([&, r] { return run_reader(name, t, r); }));
    for (uint32_t w = 0; w < kWriters; ++w)
        children.push_back(std::make_unique<ScopedChild>([&, w] { return run_writer(name, t, w); }));
    // A failure leaves the test at once; the others are then killed, not waited for.
    for (auto& child : children) {
        const ChildReport r = child->join(60);
        ASSERT_EQ(r.code, 0) << r.text;
    }
    EXPECT_EQ(t.malformed.load(), 0u);
    EXPECT_EQ(t.out_of_order.load(), 0u);
    uint32_t missing = 0, duplicated = 0;
    for (const auto& from_writer : t.seen) {
        for (const std::atomic<uint32_t>& n : from_writer) {
            missing += n.load() == 0;
            duplicated += n.load() > 1;
        }
    }
    EXPECT_EQ(missing, 0u);
    EXPECT_EQ(duplicated, 0u);
    ::munmap(shared, sizeof(Tally));

    // Quiet again: every cell free exactly once, the filled list empty.
    expect_sems(name, 8, 0);
    EXPECT_EQ(v.u32(kFilledHead), kEnd);
    EXPECT_EQ(v.u32(kFilledTail), kEnd);
    std::vector<uint32_t> cells;  // the free list, bounded so a cycle cannot hang the test
    for (uint32_t i = v.u32(kFreeHead); i != kEnd && cells.size() <= 8; i = v.u32(cell_offset(i, 13) + kNext)) {
        cells.push_back(i);
        if (i >= 8) break;
    }
    std::sort(cells.begin(), cells.end());
    EXPECT_EQ(cells, (std::vector<uint32_t>{0, 1, 2, 3, 4, 5, 6, 7}));
}

}  // namespace
}  // namespace mox::ipc_queue
