// MPMCQueueCPP throughput with W writer and R reader processes (1->1, 2->2,
// 4->4 by default), small fixed-size messages.
#include <memory>
#include <vector>

#include "bench_common.h"
#include "mpmc_queue.h"

using mox::ipc_queue::MPMCQueueCPP;
namespace b = mox::bench;

namespace {

const char kUsage[] =
    "usage: mpmc_bench [--runs R] [--timeout S] [--offset B] [--size BYTES] [--count N] [--cells N] [PROCS ...]\n"
    "  For each PROCS value P, P writer processes send N messages in all (default\n"
    "  200000 of 64 bytes) to P reader processes through one MPMCQueueCPP of\n"
    "  1024 cells; default PROCS 1 2 4, 5 runs each.\n";

}  // namespace

int main(int argc, char** argv) {
    try {
        uint64_t payload = 64, count = 200000, cells = 1024;
        std::vector<char*> rest{argv[0]};
        for (int i = 1; i < argc; ++i) {
            const std::string a = argv[i];
            if (a == "--size" && i + 1 < argc) payload = b::parse_size(argv[++i]);
            else if (a == "--count" && i + 1 < argc) count = b::parse_count(argv[++i]);
            else if (a == "--cells" && i + 1 < argc) cells = b::parse_count(argv[++i]);
            else rest.push_back(argv[i]);
        }
        const b::Options opts = b::parse_options(static_cast<int>(rest.size()), rest.data(), kUsage);
        if (payload == 0) b::fail("--size must be positive: a zero-length message is the stop marker");
        std::vector<int> procs;
        for (const std::string& p : opts.positional) procs.push_back(static_cast<int>(b::parse_count(p)));
        if (procs.empty()) procs = {1, 2, 4};

        b::QueueOps<MPMCQueueCPP> ops;
        ops.create = [&](const std::string& name) {
            return new MPMCQueueCPP(name, static_cast<int64_t>(cells), static_cast<int64_t>(payload));
        };
        ops.connect = [](const std::string& name) { return new MPMCQueueCPP(name); };
        ops.write = [](MPMCQueueCPP& q, const char* data, uint64_t len) { q.write(data, static_cast<int64_t>(len)); };
        ops.read = [](MPMCQueueCPP& q, char* buffer, uint64_t capacity) {
            int64_t len = 0;
            q.read(buffer, static_cast<int64_t>(capacity), len, 0);
            return static_cast<uint64_t>(len);
        };

        b::install_watchdog_handler();
        b::print_machine();
        for (int p : procs) {
            b::Result r;
            r.system = "C++ MPMCQueueCPP";
            r.writers = p;
            r.readers = p;
            r.payload = payload;
            r.messages = count;
            for (int i = 0; i < opts.runs; ++i) {
                r.seconds.push_back(b::run_fan(ops, "mpmc", p, p, payload, count, opts.offset, opts.timeout_s));
            }
            b::print_result(r);
        }
    } catch (const std::exception& e) {
        std::fflush(stdout);
        std::fprintf(stderr, "mpmc_bench: %s\n", e.what());
        return 1;
    }
    return 0;
}
