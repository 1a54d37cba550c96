// Round-trip latency between two processes by ping-pong: the parent sends a
// message, the child echoes it, the parent times each round trip. Through
// SPSCQueueCPP and MPMCQueueCPP pairs, and beside them the limit (two bare
// named semaphores, no payload), the bare ring protocol, a pipe and Boost's
// message_queue. Also what waiting costs while nothing arrives.
#include <sys/resource.h>

#include <cstring>
#include <memory>
#include <sstream>
#include <utility>
#include <vector>

#include "bare_ring.h"
#include "bench_common.h"
#include "mpmc_queue.h"
#include "peers.h"
#include "semaphore_wait.h"
#include "spsc_queue.h"

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
    "  Default: all.\n";

// Two named semaphores: post one, wait for the other. No payload.
struct SemPair {
    SemPair(const std::string& name, bool create, int64_t spin_ns) : name_(name), spin_ns_(spin_ns) {
        for (int i = 0; i < 2; ++i) {
            const std::string n = name + (i == 0 ? "_ping" : "_pong");
            sem_[i] = create ? ::sem_open(n.c_str(), O_CREAT | O_EXCL, 0600, 0) : ::sem_open(n.c_str(), 0);
            if (sem_[i] == SEM_FAILED) b::fail_errno("sem_open " + n);
        }
        owner_ = create;
    }
    ~SemPair() {
        for (sem_t* s : sem_) ::sem_close(s);
        if (owner_) {
            ::sem_unlink((name_ + "_ping").c_str());
            ::sem_unlink((name_ + "_pong").c_str());
        }
    }
    std::string name_;
    int64_t spin_ns_;
    sem_t* sem_[2] = {nullptr, nullptr};
    bool owner_ = false;
};

// One direction of a SemPair, as the harness's write/read.
struct SemEnd {
    sem_t* post_to;
    sem_t* wait_on;
    int64_t spin_ns;
    void write(const char*, uint64_t) { b::bare_post(post_to); }
    uint64_t read(char*, uint64_t capacity) {
        b::bare_wait(wait_on, spin_ns);
        return capacity;
    }
};

template <class T>
struct Ends {
    std::unique_ptr<T> first, second;
};

b::RoundTrips sem_once(int64_t spin_ns, uint64_t n, unsigned timeout_s) {
    const std::string name = b::queue_name("sem");
    auto pair = std::make_shared<SemPair>(name, true, spin_ns);
    return b::ping_pong_once(
        [&] {
            return Ends<SemEnd>{std::make_unique<SemEnd>(SemEnd{pair->sem_[0], pair->sem_[1], spin_ns}),
                                std::make_unique<SemEnd>(SemEnd{pair->sem_[0], pair->sem_[1], spin_ns})};
        },
        [&](Ends<SemEnd>&) {
            // The child waits on ping and posts pong: first end reads, second writes.
            return Ends<SemEnd>{std::make_unique<SemEnd>(SemEnd{pair->sem_[1], pair->sem_[0], spin_ns}),
                                std::make_unique<SemEnd>(SemEnd{pair->sem_[1], pair->sem_[0], spin_ns})};
        },
        0, n, 1000, timeout_s);
}

using SpscEnd = b::FixedCellEnd<SPSCQueueCPP>;
using MpmcEnd = b::FixedCellEnd<MPMCQueueCPP>;
// Two queues of a kind Q, one per direction, made by name in the parent and
// connected by name in the child.
template <class End, class Create, class Connect>
b::RoundTrips named_pair_once(const char* kind, Create create, Connect connect, uint64_t payload, uint64_t n,
                              unsigned timeout_s) {
    const std::string to_child = b::queue_name(kind), to_parent = b::queue_name(kind);
    return b::ping_pong_once(
        [&] { return Ends<End>{create(to_child), create(to_parent)}; },
        [&](Ends<End>&) { return Ends<End>{connect(to_child), connect(to_parent)}; }, payload, n, 1000, timeout_s);
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
        payload, n, 1000, timeout_s);
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

}  // namespace

int main(int argc, char** argv) {
    try {
        uint64_t round_trips = 20000, payload = 64;
        std::string systems_arg = "sem,sem-spin,spsc,mpmc,bare,pipe,boost,idle";
        std::vector<char*> rest{argv[0]};
        for (int i = 1; i < argc; ++i) {
            const std::string a = argv[i];
            if (a == "--round-trips" && i + 1 < argc) round_trips = b::parse_count(argv[++i]);
            else if (a == "--size" && i + 1 < argc) payload = b::parse_size(argv[++i]);
            else if (a == "--systems" && i + 1 < argc) systems_arg = argv[++i];
            else rest.push_back(argv[i]);
        }
        const b::Options opts = b::parse_options(static_cast<int>(rest.size()), rest.data(), kUsage);
        std::vector<std::string> systems;
        std::stringstream list(systems_arg);
        for (std::string item; std::getline(list, item, ',');) systems.push_back(item);

        const int64_t spin = mox::ipc_queue::kWaitSpinNs;
        b::install_watchdog_handler();
        b::print_machine();

        const auto spsc_create = [payload](const std::string& name) {
            return std::make_unique<SpscEnd>(
                SpscEnd{std::make_unique<SPSCQueueCPP>(name, 16, static_cast<int64_t>(payload), true)});
        };
        const auto spsc_connect = [](const std::string& name) {
            return std::make_unique<SpscEnd>(SpscEnd{std::make_unique<SPSCQueueCPP>(name)});
        };
        const auto mpmc_create = [payload](const std::string& name) {
            return std::make_unique<MpmcEnd>(
                MpmcEnd{std::make_unique<MPMCQueueCPP>(name, 16, static_cast<int64_t>(payload))});
        };
        const auto mpmc_connect = [](const std::string& name) {
            return std::make_unique<MpmcEnd>(MpmcEnd{std::make_unique<MPMCQueueCPP>(name)});
        };
        const auto bare_create = [payload, spin](const std::string& name) {
            return std::make_unique<b::BareRing>(name, 16, payload, spin);
        };
        const auto bare_connect = [spin](const std::string& name) { return std::make_unique<b::BareRing>(name, spin); };

        for (const std::string& system : systems) {
            if (system == "idle") {
                std::vector<double> us;
                for (int i = 0; i < opts.runs; ++i) us.push_back(idle_cpu_us(200, opts.timeout_s));
                const double m = b::median(us);
                std::printf("%-36s reader CPU while waiting 200 ms: %.0f us (median of %zu)\n",
                            "C++ SPSCQueueCPP idle", m, us.size());
                std::printf("{\"kind\":\"idle\",\"system\":\"C++ SPSCQueueCPP\",\"wait_ms\":200,\"cpu_us\":%.6g}\n", m);
                std::fflush(stdout);
                continue;
            }
            b::LatencyResult r;
            r.payload = payload;
            r.round_trips = round_trips;
            for (int i = 0; i < opts.runs; ++i) {
                if (system == "sem") {
                    r.system = "C++ bare semaphores, sem_wait only";
                    r.payload = 0;
                    r.runs.push_back(sem_once(0, round_trips, opts.timeout_s));
                } else if (system == "sem-spin") {
                    if (spin == 0) break;  // the same as sem
                    r.system = "C++ bare semaphores, poll then sem_wait";
                    r.payload = 0;
                    r.runs.push_back(sem_once(spin, round_trips, opts.timeout_s));
                } else if (system == "spsc") {
                    r.system = "C++ SPSCQueueCPP";
                    r.runs.push_back(
                        named_pair_once<SpscEnd>("lspsc", spsc_create, spsc_connect, payload, round_trips, opts.timeout_s));
                } else if (system == "mpmc") {
                    r.system = "C++ MPMCQueueCPP";
                    r.runs.push_back(
                        named_pair_once<MpmcEnd>("lmpmc", mpmc_create, mpmc_connect, payload, round_trips, opts.timeout_s));
                } else if (system == "bare") {
                    r.system = "C++ bare ring, poll then sem_wait";
                    r.runs.push_back(named_pair_once<b::BareRing>("lbare", bare_create, bare_connect, payload,
                                                                  round_trips, opts.timeout_s));
                } else if (system == "pipe") {
                    r.system = "C++ pipe";
                    r.runs.push_back(pipe_once(payload, round_trips, opts.timeout_s));
#if MOX_BENCH_HAVE_BOOST
                } else if (system == "boost") {
                    r.system = "C++ boost message_queue";
                    const auto create = [payload](const std::string& name) {
                        return std::make_unique<b::BoostChannel>(name, 16, payload);
                    };
                    const auto connect = [](const std::string& name) { return std::make_unique<b::BoostChannel>(name); };
                    r.runs.push_back(named_pair_once<b::BoostChannel>("lboost", create, connect, payload, round_trips,
                                                                      opts.timeout_s));
#endif
                } else {
                    std::fprintf(stderr, "latency_bench: system %s not available here; skipped\n", system.c_str());
                    break;
                }
            }
            if (!r.runs.empty()) b::print_latency(r);
        }
    } catch (const std::exception& e) {
        std::fflush(stdout);
        std::fprintf(stderr, "latency_bench: %s\n", e.what());
        return 1;
    }
    return 0;
}
