// MPMCQueueCPP: the segment layout and both lists byte by byte, argument
// checks, blocking and timed reads, discard and the read variants, damaged
// list words, and many writer and reader processes at once. Names,
// permissions and damaged headers are covered for every kind in
// test_queue_lifecycle.cpp.
#include <gtest/gtest.h>
#include <sys/mman.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <functional>
#include <limits>
#include <memory>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "ipc_queue_exception.h"
#include "mpmc_queue.h"
#include "test_support.h"

namespace mox::ipc_queue {
namespace {

using test::join;
using test::NameGuard;
using test::run_reporting;
using test::SegmentView;
using test::sem_exists;
using test::sem_value;
using test::shm_exists;
using test::spawn;
using test::still_running_after;
using test::unique_name;

// Header words and cell fields, as offsets in the segment and in a cell.
constexpr size_t kSegmentSize = 0, kQueueType = 8, kNumCells = 12, kCellSize = 16, kFreeHead = 24, kFilledHead = 28,
                 kFilledTail = 32, kReserved = 36, kFirstCell = 40;
constexpr size_t kNext = 4, kLength = 8, kData = 16;
constexpr uint32_t kEnd = 0xFFFFFFFFu;
constexpr uint32_t kInUse = 0xC4653600u;

// For reads that must find a message: bounds the wait if none comes.
constexpr uint32_t kWait = 5000;

size_t cell_offset(uint32_t index, uint64_t cell_size) { return kFirstCell + index * (cell_size + 16); }

const char* const kSuffixes[] = {"_free_", "_filled_", "_free_mutex_", "_filled_mutex_"};

std::string on_queue(const std::string& text, const std::string& name) { return text + " on queue '" + name + "'"; }


// The what() of the IPCQueueException `op` throws, or what went wrong instead.
std::string error_of(const std::function<void()>& op) {
    try {
        op();
    } catch (const IPCQueueException& e) {
        return e.what();
    } catch (const std::exception& e) {
        return std::string("not an IPCQueueException: ") + e.what();
    }
    return "no exception";
}

// For forked children, which report through their text: empty when `op`
// threw exactly `expected`.
std::string unless_thrown(const std::function<void()>& op, const std::string& expected) {
    const std::string got = error_of(op);
    return got == expected ? std::string() : "expected '" + expected + "', got '" + got + "'";
}

std::string payload(const SegmentView& v, size_t offset, size_t n) {
    return std::string(reinterpret_cast<const char*>(v.bytes()) + offset, n);
}

std::vector<unsigned char> snapshot(const SegmentView& v) { return {v.bytes(), v.bytes() + v.size()}; }

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

// The free list from free_head, bounded so a cycle cannot hang the test.
std::vector<uint32_t> free_list(const SegmentView& v, uint64_t cell_size, uint32_t num_cells) {
    std::vector<uint32_t> cells;
    for (uint32_t i = v.u32(kFreeHead); i != kEnd && cells.size() <= num_cells;
         i = v.u32(cell_offset(i, cell_size) + kNext)) {
        cells.push_back(i);
        if (i >= num_cells) break;
    }
    return cells;
}

// Forked children end with _exit, so this object is never destroyed and the
// queue's names outlive the child, for the parent's checks.
MPMCQueueCPP& attach_for_life(const std::string& name) { return *new MPMCQueueCPP(name); }

// ---------------------------------------------------------------------------
// Segment layout and the two lists.

TEST(MPMCQueueLayout, WorkedExampleThreeCellsOfEight) {
    NameGuard guard(unique_name("mpmc_example"));
    const std::string& name = guard.name();
    MPMCQueueCPP q(name, 3, 8);
    SegmentView v(name);
    ASSERT_TRUE(v.ok());
    std::string s;

    {
        SCOPED_TRACE("after create");
        EXPECT_EQ(v.size(), 112u);
        EXPECT_EQ(v.u64(kSegmentSize), 112u);
        EXPECT_EQ(v.u32(kQueueType), 1u);
        EXPECT_EQ(v.u32(kNumCells), 3u);
        EXPECT_EQ(v.u64(kCellSize), 8u);
        EXPECT_EQ(v.u32(kReserved), 0u);
        expect_lists(v, 8, 0, kEnd, kEnd, {1, 2, kEnd});
        for (uint32_t i = 0; i < 3; ++i) {
            EXPECT_EQ(v.u32(cell_offset(i, 8)), 0u) << "reserved word of cell " << i;
            EXPECT_EQ(v.u64(cell_offset(i, 8) + kLength), 0u) << "length of cell " << i;
        }
        expect_sems(name, 3, 0);
    }
    {
        SCOPED_TRACE("write of 5 bytes");
        q.write("hello", 5);
        expect_lists(v, 8, 1, 0, 0, {kEnd, 2, kEnd});
        EXPECT_EQ(v.u64(40 + kLength), 5u);
        EXPECT_EQ(payload(v, 40 + kData, 5), "hello");
        expect_sems(name, 2, 1);
    }
    {
        SCOPED_TRACE("write of 8 bytes");
        q.write("ABCDEFGH", 8);
        expect_lists(v, 8, 2, 0, 1, {1, kEnd, kEnd});
        EXPECT_EQ(v.u64(64 + kLength), 8u);
        EXPECT_EQ(payload(v, 64 + kData, 8), "ABCDEFGH");
        expect_sems(name, 1, 2);
    }
    {
        SCOPED_TRACE("first read");
        ASSERT_EQ(q.read(s, kWait), 0);
        EXPECT_EQ(s, "hello");
        expect_lists(v, 8, 0, 1, 1, {2, kEnd, kEnd});
        expect_sems(name, 2, 1);
    }
    {
        SCOPED_TRACE("second read");
        ASSERT_EQ(q.read(s, kWait), 0);
        EXPECT_EQ(s, "ABCDEFGH");
        expect_lists(v, 8, 1, kEnd, kEnd, {2, 0, kEnd});
        EXPECT_EQ(free_list(v, 8, 3), (std::vector<uint32_t>{1, 0, 2}));
        expect_sems(name, 3, 0);
    }
    {
        SCOPED_TRACE("three writes take the cells in free-list order 1, 0, 2");
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
        EXPECT_EQ(v.u32(kFilledHead), kEnd);
        EXPECT_EQ(v.u32(kFilledTail), kEnd);
        EXPECT_EQ(v.u32(kReserved), 0u);
        expect_sems(name, 3, 0);
    }
}

TEST(MPMCQueueLayout, FullQueueBlocksWriterUntilFirstCellComesBack) {
    NameGuard guard(unique_name("mpmc_full"));
    const std::string& name = guard.name();
    MPMCQueueCPP q(name, 3, 8);
    SegmentView v(name);
    ASSERT_TRUE(v.ok());
    q.write("m0", 2);
    q.write("m1", 2);
    q.write("m2", 2);
    EXPECT_EQ(v.u32(kFreeHead), kEnd);
    expect_sems(name, 0, 3);

    const pid_t writer = spawn([&] {
        q.write("m3", 2);
        return 0;
    });
    ASSERT_GT(writer, 0);
    EXPECT_TRUE(still_running_after(writer, 200));
    std::string s;
    ASSERT_EQ(q.read(s, kWait), 0);
    EXPECT_EQ(s, "m0");
    EXPECT_EQ(join(writer, 10), 0);

    // The cell given back (cell 0) is the one the blocked writer got.
    EXPECT_EQ(v.u32(kFilledTail), 0u);
    EXPECT_EQ(payload(v, 40 + kData, 2), "m3");
    for (const char* expected : {"m1", "m2", "m3"}) {
        ASSERT_EQ(q.read(s, kWait), 0);
        EXPECT_EQ(s, expected);
    }
    expect_sems(name, 3, 0);
}

// ---------------------------------------------------------------------------
// Creating.

TEST(MPMCQueueCreate, RefusesBadArgumentsBeforeMakingAnyName) {
    NameGuard guard(unique_name("mpmc_args"));
    const std::string& name = guard.name();
    const int64_t big = std::numeric_limits<int64_t>::max();
    struct Case {
        int64_t num_cells, cell_size;
        std::string expected;
    };
    const Case cases[] = {
        {0, 8, on_queue("MPMCQueue create constructor: num_cells <= 0", name)},
        {-5, 8, on_queue("MPMCQueue create constructor: num_cells <= 0", name)},
        {2147483648LL, 8, on_queue("MPMCQueueCPP:create constructor: num_cells > 2147483647", name)},
        {big, 8, on_queue("MPMCQueueCPP:create constructor: num_cells > 2147483647", name)},
        {2, 0, on_queue("MPMCQueue create constructor: cell_size <= 0", name)},
        {2, -1, on_queue("MPMCQueue create constructor: cell_size <= 0", name)},
        // 64-bit overflow of the size, and sizes no process can map.
        {2, big, on_queue("MPMCQueueCPP:create constructor: segment size too large", name)},
        {2147483647, int64_t{1} << 40, on_queue("MPMCQueueCPP:create constructor: segment size too large", name)},
        {1, int64_t{1} << 48, on_queue("MPMCQueueCPP:create constructor: segment size too large", name)},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(error_of([&] { MPMCQueueCPP q(name, c.num_cells, c.cell_size); }), c.expected)
            << c.num_cells << " x " << c.cell_size;
        EXPECT_FALSE(shm_exists(name));
        for (const char* suffix : kSuffixes) EXPECT_FALSE(sem_exists(name + suffix)) << suffix;
    }
}

// ---------------------------------------------------------------------------
// Writing and reading.

TEST(MPMCQueueOneCell, TimedReadOnEmptyQueueReturnsOneAndChangesNothing) {
    NameGuard guard(unique_name("mpmc_timeout"));
    const std::string& name = guard.name();
    MPMCQueueCPP q(name, 1, 8);
    SegmentView v(name);
    ASSERT_TRUE(v.ok());
    // Leave a used cell behind so the snapshot is not all initial values.
    q.write("abc", 3);
    std::string s;
    ASSERT_EQ(q.read(s, 50), 0);
    EXPECT_EQ(s, "abc");
    const std::vector<unsigned char> before = snapshot(v);

    // In a child, so that a wait that never ends fails the test instead of hanging it.
    const auto report = run_reporting([&]() -> std::string {
        std::string out = "unchanged";
        if (q.read(out, 50) != 1) return "string read did not time out";
        if (out != "unchanged") return "the string was changed to '" + out + "'";
        char buffer[8];
        int64_t length_read = 77;
        if (q.read(buffer, sizeof buffer, length_read, 50) != 1) return "buffer read did not time out";
        if (length_read != 0) return "length_read " + std::to_string(length_read);
        if (q.open_cell_for_read(50) != nullptr) return "open_cell_for_read did not time out";
        return "";
    });
    EXPECT_EQ(report.code, 0);
    EXPECT_EQ(report.text, "");
    EXPECT_EQ(snapshot(v), before);
    expect_sems(name, 1, 0);
}

TEST(MPMCQueueOneCell, ReadsWaitForAMessageFromAnotherProcess) {
    NameGuard guard(unique_name("mpmc_wait"));
    const std::string& name = guard.name();
    MPMCQueueCPP q(name, 1, 8);
    for (const uint32_t timeout_ms : {0u, 20000u}) {
        SCOPED_TRACE(timeout_ms);
        const pid_t reader = spawn([&] {
            MPMCQueueCPP& r = attach_for_life(name);
            std::string s;
            return r.read(s, timeout_ms) == 0 && s == "wake" ? 0 : 1;
        });
        ASSERT_GT(reader, 0);
        EXPECT_TRUE(still_running_after(reader, 150));
        q.write("wake", 4);
        EXPECT_EQ(join(reader, 10), 0);
    }
    expect_sems(name, 1, 0);
}

TEST(MPMCQueueOneCell, DiscardPutsTheCellBackOnTopUnpublished) {
    NameGuard guard(unique_name("mpmc_discard"));
    const std::string& name = guard.name();
    MPMCQueueCPP q(name, 2, 8);
    SegmentView v(name);
    ASSERT_TRUE(v.ok());
    std::string s;

    Cell* c = q.open_cell_for_write();
    c->set_length(3);
    std::memcpy(c->data(), "bad", 3);
    expect_lists(v, 8, 1, kEnd, kEnd, {kInUse, kEnd});
    q.close_cell_after_write(c, true);
    expect_lists(v, 8, 0, kEnd, kEnd, {1, kEnd});
    expect_sems(name, 2, 0);
    EXPECT_EQ(q.read(s, 50), 1);

    // With both cells out, the discarded one (cell 1) goes on top.
    ASSERT_EQ(sem_value(name + "_free_"), 2) << "taking two cells would block for ever";
    Cell* c0 = q.open_cell_for_write();
    Cell* c1 = q.open_cell_for_write();
    EXPECT_EQ(v.u32(kFreeHead), kEnd);
    c0->set_length(2);
    std::memcpy(c0->data(), "ok", 2);
    c1->set_length(4);
    std::memcpy(c1->data(), "drop", 4);
    q.close_cell_after_write(c0, false);
    q.close_cell_after_write(c1, true);
    expect_lists(v, 8, 1, 0, 0, {kEnd, kEnd});
    expect_sems(name, 1, 1);
    ASSERT_EQ(q.read(s, kWait), 0);
    EXPECT_EQ(s, "ok");
    EXPECT_EQ(q.read(s, 50), 1);
    EXPECT_EQ(free_list(v, 8, 2), (std::vector<uint32_t>{0, 1}));

    // The next writer gets the top cell.
    q.write("next", 4);
    EXPECT_EQ(v.u32(kFilledHead), 0u);
    EXPECT_EQ(payload(v, 40 + kData, 4), "next");
}

TEST(MPMCQueueOneCell, BufferReadTruncatesAndDropsTheRest) {
    NameGuard guard(unique_name("mpmc_buffer"));
    const std::string& name = guard.name();
    MPMCQueueCPP q(name, 2, 16);
    std::string s;
    char buffer[16];
    int64_t length_read = -1;

    q.write("0123456789", 10);
    std::memset(buffer, 'z', sizeof buffer);
    ASSERT_EQ(q.read(buffer, 4, length_read, kWait), 0);
    EXPECT_EQ(length_read, 4);
    EXPECT_EQ(std::string(buffer, 5), "0123z");
    EXPECT_EQ(q.read(s, 50), 1) << "the rest of the message went with the cell";
    expect_sems(name, 2, 0);

    q.write("abc", 3);
    length_read = 99;
    EXPECT_EQ(error_of([&] { q.read(buffer, -1, length_read, kWait); }), "MPMCQueueCPP:read: buffer_size < 0");
    expect_sems(name, 1, 1);  // nothing was taken
    ASSERT_EQ(q.read(buffer, sizeof buffer, length_read, kWait), 0);
    EXPECT_EQ(length_read, 3);
    EXPECT_EQ(std::string(buffer, 3), "abc");

    q.write("gone", 4);
    ASSERT_EQ(q.read(buffer, 0, length_read, kWait), 0);
    EXPECT_EQ(length_read, 0);
    EXPECT_EQ(q.read(s, 50), 1);
    expect_sems(name, 2, 0);
}

TEST(MPMCQueueOneCell, BadLengthsAreRefusedAndEmptyMessagesSayZero) {
    NameGuard guard(unique_name("mpmc_lengths"));
    const std::string& name = guard.name();
    MPMCQueueCPP q(name, 2, 8);
    SegmentView v(name);
    ASSERT_TRUE(v.ok());
    const char data[] = "123456789";
    const std::vector<unsigned char> before = snapshot(v);
    for (const int64_t length : {int64_t{-1}, std::numeric_limits<int64_t>::min()})
        EXPECT_EQ(error_of([&] { q.write(data, length); }), "MPMCQueueCPP:write: length < 0") << length;
    for (const int64_t length : {int64_t{9}, std::numeric_limits<int64_t>::max()})
        EXPECT_EQ(error_of([&] { q.write(data, length); }), "MPMCQueueCPP:write: length > cell size") << length;
    EXPECT_EQ(snapshot(v), before);
    expect_sems(name, 2, 0);
    std::string s;
    q.write(data, 8);
    ASSERT_EQ(q.read(s, kWait), 0);
    EXPECT_EQ(s, "12345678");
    // Cell 0 is back on top and still says 8; an empty message must say 0.
    q.write(nullptr, 0);
    EXPECT_EQ(v.u64(40 + kLength), 0u);
    s = "not empty";
    ASSERT_EQ(q.read(s, kWait), 0);
    EXPECT_EQ(s, "");
}

TEST(MPMCQueueOneCell, ZeroCopyReadExposesThePayloadInPlace) {
    NameGuard guard(unique_name("mpmc_zerocopy"));
    const std::string& name = guard.name();
    MPMCQueueCPP q(name, 2, 16);
    SegmentView v(name);
    ASSERT_TRUE(v.ok());
    q.write("first", 5);
    q.write("payload", 7);
    std::string s;
    ASSERT_EQ(q.read(s, kWait), 0);  // cell 0 back on top; "payload" is in cell 1

    void* handle = q.read_begin();
    ASSERT_NE(handle, nullptr);
    char* data = nullptr;
    uint64_t length = 0;
    EXPECT_TRUE(q.read(handle, &data, &length));
    EXPECT_EQ(length, 7u);
    EXPECT_EQ(std::string(data, length), "payload");
    EXPECT_EQ(data, static_cast<Cell*>(handle)->data());
    expect_lists(v, 16, 0, kEnd, kEnd, {kEnd, kInUse});
    expect_sems(name, 1, 0);
    q.read_end(handle);
    expect_lists(v, 16, 1, kEnd, kEnd, {kEnd, 0});
    expect_sems(name, 2, 0);
}

// ---------------------------------------------------------------------------
// Damaged segments: every operation throws, none crashes. Each runs in a
// child so that a crash shows as a signal instead of ending the test program.

TEST(MPMCQueueDamage, OutOfRangeListWordsThrowInsteadOfTouchingMemory) {
    // kCloseRead and kDiscard damage the word while the cell is held.
    enum Op { kWrite, kRead, kReadBegin, kCloseRead, kDiscard };
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
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        NameGuard guard(unique_name("mpmc_damage"));
        const std::string& name = guard.name();
        MPMCQueueCPP q(name, 3, 8);
        SegmentView v(name);
        ASSERT_TRUE(v.ok());
        if (c.one_message) q.write("a", 1);
        if (c.op != kCloseRead && c.op != kDiscard) v.put<uint32_t>(c.word, c.value);
        const auto report = run_reporting([&] {
            MPMCQueueCPP& victim = attach_for_life(name);
            return unless_thrown(
                [&] {
                    std::string s;
                    if (c.op == kWrite) victim.write("x", 1);
                    if (c.op == kRead) victim.read(s, 1000);
                    if (c.op == kReadBegin) victim.read_begin();
                    if (c.op == kCloseRead) {
                        Cell* cell = victim.open_cell_for_read(0);
                        v.put<uint32_t>(c.word, c.value);
                        victim.close_cell_after_read(cell);
                    }
                    if (c.op == kDiscard) {
                        Cell* cell = victim.open_cell_for_write();
                        v.put<uint32_t>(c.word, c.value);
                        victim.close_cell_after_write(cell, true);
                    }
                },
                on_queue("MPMCQueueCPP: list index out of range; segment is damaged", name));
        });
        EXPECT_EQ(report.code, 0);
        EXPECT_EQ(report.text, "");
        // The thrower let go of the list lock.
        EXPECT_EQ(sem_value(name + "_free_mutex_"), 1);
        EXPECT_EQ(sem_value(name + "_filled_mutex_"), 1);
    }
}

TEST(MPMCQueueDamage, OversizedCellLengthIsGivenBackAndReported) {
    NameGuard guard(unique_name("mpmc_badlength"));
    const std::string& name = guard.name();
    MPMCQueueCPP q(name, 2, 8);
    SegmentView v(name);
    ASSERT_TRUE(v.ok());
    const std::string damaged =
        on_queue("MPMCQueueCPP:open_cell_for_read: cell length > cell size; segment is damaged", name);

    struct Case {
        uint64_t length;
        std::function<std::string(MPMCQueueCPP&)> read;  // "" when it threw `damaged`
    };
    const Case cases[] = {
        {uint64_t{1} << 40,
         [&](MPMCQueueCPP& r) {
             std::string s = "kept";
             std::string text = unless_thrown([&] { r.read(s, 0); }, damaged);
             return text.empty() && s != "kept" ? "the string was changed" : text;
         }},
        {9, [&](MPMCQueueCPP& r) {
             char buffer[64];
             int64_t n = 0;
             return unless_thrown([&] { r.read(buffer, sizeof buffer, n, 0); }, damaged);
         }},
        {~uint64_t{0}, [&](MPMCQueueCPP& r) { return unless_thrown([&] { r.read_begin(); }, damaged); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.length);
        ASSERT_EQ(sem_value(name + "_free_"), 2) << "a cell was lost; writing could block for ever";
        q.write("abc", 3);
        const uint32_t cell = v.u32(kFilledHead);
        ASSERT_LT(cell, 2u);
        v.put<uint64_t>(cell_offset(cell, 8) + kLength, c.length);
        const auto report = run_reporting([&] { return c.read(attach_for_life(name)); });
        EXPECT_EQ(report.code, 0);
        EXPECT_EQ(report.text, "");
        // The cell went back on top of the free list; the queue goes on.
        expect_lists(v, 8, cell, kEnd, kEnd, {});
        expect_sems(name, 2, 0);
    }
    // Exactly cell_size is a valid length.
    ASSERT_EQ(sem_value(name + "_free_"), 2);
    q.write("abc", 3);
    v.put<uint64_t>(cell_offset(v.u32(kFilledHead), 8) + kLength, 8);
    std::string s;
    ASSERT_EQ(q.read(s, kWait), 0);
    EXPECT_EQ(s.size(), 8u);
    EXPECT_EQ(s.substr(0, 3), "abc");
}

// ---------------------------------------------------------------------------
// Many writer and reader processes.

constexpr int kWriters = 4;
constexpr int kReaders = 4;
constexpr uint32_t kPerWriter = 20000;
constexpr uint32_t kStop = 0xFFFFFFFFu;
constexpr uint32_t kPoison = 0xDEADu;
constexpr uint64_t kStressCellSize = 13;  // stride 29: unaligned cell headers

static_assert(std::atomic<uint32_t>::is_always_lock_free, "tallies are shared between processes");

// Shared by all children through an anonymous MAP_SHARED mapping.
struct Tally {
    std::atomic<uint32_t> connected;
    std::atomic<uint32_t> seen[kWriters][kPerWriter];
    std::atomic<uint32_t> out_of_order;
    std::atomic<uint32_t> malformed;
    uint64_t count[kReaders][kWriters];
    uint64_t sum[kReaders][kWriters];
};

// Writer id, sequence, then seq % 6 filler bytes that depend on both, so a
// torn or mixed copy shows.
std::string stress_message(uint32_t writer, uint32_t seq) {
    std::string m(8 + seq % 6, '\0');
    std::memcpy(&m[0], &writer, 4);
    std::memcpy(&m[4], &seq, 4);
    for (size_t k = 8; k < m.size(); ++k) m[k] = static_cast<char>(writer * 31 + seq + k);
    return m;
}

// Every child connects first and then waits for all the others, so that no
// child can be finished before the last one has connected.
bool wait_for_all(Tally& t) {
    t.connected.fetch_add(1, std::memory_order_acq_rel);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (t.connected.load(std::memory_order_acquire) < kWriters + kReaders) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

int run_writer(const std::string& name, Tally& t, uint32_t w) {
    MPMCQueueCPP& q = attach_for_life(name);
    if (!wait_for_all(t)) return 2;
    for (uint32_t seq = 0; seq < kPerWriter; ++seq) {
        const std::string m = stress_message(w, seq);
        if (w % 2 == 0) {
            q.write(m.data(), static_cast<int64_t>(m.size()));
            continue;
        }
        // The cell interface, with a discarded cell now and then that no
        // reader may ever see.
        if (seq % 97 == 0) {
            Cell* junk = q.open_cell_for_write();
            const std::string poison = stress_message(kPoison, seq);
            junk->set_length(poison.size());
            std::memcpy(junk->data(), poison.data(), poison.size());
            q.close_cell_after_write(junk, true);
        }
        Cell* cell = q.open_cell_for_write();
        cell->set_length(m.size());
        std::memcpy(cell->data(), m.data(), m.size());
        q.close_cell_after_write(cell, false);
    }
    return 0;
}

// Takes one message with reader r's way of reading; false at the stop mark.
bool take_one(MPMCQueueCPP& q, int r, std::string& m) {
    switch (r) {
        case 0:
            q.read(m, 0);
            break;
        case 1: {
            char buffer[32];
            int64_t n = 0;
            q.read(buffer, sizeof buffer, n, 0);
            m.assign(buffer, static_cast<size_t>(n));
            break;
        }
        case 2: {
            void* handle = q.read_begin();
            char* data = nullptr;
            uint64_t length = 0;
            q.read(handle, &data, &length);
            m.assign(data, length);
            q.read_end(handle);
            break;
        }
        default: {
            Cell* cell = nullptr;
            while ((cell = q.open_cell_for_read(100)) == nullptr) {
            }
            m.assign(cell->data(), cell->length());
            q.close_cell_after_read(cell);
            break;
        }
    }
    uint32_t writer = 0;
    if (m.size() >= 4) std::memcpy(&writer, m.data(), 4);
    return writer != kStop;
}

int run_reader(const std::string& name, Tally& t, int r) {
    MPMCQueueCPP& q = attach_for_life(name);
    if (!wait_for_all(t)) return 2;
    int64_t last[kWriters];
    for (int64_t& l : last) l = -1;
    std::string m;
    while (take_one(q, r, m)) {
        uint32_t w = 0, seq = 0;
        if (m.size() >= 8) {
            std::memcpy(&w, m.data(), 4);
            std::memcpy(&seq, m.data() + 4, 4);
        }
        if (m.size() < 8 || w >= kWriters || seq >= kPerWriter || m != stress_message(w, seq)) {
            t.malformed.fetch_add(1, std::memory_order_relaxed);
            continue;
        }
        t.seen[w][seq].fetch_add(1, std::memory_order_relaxed);
        if (static_cast<int64_t>(seq) <= last[w]) t.out_of_order.fetch_add(1, std::memory_order_relaxed);
        last[w] = seq;
        ++t.count[r][w];
        t.sum[r][w] += seq;
    }
    return 0;
}

// Joins all children within one bound; once one has to be killed, the others
// are killed too instead of being waited for one by one. True if all exited 0.
bool join_all(const std::vector<pid_t>& pids, int timeout_s) {
    bool all_ok = true;
    for (size_t i = 0; i < pids.size(); ++i) {
        const int code = join(pids[i], timeout_s);
        EXPECT_EQ(code, 0) << "child " << pids[i];
        if (code == -1) {
            for (size_t j = i + 1; j < pids.size(); ++j) ::kill(pids[j], SIGKILL);
            timeout_s = 5;
        }
        all_ok = all_ok && code == 0;
    }
    return all_ok;
}

TEST(MPMCQueueStress, FourWritersFourReadersDeliverEveryMessageExactlyOnce) {
    NameGuard guard(unique_name("mpmc_stress"));
    const std::string& name = guard.name();
    constexpr uint32_t kCells = 8;
    MPMCQueueCPP q(name, kCells, kStressCellSize);
    SegmentView v(name);
    ASSERT_TRUE(v.ok());

    void* shared = ::mmap(nullptr, sizeof(Tally), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(shared, MAP_FAILED);
    Tally& t = *new (shared) Tally();

    std::vector<pid_t> writers, readers;
    for (int r = 0; r < kReaders; ++r) readers.push_back(spawn([&, r] { return run_reader(name, t, r); }));
    for (int w = 0; w < kWriters; ++w)
        writers.push_back(spawn([&, w] { return run_writer(name, t, static_cast<uint32_t>(w)); }));

    const bool writers_ok = join_all(writers, 60);
    if (writers_ok) {
        // Published after every message, so each reader has had its share
        // before it meets its stop mark. From a child: with the readers gone
        // a full queue would block this process for good.
        const pid_t stopper = spawn([&] {
            const uint32_t stop[2] = {kStop, 0};
            for (int r = 0; r < kReaders; ++r) q.write(reinterpret_cast<const char*>(stop), sizeof stop);
            return 0;
        });
        EXPECT_TRUE(join_all(readers, 60));
        EXPECT_EQ(join(stopper, 5), 0);
    } else {
        for (const pid_t pid : readers) ::kill(pid, SIGKILL);
        join_all(readers, 5);
    }
    ASSERT_TRUE(writers_ok);

    EXPECT_EQ(t.malformed.load(std::memory_order_relaxed), 0u);
    EXPECT_EQ(t.out_of_order.load(std::memory_order_relaxed), 0u);
    uint32_t missing = 0, duplicated = 0;
    for (int w = 0; w < kWriters; ++w) {
        uint64_t count = 0, sum = 0;
        for (int r = 0; r < kReaders; ++r) {
            count += t.count[r][w];
            sum += t.sum[r][w];
        }
        EXPECT_EQ(count, kPerWriter) << "writer " << w;
        EXPECT_EQ(sum, uint64_t{kPerWriter} * (kPerWriter - 1) / 2) << "writer " << w;
        for (uint32_t seq = 0; seq < kPerWriter; ++seq) {
            const uint32_t n = t.seen[w][seq].load(std::memory_order_relaxed);
            missing += n == 0;
            duplicated += n > 1;
        }
    }
    EXPECT_EQ(missing, 0u);
    EXPECT_EQ(duplicated, 0u);

    // Quiet again: every cell free exactly once, the filled list empty.
    expect_sems(name, kCells, 0);
    EXPECT_EQ(v.u32(kFilledHead), kEnd);
    EXPECT_EQ(v.u32(kFilledTail), kEnd);
    std::vector<uint32_t> cells = free_list(v, kStressCellSize, kCells);
    std::sort(cells.begin(), cells.end());
    EXPECT_EQ(cells, (std::vector<uint32_t>{0, 1, 2, 3, 4, 5, 6, 7}));

    ::munmap(shared, sizeof(Tally));
}

}  // namespace
}  // namespace mox::ipc_queue
