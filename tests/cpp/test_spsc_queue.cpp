// SPSCQueueCPP: argument checks, the segment layout, message transfer between
// real processes, and damaged ring words. Names, permissions and damaged
// headers are covered for every kind in test_queue_lifecycle.cpp.
#include <gtest/gtest.h>
#include <pthread.h>

#include <iterator>
#include <limits>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "ipc_queue_exception.h"
#include "spsc_queue.h"
#include "test_support.h"

namespace mox::ipc_queue {
namespace {

using test::ChildReport;
using test::NameGuard;
using test::run_reporting;
using test::ScopedChild;
using test::SegmentView;
using test::sem_value;
using test::unique_name;

constexpr size_t kHeader = 48;
// Header field offsets in the segment.
constexpr size_t kSegmentSize = 0, kQueueType = 8, kNumCells = 12, kCellSize = 16, kReadIndex = 24,
                 kWriteIndex = 28, kFirstThread = 32, kSecondThread = 40;

size_t cell_offset(size_t index, uint64_t cell_size) { return kHeader + index * (cell_size + 16); }

std::string on_queue(const std::string& text, const std::string& name) { return text + " on queue '" + name + "'"; }

// The what() of the IPCQueueException that `f` throws, or a text saying otherwise.
template <class F>
std::string error_of(F&& f) {
    try {
        f();
    } catch (const IPCQueueException& e) {
        return e.what();
    } catch (const std::exception& e) {
        return std::string("unexpected exception type: ") + e.what();
    }
    return "(no exception)";
}

// Collects mismatches inside a child process, where gtest cannot report.
struct Problems {
    std::string text;
    template <class A, class B>
    void eq(const A& got, const B& want, const std::string& what) {
        if (!(got == want)) {
            std::ostringstream s;
            s << what << ": got [" << got << "] want [" << want << "]\n";
            text += s.str();
        }
    }
    void check(bool ok, const std::string& what) {
        if (!ok) text += what + "\n";
    }
};

std::string filled_of(const std::string& name) { return name + "_filled_"; }
std::string free_of(const std::string& name) { return name + "_free_"; }

bool any_name_left(const std::string& name) {
    return test::shm_exists(name) || test::sem_exists(filled_of(name)) || test::sem_exists(free_of(name));
}

uint64_t self_id() { return static_cast<uint64_t>(::pthread_self()); }

// Message i of a deterministic stream: its length varies over 0..cell_size.
std::string message(uint64_t i, uint64_t cell_size) {
    std::string m(static_cast<size_t>((i * 37 + 11) % (cell_size + 1)), '\0');
    for (size_t j = 0; j < m.size(); ++j) m[j] = static_cast<char>((i * 131 + j * 7 + 3) & 0xff);
    return m;
}

uint64_t checksum_add(uint64_t sum, const std::string& m) {
    sum = sum * 1000003 + m.size();
    for (unsigned char c : m) sum = sum * 31 + c;
    return sum;
}

// ---------------------------------------------------------------- creating

TEST(SPSCCreate, RefusesBadArgumentsInOrderAndCreatesNothing) {
    const NameGuard guard(unique_name("spsc_args"));
    const std::string& name = guard.name();
    const std::string empty_name = "SPSCQueueCPP:create constructor: queue name is empty.";
    const std::string few = on_queue("SPSCQueueCPP:create constructor: num_cells <= 0", name);
    const std::string many = on_queue("SPSCQueueCPP:create constructor: num_cells > 2147483647", name);
    const std::string small = on_queue("SPSCQueueCPP:create constructor:cell_size <= 0", name);
    struct Case {
        std::string name;
        int64_t num_cells;
        int64_t cell_size;
        std::string expected;
    };
    const std::vector<Case> cases = {
        {"", 0, 0, empty_name},
        {"", 4, 8, empty_name},
        {name, 0, 0, few},
        {name, -1, 8, few},
        {name, std::numeric_limits<int64_t>::min(), 8, few},
        {name, 2147483648LL, 0, many},
        // Its low 32 bits are 1: the range check must see the whole value.
        {name, 4294967297LL, 8, many},
        {name, std::numeric_limits<int64_t>::max(), 8, many},
        {name, 4, 0, small},
        {name, 4, -5, small},
        {name, 1, std::numeric_limits<int64_t>::min(), small},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(error_of([&] { SPSCQueueCPP q(c.name, c.num_cells, c.cell_size, true); }), c.expected)
            << "num_cells " << c.num_cells << " cell_size " << c.cell_size;
        EXPECT_FALSE(any_name_left(name));
    }
}

TEST(SPSCCreate, OversizedSegmentIsRefusedBeforeAnythingIsCreated) {
    const NameGuard guard(unique_name("spsc_huge"));
    const std::string& name = guard.name();
    const std::string expected = on_queue("SPSCQueueCPP:create constructor: segment size too large", name);
    const int64_t max64 = std::numeric_limits<int64_t>::max();
    // Overflowing the product, overflowing the stride, and merely unmappable.
    for (auto [cells, size] : {std::pair<int64_t, int64_t>{2147483647LL, int64_t{1} << 40}, {2, max64},
                               {2147483647LL, max64}, {1, int64_t{1} << 50}, {16, (int64_t{1} << 60) + 4}}) {
        EXPECT_EQ(error_of([&] { SPSCQueueCPP q(name, cells, size, true); }), expected)
            << "num_cells " << cells << " cell_size " << size;
        EXPECT_FALSE(any_name_left(name));
    }
}

TEST(SPSCCreate, CellSizeBeyond32BitsKeepsItsFullWidth) {
    const NameGuard guard(unique_name("spsc_wide"));
    const std::string& name = guard.name();
    const uint64_t cell_size = (uint64_t{1} << 32) + 5;
    SPSCQueueCPP q(name, 1, static_cast<int64_t>(cell_size), true);
    EXPECT_EQ(q.cell_size(), cell_size);
    SegmentView v(name);
    ASSERT_TRUE(v.ok());
    EXPECT_EQ(v.size(), kHeader + cell_size + 16);
    EXPECT_EQ(v.u64(kSegmentSize), kHeader + cell_size + 16);
    EXPECT_EQ(v.u64(kCellSize), cell_size);
}

// ---------------------------------------------------------------- layout

TEST(SPSCLayout, HeaderCellsAndIndicesByteByByte) {
    const NameGuard guard(unique_name("spsc_layout"));
    const std::string& name = guard.name();
    const uint64_t cs = 10;
    SPSCQueueCPP q(name, 3, static_cast<int64_t>(cs), true);
    SegmentView v(name);
    ASSERT_TRUE(v.ok());
    const uint64_t size = 48 + 3 * (cs + 16);
    EXPECT_EQ(v.size(), size);
    EXPECT_EQ(v.u64(kSegmentSize), size);
    EXPECT_EQ(v.u32(kQueueType), 0u);
    EXPECT_EQ(v.u32(kNumCells), 3u);
    EXPECT_EQ(v.u64(kCellSize), cs);
    EXPECT_EQ(v.u32(kReadIndex), 0u);
    EXPECT_EQ(v.u32(kWriteIndex), 0u);
    EXPECT_EQ(v.u64(kFirstThread), self_id());
    EXPECT_EQ(v.u64(kSecondThread), 0u);

    q.write("abc", 3);
    EXPECT_EQ(v.u32(kWriteIndex), 1u);
    EXPECT_EQ(v.u64(cell_offset(0, cs)), 0u) << "first 8 bytes of a cell are unused";
    EXPECT_EQ(v.u64(cell_offset(0, cs) + 8), 3u);
    EXPECT_EQ(std::memcmp(v.bytes() + cell_offset(0, cs) + 16, "abc", 3), 0);

    q.write("0123456789", 10);
    EXPECT_EQ(v.u32(kWriteIndex), 2u);
    EXPECT_EQ(cell_offset(1, cs), 74u);
    EXPECT_EQ(v.u64(74 + 8), 10u);
    EXPECT_EQ(std::memcmp(v.bytes() + 74 + 16, "0123456789", 10), 0);
    // A full cell ends exactly where the next cell's header starts.
    EXPECT_EQ(v.u64(cell_offset(2, cs)), 0u);
    EXPECT_EQ(v.u64(cell_offset(2, cs) + 8), 0u);

    std::string out;
    ASSERT_EQ(q.read(out, 1000), 0);
    EXPECT_EQ(v.u32(kReadIndex), 1u);
    q.write("z", 1);
    EXPECT_EQ(v.u32(kWriteIndex), 0u) << "write_index wraps";
    EXPECT_EQ(v.u64(cell_offset(2, cs) + 8), 1u);
    ASSERT_EQ(q.read(out, 1000), 0);
    ASSERT_EQ(q.read(out, 1000), 0);
    EXPECT_EQ(out, "z");
    EXPECT_EQ(v.u32(kReadIndex), 0u) << "read_index wraps";
}

// The creator takes the slot it asked for; a peer connecting from another
// process and a new thread takes the other one, and the creator's stays.
TEST(SPSCLayout, ThreadSlots) {
    for (const bool creator_first : {true, false}) {
        const NameGuard guard(unique_name("spsc_slot"));
        const std::string& name = guard.name();
        SPSCQueueCPP q(name, 2, 8, creator_first);
        SegmentView v(name);
        ASSERT_TRUE(v.ok());
        const size_t mine = creator_first ? kFirstThread : kSecondThread;
        const size_t other = creator_first ? kSecondThread : kFirstThread;
        EXPECT_EQ(v.u64(mine), self_id());
        EXPECT_EQ(v.u64(other), 0u);
        const ChildReport r = run_reporting([&] {
            uint64_t id = 0;
            std::string err;
            std::thread t([&] {
                id = self_id();
                err = error_of([&] { SPSCQueueCPP peer(name); });
            });
            t.join();
            Problems p;
            p.eq(err, std::string("(no exception)"), "connect");
            p.eq(v.u64(other), id, "connecting thread's slot");
            p.check(id != v.u64(mine), "thread identities collide");
            return p.text;
        });
        EXPECT_EQ(r.code, 0) << r.text;
        EXPECT_EQ(r.text, "");
        EXPECT_NE(v.u64(other), 0u);
        EXPECT_EQ(v.u64(mine), self_id());
    }
}

// ---------------------------------------------------------------- transfer

enum class ReadMode { String, Buffer, ZeroCopy };

// Reads one message with the chosen operation; false on a timeout, or when
// the zero-copy read does not call its cell the message's last.
bool read_one(SPSCQueueCPP& q, ReadMode mode, std::string& out) {
    switch (mode) {
        case ReadMode::String:
            return q.read(out, 5000) == 0;
        case ReadMode::Buffer: {
            std::vector<char> buf(q.cell_size() + 1);
            int64_t n = -1;
            if (q.read(buf.data(), static_cast<int64_t>(buf.size()), n, 5000) != 0) return false;
            out.assign(buf.data(), static_cast<size_t>(n));
            return true;
        }
        case ReadMode::ZeroCopy: {
            void* h = q.read_begin();
            char* data = nullptr;
            uint64_t length = 0;
            const bool last = q.read(h, &data, &length);
            out.assign(data, length);
            q.read_end(h);
            return last;
        }
    }
    return false;
}

struct FifoCase {
    int64_t num_cells;
    ReadMode mode;
    int count;
    bool creator_reads;  // else the creator writes and a connected peer reads
};

class SPSCFifo : public ::testing::TestWithParam<FifoCase> {};

// A deterministic stream and finally the writer's own checksum. The reader
// checks every message and the checksum. Both ends run in child processes,
// so a fault that stalls the queue ends in a bounded join, not a hang.
std::string write_stream(SPSCQueueCPP& q, int count) {
    uint64_t sum = 0;
    for (int i = 0; i < count; ++i) {
        const std::string m = message(static_cast<uint64_t>(i), q.cell_size());
        q.write(m.data(), static_cast<int64_t>(m.size()));
        sum = checksum_add(sum, m);
    }
    q.write(reinterpret_cast<const char*>(&sum), sizeof sum);
    return std::string();
}

std::string read_stream(SPSCQueueCPP& q, int count, ReadMode mode) {
    uint64_t sum = 0;
    std::string out;
    Problems p;
    for (int i = 0; i < count; ++i) {
        const ReadMode m = mode == ReadMode::ZeroCopy && i % 3 == 0 ? ReadMode::Buffer : mode;
        if (!read_one(q, m, out)) return p.text + "no message " + std::to_string(i);
        if (out != message(static_cast<uint64_t>(i), q.cell_size()) && p.text.size() < 500)
            p.text += "message " + std::to_string(i) + " differs\n";
        sum = checksum_add(sum, out);
    }
    if (!read_one(q, mode, out)) return p.text + "no checksum";
    uint64_t writer_sum = 0;
    p.eq(out.size(), sizeof writer_sum, "checksum size");
    if (out.size() == sizeof writer_sum) std::memcpy(&writer_sum, out.data(), sizeof writer_sum);
    p.eq(writer_sum, sum, "checksum");
    p.eq(q.read(out, 20), 1, "read after the stream");
    return p.text;
}

TEST_P(SPSCFifo, EveryMessageArrivesInOrderAcrossProcesses) {
    const FifoCase c = GetParam();
    const NameGuard guard(unique_name("spsc_fifo"));
    const std::string& name = guard.name();
    SPSCQueueCPP q(name, c.num_cells, 48, c.creator_reads);
    // One end works through the creator's object, inherited by its child.
    ScopedChild reader([&] {
        if (c.creator_reads) return read_stream(q, c.count, c.mode);
        SPSCQueueCPP r(name);
        return read_stream(r, c.count, c.mode);
    });
    ScopedChild writer([&] {
        if (!c.creator_reads) return write_stream(q, c.count);
        SPSCQueueCPP w(name);
        return write_stream(w, c.count);
    });
    const ChildReport rw = writer.join(20);
    const ChildReport rr = reader.join(20);
    EXPECT_EQ(rw.code, 0) << rw.text;
    EXPECT_EQ(rr.code, 0) << rr.text;
    EXPECT_EQ(rr.text, "");
}

INSTANTIATE_TEST_SUITE_P(Rings, SPSCFifo,
                         ::testing::Values(FifoCase{4, ReadMode::String, 10000, true},
                                           FifoCase{4, ReadMode::Buffer, 3000, true},
                                           FifoCase{3, ReadMode::ZeroCopy, 5000, false},
                                           FifoCase{1, ReadMode::String, 2000, true}));

TEST(SPSCTransfer, WriterBlocksWhileFullUntilARead) {
    const NameGuard guard(unique_name("spsc_full"));
    const std::string& name = guard.name();
    SPSCQueueCPP q(name, 2, 8, true);
    ScopedChild child([&] {
        SPSCQueueCPP writer(name);
        for (const char* m : {"one", "two", "three"}) writer.write(m, static_cast<int64_t>(std::strlen(m)));
        return std::string();
    });
    // Two messages fit; the third write waits for a free cell.
    EXPECT_TRUE(test::still_running_after(child.pid(), 200));
    std::string out;
    ASSERT_EQ(q.read(out, 5000), 0);
    EXPECT_EQ(out, "one");
    const ChildReport r = child.join();
    EXPECT_EQ(r.code, 0) << r.text;
    ASSERT_EQ(q.read(out, 5000), 0);
    EXPECT_EQ(out, "two");
    ASSERT_EQ(q.read(out, 5000), 0);
    EXPECT_EQ(out, "three");
}

TEST(SPSCTransfer, ReaderBlocksWhileEmptyUntilAWrite) {
    const NameGuard guard(unique_name("spsc_empty"));
    const std::string& name = guard.name();
    SPSCQueueCPP q(name, 2, 16, true);
    ScopedChild child([&] {
        SPSCQueueCPP reader(name);
        std::string out = "unchanged";
        Problems p;
        p.eq(reader.read(out, 0), 0, "read result");
        p.eq(out, std::string("wake up"), "message");
        return p.text;
    });
    EXPECT_TRUE(test::still_running_after(child.pid(), 200));
    q.write("wake up", 7);
    const ChildReport r = child.join();
    EXPECT_EQ(r.code, 0) << r.text;
    EXPECT_EQ(r.text, "");
}

TEST(SPSCTransfer, TimedReadOnEmptyQueueReturnsOneAndLeavesOutputAlone) {
    const NameGuard guard(unique_name("spsc_timeout"));
    const std::string& name = guard.name();
    SPSCQueueCPP q(name, 2, 16, true);
    std::string out = "keep me";
    EXPECT_EQ(q.read(out, 50), 1);
    EXPECT_EQ(out, "keep me");
    char buf[8];
    std::memset(buf, 'Z', sizeof buf);
    int64_t length_read = 77;
    EXPECT_EQ(q.read(buf, sizeof buf, length_read, 50), 1);
    EXPECT_EQ(length_read, 0);
    EXPECT_EQ(std::string(buf, sizeof buf), std::string(8, 'Z'));
    EXPECT_EQ(q.open_cell_for_read(50), nullptr);
    // The timeouts took nothing: a message written now is read at once.
    EXPECT_EQ(sem_value(filled_of(name)), 0);
    EXPECT_EQ(sem_value(free_of(name)), 2);
    q.write("now", 3);
    EXPECT_EQ(q.read(out, 50), 0);
    EXPECT_EQ(out, "now");
}

TEST(SPSCTransfer, BufferReadTruncatesAndDropsTheRest) {
    const NameGuard guard(unique_name("spsc_trunc"));
    const std::string& name = guard.name();
    SPSCQueueCPP q(name, 4, 16, true);
    q.write("0123456789", 10);
    q.write("next", 4);
    q.write("gone", 4);
    q.write("last", 4);

    char buf[8];
    std::memset(buf, '.', sizeof buf);
    int64_t length_read = -1;
    ASSERT_EQ(q.read(buf, 4, length_read, 1000), 0);
    EXPECT_EQ(length_read, 4);
    EXPECT_EQ(std::string(buf, 8), "0123....");
    // The rest of the long message is gone, and its cell is back.
    EXPECT_EQ(sem_value(free_of(name)), 1);
    ASSERT_EQ(q.read(buf, sizeof buf, length_read, 1000), 0);
    EXPECT_EQ(length_read, 4);
    EXPECT_EQ(std::string(buf, 4), "next");

    // A zero-sized buffer drops a whole message.
    ASSERT_EQ(q.read(buf, 0, length_read, 1000), 0);
    EXPECT_EQ(length_read, 0);

    // A negative size is refused before a message is taken.
    length_read = 5;
    EXPECT_EQ(error_of([&] { q.read(buf, -1, length_read, 1000); }), "SPSCQueueCPP:read: buffer_size < 0");
    EXPECT_EQ(length_read, 0);
    EXPECT_EQ(sem_value(filled_of(name)), 1);
    std::string out;
    ASSERT_EQ(q.read(out, 1000), 0);
    EXPECT_EQ(out, "last");
}

TEST(SPSCTransfer, OversizedAndNegativeWritesTakeNoCell) {
    const NameGuard guard(unique_name("spsc_badlen"));
    const std::string& name = guard.name();
    const uint64_t cs = 16;
    // Roomy enough that wrongly taken cells could not block the test.
    SPSCQueueCPP q(name, 8, static_cast<int64_t>(cs), true);
    SegmentView v(name);
    ASSERT_TRUE(v.ok());
    q.write("a", 1);
    const std::string data(64, 'x');
    for (const int64_t length : {int64_t(cs + 1), int64_t{64}, std::numeric_limits<int64_t>::max()})
        EXPECT_EQ(error_of([&] { q.write(data.data(), length); }), "SPSCQueueCPP:write: length > cell size") << length;
    for (const int64_t length : {int64_t{-1}, std::numeric_limits<int64_t>::min()})
        EXPECT_EQ(error_of([&] { q.write(data.data(), length); }), "SPSCQueueCPP:write: length < 0") << length;
    EXPECT_EQ(sem_value(free_of(name)), 7);
    EXPECT_EQ(sem_value(filled_of(name)), 1);
    EXPECT_EQ(v.u32(kWriteIndex), 1u);
    EXPECT_EQ(v.u64(cell_offset(1, cs) + 8), 0u);
    std::string out;
    ASSERT_EQ(q.read(out, 1000), 0);
    EXPECT_EQ(out, "a");
    EXPECT_EQ(q.read(out, 20), 1);
}

TEST(SPSCTransfer, ZeroCopyHandlesAreReleasedInTheOrderTaken) {
    const NameGuard guard(unique_name("spsc_zc"));
    const std::string& name = guard.name();
    SPSCQueueCPP q(name, 2, 16, true);
    q.write("first", 5);
    q.write("second", 6);
    ASSERT_EQ(sem_value(filled_of(name)), 2);
    void* h1 = q.read_begin();
    void* h2 = q.read_begin();
    EXPECT_EQ(h1, q.cellAt(0));
    EXPECT_EQ(h2, q.cellAt(1));
    char* data = nullptr;
    uint64_t length = 0;
    EXPECT_TRUE(q.read(h1, &data, &length));
    EXPECT_EQ(std::string(data, length), "first");
    EXPECT_EQ(data, static_cast<Cell*>(h1)->data());
    EXPECT_TRUE(q.read(h2, &data, &length));
    EXPECT_EQ(std::string(data, length), "second");
    EXPECT_EQ(sem_value(free_of(name)), 0);

    // Ending the later handle hands back the oldest cell, which is h1's.
    q.read_end(h2);
    ASSERT_EQ(sem_value(free_of(name)), 1);
    q.write("third", 5);
    EXPECT_TRUE(q.read(h1, &data, &length));
    EXPECT_EQ(std::string(data, length), "third");
    EXPECT_TRUE(q.read(h2, &data, &length));
    EXPECT_EQ(std::string(data, length), "second");
    q.read_end(h1);
    EXPECT_EQ(sem_value(free_of(name)), 1);
    std::string out;
    ASSERT_EQ(q.read(out, 1000), 0);
    EXPECT_EQ(out, "third");
}

TEST(SPSCTransfer, DiscardingAnEmptyCellHandsTheSlotBack) {
    const NameGuard guard(unique_name("spsc_discard"));
    const std::string& name = guard.name();
    SPSCQueueCPP q(name, 3, 8, true);
    SegmentView v(name);
    ASSERT_TRUE(v.ok());
    q.write("a", 1);
    q.write("b", 1);
    ASSERT_EQ(v.u32(kWriteIndex), 2u);

    // At the last position: the taken-back write steps over the wrap.
    Cell* c = q.open_cell_for_write();
    EXPECT_EQ(c, q.cellAt(2));
    EXPECT_EQ(v.u32(kWriteIndex), 0u);
    c->set_length(0);
    q.close_cell_after_write(c, true);
    EXPECT_EQ(v.u32(kWriteIndex), 2u);
    ASSERT_EQ(sem_value(free_of(name)), 1);
    EXPECT_EQ(sem_value(filled_of(name)), 2);

    // The same cell comes again, and a non-empty discard publishes it.
    c = q.open_cell_for_write();
    EXPECT_EQ(c, q.cellAt(2));
    c->set_length(3);
    std::memcpy(c->data(), "xyz", 3);
    q.close_cell_after_write(c, true);
    EXPECT_EQ(v.u32(kWriteIndex), 0u);
    EXPECT_EQ(sem_value(free_of(name)), 0);
    EXPECT_EQ(sem_value(filled_of(name)), 3);

    std::string out;
    std::string all;
    while (q.read(out, 20) == 0) all += out + "|";
    EXPECT_EQ(all, "a|b|xyz|");

    // In the middle of the ring it steps back by one.
    q.write("c", 1);
    ASSERT_EQ(v.u32(kWriteIndex), 1u);
    c = q.open_cell_for_write();
    c->set_length(0);
    q.close_cell_after_write(c, true);
    EXPECT_EQ(v.u32(kWriteIndex), 1u);
    ASSERT_EQ(sem_value(free_of(name)), 2);
    q.write("d", 1);
    all.clear();
    while (q.read(out, 20) == 0) all += out + "|";
    EXPECT_EQ(all, "c|d|");
}

// ---------------------------------------------------------------- damage

struct NamedOp {
    const char* what;
    bool reads;
    std::string (*op)(SPSCQueueCPP&);  // the text it threw
};
const NamedOp kOps[] = {
    {"string read", true, [](SPSCQueueCPP& q) { return error_of([&] { std::string o; q.read(o, 1000); }); }},
    {"buffer read", true,
     [](SPSCQueueCPP& q) { return error_of([&] { char b[8]; int64_t n = 0; q.read(b, 8, n, 1000); }); }},
    {"read_begin", true, [](SPSCQueueCPP& q) { return error_of([&] { q.read_begin(); }); }},
    {"open_cell_for_read", true, [](SPSCQueueCPP& q) { return error_of([&] { q.open_cell_for_read(1000); }); }},
    {"write", false, [](SPSCQueueCPP& q) { return error_of([&] { q.write("w", 1); }); }},
    {"open_cell_for_write", false, [](SPSCQueueCPP& q) { return error_of([&] { q.open_cell_for_write(); }); }},
};

// Ring indices and cell lengths read back from the segment are checked
// before use; all in a child, so a crash fails the test instead of ending it.
TEST(SPSCDamaged, BadRingIndicesAndCellLengthsThrow) {
    const uint32_t bad_indices[] = {3u, 0x80000000u, 0xFFFFFFFFu};
    std::vector<std::unique_ptr<NameGuard>> guards;
    for (size_t i = 0; i <= std::size(kOps) * std::size(bad_indices); ++i)
        guards.push_back(std::make_unique<NameGuard>(unique_name("spsc_dmg")));
    const ChildReport r = run_reporting([&] {
        Problems p;
        size_t k = 0;
        // Each on a queue of its own: a refused operation used up a count.
        for (const NamedOp& op : kOps) {
            for (const uint32_t bad : bad_indices) {
                const std::string& name = guards[k++]->name();
                SPSCQueueCPP q(name, 3, 8, true);
                SegmentView v(name);
                if (op.reads) q.write("m", 1);
                v.put<uint32_t>(op.reads ? kReadIndex : kWriteIndex, bad);
                p.eq(op.op(q), on_queue("SPSCQueueCPP: ring index out of range; segment is damaged", name),
                     std::string(op.what) + " at index " + std::to_string(bad));
            }
        }
        // A cell length above cell_size is never handed out; the cell goes
        // back to the writer and the queue goes on.
        const std::string& name = guards[k]->name();
        const uint64_t cs = 8;
        SPSCQueueCPP q(name, 3, static_cast<int64_t>(cs), true);
        SegmentView v(name);
        for (const NamedOp& op : kOps) {
            for (const uint64_t length : {cs + 1, uint64_t{1} << 63, ~uint64_t{0}}) {
                if (!op.reads) continue;
                const std::string at = std::string(op.what) + " with length " + std::to_string(length);
                const uint32_t index = v.u32(kReadIndex);
                q.write("abc", 3);
                v.put<uint64_t>(cell_offset(index, cs) + 8, length);
                p.eq(op.op(q),
                     on_queue("SPSCQueueCPP:open_cell_for_read: cell length > cell size; segment is damaged", name), at);
                p.eq(sem_value(free_of(name)), 3, at + ": free count");
                p.eq(sem_value(filled_of(name)), 0, at + ": filled count");
                q.write("ok", 2);
                std::string out;
                p.eq(q.read(out, 1000), 0, at + ": next read");
                p.eq(out, std::string("ok"), at + ": next message");
            }
        }
        return p.text;
    });
    EXPECT_EQ(r.code, 0) << r.text;
    EXPECT_EQ(r.text, "");
}

}  // namespace
}  // namespace mox::ipc_queue
