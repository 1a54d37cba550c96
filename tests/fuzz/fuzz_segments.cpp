// Damaged-segment fuzzing of the three queue kinds, one forked child per case:
// create a queue of random small geometry, leave messages in it, overwrite
// header fields, list words, channel-area words, cell lengths or bytes (in one
// case in five another process keeps flipping one such word), maybe connect,
// then one write and one read. The child must not die by a signal, hang, or
// throw anything but IPCQueueException. A repeating SIGALRM makes blocking
// waits fail with EINTR, so a wait made endless by damage still ends.
// guarded_mmap.cpp puts PROT_NONE around every segment mapping.
//
// Usage: fuzz_segments [--cases N (per kind)] [--seed S] [--kind spsc|mpmc|mpmcvar|all]
//                      [--jobs J] [--case I (replay one, with output)] [--verbose]
//                      [--inject-crash (case 0 of each kind reads past its segment)]
#include <poll.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/time.h>

#include <memory>
#include <random>

#include "ipc_queue_exception.h"
#include "mpmc_queue.h"
#include "mpmcvar_queue.h"
#include "spsc_queue.h"
#include "test_support.h"

// A sanitizer report ends the child with SIGABRT, which counts as a crash.
extern "C" const char* __asan_default_options() { return "abort_on_error=1:detect_leaks=0"; }
extern "C" const char* __ubsan_default_options() { return "abort_on_error=1:halt_on_error=1:print_stacktrace=1"; }
extern "C" int mox_fuzz_guard_segments;
extern "C" long mox_fuzz_guarded_mappings;

namespace mox::ipc_queue::fuzz {
namespace {

enum class Kind { kSPSC, kMPMC, kMPMCVar };
const char* kind_name(Kind k) { return k == Kind::kSPSC ? "spsc" : k == Kind::kMPMC ? "mpmc" : "mpmcvar"; }

// A clean case exits with kClean plus outcome bits. Any other code is a crash:
// sanitizers that do not abort exit with small codes (1, 66).
constexpr int kClean = 40, kConnectRefused = 1, kOpThrew = 2, kOpDone = 4;
constexpr int kWrongException = 100, kSetupFailed = 102;
constexpr int kCaseTimeoutS = 20;  // a child alive after this is a hang

struct Rng {
    std::mt19937_64 gen;
    explicit Rng(std::seed_seq&& seed) : gen(seed) {}
    uint64_t below(uint64_t n) { return n == 0 ? 0 : gen() % n; }
    uint64_t range(uint64_t lo, uint64_t hi) { return lo + below(hi - lo + 1); }
    bool chance(unsigned percent) { return below(100) < percent; }
    template <class T> T of(const std::vector<T>& v) { return v[below(v.size())]; }
};

bool g_verbose = false;
#define NOTE(...) (g_verbose ? static_cast<void>(std::fprintf(stderr, __VA_ARGS__)) : static_cast<void>(0))

struct Geometry { uint32_t channels, cells, cell_size; };  // channels: MPMCVar only

// Offsets worth damaging, after the layouts in queue/*.h: header fields, u32
// list words and ring indices, u64 cell and message lengths.
struct Targets {
    std::vector<size_t> header32, header64, links, lengths;
    size_t size;
};

Targets targets_for(Kind kind, const Geometry& g) {
    const bool var = kind == Kind::kMPMCVar;
    Targets t = kind == Kind::kSPSC ? Targets{{8, 12}, {0, 16, 32, 40}, {24, 28}, {}, 48}
                : var               ? Targets{{8, 12, 16, 20}, {0}, {24, 28, 32, 36}, {}, 40}
                                    : Targets{{8, 12, 36}, {0, 16}, {24, 28, 32}, {}, 40};
    // After the header: one cell array, or for MPMCVar one channel area each
    // (message length, four list and ring words, then the cells).
    const size_t stride = size_t{g.cell_size} + 16, head = var ? 24 : 0;
    for (size_t c = 0; c < (var ? g.channels : 1); ++c, t.size += head + g.cells * stride) {
        if (var) t.lengths.push_back(t.size);
        if (var) t.links.insert(t.links.end(), {t.size + 8, t.size + 12, t.size + 16, t.size + 20});
        for (size_t cell = t.size + head; cell < t.size + head + g.cells * stride; cell += stride) {
            if (kind == Kind::kMPMC) t.links.push_back(cell + 4);  // `next`
            t.lengths.push_back(cell + 8);
        }
    }
    return t;
}

uint64_t interesting(Rng& rng, const Geometry& g, size_t width) {
    const uint64_t c = g.cell_size, r = rng.gen();
    if (width == 4) {
        const uint32_t n = rng.chance(50) ? g.cells : g.channels;
        const std::vector<uint32_t> v{0u,          1u,          2u,          n - 1,      n,
                                      n + 1,       kListEnd,    kInUseMark,  0x7FFFFFFFu, 0x80000000u,
                                      0xFFFFFFFEu, g.cell_size, g.cell_size + 1, static_cast<uint32_t>(r)};
        return rng.of(v);
    }
    const std::vector<uint64_t> v{0,         1,         c - 1,         c,         c + 1,  2 * c,
                                  1ull << 32, 1ull << 63, ~uint64_t{0}, ~uint64_t{0} - c, r, r % 4096};
    return rng.of(v);
}

struct Word { size_t offset, width; uint64_t value; };

Word pick_word(const Targets& t, const Geometry& g, Rng& rng) {
    const uint64_t what = rng.below(100);
    const auto [pool, width] = what < 25   ? std::pair{&t.header32, size_t{4}}
                               : what < 40 ? std::pair{&t.header64, size_t{8}}
                               : what < 75 ? std::pair{&t.links, size_t{4}}
                                           : std::pair{&t.lengths, size_t{8}};
    return {rng.of(*pool), width, interesting(rng, g, width)};
}

// Through the descriptor: another mapping could sit next to the queue's and
// hide an overrun.
void damage(const std::string& name, const Targets& t, const Geometry& g, Rng& rng) {
    const int fd = ::shm_open(name.c_str(), O_RDWR, 0600);
    if (fd < 0) std::_Exit(kSetupFailed);
    for (int i = static_cast<int>(rng.range(1, 4)); i > 0; --i) {
        Word w{rng.below(t.size), 1, 0};
        if (rng.chance(20)) {
            unsigned char b = 0;
            if (::pread(fd, &b, 1, static_cast<off_t>(w.offset)) != 1) std::_Exit(kSetupFailed);
            w.value = rng.chance(50) ? b ^ (1u << rng.below(8)) : rng.below(256);
        } else {
            w = pick_word(t, g, rng);
        }
        NOTE("  %zu-byte word @%zu = %#llx\n", w.width, w.offset, static_cast<unsigned long long>(w.value));
        if (::pwrite(fd, &w.value, w.width, static_cast<off_t>(w.offset)) != static_cast<ssize_t>(w.width))
            std::_Exit(kSetupFailed);
    }
    ::close(fd);
}

// Another process flips one word between its value and a damaged one, so
// that checks made once and values read again disagree. Returns its pid.
pid_t start_racing(const std::string& name, const Targets& t, const Geometry& g, Rng& rng) {
    const Word w = pick_word(t, g, rng);
    int ready[2];
    const pid_t parent = ::getpid();
    const pid_t pid = ::pipe(ready) == 0 ? ::fork() : -1;
    if (pid < 0) std::_Exit(kSetupFailed);
    if (pid == 0) {
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (::getppid() != parent) ::_exit(0);
        test::SegmentView view(name);
        if (!view.ok()) ::_exit(1);
        volatile unsigned char* word = view.bytes() + w.offset;
        uint64_t original = 0;
        for (size_t b = 0; b < w.width; ++b) original |= uint64_t{word[b]} << (8 * b);
        (void)!::write(ready[1], "r", 1);
        for (uint64_t i = 0;; ++i) {
            const uint64_t v = (i & 1) ? w.value : original;
            for (size_t b = 0; b < w.width; ++b) word[b] = static_cast<unsigned char>(v >> (8 * b));
        }
    }
    ::close(ready[1]);
    char c = 0;
    if (::read(ready[0], &c, 1) != 1) std::_Exit(kSetupFailed);
    ::close(ready[0]);
    NOTE("  racing %zu-byte word @%zu with %#llx\n", w.width, w.offset, static_cast<unsigned long long>(w.value));
    return pid;
}

// Creates with geometry `g`, or connects when there is none.
std::unique_ptr<IPCQueueCPP> open_queue(Kind kind, const std::string& name, const Geometry* g, Rng& rng) {
    if (kind == Kind::kSPSC)
        return g ? std::make_unique<SPSCQueueCPP>(name, g->cells, g->cell_size, rng.chance(50))
                 : std::make_unique<SPSCQueueCPP>(name);
    if (kind == Kind::kMPMC)
        return g ? std::make_unique<MPMCQueueCPP>(name, g->cells, g->cell_size) : std::make_unique<MPMCQueueCPP>(name);
    return g ? std::make_unique<MPMCVarQueueCPP>(name, g->channels, g->cells, g->cell_size)
             : std::make_unique<MPMCVarQueueCPP>(name);
}

// The longest message that a lone writer can finish without a reader.
uint64_t max_length(Kind kind, const Geometry& g) {
    return kind == Kind::kMPMCVar ? uint64_t{g.cells} * g.cell_size - 1 : g.cell_size;
}

std::string payload(Rng& rng, uint64_t length) {
    std::string s(length, '\0');
    for (char& c : s) c = static_cast<char>('a' + rng.below(26));
    return s;
}

// Leaves messages in the queue; for MPMCVar some channels read back (the free
// stack reordered) and at times a message left half written.
void prime(Kind kind, IPCQueueCPP& q, const Geometry& g, Rng& rng) {
    const uint64_t capacity = kind == Kind::kMPMCVar ? g.channels : g.cells;
    const uint64_t writes = rng.range(0, capacity), reads = rng.range(0, writes);
    for (uint64_t i = 0; i < writes; ++i) {
        const std::string m = payload(rng, rng.range(0, max_length(kind, g)));
        q.write(m.data(), static_cast<int64_t>(m.size()));
    }
    std::string out;
    for (uint64_t i = 0; i < reads; ++i)
        if (q.read(out, 1000) != 0) std::_Exit(kSetupFailed);
    if (kind == Kind::kMPMCVar && writes - reads < capacity && rng.chance(20)) {
        const std::string m = payload(rng, rng.range(1, max_length(kind, g)));
        Channel& ch = static_cast<MPMCVarQueueCPP&>(q).open_channel_for_write();
        ch.partial_write(m.data(), static_cast<int64_t>(m.size()));  // never completed
    }
    NOTE("  primed: %d written, %d read\n", static_cast<int>(writes), static_cast<int>(reads));
}

// Every blocking wait fails with EINTR within 60 ms: longer than any timed
// read below, so a timeout is still seen as one.
void wait_breaker(bool on) {
    struct sigaction sa {};
    sa.sa_handler = [](int) {};  // no SA_RESTART: sem_wait returns EINTR
    ::sigaction(SIGALRM, &sa, nullptr);
    itimerval tv{};
    if (on) tv = {{0, 30000}, {0, 60000}};
    ::setitimer(ITIMER_REAL, &tv, nullptr);
}

void do_write(Kind kind, IPCQueueCPP& q, const Geometry& g, Rng& rng) {
    const uint64_t limit = max_length(kind, g);
    const std::string m = payload(rng, rng.chance(90) ? rng.range(0, limit) : rng.range(0, 3 * limit + 3));
    if (kind == Kind::kMPMCVar && rng.chance(40)) {
        auto& v = static_cast<MPMCVarQueueCPP&>(q);
        Channel& ch = v.open_channel_for_write();
        const size_t half = m.size() / 2;
        ch.partial_write(m.data(), static_cast<int64_t>(half));
        ch.partial_write(m.data() + half, static_cast<int64_t>(m.size() - half));
        v.close_channel_after_write(ch);
    } else {
        q.write(m.data(), static_cast<int64_t>(m.size()));
    }
    NOTE("  write %zu bytes: done\n", m.size());
}

void do_read(Kind kind, IPCQueueCPP& q, Rng& rng) {
    const uint64_t how = rng.below(100);
    if (how < 25) {
        // Zero-copy: every exposed byte is touched, so a length reaching past
        // the mapping faults here.
        void* handle = q.read_begin();
        char* data = nullptr;
        uint64_t length = 0;
        unsigned sum = 0;
        for (int cells = 0; cells < 64; ++cells) {
            const bool last = q.read(handle, &data, &length);
            for (uint64_t i = 0; i < length; ++i) sum += static_cast<unsigned char>(data[i]);
            if (last) break;
        }
        q.read_end(handle);
        NOTE("  zero-copy read: done (%u)\n", sum);
    } else if (how < 45 && kind != Kind::kMPMCVar) {
        char buffer[256];
        int64_t got = 0;
        const int rc = kind == Kind::kSPSC ? static_cast<SPSCQueueCPP&>(q).read(buffer, sizeof buffer, got, 10)
                                           : static_cast<MPMCQueueCPP&>(q).read(buffer, sizeof buffer, got, 10);
        NOTE("  buffer read: rc %d, %lld bytes\n", rc, static_cast<long long>(got));
    } else {
        std::string out;
        const int rc = q.read(out, 10);
        NOTE("  read: rc %d, %zu bytes\n", rc, out.size());
    }
}

// Reads onward from inside the segment a page at a time, as an overrun would:
// the guard after the segment must stop it with SIGSEGV.
[[noreturn]] void touch_past_segment(Kind kind, IPCQueueCPP& q) {
    const volatile char* p = kind == Kind::kSPSC   ? static_cast<SPSCQueueCPP&>(q).cellAt(0)->data()
                             : kind == Kind::kMPMC ? static_cast<MPMCQueueCPP&>(q).open_cell_for_write()->data()
                                                   : static_cast<MPMCVarQueueCPP&>(q).channelShmAt(0);
    unsigned sum = 0;
    for (int page = 0; page < 256; ++page) sum += static_cast<unsigned char>(p[page * 4096]);
    std::fprintf(stderr, "no guard after the segment (%u)\n", sum);
    std::_Exit(kSetupFailed);
}

// One case, in the child; returns its exit code.
int run_case(Kind kind, const std::string& name, uint64_t base_seed, long index, bool inject_crash) {
    Rng rng(std::seed_seq{uint32_t(base_seed), uint32_t(base_seed >> 32), uint32_t(kind), uint32_t(index)});
    const auto channels = static_cast<uint32_t>(rng.range(1, 4));
    const auto cells = static_cast<uint32_t>(rng.range(1, kind == Kind::kMPMCVar ? 4 : 6));
    const Geometry g{channels, cells, static_cast<uint32_t>(rng.chance(50) ? rng.range(1, 24) : 8 * rng.range(1, 4))};
    NOTE("case %s %ld: channels %u cells %u cell_size %u\n", kind_name(kind), index, g.channels, g.cells, g.cell_size);
    std::unique_ptr<IPCQueueCPP> creator;
    try {
        creator = open_queue(kind, name, &g, rng);
        if (inject_crash) touch_past_segment(kind, *creator);
        prime(kind, *creator, g, rng);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "setup failed: %s\n", e.what());
        return kSetupFailed;
    }
    const Targets t = targets_for(kind, g);
    damage(name, t, g, rng);
    const pid_t racer = rng.chance(20) ? start_racing(name, t, g, rng) : -1;

    int outcome = 0;
    std::unique_ptr<IPCQueueCPP> peer;
    if (rng.chance(70)) {
        try {
            peer = open_queue(kind, name, nullptr, rng);
            NOTE("  connected\n");
        } catch (const IPCQueueException& e) {
            NOTE("  connect refused: %s\n", e.what());
            outcome |= kConnectRefused;
        }
    }
    IPCQueueCPP& first = peer != nullptr && rng.chance(70) ? *peer : *creator;
    IPCQueueCPP& second = peer != nullptr && rng.chance(50) ? *peer : *creator;
    const bool write_first = rng.chance(50);
    for (int step = 0; step < 2; ++step) {
        IPCQueueCPP& q = step == 0 ? first : second;
        wait_breaker(true);
        try {
            if ((step == 0) == write_first)
                do_write(kind, q, g, rng);
            else
                do_read(kind, q, rng);
            outcome |= kOpDone;
        } catch (const IPCQueueException& e) {
            NOTE("  threw: %s\n", e.what());
            outcome |= kOpThrew;
        }
        wait_breaker(false);
    }
    if (racer > 0) ::kill(racer, SIGKILL), ::waitpid(racer, nullptr, 0);
    NOTE("  guarded mappings: %ld\n", mox_fuzz_guarded_mappings);
    return kClean + outcome;
}

struct Tally {
    long cases = 0, crashes = 0, hangs = 0, wrong = 0, setup = 0, refused = 0, threw = 0, done = 0;
    long failures() const { return crashes + hangs + wrong + setup; }
};

struct Running {
    Kind kind;
    long index;
    std::string name, output;  // output: what the child wrote to stderr
    pid_t pid;
    int fd;
    std::chrono::steady_clock::time_point deadline;
};

Running start_case(Kind kind, uint64_t base_seed, long index, bool inject_crash) {
    Running r{kind, index, test::unique_name(std::string("fz") + kind_name(kind)), {}, -1, -1,
              std::chrono::steady_clock::now() + std::chrono::seconds(kCaseTimeoutS)};
    int fds[2];
    if (::pipe(fds) != 0 || (r.pid = ::fork()) < 0) std::abort();
    if (r.pid == 0) {
        ::dup2(fds[1], 2);
        ::close(fds[0]);
        ::close(fds[1]);
        const rlimit no_core{0, 0};
        ::setrlimit(RLIMIT_CORE, &no_core);
        mox_fuzz_guard_segments = 1;
        int code = kWrongException;
        try {
            code = run_case(kind, r.name, base_seed, index, inject_crash);
        } catch (const std::exception& e) {  // run_case catches every IPCQueueException an op may throw
            std::fprintf(stderr, "exception outside an operation: %s\n", e.what());
        } catch (...) {
            std::fprintf(stderr, "unknown exception\n");
        }
        std::fflush(stderr);
        ::_exit(code);
    }
    ::close(fds[1]);
    r.fd = fds[0];
    return r;
}

// Reaps the child (killing it if hung), removes its names, classifies it.
void finish_case(Running& r, bool hung, uint64_t base_seed, bool show_output, Tally& tally) {
    if (hung) ::kill(r.pid, SIGKILL);
    ::close(r.fd);
    int status = 0;
    ::waitpid(r.pid, &status, 0);
    test::NameGuard(r.name, 8).remove_all();
    ++tally.cases;
    const int code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    std::string verdict;
    auto fail = [&](long& count, const std::string& why) { ++count, verdict = why; };
    if (hung)
        fail(tally.hangs, "hang");
    else if (WIFSIGNALED(status))
        fail(tally.crashes, std::string("crash (signal ") + strsignal(WTERMSIG(status)) + ")");
    else if (code == kWrongException)
        fail(tally.wrong, "an exception escaped an operation or was not IPCQueueException");
    else if (code == kSetupFailed)
        fail(tally.setup, "setup failed");
    else if (code < kClean || code > kClean + 7)
        fail(tally.crashes, "crash (exit " + std::to_string(code) + ", a sanitizer report?)");
    else {
        tally.refused += (code - kClean) & kConnectRefused ? 1 : 0;
        tally.threw += (code - kClean) & kOpThrew ? 1 : 0;
        tally.done += (code - kClean) & kOpDone ? 1 : 0;
    }
    if (!verdict.empty())
        std::printf("FAILED %s case %ld: %s; reproduce: fuzz_segments --kind %s --seed %llu --case %ld --verbose\n",
                    kind_name(r.kind), r.index, verdict.c_str(), kind_name(r.kind),
                    static_cast<unsigned long long>(base_seed), r.index);
    // The child's own words, sanitizer reports included, for the first failures.
    if (show_output || (!verdict.empty() && tally.failures() <= 3)) std::fputs(r.output.c_str(), stdout);
}

// Cases [0, cases) of `kind`, or only `only`, up to `jobs` at once: most of a
// case's time goes in waits that the timer breaks.
Tally run_kind(Kind kind, uint64_t seed, long cases, long only, int jobs, bool inject_crash) {
    Tally tally;
    std::vector<Running> running;
    long next = only >= 0 ? only : 0;
    const long end = only >= 0 ? only + 1 : cases;
    while (next < end || !running.empty()) {
        for (; next < end && static_cast<int>(running.size()) < jobs; ++next)
            running.push_back(start_case(kind, seed, next, inject_crash && next == 0));
        std::vector<pollfd> fds;
        for (const Running& r : running) fds.push_back({r.fd, POLLIN, 0});
        ::poll(fds.data(), fds.size(), 100);
        const auto now = std::chrono::steady_clock::now();
        for (size_t i = running.size(); i-- > 0;) {
            Running& r = running[i];
            bool ended = false;
            if (fds[i].revents != 0) {
                char buf[4096];
                const ssize_t n = ::read(r.fd, buf, sizeof buf);
                if (n > 0 && r.output.size() < 64 * 1024) r.output.append(buf, static_cast<size_t>(n));
                ended = n <= 0;  // EOF: the child is gone
            }
            const bool hung = !ended && now > r.deadline;
            if (ended || hung) {
                finish_case(r, hung, seed, only >= 0, tally);
                running.erase(running.begin() + static_cast<long>(i));
            }
        }
    }
    return tally;
}

int main_impl(int argc, char** argv) {
    long cases = 300, only = -1, jobs = 4;
    uint64_t seed = 1;
    std::string kind_arg = "all";
    bool inject_crash = false, bad = false;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--verbose") g_verbose = true;
        else if (a == "--inject-crash") inject_crash = true;
        else if (i + 1 == argc) bad = true;
        else if (a == "--cases") cases = std::strtol(argv[++i], nullptr, 10);
        else if (a == "--seed") seed = std::strtoull(argv[++i], nullptr, 10);
        else if (a == "--kind") kind_arg = argv[++i];
        else if (a == "--case") only = std::strtol(argv[++i], nullptr, 10);
        else if (a == "--jobs") jobs = std::strtol(argv[++i], nullptr, 10);
        else bad = true;
    }
    std::vector<Kind> kinds;
    for (Kind k : {Kind::kSPSC, Kind::kMPMC, Kind::kMPMCVar})
        if (kind_arg == "all" || kind_arg == kind_name(k)) kinds.push_back(k);
    if (bad || kinds.empty() || cases < 1 || jobs < 1 || jobs > 64) {
        std::fprintf(stderr, "usage: fuzz_segments [--cases N] [--seed S] [--kind spsc|mpmc|mpmcvar|all] [--jobs J] "
                             "[--case I] [--verbose] [--inject-crash]\n");
        return 2;
    }
    std::setvbuf(stdout, nullptr, _IOLBF, 0);  // a forked child holds no unwritten output
    std::printf("fuzz_segments: seed %llu, %ld cases per kind\n", static_cast<unsigned long long>(seed),
                only >= 0 ? 1L : cases);
    Tally total;
    for (Kind kind : kinds) {
        const Tally t = run_kind(kind, seed, cases, only, static_cast<int>(jobs), inject_crash);
        std::printf("  %-8s cases %ld: crashes %ld, hangs %ld, wrong exceptions %ld, setup failures %ld"
                    " | connect refused %ld, an op threw %ld, an op completed %ld\n",
                    kind_name(kind), t.cases, t.crashes, t.hangs, t.wrong, t.setup, t.refused, t.threw, t.done);
        for (long Tally::*n : {&Tally::cases, &Tally::crashes, &Tally::hangs, &Tally::wrong, &Tally::setup})
            total.*n += t.*n;
    }
    std::printf("cases run: %ld\ncrashes: %ld\nhangs: %ld\nwrong exceptions: %ld\nsetup failures: %ld\n", total.cases,
                total.crashes, total.hangs, total.wrong, total.setup);
    return total.failures() > 0 ? 1 : 0;
}

}  // namespace
}  // namespace mox::ipc_queue::fuzz

int main(int argc, char** argv) { return mox::ipc_queue::fuzz::main_impl(argc, argv); }
