// Creation, connection and removal, once for all three queue kinds: names and
// permission bits of every shared object, exact refusals, who removes names
// when (never a newer queue's; a failed create only its own), connects that
// race a create, and a /dev/shm too small for the queue.
#include <dirent.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>

#include <algorithm>
#include <array>
#include <climits>
#include <memory>

#include "mpmc_queue.h"
#include "mpmcvar_queue.h"
#include "spsc_queue.h"
#include "test_support.h"  // also <sys/stat.h>, <string>, <vector>

namespace mox::ipc_queue {
namespace {

using namespace test;

// The texts each kind words its own way; the others follow QueueLifecycle::text.
struct SPSCKind {
    using Queue = SPSCQueueCPP;
    static constexpr uint32_t code = 0;
    static std::unique_ptr<Queue> create(const std::string& n) { return std::make_unique<Queue>(n, 4, 32, true); }
    static constexpr const char* create_empty = "SPSCQueueCPP:create constructor: queue name is empty.";
    static constexpr const char* connect_empty = "SPSCQueueCPP:connect constructor: specified queue name is empty.";
    static constexpr const char* exists = "SPSCQueueCPP:create constructor: shared memory file with same name already exists.";
    static constexpr const char* missing = "SPSCQueueCPP:connect constructor: unable to open shared memory.";
    static constexpr const char* last_sem = "_free_";  // the last one a create makes
    static constexpr const char* last_sem_exists =
        "SPSCQueueCPP:create constructor: free semaphore with same name already exists.";
    static std::unique_ptr<Queue> create(const std::string& n, int64_t cells, int64_t size) {
        return std::make_unique<Queue>(n, cells, size, true);
    }
};

struct MPMCKind {
    using Queue = MPMCQueueCPP;
    static constexpr uint32_t code = 1;
    static std::unique_ptr<Queue> create(const std::string& n) { return std::make_unique<Queue>(n, 4, 32); }
    static constexpr const char* create_empty = "MPMCQueue create constructor: queue name is empty";
    static constexpr const char* connect_empty = "MPMCQueue connect constructor: queue name is empty";
    static constexpr const char* exists = "MPMCQueueCPP create constructor: shared memory file with same name already exists.";
    static constexpr const char* missing = "MPMCQueueCPP connect constructor: unable to open shared memory";
    static constexpr const char* last_sem = "_free_";
    static constexpr const char* last_sem_exists =
        "MPMCQueueCPP create constructor: free semaphore with same name already exists.";
    static std::unique_ptr<Queue> create(const std::string& n, int64_t cells, int64_t size) {
        return std::make_unique<Queue>(n, cells, size);
    }
};

struct MPMCVarKind {
    using Queue = MPMCVarQueueCPP;
    static constexpr uint32_t code = 2;
    static std::unique_ptr<Queue> create(const std::string& n) { return std::make_unique<Queue>(n, 3, 4, 32); }
    static constexpr const char* create_empty = "MPMCVarQueueCPP:create constructor: queue name is empty";
    static constexpr const char* connect_empty = "MPMCVarQueue:connect constructor: queue name is empty";
    static constexpr const char* exists =
        "MPMCVarQueueCPP:create constructor: Shared memory file with same name already exists.";
    static constexpr const char* missing = "MPMCVarQueueCPP:connect constructor: unable to open shared memory";
    static constexpr const char* last_sem = "_filled_channel_2";
    static constexpr const char* last_sem_exists =
        "MPMCVarQueueCPP:Channel create constructor: flled semaphore for channel with same name already exists.";
    static std::unique_ptr<Queue> create(const std::string& n, int64_t cells, int64_t size) {
        return std::make_unique<Queue>(n, 1, cells, size);
    }
};

template <class Kind>
class QueueLifecycle : public ::testing::Test {
protected:
    // Every semaphore a queue made by Kind::create has (MPMCVar: 3 channels).
    static std::vector<std::string> sem_names(const std::string& name) { return queue_sem_names(name, Kind::code, 3); }
    static bool any_name_left(const std::string& name) {
        const std::vector<std::string> sems = sem_names(name);
        return shm_exists(name) || std::any_of(sems.begin(), sems.end(), sem_exists);
    }
    static std::string kind() { return std::array{"SPSCQueue", "MPMCQueue", "MPMCVarQueue"}[Kind::code]; }
    // "<kind>CPP:<which> constructor: <rest>", worded alike by every kind.
    static std::string text(const char* which, const std::string& rest) {
        return kind() + "CPP:" + which + " constructor: " + rest;
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
        auto mode = [](const std::string& f) { struct stat st {}; return ::stat(f.c_str(), &st) ? 0u : st.st_mode & 0777; };
        EXPECT_EQ(mode("/dev/shm" + g.name()), 0600u);
        for (const std::string& s : this->sem_names(g.name())) EXPECT_EQ(mode("/dev/shm/sem." + s.substr(1)), 0600u) << s;
        EXPECT_EQ(SegmentView(g.name()).u32(8), TypeParam::code);
        q.reset();  // nobody connected
        EXPECT_FALSE(this->any_name_left(g.name()));
    }
}

TYPED_TEST(QueueLifecycle, RefusalsCarryTheExactTexts) {
    using Q = typename TypeParam::Queue;
    EXPECT_EQ(thrown_text([] { Q q(""); }), TypeParam::connect_empty);
    EXPECT_EQ(thrown_text([] { TypeParam::create(""); }), TypeParam::create_empty);
    NameGuard missing(unique_name("missing"));
    EXPECT_EQ(thrown_text([&] { Q q(missing.name()); }), on_queue(TypeParam::missing, missing.name(), ENOENT));
    EXPECT_FALSE(shm_exists(missing.name()));
    // A name held by a segment of any kind can be neither created again nor connected to as another.
    for (uint32_t other : {0u, 1u, 2u}) {
        NameGuard taken(unique_name("taken"));
        ASSERT_TRUE(make_raw_segment(taken.name(), 4096));
        SegmentView v(taken.name());
        v.put<uint64_t>(0, 4096);
        v.put<uint32_t>(8, other);
        EXPECT_EQ(thrown_text([&] { TypeParam::create(taken.name()); }),
                  on_queue(TypeParam::exists, taken.name(), EEXIST));
        if (other != TypeParam::code) {
            const std::string wrong = "cannot connect to queue type other than " + this->kind();
            EXPECT_EQ(thrown_text([&] { Q q(taken.name()); }), on_queue(this->text("connect", wrong), taken.name()));
        }
    }
}

TYPED_TEST(QueueLifecycle, ANameTooLongForItsSemaphoresIsRefusedBeforeAnythingIsMade) {
    // The longest semaphore name must fit in a file name of /dev/shm.
    size_t longest = 0;
    for (const std::string& s : this->sem_names("/")) longest = std::max(longest, s.size() - 1);
    const std::string fits = "/" + std::string(NAME_MAX - 4 - longest - 1, 'n') + std::to_string(::getpid() % 10);
    const std::string too_long = fits + "x";
    NameGuard g1(fits), g2(too_long);
    EXPECT_EQ(thrown_text([&] { TypeParam::create(too_long); }),
              on_queue(this->text("create", "queue name too long"), too_long));
    EXPECT_FALSE(this->any_name_left(too_long));
    TypeParam::create(g1.name());  // one character shorter fits
}

TYPED_TEST(QueueLifecycle, DamagedOrUninitialisedSegmentsAreRefused) {
    using Q = typename TypeParam::Queue;
    const std::string damaged = this->text("connect", "segment is damaged");
    const std::string not_ready = this->text("connect", "segment not initialised; its creator has not finished");
    // Sized but never initialised (all zeros), and shorter than the size word.
    for (const off_t size : {off_t{4096}, off_t{3}}) {
        NameGuard g(unique_name("raw"));
        ASSERT_TRUE(make_raw_segment(g.name(), size));
        EXPECT_EQ(thrown_text([&] { Q q(g.name()); }), on_queue(not_ready, g.name())) << size << " bytes";
    }
    // A real queue whose size word, cell count or cell size lies.
    for (size_t offset : {size_t{0}, size_t{12}, size_t{16}}) {
        NameGuard g(unique_name("lying"));
        auto q = TypeParam::create(g.name());
        SegmentView v(g.name());
        const uint32_t old = v.u32(offset);
        v.put<uint32_t>(offset, old + 1);
        // The text says why: "segment is damaged (<reason>) on queue '<name>'".
        const std::string text = thrown_text([&] { Q c(g.name()); }), end = ") on queue '" + g.name() + "'";
        EXPECT_EQ(text.rfind(damaged + " (", 0), 0u) << text;
        EXPECT_TRUE(text.size() > end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0) << text;
    }
}

TYPED_TEST(QueueLifecycle, UnlinkRemovesEveryNameOnceAndTheQueueKeepsWorking) {
    NameGuard g(unique_name("unlink"));
    auto q = TypeParam::create(g.name());
    ASSERT_TRUE(this->any_name_left(g.name()));
    q->unlink();
    EXPECT_FALSE(this->any_name_left(g.name()));
    // The name is free again; the old object goes on working and, unlinked
    // once, never removes the new queue's names.
    auto fresh = TypeParam::create(g.name());
    q->write("abc", 3);
    std::string out;
    EXPECT_TRUE(q->read(out, 0) == 0 && out == "abc") << out;
    q->unlink();
    q.reset();
    for (const std::string& s : this->sem_names(g.name())) EXPECT_TRUE(sem_exists(s)) << s;
    EXPECT_TRUE(shm_exists(g.name()));
}

TYPED_TEST(QueueLifecycle, DestroyingAConnectedObjectRemovesTheNamesWhileAttachedOnesGoOn) {
    using Q = typename TypeParam::Queue;
    NameGuard g(unique_name("destroy"));
    auto creator = TypeParam::create(g.name());
    auto connected = std::make_unique<Q>(g.name());
    EXPECT_EQ(this->any_name_left(g.name()), TypeParam::code != 0);  // an SPSC connect removes them at once
    // A message still crosses between processes attached before the names went.
    ScopedChild child([&] {
        std::string out;
        return connected->read(out, 10000) == 0 && out == "ping" ? "" : "read '" + out + "'";
    });
    connected.reset();
    EXPECT_FALSE(this->any_name_left(g.name()));
    EXPECT_EQ(thrown_text([&] { Q c(g.name()); }), on_queue(TypeParam::missing, g.name(), ENOENT));
    creator->write("ping", 4);
    const ChildReport r = child.join(30);
    EXPECT_EQ(r.code, 0) << r.text;
}

TYPED_TEST(QueueLifecycle, ARecreatedQueueIsNeverTouchedByTheOldOne) {
    using Q = typename TypeParam::Queue;
    NameGuard g(unique_name("restart"));
    auto old_creator = TypeParam::create(g.name());
    auto old_peer = std::make_unique<Q>(g.name());  // an SPSC connect removes the names
    old_peer->unlink();                             // the others' documented recovery: unlink, create again
    ASSERT_FALSE(this->any_name_left(g.name()));
    auto fresh = TypeParam::create(g.name());
    old_peer->unlink();
    old_peer.reset();
    old_creator.reset();
    EXPECT_TRUE(shm_exists(g.name()));
    for (const std::string& s : this->sem_names(g.name())) EXPECT_TRUE(sem_exists(s)) << s;
    ScopedChild peer([&] {
        Q q(g.name());
        q.write("new", 3);
        return std::string();
    });
    std::string out;
    EXPECT_EQ(fresh->read(out, 10000), 0);
    EXPECT_EQ(out, "new");
    EXPECT_EQ(peer.join(10).code, 0);
}

TYPED_TEST(QueueLifecycle, AFailedCreateRemovesExactlyTheNamesItMade) {
    NameGuard g(unique_name("stale"));
    const std::string stale = g.name() + TypeParam::last_sem;  // left behind by a crash
    sem_t* sem = ::sem_open(stale.c_str(), O_CREAT | O_EXCL, 0600, 0);
    ASSERT_NE(sem, SEM_FAILED);
    ::sem_close(sem);
    EXPECT_EQ(thrown_text([&] { TypeParam::create(g.name()); }), on_queue(TypeParam::last_sem_exists, stale, EEXIST));
    EXPECT_FALSE(shm_exists(g.name()));
    for (const std::string& s : this->sem_names(g.name())) EXPECT_EQ(sem_exists(s), s == stale) << s;
    ::sem_unlink(stale.c_str());
    TypeParam::create(g.name());  // a retry works once the stale name is gone
}

// Runs `body` in a child whose /dev/shm is a private tmpfs of `mib` MiB, as a
// container's small /dev/shm; reports code 77 when no such mount can be made.
ChildReport with_small_shm(unsigned mib, const std::function<std::string()>& body) {
    return run_reporting([&]() -> std::string {
        const std::string options = "size=" + std::to_string(mib) + "m,mode=1777";
        if (::unshare(CLONE_NEWNS) != 0 || ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            ::mount("tmpfs", "/dev/shm", "tmpfs", MS_NOSUID | MS_NODEV, options.c_str()) != 0)
            ::_exit(77);
        return body();
    }, 60);
}

std::vector<std::string> shm_entries() {
    std::vector<std::string> names;
    if (DIR* dir = ::opendir("/dev/shm")) {
        while (const dirent* e = ::readdir(dir))
            if (e->d_name[0] != '.') names.push_back(e->d_name);
        ::closedir(dir);
    }
    return names;
}

#define SKIP_WITHOUT_PRIVATE_SHM(report) \
    if ((report).code == 77) GTEST_SKIP() << "a private tmpfs on /dev/shm needs root (unshare -m, mount)"

TYPED_TEST(QueueLifecycle, AQueueLargerThanTheFreeSpaceIsRefusedAtCreate) {
    // 64 MiB of cells on an 8 MiB /dev/shm: refused, naming the bytes, instead of a SIGBUS at the first write.
    const ChildReport r = with_small_shm(8, [] {
        const std::string name = unique_name("big");
        const std::string text = thrown_text([&] { TypeParam::create(name, 64, 1 << 20); });
        uint64_t bytes = 0;
        const size_t of = text.find(" of "), on = text.find(" bytes on queue '" + name + "': ");
        if (of != std::string::npos && on != std::string::npos) bytes = std::stoull(text.substr(of + 4, on - of - 4));
        if (text.find("unable to reserve shared memory of ") == std::string::npos || bytes < (64u << 20) ||
            text.find(std::strerror(ENOSPC)) == std::string::npos)
            return "refused as: " + text;
        if (!shm_entries().empty()) return "left behind: " + shm_entries().front();
        auto fits = TypeParam::create(name, 4, 1 << 20);  // the space is all there again
        fits->write("x", 1);
        return std::string();
    });
    SKIP_WITHOUT_PRIVATE_SHM(r);
    EXPECT_EQ(r.code, 0) << r.text;
}

TYPED_TEST(QueueLifecycle, ADestroyedQueueGivesItsMemoryBack) {
    // Ten rounds of a queue of 8 MiB, filled, on a /dev/shm of 24 MiB.
    const ChildReport r = with_small_shm(24, [] {
        const std::string cell(1 << 20, 'm');
        for (int round = 0; round < 10; ++round) {
            const std::string name = unique_name("round");
            std::string text = thrown_text([&] {
                auto q = TypeParam::create(name, 8, 1 << 20);
                // Every cell: a variable-length message of eight cells less a byte ends in the last.
                for (int i = 0; i < (TypeParam::code == 2 ? 1 : 8); ++i) {
                    const std::string m = TypeParam::code == 2 ? std::string(8 * cell.size() - 1, 'm') : cell;
                    q->write(m.data(), static_cast<int64_t>(m.size()));
                }
            });
            if (text != "no exception") return "round " + std::to_string(round) + ": " + text;
        }
        return std::string();
    });
    SKIP_WITHOUT_PRIVATE_SHM(r);
    EXPECT_EQ(r.code, 0) << r.text;
}

// A connector that starts with its creator (the usual start-up loop) is told
// "not initialised" until the creator has made everything, and its failed
// connects touch none of the names the creator has made meanwhile.
TEST(QueueLifecycleRace, ConnectsWhileTheCreatorBuildsFailCleanly) {
    constexpr uint32_t kChannels = 3000;  // long enough to build that most connects land inside
    NameGuard g(unique_name("building"));
    const std::string& name = g.name();
    const std::string not_ready = on_queue(
        "MPMCVarQueueCPP:connect constructor: segment not initialised; its creator has not finished", name);
    const std::string missing = on_queue("MPMCVarQueueCPP:connect constructor: unable to open shared memory", name,
                                         ENOENT);
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

}  // namespace
}  // namespace mox::ipc_queue
