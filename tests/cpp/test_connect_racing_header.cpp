// A connect while another process keeps changing a geometry word of the
// header: the connected object must use exactly the geometry it checked
// against the segment's size, never a value read again afterwards (which
// would let it address cells or channels outside the mapping).
#include <gtest/gtest.h>
#include <sys/prctl.h>

#include "mpmc_queue.h"
#include "mpmcvar_queue.h"
#include "spsc_queue.h"
#include "test_support.h"

namespace mox::ipc_queue {
namespace {

template <class F>
bool refused(F f) try { return f(), false; } catch (const IPCQueueException&) { return true; }

// Rounds of: create, have a child flip the u32 at `offset` to `damaged` on one
// write in four (so most connects pass the check), connect once. Every connect
// that succeeds must have the created geometry (`fits`); some must succeed.
template <class Q, class Fits, class... Geometry>
void race(int rounds, size_t offset, uint32_t damaged, Fits fits, Geometry... geometry) {
    SCOPED_TRACE("word at " + std::to_string(offset));
    int connected = 0, wrong = 0;
    for (int r = 0; r < rounds; ++r) {
        test::NameGuard guard(test::unique_name("race"));
        const Q creator(guard.name(), geometry...);
        test::SegmentView view(guard.name());
        int ready[2];
        ASSERT_TRUE(view.ok() && ::pipe(ready) == 0);
        volatile uint32_t* word = reinterpret_cast<volatile uint32_t*>(view.bytes() + offset);
        const uint32_t original = *word;
        test::ScopedChild flipper([&]() -> std::string {
            ::prctl(PR_SET_PDEATHSIG, SIGKILL);  // the parent waits for `ready`: it is still there
            if (::write(ready[1], "r", 1) != 1) return "pipe";
            for (uint64_t i = 0;; ++i) *word = (i & 3) == 3 ? damaged : original;
        });
        char c = 0;
        ASSERT_TRUE(::close(ready[1]) == 0 && ::read(ready[0], &c, 1) == 1);
        ::close(ready[0]);
        connected += refused([&] { wrong += fits(Q(guard.name())) ? 0 : 1; }) ? 0 : 1;
    }
    EXPECT_GT(connected, 0);
    EXPECT_EQ(wrong, 0) << "of " << connected << " connects";
}

// 4 cells of 16 bytes; num_cells flips to 0x100: cell 4 must stay refused.
TEST(RacingHeader, SPSCConnectKeepsTheCheckedGeometry) {
    const auto fits = [](const SPSCQueueCPP& q) {
        return q.cell_size() == 16 && refused([&] { q.cellAt(4); }) && !refused([&] { q.cellAt(3); });
    };
    race<SPSCQueueCPP>(400, 12, 0x100, fits, 4, 16, true);
}

// cell_size (low half) flips to 0x400.
TEST(RacingHeader, MPMCConnectKeepsTheCheckedGeometry) {
    race<MPMCQueueCPP>(300, 16, 0x400, [](const MPMCQueueCPP& q) { return q.cell_size() == 16; }, 4, 16);
}

// 2 channels of 2 cells of 16 bytes (areas 2 * 32 + 24 = 88 bytes apart);
// num_channels, num_cells and cell_size flip in turn.
TEST(RacingHeader, MPMCVarConnectKeepsTheCheckedGeometry) {
    const auto fits = [](const MPMCVarQueueCPP& q) {
        return q.cell_size() == 16 && refused([&] { q.channelShmAt(2); }) && !refused([&] { q.channelShmAt(1); }) &&
               q.channelShmAt(1) - q.channelShmAt(0) == 88;
    };
    for (const auto& [offset, damaged] : {std::pair<size_t, uint32_t>{12, 0x400}, {16, 0x40}, {20, 0x400}})
        race<MPMCVarQueueCPP>(300, offset, damaged, fits, 2, 2, 16);
}

}  // namespace
}  // namespace mox::ipc_queue
