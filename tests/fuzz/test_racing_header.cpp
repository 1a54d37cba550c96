// A connect while another process keeps changing a geometry word of the
// header: the connected object must use exactly the geometry it checked
// against the segment's size, never a value read again afterwards (which
// would let it address cells or channels outside the mapping).
#include <gtest/gtest.h>
#include <sys/prctl.h>

#include <cstdint>
#include <memory>
#include <string>
#include <type_traits>
#include <utility>

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

// A child that flips the u32 at `offset` of segment `name` between its value
// and `damaged` (one write in four) until it is killed; started only once it
// is flipping. Mostly the true value, so that most connects pass the check.
class Flipper {
public:
    Flipper(const std::string& name, size_t offset, uint32_t damaged) {
        int ready[2];
        if (::pipe(ready) != 0) return;
        const pid_t parent = ::getpid();
        pid_ = ::fork();
        if (pid_ == 0) {
            ::prctl(PR_SET_PDEATHSIG, SIGKILL);
            if (::getppid() != parent) ::_exit(0);
            SegmentView view(name);
            if (!view.ok()) ::_exit(1);
            volatile uint32_t* word = reinterpret_cast<volatile uint32_t*>(view.bytes() + offset);
            const uint32_t original = *word;
            (void)!::write(ready[1], "r", 1);
            for (uint64_t i = 0;; ++i) *word = (i & 3) == 3 ? damaged : original;
        }
        ::close(ready[1]);
        char c = 0;
        started_ = pid_ > 0 && ::read(ready[0], &c, 1) == 1;
        ::close(ready[0]);
    }
    ~Flipper() {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
    }
    Flipper(const Flipper&) = delete;
    Flipper& operator=(const Flipper&) = delete;
    bool started() const { return started_; }

private:
    pid_t pid_ = -1;
    bool started_ = false;
};

struct Outcome {
    int connected = 0;
    int refused = 0;
    int wrong_geometry = 0;
};

// Rounds of: create, flip the word, connect once (a connected object, and a
// refused one too, removes the names when it goes). `fits` tells whether a
// connected object has the real geometry.
template <class Create, class Connect, class Fits>
Outcome race(const char* tag, int rounds, size_t offset, uint32_t damaged, Create create, Connect connect, Fits fits) {
    Outcome o;
    for (int r = 0; r < rounds; ++r) {
        NameGuard guard(unique_name(tag), 4);
        auto creator = create(guard.name());
        Flipper flipper(guard.name(), offset, damaged);
        EXPECT_TRUE(flipper.started());
        if (!flipper.started()) return o;
        try {
            auto peer = connect(guard.name());
            ++o.connected;
            if (!fits(*peer)) ++o.wrong_geometry;
        } catch (const IPCQueueException&) {
            ++o.refused;
        }
    }
    return o;
}

template <class Q>
bool throws_for_index(const Q& q, uint32_t index) {
    try {
        if constexpr (std::is_same_v<Q, SPSCQueueCPP>)
            q.cellAt(index);
        else
            q.channelShmAt(index);
    } catch (const IPCQueueException&) {
        return true;
    }
    return false;
}

// SPSC: 4 cells of 16 bytes; num_cells flips to 0x100. The peer must refuse
// cell 4, and keep cell_size.
TEST(RacingHeader, SPSCConnectKeepsTheCheckedGeometry) {
    const Outcome o = race(
        "race_spsc", 400, 12, 0x100,
        [](const std::string& n) { return std::make_unique<SPSCQueueCPP>(n, 4, 16, true); },
        [](const std::string& n) { return std::make_unique<SPSCQueueCPP>(n); },
        [](const SPSCQueueCPP& q) { return q.cell_size() == 16 && throws_for_index(q, 4) && !throws_for_index(q, 3); });
    EXPECT_GT(o.connected, 0);
    EXPECT_EQ(o.wrong_geometry, 0) << "of " << o.connected << " connects";
}

// MPMC: cell_size (low half) flips to 0x400.
TEST(RacingHeader, MPMCConnectKeepsTheCheckedGeometry) {
    const Outcome o = race(
        "race_mpmc", 300, 16, 0x400,
        [](const std::string& n) { return std::make_unique<MPMCQueueCPP>(n, 4, 16); },
        [](const std::string& n) { return std::make_unique<MPMCQueueCPP>(n); },
        [](const MPMCQueueCPP& q) { return q.cell_size() == 16; });
    EXPECT_GT(o.connected, 0);
    EXPECT_EQ(o.wrong_geometry, 0) << "of " << o.connected << " connects";
}

// MPMCVar: 2 channels of 2 cells of 16 bytes (stride 2 * 32 + 24 = 88);
// num_channels, num_cells and cell_size each flip in turn.
TEST(RacingHeader, MPMCVarConnectKeepsTheCheckedGeometry) {
    auto fits = [](const MPMCVarQueueCPP& q) {
        return q.cell_size() == 16 && throws_for_index(q, 2) && !throws_for_index(q, 1) &&
               q.channelShmAt(1) - q.channelShmAt(0) == 88;
    };
    for (const auto& [offset, damaged] : {std::pair<size_t, uint32_t>{12, 0x400}, {16, 0x40}, {20, 0x400}}) {
        const Outcome o = race(
            "race_var", 300, offset, damaged,
            [](const std::string& n) { return std::make_unique<MPMCVarQueueCPP>(n, 2, 2, 16); },
            [](const std::string& n) { return std::make_unique<MPMCVarQueueCPP>(n); }, fits);
        EXPECT_GT(o.connected, 0) << "word at " << offset;
        EXPECT_EQ(o.wrong_geometry, 0) << "word at " << offset << ", of " << o.connected << " connects";
    }
}

}  // namespace
}  // namespace mox::ipc_queue
