// SPSCQueueCPP throughput between two processes, beside single-core memcpy
// bandwidth measured in the same run.
//
// The parent creates the queue and writes; a forked child connects by name
// and reads into its own buffer. The reader times from a start marker (the
// first message) to the last message, so process start-up and the connect
// are not counted.
#include <cstring>
#include <memory>
#include <vector>

#include "bench_common.h"
#include "spsc_queue.h"

using mox::ipc_queue::SPSCQueueCPP;
namespace b = mox::bench;

namespace {

const char kUsage[] =
    "usage: spsc_bench [--runs R] [--timeout S] [--offset B] [--cells N] [SIZE:COUNT ...]\n"
    "  Sends COUNT messages of SIZE bytes (64, 64K, 1M) from one process to another\n"
    "  through SPSCQueueCPP; default cases 64:1000000 64K:50000, 5 runs each.\n"
    "  --cells N sets the ring length (default 1024 cells up to 4 KiB payloads,\n"
    "  else 2 MiB worth of cells, at least 8). The writer's and the reader's buffers\n"
    "  start B bytes (default 0) past a page boundary.\n";

uint32_t default_cells(uint64_t payload) {
    if (payload <= 4096) return 1024;
    return static_cast<uint32_t>(std::max<uint64_t>(8, (2u << 20) / payload));
}

struct ReadReport {
    uint64_t messages;
    uint64_t wrong_length;
    double seconds;
};

double spsc_once(uint64_t payload, uint64_t count, uint32_t cells, uint64_t offset, unsigned timeout_s) {
    const std::string name = b::queue_name("spsc");
    auto queue = std::make_unique<SPSCQueueCPP>(name, cells, static_cast<int64_t>(payload), true);
    b::Children children;
    b::Pipe results;

    const pid_t reader = children.spawn(
        [&]() {
            results.close_read();
            SPSCQueueCPP q(name);  // connecting removes the names
            b::AlignedBuffer buffer(payload, offset, 0);
            int64_t len = 0;
            q.read(buffer.data(), static_cast<int64_t>(payload), len, 0);  // start marker
            ReadReport report{0, 0, 0.0};
            const double start = b::now_s();
            for (uint64_t n = 0; n < count; ++n) {
                q.read(buffer.data(), static_cast<int64_t>(payload), len, 0);
                ++report.messages;
                if (static_cast<uint64_t>(len) != payload) ++report.wrong_length;
            }
            report.seconds = b::now_s() - start;
            results.write_all(&report, sizeof report);
            return 0;
        },
        timeout_s + 10);
    results.close_write();

    b::Watchdog watchdog(timeout_s);
    b::AlignedBuffer data(payload, offset, 'w');
    for (uint64_t n = 0; n <= count; ++n) queue->write(data.data(), static_cast<int64_t>(payload));

    ReadReport report{};
    if (!results.read_all(&report, sizeof report)) b::fail("the reader exited without a report");
    children.wait(reader);
    if (report.messages != count || report.wrong_length != 0) {
        b::fail("reader got " + std::to_string(report.messages) + " of " + std::to_string(count) + " messages, " +
                std::to_string(report.wrong_length) + " of the wrong length");
    }
    return report.seconds;
}

double memcpy_once(const b::AlignedBuffer& src, b::AlignedBuffer& dst, uint64_t reps) {
    const double start = b::now_s();
    for (uint64_t i = 0; i < reps; ++i) {
        std::memcpy(dst.data(), src.data(), dst.size());
        asm volatile("" : : "r"(dst.data()) : "memory");  // keep every copy
    }
    return b::now_s() - start;
}

void bench_memcpy(int runs) {
    // A block that stays in the core's caches, and one that streams from RAM.
    const b::Case cases[] = {{64u << 10, 16384}, {64u << 20, 8}};
    for (const b::Case& c : cases) {
        b::AlignedBuffer src(c.size, 0, 1), dst(c.size, 0, 2);
        memcpy_once(src, dst, 1);
        b::Result r;
        r.system = c.size <= (1u << 20) ? "memcpy (1 core, cached)" : "memcpy (1 core, RAM)";
        r.payload = c.size;
        r.messages = c.count;
        for (int i = 0; i < runs; ++i) r.seconds.push_back(memcpy_once(src, dst, c.count));
        b::print_result(r);
    }
}

}  // namespace

int main(int argc, char** argv) {
    try {
        b::Options opts;
        uint32_t cells_override = 0;
        {
            std::vector<char*> rest{argv[0]};
            for (int i = 1; i < argc; ++i) {
                if (std::strcmp(argv[i], "--cells") == 0 && i + 1 < argc) {
                    cells_override = static_cast<uint32_t>(b::parse_count(argv[++i]));
                } else {
                    rest.push_back(argv[i]);
                }
            }
            opts = b::parse_options(static_cast<int>(rest.size()), rest.data(), kUsage);
        }
        std::vector<b::Case> cases;
        for (const std::string& p : opts.positional) cases.push_back(b::parse_case(p));
        if (cases.empty()) cases = {{64, 1000000}, {64u << 10, 50000}};

        b::install_watchdog_handler();
        b::print_machine();
        bench_memcpy(opts.runs);
        for (const b::Case& c : cases) {
            const uint32_t cells = cells_override ? cells_override : default_cells(c.size);
            b::Result r;
            r.system = "C++ SPSCQueueCPP";
            r.payload = c.size;
            r.messages = c.count;
            for (int i = 0; i < opts.runs; ++i) r.seconds.push_back(spsc_once(c.size, c.count, cells, opts.offset, opts.timeout_s));
            b::print_result(r);
        }
    } catch (const std::exception& e) {
        std::fflush(stdout);
        std::fprintf(stderr, "spsc_bench: %s\n", e.what());
        return 1;
    }
    return 0;
}
