// Creation, connection and removal, once for all three queue kinds: names and
// permission bits of every shared object, exact refusals, damaged headers and
// a header changed while a connect checks it, who removes names when (never a
// newer queue's; a failed create only its own), connects that race a create,
// a /dev/shm too small for the queue; and the exception's message forms.
#include <dirent.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>

#include <algorithm>
#include <array>
#include <climits>

#include "mpmc_queue.h"
#include "mpmcvar_queue.h"
#include "spsc_queue.h"
#include "test_support.h"

namespace mox::ipc_queue {
namespace {

using namespace test;

template <class F>
bool refused(F f) try {
    return f(), false;
} catch (const IPCQueueException&) {
    return true;
}

// What each kind words its own way; the other texts follow QueueLifecycle::text.
// `races`: header words a connect must check once (offset, damaged value); `fits`: the created geometry.
struct SPSCKind {
    using Queue = SPSCQueueCPP;
    static constexpr QueueKind kind = QueueKind::kSPSC;
    static auto create(const std::string& n, int64_t cells = 4, int64_t size = 32) {
        return std::make_unique<Queue>(n, cells, size, true);
    }
    static constexpr const char
        *create_empty = "SPSCQueueCPP:create constructor: queue name is empty.",
        *connect_empty = "SPSCQueueCPP:connect constructor: specified queue name is empty.",
        *exists = "SPSCQueueCPP:create constructor: shared memory file with same name already exists.",
        *missing = "SPSCQueueCPP:connect constructor: unable to open shared memory.",
        *last_sem = "_free_",  // the last one a create makes
            *last_sem_exists = "SPSCQueueCPP:create constructor: free semaphore with same name already exists.";
    static constexpr std::pair<size_t, uint32_t> races[] = {{12, 0x100}};
    static bool fits(const Queue& q) {
        return q.num_cells() == 4 && q.cell_size() == 32 && refused([&] { q.cellAt(4); }) &&
               !refused([&] { q.cellAt(3); });
    }
};

struct MPMCKind {
    using Queue = MPMCQueueCPP;
    static constexpr QueueKind kind = QueueKind::kMPMC;
    static auto create(const std::string& n, int64_t cells = 4, int64_t size = 32) {
        return std::make_unique<Queue>(n, cells, size);
    }
    static constexpr const char
        *create_empty = "MPMCQueue create constructor: queue name is empty",
        *connect_empty = "MPMCQueue connect constructor: queue name is empty",
        *exists = "MPMCQueueCPP create constructor: shared memory file with same name already exists.",
        *missing = "MPMCQueueCPP connect constructor: unable to open shared memory", *last_sem = "_free_",
        *last_sem_exists = "MPMCQueueCPP create constructor: free semaphore with same name already exists.";
    static constexpr std::pair<size_t, uint32_t> races[] = {{16, 0x400}};
    static bool fits(const Queue& q) { return q.num_cells() == 4 && q.cell_size() == 32; }
};

struct MPMCVarKind {
    using Queue = MPMCVarQueueCPP;
    static constexpr QueueKind kind = QueueKind::kMPMCVar;
    static auto create(const std::string& n) { return std::make_unique<Queue>(n, 3, 4, 32); }
    static auto create(const std::string& n, int64_t cells, int64_t size) {
        return std::make_unique<Queue>(n, 1, cells, size);
    }
    static constexpr const char
        *create_empty = "MPMCVarQueueCPP:create constructor: queue name is empty",
        *connect_empty = "MPMCVarQueue:connect constructor: queue name is empty",
        *exists = "MPMCVarQueueCPP:create constructor: Shared memory file with same name already exists.",
        *missing = "MPMCVarQueueCPP:connect constructor: unable to open shared memory", *last_sem = "_filled_channel_2",
        *last_sem_exists =
            "MPMCVarQueueCPP:Channel create constructor: flled semaphore for channel with same name already exists.";
    static constexpr std::pair<size_t, uint32_t> races[] = {{12, 0x400}, {16, 0x40}, {20, 0x400}};
    // Channel areas 4 * (32 + 16) + 24 bytes apart.
    static bool fits(const Queue& q) {
        return q.num_cells() == 4 && q.cell_size() == 32 && refused([&] { q.channelShmAt(3); }) &&
               !refused([&] { q.channelShmAt(2); }) && q.channelShmAt(2) - q.channelShmAt(0) == 2 * 216;
    }
};

template <class Kind>
class QueueLifecycle : public ::testing::Test {
protected:
    // Every semaphore a queue made by Kind::create has (MPMCVar: 3 channels).
    static std::vector<std::string> sem_names(const std::string& name) { return queue_sem_names(name, Kind::kind, 3); }
    static bool any_left(const std::string& name) { return any_name_left(name, Kind::kind, 3); }
    static std::string kind_word() { return std::array{"SPSCQueue", "MPMCQueue", "MPMCVarQueue"}[int(Kind::kind)]; }
    // "<kind>CPP:<which> constructor: <rest>", worded alike by every kind.
    static std::string text(const char* which, const std::string& rest) {
        return kind_word() + "CPP:" + which + " constructor: " + rest;
    }
};

using Kinds = ::testing::Types<SPSCKind, MPMCKind, MPMCVarKind>;
TYPED_TEST_SUITE(QueueLifecycle, Kinds);

TYPED_TEST(QueueLifecycle, CreateMakesEveryNameOwnerOnlyWhateverTheUmaskAndItsEndRemovesThem) {
    for (const mode_t mask : {mode_t{0}, mode_t{077}}) {
        const mode_t old = ::umask(mask);
        NameGuard g(unique_name("perm"));
        auto q = TypeParam::create(g.name());
        ::umask(old);
        auto mode = [](const std::string& f) {
            struct stat st{};
            return ::stat(f.c_str(), &st) ? 0u : st.st_mode & 0777;
        };
        EXPECT_EQ(mode("/dev/shm" + g.name()), 0600u);
        for (const std::string& s : this->sem_names(g.name())) EXPECT_EQ(mode(semaphore_file(s)), 0600u) << s;
        q.reset();  // nobody connected
        EXPECT_FALSE(this->any_left(g.name()));
    }
}

TYPED_TEST(QueueLifecycle, RefusalsCarryTheExactTexts) {
    using Q = typename TypeParam::Queue;
    EXPECT_EQ(thrown_text([] { Q q(""); }), TypeParam::connect_empty);
    EXPECT_EQ(thrown_text([] { TypeParam::create(""); }), TypeParam::create_empty);
    NameGuard missing(unique_name("missing"));
    EXPECT_EQ(thrown_text([&] { Q q(missing.name()); }), on_queue(TypeParam::missing, missing.name(), ENOENT));
    EXPECT_FALSE(segment_exists(missing.name()));
    // A name held by a segment of any kind can be neither created again nor connected to as another.
    for (const QueueKind other : {QueueKind::kSPSC, QueueKind::kMPMC, QueueKind::kMPMCVar}) {
        NameGuard taken(unique_name("taken"));
        const int fd = ::shm_open(taken.name().c_str(), O_RDWR | O_CREAT | O_EXCL, 0600);
        ASSERT_TRUE(fd >= 0 && ::ftruncate(fd, 4096) == 0 && ::close(fd) == 0);
        SegmentView v(taken.name());
        v.put<uint64_t>(0, 4096);
        v.put<uint32_t>(8, static_cast<uint32_t>(other));
        EXPECT_EQ(thrown_text([&] { TypeParam::create(taken.name()); }),
                  on_queue(TypeParam::exists, taken.name(), EEXIST));
        const std::string wrong = this->text("connect", "cannot connect to queue type other than " + this->kind_word());
        if (other != TypeParam::kind) {
            EXPECT_EQ(thrown_text([&] { Q q(taken.name()); }), on_queue(wrong, taken.name()));
        }
    }
}

TYPED_TEST(QueueLifecycle, ANameTooLongForItsSemaphoresIsRefusedBeforeAnythingIsMade) {
    // The longest semaphore name must fit in a file name of /dev/shm.
    size_t longest = 0;
    for (const std::string& s : this->sem_names("/")) longest = std::max(longest, s.size() - 1);
    std::string fits = "/mox_long_" + std::to_string(::getpid()) + "_";
    fits.resize(NAME_MAX - 4 - longest + 1, 'n');
    const std::string too_long = fits + "x";
    NameGuard g1(fits), g2(too_long);
    EXPECT_EQ(thrown_text([&] { TypeParam::create(too_long); }),
              on_queue(this->text("create", "queue name too long"), too_long));
    EXPECT_FALSE(this->any_left(too_long));
    TypeParam::create(g1.name());  // one character shorter fits
}

TYPED_TEST(QueueLifecycle, DamagedOrUninitialisedSegmentsAreRefused) {
    using Q = typename TypeParam::Queue;
    const std::string damaged = this->text("connect", "segment is damaged");
    const std::string not_ready = this->text("connect", "segment not initialised; its creator has not finished");
    // Sized but never initialised (all zeros), and shorter than the size word.
    for (const off_t size : {off_t{4096}, off_t{3}}) {
        NameGuard g(unique_name("raw"));
        const int fd = ::shm_open(g.name().c_str(), O_RDWR | O_CREAT | O_EXCL, 0600);
        ASSERT_TRUE(fd >= 0 && ::ftruncate(fd, size) == 0 && ::close(fd) == 0);
        EXPECT_EQ(thrown_text([&] { Q q(g.name()); }), on_queue(not_ready, g.name())) << size << " bytes";
    }
    // A real queue whose size word, cell count or cell size lies.
    for (size_t offset : {size_t{0}, size_t{12}, size_t{16}}) {
        NameGuard g(unique_name("lying"));
        auto q = TypeParam::create(g.name());
        SegmentView v(g.name());
        v.put<uint32_t>(offset, v.u32(offset) + 1);
        // The text says why: "segment is damaged (<reason>) on queue '<name>'".
        const std::string text = thrown_text([&] { Q c(g.name()); }), end = ") on queue '" + g.name() + "'";
        EXPECT_EQ(text.rfind(damaged + " (", 0), 0u) << text;
        EXPECT_TRUE(text.size() > end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0) << text;
    }
}

// Rounds of: create, have a child flip a geometry word of the header to a
// damaged value on one write in four (so most connects pass the check),
// connect once. Every connect that succeeds must use exactly the geometry
// it checked against the segment's size, never a value read again.
TYPED_TEST(QueueLifecycle, AConnectKeepsTheGeometryItCheckedWhileTheHeaderChanges) {
    for (const auto& [offset, damaged] : TypeParam::races) {
        SCOPED_TRACE("word at " + std::to_string(offset));
        int connected = 0, wrong = 0;
        for (int round = 0; round < 300; ++round) {
            NameGuard g(unique_name("race"));
            const auto creator = TypeParam::create(g.name());
            const SegmentView view(g.name());
            const auto flipper = flip_in_child(view, offset, sizeof damaged, damaged, 4);
            ASSERT_TRUE(flipper);
            connected +=
                refused([&] { wrong += TypeParam::fits(typename TypeParam::Queue(g.name())) ? 0 : 1; }) ? 0 : 1;
        }
        EXPECT_GT(connected, 0);
        EXPECT_EQ(wrong, 0) << "of " << connected << " connects";
    }
}

// Destroying a connected object removes the names (an SPSC connect already
// did), while objects attached before go on, also across processes. A queue
// then created under the name is never touched by the old objects.
TYPED_TEST(QueueLifecycle, RemovedNamesLeaveAttachedObjectsWorkingAndARecreatedQueueAlone) {
    using Q = typename TypeParam::Queue;
    NameGuard g(unique_name("restart"));
    auto creator = TypeParam::create(g.name());
    auto peer = std::make_unique<Q>(g.name());
    EXPECT_EQ(this->any_left(g.name()), TypeParam::kind != QueueKind::kSPSC);
    ScopedChild child([&] {
        std::string out;
        return peer->read(out, 10000) == 0 && out == "ping" ? "" : "read '" + out + "'";
    });
    peer.reset();
    EXPECT_FALSE(this->any_left(g.name()));
    creator->write("ping", 4);
    const ChildReport r = child.join(30);
    EXPECT_EQ(r.code, 0) << r.text;

    auto fresh = TypeParam::create(g.name());
    creator->unlink();
    creator.reset();
    for (const std::string& s : this->sem_names(g.name())) EXPECT_TRUE(sem_exists(s)) << s;
    EXPECT_TRUE(segment_exists(g.name()));
    ScopedChild writer([&] {
        Q q(g.name());
        q.write("new", 3);
        return std::string();
    });
    std::string out;
    EXPECT_TRUE(fresh->read(out, 10000) == 0 && out == "new") << out;
    EXPECT_EQ(writer.join(10).code, 0);
}

TYPED_TEST(QueueLifecycle, AFailedCreateRemovesExactlyTheNamesItMade) {
    NameGuard g(unique_name("stale"));
    const std::string stale = g.name() + TypeParam::last_sem;  // left behind by a crash
    sem_t* sem = ::sem_open(stale.c_str(), O_CREAT | O_EXCL, 0600, 0);
    ASSERT_NE(sem, SEM_FAILED);
    ::sem_close(sem);
    EXPECT_EQ(thrown_text([&] { TypeParam::create(g.name()); }), on_queue(TypeParam::last_sem_exists, stale, EEXIST));
    EXPECT_FALSE(segment_exists(g.name()));
    for (const std::string& s : this->sem_names(g.name())) EXPECT_EQ(sem_exists(s), s == stale) << s;
    ::sem_unlink(stale.c_str());
    TypeParam::create(g.name());  // a retry works once the stale name is gone
}

// In a child whose /dev/shm is a private tmpfs of 24 MiB, as a container's
// small /dev/shm: 64 MiB of cells are refused at create, naming the bytes,
// instead of a SIGBUS at the first write, and leave nothing behind; then ten
// rounds of a queue of 8 MiB, filled, fit: a destroyed queue gives its memory back.
TYPED_TEST(QueueLifecycle, ASmallDevShmRefusesAQueueTooLargeAndGetsItsMemoryBack) {
    const ChildReport r = run_reporting(
        []() -> std::string {
            if (::unshare(CLONE_NEWNS) != 0 || ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
                ::mount("tmpfs", "/dev/shm", "tmpfs", MS_NOSUID | MS_NODEV, "size=24m,mode=1777") != 0)
                ::_exit(77);
            const std::string big = unique_name("big"),
                              text = thrown_text([&] { TypeParam::create(big, 64, 1 << 20); });
            const size_t of = text.find(" of "), on = text.find(" bytes on queue '" + big + "': ");
            const uint64_t bytes =
                of != std::string::npos && on != std::string::npos ? std::stoull(text.substr(of + 4, on - of - 4)) : 0;
            if (text.find("unable to reserve shared memory of ") == std::string::npos || bytes < (64u << 20) ||
                text.find(std::strerror(ENOSPC)) == std::string::npos)
                return "refused as: " + text;
            DIR* dir = ::opendir("/dev/shm");
            for (const dirent* e; dir != nullptr && (e = ::readdir(dir)) != nullptr;)
                if (e->d_name[0] != '.') return ::closedir(dir), "left behind: " + std::string(e->d_name);
            if (dir != nullptr) ::closedir(dir);
            for (int round = 0; round < 10; ++round) {
                const std::string error = thrown_text([&] {
                    auto q = TypeParam::create(unique_name("round"), 8, 1 << 20);
                    // Every cell: a variable-length message of eight cells less a byte ends in the last.
                    const bool var = TypeParam::kind == QueueKind::kMPMCVar;
                    const std::string m(var ? 8 * (1 << 20) - 1 : 1 << 20, 'm');
                    for (int i = 0; i < (var ? 1 : 8); ++i) q->write(m.data(), static_cast<int64_t>(m.size()));
                });
                if (error != "no exception") return "round " + std::to_string(round) + ": " + error;
            }
            return std::string();
        },
        60);
    if (r.code == 77) GTEST_SKIP() << "a private tmpfs on /dev/shm needs root (unshare -m, mount)";
    EXPECT_EQ(r.code, 0) << r.text;
}

// A connector that starts with its creator (the usual start-up loop) is told
// "not initialised" until the creator has made everything, and its failed
// connects touch none of the names the creator has made meanwhile.
TEST(QueueLifecycleRace, ConnectsWhileTheCreatorBuildsFailCleanly) {
    constexpr uint32_t kChannels = 3000;  // long enough to build that most connects land inside
    NameGuard g(unique_name("building"));
    const std::string& name = g.name();
    const std::string not_ready =
        on_queue("MPMCVarQueueCPP:connect constructor: segment not initialised; its creator has not finished", name);
    const std::string missing =
        on_queue("MPMCVarQueueCPP:connect constructor: unable to open shared memory", name, ENOENT);
    ScopedChild creator([&] {
        MPMCVarQueueCPP q(name, kChannels, 1, 8);
        std::string out;
        return q.read(out, 20000) == 0 && out == "hello" ? "" : "read '" + out + "'";
    });
    int refused = 0;
    std::unique_ptr<MPMCVarQueueCPP> q;
    for (const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20); !q;) {
        try {
            q = std::make_unique<MPMCVarQueueCPP>(name);
        } catch (const IPCQueueException& e) {
            ASSERT_TRUE(e.what() == missing || e.what() == not_ready) << e.what();
            refused += e.what() == not_ready;
            ASSERT_LT(std::chrono::steady_clock::now(), until) << "never connected";
        }
    }
    EXPECT_GT(refused, 0) << "no connect ran while the queue was being built";
    MPMCVarQueueCPP second(name);  // every name is still there
    second.write("hello", 5);
    const ChildReport r = creator.join(30);
    EXPECT_EQ(r.code, 0) << r.text;
}

// Text, then the quoted name, then the platform's words for the error number
// (unknown ones included); empty parts keep their place; a copy is caught as std::exception.
TEST(IPCQueueException, TextThenQuotedNameThenThePlatformsWordsForTheError) {
    const IPCQueueException alone("SPSCQueueCPP:write: length < 0");
    EXPECT_EQ(alone.message, "SPSCQueueCPP:write: length < 0");
    EXPECT_EQ(alone.message.c_str(), alone.what());
    EXPECT_STREQ(IPCQueueException("", "").what(), " on queue ''");
    for (int err : {EINTR, 0, 9999})
        EXPECT_EQ(IPCQueueException("x", "n", err).what(), std::string("x on queue 'n': ") + std::strerror(err)) << err;
    try {
        throw IPCQueueException("boom", "/q_3", EACCES);
    } catch (const std::exception& e) {
        EXPECT_STREQ(e.what(), "boom on queue '/q_3': Permission denied");
    }
}

}  // namespace
}  // namespace mox::ipc_queue
