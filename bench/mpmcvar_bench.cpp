// MPMCVarQueueCPP throughput from one writer process to one reader process
// for messages from 1 KiB to 16 MiB, each streamed through a channel's ring
// of cells while it is read.
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "bench_common.h"
#include "mpmcvar_queue.h"

using mox::ipc_queue::MPMCVarQueueCPP;
namespace b = mox::bench;

namespace {

const char kUsage[] =
    "usage: mpmcvar_bench [--runs R] [--timeout S] [--offset B] [--channels N] [--cells N] [--cell-size BYTES]\n"
    "                     [SIZE:COUNT ...]\n"
    "  Sends COUNT messages of SIZE bytes from one process to another through one\n"
    "  MPMCVarQueueCPP (default 4 channels of 64 cells of 16 KiB); default cases\n"
    "  1K:200000 64K:8192 1M:512 16M:32, 5 runs each.\n";

}  // namespace

int main(int argc, char** argv) {
    try {
        uint64_t channels = 4, cells = 64, cell_size = 16u << 10;
        std::vector<char*> rest{argv[0]};
        for (int i = 1; i < argc; ++i) {
            const std::string a = argv[i];
            if (a == "--channels" && i + 1 < argc) channels = b::parse_count(argv[++i]);
            else if (a == "--cells" && i + 1 < argc) cells = b::parse_count(argv[++i]);
            else if (a == "--cell-size" && i + 1 < argc) cell_size = b::parse_size(argv[++i]);
            else rest.push_back(argv[i]);
        }
        const b::Options opts = b::parse_options(static_cast<int>(rest.size()), rest.data(), kUsage);
        std::vector<b::Case> cases;
        for (const std::string& p : opts.positional) cases.push_back(b::parse_case(p));
        if (cases.empty()) cases = {{1u << 10, 200000}, {64u << 10, 8192}, {1u << 20, 512}, {16u << 20, 32}};

        b::QueueOps<MPMCVarQueueCPP> ops;
        ops.create = [&](const std::string& name) {
            return new MPMCVarQueueCPP(name, static_cast<int64_t>(channels), static_cast<int64_t>(cells),
                                       cell_size);
        };
        ops.connect = [](const std::string& name) { return new MPMCVarQueueCPP(name); };
        ops.write = [](MPMCVarQueueCPP& q, const char* data, uint64_t len) { q.write(data, static_cast<int64_t>(len)); };
        // Zero-copy read, each cell copied out into the reader's own buffer:
        // unlike read(std::string&), where that buffer lies is under control.
        ops.read = [](MPMCVarQueueCPP& q, char* buffer, uint64_t capacity) {
            void* handle = q.read_begin();
            uint64_t total = 0;
            for (;;) {
                char* data = nullptr;
                uint64_t length = 0;
                q.read(handle, &data, &length);
                if (total + length > capacity) b::fail("message longer than the reader's buffer");
                std::memcpy(buffer + total, data, length);
                total += length;
                if (length < q.cell_size()) break;  // the last cell of a message is never full
            }
            q.read_end(handle);
            return total;
        };

        b::install_watchdog_handler();
        b::print_machine();
        for (const b::Case& c : cases) {
            if (c.size == 0) b::fail("sizes must be positive: a zero-length message is the stop marker");
            b::Result r;
            r.system = "C++ MPMCVarQueueCPP";
            r.payload = c.size;
            r.messages = c.count;
            for (int i = 0; i < opts.runs; ++i) {
                r.seconds.push_back(b::run_fan(ops, "mpmcvar", 1, 1, c.size, c.count, opts.offset, opts.timeout_s));
            }
            b::print_result(r);
        }
    } catch (const std::exception& e) {
        std::fflush(stdout);
        std::fprintf(stderr, "mpmcvar_bench: %s\n", e.what());
        return 1;
    }
    return 0;
}
