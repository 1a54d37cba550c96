// Damaged-segment fuzzing of the three queue kinds, one forked child per case:
// create a queue of random small geometry, leave messages in it, overwrite
// header fields, list words, cell lengths or bytes (in one case in five another
// process keeps flipping one such word), maybe connect, then one write and one
// read. The child must not die by a signal, hang, or throw anything but
// IPCQueueException. guarded_mmap.cpp puts PROT_NONE around every segment.
// Usage: fuzz_segments [--cases N (per kind)] [--seed S] [--kind spsc|mpmc|mpmcvar|all] [--jobs J]
//   [--case I (replay one, with output)] [--verbose] [--inject-crash (case 0 of each kind reads past its segment)]
#include <sys/resource.h>
#include <sys/time.h>

#include <memory>
#include <random>

#include "mpmc_queue.h"
#include "mpmcvar_queue.h"
#include "semaphore_wait.h"
#include "spsc_queue.h"
#include "test_support.h"

// A sanitizer report ends the child with SIGABRT, which counts as a crash.
extern "C" const char* __asan_default_options() { return "abort_on_error=1:detect_leaks=0"; }
extern "C" const char* __ubsan_default_options() { return "abort_on_error=1:halt_on_error=1:print_stacktrace=1"; }
extern "C" int mox_fuzz_guard_segments;

namespace mox::ipc_queue::fuzz {
namespace {

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
    template <class T>
    T of(const std::vector<T>& v) {
        return v[below(v.size())];
    }
};

bool g_verbose = false;
#define NOTE(...) (g_verbose ? static_cast<void>(std::fprintf(stderr, __VA_ARGS__)) : static_cast<void>(0))

// Offsets worth damaging, from the layout's field tables: header fields,
// u32 list words, ring indices and states, u64 cell and message lengths. A
// case's geometry draws num_channels for every kind; the fixed kinds ignore it.
struct Targets {
    std::vector<size_t> header32, header64, links, lengths;
    size_t size;
};

Targets targets_for(const Geometry& g) {
    Targets t{{}, {}, {}, {}, static_cast<size_t>(g.segment_size())};
    auto add = [&](const std::vector<Field>& fields, uint64_t base) {
        for (const Field& f : fields)
            if (f.role == WordRole::kLength)
                t.lengths.push_back(base + f.offset);
            else if (f.role == WordRole::kLink || f.role == WordRole::kIndex || f.role == WordRole::kState)
                t.links.push_back(base + f.offset);
            else if (base == 0)
                (f.width == 4 ? t.header32 : t.header64).push_back(f.offset);
    };
    add(header_fields(g.kind), 0);
    const bool var = g.kind == QueueKind::kMPMCVar;
    const RecordArray areas = var ? g.channels() : RecordArray{0, 0, 1};  // the fixed kinds: one ring, the cells
    for (uint32_t a = 0; a < areas.count; ++a) {
        if (var) add(channel_area_fields(), areas.offset(a));
        const RecordArray ring = var ? g.ring(areas.offset(a)) : g.cells();
        for (uint32_t c = 0; c < ring.count; ++c) add(cell_fields(g.kind), ring.offset(c));
    }
    return t;
}

uint64_t interesting(Rng& rng, const Geometry& g, size_t width) {
    const uint64_t c = g.cell_size, r = rng.gen();
    if (width == 4) {
        const uint32_t n = rng.chance(50) ? g.num_cells : g.num_channels, cs = static_cast<uint32_t>(c);
        return rng.of(std::vector<uint32_t>{0u, 1u, 2u, n - 1, n, n + 1, kListEnd, kInUseMark, 0x7FFFFFFFu, 0x80000000u,
                                            0xFFFFFFFEu, cs, cs + 1, static_cast<uint32_t>(r)});
    }
    return rng.of(std::vector<uint64_t>{0, 1, c - 1, c, c + 1, 2 * c, 1ull << 32, 1ull << 63, ~uint64_t{0},
                                        ~uint64_t{0} - c, r, r % 4096});
}

struct Word {
    size_t offset, width;
    uint64_t value;
};

Word pick_word(const Targets& t, const Geometry& g, Rng& rng) {
    const uint64_t what = rng.below(100);
    const auto [pool, width] = what < 25   ? std::pair{&t.header32, size_t{4}}
                               : what < 40 ? std::pair{&t.header64, size_t{8}}
                               : what < 75 ? std::pair{&t.links, size_t{4}}
                                           : std::pair{&t.lengths, size_t{8}};
    return {rng.of(*pool), width, interesting(rng, g, width)};
}

// Through the descriptor: a mapping next to the queue's could hide an overrun.
void damage(const std::string& name, const Targets& t, const Geometry& g, Rng& rng) {
    const int fd = ::shm_open(name.c_str(), O_RDWR, 0600);
    if (fd < 0) std::_Exit(kSetupFailed);
    for (int i = static_cast<int>(rng.range(1, 4)); i > 0; --i) {
        Word w = rng.chance(20) ? Word{rng.below(t.size), 1, 0} : pick_word(t, g, rng);
        unsigned char b = 0;  // a byte: one bit flipped or any value
        if (w.width == 1 && ::pread(fd, &b, 1, static_cast<off_t>(w.offset)) != 1) std::_Exit(kSetupFailed);
        if (w.width == 1) w.value = rng.chance(50) ? b ^ (1u << rng.below(8)) : rng.below(256);
        NOTE("  %zu-byte word @%zu = %#llx\n", w.width, w.offset, static_cast<unsigned long long>(w.value));
        if (::pwrite(fd, &w.value, w.width, static_cast<off_t>(w.offset)) != static_cast<ssize_t>(w.width))
            std::_Exit(kSetupFailed);
    }
    ::close(fd);
}

// Creates with geometry `g`, or connects when there is none.
std::unique_ptr<IPCQueueCPP> open_queue(QueueKind kind, const std::string& name, const Geometry* g, Rng& rng) {
    if (kind == QueueKind::kSPSC)
        return g ? std::make_unique<SPSCQueueCPP>(name, g->num_cells, g->cell_size, rng.chance(50))
                 : std::make_unique<SPSCQueueCPP>(name);
    if (kind == QueueKind::kMPMC)
        return g ? std::make_unique<MPMCQueueCPP>(name, g->num_cells, g->cell_size)
                 : std::make_unique<MPMCQueueCPP>(name);
    return g ? std::make_unique<MPMCVarQueueCPP>(name, g->num_channels, g->num_cells, g->cell_size)
             : std::make_unique<MPMCVarQueueCPP>(name);
}

// The longest message that a lone writer can finish without a reader.
uint64_t max_length(const Geometry& g) {
    return g.kind == QueueKind::kMPMCVar ? uint64_t{g.num_cells} * g.cell_size - 1 : g.cell_size;
}

// Leaves messages in the queue; for MPMCVar some channels read back (the free
// stack reordered) and at times a message left half written.
void prime(IPCQueueCPP& q, const Geometry& g, Rng& rng) {
    const bool var = g.kind == QueueKind::kMPMCVar;
    const uint64_t capacity = var ? g.num_channels : g.num_cells, writes = rng.range(0, capacity),
                   reads = rng.range(0, writes);
    for (uint64_t i = 0; i < writes; ++i) {
        const std::string m(rng.range(0, max_length(g)), 'w');
        q.write(m.data(), static_cast<int64_t>(m.size()));
    }
    std::string out;
    for (uint64_t i = 0; i < reads; ++i)
        if (q.read(out, 1000) != 0) std::_Exit(kSetupFailed);
    if (var && writes - reads < capacity && rng.chance(20)) {
        const std::string m(rng.range(1, max_length(g)), 'h');
        Channel& ch = static_cast<MPMCVarQueueCPP&>(q).open_channel_for_write();
        ch.partial_write(m.data(), static_cast<int64_t>(m.size()));  // never completed
    }
    NOTE("  primed: %d written, %d read\n", static_cast<int>(writes), static_cast<int>(reads));
}

void do_write(IPCQueueCPP& q, const Geometry& g, Rng& rng) {
    const uint64_t limit = max_length(g);
    const std::string m(rng.chance(90) ? rng.range(0, limit) : rng.range(0, 3 * limit + 3), 'm');
    q.write(m.data(), static_cast<int64_t>(m.size()));
    NOTE("  write %zu bytes: done\n", m.size());
}

void do_read(QueueKind kind, IPCQueueCPP& q, Rng& rng) {
    const bool zero_copy = rng.chance(25), buffered = !zero_copy && kind != QueueKind::kMPMCVar && rng.chance(27);
    int64_t got = 0, sum = 0;
    int rc = 0;
    if (zero_copy) {
        // Zero-copy: every exposed byte is touched, so an overlong length faults.
        void* handle = q.read_begin();
        char* data = nullptr;
        for (uint64_t cells = 0, last = 0, length = 0; !last && cells < 64; ++cells, got += int64_t(length)) {
            last = q.read(handle, &data, &length);
            for (uint64_t i = 0; i < length; ++i) sum += static_cast<unsigned char>(data[i]);
        }
        q.read_end(handle);
    } else if (buffered) {
        char buffer[256];
        rc = kind == QueueKind::kSPSC ? static_cast<SPSCQueueCPP&>(q).read(buffer, sizeof buffer, got, 10)
                                      : static_cast<MPMCQueueCPP&>(q).read(buffer, sizeof buffer, got, 10);
    } else {
        std::string out;
        rc = q.read(out, 10);
        got = static_cast<int64_t>(out.size());
    }
    NOTE("  read (%s): rc %d, %lld bytes, sum %lld\n",
         zero_copy  ? "zero-copy"
         : buffered ? "buffer"
                    : "string",
         rc, static_cast<long long>(got), static_cast<long long>(sum));
}

// Reads onward from inside the segment a page at a time, as an overrun would:
// the guard after the segment must stop it with SIGSEGV.
[[noreturn]] void touch_past_segment(QueueKind kind, IPCQueueCPP& q) {
    const volatile char* p = kind == QueueKind::kSPSC   ? static_cast<SPSCQueueCPP&>(q).cellAt(0)->data()
                             : kind == QueueKind::kMPMC ? static_cast<MPMCQueueCPP&>(q).open_cell_for_write()->data()
                                                        : static_cast<MPMCVarQueueCPP&>(q).channelShmAt(0);
    unsigned sum = 0;
    for (int page = 0; page < 256; ++page) sum += static_cast<unsigned char>(p[page * 4096]);
    std::fprintf(stderr, "no guard after the segment (%u)\n", sum);
    std::_Exit(kSetupFailed);
}

volatile sig_atomic_t g_timer_fired = 0;

void* timer_hook_enter() { return const_cast<sig_atomic_t*>(&g_timer_fired); }
void timer_hook_leave(void*) {}
void* timer_hook_signalled(void* state) {
    if (g_timer_fired) throw IPCQueueException("fuzz: the case's timer ended the wait");
    return state;
}
const BlockingWaitHooks kTimerHooks{timer_hook_enter, timer_hook_leave, timer_hook_signalled};

// One case, in the child; returns its exit code.
int run_case(QueueKind kind, const std::string& name, uint64_t base_seed, long index, bool inject_crash) {
    Rng rng(std::seed_seq{uint32_t(base_seed), uint32_t(base_seed >> 32), uint32_t(kind), uint32_t(index)});
    const auto channels = static_cast<uint32_t>(rng.range(1, 4));
    const auto cells = static_cast<uint32_t>(rng.range(1, kind == QueueKind::kMPMCVar ? 4 : 6));
    const Geometry g{kind, channels, cells, rng.chance(50) ? rng.range(1, 24) : 8 * rng.range(1, 4)};
    NOTE("case %s %ld: channels %u cells %u cell_size %u\n", kind_name(kind), index, channels, cells,
         static_cast<unsigned>(g.cell_size));
    std::unique_ptr<IPCQueueCPP> creator;
    try {
        creator = open_queue(kind, name, &g, rng);
        if (inject_crash) touch_past_segment(kind, *creator);
        prime(*creator, g, rng);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "setup failed: %s\n", e.what());
        return kSetupFailed;
    }
    const Targets t = targets_for(g);
    damage(name, t, g, rng);
    // In one case in five another process flips one word between its value and
    // a damaged one, so that checks made once and values read again disagree.
    std::unique_ptr<test::ScopedChild> racer;  // killed on return
    if (rng.chance(20)) {
        const Word w = pick_word(t, g, rng);
        if (!(racer = test::flip_in_child(test::SegmentView(name), w.offset, w.width, w.value, 2)))
            std::_Exit(kSetupFailed);
        NOTE("  racing %zu-byte word @%zu with %#llx\n", w.width, w.offset, static_cast<unsigned long long>(w.value));
    }

    int outcome = 0;
    std::unique_ptr<IPCQueueCPP> peer;
    try {
        if (rng.chance(70)) peer = open_queue(kind, name, nullptr, rng), NOTE("  connected\n");
    } catch (const IPCQueueException& e) {
        NOTE("  connect refused: %s\n", e.what());
        outcome |= kConnectRefused;
    }
    IPCQueueCPP* const on[] = {peer && rng.chance(70) ? peer.get() : creator.get(),
                               peer && rng.chance(50) ? peer.get() : creator.get()};
    const bool write_first = rng.chance(50);
    // Every blocking wait ends within 60 ms, so a wait made endless by damage
    // still ends; longer than any timed read, so a timeout is seen. A signal
    // alone does not end a wait inside a message: the timer's wait hook
    // throws, as an embedding runtime's raising signal handler would.
    struct sigaction sa{};
    sa.sa_handler = [](int) { g_timer_fired = 1; };  // no SA_RESTART: the wait sees EINTR
    ::sigaction(SIGALRM, &sa, nullptr);
    set_blocking_wait_hooks(&kTimerHooks);
    const auto breaker = [](int us) {
        const itimerval t{{0, us / 2}, {0, us}};
        ::setitimer(ITIMER_REAL, &t, nullptr);
    };
    for (int step = 0; step < 2; ++step) {
        g_timer_fired = 0;
        breaker(60000);
        try {
            (step == 0) == write_first ? do_write(*on[step], g, rng) : do_read(kind, *on[step], rng);
            outcome |= kOpDone;
        } catch (const IPCQueueException& e) {
            NOTE("  threw: %s\n", e.what());
            outcome |= kOpThrew;
        }
        breaker(0);
    }
    return kClean + outcome;
}

struct Tally {
    long cases = 0, crashes = 0, hangs = 0, wrong = 0, setup = 0, refused = 0, threw = 0, done = 0;
    long failures() const { return crashes + hangs + wrong + setup; }

    // Counts an ended case; returns why it failed, or "" for a clean one.
    std::string add(int status, bool hung) {
        const int code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        ++cases;
        if (hung) return ++hangs, "hang";
        if (WIFSIGNALED(status)) return ++crashes, std::string("crash (signal ") + strsignal(WTERMSIG(status)) + ")";
        if (code == kWrongException) return ++wrong, "an exception escaped an operation or was not IPCQueueException";
        if (code == kSetupFailed) return ++setup, "setup failed";
        if (code < kClean || code > kClean + 7) return ++crashes, "crash (exit " + std::to_string(code) + ")";
        for (auto [bit, count] : {std::pair{kConnectRefused, &refused}, {kOpThrew, &threw}, {kOpDone, &done}})
            *count += (code - kClean) & bit ? 1 : 0;
        return "";
    }
};

using Clock = std::chrono::steady_clock;
// output: the child's stderr, sanitizer reports included.
struct Running {
    long index;
    std::string name;
    FILE* output;
    pid_t pid;
    Clock::time_point deadline;
};

Running start_case(QueueKind kind, uint64_t base_seed, long index, bool inject_crash) {
    Running r{index, test::unique_name(std::string("fz") + kind_name(kind)), std::tmpfile(), -1,
              Clock::now() + std::chrono::seconds(kCaseTimeoutS)};
    if (r.output == nullptr || (r.pid = ::fork()) < 0) std::abort();
    if (r.pid > 0) return r;
    ::dup2(::fileno(r.output), 2);
    const rlimit no_core{0, 0};
    ::setrlimit(RLIMIT_CORE, &no_core);
    mox_fuzz_guard_segments = 1;
    int code = kWrongException;
    try {
        code = run_case(kind, r.name, base_seed, index, inject_crash);
    } catch (const std::exception& e) {  // run_case catches every IPCQueueException an op may throw
        std::fprintf(stderr, "exception outside an operation: %s\n", e.what());
    }  // any other kind ends the process with SIGABRT: a crash
    std::fflush(stderr);
    ::_exit(code);
}

// Cases [0, cases) of `kind`, or only `only` with its output, up to `jobs` at once (most of a case's time goes
// in waits that the timer breaks); the first failures show their output too.
Tally run_kind(QueueKind kind, uint64_t seed, long cases, long only, int jobs, bool inject_crash) {
    Tally tally;
    std::vector<Running> running;
    for (long next = std::max(only, 0L), end = only >= 0 ? only + 1 : cases; next < end || !running.empty();) {
        for (; next < end && static_cast<int>(running.size()) < jobs; ++next)
            running.push_back(start_case(kind, seed, next, inject_crash && next == 0));
        ::usleep(2000);
        for (size_t i = running.size(); i-- > 0;) {
            Running& r = running[i];
            int status = 0;
            const bool ended = ::waitpid(r.pid, &status, WNOHANG) == r.pid;
            const bool hung = !ended && Clock::now() > r.deadline;
            if (!ended && !hung) continue;
            if (hung) ::kill(r.pid, SIGKILL), ::waitpid(r.pid, &status, 0);
            remove_queue_names(r.name);
            const std::string why = tally.add(status, hung);
            if (!why.empty())
                std::printf(
                    "FAILED %s case %ld: %s; reproduce: fuzz_segments --kind %s --seed %llu --case %ld "
                    "--verbose\n",
                    kind_name(kind), r.index, why.c_str(), kind_name(kind), static_cast<unsigned long long>(seed),
                    r.index);
            const bool show = only >= 0 || (!why.empty() && tally.failures() <= 3);
            char buf[4096];
            std::rewind(r.output);
            for (size_t n; show && (n = std::fread(buf, 1, sizeof buf, r.output)) > 0;) std::fwrite(buf, 1, n, stdout);
            std::fclose(r.output);
            running.erase(running.begin() + static_cast<long>(i));
        }
    }
    return tally;
}

}  // namespace
}  // namespace mox::ipc_queue::fuzz

int main(int argc, char** argv) {
    using namespace mox::ipc_queue::fuzz;
    using mox::ipc_queue::QueueKind;
    long cases = 300, only = -1, jobs = 4;
    uint64_t seed = 1;
    std::string kind_arg = "all";
    bool inject_crash = false, bad = false;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--verbose")
            g_verbose = true;
        else if (a == "--inject-crash")
            inject_crash = true;
        else if (i + 1 == argc)
            bad = true;
        else if (a == "--cases")
            cases = std::strtol(argv[++i], nullptr, 10);
        else if (a == "--seed")
            seed = std::strtoull(argv[++i], nullptr, 10);
        else if (a == "--kind")
            kind_arg = argv[++i];
        else if (a == "--case")
            only = std::strtol(argv[++i], nullptr, 10);
        else if (a == "--jobs")
            jobs = std::strtol(argv[++i], nullptr, 10);
        else
            bad = true;
    }
    std::vector<QueueKind> kinds;
    for (QueueKind k : {QueueKind::kSPSC, QueueKind::kMPMC, QueueKind::kMPMCVar})
        if (kind_arg == "all" || kind_arg == kind_name(k)) kinds.push_back(k);
    if (bad || kinds.empty() || cases < 1 || jobs < 1 || jobs > 64)
        return std::fprintf(stderr,
                            "usage: fuzz_segments [--cases N] [--seed S] [--kind spsc|mpmc|mpmcvar|all] "
                            "[--jobs J] [--case I] [--verbose] [--inject-crash]\n"),
               2;
    std::setvbuf(stdout, nullptr, _IOLBF, 0);  // a forked child holds no unwritten output
    std::printf("fuzz_segments: seed %llu, %ld cases per kind\n", static_cast<unsigned long long>(seed),
                only >= 0 ? 1L : cases);
    Tally total;
    for (QueueKind kind : kinds) {
        const Tally t = run_kind(kind, seed, cases, only, static_cast<int>(jobs), inject_crash);
        std::printf(
            "  %-8s cases %ld: crashes %ld, hangs %ld, wrong exceptions %ld, setup failures %ld"
            " | connect refused %ld, an op threw %ld, an op completed %ld\n",
            kind_name(kind), t.cases, t.crashes, t.hangs, t.wrong, t.setup, t.refused, t.threw, t.done);
        for (long Tally::* n : {&Tally::cases, &Tally::crashes, &Tally::hangs, &Tally::wrong, &Tally::setup})
            total.*n += t.*n;
    }
    std::printf("cases run: %ld\ncrashes: %ld\nhangs: %ld\nwrong exceptions: %ld\nsetup failures: %ld\n", total.cases,
                total.crashes, total.hangs, total.wrong, total.setup);
    return total.failures() > 0 ? 1 : 0;
}
