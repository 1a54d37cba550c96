// One writer process to one reader process: SPSCQueueCPP and, through the
// same harness in the same run, what bounds it and what a user would pick
// instead: the bare ring protocol (bare_ring.h), a pipe, Boost's
// message_queue, MPMCQueueCPP and MPMCVarQueueCPP; beside single-core memcpy
// bandwidth.
//
// The parent creates the channel and writes; a forked child connects and
// reads into its own buffer. The reader times from a start marker (the first
// message) to the last message, so process start-up and the connect are not
// counted. Runs of all systems are interleaved, so a change in machine load
// touches them alike; each run is a child of its own (isolated()), so a
// system that fails or hangs is reported and left out while the rest go on.
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "aligned_buffer.h"
#include "bare_ring.h"
#include "our_queues.h"
#include "pair_runs.h"
#include "peers.h"
#include "processes.h"
#include "program.h"
#include "report.h"
#include "semaphore_wait.h"

using mox::ipc_queue::MPMCQueueCPP;
using mox::ipc_queue::MPMCVarQueueCPP;
using mox::ipc_queue::SPSCQueueCPP;
namespace b = mox::bench;

namespace {

const char kUsage[] =
    "usage: spsc_bench [--runs R] [--timeout S] [--offset B] [--cells N] [--systems LIST] [--no-memcpy]\n"
    "                  [SIZE:COUNT ...]\n"
    "  Sends COUNT messages of SIZE bytes (8, 64, 64K, 1M) from one process to another;\n"
    "  default cases 64:1000000 64K:50000, 5 runs each.\n"
    "  --systems: comma-separated, from spsc (default), bare, bare-block, pipe, boost,\n"
    "  mpmc, mpmc-unrecorded (the same, recording no ownership), mpmcvar. bare is the\n"
    "  ring protocol polling for up to kWaitSpinNs before sem_wait, bare-block the\n"
    "  same with a plain sem_wait. Systems may be given a per-system\n"
    "  count as SYSTEM/COUNT (e.g. pipe/200000), which replaces every case's COUNT.\n"
    "  --cells N sets the ring length (default 1024 cells up to 4 KiB payloads,\n"
    "  else 2 MiB worth of cells, at least 8); mpmcvar uses 4 channels of 64 cells\n"
    "  of 16 KiB. The writer's and the reader's buffers start B bytes (default 0)\n"
    "  past a page boundary. A system whose run fails or outlives S seconds (default\n"
    "  60) is reported as failed and left out; the exit status is then 1.\n";

uint32_t default_cells(uint64_t payload) {
    if (payload <= 4096) return 1024;
    return static_cast<uint32_t>(std::max<uint64_t>(8, (2u << 20) / payload));
}

using Spsc = b::FixedCellEnd<SPSCQueueCPP>;
using Mpmc = b::FixedCellEnd<MPMCQueueCPP>;

// One run of a system: seconds for `count` messages of `payload` bytes.
using Once = std::function<double(uint64_t payload, uint64_t count, uint32_t cells, const b::Options&)>;

struct System {
    std::string key;
    std::string label;
    Once once;
};

// A channel made by name in the writer and connected by name in the reader.
template <class End, class Create, class Connect>
double named_pair_once(const char* kind, Create create, Connect connect, uint64_t payload, uint64_t count,
                       const b::Options& o) {
    const std::string name = b::queue_name(kind);
    return b::pair_once([&] { return create(name); }, [&](End&) { return connect(name); }, payload, count, o.offset,
                        o.timeout_s);
}

// One of our queues, made with (name, args...) and connected with (name).
template <class Queue, class End, class... Args>
double queue_pair_once(const char* kind, uint64_t payload, uint64_t count, const b::Options& o, Args... args) {
    const auto create = [=](const std::string& name) {
        return std::make_unique<End>(End{std::make_unique<Queue>(name, args...)});
    };
    const auto connect = [](const std::string& name) {
        return std::make_unique<End>(End{std::make_unique<Queue>(name)});
    };
    return named_pair_once<End>(kind, create, connect, payload, count, o);
}

std::vector<System> all_systems() {
    std::vector<System> s;
    s.push_back({"spsc", "C++ SPSCQueueCPP", [](uint64_t payload, uint64_t count, uint32_t cells, const b::Options& o) {
                     return queue_pair_once<SPSCQueueCPP, Spsc>("spsc", payload, count, o, static_cast<int64_t>(cells),
                                                                static_cast<int64_t>(payload), true);
                 }});
    // Polls as the queue does: only for cells of at most kPollMaxCellSize.
    const auto bare = [](int64_t poll_ns) {
        return [poll_ns](uint64_t payload, uint64_t count, uint32_t cells, const b::Options& o) {
            const int64_t spin_ns = payload <= mox::ipc_queue::kPollMaxCellSize ? poll_ns : 0;
            const auto create = [&](const std::string& name) {
                return std::make_unique<b::BareRing>(name, cells, payload, spin_ns);
            };
            const auto connect = [&](const std::string& name) { return std::make_unique<b::BareRing>(name, spin_ns); };
            return named_pair_once<b::BareRing>("bare", create, connect, payload, count, o);
        };
    };
    s.push_back({"bare", "C++ bare ring, poll then sem_wait", bare(mox::ipc_queue::kWaitSpinNs)});
    s.push_back({"bare-block", "C++ bare ring, sem_wait only", bare(0)});
    s.push_back({"pipe", "C++ pipe", [](uint64_t payload, uint64_t count, uint32_t, const b::Options& o) {
                     return b::pair_once([&] { return std::make_unique<b::PipeChannel>(payload); },
                                         [&](b::PipeChannel& w) { return std::make_unique<b::PipeChannel>(w, true); },
                                         payload, count, o.offset, o.timeout_s);
                 }});
#if MOX_BENCH_HAVE_BOOST
    s.push_back(
        {"boost", "C++ boost message_queue", [](uint64_t payload, uint64_t count, uint32_t cells, const b::Options& o) {
             const auto create = [&](const std::string& name) {
                 return std::make_unique<b::BoostChannel>(name, cells, payload);
             };
             const auto connect = [](const std::string& name) { return std::make_unique<b::BoostChannel>(name); };
             return named_pair_once<b::BoostChannel>("boost", create, connect, payload, count, o);
         }});
#endif
    s.push_back({"mpmc", "C++ MPMCQueueCPP", [](uint64_t payload, uint64_t count, uint32_t cells, const b::Options& o) {
                     return queue_pair_once<MPMCQueueCPP, Mpmc>("mpmc", payload, count, o, static_cast<int64_t>(cells),
                                                                static_cast<int64_t>(payload));
                 }});
    // The same with no ownership recorded: what recording costs.
    s.push_back({"mpmc-unrecorded", "C++ MPMCQueueCPP, unrecorded",
                 [](uint64_t payload, uint64_t count, uint32_t cells, const b::Options& o) {
                     return b::unrecorded([&] {
                         return queue_pair_once<MPMCQueueCPP, Mpmc>(
                             "mpmc", payload, count, o, static_cast<int64_t>(cells), static_cast<int64_t>(payload));
                     });
                 }});
    s.push_back({"mpmcvar", "C++ MPMCVarQueueCPP", [](uint64_t payload, uint64_t count, uint32_t, const b::Options& o) {
                     return queue_pair_once<MPMCVarQueueCPP, b::VarEnd>("mpmcvar", payload, count, o, b::kVarChannels,
                                                                        b::kVarCells, b::kVarCellSize);
                 }});
    return s;
}

double memcpy_once(const char* src, char* dst, uint64_t size, uint64_t reps) {
    const double start = b::now_s();
    for (uint64_t i = 0; i < reps; ++i) {
        std::memcpy(dst, src, size);
        asm volatile("" : : "r"(dst) : "memory");  // keep every copy
    }
    return b::now_s() - start;
}

// One core copying between two fixed buffers: blocks that stay in the
// core's caches, and one that streams from RAM. The last row places the
// destination 16 bytes past the source modulo 4 KiB, a relative alignment
// at which some memcpy implementations slow down many times over.
void bench_memcpy(int runs) {
    struct Copy {
        uint64_t size, reps, src_offset, dst_offset;
        const char* label;
    };
    const Copy copies[] = {
        {64u << 10, 16384, 0, 0, "memcpy (1 core, cached)"},
        {1u << 20, 1024, 0, 0, "memcpy (1 core, cached)"},
        {64u << 20, 8, 0, 0, "memcpy (1 core, RAM)"},
        {64u << 10, 4096, 0, 16, "memcpy (1 core, dst = src + 16 mod 4K)"},
    };
    for (const Copy& c : copies) {
        b::AlignedBuffer src(c.size, c.src_offset, 1), dst(c.size, c.dst_offset, 2);
        memcpy_once(src.data(), dst.data(), c.size, 1);
        b::Result r;
        r.system = c.label;
        r.payload = c.size;
        r.messages = c.reps;
        for (int i = 0; i < runs; ++i) r.seconds.push_back(memcpy_once(src.data(), dst.data(), c.size, c.reps));
        b::print_result(r);
    }
}

}  // namespace

int main(int argc, char** argv) {
    try {
        uint32_t cells_override = 0;
        bool with_memcpy = true;
        std::string systems_arg = "spsc";
        const b::Options opts = b::parse_options(argc, argv, kUsage, [&](const std::string& a, const char* value) {
            if (a == "--no-memcpy") {
                with_memcpy = false;
                return 1;
            }
            if (value == nullptr) return 0;
            if (a == "--cells")
                cells_override = static_cast<uint32_t>(b::parse_count(value));
            else if (a == "--systems")
                systems_arg = value;
            else
                return 0;
            return 2;
        });
        std::vector<b::Case> cases;
        for (const std::string& p : opts.positional) cases.push_back(b::parse_case(p));
        if (cases.empty()) cases = {{64, 1000000}, {64u << 10, 50000}};

        // Chosen systems, each with an optional count of its own.
        const std::vector<System> known = all_systems();
        std::vector<std::pair<const System*, uint64_t>> chosen;
        for (const std::string& item : b::split_list(systems_arg)) {
            const size_t slash = item.find('/');
            const std::string key = item.substr(0, slash);
            const uint64_t count = slash == std::string::npos ? 0 : b::parse_count(item.substr(slash + 1));
            const System* found = nullptr;
            for (const System& s : known)
                if (s.key == key) found = &s;
            if (found == nullptr)
                b::print_unavailable("spsc_bench", key);
            else
                chosen.emplace_back(found, count);
        }

        b::print_machine();
        if (with_memcpy) bench_memcpy(opts.runs);

        b::Failures failures;
        std::map<std::pair<size_t, size_t>, b::Result> results;
        for (int run = 0; run < opts.runs; ++run) {
            for (size_t c = 0; c < cases.size(); ++c) {
                const uint32_t cells = cells_override ? cells_override : default_cells(cases[c].size);
                for (size_t s = 0; s < chosen.size(); ++s) {
                    b::Result& r = results[{c, s}];
                    r.system = chosen[s].first->label;
                    r.payload = cases[c].size;
                    r.messages = chosen[s].second ? chosen[s].second : cases[c].count;
                    failures.run(r.system, [&] {
                        r.seconds.push_back(b::isolated<double>(
                            [&] { return chosen[s].first->once(r.payload, r.messages, cells, opts); },
                            opts.timeout_s + 20));
                    });
                }
            }
        }
        for (auto& [key, r] : results)
            if (!failures.has(r.system)) b::print_result(r);
        return failures.exit_code();
    } catch (const std::exception& e) {
        std::fflush(stdout);
        std::fprintf(stderr, "spsc_bench: %s\n", e.what());
        return 1;
    }
}
