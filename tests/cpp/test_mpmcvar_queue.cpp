// MPMCVarQueueCPP and Channel: segment bytes (the golden layout, offsets
// written out here on purpose), framing, ordering, timed reads, 64-bit
// lengths, refused create arguments. Many writers and readers at once:
// test_traffic.cpp; names, damaged headers: test_queue_lifecycle.cpp; damaged
// list and ring words: test_damaged_segments.cpp.
#include <gtest/gtest.h>
#include <sys/mman.h>

#include <algorithm>
#include <tuple>
#include <utility>

#include "mpmcvar_queue.h"
#include "test_support.h"  // also <atomic>, <chrono>, <cstring>, <functional>, <string>, <thread>, <vector>

namespace mox::ipc_queue {
namespace {

using namespace test;

// Semaphore values as "free=F used=U mutex=M ch0=free/filled ...".
std::string sem_state(const std::string& name, unsigned channels) {
    const std::vector<std::string> s = queue_sem_names(name, QueueKind::kMPMCVar, channels);
    auto v = [&](size_t i) { return std::to_string(sem_value(s[i])); };
    std::string out = "free=" + v(0) + " used=" + v(1) + " mutex=" + v(2);
    for (unsigned i = 0; i < channels; ++i) out += " ch" + std::to_string(i) + "=" + v(3 + 2 * i) + "/" + v(4 + 2 * i);
    return out;
}

// Offsets in a segment of the given geometry, computed apart from the library.
struct Offsets {
    uint64_t num_cells, cell_size;
    size_t area(uint32_t ch) const { return 40 + ch * ((cell_size + 16) * num_cells + 24); }
    size_t next(uint32_t ch) const { return area(ch) + 8; }
    size_t read_index(uint32_t ch) const { return area(ch) + 12; }
    size_t write_index(uint32_t ch) const { return area(ch) + 16; }
    size_t state(uint32_t ch) const { return area(ch) + 20; }  // one byte: 1 once the writer ended the message
    size_t cell_length(uint32_t ch, uint32_t j) const { return area(ch) + 24 + j * (cell_size + 16) + 8; }
};

// The expected bytes of a segment, kept up to date alongside the queue.
struct Image {
    std::vector<unsigned char> bytes;
    template <class T>
    using Words = std::initializer_list<std::pair<size_t, T>>;  // (offset, value)
    void u32(Words<uint32_t> w) {
        for (auto [at, v] : w) std::memcpy(&bytes[at], &v, 4);
    }
    void u64(Words<uint64_t> w) {
        for (auto [at, v] : w) std::memcpy(&bytes[at], &v, 8);
    }
    void u8(Words<uint8_t> w) {
        for (auto [at, v] : w) bytes[at] = v;
    }
    void cell(size_t at, const std::string& m) {
        u64({{at, m.size()}});
        std::memcpy(&bytes[at + 8], m.data(), m.size());
    }
    // First offset where the segment differs, -1 when none.
    long first_difference(const SegmentView& view) const {
        if (view.size() != bytes.size()) return 0;
        const auto d = std::mismatch(bytes.begin(), bytes.end(), view.bytes());
        return d.first == bytes.end() ? -1 : d.first - bytes.begin();
    }
};

// The whole segment compared byte for byte after create and after each step.
TEST(MPMCVarLayout, SegmentBytesFollowEveryStep) {
    NameGuard guard(unique_name("var_layout"));
    const std::string& name = guard.name();
    MPMCVarQueueCPP q(name, 2, 4, 8);
    const Offsets g{4, 8};
    const uint32_t kEnd = kListEnd;
    ASSERT_EQ(g.cell_length(1, 3), 264u);  // Geometry against the layout worked out by hand
    SegmentView view(name);
    ASSERT_TRUE(view.ok());
    Image img{std::vector<unsigned char>(280, 0)};
    auto expect_state = [&](const char* step, const char* sems) {
        EXPECT_EQ(img.first_difference(view), -1) << step;
        EXPECT_EQ(sem_state(name, 2), sems) << step;
    };

    img.u64({{0, 280}});
    // queue_type, channels, cells, cell_size, free_head, free count, used head and tail
    img.u32({{8, 2}, {12, 2}, {16, 4}, {20, 8}, {24, 0}, {28, 0}, {32, kEnd}, {36, kEnd}, {g.next(0), 1}});
    img.u32({{g.next(1), kEnd}});
    // A negative length is refused before a channel is taken.
    EXPECT_EQ(thrown_text([&] { q.write("x", -1); }), "MPMCVarQueueCPP:write: length < 0");
    expect_state("create", "free=2 used=0 mutex=1 ch0=4/0 ch1=4/0");

    q.write("ABCDEFGHIJKL", 12);  // a full cell and 4 bytes, through channel 0
    img.u32({{24, 1}, {28, 1}, {32, 0}, {36, 0}, {g.next(0), kEnd}, {g.write_index(0), 2}});
    img.u64({{g.area(0), 12}});
    img.u8({{g.state(0), 1}});
    img.cell(g.cell_length(0, 0), "ABCDEFGH");
    img.cell(g.cell_length(0, 1), "IJKL");
    expect_state("write", "free=1 used=1 mutex=1 ch0=2/2 ch1=4/0");
    std::string out;
    EXPECT_TRUE(q.read(out, 0) == 0 && out == "ABCDEFGHIJKL") << out;
    // Channel 0 pushed back on top of 1; payload bytes stay, lengths clear.
    img.u32({{24, 0}, {28, 2}, {32, kEnd}, {36, kEnd}, {g.next(0), 1}, {g.read_index(0), 2}});
    img.u64({{g.area(0), 0}, {g.cell_length(0, 0), 0}, {g.cell_length(0, 1), 0}});
    img.u8({{g.state(0), 0}});  // cleared by the reader that gives the channel back
    expect_state("read", "free=2 used=0 mutex=1 ch0=4/0 ch1=4/0");

    // Two writers: A takes channel 0, B channel 1 and fills its whole ring;
    // full cells go over at once, the partly filled last one when B ends.
    Channel& a = q.open_channel_for_write();
    Channel& b = q.open_channel_for_write();
    b.partial_write("abcdefghijklmnopqrstuvwxyz0123", 30);
    EXPECT_EQ(sem_state(name, 2), "free=0 used=2 mutex=1 ch0=4/0 ch1=0/3");
    EXPECT_EQ(thrown_text([&] { b.partial_write("x", -1); }), "MPMCVarQueueCPP:create write: length < 0");
    q.close_channel_after_write(b);
    img.u32({{24, kEnd}, {28, 4}, {32, 0}, {36, 1}, {g.next(0), 1}, {g.next(1), kEnd}, {g.write_index(1), 0}});
    img.u64({{g.area(1), 30}});
    img.u8({{g.state(1), 1}});
    const char* chunks[] = {"abcdefgh", "ijklmnop", "qrstuvwx", "yz0123"};
    for (uint32_t j = 0; j < 4; ++j) img.cell(g.cell_length(1, j), chunks[j]);
    expect_state("B written", "free=0 used=2 mutex=1 ch0=4/0 ch1=0/4");

    Channel& r = q.open_channel_for_read();  // A's, although B finished first
    EXPECT_EQ(&r, &a);
    img.u32({{32, 1}, {g.next(0), kInUseMark}});
    expect_state("A taken", "free=0 used=1 mutex=1 ch0=4/0 ch1=0/4");
    q.close_channel_after_write(a);  // an empty message: one empty cell
    std::string appended = "kept";
    r.read(appended);  // Channel::read appends
    EXPECT_EQ(appended, "kept");
    q.close_channel_after_read(r);
    img.u32({{24, 0}, {28, 5}, {g.next(0), kEnd}, {g.read_index(0), 3}, {g.write_index(0), 3}});
    expect_state("A read", "free=1 used=1 mutex=1 ch0=4/0 ch1=0/4");
    EXPECT_TRUE(q.read(out, 0) == 0 && out == "abcdefghijklmnopqrstuvwxyz0123") << out;
    img.u32({{24, 1}, {28, 6}, {32, kEnd}, {36, kEnd}, {g.next(1), 0}});
    img.u64({{g.area(1), 0}});
    img.u8({{g.state(1), 0}});
    for (uint32_t j = 0; j < 4; ++j) img.u64({{g.cell_length(1, j), 0}});
    expect_state("B read", "free=2 used=0 mutex=1 ch0=4/0 ch1=4/0");

    // A timed read of the empty queue gives 1, leaving `out` and the segment as they were.
    EXPECT_TRUE(q.read(out, 30) == 1 && out == "abcdefghijklmnopqrstuvwxyz0123") << out;
    expect_state("timed out", "free=2 used=0 mutex=1 ch0=4/0 ch1=4/0");
}

// A zero-copy read sees every cell full but the last, which is shorter and may
// be empty; read_end before the last cell consumes the rest of the message.
TEST(MPMCVarFraming, ZeroCopyCellsAndReadEndBeforeTheLastCell) {
    NameGuard guard(unique_name("var_framing"));
    MPMCVarQueueCPP q(guard.name(), 2, 4, 4);
    const std::string three = "0123456789ab", second = "cdefg";
    std::string got, pieces;  // cell lengths as "4,4,0." ('.' marks the last)
    char* data = nullptr;
    uint64_t length = 0;
    q.write(three.data(), 12);
    void* handle = q.read_begin();
    for (bool last = false; !last && pieces.size() < 40; got.append(data, length)) {
        last = q.read(handle, &data, &length);
        pieces += std::to_string(length) + (last ? "." : ",");
    }
    q.read_end(handle);
    EXPECT_EQ(pieces, "4,4,4,0.");
    EXPECT_EQ(got, three);
    // Both channels carry whole messages again afterwards.
    for (int round = 0; round < 2; ++round) {
        for (const std::string& m : {three, second}) q.write(m.data(), static_cast<int64_t>(m.size()));
        handle = q.read_begin();
        EXPECT_FALSE(q.read(handle, &data, &length));
        EXPECT_EQ(std::string(data, length), three.substr(0, 4));
        q.read_end(handle);
        EXPECT_TRUE(q.read(got, 0) == 0 && got == second) << got;
        EXPECT_EQ(sem_state(guard.name(), 2), "free=2 used=0 mutex=1 ch0=4/0 ch1=4/0");
    }
}

TEST(MPMCVarFraming, MessageOfFourGiBAndMoreIsNotTruncated) {
#if defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "instrumenting a 4 GiB copy takes about a minute";
#endif
    NameGuard guard(unique_name("var_huge"));
    constexpr uint64_t kCell = uint64_t{1} << 20, kLength = (uint64_t{1} << 32) + 5;
    MPMCVarQueueCPP q(guard.name(), 1, 4, kCell);
    // Byte 2^32 ('c') is where a 32-bit length would wrap.
    const std::pair<uint64_t, char> marks[] = {{0, 'a'}, {kLength - 6, 'b'}, {kLength - 5, 'c'}, {kLength - 1, 'd'}};
    ScopedChild writer([&] {
        // Untouched pages read as zeros and cost nothing; only the marks are set.
        void* p = ::mmap(nullptr, kLength, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
        if (p == MAP_FAILED) return std::string("mmap failed");
        for (const auto& [at, c] : marks) static_cast<char*>(p)[at] = c;
        auto& q = *new MPMCVarQueueCPP(guard.name());  // never destroyed: the child ends with _exit
        return q.write(static_cast<char*>(p), static_cast<int64_t>(kLength)), std::string();
    });
    uint64_t total = 0, cells = 0;
    std::string markers;
    void* handle = q.read_begin();
    for (bool last = false; !last; ++cells) {
        char* data = nullptr;
        uint64_t length = 0;
        last = q.read(handle, &data, &length);
        for (const auto& [at, c] : marks)
            if (at >= total && at < total + length) markers += data[at - total];
        total += length;
    }
    q.read_end(handle);
    const ChildReport r = writer.join(60);
    EXPECT_EQ(r.code, 0) << r.text;
    EXPECT_EQ(std::make_tuple(total, cells, markers), std::make_tuple(kLength, (uint64_t{1} << 12) + 1, "abcd"));
}

TEST(MPMCVarRefusal, CreateArgumentsRefusedBeforeAnythingIsMade) {
    NameGuard guard(unique_name("var_args"));
    const std::string& name = guard.name();
    const std::string c = "MPMCVarQueueCPP:create constructor: ", ring = c + "channel ring of 2^32 bytes or more";
    const struct {
        int64_t channels, cells;
        uint64_t cell_size;
        std::string text;
    } cases[] = {
        {0, 0, 0, c + "num_channels <= 0"},
        {2147483648, 4, 8, c + "num_channels > 2147483647"},
        {1, 0, 8, c + "num_cells <= 0"},
        {1, 2147483648, 0, c + "num_cells > 2147483647"},
        {1, 4, 0, c + "cell_size == 0"},
        {1, 4, uint64_t{1} << 32, c + "cell_size > 4294967295"},
        {1, 4, ~uint64_t{0}, c + "cell_size > 4294967295"},
        {1, 65536, 65520, ring},  // the ring's bytes reach 2^32
        {1, 2147483647, 0xFFFFFFFF, ring},
        {2147483647, 65536, 65519, c + "segment size too large"},
    };
    for (const auto& k : cases) {
        SCOPED_TRACE(k.text);
        EXPECT_EQ(thrown_text([&] { MPMCVarQueueCPP q(name, k.channels, k.cells, k.cell_size); }),
                  on_queue(k.text, name));
        EXPECT_FALSE(any_name_left(name, QueueKind::kMPMCVar, 2));
    }
}

}  // namespace
}  // namespace mox::ipc_queue
