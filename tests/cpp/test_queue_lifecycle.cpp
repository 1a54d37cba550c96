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

#include "ipc_queue_exception.h"
#include "mpmc_queue.h"
#include "mpmcvar_queue.h"
#include "spsc_queue.h"
#include "test_support.h"

namespace mox::ipc_queue {
namespace {

using test::NameGuard;
using test::SegmentView;
using test::unique_name;

struct SPSCKind {
    using Queue = SPSCQueueCPP;
    static constexpr uint32_t code = 0;
    static std::unique_ptr<Queue> create(const std::string& n) { return std::make_unique<Queue>(n, 4, 32, true); }
    static std::vector<std::string> sem_names(const std::string& n) { return {n + "_filled_", n + "_free_"}; }
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
    static std::vector<std::string> sem_names(const std::string& n) {
        return {n + "_filled_", n + "_free_", n + "_free_mutex_", n + "_filled_mutex_"};
    }
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
    static std::vector<std::string> sem_names(const std::string& n) {
        std::vector<std::string> names{n + "_free_", n + "_used_", n + "_used_mutex_"};
        for (int i = 0; i < 3; ++i) {
            names.push_back(n + "_free_channel_" + std::to_string(i));
            names.push_back(n + "_filled_channel_" + std::to_string(i));
        }
        return names;
    }
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
    using Queue = typename Kind::Queue;

    std::string message_of(const std::function<void()>& f) {
        try {
            f();
        } catch (const IPCQueueException& e) {
            return e.what();
        }
        return "<no exception>";
    }

    static std::string with_name(const char* text, const std::string& name) {
        return std::string(text) + " on queue '" + name + "'";
    }
    static std::string with_error(const char* text, const std::string& name, int err) {
        return with_name(text, name) + ": " + std::strerror(err);
    }

    // Every object the queue made, checked to carry exactly 0600.
    static void expect_private_objects(const std::string& name) {
        std::vector<std::string> files{"/dev/shm" + name};
        for (const std::string& s : Kind::sem_names(name)) files.push_back("/dev/shm/sem." + s.substr(1));
        for (const std::string& f : files) {
            struct stat st {};
            ASSERT_EQ(::stat(f.c_str(), &st), 0) << f;
            EXPECT_EQ(st.st_mode & 0777, 0600u) << f;
        }
    }

    static bool any_name_left(const std::string& name) {
        if (test::shm_exists(name)) return true;
        for (const std::string& s : Kind::sem_names(name))
            if (test::sem_exists(s)) return true;
        return false;
    }

    // A segment of another kind's code but a size that agrees with itself.
    static void make_foreign_segment(const std::string& name, uint32_t code) {
        const int fd = ::shm_open(name.c_str(), O_RDWR | O_CREAT | O_EXCL, 0600);
        ASSERT_GE(fd, 0);
        const uint64_t size = 4096;
        ASSERT_EQ(::ftruncate(fd, size), 0);
        ::close(fd);
        SegmentView v(name);
        v.put<uint64_t>(0, size);
        v.put<uint32_t>(8, code);
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
        this->expect_private_objects(g.name());
        EXPECT_EQ(SegmentView(g.name()).u32(8), TypeParam::code);
        EXPECT_EQ(q->is_spsc_queue() + q->is_mpmc_queue() + q->is_mpmcvar_queue(), 1);
    }
}

TYPED_TEST(QueueLifecycle, RefusalsCarryTheExactTexts) {
    using Q = typename TypeParam::Queue;
    EXPECT_EQ(this->message_of([] { Q q(""); }), TypeParam::connect_empty);
    EXPECT_EQ(this->message_of([] { TypeParam::create(""); }), TypeParam::create_empty);

    NameGuard missing(unique_name("missing"));
    EXPECT_EQ(this->message_of([&] { Q q(missing.name()); }),
              this->with_error(TypeParam::missing, missing.name(), ENOENT));
    EXPECT_FALSE(test::shm_exists(missing.name()));

    // A name held by a segment of any kind cannot be created again.
    for (uint32_t other : {0u, 1u, 2u}) {
        NameGuard taken(unique_name("taken"));
        this->make_foreign_segment(taken.name(), other);
        EXPECT_EQ(this->message_of([&] { TypeParam::create(taken.name()); }),
                  this->with_error(TypeParam::exists, taken.name(), EEXIST));
        if (other != TypeParam::code) {
            EXPECT_EQ(this->message_of([&] { Q q(taken.name()); }),
                      this->with_name(TypeParam::wrong_type, taken.name()));
        }
    }
}

TYPED_TEST(QueueLifecycle, ANameTooLongForItsSemaphoresIsRefusedBeforeAnythingIsMade) {
    // The longest semaphore name must fit in a file name of /dev/shm.
    size_t longest = 0;
    for (const std::string& s : TypeParam::sem_names("/")) longest = std::max(longest, s.size() - 1);
    const std::string fits = "/" + std::string(NAME_MAX - 4 - longest - 1, 'n') + std::to_string(::getpid() % 10);
    const std::string too_long = fits + "x";
    NameGuard g1(fits), g2(too_long);
    EXPECT_EQ(this->message_of([&] { TypeParam::create(too_long); }), this->with_name(TypeParam::too_long, too_long));
    EXPECT_FALSE(this->any_name_left(too_long));
    TypeParam::create(g1.name());  // one character shorter fits
}

TYPED_TEST(QueueLifecycle, DamagedOrUninitialisedSegmentsAreRefused) {
    using Q = typename TypeParam::Queue;
    // Sized but never initialised: all zeros.
    {
        NameGuard g(unique_name("zeros"));
        const int fd = ::shm_open(g.name().c_str(), O_RDWR | O_CREAT | O_EXCL, 0600);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(::ftruncate(fd, 4096), 0);
        ::close(fd);
        EXPECT_EQ(this->message_of([&] { Q q(g.name()); }), this->with_name(TypeParam::damaged, g.name()));
    }
    // Shorter than the size word.
    {
        NameGuard g(unique_name("short"));
        const int fd = ::shm_open(g.name().c_str(), O_RDWR | O_CREAT | O_EXCL, 0600);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(::write(fd, "abc", 3), 3);
        ::close(fd);
        EXPECT_EQ(this->message_of([&] { Q q(g.name()); }), this->with_name(TypeParam::damaged, g.name()));
    }
    // A real queue whose size word, cell count or cell size lies.
    for (size_t offset : {size_t{0}, size_t{12}, size_t{16}}) {
        NameGuard g(unique_name("lying"));
        auto q = TypeParam::create(g.name());
        SegmentView v(g.name());
        const uint32_t old = v.u32(offset);
        v.put<uint32_t>(offset, old + 1);
        EXPECT_EQ(this->message_of([&] { Q c(g.name()); }), this->with_name(TypeParam::damaged, g.name()))
            << "offset " << offset;
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
    EXPECT_EQ(this->message_of([&] { Q c(g.name()); }), this->with_error(TypeParam::missing, g.name(), ENOENT));

    // The name is free again for a new queue, untouched by the old object.
    auto fresh = TypeParam::create(g.name());
    q->write("abc", 3);
    std::string out;
    ASSERT_EQ(q->read(out, 0), 0);
    EXPECT_EQ(out, "abc");
    q.reset();
    EXPECT_TRUE(test::shm_exists(g.name()));
}

TYPED_TEST(QueueLifecycle, DestroyingAConnectedObjectRemovesTheNamesWhileAttachedOnesGoOn) {
    using Q = typename TypeParam::Queue;
    NameGuard g(unique_name("destroy"));
    auto creator = TypeParam::create(g.name());
    auto connected = std::make_unique<Q>(g.name());
    EXPECT_EQ(connected->cell_size(), creator->cell_size());
    EXPECT_EQ(this->any_name_left(g.name()), !TypeParam::connect_removes_names);

    // Messages still cross in both directions of use after the names go.
    const pid_t child = test::spawn([&] {
        std::string out;
        if (connected->read(out, 10000) != 0 || out != "ping") return 1;
        return 0;
    });
    connected.reset();
    EXPECT_FALSE(this->any_name_left(g.name()));
    EXPECT_EQ(this->message_of([&] { Q c(g.name()); }), this->with_error(TypeParam::missing, g.name(), ENOENT));
    creator->write("ping", 4);
    EXPECT_EQ(test::join(child), 0);
}

TYPED_TEST(QueueLifecycle, DestroyingTheCreatorBeforeAnyConnectLeavesNothing) {
    NameGuard g(unique_name("gone"));
    TypeParam::create(g.name()).reset();
    EXPECT_FALSE(this->any_name_left(g.name()));
}

}  // namespace
}  // namespace mox::ipc_queue
