// Every list word, ring index and cell length read back from a segment is
// checked before use, also while a cell is held: the operation that meets a
// damaged word throws exactly its text (in a child, so a crash or a hang
// fails the case instead of the program) and lets go of every list lock.
// Damaged headers: test_queue_lifecycle.cpp; damaged cell lengths of the
// fixed-cell kinds: test_fixed_cell_queues.cpp; random damage: tests/fuzz.
#include <gtest/gtest.h>

#include "mpmc_queue.h"
#include "mpmcvar_queue.h"
#include "spsc_queue.h"
#include "test_support.h"

namespace mox::ipc_queue {
namespace {

using namespace test;

// kCloseRead and kDiscard take an MPMC cell before the damage; kKeptCell
// damages the cell an MPMCVar writer keeps between two partial writes.
enum Op { kWrite, kRead, kReadBegin, kCloseRead, kDiscard, kKeptCell };

constexpr QueueKind kSPSC = QueueKind::kSPSC, kMPMC = QueueKind::kMPMC, kVar = QueueKind::kMPMCVar;
// Three cells of 8 bytes; MPMCVar: two channels of two.
const Geometry kMPMCShape{kMPMC, 0, 3, 8}, kVarShape{kVar, 2, 2, 8};

size_t mpmc_next(uint32_t cell) { return kMPMCShape.cells().offset(cell) + Cell::kNextOffset; }
size_t area(uint32_t channel, size_t word) { return kVarShape.channels().offset(channel) + word; }

TEST(DamagedSegment, OutOfRangeWordsThrowAndLeaveTheListLocksFree) {
    const std::string ring = "SPSCQueueCPP: ring index out of range; segment is damaged",
                      list = "MPMCQueueCPP: list index out of range; segment is damaged",
                      channel = "MPMCVarQueueCPP: channel number out of range; segment is damaged",
                      index = "MPMCVarQueueCPP:Channel: ring index out of range; segment is damaged",
                      too_long = ": cell length > cell size; segment is damaged";
    const size_t read_index = offsetof(SPSCHeader, read_index), write_index = offsetof(SPSCHeader, write_index),
                 free_head = offsetof(MPMCHeader, free_head), filled_head = offsetof(MPMCHeader, filled_head),
                 var_free_head = offsetof(MPMCVarHeader, free_word);
    const struct {
        const char* what;
        QueueKind kind;
        int writes;
        size_t at;
        uint64_t value;
        Op op;
        std::string text;
    } cases[] = {
        {"read_index past the ring", kSPSC, 1, read_index, 3, kRead, ring},
        {"read_index negative as int32", kSPSC, 1, read_index, 0xFFFFFFFF, kRead, ring},
        {"write_index past the ring", kSPSC, 0, write_index, 3, kWrite, ring},
        {"write_index negative as int32", kSPSC, 0, write_index, 0xFFFFFFFF, kWrite, ring},
        {"free_head past the cells", kMPMC, 0, free_head, 3, kWrite, list},
        {"free_head empty while the count says free", kMPMC, 0, free_head, kListEnd, kWrite, list},
        {"free cell's next past the cells", kMPMC, 0, mpmc_next(0), 0x12345, kWrite, list},
        {"filled_tail past the cells", kMPMC, 1, offsetof(MPMCHeader, filled_tail), 1000, kWrite, list},
        {"filled_head past the cells", kMPMC, 1, filled_head, 77, kRead, list},
        {"filled_head empty while the count says filled", kMPMC, 1, filled_head, kListEnd, kReadBegin, list},
        {"filled cell's next past the cells", kMPMC, 1, mpmc_next(0), 5000, kRead, list},
        {"free_head damaged while a reader holds a cell", kMPMC, 1, free_head, 0x7FFFFFFF, kCloseRead, list},
        {"free_head damaged while a writer discards", kMPMC, 0, free_head, 3, kDiscard, list},
        {"free head empty while counted", kVar, 0, var_free_head, kListEnd, kWrite, channel},
        {"free top's link past the table", kVar, 0, area(0, offsetof(ChannelAreaLayout, next)), 5, kWrite, channel},
        {"give back onto a bad free head", kVar, 1, var_free_head, 9, kRead, channel},
        {"used head past the table", kVar, 1, offsetof(MPMCVarHeader, used_head), 9, kRead, channel},
        {"used tail past the table", kVar, 1, offsetof(MPMCVarHeader, used_tail), 9, kWrite, channel},
        {"used link past the table", kVar, 2, area(0, offsetof(ChannelAreaLayout, next)), 0x12345, kRead, channel},
        {"read index past the ring", kVar, 1, area(0, offsetof(ChannelAreaLayout, read_index)), 100, kRead, index},
        {"write index past the ring", kVar, 0, area(0, offsetof(ChannelAreaLayout, write_index)), 2, kWrite, index},
        {"cell length past the cell", kVar, 1, kVarShape.ring(area(0, 0)).offset(0) + Cell::kLengthOffset,
         uint64_t{1} << 40, kRead, "MPMCVarQueueCPP:Channel:open_cell_for_read" + too_long},
        {"kept cell's length damaged between partial writes", kVar, 0, 0, 0, kKeptCell,
         "MPMCVarQueueCPP:Channel:partial_write" + too_long},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(kind_name(c.kind)) + ": " + c.what);
        NameGuard guard(unique_name("dmg"));
        const std::unique_ptr<IPCQueueCPP> q(c.kind == kSPSC ? new SPSCQueueCPP(guard.name(), 3, 8, true)
                                             : c.kind == kMPMC
                                                 ? static_cast<IPCQueueCPP*>(new MPMCQueueCPP(guard.name(), 3, 8))
                                                 : new MPMCVarQueueCPP(guard.name(), 2, 2, 8));
        SegmentView view(guard.name());
        ASSERT_TRUE(view.ok());
        for (int i = 0; i < c.writes; ++i) q->write("x", 1);
        const ChildReport r = run_reporting(
            [&] {
                auto* mpmc = dynamic_cast<MPMCQueueCPP*>(q.get());
                Cell* held = c.op == kCloseRead ? mpmc->open_cell_for_read(0)
                             : c.op == kDiscard ? mpmc->open_cell_for_write()
                                                : nullptr;
                if (c.at != 0 && c.value > UINT32_MAX) view.put<uint64_t>(c.at, c.value);
                if (c.at != 0 && c.value <= UINT32_MAX) view.put<uint32_t>(c.at, static_cast<uint32_t>(c.value));
                const std::string got = thrown_text([&] {
                    std::string out;
                    if (c.op == kWrite) q->write("x", 1);
                    if (c.op == kRead) q->read(out, 1000);
                    if (c.op == kReadBegin) q->read_begin();
                    if (c.op == kCloseRead) mpmc->close_cell_after_read(held);
                    if (c.op == kDiscard) mpmc->close_cell_after_write(held, true);
                    if (c.op != kKeptCell) return;
                    Channel& ch = static_cast<MPMCVarQueueCPP&>(*q).open_channel_for_write();
                    ch.partial_write("abc", 3);
                    view.put<uint64_t>(kVarShape.ring(area(0, 0)).offset(0) + Cell::kLengthOffset, 1000);
                    ch.partial_write("def", 3);
                });
                return got == on_queue(c.text, guard.name()) ? "" : got;
            },
            20);
        EXPECT_EQ(r.code, 0) << r.text;
        for (const std::string& sem : queue_sem_names(guard.name(), c.kind, 2))
            if (sem.find("mutex") != std::string::npos) {
                EXPECT_EQ(sem_value(sem), 1) << sem;
            }
    }
}

}  // namespace
}  // namespace mox::ipc_queue
