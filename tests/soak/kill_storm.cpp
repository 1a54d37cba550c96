// Random SIGKILLs over a running stream: writers and readers of one MPMC or
// MPMCVar queue are killed at random instants and replaced, over and over.
// Every message delivered must be whole and delivered once; a message whose
// write returned may be missing only for a reader killed while it held it
// (at most one per reader kill); the stream never stops for longer than
// --stall-ms; afterwards the queue's whole capacity takes new messages.
// SPSC: a killed peer ends its stream, so each kill is a round of its own
// (see run_spsc).
//
// Usage: kill_storm --kind spsc|mpmc|mpmcvar [--kills N] [--seed S] [--stall-ms M]
#include <signal.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "mpmc_queue.h"
#include "mpmcvar_queue.h"
#include "spsc_queue.h"
#include "traffic.h"

using namespace mox::ipc_queue;
using namespace mox::ipc_queue::test;
using Clock = std::chrono::steady_clock;

namespace {

constexpr uint64_t kPerWriter = 2048;  // a writer that gets through them all ends; a new one takes its place
constexpr int kWriters = 2, kReaders = 2;

struct Ledger {
    std::atomic<uint64_t> delivered, duplicates, damaged, abandoned;
    std::atomic<uint32_t> next_writer;  // the id the next writer takes
    std::atomic<uint32_t> stop;
    uint32_t max_writers;
    std::atomic<uint64_t>* written() { return reinterpret_cast<std::atomic<uint64_t>*>(this + 1); }
    std::atomic<uint64_t>* bits() { return written() + max_writers; }
};

struct Options {
    bool spsc = false;
    bool var = false;
    long kills = 300;
    uint64_t seed = std::random_device{}();
    long stall_ms = 1000;
};

std::unique_ptr<IPCQueueCPP> connect(const Options& o, const std::string& name) {
    if (o.var) return std::make_unique<MPMCVarQueueCPP>(name);
    return std::make_unique<MPMCQueueCPP>(name);
}

TrafficPlan plan(const Options& o) {
    TrafficPlan p;
    p.max_length = o.var ? 600 : 200;  // MPMCVar: messages of up to three rings, killed inside them
    return p;
}

void writer(const Options& o, const std::string& name, Ledger& l) {
    auto q = connect(o, name);
    const TrafficPlan p = plan(o);
    std::string buf;
    while (!l.stop.load()) {
        const uint32_t id = l.next_writer.fetch_add(1);
        if (id >= l.max_writers) break;
        for (uint64_t seq = 0; seq < kPerWriter && !l.stop.load(); ++seq) {
            traffic_detail::make_message(buf, p, id, seq);
            // Timed, so that a writer ends once told to even with no reader left.
            try {
                while (!write_within(*q, buf, Timeout::within_ns(100'000'000)))
                    if (l.stop.load()) return;
            } catch (const MessageAbandoned&) {
                continue;  // its reader was killed inside it: lost with that reader
            }
            l.written()[id].store(seq + 1);
        }
    }
}

// read(): a message whose writer was killed inside it is abandoned (MPMCVar
// raises for it); it is the dead writer's own message, counted apart.
int read_passing_over(IPCQueueCPP& q, std::string& msg, Ledger& l) {
    try {
        return q.read(msg, 100);
    } catch (const IPCQueueException& e) {
        if (std::strstr(e.what(), "abandoned by its writer") == nullptr) throw;
        l.abandoned.fetch_add(1);
        return -1;
    }
}

// One message (or abandoned one) read and checked into the ledger; false
// when none came within 100 ms.
bool take_one(IPCQueueCPP& q, Ledger& l, const TrafficPlan& p, std::string& msg, std::string& expected) {
    const int got = read_passing_over(q, msg, l);
    if (got != 0) return got < 0;
    traffic_detail::Head h{};
    if (msg.size() < sizeof h || (std::memcpy(&h, msg.data(), sizeof h), h.writer >= l.max_writers) ||
        h.seq >= kPerWriter || (traffic_detail::make_message(expected, p, h.writer, h.seq), expected != msg)) {
        l.damaged.fetch_add(1);
        return true;
    }
    const uint64_t bit = h.writer * kPerWriter + h.seq, mask = uint64_t{1} << (bit % 64);
    (l.bits()[bit / 64].fetch_or(mask) & mask ? l.duplicates : l.delivered).fetch_add(1);
    return true;
}

void reader(const Options& o, const std::string& name, Ledger& l) {
    auto q = connect(o, name);
    const TrafficPlan p = plan(o);
    std::string msg, expected;
    while (take_one(*q, l, p, msg, expected) || !l.stop.load()) {
    }
}

pid_t spawn(bool is_writer, const Options& o, const std::string& name, Ledger& l) {
    const pid_t pid = ::fork();
    if (pid != 0) return pid;
    try {
        is_writer ? writer(o, name, l) : reader(o, name, l);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s: %s\n", is_writer ? "writer" : "reader", e.what());
        ::_exit(1);
    }
    ::_exit(0);
}

int run(const Options& o) {
    const std::string name = unique_name(o.var ? "killvar" : "killmpmc");
    NameGuard guard(name);
    const std::unique_ptr<IPCQueueCPP> q(o.var ? static_cast<IPCQueueCPP*>(new MPMCVarQueueCPP(name, 3, 4, 64, {true}))
                                               : new MPMCQueueCPP(name, 8, 256, {true}));
    const int64_t capacity = o.var ? 3 : 8;

    const uint32_t max_writers = static_cast<uint32_t>(o.kills) + 4 * kWriters + 64;
    const size_t bytes = sizeof(Ledger) + max_writers * 8 + (uint64_t{max_writers} * kPerWriter + 63) / 64 * 8;
    void* mem = ::mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    if (mem == MAP_FAILED) return std::perror("mmap"), 2;
    Ledger& l = *new (mem) Ledger();
    l.max_writers = max_writers;

    std::mt19937_64 rng(o.seed);
    std::vector<std::pair<pid_t, bool>> live;  // pid, is a writer
    for (int i = 0; i < kWriters + kReaders; ++i) live.emplace_back(spawn(i < kWriters, o, name, l), i < kWriters);
    long kills = 0, reader_kills = 0, failures = 0, stalls = 0;
    uint64_t last_delivered = 0;
    auto progressed = Clock::now();
    long worst_gap_ms = 0;
    const auto started = Clock::now();
    while (kills < o.kills) {
        std::this_thread::sleep_for(std::chrono::microseconds(rng() % 3000));
        const uint64_t d = l.delivered.load();
        const auto now = Clock::now();
        const long gap = std::chrono::duration_cast<std::chrono::milliseconds>(now - progressed).count();
        if (d != last_delivered) {
            worst_gap_ms = std::max(worst_gap_ms, gap);
            last_delivered = d, progressed = now;
        } else if (gap > o.stall_ms) {
            ++stalls;
            std::printf("stall: nothing delivered for %ld ms after %ld kills\n", gap, kills);
        }
        const size_t i = rng() % live.size();
        // A child that ended by itself (its writers' ids ran out) is replaced too.
        ::kill(live[i].first, SIGKILL);
        int status = 0;
        ::waitpid(live[i].first, &status, 0);
        if (WIFEXITED(status) && WEXITSTATUS(status) != 0) ++failures;
        ++kills;
        reader_kills += !live[i].second;
        live[i].first = spawn(live[i].second, o, name, l);
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - started).count();
    l.stop.store(1);
    for (auto& [pid, is_writer] : live) {
        int status = 0;
        ::waitpid(pid, &status, 0);
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) ++failures;
    }
    // What the last readers left (a dead writer's abandoned message among it) is theirs.
    std::string msg, expected;
    while (take_one(*q, l, plan(o), msg, expected)) {
    }
    // Published, never delivered: only what a killed reader held.
    uint64_t lost = 0;
    const uint32_t writers_used = std::min(l.next_writer.load(), max_writers);
    for (uint32_t w = 0; w < writers_used; ++w)
        for (uint64_t s = 0; s < l.written()[w].load(); ++s) {
            const uint64_t bit = w * kPerWriter + s;
            lost += !(l.bits()[bit / 64].load() >> (bit % 64) & 1);
        }
    // The whole capacity comes back: no reader now, every cell (channel) takes a message.
    const Timeout patience = Timeout::within_ns(5'000'000'000);
    int64_t room = 0;
    while (room < capacity && write_within(*q, "x", patience)) ++room;
    const std::vector<std::string> findings = q->report().findings;
    std::string out;
    int64_t left = 0;
    while (read_passing_over(*q, out, l) == 0) ++left;
    for (const std::string& f : findings) std::printf("finding: %s\n", f.c_str());
    std::printf(
        "%s: %ld kills (%ld readers) in %.1f s, seed %lu: delivered %lu, duplicated %lu, damaged %lu, abandoned %lu, "
        "lost %lu, stalls %ld (worst gap %ld ms), capacity %ld of %ld, child failures %ld\n",
        o.var ? "mpmcvar" : "mpmc", kills, reader_kills, seconds, o.seed, l.delivered.load(), l.duplicates.load(),
        l.damaged.load(), l.abandoned.load(), lost, stalls, worst_gap_ms, left, capacity, failures);
    const bool ok = l.duplicates == 0 && l.damaged == 0 && lost <= static_cast<uint64_t>(reader_kills) && stalls == 0 &&
                    room == capacity && left == capacity && findings.empty() && failures == 0;
    ::munmap(mem, bytes);
    return ok ? 0 : 1;
}

// SPSC rounds, side by side in kLanes processes. In each, a new queue joins
// the lane (the survivor) and a child (the victim) that writes or reads a
// stream and is killed at a random instant. The survivor must take every
// message the victim's writes returned for, whole, in order and once, and
// then its call must raise "the peer process died" within --stall-ms.
constexpr int kLanes = 16;

struct SpscTally {
    std::atomic<uint64_t> delivered, damaged, missing, late, wrong;
    std::atomic<long> worst_ms;
    std::atomic<uint64_t> written[kLanes];  // by the current round's victim writer of each lane
};

void spsc_round(const Options& o, std::mt19937_64& rng, int lane, SpscTally& t) {
    NameGuard guard(unique_name("killspsc"));
    SPSCQueueCPP q(guard.name(), 8, 64, true);
    const bool victim_writes = rng() & 1;
    const TrafficPlan p = [] {
        TrafficPlan plan;
        plan.max_length = 64;
        return plan;
    }();
    t.written[lane].store(0);
    int ready[2];
    if (::pipe(ready) != 0) throw std::runtime_error("pipe");
    const pid_t victim = ::fork();
    if (victim == 0) {
        try {
            SPSCQueueCPP peer(guard.name());
            if (::write(ready[1], "r", 1) != 1) ::_exit(1);
            std::string buf;
            for (uint64_t seq = 0;; ++seq) {
                if (!victim_writes) {
                    peer.read(buf, 0);
                    continue;
                }
                traffic_detail::make_message(buf, p, 0, seq);
                peer.write(buf.data(), static_cast<int64_t>(buf.size()));
                t.written[lane].store(seq + 1);
            }
        } catch (...) {
        }
        ::_exit(1);
    }
    ::close(ready[1]);
    char c = 0;
    const bool joined = ::read(ready[0], &c, 1) == 1;
    ::close(ready[0]);
    if (!joined) {
        ::waitpid(victim, nullptr, 0);
        t.wrong.fetch_add(1);
        return;
    }
    const auto kill_at = Clock::now() + std::chrono::microseconds(rng() % 3000);
    Clock::time_point killed_at{};
    const Timeout slice = Timeout::within_ns(1'000'000), bound = Timeout::within_ns(o.stall_ms * 1'000'000);
    std::string buf, msg;
    uint64_t seq = 0;
    try {
        for (bool killed = false; !killed || Clock::now() - killed_at < std::chrono::milliseconds(o.stall_ms);) {
            if (!killed && Clock::now() >= kill_at) {
                ::kill(victim, SIGKILL);
                ::waitpid(victim, nullptr, 0);
                killed = true;
                killed_at = Clock::now();
            }
            traffic_detail::make_message(buf, p, 0, seq);
            if (victim_writes ? q.read(msg, killed ? bound : slice) != 0
                              : !write_within(q, buf, killed ? bound : slice))
                continue;
            if (victim_writes) (msg == buf ? t.delivered : t.damaged).fetch_add(1);
            ++seq;
        }
        t.late.fetch_add(1);  // no word from a dead peer
    } catch (const IPCQueueException& e) {
        const long ms = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - killed_at).count();
        if (killed_at == Clock::time_point{} || std::strstr(e.what(), "peer process died") == nullptr) {
            std::printf("lane %d: %s\n", lane, e.what());
            t.wrong.fetch_add(1);
        }
        for (long w = t.worst_ms.load(); ms > w && !t.worst_ms.compare_exchange_weak(w, ms);) {
        }
        // Every write that returned is read (one more may have been published, not counted).
        if (const uint64_t w = t.written[lane].load(); victim_writes && seq < w) t.missing.fetch_add(w - seq);
    }
}

int run_spsc(const Options& o) {
    void* mem = ::mmap(nullptr, sizeof(SpscTally), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    if (mem == MAP_FAILED) return std::perror("mmap"), 2;
    SpscTally& t = *new (mem) SpscTally();
    const auto started = Clock::now();
    std::vector<pid_t> lanes;
    for (int lane = 0; lane < kLanes; ++lane) {
        const pid_t pid = ::fork();
        if (pid == 0) {
            std::mt19937_64 rng(o.seed + static_cast<uint64_t>(lane));
            try {
                for (long r = lane; r < o.kills; r += kLanes) spsc_round(o, rng, lane, t);
            } catch (const std::exception& e) {
                std::printf("lane %d failed: %s\n", lane, e.what());
                std::fflush(stdout);
                ::_exit(1);
            }
            std::fflush(stdout);
            ::_exit(0);
        }
        lanes.push_back(pid);
    }
    long failures = 0;
    for (pid_t pid : lanes) {
        int status = 0;
        ::waitpid(pid, &status, 0);
        failures += !WIFEXITED(status) || WEXITSTATUS(status) != 0;
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - started).count();
    std::printf(
        "spsc: %ld kills in %.1f s, seed %lu: delivered %lu, damaged %lu, missing %lu, wrong errors %lu, "
        "no word within %ld ms %lu (worst %ld ms), lane failures %ld\n",
        o.kills, seconds, o.seed, t.delivered.load(), t.damaged.load(), t.missing.load(), t.wrong.load(), o.stall_ms,
        t.late.load(), t.worst_ms.load(), failures);
    const bool ok = t.damaged == 0 && t.missing == 0 && t.wrong == 0 && t.late == 0 && failures == 0;
    ::munmap(mem, sizeof(SpscTally));
    return ok ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    Options o;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string a = argv[i];
        if (a == "--kind")
            o.var = std::string(argv[i + 1]) == "mpmcvar", o.spsc = std::string(argv[i + 1]) == "spsc";
        else if (a == "--kills")
            o.kills = std::atol(argv[i + 1]);
        else if (a == "--seed")
            o.seed = std::strtoull(argv[i + 1], nullptr, 10);
        else if (a == "--stall-ms")
            o.stall_ms = std::atol(argv[i + 1]);
        else
            return std::fprintf(stderr,
                                "usage: kill_storm --kind spsc|mpmc|mpmcvar [--kills N] [--seed S] [--stall-ms M]\n"),
                   2;
    }
    try {
        return o.spsc ? run_spsc(o) : run(o);  // NameGuards remove the names however it ends
    } catch (const std::exception& e) {
        std::printf("failed: %s\n", e.what());
        return 1;
    }
}
