// The one traffic harness of the C++ tests and the soak: writers and readers
// on one queue, as threads sharing one object or as processes each with its
// own, moving deterministic messages that a reader regenerates and compares
// whole, and an exactly-once ledger in shared memory (a bit per message: a
// bit found set is a duplicate, one never set a loss; per reader, a writer's
// messages must come in order). Optionally every process gets a storm of
// signals whose handlers return, and readers sample their RSS while
// messages flow.
#pragma once

#include <signal.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <functional>
#include <memory>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "ipc_queue.h"
#include "ipc_queue_exception.h"
#include "test_support.h"

namespace mox::ipc_queue::test {

struct TrafficPlan {
    int writers = 1, readers = 1;
    uint64_t per_writer = 1000;
    uint32_t min_length = 24, max_length = 256;  // bytes, the 24-byte head included
    bool processes = true;                       // false: threads sharing the creator's object
    unsigned signal_rate = 0;                    // rounds of SIGUSR1 + SIGCHLD a second to each process
    bool sample_rss = false;
    int limit_seconds = 120;  // past it, the run counts as hung
    // How a writer puts one message; null: IPCQueueCPP::write.
    std::function<void(IPCQueueCPP&, const std::string& message, uint64_t seq)> write;
};

struct TrafficOutcome {
    uint64_t sent = 0, delivered = 0, duplicates = 0, damaged = 0, out_of_order = 0;
    uint64_t interrupted = 0;  // calls a signal failed before they took anything, made again
    double signals_per_s = 0;  // what each process got
    double seconds = 0;
    std::string failure;  // a process that crashed, threw or hung
    struct Reader {
        uint64_t moved = 0, rss_start = 0, rss_end = 0;
    };
    std::vector<Reader> readers;

    bool clean() const {
        return failure.empty() && delivered == sent && duplicates == 0 && damaged == 0 && out_of_order == 0;
    }
    std::string summary() const {
        return "delivered " + std::to_string(delivered) + " of " + std::to_string(sent) + ", duplicated " +
               std::to_string(duplicates) + ", damaged " + std::to_string(damaged) + ", out of order " +
               std::to_string(out_of_order) + (failure.empty() ? "" : ", " + failure);
    }
};

namespace traffic_detail {

struct Head {
    uint32_t writer, length;  // length: the whole message, head included
    uint64_t seq, check;      // check: the first word of the body's stream
};

inline uint64_t splitmix(uint64_t& state) {
    uint64_t z = (state += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

// Message `seq` of `writer`: its length and every byte follow from the two.
inline void make_message(std::string& buf, const TrafficPlan& p, uint32_t writer, uint64_t seq) {
    uint64_t state = (uint64_t{writer} << 40) ^ (seq * 0x100000001B3ull);
    const auto length = static_cast<uint32_t>(
        std::max<uint64_t>(sizeof(Head), p.min_length + splitmix(state) % (p.max_length - p.min_length + 1)));
    const Head h{writer, length, seq, splitmix(state)};
    buf.resize(length);
    std::memcpy(buf.data(), &h, sizeof h);
    for (size_t i = sizeof h; i < length; i += 8) {
        const uint64_t w = splitmix(state);
        std::memcpy(&buf[i], &w, std::min<size_t>(8, length - i));
    }
}

// In one anonymous shared mapping made before any fork; the bitmap follows.
struct Shared {
    std::atomic<uint32_t> writers_done;
    std::atomic<uint64_t> delivered, duplicates, damaged, out_of_order, interrupted, signal_rounds;
    uint64_t per_writer;
    TrafficOutcome::Reader readers[16];
    std::atomic<uint64_t>* bits() { return reinterpret_cast<std::atomic<uint64_t>*>(this + 1); }
};

inline uint64_t rss_bytes() {
    uint64_t size = 0, resident = 0;  // 0 if unreadable: a failure
    std::ifstream("/proc/self/statm") >> size >> resident;
    return resident * static_cast<uint64_t>(::sysconf(_SC_PAGESIZE));
}

// A call whose wait a signal broke before it took anything fails with EINTR
// and did nothing: made again. Any other failure passes on.
template <class Call>
auto again_if_interrupted(Shared& sh, Call call) {
    static const std::string interrupted = std::string(": ") + std::strerror(EINTR);
    for (;;) {
        try {
            return call();
        } catch (const IPCQueueException& e) {
            const std::string what = e.what();
            if (what.size() < interrupted.size() || what.substr(what.size() - interrupted.size()) != interrupted) throw;
            sh.interrupted.fetch_add(1, std::memory_order_relaxed);
        }
    }
}

inline void write_all(IPCQueueCPP& q, Shared& sh, const TrafficPlan& p, uint32_t writer) {
    std::string buf;
    for (uint64_t seq = 0; seq < sh.per_writer; ++seq) {
        make_message(buf, p, writer, seq);
        again_if_interrupted(sh, [&] { p.write ? p.write(q, buf, seq) : q.write(buf.data(), int64_t(buf.size())); });
    }
    sh.writers_done.fetch_add(1);
}

inline void read_all(IPCQueueCPP& q, Shared& sh, const TrafficPlan& p, int slot) {
    const uint64_t total = sh.per_writer * static_cast<uint64_t>(p.writers);
    const uint64_t warm = total / static_cast<uint64_t>(p.readers) / 100;  // every cell touched by then
    std::vector<int64_t> last(static_cast<size_t>(p.writers), -1);
    std::string msg, expected;
    uint64_t moved = 0, idle = 0;
    auto& stat = sh.readers[slot];
    if (p.sample_rss) {
        // The bitmap is the harness's: its pages are mapped in now, so that
        // marking bits later does not count as growth (the sum keeps the loads).
        for (uint64_t w = 0; w < (total + 63) / 64; w += 512) stat.moved += sh.bits()[w].load();
        if (total > 0) stat.moved += sh.bits()[(total - 1) / 64].load();
        stat.rss_start = rss_bytes();
    }
    while (sh.delivered.load(std::memory_order_relaxed) < total) {
        // A read made again waits only for what is left of its 200 ms; once
        // every writer is done, five empty reads end a reader.
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(200);
        const auto left_ms = [&] {
            const auto left = deadline - std::chrono::steady_clock::now();
            return uint32_t(std::max<int64_t>(1, std::chrono::duration_cast<std::chrono::milliseconds>(left).count()));
        };
        if (again_if_interrupted(sh, [&] { return q.read(msg, left_ms()); }) != 0) {
            if (sh.writers_done.load() == static_cast<uint32_t>(p.writers) && ++idle >= 5) break;
            continue;
        }
        idle = 0;
        Head h{};
        if (msg.size() < sizeof h || (std::memcpy(&h, msg.data(), sizeof h), h.writer >= uint32_t(p.writers)) ||
            h.seq >= sh.per_writer || (make_message(expected, p, h.writer, h.seq), expected != msg)) {
            sh.damaged.fetch_add(1);
            continue;
        }
        if (static_cast<int64_t>(h.seq) <= last[h.writer]) sh.out_of_order.fetch_add(1);
        last[h.writer] = static_cast<int64_t>(h.seq);
        const uint64_t bit = h.writer * sh.per_writer + h.seq, mask = uint64_t{1} << (bit % 64);
        (sh.bits()[bit / 64].fetch_or(mask) & mask ? sh.duplicates : sh.delivered).fetch_add(1);
        // Sampled while messages flow: idle reads at the end fault in code pages of their own.
        if (++moved; p.sample_rss && warm > 0 && moved % warm == 0) {
            stat.rss_end = rss_bytes();
            if (moved == warm) stat.rss_start = stat.rss_end;
        }
    }
    stat.moved = moved;
    if (p.sample_rss && (moved < warm || warm == 0)) stat.rss_end = rss_bytes();
}

}  // namespace traffic_detail

// Runs `plan` on the queue `creator` made; `connect` opens another object on
// it (processes). SPSC: its one writer uses the creator's object, its
// reader connects. Children leave their objects to _exit, so no destructor
// removes the names before every peer has connected.
inline TrafficOutcome run_traffic(IPCQueueCPP& creator, const std::function<IPCQueueCPP*()>& connect,
                                  const TrafficPlan& p) {
    using namespace traffic_detail;
    TrafficOutcome out;
    out.sent = p.per_writer * static_cast<uint64_t>(p.writers);
    const size_t shared_size = sizeof(Shared) + (out.sent + 63) / 64 * sizeof(uint64_t);
    void* mem = ::mmap(nullptr, shared_size, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    if (mem == MAP_FAILED) return out.failure = "no shared ledger", out;
    Shared& sh = *new (mem) Shared();  // the mapping reads as zeros
    sh.per_writer = p.per_writer;
    const auto t0 = std::chrono::steady_clock::now();
    if (p.processes) {
        struct sigaction storm{}, old_usr1{}, old_chld{};
        storm.sa_handler = [](int) {};  // returns; no SA_RESTART, so every wait it lands in sees EINTR
        if (p.signal_rate > 0) {        // inherited by every child
            ::sigaction(SIGUSR1, &storm, &old_usr1);
            ::sigaction(SIGCHLD, &storm, &old_chld);
        }
        // Every peer is joined by one deadline; one past it is killed as hung.
        std::vector<std::unique_ptr<ScopedChild>> peers;
        for (int r = 0; r < p.readers; ++r)
            peers.push_back(
                std::make_unique<ScopedChild>([&] { return read_all(*connect(), sh, p, r), std::string(); }));
        for (int w = 0; w < p.writers; ++w)
            peers.push_back(std::make_unique<ScopedChild>(
                [&] { return write_all(creator.is_spsc_queue() ? creator : *connect(), sh, p, w), std::string(); }));
        std::unique_ptr<ScopedChild> signaller;
        if (p.signal_rate > 0)
            signaller = std::make_unique<ScopedChild>([&]() -> std::string {
                for (const timespec pause{0, static_cast<long>(1000000000 / p.signal_rate)};;
                     ::nanosleep(&pause, nullptr)) {
                    for (const auto& peer : peers) ::kill(peer->pid(), SIGUSR1), ::kill(peer->pid(), SIGCHLD);
                    sh.signal_rounds.fetch_add(1, std::memory_order_relaxed);
                }
            });
        for (size_t i = 0; i < peers.size() && out.failure.empty(); ++i) {
            const auto left = t0 + std::chrono::seconds(p.limit_seconds) - std::chrono::steady_clock::now();
            const ChildReport r =
                peers[i]->join(int(std::chrono::duration_cast<std::chrono::seconds>(left).count()) + 1);
            if (r.code != 0)
                out.failure = "process " + std::to_string(i) + (r.code == -1 ? " hung" : " failed") + ": " + r.text;
        }
        peers.clear(), signaller.reset();  // kills any still running: a failed peer can leave them blocked for ever
        if (p.signal_rate > 0) ::sigaction(SIGUSR1, &old_usr1, nullptr), ::sigaction(SIGCHLD, &old_chld, nullptr);
    } else {
        std::vector<std::thread> threads;
        for (int r = 0; r < p.readers; ++r) threads.emplace_back([&, r] { read_all(creator, sh, p, r); });
        for (int w = 0; w < p.writers; ++w) threads.emplace_back([&, w] { write_all(creator, sh, p, w); });
        for (std::thread& t : threads) t.join();
    }
    out.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    out.delivered = sh.delivered, out.duplicates = sh.duplicates, out.damaged = sh.damaged;
    out.out_of_order = sh.out_of_order, out.interrupted = sh.interrupted;
    out.signals_per_s = double(sh.signal_rounds.load()) / out.seconds;
    out.readers.assign(sh.readers, sh.readers + p.readers);
    ::munmap(mem, shared_size);
    return out;
}

}  // namespace mox::ipc_queue::test
