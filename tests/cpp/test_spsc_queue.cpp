// SPSCQueueCPP: creating and connecting, names and their removal, the segment
// layout, message transfer between real processes, and damaged segments.
#include <gtest/gtest.h>
#include <pthread.h>
#include <sys/stat.h>
#include <sys/time.h>

#include <fcntl.h>
#include <semaphore.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <limits>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
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
using test::sem_exists;
using test::sem_value;
using test::shm_exists;
using test::unique_name;

constexpr size_t kHeader = 48;
// Header field offsets in the segment.
constexpr size_t kSegmentSize = 0, kQueueType = 8, kNumCells = 12, kCellSize = 16, kReadIndex = 24,
                 kWriteIndex = 28, kFirstThread = 32, kSecondThread = 40;

size_t cell_offset(size_t index, uint64_t cell_size) { return kHeader + index * (cell_size + 16); }

std::string on_queue(const std::string& text, const std::string& name) { return text + " on queue '" + name + "'"; }
std::string on_queue(const std::string& text, const std::string& name, int err) {
    return text + " on queue '" + name + "': " + std::strerror(err);
}

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
    return shm_exists(name) || sem_exists(filled_of(name)) || sem_exists(free_of(name));
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

TEST(SPSCCreate, LargestCellCountPassesTheRangeCheck) {
    const NameGuard guard(unique_name("spsc_maxcells"));
    const std::string& name = guard.name();
    const std::string too_large = on_queue("SPSCQueueCPP:create constructor: segment size too large", name);
    // The segment (about 36 GB) is sparse; only its header is touched.
    const std::string result = error_of([&] {
        SPSCQueueCPP q(name, 2147483647LL, 1, true);
        SegmentView v(name);
        if (!v.ok() || v.u32(kNumCells) != 2147483647u || v.u64(kSegmentSize) != 48 + 2147483647ULL * 17)
            throw std::runtime_error("header does not match");
    });
    EXPECT_TRUE(result == "(no exception)" || result == too_large) << result;
    EXPECT_FALSE(any_name_left(name));
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

TEST(SPSCCreate, ObjectsAreMadeWithMode0600AndInitialCounts) {
    const NameGuard guard(unique_name("spsc_mode"));
    const std::string& name = guard.name();
    // With no umask the bits seen are exactly the ones the queue asked for.
    const mode_t old_mask = ::umask(0);
    std::unique_ptr<SPSCQueueCPP> q;
    const std::string err = error_of([&] { q = std::make_unique<SPSCQueueCPP>(name, 5, 8, true); });
    ::umask(old_mask);
    ASSERT_EQ(err, "(no exception)");
    EXPECT_TRUE(q->is_spsc_queue());
    EXPECT_FALSE(q->is_mpmc_queue());
    EXPECT_FALSE(q->is_mpmcvar_queue());
    for (const std::string& file :
         {"/dev/shm" + name, "/dev/shm/sem." + filled_of(name).substr(1), "/dev/shm/sem." + free_of(name).substr(1)}) {
        struct stat st {};
        ASSERT_EQ(::stat(file.c_str(), &st), 0) << file;
        EXPECT_EQ(st.st_mode & 07777, 0600u) << file;
    }
    EXPECT_EQ(sem_value(filled_of(name)), 0);
    EXPECT_EQ(sem_value(free_of(name)), 5);
    // The other tests look for leftovers this way; here they must be seen.
    EXPECT_TRUE(test::mapped_in_self(name.substr(1)));
    EXPECT_TRUE(test::mapped_in_self("sem." + filled_of(name).substr(1)));
}

TEST(SPSCCreate, NameInUseIsRefusedAndTheQueueStaysIntact) {
    const NameGuard guard(unique_name("spsc_exists"));
    const std::string& name = guard.name();
    SPSCQueueCPP first(name, 2, 8, true);
    first.write("x", 1);
    EXPECT_EQ(error_of([&] { SPSCQueueCPP second(name, 3, 16, false); }),
              on_queue("SPSCQueueCPP:create constructor: shared memory file with same name already exists.", name,
                       EEXIST));
    // The refused create touched nothing of the first queue.
    EXPECT_EQ(sem_value(filled_of(name)), 1);
    EXPECT_EQ(sem_value(free_of(name)), 1);
    const ChildReport r = run_reporting([&] {
        SPSCQueueCPP peer(name);
        std::string out;
        Problems p;
        p.eq(peer.cell_size(), uint64_t{8}, "cell_size");
        p.eq(peer.read(out, 2000), 0, "read result");
        p.eq(out, std::string("x"), "message");
        return p.text;
    });
    EXPECT_EQ(r.code, 0) << r.text;
    EXPECT_EQ(r.text, "");
}

// A create whose semaphore name is taken fails naming that semaphore, keeps
// the names it made, and keeps nothing open in this process.
TEST(SPSCCreate, TakenSemaphoreNameFailsAndReleasesWhatItOpened) {
    for (const bool filled_taken : {true, false}) {
        SCOPED_TRACE(filled_taken ? "filled taken" : "free taken");
        const NameGuard guard(unique_name("spsc_semtaken"));
        const std::string& name = guard.name();
        const std::string taken = filled_taken ? filled_of(name) : free_of(name);
        sem_t* s = ::sem_open(taken.c_str(), O_CREAT | O_EXCL, 0600, 7);
        ASSERT_NE(s, SEM_FAILED);
        ::sem_close(s);

        const int fds_before = test::open_fd_count();
        const std::string text = filled_taken
                                     ? "SPSCQueueCPP:create constructor: filled semaphore with same name already exists."
                                     : "SPSCQueueCPP:create constructor: free semaphore with same name already exists.";
        EXPECT_EQ(error_of([&] { SPSCQueueCPP q(name, 3, 8, true); }), on_queue(text, taken, EEXIST));
        EXPECT_EQ(test::open_fd_count(), fds_before);
        EXPECT_FALSE(test::mapped_in_self(name.substr(1)));
        EXPECT_FALSE(test::mapped_in_self("sem." + filled_of(name).substr(1)));
        EXPECT_TRUE(shm_exists(name));
        EXPECT_TRUE(sem_exists(filled_of(name)));
        EXPECT_EQ(sem_exists(free_of(name)), !filled_taken);
        // The semaphore that was there already is not touched.
        EXPECT_EQ(sem_value(taken), 7);
        // What the failed create left behind blocks the name.
        EXPECT_EQ(error_of([&] { SPSCQueueCPP q(name, 3, 8, true); }),
                  on_queue("SPSCQueueCPP:create constructor: shared memory file with same name already exists.", name,
                           EEXIST));
    }
}

// ---------------------------------------------------------------- names

TEST(SPSCNames, ConnectFromAnotherProcessRemovesEveryName) {
    const NameGuard guard(unique_name("spsc_connect"));
    const std::string& name = guard.name();
    SPSCQueueCPP creator(name, 4, 32, true);
    ASSERT_TRUE(shm_exists(name) && sem_exists(filled_of(name)) && sem_exists(free_of(name)));

    ScopedChild child([&] {
        SPSCQueueCPP peer(name);
        Problems p;
        p.check(!any_name_left(name), "names still there after connect");
        p.check(peer.is_spsc_queue(), "is_spsc_queue");
        p.eq(peer.cell_size(), uint64_t{32}, "cell_size");
        // The pair keeps working through its handles once the names are gone.
        for (int i = 0; i < 6; ++i) peer.write("from child", 10);
        return p.text;
    });
    std::string out;
    for (int i = 0; i < 6; ++i) {
        ASSERT_EQ(creator.read(out, 5000), 0) << i;
        EXPECT_EQ(out, "from child");
    }
    EXPECT_FALSE(any_name_left(name));
    const ChildReport r = child.join();
    EXPECT_EQ(r.code, 0) << r.text;
    EXPECT_EQ(r.text, "");

    EXPECT_EQ(error_of([&] { SPSCQueueCPP again(name); }),
              on_queue("SPSCQueueCPP:connect constructor: unable to open shared memory.", name, ENOENT));
}

TEST(SPSCNames, CreatorDestroyedBeforeConnectRemovesItsNames) {
    const NameGuard guard(unique_name("spsc_early"));
    const std::string& name = guard.name();
    {
        SPSCQueueCPP creator(name, 2, 8, false);
        ASSERT_TRUE(shm_exists(name));
    }
    EXPECT_FALSE(any_name_left(name));
    const ChildReport r = run_reporting([&] { return error_of([&] { SPSCQueueCPP peer(name); }); });
    EXPECT_EQ(r.code, 1);
    EXPECT_EQ(r.text, on_queue("SPSCQueueCPP:connect constructor: unable to open shared memory.", name, ENOENT));
}

TEST(SPSCNames, ConnectRefusesEmptyName) {
    EXPECT_EQ(error_of([] { SPSCQueueCPP q(""); }), "SPSCQueueCPP:connect constructor: specified queue name is empty.");
}

TEST(SPSCNames, UnlinkActsOnlyOnce) {
    const NameGuard guard(unique_name("spsc_unlink"));
    const std::string& name = guard.name();
    auto old_queue = std::make_unique<SPSCQueueCPP>(name, 2, 8, true);
    old_queue->unlink();
    EXPECT_FALSE(any_name_left(name));
    // The unlinked object still works through its handles.
    old_queue->write("still", 5);
    std::string out;
    EXPECT_EQ(old_queue->read(out, 1000), 0);
    EXPECT_EQ(out, "still");
    // A newer queue under the same name survives a second unlink and the
    // destruction of the old object, which removed its names already.
    SPSCQueueCPP newer(name, 2, 8, true);
    old_queue->unlink();
    EXPECT_TRUE(shm_exists(name) && sem_exists(filled_of(name)) && sem_exists(free_of(name)));
    old_queue.reset();
    EXPECT_TRUE(shm_exists(name) && sem_exists(filled_of(name)) && sem_exists(free_of(name)));
}

TEST(SPSCNames, CreatorDestroyedAfterConnectRemovesTheNamesAgain) {
    const NameGuard guard(unique_name("spsc_late"));
    const std::string& name = guard.name();
    auto creator = std::make_unique<SPSCQueueCPP>(name, 2, 8, true);
    const ChildReport r = run_reporting([&] {
        SPSCQueueCPP peer(name);
        return std::string();
    });
    ASSERT_EQ(r.code, 0) << r.text;
    ASSERT_FALSE(any_name_left(name));
    // The creator was never told the names went: destroying it removes
    // whatever now carries them.
    SPSCQueueCPP newer(name, 2, 8, true);
    creator.reset();
    EXPECT_FALSE(any_name_left(name));
}

TEST(SPSCNames, ConnectToAnotherKindIsRefused) {
    for (const uint32_t type : {1u, 2u, 7u}) {
        const NameGuard guard(unique_name("spsc_kind"));
        const std::string& name = guard.name();
        const uint64_t size = cell_offset(4, 8);
        ASSERT_TRUE(test::make_raw_segment(name, static_cast<off_t>(size)));
        {
            SegmentView v(name);
            ASSERT_TRUE(v.ok());
            v.put<uint64_t>(kSegmentSize, size);
            v.put<uint32_t>(kQueueType, type);
            v.put<uint32_t>(kNumCells, 4);
            v.put<uint64_t>(kCellSize, 8);
        }
        const int fds_before = test::open_fd_count();
        EXPECT_EQ(error_of([&] { SPSCQueueCPP q(name); }),
                  on_queue("SPSCQueueCPP:connect constructor: cannot connect to queue type other than SPSCQueue", name))
            << "type " << type;
        EXPECT_EQ(test::open_fd_count(), fds_before);
        EXPECT_FALSE(test::mapped_in_self(name.substr(1)));
        EXPECT_TRUE(shm_exists(name));
    }
}

TEST(SPSCNames, MissingSemaphoreFailsTheConnectAndLeavesTheNames) {
    for (const bool filled_missing : {true, false}) {
        SCOPED_TRACE(filled_missing ? "filled missing" : "free missing");
        const NameGuard guard(unique_name("spsc_nosem"));
        const std::string& name = guard.name();
        const uint64_t size = cell_offset(2, 8);
        ASSERT_TRUE(test::make_raw_segment(name, static_cast<off_t>(size)));
        {
            SegmentView v(name);
            v.put<uint64_t>(kSegmentSize, size);
            v.put<uint32_t>(kNumCells, 2);
            v.put<uint64_t>(kCellSize, 8);
        }
        if (!filled_missing) {
            sem_t* s = ::sem_open(filled_of(name).c_str(), O_CREAT | O_EXCL, 0600, 0);
            ASSERT_NE(s, SEM_FAILED);
            ::sem_close(s);
        }
        const int fds_before = test::open_fd_count();
        const std::string missing = filled_missing ? filled_of(name) : free_of(name);
        const std::string text = filled_missing ? "SPSCQueueCPP:connect constructor: unable to create filled semaphore."
                                                : "SPSCQueueCPP:connect constructor: unable to create free semaphore.";
        EXPECT_EQ(error_of([&] { SPSCQueueCPP q(name); }), on_queue(text, missing, ENOENT));
        EXPECT_EQ(test::open_fd_count(), fds_before);
        EXPECT_FALSE(test::mapped_in_self(name.substr(1)));
        EXPECT_FALSE(test::mapped_in_self("sem." + filled_of(name).substr(1)));
        EXPECT_TRUE(shm_exists(name));
        EXPECT_EQ(sem_exists(filled_of(name)), !filled_missing);
        SegmentView v(name);
        EXPECT_EQ(v.u64(kFirstThread), 0u) << "a failed connect took a thread slot";
    }
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

// The connecting thread takes the open slot; the child connects from a new
// thread so its identity differs from the creator's.
std::string connect_and_check_slot(const std::string& name, size_t slot, size_t other, uint64_t other_value) {
    SegmentView cv(name);
    if (!cv.ok()) return "no segment";
    uint64_t id = 0;
    std::string err;
    std::thread t([&] {
        id = self_id();
        err = error_of([&] { SPSCQueueCPP peer(name); });
    });
    t.join();
    Problems p;
    p.eq(err, std::string("(no exception)"), "connect");
    p.eq(cv.u64(slot), id, "connecting thread's slot");
    p.eq(cv.u64(other), other_value, "creator's slot");
    p.check(id != other_value, "thread identities collide");
    return p.text;
}

TEST(SPSCLayout, ThreadSlotsCreatorFirst) {
    const NameGuard guard(unique_name("spsc_slot1"));
    const std::string& name = guard.name();
    SPSCQueueCPP q(name, 2, 8, true);
    SegmentView v(name);
    ASSERT_TRUE(v.ok());
    EXPECT_EQ(v.u64(kFirstThread), self_id());
    EXPECT_EQ(v.u64(kSecondThread), 0u);
    const ChildReport r = run_reporting([&] { return connect_and_check_slot(name, kSecondThread, kFirstThread, self_id()); });
    EXPECT_EQ(r.code, 0) << r.text;
    EXPECT_EQ(r.text, "");
    // The mapping stays readable after the names are gone.
    EXPECT_FALSE(any_name_left(name));
    EXPECT_NE(v.u64(kSecondThread), 0u);
    EXPECT_EQ(v.u64(kFirstThread), self_id());
}

TEST(SPSCLayout, ThreadSlotsCreatorSecond) {
    const NameGuard guard(unique_name("spsc_slot2"));
    const std::string& name = guard.name();
    SPSCQueueCPP q(name, 2, 8, false);
    SegmentView v(name);
    ASSERT_TRUE(v.ok());
    EXPECT_EQ(v.u64(kFirstThread), 0u);
    EXPECT_EQ(v.u64(kSecondThread), self_id());
    const ChildReport r = run_reporting([&] { return connect_and_check_slot(name, kFirstThread, kSecondThread, self_id()); });
    EXPECT_EQ(r.code, 0) << r.text;
    EXPECT_EQ(r.text, "");
    EXPECT_NE(v.u64(kFirstThread), 0u);
    EXPECT_EQ(v.u64(kSecondThread), self_id());
}

TEST(SPSCLayout, CellAtFollowsTheStrideAndChecksBounds) {
    const NameGuard guard(unique_name("spsc_cellat"));
    const std::string& name = guard.name();
    const uint64_t cs = 13;  // odd stride: cells are not rounded
    SPSCQueueCPP q(name, 4, static_cast<int64_t>(cs), true);
    const char* base = reinterpret_cast<const char*>(q.cellAt(0));
    for (uint32_t i = 0; i < 4; ++i)
        EXPECT_EQ(reinterpret_cast<const char*>(q.cellAt(i)) - base, static_cast<ptrdiff_t>(i * (cs + 16)));
    q.write("hello", 5);
    q.write("0123456789abc", 13);
    EXPECT_EQ(q.cellAt(0)->length(), 5u);
    EXPECT_EQ(std::string(q.cellAt(0)->data(), 5), "hello");
    EXPECT_EQ(q.cellAt(1)->length(), 13u);
    EXPECT_EQ(std::string(q.cellAt(1)->data(), 13), "0123456789abc");
    const std::string out_of_range = on_queue("SPSCQueueCPP: ring index out of range; segment is damaged", name);
    for (uint32_t bad : {4u, 5u, 0x80000000u, 0xFFFFFFFFu})
        EXPECT_EQ(error_of([&] { q.cellAt(bad); }), out_of_range) << bad;
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

TEST_P(SPSCFifo, CreatorReadsWhatAConnectedWriterSends) {
    const FifoCase c = GetParam();
    const NameGuard guard(unique_name("spsc_fifo"));
    const std::string& name = guard.name();
    SPSCQueueCPP q(name, c.num_cells, 48, true);
    // The reader works through the creator's object, inherited by its child.
    ScopedChild reader([&] { return read_stream(q, c.count, c.mode); });
    ScopedChild writer([&] {
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
                         ::testing::Values(FifoCase{4, ReadMode::String, 10000}, FifoCase{4, ReadMode::Buffer, 3000},
                                           FifoCase{4, ReadMode::ZeroCopy, 3000},
                                           FifoCase{1, ReadMode::String, 2000}));

TEST(SPSCTransfer, ConnectedReaderGetsWhatTheCreatorSends) {
    const NameGuard guard(unique_name("spsc_rev"));
    const std::string& name = guard.name();
    const int count = 5000;
    SPSCQueueCPP q(name, 3, 40, false);
    ScopedChild reader([&] {
        SPSCQueueCPP r(name);
        return read_stream(r, count, ReadMode::ZeroCopy);
    });
    ScopedChild writer([&] { return write_stream(q, count); });
    const ChildReport rw = writer.join(20);
    const ChildReport rr = reader.join(20);
    EXPECT_EQ(rw.code, 0) << rw.text;
    EXPECT_EQ(rr.code, 0) << rr.text;
    EXPECT_EQ(rr.text, "");
}

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

TEST(SPSCTransfer, WriterFillingTheRingExactlyDoesNotBlock) {
    const NameGuard guard(unique_name("spsc_fit"));
    const std::string& name = guard.name();
    SPSCQueueCPP q(name, 3, 8, true);
    const ChildReport r = run_reporting([&] {
        SPSCQueueCPP writer(name);
        for (const char* m : {"one", "two", "three"}) writer.write(m, static_cast<int64_t>(std::strlen(m)));
        return std::string();
    }, 5);
    EXPECT_EQ(r.code, 0) << r.text;
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

TEST(SPSCTransfer, TimedReadWakesOnAWriteFromAnotherProcess) {
    const NameGuard guard(unique_name("spsc_timedwake"));
    const std::string& name = guard.name();
    SPSCQueueCPP q(name, 2, 16, true);
    ScopedChild child([&] {
        SPSCQueueCPP writer(name);
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        writer.write("late", 4);
        return std::string();
    });
    std::string out;
    EXPECT_EQ(q.read(out, 10000), 0);
    EXPECT_EQ(out, "late");
    EXPECT_EQ(child.join().code, 0);
}

TEST(SPSCTransfer, TimedReadOnEmptyQueueReturnsOneAndLeavesOutputAlone) {
    const NameGuard guard(unique_name("spsc_timeout"));
    const std::string& name = guard.name();
    SPSCQueueCPP q(name, 2, 16, true);
    using clock = std::chrono::steady_clock;

    std::string out = "keep me";
    auto start = clock::now();
    EXPECT_EQ(q.read(out, 50), 1);
    auto waited = clock::now() - start;
    EXPECT_EQ(out, "keep me");
    EXPECT_GE(waited, std::chrono::milliseconds(40)) << "returned without waiting";
    EXPECT_LT(waited, std::chrono::seconds(5));

    char buf[8];
    std::memset(buf, 'Z', sizeof buf);
    int64_t length_read = 77;
    start = clock::now();
    EXPECT_EQ(q.read(buf, sizeof buf, length_read, 50), 1);
    waited = clock::now() - start;
    EXPECT_EQ(length_read, 0);
    EXPECT_EQ(std::string(buf, sizeof buf), std::string(8, 'Z'));
    EXPECT_GE(waited, std::chrono::milliseconds(40));
    EXPECT_LT(waited, std::chrono::seconds(5));

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

TEST(SPSCTransfer, EmptyAndFullCellMessages) {
    const NameGuard guard(unique_name("spsc_edges"));
    const std::string& name = guard.name();
    const uint64_t cs = 24;
    SPSCQueueCPP q(name, 2, static_cast<int64_t>(cs), true);
    ScopedChild child([&] {
        SPSCQueueCPP writer(name);
        writer.write(nullptr, 0);
        const std::string full(cs, '\xA5');
        writer.write(full.data(), static_cast<int64_t>(full.size()));
        writer.write("", 0);
        return std::string();
    });
    std::string out = "not empty";
    ASSERT_EQ(q.read(out, 5000), 0);
    EXPECT_EQ(out, "");
    ASSERT_EQ(q.read(out, 5000), 0);
    EXPECT_EQ(out, std::string(cs, '\xA5'));
    char buf[4] = {'a', 'b', 'c', 'd'};
    int64_t length_read = 9;
    ASSERT_EQ(q.read(buf, sizeof buf, length_read, 5000), 0);
    EXPECT_EQ(length_read, 0);
    EXPECT_EQ(std::string(buf, 4), "abcd");
    EXPECT_EQ(child.join().code, 0);
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

TEST(SPSCTransfer, CellLevelWriteAndRead) {
    const NameGuard guard(unique_name("spsc_cells"));
    const std::string& name = guard.name();
    SPSCQueueCPP q(name, 2, 8, true);
    Cell* w = q.open_cell_for_write();
    ASSERT_EQ(w, q.cellAt(0));
    EXPECT_EQ(sem_value(free_of(name)), 1);
    w->set_length(3);
    std::memcpy(w->data(), "xyz", 3);
    // Not visible to the reader before it is closed.
    EXPECT_EQ(q.open_cell_for_read(20), nullptr);
    q.close_cell_after_write(w, false);
    EXPECT_EQ(sem_value(filled_of(name)), 1);
    Cell* r = q.open_cell_for_read(1000);
    ASSERT_EQ(r, q.cellAt(0));
    EXPECT_EQ(std::string(r->data(), r->length()), "xyz");
    EXPECT_EQ(sem_value(free_of(name)), 1);
    q.close_cell_after_read(r);
    EXPECT_EQ(sem_value(free_of(name)), 2);
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

// ------------------------------------------------- interrupted waits

void on_alarm(int) {}

// Sends SIGALRM every 50 ms (without SA_RESTART) until stopped, so a wait
// that starts late is still interrupted.
struct AlarmTicker {
    AlarmTicker() {
        struct sigaction sa {};
        sa.sa_handler = on_alarm;
        ::sigaction(SIGALRM, &sa, nullptr);
        itimerval t{{0, 50000}, {0, 50000}};
        ::setitimer(ITIMER_REAL, &t, nullptr);
    }
    ~AlarmTicker() {
        itimerval off{};
        ::setitimer(ITIMER_REAL, &off, nullptr);
    }
};

TEST(SPSCTransfer, InterruptedWaitsThrowAndAreNotRetried) {
    const NameGuard guard(unique_name("spsc_eintr"));
    const std::string& name = guard.name();
    const std::string read_failed =
        on_queue("SPSCQueueCPP:open_cell_for_read: Filled semaphore decrement failed.", name, EINTR);
    const std::string write_failed =
        on_queue("SPSCQueueCPP:open_cell_for_write: Free semaphore decrement failed.", name, EINTR);
    const ChildReport r = run_reporting([&] {
        SPSCQueueCPP q(name, 1, 8, true);
        Problems p;
        std::string out = "kept";
        {
            AlarmTicker ticker;
            p.eq(error_of([&] { q.read(out, 0); }), read_failed, "untimed read");
            p.eq(error_of([&] { q.read(out, 60000); }), read_failed, "timed read");
            p.eq(error_of([&] { q.read_begin(); }), read_failed, "read_begin");
            q.write("x", 1);
            p.eq(error_of([&] { q.write("y", 1); }), write_failed, "write on a full ring");
        }
        p.eq(out, std::string("kept"), "output after failed reads");
        return p.text;
    }, 20);
    EXPECT_EQ(r.code, 0) << r.text;
    EXPECT_EQ(r.text, "");
}

// ---------------------------------------------------------------- damage

struct Damage {
    const char* what;
    void (*apply)(const SegmentView& v);
};

const uint64_t kDamagedCells = 16, kDamagedCellSize = 4;

const Damage kDamages[] = {
    {"segment_size one more", [](const SegmentView& v) { v.put<uint64_t>(kSegmentSize, v.u64(kSegmentSize) + 1); }},
    {"segment_size one less", [](const SegmentView& v) { v.put<uint64_t>(kSegmentSize, v.u64(kSegmentSize) - 1); }},
    {"segment_size zero", [](const SegmentView& v) { v.put<uint64_t>(kSegmentSize, 0); }},
    {"segment_size huge", [](const SegmentView& v) { v.put<uint64_t>(kSegmentSize, ~uint64_t{0}); }},
    {"num_cells zero", [](const SegmentView& v) { v.put<uint32_t>(kNumCells, 0); }},
    {"num_cells one more", [](const SegmentView& v) { v.put<uint32_t>(kNumCells, kDamagedCells + 1); }},
    {"num_cells one less", [](const SegmentView& v) { v.put<uint32_t>(kNumCells, kDamagedCells - 1); }},
    {"num_cells all ones", [](const SegmentView& v) { v.put<uint32_t>(kNumCells, 0xFFFFFFFFu); }},
    {"cell_size zero", [](const SegmentView& v) { v.put<uint64_t>(kCellSize, 0); }},
    {"cell_size one more", [](const SegmentView& v) { v.put<uint64_t>(kCellSize, kDamagedCellSize + 1); }},
    {"cell_size all ones", [](const SegmentView& v) { v.put<uint64_t>(kCellSize, ~uint64_t{0}); }},
    // 16 * (cell_size + 16) wraps around to the real product.
    {"cell_size wrapping the size", [](const SegmentView& v) { v.put<uint64_t>(kCellSize, (uint64_t{1} << 60) + 4); }},
    {"queue header all zeros", [](const SegmentView& v) { std::memset(v.bytes(), 0, kHeader); }},
};

// The text of a connect that must fail, plus a note if it left a descriptor open.
std::string refused_connect(const std::string& name) {
    const int fds_before = test::open_fd_count();
    std::string text = error_of([&] { SPSCQueueCPP peer(name); });
    if (test::open_fd_count() != fds_before) text += " (and a descriptor stayed open)";
    return text;
}

TEST(SPSCDamaged, ConnectRefusesAHeaderThatDisagreesWithTheSegment) {
    for (const Damage& d : kDamages) {
        SCOPED_TRACE(d.what);
        const NameGuard guard(unique_name("spsc_dmg"));
        const std::string& name = guard.name();
        SPSCQueueCPP creator(name, kDamagedCells, kDamagedCellSize, true);
        SegmentView v(name);
        ASSERT_TRUE(v.ok());
        d.apply(v);
        const ChildReport r = run_reporting([&] { return refused_connect(name); });
        EXPECT_EQ(r.code, 1);
        EXPECT_EQ(r.text, on_queue("SPSCQueueCPP:connect constructor: segment is damaged or not initialised", name));
        // A refused connect removes nothing.
        EXPECT_TRUE(shm_exists(name) && sem_exists(filled_of(name)) && sem_exists(free_of(name)));
    }
}

TEST(SPSCDamaged, ConnectRefusesShortOrUninitialisedObjects) {
    struct Raw {
        off_t size;
        bool prefix;  // write a self-consistent prefix of type 0
    };
    for (const Raw raw : {Raw{0, false}, Raw{4, false}, Raw{11, false}, Raw{20, true}, Raw{47, true},
                          Raw{static_cast<off_t>(cell_offset(4, 8)), false}}) {
        SCOPED_TRACE("size " + std::to_string(raw.size));
        const NameGuard guard(unique_name("spsc_raw"));
        const std::string& name = guard.name();
        ASSERT_TRUE(test::make_raw_segment(name, raw.size));
        if (raw.prefix) {
            SegmentView v(name);
            ASSERT_TRUE(v.ok());
            v.put<uint64_t>(kSegmentSize, static_cast<uint64_t>(raw.size));
        }
        const ChildReport r = run_reporting([&] { return refused_connect(name); });
        EXPECT_EQ(r.code, 1);
        EXPECT_EQ(r.text, on_queue("SPSCQueueCPP:connect constructor: segment is damaged or not initialised", name));
        EXPECT_TRUE(shm_exists(name));
    }
}

// Ring indices read back from the segment are checked before use. Each
// operation runs on a queue of its own, since a refused one has used up a
// semaphore count.
TEST(SPSCDamaged, OutOfRangeRingIndicesThrow) {
    using Op = std::string (*)(SPSCQueueCPP&);
    struct Named {
        const char* what;
        bool reads;
        Op op;
    };
    static const Named ops[] = {
        {"string read", true, [](SPSCQueueCPP& q) { return error_of([&] { std::string o; q.read(o, 1000); }); }},
        {"buffer read", true,
         [](SPSCQueueCPP& q) { return error_of([&] { char b[8]; int64_t n = 0; q.read(b, 8, n, 1000); }); }},
        {"read_begin", true, [](SPSCQueueCPP& q) { return error_of([&] { q.read_begin(); }); }},
        {"open_cell_for_read", true, [](SPSCQueueCPP& q) { return error_of([&] { q.open_cell_for_read(1000); }); }},
        {"write", false, [](SPSCQueueCPP& q) { return error_of([&] { q.write("w", 1); }); }},
        {"open_cell_for_write", false, [](SPSCQueueCPP& q) { return error_of([&] { q.open_cell_for_write(); }); }},
    };
    const uint32_t bad_indices[] = {3u, 0x80000000u, 0xFFFFFFFFu};
    std::vector<std::unique_ptr<NameGuard>> guards;
    for (size_t i = 0; i < std::size(ops) * std::size(bad_indices); ++i)
        guards.push_back(std::make_unique<NameGuard>(unique_name("spsc_idx")));

    const ChildReport r = run_reporting([&] {
        Problems p;
        size_t k = 0;
        for (const Named& op : ops) {
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
        return p.text;
    });
    EXPECT_EQ(r.code, 0) << r.text;
    EXPECT_EQ(r.text, "");
}

// A cell length above cell_size is never handed out; the cell goes back to
// the writer and the queue goes on.
TEST(SPSCDamaged, CellLengthAboveCellSizeThrowsAndHandsTheCellBack) {
    const NameGuard guard(unique_name("spsc_len"));
    const std::string& name = guard.name();
    const std::string damaged =
        on_queue("SPSCQueueCPP:open_cell_for_read: cell length > cell size; segment is damaged", name);
    const ChildReport r = run_reporting([&] {
        Problems p;
        const uint64_t cs = 8;
        SPSCQueueCPP q(name, 3, static_cast<int64_t>(cs), true);
        SegmentView v(name);
        using Op = std::string (*)(SPSCQueueCPP&);
        const std::pair<const char*, Op> ops[] = {
            {"string read", [](SPSCQueueCPP& q) { return error_of([&] { std::string o = "kept"; q.read(o, 1000); }); }},
            {"buffer read",
             [](SPSCQueueCPP& q) { return error_of([&] { char b[8]; int64_t n = 0; q.read(b, 8, n, 1000); }); }},
            {"read_begin", [](SPSCQueueCPP& q) { return error_of([&] { q.read_begin(); }); }},
            {"open_cell_for_read", [](SPSCQueueCPP& q) { return error_of([&] { q.open_cell_for_read(0); }); }},
        };
        for (const auto& [what, op] : ops) {
            for (const uint64_t length : {cs + 1, uint64_t{1} << 63, ~uint64_t{0}}) {
                const std::string at = std::string(what) + " with length " + std::to_string(length);
                const uint32_t index = v.u32(kReadIndex);
                q.write("abc", 3);
                v.put<uint64_t>(cell_offset(index, cs) + 8, length);
                p.eq(op(q), damaged, at);
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
