// The many-writers, many-readers run: W writer and R reader processes on one
// channel, timed from the moment all are released to the last message taken.
#pragma once

#include <sys/types.h>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "aligned_buffer.h"
#include "processes.h"
#include "program.h"
#include "timing.h"

namespace mox::bench {

// What a reader process sends back at the end of a run.
struct ReaderReport {
    uint64_t messages;
    uint64_t wrong_length;
    double end_time;
};

// How a program drives one channel kind. `read` returns the message length;
// a zero-length message is the stop marker.
template <class Queue>
struct QueueOps {
    std::function<Queue*(const std::string&)> create;
    std::function<Queue*(const std::string&)> connect;
    std::function<void(Queue&, const char*, uint64_t)> write;
    std::function<uint64_t(Queue&, char*, uint64_t)> read;
};

// W writer and R reader processes, all connected by name. The clock starts
// when the parent releases them all at once and stops when the last reader
// takes its stop marker, which the parent writes once every writer is done.
// Returns the elapsed seconds; fails if any message went missing.
template <class Queue>
double run_fan(const QueueOps<Queue>& ops, const char* kind, int writers, int readers, uint64_t payload, uint64_t total,
               uint64_t buffer_offset, unsigned timeout_s) {
    const std::string name = queue_name(kind);
    std::unique_ptr<Queue> queue(ops.create(name));
    Children children;
    Pipe ready, go, results;

    const auto child_prologue = [&](std::unique_ptr<Queue>& mine) {
        go.close_write();  // or the release below would never reach EOF
        mine.reset(ops.connect(name));
        const char c = 1;
        ready.write_all(&c, 1);
        ready.close_write();
        go.wait_eof();
    };

    std::vector<pid_t> reader_pids;
    for (int i = 0; i < readers; ++i) {
        reader_pids.push_back(children.spawn(
            [&]() {
                std::unique_ptr<Queue> q;
                child_prologue(q);
                AlignedBuffer buffer(payload, buffer_offset, 0);
                ReaderReport report{0, 0, 0.0};
                for (;;) {
                    const uint64_t len = ops.read(*q, buffer.data(), buffer.size());
                    if (len == 0) break;
                    ++report.messages;
                    if (len != payload) ++report.wrong_length;
                }
                report.end_time = now_s();
                results.write_all(&report, sizeof report);
                q.release();  // names stay for the others; the parent removes them
                return 0;
            },
            timeout_s + 10));
    }
    std::vector<pid_t> writer_pids;
    for (int i = 0; i < writers; ++i) {
        const uint64_t share = total / writers + (static_cast<uint64_t>(i) < total % writers ? 1 : 0);
        writer_pids.push_back(children.spawn(
            [&, share]() {
                std::unique_ptr<Queue> q;
                child_prologue(q);
                AlignedBuffer data(payload, buffer_offset, 'w');
                for (uint64_t n = 0; n < share; ++n) ops.write(*q, data.data(), payload);
                q.release();
                return 0;
            },
            timeout_s + 10));
    }

    ready.close_write();
    Watchdog watchdog(timeout_s);
    for (int i = 0; i < writers + readers; ++i) {
        char c;
        if (!ready.read_all(&c, 1)) fail("a worker exited before it was ready");
    }
    const double start = now_s();
    go.close_write();
    for (pid_t pid : writer_pids) children.wait(pid);
    static const char stop = 0;
    for (int i = 0; i < readers; ++i) ops.write(*queue, &stop, 0);

    results.close_write();
    uint64_t received = 0, wrong = 0;
    double end = start;
    for (int i = 0; i < readers; ++i) {
        ReaderReport report{};
        if (!results.read_all(&report, sizeof report)) fail("a reader exited without a report");
        received += report.messages;
        wrong += report.wrong_length;
        end = std::max(end, report.end_time);
    }
    for (pid_t pid : reader_pids) children.wait(pid);
    if (received != total || wrong != 0) {
        fail(std::string(kind) + ": readers got " + std::to_string(received) + " of " + std::to_string(total) +
             " messages, " + std::to_string(wrong) + " of the wrong length");
    }
    return end - start;
}

}  // namespace mox::bench
