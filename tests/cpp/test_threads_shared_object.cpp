// Threads of one process sharing one queue object, every kind: each message arrives once and
// intact. Odd cell sizes put MPMCVar's contended free-stack words at unaligned offsets, where
// make test-tsan checks that every access is an atomic one.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <mutex>
#include <numeric>
#include <string>
#include <thread>
#include <vector>

#include "mpmc_queue.h"
#include "mpmcvar_queue.h"
#include "spsc_queue.h"
#include "test_support.h"

namespace mox::ipc_queue {
namespace {

using namespace test;

// "<writer>:<seq>:" then filler up to `length` bytes (at least the prefix).
std::string message(uint32_t writer, uint32_t seq, size_t length) {
    std::string m = std::to_string(writer) + ":" + std::to_string(seq) + ":";
    while (m.size() < length) m.push_back(static_cast<char>('a' + (writer + seq + m.size()) % 26));
    return m;
}

// Message lengths run over 0..max_length (at least the prefix). A reader gives up
// after 1500 empty 20 ms waits, so a lost message fails instead of hanging.
void run_traffic(IPCQueueCPP& q, uint32_t writers, uint32_t readers, uint32_t per_writer, size_t max_length,
                 bool ordered) {
    std::atomic<uint64_t> received{0};
    std::mutex mutex;
    std::vector<std::vector<uint32_t>> seen(writers);  // per writer, in arrival order
    std::string damaged;
    std::vector<std::thread> threads;
    for (uint32_t w = 0; w < writers; ++w)
        threads.emplace_back([&, w] {
            for (uint32_t s = 0; s < per_writer; ++s) {
                const std::string m = message(w, s, (s * 7 + w * 3) % (max_length + 1));
                q.write(m.data(), static_cast<int64_t>(m.size()));
            }
        });
    for (uint32_t r = 0; r < readers; ++r)
        threads.emplace_back([&] {
            std::string out;
            int idle = 0;
            while (received.load() < uint64_t{writers} * per_writer) {
                if (q.read(out, 20) != 0) {
                    if (++idle == 1500) return;
                    continue;
                }
                idle = 0;
                received.fetch_add(1);
                uint32_t w = 0, s = 0;
                const bool intact = std::sscanf(out.c_str(), "%u:%u:", &w, &s) == 2 && w < writers &&
                                    out == message(w, s, out.size());
                std::lock_guard<std::mutex> lock(mutex);
                if (intact)
                    seen[w].push_back(s);
                else
                    damaged = out;
            }
        });
    for (std::thread& th : threads) th.join();

    EXPECT_EQ(received.load(), uint64_t{writers} * per_writer);
    EXPECT_EQ(damaged, "") << "a damaged message";
    std::vector<uint32_t> want(per_writer);
    std::iota(want.begin(), want.end(), 0u);
    for (uint32_t w = 0; w < writers; ++w) {
        if (!ordered) std::sort(seen[w].begin(), seen[w].end());
        EXPECT_EQ(seen[w], want) << "writer " << w;
    }
}

// Cell size 7 leaves channel 1 unaligned (47-byte areas), 8 aligns it; four writers share two channels.
TEST(ThreadsSharedObject, MPMCVarUnalignedAndAlignedChannels) {
    for (uint64_t cell_size : {7u, 8u}) {
        NameGuard guard(unique_name("thr_var"));
        MPMCVarQueueCPP q(guard.name(), 2, 1, cell_size);
        SCOPED_TRACE("cell_size " + std::to_string(cell_size));
        run_traffic(q, 4, 2, 2500, 4 * cell_size, false);
    }
}

TEST(ThreadsSharedObject, FixedCellKinds) {
    const NameGuard mpmc_name(unique_name("thr_mpmc")), spsc_name(unique_name("thr_spsc"));
    MPMCQueueCPP mpmc(mpmc_name.name(), 3, 31);
    run_traffic(mpmc, 4, 2, 2500, 31, false);
    SPSCQueueCPP spsc(spsc_name.name(), 3, 29, true);  // one writer thread, one reader thread
    run_traffic(spsc, 1, 1, 10000, 29, true);
}

}  // namespace
}  // namespace mox::ipc_queue
