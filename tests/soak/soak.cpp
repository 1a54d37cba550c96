// Soak: millions of messages through each queue kind between real processes,
// every one checked by the traffic harness (tests/cpp/traffic.h); each
// reader's RSS is sampled once the queue is warm and while messages flow.
// With --signals R, every writer and reader gets SIGUSR1 and SIGCHLD
// (handlers that return) R times a second; a call a signal fails before it
// took anything is made again. At the end the queue's own report must find
// nothing: every count, list and ring back where it started.
// Usage: soak [--messages N] [--kinds spsc,mpmc,mpmcvar] [--rss-slack-kib K] [--signals R]
// Exits 1 on any loss, duplicate, damaged or reordered message, RSS growth beyond the slack, a queue not
// back to its initial state, a failure or a hang.
#include <cstdio>
#include <memory>
#include <string>
#include <type_traits>

#include "mpmc_queue.h"
#include "mpmcvar_queue.h"
#include "spsc_queue.h"
#include "traffic.h"

namespace {

using namespace mox::ipc_queue;

struct Kind {
    const char* name;
    int writers, readers;
    uint32_t max_length;  // the fixed kinds fill up to a whole cell; MPMCVar crosses its ring of sixteen
    IPCQueueCPP* (*open)(const std::string& name, bool create);
};

// Creates the kind's soak queue, or connects to it.
template <class Queue>
IPCQueueCPP* open_queue(const std::string& name, bool create) {
    if (!create) return new Queue(name);
    if constexpr (std::is_same_v<Queue, MPMCVarQueueCPP>)
        return new Queue(name, 8, 16, 64);
    else if constexpr (std::is_same_v<Queue, SPSCQueueCPP>)
        return new Queue(name, 64, 256, true);
    else
        return new Queue(name, 64, 256);
}

bool soak_kind(const Kind& k, uint64_t messages, uint64_t rss_slack, unsigned signal_rate) {
    test::TrafficPlan p;
    p.writers = k.writers, p.readers = k.readers, p.max_length = k.max_length;
    p.per_writer = messages / static_cast<uint64_t>(k.writers);
    p.signal_rate = signal_rate, p.sample_rss = true, p.limit_seconds = 300;
    const std::string name = "/mox_soak_" + std::string(k.name) + "_" + std::to_string(::getpid());
    std::unique_ptr<IPCQueueCPP> q(k.open(name, true));
    const test::TrafficOutcome out = test::run_traffic(*q, [&] { return k.open(name, false); }, p);
    std::string state;
    for (const std::string& f : q->report().findings) state += " " + f + ";";
    q.reset();  // every name is removed

    std::printf(
        "%-8s %d writer(s), %d reader(s), lengths %u..%u bytes\n  moved %lu of %lu in %.1f s (%.0f msg/s)\n"
        "  lost %lu, duplicated %lu, damaged %lu, out of order %lu\n",
        k.name, k.writers, k.readers, p.min_length, p.max_length, out.delivered, out.sent, out.seconds,
        double(out.delivered) / out.seconds, out.sent - out.delivered, out.duplicates, out.damaged, out.out_of_order);
    if (signal_rate > 0)
        std::printf(
            "  signals: SIGUSR1 and SIGCHLD %.0f times/s to each process; %lu calls failed before taking "
            "anything, made again\n",
            out.signals_per_s, out.interrupted);
    std::printf("  counts and lists back to their initial state: %s\n", state.empty() ? "yes" : state.c_str());
    if (!out.failure.empty()) std::printf("  %s\n", out.failure.c_str());
    bool ok = out.clean() && state.empty();
    for (size_t r = 0; r < out.readers.size(); ++r) {
        const auto& s = out.readers[r];
        // Signal frames land at any stack depth: a storm's RSS says nothing of the queue.
        const bool grew = signal_rate == 0 && s.rss_end > s.rss_start + rss_slack;
        std::printf("  reader %zu: %lu messages, RSS start %lu KiB, end %lu KiB%s\n", r, s.moved, s.rss_start / 1024,
                    s.rss_end / 1024, grew ? "  GREW" : "");
        ok = ok && !grew && s.rss_start != 0;
    }
    std::printf("  %s\n", ok ? "ok" : "FAILED");
    std::fflush(stdout);
    return ok;
}

}  // namespace

int main(int argc, char** argv) {
    uint64_t messages = 10'000'000, rss_slack_kib = 64;
    unsigned signal_rate = 0;
    std::string kinds = ",spsc,mpmc,mpmcvar,";
    for (int i = 1; i < argc; i += 2) {
        const std::string opt = i + 1 < argc ? argv[i] : "";
        if (opt == "--messages")
            messages = std::strtoull(argv[i + 1], nullptr, 10);
        else if (opt == "--kinds")
            kinds = "," + std::string(argv[i + 1]) + ",";
        else if (opt == "--rss-slack-kib")
            rss_slack_kib = std::strtoull(argv[i + 1], nullptr, 10);
        else if (opt == "--signals")
            signal_rate = static_cast<unsigned>(std::strtoul(argv[i + 1], nullptr, 10));
        else
            return std::fprintf(stderr,
                                "usage: soak [--messages N] [--kinds spsc,...] [--rss-slack-kib K] "
                                "[--signals R]\n"),
                   2;
    }
    const Kind all[] = {{"spsc", 1, 1, 256, open_queue<SPSCQueueCPP>},
                        {"mpmc", 2, 2, 256, open_queue<MPMCQueueCPP>},
                        {"mpmcvar", 2, 2, 640, open_queue<MPMCVarQueueCPP>}};
    bool ok = true, ran = false;
    for (const Kind& k : all) {
        if (kinds.find("," + std::string(k.name) + ",") == std::string::npos) continue;
        try {
            ok = soak_kind(k, messages, rss_slack_kib * 1024, signal_rate) && ok;
        } catch (const IPCQueueException& e) {
            ok = false, std::fprintf(stderr, "%s: create failed: %s\n", k.name, e.what());
        }
        ran = true;
    }
    if (!ran) return std::fprintf(stderr, "no kind selected\n"), 2;
    std::printf("soak %s\n", ok ? "passed" : "FAILED");
    return ok ? 0 : 1;
}
