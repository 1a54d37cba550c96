// MPMCVarQueueCPP and Channel: the segment bytes, framing, ordering, real
// multi-process traffic, and refusal of bad arguments and damaged list and
// ring words. Names, permissions and damaged headers are covered for every
// kind in test_queue_lifecycle.cpp.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/mman.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "ipc_queue_exception.h"
#include "mpmcvar_queue.h"
#include "test_support.h"

namespace mox::ipc_queue {
namespace {

using test::join;
using test::NameGuard;
using test::SegmentView;
using test::sem_exists;
using test::sem_value;
using test::shm_exists;
using test::spawn;
using test::still_running_after;
using test::unique_name;

// ------------------------------------------------------------------ helpers

std::string with_name(const std::string& text, const std::string& name) { return text + " on queue '" + name + "'"; }


template <class F>
std::string thrown_text(F&& action) {
    try {
        action();
    } catch (const IPCQueueException& e) {
        return e.what();
    } catch (const std::exception& e) {
        return std::string("other exception: ") + e.what();
    }
    return "no exception";
}

// Runs `action` in a child process. 0: it threw exactly `expected`; 1: another
// text; 2: nothing; -2: a signal ended it (a crash); -1: it hung.
int child_throws(const std::function<void()>& action, const std::string& expected) {
    const pid_t pid = spawn([&] {
        const std::string got = thrown_text(action);
        if (got == expected) return 0;
        std::fprintf(stderr, "expected: %s\n     got: %s\n", expected.c_str(), got.c_str());
        return got == "no exception" ? 2 : 1;
    });
    return join(pid, 20);
}

// A connection made in a child process. It is never destroyed: destroying it
// would remove the queue's names (the child leaves with _exit).
MPMCVarQueueCPP& connect_in_child(const std::string& name) { return *new MPMCVarQueueCPP(name); }

// Semaphore values of a queue, as "free=F used=U mutex=M ch0=free/filled ...".
std::string sem_state(const std::string& name, unsigned channels) {
    std::string s = "free=" + std::to_string(sem_value(name + "_free_")) +
                    " used=" + std::to_string(sem_value(name + "_used_")) +
                    " mutex=" + std::to_string(sem_value(name + "_used_mutex_"));
    for (unsigned i = 0; i < channels; ++i) {
        const std::string n = std::to_string(i);
        s += " ch" + n + "=" + std::to_string(sem_value(name + "_free_channel_" + n)) + "/" +
             std::to_string(sem_value(name + "_filled_channel_" + n));
    }
    return s;
}

// Every name a queue of `channels` channels makes.
std::vector<std::string> all_names(const std::string& name, unsigned channels) {
    std::vector<std::string> sems{name + "_free_", name + "_used_", name + "_used_mutex_"};
    for (unsigned i = 0; i < channels; ++i) {
        sems.push_back(name + "_free_channel_" + std::to_string(i));
        sems.push_back(name + "_filled_channel_" + std::to_string(i));
    }
    return sems;
}

// Names among the queue's that still exist, segment included.
std::vector<std::string> remaining_names(const std::string& name, unsigned channels) {
    std::vector<std::string> left;
    if (shm_exists(name)) left.push_back(name);
    for (const std::string& s : all_names(name, channels))
        if (sem_exists(s)) left.push_back(s);
    return left;
}

// Offsets of a segment of the given geometry.
struct Geometry {
    uint64_t num_cells;
    uint64_t cell_size;

    uint64_t stride() const { return (cell_size + 16) * num_cells + 24; }
    size_t area(uint32_t ch) const { return 40 + ch * stride(); }
    size_t next(uint32_t ch) const { return area(ch) + 8; }
    size_t read_index(uint32_t ch) const { return area(ch) + 12; }
    size_t write_index(uint32_t ch) const { return area(ch) + 16; }
    size_t cell(uint32_t ch, uint32_t j) const { return area(ch) + 24 + j * (cell_size + 16); }
    size_t cell_length(uint32_t ch, uint32_t j) const { return cell(ch, j) + 8; }
    size_t cell_data(uint32_t ch, uint32_t j) const { return cell(ch, j) + 16; }
};

// The expected bytes of a segment, built up alongside the queue.
class Image {
public:
    explicit Image(size_t size) : bytes_(size, 0) {}
    template <class T>
    void put(size_t offset, T v) {
        std::memcpy(bytes_.data() + offset, &v, sizeof v);
    }
    void put_text(size_t offset, const std::string& s) { std::memcpy(bytes_.data() + offset, s.data(), s.size()); }
    // First offset where the segment differs, -1 when none.
    long first_difference(const SegmentView& view) const {
        if (view.size() != bytes_.size()) return 0;
        for (size_t i = 0; i < bytes_.size(); ++i)
            if (view.bytes()[i] != bytes_[i]) return static_cast<long>(i);
        return -1;
    }

private:
    std::vector<unsigned char> bytes_;
};

// Bytes written once to a pipe, for ordering steps across processes.
class Signal {
public:
    Signal() {
        if (::pipe(fds_) != 0) fds_[0] = fds_[1] = -1;
    }
    ~Signal() {
        ::close(fds_[0]);
        ::close(fds_[1]);
    }
    Signal(const Signal&) = delete;
    Signal& operator=(const Signal&) = delete;
    void post() const {
        const char c = 1;
        if (::write(fds_[1], &c, 1) != 1) std::perror("Signal::post");
    }
    // True once posted; false after timeout_ms without it.
    bool wait(int timeout_ms) const {
        pollfd p{fds_[0], POLLIN, 0};
        if (::poll(&p, 1, timeout_ms) != 1) return false;
        char c = 0;
        return ::read(fds_[0], &c, 1) == 1;
    }

private:
    int fds_[2];
};

std::string pattern(size_t length, unsigned seed) {
    std::string s(length, '\0');
    for (size_t i = 0; i < length; ++i) s[i] = static_cast<char>((i * 31 + seed * 7 + i / 251) & 0xFF);
    return s;
}

// ------------------------------------------------- traffic with checked content

// Content of message `seq` of writer `writer`, `length` bytes. From 12 bytes
// on it carries writer, seq, a payload derived from both and an FNV-1a
// checksum; shorter messages carry a pattern of their length only.
constexpr size_t kTagged = 12;

uint32_t fnv1a(const char* p, size_t n) {
    uint32_t h = 2166136261u;
    for (size_t i = 0; i < n; ++i) h = (h ^ static_cast<unsigned char>(p[i])) * 16777619u;
    return h;
}

std::string make_message(uint32_t writer, uint32_t seq, size_t length) {
    std::string m(length, '\0');
    if (length < kTagged) {
        for (size_t i = 0; i < length; ++i) m[i] = static_cast<char>((length * 17 + i) ^ 0x5A);
        return m;
    }
    std::memcpy(&m[0], &writer, 4);
    std::memcpy(&m[4], &seq, 4);
    for (size_t i = 8; i < length - 4; ++i) m[i] = static_cast<char>(writer * 131 + seq * 7 + i);
    const uint32_t sum = fnv1a(m.data(), length - 4);
    std::memcpy(&m[length - 4], &sum, 4);
    return m;
}

// Lives in a shared anonymous mapping: writers' plan and readers' tallies.
struct Traffic {
    static constexpr int kMaxMessages = 16384;
    int writers = 0;
    int per_writer = 0;
    uint32_t lengths[kMaxMessages];
    std::atomic<int> received;
    std::atomic<int> bad;
    std::atomic<int> seen[kMaxMessages];
    std::atomic<int> short_seen[kTagged];

    int total() const { return writers * per_writer; }
    int expected_short(size_t length) const {
        int n = 0;
        for (int i = 0; i < total(); ++i) n += lengths[i] == length;
        return n;
    }
};
static_assert(std::atomic<int>::is_always_lock_free);

class SharedTraffic {
public:
    SharedTraffic(int writers, int per_writer, uint32_t min_length, uint32_t max_length, unsigned seed) {
        void* p = ::mmap(nullptr, sizeof(Traffic), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
        t_ = p == MAP_FAILED ? nullptr : new (p) Traffic;
        if (t_ == nullptr) return;
        t_->writers = writers;
        t_->per_writer = per_writer;
        std::mt19937 rng(seed);
        std::uniform_int_distribution<uint32_t> len(min_length, max_length);
        for (int i = 0; i < t_->total(); ++i) t_->lengths[i] = len(rng);
    }
    ~SharedTraffic() {
        if (t_ != nullptr) ::munmap(t_, sizeof(Traffic));
    }
    SharedTraffic(const SharedTraffic&) = delete;
    SharedTraffic& operator=(const SharedTraffic&) = delete;
    Traffic* operator->() const { return t_; }
    Traffic& get() const { return *t_; }
    bool ok() const { return t_ != nullptr; }

private:
    Traffic* t_ = nullptr;
};

// Checks one received message and tallies it.
void account(Traffic& t, const std::string& m) {
    if (m.size() < kTagged) {
        if (m != make_message(0, 0, m.size())) t.bad++;
        t.short_seen[m.size()]++;
    } else {
        uint32_t writer = 0;
        uint32_t seq = 0;
        std::memcpy(&writer, m.data(), 4);
        std::memcpy(&seq, m.data() + 4, 4);
        const int id = static_cast<int>(writer) * t.per_writer + static_cast<int>(seq);
        if (writer >= static_cast<uint32_t>(t.writers) || seq >= static_cast<uint32_t>(t.per_writer) ||
            t.lengths[id] != m.size() || m != make_message(writer, seq, m.size()))
            t.bad++;
        else
            t.seen[id]++;
    }
    t.received++;
}

// Writer `w`: its messages in order, as whole writes or built from partial
// writes of random sizes (zero included).
void write_traffic(MPMCVarQueueCPP& q, Traffic& t, uint32_t w) {
    std::mt19937 rng(w * 7919 + 1);
    for (uint32_t s = 0; s < static_cast<uint32_t>(t.per_writer); ++s) {
        const std::string m = make_message(w, s, t.lengths[w * t.per_writer + s]);
        const int64_t length = static_cast<int64_t>(m.size());
        switch ((s + w) % 3) {
            case 0:
                q.write(m.data(), length);
                break;
            case 1: {
                Channel& ch = q.open_channel_for_write();
                int64_t done = 0;
                while (done < length) {
                    const int64_t n = std::min<int64_t>(length - done, rng() % (3 * ch.cell_size + 1));
                    ch.partial_write(m.data() + done, n);
                    done += n;
                    std::this_thread::yield();  // a writer pausing inside its message
                }
                q.close_channel_after_write(ch);
                break;
            }
            default: {
                Channel& ch = q.open_channel_for_write();
                const int64_t half = length / 2;
                ch.write(m.data(), half);
                ch.partial_write(m.data() + half, length - half);
                ch.partial_write_complete();
                break;
            }
        }
    }
}

// Reader `r`: takes messages until all were received, in one of three ways.
void read_traffic(MPMCVarQueueCPP& q, Traffic& t, int r) {
    std::string m;
    for (int k = 0; t.received.load() < t.total(); ++k) {
        m.clear();
        switch ((k + r) % 3) {
            case 0:
                if (q.read(m, 20) == 1) continue;
                break;
            case 1: {
                Channel* ch = q.open_channel_for_read(20);
                if (ch == nullptr) continue;
                while (ch->partial_read(m)) {
                }
                q.close_channel_after_read(*ch);
                break;
            }
            default: {
                // The cell loop of the Python layer.
                Channel* ch = q.open_channel_for_read(20);
                if (ch == nullptr) continue;
                uint64_t length = 0;
                do {
                    Cell* cell = ch->open_cell_for_read();
                    length = cell->length();
                    m.append(cell->data(), length);
                    ch->close_cell_after_read(cell);
                } while (length >= ch->cell_size);
                q.close_channel_after_read(*ch);
                break;
            }
        }
        account(t, m);
    }
}

void expect_all_delivered_once(const Traffic& t) {
    EXPECT_EQ(t.bad.load(), 0);
    EXPECT_EQ(t.received.load(), t.total());
    int missing_or_repeated = 0;
    for (int i = 0; i < t.total(); ++i)
        if (t.lengths[i] >= kTagged && t.seen[i].load() != 1) ++missing_or_repeated;
    EXPECT_EQ(missing_or_repeated, 0);
    for (size_t l = 0; l < kTagged; ++l) EXPECT_EQ(t.short_seen[l].load(), t.expected_short(l)) << "length " << l;
}

// Runs writers and readers as processes, each with its own connection.
void run_traffic_processes(const std::string& name, Traffic& t, int readers) {
    std::vector<pid_t> pids;
    for (int r = 0; r < readers; ++r)
        pids.push_back(spawn([&, r] {
            read_traffic(connect_in_child(name), t, r);
            return 0;
        }));
    for (int w = 0; w < t.writers; ++w)
        pids.push_back(spawn([&, w] {
            write_traffic(connect_in_child(name), t, static_cast<uint32_t>(w));
            return 0;
        }));
    for (pid_t pid : pids) EXPECT_EQ(join(pid, 60), 0);
}

// =================================================================== layout

TEST(MPMCVarLayout, SegmentExampleByteForByte) {
    NameGuard guard(unique_name("var_layout"));
    const std::string& name = guard.name();
    MPMCVarQueueCPP q(name, 2, 4, 8);
    const Geometry g{4, 8};
    ASSERT_EQ(g.area(1), 160u);
    ASSERT_EQ(g.cell(1, 3), 256u);
    ASSERT_EQ(g.cell_length(1, 3), 264u);

    SegmentView view(name);
    ASSERT_TRUE(view.ok());
    ASSERT_EQ(view.size(), 280u);
    EXPECT_EQ(q.cell_size(), 8u);
    EXPECT_TRUE(q.is_mpmcvar_queue());
    EXPECT_FALSE(q.is_spsc_queue());
    EXPECT_FALSE(q.is_mpmc_queue());

    Image img(280);
    img.put<uint64_t>(0, 280);
    img.put<uint32_t>(8, 2);   // queue_type
    img.put<uint32_t>(12, 2);  // num_channels
    img.put<uint32_t>(16, 4);  // num_cells
    img.put<uint32_t>(20, 8);  // cell_size
    img.put<uint32_t>(24, 0);  // free_head
    img.put<uint32_t>(28, 0);  // free stack modification count
    img.put<uint32_t>(32, kListEnd);
    img.put<uint32_t>(36, kListEnd);
    img.put<uint32_t>(g.next(0), 1);
    img.put<uint32_t>(g.next(1), kListEnd);
    EXPECT_EQ(img.first_difference(view), -1);
    EXPECT_EQ(sem_state(name, 2), "free=2 used=0 mutex=1 ch0=4/0 ch1=4/0");

    // One message of a full cell and 4 bytes, through channel 0.
    q.write("ABCDEFGHIJKL", 12);
    img.put<uint32_t>(24, 1);
    img.put<uint32_t>(28, 1);
    img.put<uint32_t>(32, 0);
    img.put<uint32_t>(36, 0);
    img.put<uint64_t>(g.area(0), 12);  // message_length
    img.put<uint32_t>(g.next(0), kListEnd);
    img.put<uint32_t>(g.write_index(0), 2);
    img.put<uint64_t>(g.cell_length(0, 0), 8);
    img.put_text(g.cell_data(0, 0), "ABCDEFGH");
    img.put<uint64_t>(g.cell_length(0, 1), 4);
    img.put_text(g.cell_data(0, 1), "IJKL");
    EXPECT_EQ(img.first_difference(view), -1);
    EXPECT_EQ(sem_state(name, 2), "free=1 used=1 mutex=1 ch0=2/2 ch1=4/0");

    std::string out;
    ASSERT_EQ(q.read(out, 0), 0);
    EXPECT_EQ(out, "ABCDEFGHIJKL");
    img.put<uint32_t>(24, 0);  // channel 0 pushed back on top of 1
    img.put<uint32_t>(28, 2);
    img.put<uint32_t>(32, kListEnd);
    img.put<uint32_t>(36, kListEnd);
    img.put<uint64_t>(g.area(0), 0);
    img.put<uint32_t>(g.next(0), 1);
    img.put<uint32_t>(g.read_index(0), 2);
    img.put<uint64_t>(g.cell_length(0, 0), 0);  // payload bytes stay
    img.put<uint64_t>(g.cell_length(0, 1), 0);
    EXPECT_EQ(img.first_difference(view), -1);
    EXPECT_EQ(sem_state(name, 2), "free=2 used=0 mutex=1 ch0=4/0 ch1=4/0");

    // Two writers: A takes channel 0, B channel 1 and fills its whole ring.
    Channel& a = q.open_channel_for_write();
    Channel& b = q.open_channel_for_write();
    EXPECT_EQ(a.index, 0u);
    EXPECT_EQ(b.index, 1u);
    b.partial_write("abcdefghijklmnopqrstuvwxyz0123", 30);
    q.close_channel_after_write(b);
    img.put<uint32_t>(24, kListEnd);
    img.put<uint32_t>(28, 4);
    img.put<uint32_t>(32, 0);
    img.put<uint32_t>(36, 1);
    img.put<uint32_t>(g.next(0), 1);
    img.put<uint64_t>(g.area(1), 30);
    img.put<uint32_t>(g.next(1), kListEnd);
    img.put<uint32_t>(g.write_index(1), 0);  // 4 cells taken: wrapped
    const char* chunks[] = {"abcdefgh", "ijklmnop", "qrstuvwx", "yz0123"};
    for (uint32_t j = 0; j < 4; ++j) {
        img.put<uint64_t>(g.cell_length(1, j), std::strlen(chunks[j]));
        img.put_text(g.cell_data(1, j), chunks[j]);
    }
    EXPECT_EQ(img.first_difference(view), -1);
    EXPECT_EQ(view.u64(256), 0u);  // the cell's reserved word
    EXPECT_EQ(view.u64(264), 6u);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(view.bytes()) + 272, 6), "yz0123");
    EXPECT_EQ(sem_state(name, 2), "free=0 used=2 mutex=1 ch0=4/0 ch1=0/4");

    // A reader takes A's channel first, although B finished first.
    Channel& r = q.open_channel_for_read();
    EXPECT_EQ(&r, &a);
    img.put<uint32_t>(32, 1);
    img.put<uint32_t>(g.next(0), kInUseMark);
    EXPECT_EQ(img.first_difference(view), -1);
    EXPECT_EQ(sem_state(name, 2), "free=0 used=1 mutex=1 ch0=4/0 ch1=0/4");

    q.close_channel_after_write(a);  // an empty message: one empty cell
    EXPECT_EQ(sem_state(name, 2), "free=0 used=1 mutex=1 ch0=3/1 ch1=0/4");
    std::string empty;
    r.read(empty);
    EXPECT_EQ(empty, "");
    q.close_channel_after_read(r);
    img.put<uint32_t>(24, 0);
    img.put<uint32_t>(28, 5);
    img.put<uint32_t>(g.next(0), kListEnd);
    img.put<uint32_t>(g.read_index(0), 3);
    img.put<uint32_t>(g.write_index(0), 3);
    EXPECT_EQ(img.first_difference(view), -1);
    EXPECT_EQ(sem_state(name, 2), "free=1 used=1 mutex=1 ch0=4/0 ch1=0/4");

    ASSERT_EQ(q.read(out, 0), 0);
    EXPECT_EQ(out, "abcdefghijklmnopqrstuvwxyz0123");
    img.put<uint32_t>(24, 1);
    img.put<uint32_t>(28, 6);
    img.put<uint32_t>(32, kListEnd);
    img.put<uint32_t>(36, kListEnd);
    img.put<uint64_t>(g.area(1), 0);
    img.put<uint32_t>(g.next(1), 0);
    for (uint32_t j = 0; j < 4; ++j) img.put<uint64_t>(g.cell_length(1, j), 0);
    EXPECT_EQ(img.first_difference(view), -1);
    EXPECT_EQ(sem_state(name, 2), "free=2 used=0 mutex=1 ch0=4/0 ch1=4/0");
}

// ================================================================== framing

TEST(MPMCVarFraming, LongMessageThroughTwoCellRingAcrossProcesses) {
    NameGuard guard(unique_name("var_long"));
    const std::string& name = guard.name();
    MPMCVarQueueCPP q(name, 1, 2, 16);
    const std::string there = pattern(10 * 16 + 1, 5);
    const std::string back = pattern(10 * 16 + 1, 6);

    const pid_t writer = spawn([&] {
        connect_in_child(name).write(there.data(), static_cast<int64_t>(there.size()));
        return 0;
    });
    std::string out;
    ASSERT_EQ(q.read(out, 0), 0);
    EXPECT_EQ(out, there);
    EXPECT_EQ(join(writer), 0);

    const pid_t reader = spawn([&] {
        std::string got;
        connect_in_child(name).read(got, 0);
        return got == back ? 0 : 1;
    });
    q.write(back.data(), static_cast<int64_t>(back.size()));
    EXPECT_EQ(join(reader), 0);
    EXPECT_EQ(sem_state(name, 1), "free=1 used=0 mutex=1 ch0=2/0");
}

TEST(MPMCVarFraming, WriterBlocksInFullRingUntilAReaderArrives) {
    NameGuard guard(unique_name("var_fullring"));
    const std::string& name = guard.name();
    MPMCVarQueueCPP q(name, 1, 2, 8);
    const std::string m = pattern(5 * 8 + 3, 9);
    const pid_t writer = spawn([&] {
        connect_in_child(name).write(m.data(), static_cast<int64_t>(m.size()));
        return 0;
    });
    // Both cells handed over, nobody reading: the writer waits for a third.
    for (int i = 0; i < 5000 && sem_value(name + "_filled_channel_0") != 2; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_EQ(sem_value(name + "_filled_channel_0"), 2);
    EXPECT_TRUE(still_running_after(writer, 100));
    std::string out;
    ASSERT_EQ(q.read(out, 0), 0);  // the message was on the used list from the start
    EXPECT_EQ(out, m);
    EXPECT_EQ(join(writer), 0);
}

TEST(MPMCVarFraming, ExactMultipleEndsWithEmptyCell) {
    NameGuard guard(unique_name("var_multiple"));
    const std::string& name = guard.name();
    MPMCVarQueueCPP q(name, 1, 8, 16);

    struct Piece {
        uint64_t length;
        bool last;
    };
    auto zero_copy = [&](const std::string& expected) {
        std::vector<Piece> pieces;
        std::string got;
        void* handle = q.read_begin();
        for (bool last = false; !last && pieces.size() < 10;) {
            char* data = nullptr;
            uint64_t length = 0;
            last = q.read(handle, &data, &length);
            pieces.push_back({length, last});
            got.append(data, length);
        }
        q.read_end(handle);
        EXPECT_EQ(got, expected);
        return pieces;
    };
    auto lengths = [](const std::vector<Piece>& pieces) {
        std::string s;
        for (const Piece& p : pieces) s += std::to_string(p.length) + (p.last ? "." : ",");
        return s;
    };

    const std::string three = pattern(48, 1);
    q.write(three.data(), 48);
    EXPECT_EQ(lengths(zero_copy(three)), "16,16,16,0.");

    const std::string two_and_half = pattern(40, 2);
    q.write(two_and_half.data(), 40);
    EXPECT_EQ(lengths(zero_copy(two_and_half)), "16,16,8.");

    q.write(nullptr, 0);
    EXPECT_EQ(lengths(zero_copy("")), "0.");

    q.write(three.data(), 48);
    std::string out;
    ASSERT_EQ(q.read(out, 0), 0);
    EXPECT_EQ(out, three);
    EXPECT_EQ(sem_state(name, 1), "free=1 used=0 mutex=1 ch0=8/0");
}

TEST(MPMCVarFraming, EmptyMessages) {
    NameGuard guard(unique_name("var_empty"));
    const std::string& name = guard.name();
    MPMCVarQueueCPP q(name, 2, 4, 8);
    const Geometry g{4, 8};

    q.write("ignored", 0);
    Channel& ch = q.open_channel_for_write();
    ch.partial_write("ignored", 0);  // takes no cell
    EXPECT_EQ(sem_value(name + "_free_channel_1"), 4);
    ch.partial_write_complete();  // one empty cell ends the message
    EXPECT_EQ(sem_state(name, 2), "free=0 used=2 mutex=1 ch0=3/1 ch1=3/1");

    SegmentView view(name);
    ASSERT_TRUE(view.ok());
    EXPECT_EQ(view.u64(g.cell_length(0, 0)), 0u);
    EXPECT_EQ(view.u64(g.area(1)), 0u);

    std::string out = "not cleared";
    ASSERT_EQ(q.read(out, 0), 0);
    EXPECT_EQ(out, "");
    out = "kept";
    Channel& r = q.open_channel_for_read();
    r.read(out);
    EXPECT_EQ(out, "kept");
    q.close_channel_after_read(r);
    EXPECT_EQ(sem_state(name, 2), "free=2 used=0 mutex=1 ch0=4/0 ch1=4/0");
}

TEST(MPMCVarFraming, PartialWritesFillCellsAcrossCalls) {
    NameGuard guard(unique_name("var_partial"));
    const std::string& name = guard.name();
    MPMCVarQueueCPP q(name, 1, 4, 4);
    const Geometry g{4, 4};
    SegmentView view(name);
    ASSERT_TRUE(view.ok());

    Channel& ch = q.open_channel_for_write();
    ch.partial_write("abc", 3);
    EXPECT_EQ(sem_value(name + "_filled_channel_0"), 0);  // partly filled: kept back
    EXPECT_EQ(view.u64(g.cell_length(0, 0)), 3u);
    ch.partial_write("def", 3);
    EXPECT_EQ(sem_value(name + "_filled_channel_0"), 1);  // the full cell went over at once
    EXPECT_EQ(view.u64(g.cell_length(0, 0)), 4u);
    EXPECT_EQ(view.u64(g.cell_length(0, 1)), 2u);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(view.bytes()) + g.cell_data(0, 1), 2), "ef");
    EXPECT_EQ(view.u64(g.area(0)), 6u);

    EXPECT_EQ(thrown_text([&] { ch.partial_write("x", -1); }), "MPMCVarQueueCPP:create write: length < 0");
    ch.partial_write("x", 0);
    EXPECT_EQ(view.u64(g.area(0)), 6u);
    EXPECT_EQ(sem_state(name, 1), "free=0 used=1 mutex=1 ch0=2/1");

    ch.partial_write("ghij", 4);  // 2 to finish cell 1, 2 into cell 2
    EXPECT_EQ(sem_value(name + "_filled_channel_0"), 2);
    q.close_channel_after_write(ch);
    EXPECT_EQ(sem_value(name + "_filled_channel_0"), 3);
    EXPECT_EQ(view.u64(g.cell_length(0, 2)), 2u);

    std::string out;
    ASSERT_EQ(q.read(out, 0), 0);
    EXPECT_EQ(out, "abcdefghij");

    EXPECT_EQ(thrown_text([&] { q.write("x", -1); }), "MPMCVarQueueCPP:write: length < 0");
    EXPECT_EQ(sem_state(name, 1), "free=1 used=0 mutex=1 ch0=4/0");
}

// read_end before the message's last cell consumes the rest, so the channel
// goes back to the free list with an empty ring.
TEST(MPMCVarFraming, ReadEndBeforeTheLastCellDropsTheRest) {
    NameGuard guard(unique_name("var_readend"));
    const std::string& name = guard.name();
    MPMCVarQueueCPP q(name, 2, 8, 8);
    const std::string first = pattern(30, 1), second = pattern(11, 2);
    q.write(first.data(), 30);
    q.write(second.data(), 11);

    void* handle = q.read_begin();
    char* data = nullptr;
    uint64_t length = 0;
    EXPECT_FALSE(q.read(handle, &data, &length));
    EXPECT_EQ(std::string(data, length), first.substr(0, 8));
    q.read_end(handle);
    EXPECT_EQ(sem_state(name, 2), "free=1 used=1 mutex=1 ch0=8/0 ch1=6/2");

    std::string out;
    ASSERT_EQ(q.read(out, 0), 0);
    EXPECT_EQ(out, second);
    // Both channels carry whole messages again.
    q.write(first.data(), 30);
    q.write(second.data(), 11);
    ASSERT_EQ(q.read(out, 0), 0);
    EXPECT_EQ(out, first);
    ASSERT_EQ(q.read(out, 0), 0);
    EXPECT_EQ(out, second);
    EXPECT_EQ(sem_state(name, 2), "free=2 used=0 mutex=1 ch0=8/0 ch1=8/0");
}

TEST(MPMCVarFraming, MessageOfFourGiBAndMoreIsNotTruncated) {
#if defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "one writer and one reader only; instrumenting a 4 GiB copy takes about a minute";
#endif
    NameGuard guard(unique_name("var_huge"));
    const std::string& name = guard.name();
    constexpr uint64_t kCell = uint64_t{1} << 20;
    constexpr uint64_t kLength = (uint64_t{1} << 32) + 5;
    MPMCVarQueueCPP q(name, 1, 4, kCell);

    const pid_t writer = spawn([&] {
        // Untouched pages read as zeros and cost nothing; a few markers are set.
        void* p = ::mmap(nullptr, kLength, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
        if (p == MAP_FAILED) return 3;
        char* src = static_cast<char*>(p);
        src[0] = 'a';
        src[kLength - 6] = 'b';
        src[kLength - 5] = 'c';  // byte 2^32: where a 32-bit length would wrap
        src[kLength - 1] = 'd';
        connect_in_child(name).write(src, static_cast<int64_t>(kLength));
        return 0;
    });

    uint64_t total = 0;
    uint64_t cells = 0;
    std::string markers;
    void* handle = q.read_begin();
    for (bool last = false; !last;) {
        char* data = nullptr;
        uint64_t length = 0;
        last = q.read(handle, &data, &length);
        for (uint64_t at : {uint64_t{0}, kLength - 6, kLength - 5, kLength - 1})
            if (at >= total && at < total + length) markers += data[at - total];
        total += length;
        ++cells;
    }
    q.read_end(handle);
    EXPECT_EQ(join(writer), 0);
    EXPECT_EQ(total, kLength);
    EXPECT_EQ(cells, (uint64_t{1} << 12) + 1);
    EXPECT_EQ(markers, "abcd");
}

// ================================================================= ordering

TEST(MPMCVarOrder, ReadersGetMessagesInOrderOfChannelTakeNotCompletion) {
    NameGuard guard(unique_name("var_order"));
    const std::string& name = guard.name();
    MPMCVarQueueCPP q(name, 3, 2, 8);
    Signal a_started, a_go;

    const pid_t a = spawn([&] {
        MPMCVarQueueCPP& qa = connect_in_child(name);
        Channel& ch = qa.open_channel_for_write();
        ch.partial_write("A:first ", 8);
        a_started.post();
        if (!a_go.wait(20000)) return 2;
        ch.partial_write("and then the rest", 17);
        qa.close_channel_after_write(ch);
        return 0;
    });
    ASSERT_TRUE(a_started.wait(20000));
    const pid_t b = spawn([&] {
        connect_in_child(name).write("B:whole", 7);
        return 0;
    });
    EXPECT_EQ(join(b), 0);  // B is complete while A is not

    // A reader takes A's message and waits in it for the rest.
    const pid_t reader = spawn([&] {
        std::string got;
        connect_in_child(name).read(got, 0);
        return got == "A:first and then the rest" ? 0 : 1;
    });
    EXPECT_TRUE(still_running_after(reader, 100));
    a_go.post();
    EXPECT_EQ(join(a), 0);
    EXPECT_EQ(join(reader), 0);

    std::string out;
    ASSERT_EQ(q.read(out, 0), 0);
    EXPECT_EQ(out, "B:whole");
}

// =================================================================== stress

TEST(MPMCVarStress, WritersAndReadersProcessesRandomLengths) {
    NameGuard guard(unique_name("var_stress"));
    const std::string& name = guard.name();
    constexpr uint32_t kCell = 16;
    MPMCVarQueueCPP q(name, 3, 3, kCell);
    SharedTraffic traffic(4, 250, 0, 100 * kCell, 12345);
    ASSERT_TRUE(traffic.ok());

    run_traffic_processes(name, traffic.get(), 3);
    expect_all_delivered_once(traffic.get());
    EXPECT_EQ(sem_state(name, 3), "free=3 used=0 mutex=1 ch0=3/0 ch1=3/0 ch2=3/0");
}

// Many short messages over two channels: channels are taken and given back
// constantly. A channel handed to two writers at once would mix or lose
// messages, which the content check sees.
TEST(MPMCVarStress, ChannelTakeAndGiveBackUnderContention) {
    NameGuard guard(unique_name("var_aba"));
    const std::string& name = guard.name();
    constexpr uint32_t kCell = 32;
    MPMCVarQueueCPP q(name, 2, 2, kCell);
    SharedTraffic traffic(6, 1500, kTagged, kCell + 8, 777);
    ASSERT_TRUE(traffic.ok());

    run_traffic_processes(name, traffic.get(), 6);
    expect_all_delivered_once(traffic.get());
    EXPECT_EQ(sem_state(name, 2), "free=2 used=0 mutex=1 ch0=2/0 ch1=2/0");

    // Every pop and push bumped the count: two per message.
    SegmentView view(name);
    ASSERT_TRUE(view.ok());
    EXPECT_EQ(view.u32(28), 2u * 6 * 1500);
}

// ================================================================ behaviour

TEST(MPMCVarBehaviour, TimedReadOnEmptyQueueReturnsOneAndChangesNothing) {
    NameGuard guard(unique_name("var_timeout"));
    const std::string& name = guard.name();
    MPMCVarQueueCPP q(name, 2, 2, 8);
    q.write("abc", 3);
    std::string out;
    ASSERT_EQ(q.read(out, 0), 0);

    SegmentView view(name);
    ASSERT_TRUE(view.ok());
    const std::vector<unsigned char> before(view.bytes(), view.bytes() + view.size());
    const std::string sems = sem_state(name, 2);

    out = "unchanged";
    EXPECT_EQ(q.read(out, 30), 1);
    EXPECT_EQ(out, "unchanged");
    EXPECT_EQ(q.open_channel_for_read(30), nullptr);
    EXPECT_TRUE(std::equal(before.begin(), before.end(), view.bytes()));
    EXPECT_EQ(sem_state(name, 2), sems);
}

// ================================================================= refusals

TEST(MPMCVarRefusal, CreateArgumentsRefusedBeforeAnythingIsMade) {
    NameGuard guard(unique_name("var_args"));
    const std::string& name = guard.name();
    struct Case {
        int64_t channels;
        int64_t cells;
        uint64_t cell_size;
        const char* text;
    };
    const Case cases[] = {
        {0, 0, 0, "MPMCVarQueueCPP:create constructor: num_channels <= 0"},
        {-1, 4, 8, "MPMCVarQueueCPP:create constructor: num_channels <= 0"},
        {2147483648, 4, 8, "MPMCVarQueueCPP:create constructor: num_channels > 2147483647"},
        {1, 0, 8, "MPMCVarQueueCPP:create constructor: num_cells <= 0"},
        {1, 2147483648, 0, "MPMCVarQueueCPP:create constructor: num_cells > 2147483647"},
        {1, 4, 0, "MPMCVarQueueCPP:create constructor: cell_size == 0"},
        {1, 4, uint64_t{1} << 32, "MPMCVarQueueCPP:create constructor: cell_size > 4294967295"},
        {1, 4, ~uint64_t{0}, "MPMCVarQueueCPP:create constructor: cell_size > 4294967295"},
        {1, 65536, 65520, "MPMCVarQueueCPP:create constructor: channel ring of 2^32 bytes or more"},
        {1, 2147483647, 0xFFFFFFFF, "MPMCVarQueueCPP:create constructor: channel ring of 2^32 bytes or more"},
        {2147483647, 65536, 65519, "MPMCVarQueueCPP:create constructor: segment size too large"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(thrown_text([&] { MPMCVarQueueCPP q(name, c.channels, c.cells, c.cell_size); }),
                  with_name(c.text, name));
        EXPECT_EQ(remaining_names(name, 2), std::vector<std::string>{}) << c.text;
    }
    EXPECT_EQ(thrown_text([] { MPMCVarQueueCPP q("", 1, 1, 1); }),
              "MPMCVarQueueCPP:create constructor: queue name is empty");
    EXPECT_EQ(thrown_text([] { MPMCVarQueueCPP q(""); }), "MPMCVarQueue:connect constructor: queue name is empty");
}

// ================================================================== damage

// A fresh queue of 2 channels, 2 cells of 8 bytes, and a view of its bytes.
struct Damaged {
    explicit Damaged(const char* tag) : guard(unique_name(tag)), q(guard.name(), 2, 2, 8), view(guard.name()) {}
    NameGuard guard;
    MPMCVarQueueCPP q;
    SegmentView view;
    const Geometry g{2, 8};
    const std::string& name() const { return guard.name(); }
};

const char* const kBadChannel = "MPMCVarQueueCPP: channel number out of range; segment is damaged";
const char* const kBadRingIndex = "MPMCVarQueueCPP:Channel: ring index out of range; segment is damaged";

void read_one(MPMCVarQueueCPP& q) {
    std::string out;
    q.read(out, 0);
}

// Each case damages a fresh queue, then runs an operation in a child, which
// must throw the given text: a crash or a hang fails the case. A thrower
// must also have let go of the used-list lock.
TEST(MPMCVarDamage, ListWordsRingIndicesAndCellLengthsThrow) {
    const std::string bad_length = "MPMCVarQueueCPP:Channel:open_cell_for_read: cell length > cell size; segment is damaged";
    struct Case {
        const char* what;
        std::function<void(Damaged&)> damage;  // in the parent
        std::function<void(Damaged&)> op;      // in the child
        std::string text;
    };
    auto write_x = [](Damaged& d) { d.q.write("x", 1); };
    auto read = [](Damaged& d) { read_one(d.q); };
    const Case cases[] = {
        {"free head past the table", [](Damaged& d) { d.view.put<uint32_t>(24, 7); }, write_x, kBadChannel},
        {"free head empty while counted", [](Damaged& d) { d.view.put<uint32_t>(24, kListEnd); }, write_x,
         kBadChannel},
        {"free top's link past the table", [](Damaged& d) { d.view.put<uint32_t>(d.g.next(0), 5); }, write_x,
         kBadChannel},
        {"give back onto a bad free head", [](Damaged& d) { d.q.write("x", 1), d.view.put<uint32_t>(24, 9); }, read,
         kBadChannel},
        {"used head past the table", [](Damaged& d) { d.q.write("x", 1), d.view.put<uint32_t>(32, 9); }, read, kBadChannel},
        {"used tail past the table", [](Damaged& d) { d.q.write("x", 1), d.view.put<uint32_t>(36, 9); },
         [](Damaged& d) { d.q.write("y", 1); }, kBadChannel},
        {"used link past the table",
         [](Damaged& d) {
             d.q.write("x", 1);
             d.q.write("y", 1);
             d.view.put<uint32_t>(d.g.next(0), 0x12345);
         },
         read, kBadChannel},
        {"channelShmAt past the table", [](Damaged&) {}, [](Damaged& d) { d.q.channelShmAt(2); }, kBadChannel},
        {"read index past the ring", [](Damaged& d) { d.q.write("x", 1), d.view.put<uint32_t>(d.g.read_index(0), 100); },
         read, kBadRingIndex},
        {"write index past the ring", [](Damaged& d) { d.view.put<uint32_t>(d.g.write_index(0), 2); }, write_x,
         kBadRingIndex},
        {"cell length, whole read",
         [](Damaged& d) { d.q.write("x", 1), d.view.put<uint64_t>(d.g.cell_length(0, 0), uint64_t{1} << 40); }, read,
         bad_length},
        {"cell length, partial read",
         [](Damaged& d) { d.q.write("x", 1), d.view.put<uint64_t>(d.g.cell_length(0, 0), uint64_t{1} << 40); },
         [](Damaged& d) {
             std::string out;
             d.q.open_channel_for_read().partial_read(out);
         },
         bad_length},
        {"cell length, zero-copy read",
         [](Damaged& d) { d.q.write("x", 1), d.view.put<uint64_t>(d.g.cell_length(0, 0), uint64_t{1} << 40); },
         [](Damaged& d) {
             char* data = nullptr;
             uint64_t length = 0;
             d.q.read(d.q.read_begin(), &data, &length);
         },
         bad_length},
        {"kept cell's length damaged between partial writes", [](Damaged&) {},
         [](Damaged& d) {
             Channel& ch = d.q.open_channel_for_write();
             ch.partial_write("abc", 3);
             d.view.put<uint64_t>(d.g.cell_length(0, 0), 1000);
             ch.partial_write("def", 3);
         },
         "MPMCVarQueueCPP:Channel:partial_write: cell length > cell size; segment is damaged"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Damaged d("var_dmg");
        ASSERT_TRUE(d.view.ok());
        c.damage(d);
        EXPECT_EQ(child_throws([&] { c.op(d); }, with_name(c.text, d.name())), 0);
        EXPECT_EQ(sem_value(d.name() + "_used_mutex_"), 1);
    }
}

}  // namespace
}  // namespace mox::ipc_queue
