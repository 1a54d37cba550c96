// The two-process runs: one writer to one reader (throughput), and
// ping-pong (round trips). Both drive any channel whose ends have
// write(const char*, uint64_t) and read(char*, uint64_t) -> length.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "aligned_buffer.h"
#include "processes.h"
#include "program.h"
#include "timing.h"

namespace mox::bench {

// One writer (this process) and one reader (a forked child). make_writer()
// runs before the fork and returns the writer's end; make_reader(writer)
// runs in the child, which inherited the writer's end. The reader times from
// a start marker (the first message) to the last message, so neither
// process start-up nor connecting is counted.
// Returns the reader's seconds; fails if a message went missing or changed size.
template <class MakeWriter, class MakeReader>
double pair_once(MakeWriter&& make_writer, MakeReader&& make_reader, uint64_t payload, uint64_t count, uint64_t offset,
                 unsigned timeout_s) {
    struct Report {
        uint64_t messages;
        uint64_t wrong_length;
        double seconds;
    };
    auto writer = make_writer();
    Children children;
    Pipe results;
    const pid_t reader = children.spawn(
        [&]() {
            results.close_read();
            auto end = make_reader(*writer);
            AlignedBuffer buffer(payload, offset, 0);
            end->read(buffer.data(), payload);  // start marker
            Report report{0, 0, 0.0};
            const double start = now_s();
            for (uint64_t n = 0; n < count; ++n) {
                const uint64_t len = end->read(buffer.data(), payload);
                ++report.messages;
                if (len != payload) ++report.wrong_length;
            }
            report.seconds = now_s() - start;
            results.write_all(&report, sizeof report);
            return 0;
        },
        timeout_s + 10);
    results.close_write();

    Watchdog watchdog(timeout_s);
    AlignedBuffer data(payload, offset, 'w');
    for (uint64_t n = 0; n <= count; ++n) writer->write(data.data(), payload);

    Report report{};
    if (!results.read_all(&report, sizeof report)) fail("the reader exited without a report");
    children.wait(reader);
    if (report.messages != count || report.wrong_length != 0) {
        fail("reader got " + std::to_string(report.messages) + " of " + std::to_string(count) + " messages, " +
             std::to_string(report.wrong_length) + " of the wrong length");
    }
    return report.seconds;
}

// Ping-pong between this process and a forked child. make_ends() runs
// before the fork and returns {to_child, from_child}; make_child_ends(ends)
// runs in the child and returns {from_parent, to_parent}. The child echoes
// every message; the parent times each round trip after `warmup` untimed ones.
template <class MakeEnds, class MakeChildEnds>
RoundTrips ping_pong_once(MakeEnds&& make_ends, MakeChildEnds&& make_child_ends, uint64_t payload, uint64_t round_trips,
                          uint64_t warmup, unsigned timeout_s) {
    auto ends = make_ends();
    Children children;
    const uint64_t total = round_trips + warmup;
    const pid_t child = children.spawn(
        [&]() {
            auto mine = make_child_ends(ends);
            AlignedBuffer buffer(payload, 0, 0);
            for (uint64_t n = 0; n < total; ++n) {
                const uint64_t len = mine.first->read(buffer.data(), payload);
                mine.second->write(buffer.data(), len);
            }
            return 0;
        },
        timeout_s + 10);

    Watchdog watchdog(timeout_s);
    AlignedBuffer out(payload, 0, 'p'), in(payload, 0, 0);
    std::vector<double> ns;
    ns.reserve(round_trips);
    for (uint64_t n = 0; n < total; ++n) {
        const double t0 = now_s();
        ends.first->write(out.data(), payload);
        const uint64_t len = ends.second->read(in.data(), payload);
        const double t1 = now_s();
        if (len != payload) fail("echo of the wrong length");
        if (n >= warmup) ns.push_back((t1 - t0) * 1e9);
    }
    children.wait(child);
    return percentiles(std::move(ns));
}

}  // namespace mox::bench
