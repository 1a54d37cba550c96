// Writers and readers at once, every kind, in processes and in threads
// sharing one object, through the one traffic harness (traffic.h): each
// message arrives exactly once and whole, each writer's in order, and then
// the queue's own report finds nothing (every cell, channel and count back).
#include <gtest/gtest.h>

#include <random>

#include "mpmc_queue.h"
#include "mpmcvar_queue.h"
#include "spsc_queue.h"
#include "test_support.h"
#include "traffic.h"

namespace mox::ipc_queue {
namespace {

using namespace test;

template <class Queue, class... Args>
void expect_clean_traffic(TrafficPlan p, const std::string& tag, Args... create_args) {
    for (const bool processes : {true, false}) {
        SCOPED_TRACE(processes ? "processes" : "threads");
        NameGuard guard(unique_name(tag));
        Queue q(guard.name(), create_args...);
        p.processes = processes;
        const TrafficOutcome out = run_traffic(q, [&] { return new Queue(guard.name()); }, p);
        EXPECT_TRUE(out.clean()) << out.summary();
        EXPECT_EQ(q.report().findings, std::vector<std::string>{});
    }
}

TEST(Traffic, SPSCOneWriterOneReader) {
    TrafficPlan p;
    p.per_writer = 20000;
    p.max_length = 29;
    expect_clean_traffic<SPSCQueueCPP>(p, "traffic_spsc", 3, 29, true);
}

// Cell size 13 puts the cell headers at unaligned offsets; now and then a
// writer discards a cell (through the cell calls) that no reader may see.
TEST(Traffic, MPMCFourByFourWithDiscards) {
    TrafficPlan p;
    p.writers = p.readers = 4;
    p.per_writer = 10000;
    p.max_length = 13 + 16;  // just right for the cell: the head is 24 of it
    p.min_length = 24;
    p.write = [](IPCQueueCPP& base, const std::string& m, uint64_t seq) {
        auto& q = static_cast<MPMCQueueCPP&>(base);
        if (seq % 97 == 0) {
            Cell* poison = q.open_cell_for_write();
            poison->set_length(0);
            q.close_cell_after_write(poison, true);
        }
        Cell* cell = q.open_cell_for_write();
        cell->set_length(m.size());
        std::memcpy(cell->data(), m.data(), m.size());
        q.close_cell_after_write(cell, false);
    };
    expect_clean_traffic<MPMCQueueCPP>(p, "traffic_mpmc", 8, 13 + 16);
}

// Four writers and four readers through two channels, taken and given back
// constantly, so a channel handed to two writers at once (an ABA slip in the
// free stack) shows. Writers build messages from pieces of random sizes.
// Cell size 7 leaves channel 1's words unaligned, 8 aligns them.
TEST(Traffic, MPMCVarInPiecesThroughTwoChannels) {
    for (const uint64_t cell_size : {7u, 8u}) {
        SCOPED_TRACE("cell_size " + std::to_string(cell_size));
        TrafficPlan p;
        p.writers = p.readers = 4;
        p.per_writer = 2500;
        p.max_length = 4 * cell_size + 30;
        p.write = [](IPCQueueCPP& base, const std::string& m, uint64_t seq) {
            auto& q = static_cast<MPMCVarQueueCPP&>(base);
            std::minstd_rand rng(static_cast<uint32_t>(seq) + 1);
            Channel& ch = q.open_channel_for_write();
            for (size_t done = 0, n = 0; done < m.size(); done += n) {
                n = std::min<size_t>(m.size() - done, rng() % (3 * ch.cell_size + 1));
                (seq & 1) ? ch.write(m.data() + done, static_cast<int64_t>(n))
                          : ch.partial_write(m.data() + done, static_cast<int64_t>(n));
            }
            (seq & 2) ? q.close_channel_after_write(ch) : ch.partial_write_complete();
        };
        expect_clean_traffic<MPMCVarQueueCPP>(p, "traffic_var", 2, 1, cell_size);
    }
}

}  // namespace
}  // namespace mox::ipc_queue
