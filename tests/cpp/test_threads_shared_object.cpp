// Threads of one process sharing one queue object, for every kind: each
// message arrives exactly once and intact. Channel areas of odd-sized cells
// lie at unaligned offsets, so the variable-length queue's free stack then
// reads and writes unaligned `next` words while other threads race on them;
// under ThreadSanitizer (make test-tsan) these runs check that every such
// access is an atomic one.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "ipc_queue_exception.h"
#include "mpmc_queue.h"
#include "mpmcvar_queue.h"
#include "spsc_queue.h"
#include "test_support.h"

namespace mox::ipc_queue {
namespace {

using test::NameGuard;
using test::unique_name;

// "<writer>:<seq>:" then filler up to `length` bytes (at least the prefix).
std::string message(uint32_t writer, uint32_t seq, size_t length) {
    std::string m = std::to_string(writer) + ":" + std::to_string(seq) + ":";
    while (m.size() < length) m.push_back(static_cast<char>('a' + (writer + seq + m.size()) % 26));
    return m;
}

struct Traffic {
    uint32_t writers;
    uint32_t readers;
    uint32_t per_writer;
    size_t max_length;  // messages are 0..max_length bytes past their prefix bound
};

// Runs the traffic over `q` and checks what the readers got. A reader gives
// up after 30 s without any message, so a lost message fails the test
// instead of hanging it.
void run_traffic(IPCQueueCPP& q, const Traffic& t, bool ordered) {
    const uint64_t total = uint64_t{t.writers} * t.per_writer;
    std::atomic<uint64_t> received{0};
    std::mutex mutex;
    std::vector<std::vector<uint32_t>> seen(t.writers);  // per writer, in arrival order
    std::vector<std::string> problems;

    std::vector<std::thread> threads;
    for (uint32_t w = 0; w < t.writers; ++w)
        threads.emplace_back([&, w] {
            for (uint32_t s = 0; s < t.per_writer; ++s) {
                const std::string m = message(w, s, (s * 7 + w * 3) % (t.max_length + 1));
                q.write(m.data(), static_cast<int64_t>(m.size()));
            }
        });
    for (uint32_t r = 0; r < t.readers; ++r)
        threads.emplace_back([&] {
            std::string out;
            auto last = std::chrono::steady_clock::now();
            while (received.load() < total) {
                if (q.read(out, 20) != 0) {
                    if (std::chrono::steady_clock::now() - last > std::chrono::seconds(30)) return;
                    continue;
                }
                last = std::chrono::steady_clock::now();
                received.fetch_add(1);
                uint32_t w = 0, s = 0;
                const bool parsed = std::sscanf(out.c_str(), "%u:%u:", &w, &s) == 2 && w < t.writers;
                std::lock_guard<std::mutex> lock(mutex);
                if (!parsed || out != message(w, s, out.size())) {
                    problems.push_back("damaged message [" + out + "]");
                    continue;
                }
                seen[w].push_back(s);
            }
        });
    for (std::thread& th : threads) th.join();

    EXPECT_EQ(received.load(), total);
    EXPECT_TRUE(problems.empty()) << problems.front();
    for (uint32_t w = 0; w < t.writers; ++w) {
        std::vector<uint32_t> got = seen[w];
        if (!ordered) std::sort(got.begin(), got.end());
        std::vector<uint32_t> want(t.per_writer);
        for (uint32_t s = 0; s < t.per_writer; ++s) want[s] = s;
        EXPECT_EQ(got, want) << "writer " << w;
    }
}

TEST(ThreadsSharedObject, MPMCVarUnalignedAndAlignedChannels) {
    // cell_size 7: 1 * (7 + 16) + 24 = 47-byte channel areas, so channel 1's
    // words are unaligned; 8 gives 48-byte, aligned areas. Two channels for
    // four writers keep the free stack contended; messages span up to 4 cells.
    for (uint64_t cell_size : {7u, 5u, 8u}) {
        NameGuard guard(unique_name("thr_var"));
        MPMCVarQueueCPP q(guard.name(), 2, 1, cell_size);
        SCOPED_TRACE("cell_size " + std::to_string(cell_size));
        run_traffic(q, {4, 2, 2500, 4 * cell_size}, false);
    }
}

TEST(ThreadsSharedObject, MPMCFixedCells) {
    NameGuard guard(unique_name("thr_mpmc"));
    MPMCQueueCPP q(guard.name(), 3, 31);
    run_traffic(q, {4, 2, 2500, 31}, false);
}

TEST(ThreadsSharedObject, SPSCOneWriterThreadOneReaderThread) {
    NameGuard guard(unique_name("thr_spsc"));
    SPSCQueueCPP q(guard.name(), 3, 29, true);
    run_traffic(q, {1, 1, 10000, 29}, true);
}

}  // namespace
}  // namespace mox::ipc_queue
