// What the one-cell-per-message kinds (SPSC, MPMC) share, run against both: argument and
// length refusals, timed, buffer and zero-copy reads, a stream between processes, damaged
// cell lengths. Layouts: each kind's file; blocking calls: tests/python/test_codec.py.
#include <gtest/gtest.h>

#include <limits>
#include <tuple>

#include "mpmc_queue.h"
#include "spsc_queue.h"
#include "test_support.h"

namespace mox::ipc_queue {
namespace {

using namespace test;

// Besides the two create texts below, every text is prefix + a common rest.
// next_read: the header word naming the cell the next read takes.
struct SPSCKind {
    using Queue = SPSCQueueCPP;
    static constexpr QueueKind kind = QueueKind::kSPSC;
    static constexpr size_t next_read = offsetof(SPSCHeader, read_index);
    static auto create(const std::string& n, int64_t c, int64_t s) { return std::make_unique<Queue>(n, c, s, true); }
    static constexpr auto prefix = "SPSCQueueCPP:", few_cells = "SPSCQueueCPP:create constructor: num_cells <= 0",
                          small_cells = "SPSCQueueCPP:create constructor:cell_size <= 0";
};

struct MPMCKind {
    using Queue = MPMCQueueCPP;
    static constexpr QueueKind kind = QueueKind::kMPMC;
    static constexpr size_t next_read = offsetof(MPMCHeader, filled_head);
    static auto create(const std::string& n, int64_t c, int64_t s) { return std::make_unique<Queue>(n, c, s); }
    static constexpr auto prefix = "MPMCQueueCPP:", few_cells = "MPMCQueue create constructor: num_cells <= 0",
                          small_cells = "MPMCQueue create constructor: cell_size <= 0";
};

template <class Kind>
std::string text(const char* rest) {
    return Kind::prefix + std::string(rest);
}

constexpr uint32_t kWait = 5000;  // for reads that must find a message
constexpr int64_t kMax = std::numeric_limits<int64_t>::max(), kMin = std::numeric_limits<int64_t>::min();

// The free and the filled count.
std::pair<int, int> counts(const std::string& name) {
    return {sem_value(name + "_free_"), sem_value(name + "_filled_")};
}

// One message by way `mode`: 0 string, 1 buffer, 2 zero-copy. False on a
// timeout, or when the zero-copy view does not call its cell the last.
template <class Queue>
bool read_one(Queue& q, int mode, std::string& out, uint32_t timeout_ms = kWait) {
    if (mode == 0) return q.read(out, timeout_ms) == 0;
    if (mode == 1) {
        std::vector<char> buf(q.cell_size() + 1);
        int64_t n = -1;
        const bool got = q.read(buf.data(), static_cast<int64_t>(buf.size()), n, timeout_ms) == 0;
        if (got) out.assign(buf.data(), static_cast<size_t>(n));
        return got;
    }
    void* h = q.read_begin();
    char* data = nullptr;
    uint64_t length = 0;
    const bool last = q.read(h, &data, &length);
    out.assign(data, length);
    q.read_end(h);
    return last;
}

template <class Kind>
class FixedCellQueue : public ::testing::Test {};
using Kinds = ::testing::Types<SPSCKind, MPMCKind>;
TYPED_TEST_SUITE(FixedCellQueue, Kinds);

TYPED_TEST(FixedCellQueue, CreateRefusesBadArgumentsBeforeMakingAnyNameAndKeepsWideSizes) {
    const NameGuard g(unique_name("fc_args"));
    const std::string& n = g.name();
    const std::string many = text<TypeParam>("create constructor: num_cells > 2147483647"),
                      too_large = text<TypeParam>("create constructor: segment size too large");
    // Checked on all 64 bits with their sign, num_cells first. Then the
    // stride overflows, the product wraps to 320 bytes, or it cannot be mapped.
    const struct {
        int64_t cells, cell_size;
        std::string text;
    } cases[] = {
        {0, 0, TypeParam::few_cells},
        {-1, 8, TypeParam::few_cells},
        {2147483648LL, 0, many},
        {4294967297LL, 8, many},
        {1, kMin, TypeParam::small_cells},
        {2, kMax, too_large},
        {16, (int64_t{1} << 60) + 4, too_large},
        {1, int64_t{1} << 50, too_large},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(thrown_text([&] { TypeParam::create(n, c.cells, c.cell_size); }), on_queue(c.text, n))
            << c.cells << " x " << c.cell_size;
        EXPECT_FALSE(any_name_left(n, TypeParam::kind));
    }
    // A cell size beyond 32 bits keeps its full width: size word, object and cell_size word.
    const uint64_t wide = (uint64_t{1} << 32) + 5, size = Geometry{TypeParam::kind, 0, 1, wide}.segment_size();
    auto q = TypeParam::create(n, 1, static_cast<int64_t>(wide));
    SegmentView v(n);
    ASSERT_TRUE(v.ok());
    EXPECT_EQ(std::make_tuple(v.size(), v.u64(0), v.u64(16)), std::make_tuple(size, size, wide));
}

// Timed reads (in a child, so that an endless wait fails instead of hanging)
// and refused lengths touch nothing; a buffer read drops what does not fit; a
// zero-copy read keeps its cell from the writers until read_end.
TYPED_TEST(FixedCellQueue, TimeoutsLengthsAndTheCellsReadsHold) {
    const NameGuard g(unique_name("fc_len"));
    const std::string& name = g.name();
    auto q = TypeParam::create(name, 2, 8);
    SegmentView v(name);
    ASSERT_TRUE(v.ok());
    const std::vector<unsigned char> before(v.bytes(), v.bytes() + v.size());
    const ChildReport r = run_reporting([&]() -> std::string {
        std::string out = "unchanged";
        char buffer[8] = {'Z', 'Z', 'Z', 'Z', 'Z', 'Z', 'Z', 'Z'};
        int64_t length_read = 77;
        if (q->read(out, 50) != 1 || out != "unchanged") return "string read: '" + out + "'";
        if (q->read(buffer, sizeof buffer, length_read, 50) != 1 || length_read != 0) return "buffer read";
        if (std::string(buffer, 8) != std::string(8, 'Z')) return "the buffer was written";
        return q->open_cell_for_read(50) == nullptr ? "" : "open_cell_for_read did not time out";
    });
    EXPECT_EQ(r.code, 0) << r.text;
    const char data[] = "123456789";
    for (const int64_t length : {int64_t{-1}, kMin, int64_t{9}, kMax})
        EXPECT_EQ(thrown_text([&] { q->write(data, length); }),
                  text<TypeParam>(length < 0 ? "write: length < 0" : "write: length > cell size"))
            << length;
    EXPECT_EQ(std::vector<unsigned char>(v.bytes(), v.bytes() + v.size()), before);
    EXPECT_EQ(counts(name), std::pair(2, 0));

    std::string s;
    for (int i = 0; i < 2; ++i) q->write(data, 8);  // exactly the cell size, in both cells
    for (int i = 0; i < 2; ++i) EXPECT_TRUE(q->read(s, kWait) == 0 && s == "12345678") << s;
    q->write(nullptr, 0);  // into a cell that still says 8
    s = "not empty";
    EXPECT_TRUE(q->read(s, kWait) == 0 && s.empty()) << s;

    char buffer[8];
    int64_t n = -1;
    q->write(data, 8);
    std::memset(buffer, 'z', sizeof buffer);
    ASSERT_EQ(q->read(buffer, 4, n, kWait), 0);
    EXPECT_EQ(std::string(buffer, 5) + std::to_string(n), "1234z4");
    EXPECT_EQ(counts(name), std::pair(2, 0));  // the rest went with its cell
    q->write("abc", 3);
    EXPECT_EQ(thrown_text([&] { q->read(buffer, -1, n, kWait); }), text<TypeParam>("read: buffer_size < 0"));
    EXPECT_EQ(n, 0);
    EXPECT_EQ(counts(name), std::pair(1, 1));  // nothing was taken
    ASSERT_EQ(q->read(buffer, 0, n, kWait), 0);
    EXPECT_EQ(n, 0);
    EXPECT_EQ(counts(name), std::pair(2, 0));  // a zero-sized buffer drops the message

    q->write("payload", 7);
    void* h = q->read_begin();
    char* bytes = nullptr;
    uint64_t length = 0;
    EXPECT_TRUE(q->read(h, &bytes, &length));
    EXPECT_EQ(std::string(bytes, length), "payload");
    EXPECT_EQ(counts(name), std::pair(1, 0));
    q->read_end(h);
    EXPECT_EQ(counts(name), std::pair(2, 0));
}

// Writer and reader in two processes, one connected, through one cell and
// through four; lengths run over 0..cell_size and every way of reading takes its turn.
TYPED_TEST(FixedCellQueue, AStreamArrivesInOrderAndIntactAcrossProcesses) {
    constexpr int kCount = 4000;
    const auto message = [](uint64_t i) {
        std::string m(static_cast<size_t>((i * 37 + 11) % 49), '\0');
        for (size_t j = 0; j < m.size(); ++j) m[j] = static_cast<char>((i * 131 + j * 7 + 3) & 0xff);
        return m;
    };
    for (const int64_t cells : {1, 4}) {
        const NameGuard g(unique_name("fc_stream"));
        auto q = TypeParam::create(g.name(), cells, 48);
        ScopedChild reader([&] {
            std::string out, problems;
            for (int i = 0; i < kCount && problems.size() < 500; ++i) {
                if (!read_one(*q, i % 3, out)) return problems + "no message " + std::to_string(i);
                if (out != message(i)) problems += "message " + std::to_string(i) + " differs\n";
            }
            return read_one(*q, 0, out, 20) ? problems + "a message too many" : problems;
        });
        ScopedChild writer([&] {
            auto& w = *new typename TypeParam::Queue(g.name());  // the child ends with _exit
            for (int i = 0; i < kCount; ++i) w.write(message(i).data(), static_cast<int64_t>(message(i).size()));
            return std::string();
        });
        const ChildReport rw = writer.join(30), rr = reader.join(30);
        EXPECT_EQ(rw.code, 0) << cells << " cells: " << rw.text;
        EXPECT_EQ(rr.code, 0) << cells << " cells: " << rr.text;
    }
}

// A length above cell_size is never handed out, whichever read meets it: the
// cell goes back to the writers and the queue goes on. In a child, so a read
// past the segment fails the test instead of ending it.
TYPED_TEST(FixedCellQueue, OversizedCellLengthIsGivenBackAndReported) {
    const NameGuard g(unique_name("fc_badlen"));
    const std::string& name = g.name();
    auto q = TypeParam::create(name, 3, 8);
    const RecordArray cells = Geometry{TypeParam::kind, 0, 3, 8}.cells();
    const ChildReport r = run_reporting([&] {
        SegmentView v(name);
        std::string problems;
        const uint64_t lengths[] = {9, uint64_t{1} << 63, ~uint64_t{0}};
        const std::string want =
            on_queue(text<TypeParam>("open_cell_for_read: cell length > cell size; segment is damaged"), name);
        for (int mode = 0; mode < 3; ++mode) {
            const std::string at = "mode " + std::to_string(mode) + ": ";
            q->write("abc", 3);
            v.put<uint64_t>(cells.offset(v.u32(TypeParam::next_read)) + Cell::kLengthOffset, lengths[mode]);
            std::string out = "kept";
            const std::string got = thrown_text([&] { read_one(*q, mode, out); });
            if (got != want) problems += at + got + "\n";
            if (out != "kept") problems += at + "the string was changed\n";
            if (counts(name) != std::pair(3, 0)) problems += at + "counts\n";
            q->write("ok", 2);
            if (q->read(out, kWait) != 0 || out != "ok") problems += at + "the next message was lost\n";
        }
        // Changed after the read took the cell (a racing peer): the view stays inside the cell.
        q->write("abc", 3);
        void* handle = q->read_begin();
        static_cast<Cell*>(handle)->set_length(~uint64_t{0});
        char* data = nullptr;
        uint64_t length = 0;
        q->read(handle, &data, &length);
        if (length != 8) problems += "view of a length changed later: " + std::to_string(length) + " bytes\n";
        q->read_end(handle);
        return problems;
    });
    EXPECT_EQ(r.code, 0) << r.text;
}

}  // namespace
}  // namespace mox::ipc_queue
