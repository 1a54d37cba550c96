// Round-trip latency between two processes by ping-pong: the parent sends a
// message, the child echoes it, the parent times each round trip. Through
// SPSCQueueCPP and MPMCQueueCPP pairs, and beside them the limit (two bare
// named semaphores, no payload), the bare ring protocol, a pipe and Boost's
// message_queue. Also what waiting costs while nothing arrives. Each run is
// a child of its own (isolated()), so a system that fails or hangs is
// reported and left out while the rest go on.
#include <time.h>

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "bare_ring.h"
#include "bare_semaphores.h"
#include "our_queues.h"
#include "pair_runs.h"
#include "peers.h"
#include "processes.h"
#include "program.h"
#include "report.h"
#include "semaphore_wait.h"

using mox::ipc_queue::MPMCQueueCPP;
using mox::ipc_queue::SPSCQueueCPP;
namespace b = mox::bench;

namespace {

const char kUsage[] =
    "usage: latency_bench [--runs R] [--timeout S] [--round-trips N] [--size BYTES] [--systems LIST]\n"
    "  Ping-pong between two processes, N round trips per run (default 20000,\n"
    "  after 1000 untimed), messages of BYTES (default 64); p50 and p99 per run,\n"
    "  reported as medians over R runs (default 5). --systems: comma-separated,\n"
    "  from sem (two named semaphores, sem_wait only), sem-spin (the same, polling\n"
    "  up to kWaitSpinNs before sem_wait), spsc, mpmc, bare, pipe, boost, idle (CPU time\n"
    "  a reader spends waiting 200 ms for a message that comes late).\n"
    "  Default: all. A system whose run fails or outlives S seconds (default 60) is\n"
    "  reported as failed and left out; the exit status is then 1.\n";

constexpr uint64_t kWarmup = 1000;

template <class T>
struct Ends {
    std::unique_ptr<T> first, second;
};

b::RoundTrips sem_once(int64_t spin_ns, uint64_t n, unsigned timeout_s) {
    const b::SemPair pair(b::queue_name("sem"), true);
    sem_t* ping = pair.sem_[0];
    sem_t* pong = pair.sem_[1];
    return b::ping_pong_once(
        [&] {
            return Ends<b::SemEnd>{std::make_unique<b::SemEnd>(b::SemEnd{ping, pong, spin_ns}),
                                   std::make_unique<b::SemEnd>(b::SemEnd{ping, pong, spin_ns})};
        },
        [&](Ends<b::SemEnd>&) {
            // The child waits on ping and posts pong: first end reads, second writes.
            return Ends<b::SemEnd>{std::make_unique<b::SemEnd>(b::SemEnd{pong, ping, spin_ns}),
                                   std::make_unique<b::SemEnd>(b::SemEnd{pong, ping, spin_ns})};
        },
        0, n, kWarmup, timeout_s);
}

// Two channels of one kind, one per direction, made by name in the parent
// and connected by name in the child.
template <class End, class Create, class Connect>
b::RoundTrips named_pair_once(const char* kind, Create create, Connect connect, uint64_t payload, uint64_t n,
                              unsigned timeout_s) {
    const std::string to_child = b::queue_name(kind), to_parent = b::queue_name(kind);
    return b::ping_pong_once([&] { return Ends<End>{create(to_child), create(to_parent)}; },
                             [&](Ends<End>&) { return Ends<End>{connect(to_child), connect(to_parent)}; }, payload, n,
                             kWarmup, timeout_s);
}

b::RoundTrips pipe_once(uint64_t payload, uint64_t n, unsigned timeout_s) {
    return b::ping_pong_once(
        [&] {
            return Ends<b::PipeChannel>{std::make_unique<b::PipeChannel>(payload),
                                        std::make_unique<b::PipeChannel>(payload)};
        },
        [&](Ends<b::PipeChannel>& parent) {
            // The parent writes into its first pipe and reads from its second.
            return std::make_pair(std::make_unique<b::PipeChannel>(*parent.first, true), parent.second.get());
        },
        payload, n, kWarmup, timeout_s);
}

// CPU time a reader spends in a read that waits `wait_ms` for its message:
// what waiting costs when nothing arrives.
double idle_cpu_us(unsigned wait_ms, unsigned timeout_s) {
    const std::string name = b::queue_name("idle");
    auto q = std::make_unique<SPSCQueueCPP>(name, 16, 64, true);
    b::Children children;
    b::Pipe results;
    const pid_t child = children.spawn(
        [&]() {
            results.close_read();
            SPSCQueueCPP reader(name);
            char buffer[64];
            int64_t len = 0;
            timespec t0{}, t1{};
            ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t0);
            reader.read(buffer, sizeof buffer, len, 0);
            ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t1);
            const double us = (t1.tv_sec - t0.tv_sec) * 1e6 + (t1.tv_nsec - t0.tv_nsec) * 1e-3;
            results.write_all(&us, sizeof us);
            return 0;
        },
        timeout_s + 10);
    results.close_write();
    b::Watchdog watchdog(timeout_s);
    ::usleep(wait_ms * 1000);
    const char msg[64] = {};
    q->write(msg, sizeof msg);
    double us = 0;
    if (!results.read_all(&us, sizeof us)) b::fail("idle reader sent no report");
    children.wait(child);
    return us;
}

// One of our fixed-cell queues per direction, made with (name, args...) and
// connected with (name).
template <class Queue, class... Args>
b::RoundTrips fixed_cell_once(const char* kind, uint64_t payload, uint64_t n, unsigned timeout_s, Args... args) {
    using End = b::FixedCellEnd<Queue>;
    const auto create = [=](const std::string& name) {
        return std::make_unique<End>(End{std::make_unique<Queue>(name, args...)});
    };
    const auto connect = [](const std::string& name) {
        return std::make_unique<End>(End{std::make_unique<Queue>(name)});
    };
    return named_pair_once<End>(kind, create, connect, payload, n, timeout_s);
}

// One run of a round-trip system.
using Once = std::function<b::RoundTrips(uint64_t payload, uint64_t n, unsigned timeout_s)>;

struct System {
    const char* label;
    bool payload_free;  // the bare semaphores move no payload
    Once once;
};

std::map<std::string, System> all_systems() {
    const int64_t spin = mox::ipc_queue::kWaitSpinNs;
    std::map<std::string, System> s;
    s["sem"] = {"C++ bare semaphores, sem_wait only", true,
                [](uint64_t, uint64_t n, unsigned t) { return sem_once(0, n, t); }};
    if (spin > 0) {  // else the same as sem
        s["sem-spin"] = {"C++ bare semaphores, poll then sem_wait", true,
                         [spin](uint64_t, uint64_t n, unsigned t) { return sem_once(spin, n, t); }};
    }
    s["spsc"] = {"C++ SPSCQueueCPP", false, [](uint64_t payload, uint64_t n, unsigned t) {
                     return fixed_cell_once<SPSCQueueCPP>("lspsc", payload, n, t, int64_t{16},
                                                          static_cast<int64_t>(payload), true);
                 }};
    s["mpmc"] = {"C++ MPMCQueueCPP", false, [](uint64_t payload, uint64_t n, unsigned t) {
                     return fixed_cell_once<MPMCQueueCPP>("lmpmc", payload, n, t, int64_t{16},
                                                          static_cast<int64_t>(payload));
                 }};
    s["bare"] = {"C++ bare ring, poll then sem_wait", false, [spin](uint64_t payload, uint64_t n, unsigned t) {
                     const auto create = [=](const std::string& name) {
                         return std::make_unique<b::BareRing>(name, 16, payload, spin);
                     };
                     const auto connect = [=](const std::string& name) {
                         return std::make_unique<b::BareRing>(name, spin);
                     };
                     return named_pair_once<b::BareRing>("lbare", create, connect, payload, n, t);
                 }};
    s["pipe"] = {"C++ pipe", false, pipe_once};
#if MOX_BENCH_HAVE_BOOST
    s["boost"] = {"C++ boost message_queue", false, [](uint64_t payload, uint64_t n, unsigned t) {
                      const auto create = [=](const std::string& name) {
                          return std::make_unique<b::BoostChannel>(name, 16, payload);
                      };
                      const auto connect = [](const std::string& name) {
                          return std::make_unique<b::BoostChannel>(name);
                      };
                      return named_pair_once<b::BoostChannel>("lboost", create, connect, payload, n, t);
                  }};
#endif
    return s;
}

}  // namespace

int main(int argc, char** argv) {
    try {
        uint64_t round_trips = 20000, payload = 64;
        std::string systems_arg = "sem,sem-spin,spsc,mpmc,bare,pipe,boost,idle";
        const b::Options opts = b::parse_options(argc, argv, kUsage, [&](const std::string& a, const char* value) {
            if (value == nullptr) return 0;
            if (a == "--round-trips")
                round_trips = b::parse_count(value);
            else if (a == "--size")
                payload = b::parse_size(value);
            else if (a == "--systems")
                systems_arg = value;
            else
                return 0;
            return 2;
        });
        const unsigned hard_limit = opts.timeout_s + 20;  // the measurement's own watchdog fires first

        b::print_machine();
        const std::map<std::string, System> known = all_systems();
        b::Failures failures;
        for (const std::string& key : b::split_list(systems_arg)) {
            if (key == "idle") {
                const char* label = "C++ SPSCQueueCPP idle";
                std::vector<double> us;
                for (int i = 0; i < opts.runs && !failures.has(label); ++i) {
                    failures.run(label, [&] {
                        us.push_back(b::isolated<double>([&] { return idle_cpu_us(200, opts.timeout_s); }, hard_limit));
                    });
                }
                if (failures.has(label)) continue;
                const double m = b::median(us);
                std::printf("%-36s reader CPU while waiting 200 ms: %.0f us (median of %zu)\n", label, m, us.size());
                std::printf("{\"kind\":\"idle\",\"system\":\"C++ SPSCQueueCPP\",\"wait_ms\":200,\"cpu_us\":%.6g}\n", m);
                std::fflush(stdout);
                continue;
            }
            const auto found = known.find(key);
            if (found == known.end()) {
                if (key != "sem-spin") b::print_unavailable("latency_bench", key);  // sem-spin: no poll configured
                continue;
            }
            const System& system = found->second;
            b::LatencyResult r;
            r.system = system.label;
            r.payload = system.payload_free ? 0 : payload;
            r.round_trips = round_trips;
            for (int i = 0; i < opts.runs && !failures.has(r.system); ++i) {
                failures.run(r.system, [&] {
                    r.runs.push_back(b::isolated<b::RoundTrips>(
                        [&] { return system.once(payload, round_trips, opts.timeout_s); }, hard_limit));
                });
            }
            if (!failures.has(r.system)) b::print_latency(r);
        }
        return failures.exit_code();
    } catch (const std::exception& e) {
        std::fflush(stdout);
        std::fprintf(stderr, "latency_bench: %s\n", e.what());
        return 1;
    }
}
