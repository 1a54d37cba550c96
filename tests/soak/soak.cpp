// Soak: moves millions of messages through each queue kind between real
// processes and checks every one.
//
// Each message carries its writer, its sequence number, its length and a
// checksum; its body is a pseudo-random stream seeded by writer and sequence,
// so a reader regenerates and compares all of it. Readers mark every
// (writer, sequence) in a bitmap shared by all processes: a mark found set is
// a duplicate, a mark never set a loss. Each reader samples its resident set
// size once the queue is warm (every cell touched) and again at the end.
//
// Usage: soak [--messages N] [--kinds spsc,mpmc,mpmcvar] [--rss-slack-kib K]
// Exits 1 on any loss, duplicate, damaged message, growth of a reader's RSS
// beyond the slack, failed operation or hung process.
#include <signal.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "ipc_queue.h"
#include "ipc_queue_exception.h"
#include "mpmc_queue.h"
#include "mpmcvar_queue.h"
#include "spsc_queue.h"

namespace {

using mox::ipc_queue::IPCQueueCPP;
using mox::ipc_queue::IPCQueueException;
using mox::ipc_queue::MPMCQueueCPP;
using mox::ipc_queue::MPMCVarQueueCPP;
using mox::ipc_queue::SPSCQueueCPP;

constexpr int kMaxProcs = 8;
constexpr uint32_t kReadTimeoutMs = 500;
// A reader that got nothing for this long after every writer finished stops.
constexpr int kIdleRoundsAfterWriters = 4;
// Bound on a whole kind; past it the processes count as hung.
constexpr int kKindLimitSeconds = 300;

struct Head {
    uint32_t writer;
    uint32_t length;  // whole message, head included
    uint64_t seq;
    uint64_t check;
};
static_assert(sizeof(Head) == 24);

uint64_t splitmix(uint64_t& state) {
    uint64_t z = (state += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

uint32_t length_for(uint32_t writer, uint64_t seq, uint32_t lo, uint32_t hi) {
    uint64_t s = (uint64_t{writer} << 48) ^ seq ^ 0xA5A5A5A5ull;
    return lo + static_cast<uint32_t>(splitmix(s) % (hi - lo + 1));
}

// Body bytes from a stream seeded by (writer, seq); returns a word checksum.
uint64_t fill_body(char* body, size_t n, uint32_t writer, uint64_t seq) {
    uint64_t state = (uint64_t{writer} << 40) ^ (seq * 0x100000001B3ull);
    uint64_t check = 0xCBF29CE484222325ull ^ seq;
    size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        const uint64_t w = splitmix(state);
        std::memcpy(body + i, &w, 8);
        check = (check ^ w) * 0x100000001B3ull;
    }
    if (i < n) {
        const uint64_t w = splitmix(state);
        std::memcpy(body + i, &w, n - i);
        check = (check ^ (w & ((uint64_t{1} << (8 * (n - i))) - 1))) * 0x100000001B3ull;
    }
    return check;
}

void make_message(std::string& buf, uint32_t writer, uint64_t seq, uint32_t length) {
    buf.resize(length);
    Head h{writer, length, seq, 0};
    h.check = fill_body(buf.data() + sizeof h, length - sizeof h, writer, seq) ^ h.length;
    std::memcpy(buf.data(), &h, sizeof h);
}

struct Config {
    const char* kind;
    int writers;
    int readers;
    uint32_t lo, hi;  // message lengths
};

// In one anonymous shared mapping, made before fork: every process sees it.
struct Shared {
    std::atomic<uint32_t> attached;
    std::atomic<uint32_t> writers_done;
    std::atomic<uint64_t> delivered;  // first deliveries
    std::atomic<uint64_t> duplicates;
    std::atomic<uint64_t> damaged;
    std::atomic<uint64_t> failures;
    char failure_text[256];
    uint64_t per_writer;
    struct ReaderStat {
        uint64_t moved;
        uint64_t rss_start;
        uint64_t rss_end;
    } readers[kMaxProcs];
    // One bit per (writer, seq) follows.
    std::atomic<uint64_t>* bits() { return reinterpret_cast<std::atomic<uint64_t>*>(this + 1); }
};

uint64_t rss_bytes() {
    FILE* f = std::fopen("/proc/self/statm", "r");
    unsigned long size = 0, resident = 0;
    if (f != nullptr) {
        if (std::fscanf(f, "%lu %lu", &size, &resident) != 2) resident = 0;
        std::fclose(f);
    }
    return static_cast<uint64_t>(resident) * static_cast<uint64_t>(::sysconf(_SC_PAGESIZE));
}

void record_failure(Shared& sh, const char* who, const char* what) {
    if (sh.failures.fetch_add(1) == 0) std::snprintf(sh.failure_text, sizeof sh.failure_text, "%s: %s", who, what);
}

std::unique_ptr<IPCQueueCPP> create(const Config& c, const std::string& name) {
    if (std::strcmp(c.kind, "spsc") == 0) return std::make_unique<SPSCQueueCPP>(name, 64, 256, true);
    if (std::strcmp(c.kind, "mpmc") == 0) return std::make_unique<MPMCQueueCPP>(name, 64, 256);
    return std::make_unique<MPMCVarQueueCPP>(name, 8, 16, 64);
}

std::unique_ptr<IPCQueueCPP> connect(const Config& c, const std::string& name) {
    if (std::strcmp(c.kind, "spsc") == 0) return std::make_unique<SPSCQueueCPP>(name);
    if (std::strcmp(c.kind, "mpmc") == 0) return std::make_unique<MPMCQueueCPP>(name);
    return std::make_unique<MPMCVarQueueCPP>(name);
}

// Every process attaches before any works: the first to finish destroys its
// queue object, which removes the names.
void wait_all_attached(Shared& sh, uint32_t procs) {
    sh.attached.fetch_add(1);
    while (sh.attached.load() < procs) std::this_thread::sleep_for(std::chrono::microseconds(200));
}

void run_writer(IPCQueueCPP& q, Shared& sh, const Config& c, uint32_t writer, uint32_t procs) {
    wait_all_attached(sh, procs);
    std::string buf;
    for (uint64_t seq = 0; seq < sh.per_writer; ++seq) {
        make_message(buf, writer, seq, length_for(writer, seq, c.lo, c.hi));
        q.write(buf.data(), static_cast<int64_t>(buf.size()));
    }
    sh.writers_done.fetch_add(1);
}

bool intact(const std::string& msg, std::string& expected, uint64_t per_writer, int writers, Head& h) {
    if (msg.size() < sizeof(Head)) return false;
    std::memcpy(&h, msg.data(), sizeof h);
    if (h.length != msg.size() || h.writer >= static_cast<uint32_t>(writers) || h.seq >= per_writer) return false;
    make_message(expected, h.writer, h.seq, h.length);
    return expected == msg;
}

void run_reader(IPCQueueCPP& q, Shared& sh, const Config& c, int slot, uint32_t procs) {
    wait_all_attached(sh, procs);
    const uint64_t total = sh.per_writer * static_cast<uint64_t>(c.writers);
    const uint64_t warm = total / static_cast<uint64_t>(c.readers) / 100;
    std::string msg, expected;
    msg.reserve(c.hi);
    expected.reserve(c.hi);
    uint64_t moved = 0;
    int idle = 0;
    auto& stat = sh.readers[slot];
    // The bitmap is the harness's, not the queue's: map all of it in now, so
    // that marking bits later does not count as growth.
    const uint64_t words = (total + 63) / 64;
    uint64_t sink = 0;
    for (uint64_t w = 0; w < words; w += 512) sink += sh.bits()[w].load(std::memory_order_relaxed);
    if (words > 0) sink += sh.bits()[words - 1].load(std::memory_order_relaxed);
    stat.moved = sink;  // keeps the loads; overwritten at the end
    stat.rss_start = rss_bytes();
    while (sh.delivered.load(std::memory_order_relaxed) < total) {
        if (q.read(msg, kReadTimeoutMs) != 0) {
            if (sh.writers_done.load() == static_cast<uint32_t>(c.writers) && ++idle >= kIdleRoundsAfterWriters) break;
            continue;
        }
        idle = 0;
        Head h{};
        if (!intact(msg, expected, sh.per_writer, c.writers, h)) {
            sh.damaged.fetch_add(1);
            continue;
        }
        const uint64_t bit = h.writer * sh.per_writer + h.seq;
        const uint64_t mask = uint64_t{1} << (bit % 64);
        if (sh.bits()[bit / 64].fetch_or(mask) & mask)
            sh.duplicates.fetch_add(1);
        else
            sh.delivered.fetch_add(1, std::memory_order_relaxed);
        // Warm: every cell of the segment has been touched by now.
        if (++moved == warm) stat.rss_start = rss_bytes();
    }
    stat.moved = moved;
    stat.rss_end = rss_bytes();
}

// Runs `body` in a child that reports an exception as a failure.
pid_t spawn(Shared& sh, const char* who, const std::function<void()>& body) {
    const pid_t pid = ::fork();
    if (pid != 0) return pid;
    try {
        body();
    } catch (const IPCQueueException& e) {
        record_failure(sh, who, e.what());
    } catch (const std::exception& e) {
        record_failure(sh, who, e.what());
    }
    std::fflush(nullptr);
    ::_exit(0);
}

bool soak_kind(const Config& c, uint64_t messages, uint64_t rss_slack) {
    const uint64_t per_writer = messages / static_cast<uint64_t>(c.writers);
    const uint64_t bit_words = (per_writer * static_cast<uint64_t>(c.writers) + 63) / 64;
    const size_t shared_size = sizeof(Shared) + bit_words * sizeof(uint64_t);
    void* mem = ::mmap(nullptr, shared_size, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    if (mem == MAP_FAILED) {
        std::perror("mmap");
        return false;
    }
    Shared& sh = *new (mem) Shared();  // the mapping reads as zeros
    sh.per_writer = per_writer;

    const std::string name = "/mox_soak_" + std::string(c.kind) + "_" + std::to_string(::getpid());
    const uint32_t procs = static_cast<uint32_t>(c.writers + c.readers);
    const auto t0 = std::chrono::steady_clock::now();
    std::vector<pid_t> pids;
    bool ok = true;
    {
        std::unique_ptr<IPCQueueCPP> creator;
        try {
            creator = create(c, name);
        } catch (const IPCQueueException& e) {
            std::fprintf(stderr, "%s: create failed: %s\n", c.kind, e.what());
            return false;
        }
        const bool spsc = std::strcmp(c.kind, "spsc") == 0;
        for (int r = 0; r < c.readers; ++r)
            pids.push_back(spawn(sh, "reader", [&, r] {
                auto q = connect(c, name);
                run_reader(*q, sh, c, r, procs);
            }));
        for (int w = 0; w < c.writers; ++w)
            pids.push_back(spawn(sh, "writer", [&, w] {
                // SPSC: the one peer connected already; the writer uses the
                // creator's object, inherited through fork.
                if (spsc) {
                    run_writer(*creator, sh, c, static_cast<uint32_t>(w), procs);
                    return;
                }
                auto q = connect(c, name);
                run_writer(*q, sh, c, static_cast<uint32_t>(w), procs);
            }));

        const auto deadline = t0 + std::chrono::seconds(kKindLimitSeconds);
        size_t ended = 0;
        while (ended < pids.size()) {
            int status = 0;
            const pid_t pid = ::waitpid(-1, &status, WNOHANG);
            if (pid > 0) {
                ++ended;
                if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
                    std::fprintf(stderr, "%s: process %d ended abnormally (status %#x)\n", c.kind, pid, status);
                    ok = false;
                }
                continue;
            }
            // A failed process can leave its peers blocked for ever: stop them.
            const bool failed = sh.failures.load() != 0;
            if (failed || std::chrono::steady_clock::now() > deadline) {
                if (!failed)
                    std::fprintf(stderr, "%s: processes still running after %d s: hung\n", c.kind, kKindLimitSeconds);
                for (pid_t p : pids) ::kill(p, SIGKILL);
                while (::waitpid(-1, nullptr, 0) > 0) {
                }
                ok = false;
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    }  // the creator's object goes: every name is removed
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();

    const uint64_t sent = per_writer * static_cast<uint64_t>(c.writers);
    const uint64_t delivered = sh.delivered.load();
    const uint64_t lost = sent - delivered;
    std::printf("%-8s %d writer(s), %d reader(s), lengths %u..%u bytes\n", c.kind, c.writers, c.readers, c.lo, c.hi);
    std::printf("  moved %llu of %llu in %.1f s (%.0f msg/s)\n", static_cast<unsigned long long>(delivered),
                static_cast<unsigned long long>(sent), seconds, delivered / seconds);
    std::printf("  lost %llu, duplicated %llu, damaged %llu\n", static_cast<unsigned long long>(lost),
                static_cast<unsigned long long>(sh.duplicates.load()),
                static_cast<unsigned long long>(sh.damaged.load()));
    for (int r = 0; r < c.readers; ++r) {
        const auto& s = sh.readers[r];
        const bool grew = s.rss_end > s.rss_start + rss_slack;
        std::printf("  reader %d: %llu messages, RSS start %llu KiB, end %llu KiB%s\n", r,
                    static_cast<unsigned long long>(s.moved), static_cast<unsigned long long>(s.rss_start / 1024),
                    static_cast<unsigned long long>(s.rss_end / 1024), grew ? "  GREW" : "");
        ok = ok && !grew && s.rss_start != 0;
    }
    if (sh.failures.load() != 0) std::printf("  FAILED: %s\n", sh.failure_text);
    ok = ok && lost == 0 && sh.duplicates.load() == 0 && sh.damaged.load() == 0 && sh.failures.load() == 0;
    std::printf("  %s\n", ok ? "ok" : "FAILED");
    std::fflush(stdout);
    ::munmap(mem, shared_size);
    return ok;
}

}  // namespace

int main(int argc, char** argv) {
    uint64_t messages = 10'000'000;
    std::string kinds = "spsc,mpmc,mpmcvar";
    uint64_t rss_slack_kib = 64;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string opt = argv[i];
        if (opt == "--messages")
            messages = std::strtoull(argv[i + 1], nullptr, 10);
        else if (opt == "--kinds")
            kinds = argv[i + 1];
        else if (opt == "--rss-slack-kib")
            rss_slack_kib = std::strtoull(argv[i + 1], nullptr, 10);
        else {
            std::fprintf(stderr, "usage: %s [--messages N] [--kinds spsc,mpmc,mpmcvar] [--rss-slack-kib K]\n", argv[0]);
            return 2;
        }
    }
    // Lengths: the fixed kinds fill up to a whole cell; the variable one spans
    // up to ten cells and crosses its ring of sixteen.
    const Config all[] = {
        {"spsc", 1, 1, 24, 256},
        {"mpmc", 2, 2, 24, 256},
        {"mpmcvar", 2, 2, 24, 640},
    };
    bool ok = true;
    int ran = 0;
    for (const Config& c : all) {
        if (("," + kinds + ",").find("," + std::string(c.kind) + ",") == std::string::npos) continue;
        ok = soak_kind(c, messages, rss_slack_kib * 1024) && ok;
        ++ran;
    }
    if (ran == 0) {
        std::fprintf(stderr, "no kind selected\n");
        return 2;
    }
    std::printf("soak %s\n", ok ? "passed" : "FAILED");
    return ok ? 0 : 1;
}
