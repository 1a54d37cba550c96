// MPMCVarQueueCPP throughput from one writer process to one reader process
// for messages from 1 KiB to 16 MiB, each streamed through a channel's ring
// of cells while it is read.
#include <string>
#include <vector>

#include "fan_run.h"
#include "our_queues.h"
#include "processes.h"
#include "program.h"
#include "report.h"

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
        int64_t channels = b::kVarChannels, cells = b::kVarCells;
        uint64_t cell_size = b::kVarCellSize;
        const b::Options opts = b::parse_options(argc, argv, kUsage, [&](const std::string& a, const char* value) {
            if (value == nullptr) return 0;
            if (a == "--channels")
                channels = static_cast<int64_t>(b::parse_count(value));
            else if (a == "--cells")
                cells = static_cast<int64_t>(b::parse_count(value));
            else if (a == "--cell-size")
                cell_size = b::parse_size(value);
            else
                return 0;
            return 2;
        });
        std::vector<b::Case> cases;
        for (const std::string& p : opts.positional) cases.push_back(b::parse_case(p));
        if (cases.empty()) cases = {{1u << 10, 200000}, {64u << 10, 8192}, {1u << 20, 512}, {16u << 20, 32}};

        const auto ops = b::mpmcvar_ops(channels, cells, cell_size);
        b::print_machine();
        for (const b::Case& c : cases) {
            if (c.size == 0) b::fail("sizes must be positive: a zero-length message is the stop marker");
            b::Result r;
            r.system = "C++ MPMCVarQueueCPP";
            r.payload = c.size;
            r.messages = c.count;
            for (int i = 0; i < opts.runs; ++i) {
                r.seconds.push_back(b::isolated<double>(
                    [&] { return b::run_fan(ops, "mpmcvar", 1, 1, c.size, c.count, opts.offset, opts.timeout_s); },
                    opts.timeout_s + 20));
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
