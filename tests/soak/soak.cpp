// Soak: millions of messages through each queue kind between real processes.
// A message's body is a stream seeded by (writer, sequence), so a reader
// regenerates and compares all of it; readers mark each (writer, sequence) in
// a shared bitmap: a mark found set is a duplicate, one never set a loss.
// Each reader samples its RSS once the queue is warm and at the end.
//
// Usage: soak [--messages N] [--kinds spsc,mpmc,mpmcvar] [--rss-slack-kib K]
// Exits 1 on any loss, duplicate, damaged message, reader RSS growth beyond
// the slack, failed operation or hung process.
#include <signal.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "ipc_queue_exception.h"
#include "mpmc_queue.h"
#include "mpmcvar_queue.h"
#include "spsc_queue.h"

namespace {

using namespace mox::ipc_queue;

constexpr int kMaxProcs = 8;
constexpr uint32_t kReadTimeoutMs = 500;
constexpr uint64_t kIdleRoundsAfterWriters = 4;  // empty reads, once all writers are done, before a reader stops
constexpr int kKindLimitSeconds = 300;      // past it, the processes count as hung

struct Head {
    uint32_t writer, length;  // length: the whole message, head included
    uint64_t seq;
};

uint64_t splitmix(uint64_t& state) {
    uint64_t z = (state += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

void make_message(std::string& buf, uint32_t writer, uint64_t seq, uint32_t length) {
    buf.resize(length);
    const Head h{writer, length, seq};
    std::memcpy(buf.data(), &h, sizeof h);
    uint64_t state = (uint64_t{writer} << 40) ^ (seq * 0x100000001B3ull);
    for (size_t i = sizeof h; i < length; i += 8) {
        const uint64_t w = splitmix(state);
        std::memcpy(&buf[i], &w, std::min<size_t>(8, length - i));
    }
}

struct Config {
    const char* kind;
    int writers, readers;
    uint32_t lo, hi;  // message lengths
};

// In one anonymous shared mapping made before fork; the bitmap follows it.
struct Shared {
    std::atomic<uint32_t> attached, writers_done;
    std::atomic<uint64_t> delivered, duplicates, damaged;  // delivered: first deliveries
    uint64_t per_writer;
    struct Reader { uint64_t moved, rss_start, rss_end; } readers[kMaxProcs];
    std::atomic<uint64_t>* bits() { return reinterpret_cast<std::atomic<uint64_t>*>(this + 1); }
};

uint64_t rss_bytes() {
    unsigned long size = 0, resident = 0;
    if (FILE* f = std::fopen("/proc/self/statm", "r")) {
        if (std::fscanf(f, "%lu %lu", &size, &resident) != 2) resident = 0;
        std::fclose(f);
    }
    return uint64_t{resident} * static_cast<uint64_t>(::sysconf(_SC_PAGESIZE));
}

template <class Q, class... Geometry>
std::unique_ptr<IPCQueueCPP> open_as(const std::string& name, bool create, Geometry... g) {
    return create ? std::make_unique<Q>(name, g...) : std::make_unique<Q>(name);
}

std::unique_ptr<IPCQueueCPP> open_queue(const Config& c, const std::string& name, bool create) {
    if (std::strcmp(c.kind, "spsc") == 0) return open_as<SPSCQueueCPP>(name, create, 64, 256, true);
    if (std::strcmp(c.kind, "mpmc") == 0) return open_as<MPMCQueueCPP>(name, create, 64, 256);
    return open_as<MPMCVarQueueCPP>(name, create, 8, 16, 64);
}

// Every process attaches before any works: the first to finish destroys its
// queue object, which removes the names.
void wait_all_attached(Shared& sh, const Config& c) {
    sh.attached.fetch_add(1);
    while (sh.attached.load() < static_cast<uint32_t>(c.writers + c.readers))
        std::this_thread::sleep_for(std::chrono::microseconds(200));
}

void run_writer(IPCQueueCPP& q, Shared& sh, const Config& c, uint32_t writer) {
    wait_all_attached(sh, c);
    std::string buf;
    for (uint64_t seq = 0; seq < sh.per_writer; ++seq) {
        uint64_t s = (uint64_t{writer} << 48) ^ seq ^ 0xA5A5A5A5ull;
        make_message(buf, writer, seq, c.lo + static_cast<uint32_t>(splitmix(s) % (c.hi - c.lo + 1)));
        q.write(buf.data(), static_cast<int64_t>(buf.size()));
    }
    sh.writers_done.fetch_add(1);
}

void run_reader(IPCQueueCPP& q, Shared& sh, const Config& c, int slot) {
    wait_all_attached(sh, c);
    const uint64_t total = sh.per_writer * static_cast<uint64_t>(c.writers);
    const uint64_t warm = total / static_cast<uint64_t>(c.readers) / 100;  // every cell touched by then
    std::string msg, expected;
    uint64_t moved = 0, idle = 0;
    auto& stat = sh.readers[slot];
    // The bitmap is the harness's: map all of it in now, so that marking bits
    // later does not count as growth.
    uint64_t sink = 0;
    for (uint64_t w = 0; w < (total + 63) / 64; w += 512) sink += sh.bits()[w].load(std::memory_order_relaxed);
    if (total > 0) sink += sh.bits()[(total - 1) / 64].load(std::memory_order_relaxed);
    stat.moved = sink;  // keeps the loads; overwritten at the end
    stat.rss_start = rss_bytes();
    while (sh.delivered.load(std::memory_order_relaxed) < total) {
        if (q.read(msg, kReadTimeoutMs) != 0) {
            if (sh.writers_done.load() == static_cast<uint32_t>(c.writers) && ++idle >= kIdleRoundsAfterWriters) break;
            continue;
        }
        idle = 0;
        Head h{};
        if (msg.size() >= sizeof h) std::memcpy(&h, msg.data(), sizeof h);
        if (msg.size() < sizeof h || h.length != msg.size() || h.writer >= static_cast<uint32_t>(c.writers) ||
            h.seq >= sh.per_writer || (make_message(expected, h.writer, h.seq, h.length), expected != msg)) {
            sh.damaged.fetch_add(1);
            continue;
        }
        const uint64_t bit = h.writer * sh.per_writer + h.seq, mask = uint64_t{1} << (bit % 64);
        if (sh.bits()[bit / 64].fetch_or(mask) & mask)
            sh.duplicates.fetch_add(1);
        else
            sh.delivered.fetch_add(1, std::memory_order_relaxed);
        // Sampled while messages flow: the idle timed reads at the end fault
        // in code pages of their own, which is not growth per message.
        if (warm > 0 && ++moved % warm == 0) {
            stat.rss_end = rss_bytes();
            if (moved == warm) stat.rss_start = stat.rss_end;
        }
    }
    stat.moved = moved;
    if (moved < warm || warm == 0) stat.rss_end = rss_bytes();
}

// Runs `body` in a child, which exits 1 if it throws.
template <class Body>
pid_t spawn(const char* who, Body body) {
    const pid_t pid = ::fork();
    if (pid != 0) return pid;
    int code = 0;
    try {
        body();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s: %s\n", who, e.what());
        code = 1;
    }
    std::fflush(nullptr);
    ::_exit(code);
}

// Waits for every child. One that fails (or was never forked) can leave its
// peers blocked for ever, so on a failure, or past the time limit, all are killed.
bool supervise(const Config& c, const std::vector<pid_t>& pids) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(kKindLimitSeconds);
    bool ok = std::find(pids.begin(), pids.end(), -1) == pids.end();
    for (size_t ended = 0; ok && ended < pids.size();) {
        int status = 0;
        const pid_t pid = ::waitpid(-1, &status, WNOHANG);
        const bool failed = pid > 0 && !(WIFEXITED(status) && WEXITSTATUS(status) == 0);
        const bool hung = pid <= 0 && std::chrono::steady_clock::now() > deadline;
        if (failed) std::fprintf(stderr, "%s: process %d failed (status %#x)\n", c.kind, pid, status);
        if (hung) std::fprintf(stderr, "%s: still running after %d s: hung\n", c.kind, kKindLimitSeconds);
        ok = !failed && !hung;
        if (pid <= 0 && ok) std::this_thread::sleep_for(std::chrono::milliseconds(20));
        ended += pid > 0 ? 1 : 0;
    }
    for (pid_t p : pids)
        if (!ok && p > 0) ::kill(p, SIGKILL);
    while (::waitpid(-1, nullptr, 0) > 0) {
    }
    return ok;
}

// Throws IPCQueueException if the queue cannot be created.
bool soak_kind(const Config& c, uint64_t messages, uint64_t rss_slack) {
    const uint64_t per_writer = messages / static_cast<uint64_t>(c.writers);
    const uint64_t sent = per_writer * static_cast<uint64_t>(c.writers);
    const size_t shared_size = sizeof(Shared) + (sent + 63) / 64 * sizeof(uint64_t);
    void* mem = ::mmap(nullptr, shared_size, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    if (mem == MAP_FAILED) return std::perror("mmap"), false;
    Shared& sh = *new (mem) Shared();  // the mapping reads as zeros
    sh.per_writer = per_writer;
    const std::string name = "/mox_soak_" + std::string(c.kind) + "_" + std::to_string(::getpid());
    const auto t0 = std::chrono::steady_clock::now();
    bool ok = true;
    {
        const std::unique_ptr<IPCQueueCPP> creator = open_queue(c, name, true);
        std::vector<pid_t> pids;
        for (int r = 0; r < c.readers; ++r)
            pids.push_back(spawn("reader", [&, r] { run_reader(*open_queue(c, name, false), sh, c, r); }));
        // SPSC's one peer is the reader: the writer uses the creator's object.
        const bool spsc = std::strcmp(c.kind, "spsc") == 0;
        for (uint32_t w = 0; w < static_cast<uint32_t>(c.writers); ++w)
            pids.push_back(spawn("writer", [&, w] {
                run_writer(spsc ? *creator : *open_queue(c, name, false), sh, c, w);
            }));
        ok = supervise(c, pids);
    }  // the creator's object goes: every name is removed
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();

    const uint64_t delivered = sh.delivered.load(), lost = sent - delivered;
    std::printf("%-8s %d writer(s), %d reader(s), lengths %u..%u bytes\n", c.kind, c.writers, c.readers, c.lo, c.hi);
    std::printf("  moved %lu of %lu in %.1f s (%.0f msg/s)\n", delivered, sent, seconds, double(delivered) / seconds);
    std::printf("  lost %lu, duplicated %lu, damaged %lu\n", lost, sh.duplicates.load(), sh.damaged.load());
    for (int r = 0; r < c.readers; ++r) {
        const auto& s = sh.readers[r];
        const bool grew = s.rss_end > s.rss_start + rss_slack;
        std::printf("  reader %d: %lu messages, RSS start %lu KiB, end %lu KiB%s\n", r, s.moved, s.rss_start / 1024,
                    s.rss_end / 1024, grew ? "  GREW" : "");
        ok = ok && !grew && s.rss_start != 0;
    }
    ok = ok && lost == 0 && sh.duplicates.load() == 0 && sh.damaged.load() == 0;
    std::printf("  %s\n", ok ? "ok" : "FAILED");
    std::fflush(stdout);
    ::munmap(mem, shared_size);
    return ok;
}

}  // namespace

int main(int argc, char** argv) {
    uint64_t messages = 10'000'000, rss_slack_kib = 64;
    std::string kinds = ",spsc,mpmc,mpmcvar,";
    for (int i = 1; i < argc; i += 2) {
        const std::string opt = argv[i];
        if (i + 1 < argc && opt == "--messages")
            messages = std::strtoull(argv[i + 1], nullptr, 10);
        else if (i + 1 < argc && opt == "--kinds")
            kinds = "," + std::string(argv[i + 1]) + ",";
        else if (i + 1 < argc && opt == "--rss-slack-kib")
            rss_slack_kib = std::strtoull(argv[i + 1], nullptr, 10);
        else
            return std::fprintf(stderr, "usage: soak [--messages N] [--kinds spsc,...] [--rss-slack-kib K]\n"), 2;
    }
    // The fixed kinds fill up to a whole cell; the variable one spans up to
    // ten cells and crosses its ring of sixteen.
    const Config all[] = {{"spsc", 1, 1, 24, 256}, {"mpmc", 2, 2, 24, 256}, {"mpmcvar", 2, 2, 24, 640}};
    bool ok = true, ran = false;
    for (const Config& c : all) {
        if (kinds.find("," + std::string(c.kind) + ",") == std::string::npos) continue;
        try {
            ok = soak_kind(c, messages, rss_slack_kib * 1024) && ok;
        } catch (const IPCQueueException& e) {
            std::fprintf(stderr, "%s: create failed: %s\n", c.kind, e.what());
            ok = false;
        }
        ran = true;
    }
    if (!ran) return std::fprintf(stderr, "no kind selected\n"), 2;
    std::printf("soak %s\n", ok ? "passed" : "FAILED");
    return ok ? 0 : 1;
}
