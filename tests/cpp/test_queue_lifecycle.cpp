// Creation, connection and removal checks, written once and run against all
// three queue kinds: names and permission bits of every shared object, the
// exact refusals, and who removes the names when.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <climits>
#include <memory>
#include <string>
#include <vector>

#include "mpmc_queue.h"
#include "mpmcvar_queue.h"
#include "spsc_queue.h"
#include "test_support.h"

namespace mox::ipc_queue {
namespace {

using namespace test;

struct SPSCKind {
    using Queue = SPSCQueueCPP;
    static constexpr uint32_t code = 0;
    static std::unique_ptr<Queue> create(const std::string& n) { return std::make_unique<Queue>(n, 4, 32, true); }
    static constexpr const char* create_empty = "SPSCQueueCPP:create constructor: queue name is empty.";
    static constexpr const char* connect_empty = "SPSCQueueCPP:connect constructor: specified queue name is empty.";
    static constexpr const char* exists = "SPSCQueueCPP:create constructor: shared memory file with same name already exists.";
    static constexpr const char* missing = "SPSCQueueCPP:connect constructor: unable to open shared memory.";
    static constexpr const char* wrong_type =
        "SPSCQueueCPP:connect constructor: cannot connect to queue type other than SPSCQueue";
    static constexpr const char* damaged = "SPSCQueueCPP:connect constructor: segment is damaged or not initialised";
    static constexpr const char* too_long = "SPSCQueueCPP:create constructor: queue name too long";
    static constexpr bool connect_removes_names = true;
};

struct MPMCKind {
    using Queue = MPMCQueueCPP;
    static constexpr uint32_t code = 1;
    static std::unique_ptr<Queue> create(const std::string& n) { return std::make_unique<Queue>(n, 4, 32); }
    static constexpr const char* create_empty = "MPMCQueue create constructor: queue name is empty";
    static constexpr const char* connect_empty = "MPMCQueue connect constructor: queue name is empty";
    static constexpr const char* exists = "MPMCQueueCPP create constructor: shared memory file with same name already exists.";
    static constexpr const char* missing = "MPMCQueueCPP connect constructor: unable to open shared memory";
    static constexpr const char* wrong_type =
        "MPMCQueueCPP:connect constructor: cannot connect to queue type other than MPMCQueue";
    static constexpr const char* damaged = "MPMCQueueCPP:connect constructor: segment is damaged or not initialised";
    static constexpr const char* too_long = "MPMCQueueCPP:create constructor: queue name too long";
    static constexpr bool connect_removes_names = false;
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
    static constexpr const char* wrong_type =
        "MPMCVarQueueCPP:connect constructor: cannot connect to queue type other than MPMCVarQueue";
    static constexpr const char* damaged = "MPMCVarQueueCPP:connect constructor: segment is damaged or not initialised";
    static constexpr const char* too_long = "MPMCVarQueueCPP:create constructor: queue name too long";
    static constexpr bool connect_removes_names = false;
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
};

using Kinds = ::testing::Types<SPSCKind, MPMCKind, MPMCVarKind>;
TYPED_TEST_SUITE(QueueLifecycle, Kinds);

TYPED_TEST(QueueLifecycle, CreateMakesEveryNameWithOwnerOnlyAccessWhateverTheUmask) {
    for (const mode_t mask : {mode_t{0}, mode_t{077}}) {
        const mode_t old = ::umask(mask);
        NameGuard g(unique_name("perm"));
        auto q = TypeParam::create(g.name());
        ::umask(old);
        std::vector<std::string> files{"/dev/shm" + g.name()};
        for (const std::string& s : this->sem_names(g.name())) files.push_back("/dev/shm/sem." + s.substr(1));
        for (const std::string& f : files) {
            struct stat st {};
            ASSERT_EQ(::stat(f.c_str(), &st), 0) << f;
            EXPECT_EQ(st.st_mode & 0777, 0600u) << f;
        }
        EXPECT_EQ(SegmentView(g.name()).u32(8), TypeParam::code);
        EXPECT_EQ(q->is_spsc_queue() + q->is_mpmc_queue() + q->is_mpmcvar_queue(), 1);
    }
}

TYPED_TEST(QueueLifecycle, RefusalsCarryTheExactTexts) {
    using Q = typename TypeParam::Queue;
    EXPECT_EQ(thrown_text([] { Q q(""); }), TypeParam::connect_empty);
    EXPECT_EQ(thrown_text([] { TypeParam::create(""); }), TypeParam::create_empty);

    NameGuard missing(unique_name("missing"));
    EXPECT_EQ(thrown_text([&] { Q q(missing.name()); }), on_queue(TypeParam::missing, missing.name(), ENOENT));
    EXPECT_FALSE(shm_exists(missing.name()));

    // A name held by a segment of any kind (its size word right) cannot be
    // created again, nor connected to as another kind.
    for (uint32_t other : {0u, 1u, 2u}) {
        NameGuard taken(unique_name("taken"));
        ASSERT_TRUE(make_raw_segment(taken.name(), 4096));
        SegmentView v(taken.name());
        v.put<uint64_t>(0, 4096);
        v.put<uint32_t>(8, other);
        EXPECT_EQ(thrown_text([&] { TypeParam::create(taken.name()); }),
                  on_queue(TypeParam::exists, taken.name(), EEXIST));
        if (other != TypeParam::code) {
            EXPECT_EQ(thrown_text([&] { Q q(taken.name()); }), on_queue(TypeParam::wrong_type, taken.name()));
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
    EXPECT_EQ(thrown_text([&] { TypeParam::create(too_long); }), on_queue(TypeParam::too_long, too_long));
    EXPECT_FALSE(this->any_name_left(too_long));
    TypeParam::create(g1.name());  // one character shorter fits
}

TYPED_TEST(QueueLifecycle, DamagedOrUninitialisedSegmentsAreRefused) {
    using Q = typename TypeParam::Queue;
    // Sized but never initialised (all zeros), and shorter than the size word.
    for (const off_t size : {off_t{4096}, off_t{3}}) {
        NameGuard g(unique_name("raw"));
        ASSERT_TRUE(make_raw_segment(g.name(), size));
        EXPECT_EQ(thrown_text([&] { Q q(g.name()); }), on_queue(TypeParam::damaged, g.name())) << size << " bytes";
    }
    // A real queue whose size word, cell count or cell size lies.
    for (size_t offset : {size_t{0}, size_t{12}, size_t{16}}) {
        NameGuard g(unique_name("lying"));
        auto q = TypeParam::create(g.name());
        SegmentView v(g.name());
        const uint32_t old = v.u32(offset);
        v.put<uint32_t>(offset, old + 1);
        EXPECT_EQ(thrown_text([&] { Q c(g.name()); }), on_queue(TypeParam::damaged, g.name())) << "offset " << offset;
        v.put<uint32_t>(offset, old);
    }
}

TYPED_TEST(QueueLifecycle, UnlinkRemovesEveryNameOnceAndTheQueueKeepsWorking) {
    using Q = typename TypeParam::Queue;
    NameGuard g(unique_name("unlink"));
    auto q = TypeParam::create(g.name());
    ASSERT_TRUE(this->any_name_left(g.name()));
    q->unlink();
    EXPECT_FALSE(this->any_name_left(g.name()));
    q->unlink();
    EXPECT_FALSE(this->any_name_left(g.name()));
    EXPECT_EQ(thrown_text([&] { Q c(g.name()); }), on_queue(TypeParam::missing, g.name(), ENOENT));

    // The name is free again for a new queue, untouched by the old object.
    auto fresh = TypeParam::create(g.name());
    q->write("abc", 3);
    std::string out;
    ASSERT_EQ(q->read(out, 0), 0);
    EXPECT_EQ(out, "abc");
    q.reset();
    EXPECT_TRUE(shm_exists(g.name()));
}

TYPED_TEST(QueueLifecycle, DestroyingAConnectedObjectRemovesTheNamesWhileAttachedOnesGoOn) {
    using Q = typename TypeParam::Queue;
    NameGuard g(unique_name("destroy"));
    auto creator = TypeParam::create(g.name());
    auto connected = std::make_unique<Q>(g.name());
    EXPECT_EQ(connected->cell_size(), creator->cell_size());
    EXPECT_EQ(this->any_name_left(g.name()), !TypeParam::connect_removes_names);

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

TYPED_TEST(QueueLifecycle, DestroyingTheCreatorBeforeAnyConnectLeavesNothing) {
    NameGuard g(unique_name("gone"));
    TypeParam::create(g.name()).reset();
    EXPECT_FALSE(this->any_name_left(g.name()));
}

}  // namespace
}  // namespace mox::ipc_queue
