// Soak: millions of messages through each queue kind between real processes.
// A message's body is a stream seeded by (writer, sequence), so a reader
// regenerates and compares all of it; readers mark each (writer, sequence) in
// a shared bitmap: a mark found set is a duplicate, one never set a loss.
// Each reader samples its RSS once the queue is warm and while messages flow.
// With --signals R, another process sends every writer and reader SIGUSR1
// and SIGCHLD (handlers that return) R times a second each: a call that a
// signal fails before it took anything is made again, and at the end every
// count and list of the queue must be back where it started.
// Usage: soak [--messages N] [--kinds spsc,mpmc,mpmcvar] [--rss-slack-kib K] [--signals R]
// Exits 1 on any loss, duplicate, damaged message, reader RSS growth beyond the slack, capacity not back,
// failure or hang.
#include <semaphore.h>
#include <signal.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "ipc_queue_exception.h"
#include "mpmc_queue.h"
#include "mpmcvar_queue.h"
#include "spsc_queue.h"

namespace {

using namespace mox::ipc_queue;

constexpr int kKindLimitSeconds = 300;  // past it, the processes count as hung

struct Head { uint32_t writer, length; uint64_t seq; };  // length: the whole message, head included

uint64_t splitmix(uint64_t& state) {
    uint64_t z = (state += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

struct Config { const char* kind; int writers, readers; uint32_t lo, hi; };  // lo..hi: message lengths

void make_message(std::string& buf, const Config& c, uint32_t writer, uint64_t seq) {
    uint64_t state = (uint64_t{writer} << 40) ^ (seq * 0x100000001B3ull);
    const auto length = static_cast<uint32_t>(c.lo + splitmix(state) % (c.hi - c.lo + 1));
    const Head h{writer, length, seq};
    buf.resize(length);
    std::memcpy(buf.data(), &h, sizeof h);
    for (size_t i = sizeof h; i < length; i += 8) {
        const uint64_t w = splitmix(state);
        std::memcpy(&buf[i], &w, std::min<size_t>(8, length - i));
    }
}

// In one anonymous shared mapping made before fork; the bitmap follows it.
struct Shared {
    std::atomic<uint32_t> writers_done;
    std::atomic<uint64_t> delivered, duplicates, damaged;  // delivered: first deliveries
    std::atomic<uint64_t> interrupted;                     // calls a signal failed before they took anything
    std::atomic<uint64_t> signal_rounds;                   // each: SIGUSR1 and SIGCHLD to every process
    uint64_t per_writer;
    struct Reader { uint64_t moved, rss_start, rss_end; } readers[8];
    std::atomic<uint64_t>* bits() { return reinterpret_cast<std::atomic<uint64_t>*>(this + 1); }
};

uint64_t rss_bytes() {
    uint64_t size = 0, resident = 0;  // 0 if unreadable: a failure
    std::ifstream("/proc/self/statm") >> size >> resident;
    return resident * static_cast<uint64_t>(::sysconf(_SC_PAGESIZE));
}

std::unique_ptr<IPCQueueCPP> open_queue(const Config& c, const std::string& name, bool create) {
    if (std::strcmp(c.kind, "spsc") == 0)
        return create ? std::make_unique<SPSCQueueCPP>(name, 64, 256, true) : std::make_unique<SPSCQueueCPP>(name);
    if (std::strcmp(c.kind, "mpmc") == 0)
        return create ? std::make_unique<MPMCQueueCPP>(name, 64, 256) : std::make_unique<MPMCQueueCPP>(name);
    return create ? std::make_unique<MPMCVarQueueCPP>(name, 8, 16, 64) : std::make_unique<MPMCVarQueueCPP>(name);
}

// A call whose wait a signal broke before it took anything fails with EINTR
// and did nothing: made again. Any other failure ends the process.
template <class Call>
auto again_if_interrupted(Shared& sh, Call call) {
    static const std::string interrupted = std::string(": ") + std::strerror(EINTR);
    for (;;) {
        try {
            return call();
        } catch (const IPCQueueException& e) {
            const std::string what = e.what();
            if (what.size() < interrupted.size() || what.compare(what.size() - interrupted.size(), std::string::npos,
                                                                  interrupted) != 0)
                throw;
            sh.interrupted.fetch_add(1, std::memory_order_relaxed);
        }
    }
}

void run_writer(IPCQueueCPP& q, Shared& sh, const Config& c, uint32_t writer) {
    std::string buf;
    for (uint64_t seq = 0; seq < sh.per_writer; ++seq) {
        make_message(buf, c, writer, seq);
        again_if_interrupted(sh, [&] { q.write(buf.data(), static_cast<int64_t>(buf.size())); });
    }
    sh.writers_done.fetch_add(1);
}

void run_reader(IPCQueueCPP& q, Shared& sh, const Config& c, int slot) {
    const uint64_t total = sh.per_writer * static_cast<uint64_t>(c.writers);
    const uint64_t warm = total / static_cast<uint64_t>(c.readers) / 100;  // every cell touched by then
    std::string msg, expected;
    uint64_t moved = 0, idle = 0;
    auto& stat = sh.readers[slot];
    // The bitmap is the harness's: every page of it is mapped in now, so that
    // marking bits later does not count as growth (the sum keeps the loads).
    for (uint64_t w = 0; w < (total + 63) / 64; w += 512) stat.moved += sh.bits()[w].load(std::memory_order_relaxed);
    if (total > 0) stat.moved += sh.bits()[(total - 1) / 64].load(std::memory_order_relaxed);
    stat.rss_start = rss_bytes();
    while (sh.delivered.load(std::memory_order_relaxed) < total) {
        // A read made again waits only for what is left of its 500 ms.
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(500);
        const auto left_ms = [&] {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            return static_cast<uint32_t>(std::max<int64_t>(1, left.count()));
        };
        if (again_if_interrupted(sh, [&] { return q.read(msg, left_ms()); }) != 0) {  // once every writer is done, four empty reads end a reader
            if (sh.writers_done.load() == static_cast<uint32_t>(c.writers) && ++idle >= 4) break;
            continue;
        }
        idle = 0;
        Head h{};
        if (msg.size() < sizeof h || (std::memcpy(&h, msg.data(), sizeof h), h.writer >= uint32_t(c.writers)) ||
            h.seq >= sh.per_writer || (make_message(expected, c, h.writer, h.seq), expected != msg)) {
            sh.damaged.fetch_add(1);
            continue;
        }
        const uint64_t bit = h.writer * sh.per_writer + h.seq, mask = uint64_t{1} << (bit % 64);
        (sh.bits()[bit / 64].fetch_or(mask) & mask ? sh.duplicates : sh.delivered).fetch_add(1);
        // Sampled while messages flow: the idle reads at the end fault in code pages of their own.
        if (warm > 0 && ++moved % warm == 0) {
            stat.rss_end = rss_bytes();
            if (moved == warm) stat.rss_start = stat.rss_end;
        }
    }
    stat.moved = moved;
    if (moved < warm || warm == 0) stat.rss_end = rss_bytes();
}

// Runs `body` in a child. A child that throws ends by SIGABRT (the message
// printed by std::terminate), one still running past the time limit by SIGALRM.
template <class Body>
pid_t spawn(Body body) {
    const pid_t pid = ::fork();
    if (pid != 0) return pid;
    ::alarm(kKindLimitSeconds);
    [&]() noexcept { body(); }();  // never back into the caller's frames
    std::fflush(nullptr);
    ::_exit(0);
}

// Waits for every child. One that fails (or was never forked) can leave its
// peers blocked for ever, so on a failure all are killed.
bool supervise(const Config& c, const std::vector<pid_t>& pids, pid_t signaller) {
    bool ok = std::find(pids.begin(), pids.end(), -1) == pids.end() && signaller != -1;
    for (size_t ended = 0; ok && ended < pids.size(); ++ended) {
        int status = 0;
        pid_t pid = 0;
        while ((pid = ::waitpid(-1, &status, 0)) == signaller && signaller > 0) {
        }
        ok = pid > 0 && WIFEXITED(status) && WEXITSTATUS(status) == 0;
        if (!ok)
            std::fprintf(stderr, "%s: process %d failed (status %#x)%s\n", c.kind, pid, status,
                         WIFSIGNALED(status) && WTERMSIG(status) == SIGALRM ? ": hung" : "");
    }
    for (pid_t p : pids)
        if (!ok && p > 0) ::kill(p, SIGKILL);
    if (signaller > 0) ::kill(signaller, SIGKILL);
    while (::waitpid(-1, nullptr, 0) > 0) continue;
    return ok;
}

// Sends SIGUSR1 and SIGCHLD to each of `pids`, up to `rate` rounds a second, until killed.
pid_t spawn_signaller(const std::vector<pid_t>& pids, unsigned rate, Shared& sh) {
    return spawn([&] {
        const timespec pause{0, static_cast<long>(1000000000 / rate)};
        for (;;) {
            for (pid_t p : pids) {
                ::kill(p, SIGUSR1);
                ::kill(p, SIGCHLD);
            }
            sh.signal_rounds.fetch_add(1, std::memory_order_relaxed);
            ::nanosleep(&pause, nullptr);
        }
    });
}

void handle_storm_signals() {
    struct sigaction sa {};
    sa.sa_handler = [](int) {};  // returns; no SA_RESTART, so every wait it lands in sees EINTR
    ::sigaction(SIGUSR1, &sa, nullptr);
    ::sigaction(SIGCHLD, &sa, nullptr);
}

// The queue's segment and semaphores, opened right after the create: an SPSC
// connect removes the names.
class Probe {
public:
    Probe(const std::string& name, const Config& c) {
        const int fd = ::shm_open(name.c_str(), O_RDONLY, 0);
        struct stat st {};
        if (fd >= 0 && ::fstat(fd, &st) == 0) {
            size_ = static_cast<size_t>(st.st_size);
            void* p = ::mmap(nullptr, size_, PROT_READ, MAP_SHARED, fd, 0);
            segment_ = p == MAP_FAILED ? nullptr : static_cast<const char*>(p);
        }
        if (fd >= 0) ::close(fd);
        std::vector<std::string> suffixes{"_free_", "_filled_"};
        if (std::strcmp(c.kind, "mpmc") == 0) suffixes = {"_free_", "_filled_", "_free_mutex_", "_filled_mutex_"};
        if (std::strcmp(c.kind, "mpmcvar") == 0 && segment_ != nullptr) {
            suffixes = {"_free_", "_used_", "_used_mutex_"};
            for (uint32_t ch = 0; ch < u32(12); ++ch)
                for (const char* half : {"_free_channel_", "_filled_channel_"}) suffixes.push_back(half + std::to_string(ch));
        }
        for (const std::string& suffix : suffixes) sems_[suffix] = ::sem_open((name + suffix).c_str(), 0);
    }
    ~Probe() {
        if (segment_ != nullptr) ::munmap(const_cast<char*>(segment_), size_);
        for (auto& [suffix, sem] : sems_)
            if (sem != SEM_FAILED) ::sem_close(sem);
    }
    bool ok() const { return segment_ != nullptr; }
    uint32_t u32(size_t at) const { uint32_t v; std::memcpy(&v, segment_ + at, 4); return v; }
    uint64_t u64(size_t at) const { uint64_t v; std::memcpy(&v, segment_ + at, 8); return v; }
    int sem(const std::string& suffix) const {
        const auto it = sems_.find(suffix);
        int value = -1;
        if (it == sems_.end() || it->second == SEM_FAILED || ::sem_getvalue(it->second, &value) != 0) return -1;
        return value;
    }

private:
    const char* segment_ = nullptr;
    size_t size_ = 0;
    std::map<std::string, sem_t*> sems_;
};

// What differs from a queue just created: counts, list words, ring positions.
std::string state_not_initial(const Config& c, const Probe& q) {
    std::string out;
    auto expect = [&](const std::string& what, int64_t got, int64_t want) {
        if (got != want) out += " " + what + " " + std::to_string(got) + " (not " + std::to_string(want) + ")";
    };
    if (!q.ok()) return " segment not readable";
    if (std::strcmp(c.kind, "spsc") == 0) {
        expect("free", q.sem("_free_"), q.u32(12));
        expect("filled", q.sem("_filled_"), 0);
        expect("read_index - write_index", q.u32(24), q.u32(28));
    } else if (std::strcmp(c.kind, "mpmc") == 0) {
        const uint32_t cells = q.u32(12);
        const uint64_t stride = q.u64(16) + 16;
        uint32_t listed = 0;
        for (uint32_t i = q.u32(24); i != kListEnd && listed <= cells; i = q.u32(40 + i * stride + 4)) ++listed;
        expect("cells on the free list", listed, cells);
        expect("filled head", q.u32(28), kListEnd);
        for (const char* s : {"_free_mutex_", "_filled_mutex_"}) expect(s, q.sem(s), 1);
        expect("free", q.sem("_free_"), cells);
        expect("filled", q.sem("_filled_"), 0);
    } else {
        const uint32_t channels = q.u32(12), cells = q.u32(16);
        const uint64_t stride = (uint64_t{q.u32(20)} + 16) * cells + 24;
        uint32_t listed = 0;
        for (uint32_t i = q.u32(24); i != kListEnd && listed <= channels; i = q.u32(40 + i * stride + 8)) ++listed;
        expect("channels on the free list", listed, channels);
        expect("used head", q.u32(32), kListEnd);
        expect("free", q.sem("_free_"), channels);
        expect("used", q.sem("_used_"), 0);
        expect("used mutex", q.sem("_used_mutex_"), 1);
        for (uint32_t ch = 0; ch < channels; ++ch) {
            const std::string n = std::to_string(ch);
            const size_t area = 40 + ch * stride;
            expect("channel " + n + " free", q.sem("_free_channel_" + n), cells);
            expect("channel " + n + " filled", q.sem("_filled_channel_" + n), 0);
            expect("channel " + n + " read_index - write_index", q.u32(area + 12), q.u32(area + 16));
            expect("channel " + n + " message state", q.u32(area + 20) & 0xFF, 0);
        }
    }
    return out;
}

// Throws IPCQueueException if the queue cannot be created.
bool soak_kind(const Config& c, uint64_t messages, uint64_t rss_slack, unsigned signal_rate) {
    const uint64_t per_writer = messages / static_cast<uint64_t>(c.writers), sent = per_writer * uint64_t(c.writers);
    const size_t shared_size = sizeof(Shared) + (sent + 63) / 64 * sizeof(uint64_t);
    void* mem = ::mmap(nullptr, shared_size, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    if (mem == MAP_FAILED) return std::perror("mmap"), false;
    Shared& sh = *new (mem) Shared();  // the mapping reads as zeros
    sh.per_writer = per_writer;
    const std::string name = "/mox_soak_" + std::string(c.kind) + "_" + std::to_string(::getpid());
    const auto t0 = std::chrono::steady_clock::now();
    std::unique_ptr<IPCQueueCPP> creator = open_queue(c, name, true);
    const Probe probe(name, c);
    // A child leaves its queue object to _exit: were it destroyed, the names
    // would go before every peer had connected. SPSC's one peer is the reader:
    // the writer uses the creator's object.
    const auto peer = [&] { return open_queue(c, name, false).release(); };
    const bool spsc = std::strcmp(c.kind, "spsc") == 0;
    std::vector<pid_t> pids;
    if (signal_rate > 0) handle_storm_signals();  // inherited by every child
    for (int r = 0; r < c.readers; ++r) pids.push_back(spawn([&, r] { run_reader(*peer(), sh, c, r); }));
    for (uint32_t w = 0; w < static_cast<uint32_t>(c.writers); ++w)
        pids.push_back(spawn([&, w] { run_writer(spsc ? *creator : *peer(), sh, c, w); }));
    const pid_t signaller = signal_rate > 0 ? spawn_signaller(pids, signal_rate, sh) : 0;
    bool ok = supervise(c, pids, signaller);
    const std::string not_initial = state_not_initial(c, probe);
    creator.reset();  // every name is removed
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();

    const uint64_t delivered = sh.delivered.load(), lost = sent - delivered;
    std::printf("%-8s %d writer(s), %d reader(s), lengths %u..%u bytes\n", c.kind, c.writers, c.readers, c.lo, c.hi);
    std::printf("  moved %lu of %lu in %.1f s (%.0f msg/s)\n", delivered, sent, seconds, double(delivered) / seconds);
    std::printf("  lost %lu, duplicated %lu, damaged %lu\n", lost, sh.duplicates.load(), sh.damaged.load());
    if (signal_rate > 0)
        std::printf("  signals: SIGUSR1 and SIGCHLD %.0f times/s to each process; %lu calls failed before taking "
                    "anything, made again\n", double(sh.signal_rounds.load()) / seconds, sh.interrupted.load());
    std::printf("  counts and lists back to their initial state: %s\n", not_initial.empty() ? "yes" : not_initial.c_str());
    for (int r = 0; r < c.readers; ++r) {
        const auto& s = sh.readers[r];
        // Signal frames land at any stack depth: a storm's RSS says nothing of the queue.
        const bool grew = signal_rate == 0 && s.rss_end > s.rss_start + rss_slack;
        std::printf("  reader %d: %lu messages, RSS start %lu KiB, end %lu KiB%s\n", r, s.moved, s.rss_start / 1024,
                    s.rss_end / 1024, grew ? "  GREW" : "");
        ok = ok && !grew && s.rss_start != 0;
    }
    ok = ok && lost == 0 && sh.duplicates.load() == 0 && sh.damaged.load() == 0 && not_initial.empty();
    std::printf("  %s\n", ok ? "ok" : "FAILED");
    std::fflush(stdout);
    ::munmap(mem, shared_size);
    return ok;
}

}  // namespace

int main(int argc, char** argv) {
    uint64_t messages = 10'000'000, rss_slack_kib = 64;
    unsigned signal_rate = 0;
    std::string kinds = ",spsc,mpmc,mpmcvar,";
    for (int i = 1; i < argc; i += 2) {
        const std::string opt = i + 1 < argc ? argv[i] : "";
        if (opt == "--messages") messages = std::strtoull(argv[i + 1], nullptr, 10);
        else if (opt == "--kinds") kinds = "," + std::string(argv[i + 1]) + ",";
        else if (opt == "--rss-slack-kib") rss_slack_kib = std::strtoull(argv[i + 1], nullptr, 10);
        else if (opt == "--signals") signal_rate = static_cast<unsigned>(std::strtoul(argv[i + 1], nullptr, 10));
        else return std::fprintf(stderr, "usage: soak [--messages N] [--kinds spsc,...] [--rss-slack-kib K] "
                                         "[--signals R]\n"), 2;
    }
    // The fixed kinds fill up to a whole cell; the variable one spans up to
    // ten cells and crosses its ring of sixteen.
    const Config all[] = {{"spsc", 1, 1, 24, 256}, {"mpmc", 2, 2, 24, 256}, {"mpmcvar", 2, 2, 24, 640}};
    bool ok = true, ran = false;
    for (const Config& c : all) {
        if (kinds.find("," + std::string(c.kind) + ",") == std::string::npos) continue;
        try {
            ok = soak_kind(c, messages, rss_slack_kib * 1024, signal_rate) && ok;
        } catch (const IPCQueueException& e) {
            ok = false, std::fprintf(stderr, "%s: create failed: %s\n", c.kind, e.what());
        }
        ran = true;
    }
    if (!ran) return std::fprintf(stderr, "no kind selected\n"), 2;
    std::printf("soak %s\n", ok ? "passed" : "FAILED");
    return ok ? 0 : 1;
}
