// Many writer processes to as many reader processes (1->1, 2->2, 4->4 by
// default), small fixed-size messages: MPMCQueueCPP and, through the same
// harness, what a user would pick instead (a pipe, Boost's message_queue)
// and MPMCVarQueueCPP.
#include <cstring>
#include <memory>
#include <sstream>
#include <vector>

#include "bench_common.h"
#include "copy_bytes.h"
#include "mpmc_queue.h"
#include "mpmcvar_queue.h"
#include "peers.h"

using mox::ipc_queue::MPMCQueueCPP;
using mox::ipc_queue::MPMCVarQueueCPP;
namespace b = mox::bench;

namespace {

const char kUsage[] =
    "usage: mpmc_bench [--runs R] [--timeout S] [--offset B] [--size BYTES] [--count N] [--cells N]\n"
    "                  [--systems LIST] [PROCS ...]\n"
    "  For each PROCS value P, P writer processes send N messages in all (default\n"
    "  200000 of 64 bytes) to P reader processes through one queue of 1024 cells;\n"
    "  default PROCS 1 2 4, 5 runs each. --systems: comma-separated, from mpmc\n"
    "  (MPMCQueueCPP, the default), mpmcvar (4 channels of 64 cells of 16 KiB),\n"
    "  pipe (records of 8 + SIZE bytes, one write and one read each) and boost\n"
    "  (boost::interprocess::message_queue of 1024 messages).\n";

b::QueueOps<MPMCQueueCPP> mpmc_ops(uint64_t cells, uint64_t payload) {
    b::QueueOps<MPMCQueueCPP> ops;
    ops.create = [=](const std::string& name) {
        return new MPMCQueueCPP(name, static_cast<int64_t>(cells), static_cast<int64_t>(payload));
    };
    ops.connect = [](const std::string& name) { return new MPMCQueueCPP(name); };
    ops.write = [](MPMCQueueCPP& q, const char* data, uint64_t len) { q.write(data, static_cast<int64_t>(len)); };
    ops.read = [](MPMCQueueCPP& q, char* buffer, uint64_t capacity) {
        int64_t len = 0;
        q.read(buffer, static_cast<int64_t>(capacity), len, 0);
        return static_cast<uint64_t>(len);
    };
    return ops;
}

b::QueueOps<MPMCVarQueueCPP> mpmcvar_ops() {
    b::QueueOps<MPMCVarQueueCPP> ops;
    ops.create = [](const std::string& name) { return new MPMCVarQueueCPP(name, 4, 64, 16u << 10); };
    ops.connect = [](const std::string& name) { return new MPMCVarQueueCPP(name); };
    ops.write = [](MPMCVarQueueCPP& q, const char* data, uint64_t len) { q.write(data, static_cast<int64_t>(len)); };
    ops.read = [](MPMCVarQueueCPP& q, char* buffer, uint64_t capacity) {
        void* handle = q.read_begin();
        uint64_t total = 0;
        for (;;) {
            char* data = nullptr;
            uint64_t length = 0;
            q.read(handle, &data, &length);
            if (total + length > capacity) b::fail("message longer than the reader's buffer");
            mox::ipc_queue::copy_bytes(buffer + total, data, length);
            total += length;
            if (length < q.cell_size()) break;
        }
        q.read_end(handle);
        return total;
    };
    return ops;
}

}  // namespace

int main(int argc, char** argv) {
    try {
        uint64_t payload = 64, count = 200000, cells = 1024;
        std::string systems_arg = "mpmc";
        std::vector<char*> rest{argv[0]};
        for (int i = 1; i < argc; ++i) {
            const std::string a = argv[i];
            if (a == "--size" && i + 1 < argc) payload = b::parse_size(argv[++i]);
            else if (a == "--count" && i + 1 < argc) count = b::parse_count(argv[++i]);
            else if (a == "--cells" && i + 1 < argc) cells = b::parse_count(argv[++i]);
            else if (a == "--systems" && i + 1 < argc) systems_arg = argv[++i];
            else rest.push_back(argv[i]);
        }
        const b::Options opts = b::parse_options(static_cast<int>(rest.size()), rest.data(), kUsage);
        if (payload == 0) b::fail("--size must be positive: a zero-length message is the stop marker");
        std::vector<int> procs;
        for (const std::string& p : opts.positional) procs.push_back(static_cast<int>(b::parse_count(p)));
        if (procs.empty()) procs = {1, 2, 4};

        std::vector<std::string> systems;
        std::stringstream list(systems_arg);
        for (std::string item; std::getline(list, item, ',');) systems.push_back(item);

        b::install_watchdog_handler();
        b::print_machine();
        for (int p : procs) {
            for (const std::string& system : systems) {
                b::Result r;
                r.writers = p;
                r.readers = p;
                r.payload = payload;
                r.messages = count;
                for (int i = 0; i < opts.runs; ++i) {
                    double seconds = 0;
                    if (system == "mpmc") {
                        r.system = "C++ MPMCQueueCPP";
                        seconds = b::run_fan(mpmc_ops(cells, payload), "mpmc", p, p, payload, count, opts.offset,
                                             opts.timeout_s);
                    } else if (system == "mpmcvar") {
                        r.system = "C++ MPMCVarQueueCPP";
                        seconds = b::run_fan(mpmcvar_ops(), "mpmcvar", p, p, payload, count, opts.offset, opts.timeout_s);
                    } else if (system == "pipe") {
                        r.system = "C++ pipe";
                        seconds = b::run_fan(b::pipe_ops(payload), "pipe", p, p, payload, count, opts.offset,
                                             opts.timeout_s);
#if MOX_BENCH_HAVE_BOOST
                    } else if (system == "boost") {
                        r.system = "C++ boost message_queue";
                        seconds = b::run_fan(b::boost_ops(static_cast<uint32_t>(cells), payload), "boost", p, p,
                                             payload, count, opts.offset, opts.timeout_s);
#endif
                    } else {
                        std::fprintf(stderr, "mpmc_bench: system %s not available here; skipped\n", system.c_str());
                        break;
                    }
                    r.seconds.push_back(seconds);
                }
                if (!r.seconds.empty()) b::print_result(r);
            }
        }
    } catch (const std::exception& e) {
        std::fflush(stdout);
        std::fprintf(stderr, "mpmc_bench: %s\n", e.what());
        return 1;
    }
    return 0;
}
