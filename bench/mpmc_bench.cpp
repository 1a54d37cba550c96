// Many writer processes to as many reader processes (1->1, 2->2, 4->4 by
// default), small fixed-size messages: MPMCQueueCPP and, through the same
// harness, what a user would pick instead (a pipe, Boost's message_queue)
// and MPMCVarQueueCPP. Runs of all systems are interleaved, so a change in
// machine load touches them alike; each run is a child of its own
// (isolated()), so a system that fails or hangs is reported and left out
// while the rest go on.
#include <cstring>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "fan_run.h"
#include "our_queues.h"
#include "owner_table.h"
#include "peers.h"
#include "processes.h"
#include "program.h"
#include "report.h"

namespace b = mox::bench;

namespace {

const char kUsage[] =
    "usage: mpmc_bench [--runs R] [--timeout S] [--offset B] [--size BYTES] [--count N] [--cells N]\n"
    "                  [--systems LIST] [PROCS ...]\n"
    "  For each PROCS value P, P writer processes send N messages in all (default\n"
    "  200000 of 64 bytes) to P reader processes through one queue of 1024 cells;\n"
    "  default PROCS 1 2 4, 5 runs each. --systems: comma-separated, from mpmc\n"
    "  (MPMCQueueCPP, the default), mpmc-unrecorded (the same, recording no\n"
    "  ownership), mpmcvar (4 channels of 64 cells of 16 KiB),\n"
    "  pipe (records of 8 + SIZE bytes, one write and one read each) and boost\n"
    "  (boost::interprocess::message_queue of 1024 messages). A system whose run\n"
    "  fails or outlives S seconds (default 60) is reported as failed and left\n"
    "  out; the exit status is then 1.\n";

// One run: `procs` writers and as many readers; returns the seconds.
using Once = std::function<double(int procs, const b::Options&)>;

struct System {
    const char* label;
    Once once;
};

std::map<std::string, System> all_systems(uint64_t payload, uint64_t count, uint64_t cells) {
    std::map<std::string, System> s;
    s["mpmc"] = {"C++ MPMCQueueCPP", [=](int p, const b::Options& o) {
                     return b::run_fan(b::mpmc_ops(cells, payload), "mpmc", p, p, payload, count, o.offset,
                                       o.timeout_s);
                 }};
    // The same with no ownership recorded: what recording costs.
    s["mpmc-unrecorded"] = {"C++ MPMCQueueCPP, unrecorded", [=](int p, const b::Options& o) {
                                return b::unrecorded([&] {
                                    return b::run_fan(b::mpmc_ops(cells, payload), "mpmc", p, p, payload, count,
                                                      o.offset, o.timeout_s);
                                });
                            }};
    s["mpmcvar"] = {"C++ MPMCVarQueueCPP", [=](int p, const b::Options& o) {
                        return b::run_fan(b::mpmcvar_ops(), "mpmcvar", p, p, payload, count, o.offset, o.timeout_s);
                    }};
    s["pipe"] = {"C++ pipe", [=](int p, const b::Options& o) {
                     return b::run_fan(b::pipe_ops(payload), "pipe", p, p, payload, count, o.offset, o.timeout_s);
                 }};
#if MOX_BENCH_HAVE_BOOST
    s["boost"] = {"C++ boost message_queue", [=](int p, const b::Options& o) {
                      return b::run_fan(b::boost_ops(static_cast<uint32_t>(cells), payload), "boost", p, p, payload,
                                        count, o.offset, o.timeout_s);
                  }};
#endif
    return s;
}

}  // namespace

int main(int argc, char** argv) {
    try {
        uint64_t payload = 64, count = 200000, cells = 1024;
        std::string systems_arg = "mpmc";
        const b::Options opts = b::parse_options(argc, argv, kUsage, [&](const std::string& a, const char* value) {
            if (value == nullptr) return 0;
            if (a == "--size")
                payload = b::parse_size(value);
            else if (a == "--count")
                count = b::parse_count(value);
            else if (a == "--cells")
                cells = b::parse_count(value);
            else if (a == "--systems")
                systems_arg = value;
            else
                return 0;
            return 2;
        });
        if (payload == 0) b::fail("--size must be positive: a zero-length message is the stop marker");
        std::vector<int> procs;
        for (const std::string& p : opts.positional) procs.push_back(static_cast<int>(b::parse_count(p)));
        if (procs.empty()) procs = {1, 2, 4};

        const std::map<std::string, System> known = all_systems(payload, count, cells);
        std::vector<const System*> chosen;
        for (const std::string& key : b::split_list(systems_arg)) {
            const auto found = known.find(key);
            if (found == known.end())
                b::print_unavailable("mpmc_bench", key);
            else
                chosen.push_back(&found->second);
        }

        b::print_machine();
        b::Failures failures;
        for (int p : procs) {
            std::vector<b::Result> results(chosen.size());
            for (size_t s = 0; s < chosen.size(); ++s) {
                b::Result& r = results[s];
                r.system = chosen[s]->label;
                r.writers = p;
                r.readers = p;
                r.payload = payload;
                r.messages = count;
            }
            for (int i = 0; i < opts.runs; ++i) {
                for (size_t s = 0; s < chosen.size(); ++s) {
                    b::Result& r = results[s];
                    if (failures.has(r.system)) continue;
                    failures.run(r.system, [&] {
                        r.seconds.push_back(
                            b::isolated<double>([&] { return chosen[s]->once(p, opts); }, opts.timeout_s + 20));
                    });
                }
            }
            for (const b::Result& r : results)
                if (!failures.has(r.system)) b::print_result(r);
        }
        return failures.exit_code();
    } catch (const std::exception& e) {
        std::fflush(stdout);
        std::fprintf(stderr, "mpmc_bench: %s\n", e.what());
        return 1;
    }
}
