// Damaged-segment fuzzing of the three queue kinds.
//
// Each case runs in its own forked child: it creates a real queue with a
// random small geometry, moves a few messages through it (so list words,
// channel areas, ring indices and cell lengths are live), then overwrites
// random bytes and words of the segment: header fields, list words, channel
// area words, cell lengths, or anything. In one case in five another process
// also keeps flipping one such word while the case goes on. It then connects
// a new object and does one write and one read on it or on the creator.
//
// What must hold: the child never dies by a signal, never hangs, and every
// failure is an IPCQueueException. A repeating SIGALRM timer makes every
// blocking wait fail with EINTR, which the library throws, so a wait that a
// damaged segment made endless still ends with that exception. Every queue
// mapping gets 64 MiB of PROT_NONE on each side (guarded_mmap.cpp), so an
// access past the segment faults instead of landing in a neighbouring
// mapping; under AddressSanitizer heap overflows abort too.
//
// Usage: fuzz_segments [--cases N] [--seed S] [--kind spsc|mpmc|mpmcvar|all]
//                      [--jobs J] [--case I] [--verbose] [--inject-crash]
// --cases is per kind; --jobs cases run at once (4: they mostly wait).
// --case I runs only case I, with its output, to reproduce a failure.
// --inject-crash makes case 0 of each kind read past its segment, to show
// that the guard is there and that a crash is counted (the run then fails).
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "ipc_queue_exception.h"
#include "mpmc_queue.h"
#include "mpmcvar_queue.h"
#include "spsc_queue.h"
#include "test_support.h"

// Sanitizer reports end the child by SIGABRT, which counts as a crash.
extern "C" const char* __asan_default_options() { return "abort_on_error=1:detect_leaks=0"; }
extern "C" const char* __ubsan_default_options() { return "abort_on_error=1:halt_on_error=1:print_stacktrace=1"; }

extern "C" {
extern int mox_fuzz_guard_segments;
extern long mox_fuzz_guarded_mappings;
}

namespace mox::ipc_queue::fuzz {
namespace {

enum class Kind { kSPSC, kMPMC, kMPMCVar };
const char* kind_name(Kind k) { return k == Kind::kSPSC ? "spsc" : k == Kind::kMPMC ? "mpmc" : "mpmcvar"; }

// Child exit codes. A clean case exits with kClean plus outcome bits; every
// other code that is not one of the three below is a crash, since
// sanitizers end a process with small codes (1, 66) unless told to abort.
constexpr int kClean = 40;
constexpr int kConnectRefused = 1;  // the new object's constructor threw
constexpr int kOpThrew = 2;         // a write or read threw IPCQueueException
constexpr int kOpDone = 4;          // a write or read completed
constexpr int kWrongException = 100;
constexpr int kUnknownException = 101;
constexpr int kSetupFailed = 102;

constexpr int kCaseTimeoutS = 20;  // a child alive after this is a hang

uint64_t splitmix(uint64_t x) {
    x += 0x9E3779B97F4A7C15ull;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    return x ^ (x >> 31);
}

struct Rng {
    std::mt19937_64 gen;
    explicit Rng(uint64_t seed) : gen(seed) {}
    uint64_t below(uint64_t n) { return n == 0 ? 0 : gen() % n; }
    uint64_t range(uint64_t lo, uint64_t hi) { return lo + below(hi - lo + 1); }
    bool chance(unsigned percent) { return below(100) < percent; }
};

bool g_verbose = false;
void note(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
void note(const char* fmt, ...) {
    if (!g_verbose) return;
    va_list ap;
    va_start(ap, fmt);
    std::vfprintf(stderr, fmt, ap);
    va_end(ap);
}

// ------------------------------------------------------------ segment words

struct Geometry {
    uint32_t channels = 1;  // MPMCVar only
    uint32_t cells = 1;
    uint32_t cell_size = 1;
};

// Offsets of the words worth damaging, by role, for a kind and geometry.
struct Targets {
    std::vector<size_t> header32;  // u32 header fields
    std::vector<size_t> header64;  // u64 header fields
    std::vector<size_t> links;     // u32 list words and ring indices
    std::vector<size_t> lengths;   // u64 cell lengths and message lengths
    size_t size = 0;
};

Targets targets_for(Kind kind, const Geometry& g) {
    Targets t;
    const size_t stride = size_t{g.cell_size} + 16;
    if (kind == Kind::kSPSC) {
        t.header64 = {0, 16, 32, 40};
        t.header32 = {8, 12};
        t.links = {24, 28};
        for (size_t j = 0; j < g.cells; ++j) t.lengths.push_back(48 + j * stride + 8);
        t.size = 48 + g.cells * stride;
    } else if (kind == Kind::kMPMC) {
        t.header64 = {0, 16};
        t.header32 = {8, 12, 36};
        t.links = {24, 28, 32};
        for (size_t j = 0; j < g.cells; ++j) {
            t.links.push_back(40 + j * stride + 4);
            t.lengths.push_back(40 + j * stride + 8);
        }
        t.size = 40 + g.cells * stride;
    } else {
        t.header64 = {0};
        t.header32 = {8, 12, 16, 20};
        t.links = {24, 28, 32, 36};
        const size_t area = size_t{g.cells} * stride + 24;
        for (size_t c = 0; c < g.channels; ++c) {
            const size_t base = 40 + c * area;
            t.lengths.push_back(base);
            for (size_t off : {8, 12, 16, 20}) t.links.push_back(base + off);
            for (size_t j = 0; j < g.cells; ++j) t.lengths.push_back(base + 24 + j * stride + 8);
        }
        t.size = 40 + g.channels * area;
    }
    return t;
}

uint32_t interesting32(Rng& rng, const Geometry& g) {
    const uint32_t n = rng.chance(50) ? g.cells : g.channels;
    const uint32_t values[] = {0u,          1u,          2u,          n - 1,       n,           n + 1,
                               kListEnd,    kInUseMark,  0x7FFFFFFFu, 0x80000000u, 0xFFFFFFFEu, g.cell_size,
                               g.cell_size + 1, static_cast<uint32_t>(rng.gen())};
    return values[rng.below(sizeof values / sizeof values[0])];
}

uint64_t interesting64(Rng& rng, const Geometry& g) {
    const uint64_t c = g.cell_size;
    const uint64_t values[] = {0,        1,        c - 1,           c,
                               c + 1,    2 * c,    uint64_t{1} << 32, uint64_t{1} << 63,
                               ~uint64_t{0}, ~uint64_t{0} - c, rng.gen(), rng.below(4096)};
    return values[rng.below(sizeof values / sizeof values[0])];
}

template <class T>
void put(int fd, size_t off, T v) {
    if (::pwrite(fd, &v, sizeof v, static_cast<off_t>(off)) != static_cast<ssize_t>(sizeof v)) std::_Exit(kSetupFailed);
}

// Damages the live segment through its descriptor (no extra mapping, which
// could sit next to the queue's and hide an overrun).
void damage(const std::string& name, Kind kind, const Geometry& g, Rng& rng) {
    const int fd = ::shm_open(name.c_str(), O_RDWR, 0600);
    if (fd < 0) std::_Exit(kSetupFailed);
    const Targets t = targets_for(kind, g);
    const int count = static_cast<int>(rng.range(1, 4));
    for (int i = 0; i < count; ++i) {
        const uint64_t what = rng.below(100);
        if (what < 15 && !t.header32.empty()) {
            const size_t off = t.header32[rng.below(t.header32.size())];
            const uint32_t v = interesting32(rng, g);
            note("  header32 @%zu = %#x\n", off, v);
            put(fd, off, v);
        } else if (what < 25) {
            const size_t off = t.header64[rng.below(t.header64.size())];
            const uint64_t v = interesting64(rng, g);
            note("  header64 @%zu = %#llx\n", off, static_cast<unsigned long long>(v));
            put(fd, off, v);
        } else if (what < 55) {
            const size_t off = t.links[rng.below(t.links.size())];
            const uint32_t v = interesting32(rng, g);
            note("  link @%zu = %#x\n", off, v);
            put(fd, off, v);
        } else if (what < 80) {
            const size_t off = t.lengths[rng.below(t.lengths.size())];
            const uint64_t v = interesting64(rng, g);
            note("  length @%zu = %#llx\n", off, static_cast<unsigned long long>(v));
            put(fd, off, v);
        } else {
            const size_t off = rng.below(t.size);
            unsigned char b = 0;
            if (::pread(fd, &b, 1, static_cast<off_t>(off)) != 1) std::_Exit(kSetupFailed);
            b = static_cast<unsigned char>(rng.chance(50) ? b ^ (1u << rng.below(8)) : rng.below(256));
            note("  byte @%zu = %#x\n", off, b);
            put(fd, off, b);
        }
    }
    ::close(fd);
}

// While it lives, one word of the segment flips between its value and a
// damaged one, as a misbehaving process would do it: checks made once and
// values read again later disagree. The flipping is done by another process,
// which dies with this one.
class RacingDamage {
public:
    RacingDamage(const std::string& name, Kind kind, const Geometry& g, Rng& rng) {
        const Targets t = targets_for(kind, g);
        size_t offset = 0, width = 4;
        uint64_t damaged = 0;
        const uint64_t what = rng.below(100);
        if (what < 40) {
            offset = t.header32[rng.below(t.header32.size())];
            damaged = interesting32(rng, g);
        } else if (what < 55) {
            offset = t.header64[rng.below(t.header64.size())];
            width = 8;
            damaged = interesting64(rng, g);
        } else if (what < 80) {
            offset = t.links[rng.below(t.links.size())];
            damaged = interesting32(rng, g);
        } else {
            offset = t.lengths[rng.below(t.lengths.size())];
            width = 8;
            damaged = interesting64(rng, g);
        }
        int ready[2];
        if (::pipe(ready) != 0) std::_Exit(kSetupFailed);
        const pid_t parent = ::getpid();
        pid_ = ::fork();
        if (pid_ < 0) std::_Exit(kSetupFailed);
        if (pid_ == 0) {
            ::prctl(PR_SET_PDEATHSIG, SIGKILL);
            if (::getppid() != parent) ::_exit(0);
            const int fd = ::shm_open(name.c_str(), O_RDWR, 0600);
            void* p = fd < 0 ? MAP_FAILED : ::mmap(nullptr, t.size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
            if (p == MAP_FAILED) ::_exit(1);
            volatile unsigned char* word = static_cast<unsigned char*>(p) + offset;
            uint64_t original = 0;
            for (size_t b = 0; b < width; ++b) original |= uint64_t{word[b]} << (8 * b);
            (void)!::write(ready[1], "r", 1);
            for (uint64_t i = 0;; ++i) {
                const uint64_t v = (i & 1) ? damaged : original;
                for (size_t b = 0; b < width; ++b) word[b] = static_cast<unsigned char>(v >> (8 * b));
            }
        }
        ::close(ready[1]);
        char c = 0;
        const bool started = ::read(ready[0], &c, 1) == 1;
        ::close(ready[0]);
        if (!started) std::_Exit(kSetupFailed);
        note("  racing %zu-byte word @%zu with %#llx\n", width, offset, static_cast<unsigned long long>(damaged));
    }
    ~RacingDamage() {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
    }
    RacingDamage(const RacingDamage&) = delete;
    RacingDamage& operator=(const RacingDamage&) = delete;

private:
    pid_t pid_ = -1;
};

// ------------------------------------------------------------ queue use

std::unique_ptr<IPCQueueCPP> create(Kind kind, const std::string& name, const Geometry& g, Rng& rng) {
    switch (kind) {
        case Kind::kSPSC:
            return std::make_unique<SPSCQueueCPP>(name, g.cells, g.cell_size, rng.chance(50));
        case Kind::kMPMC:
            return std::make_unique<MPMCQueueCPP>(name, g.cells, g.cell_size);
        case Kind::kMPMCVar:
            return std::make_unique<MPMCVarQueueCPP>(name, g.channels, g.cells, g.cell_size);
    }
    return nullptr;
}

std::unique_ptr<IPCQueueCPP> connect(Kind kind, const std::string& name) {
    switch (kind) {
        case Kind::kSPSC:
            return std::make_unique<SPSCQueueCPP>(name);
        case Kind::kMPMC:
            return std::make_unique<MPMCQueueCPP>(name);
        case Kind::kMPMCVar:
            return std::make_unique<MPMCVarQueueCPP>(name);
    }
    return nullptr;
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

// Leaves messages in the queue; for MPMCVar also some channels read back
// (so the free stack is reordered) and at times a message left half written.
void prime(Kind kind, IPCQueueCPP& q, const Geometry& g, Rng& rng) {
    const uint32_t capacity = kind == Kind::kMPMCVar ? g.channels : g.cells;
    const uint32_t writes = static_cast<uint32_t>(rng.range(0, capacity));
    for (uint32_t i = 0; i < writes; ++i) {
        const std::string m = payload(rng, rng.range(0, max_length(kind, g)));
        q.write(m.data(), static_cast<int64_t>(m.size()));
    }
    const uint32_t reads = static_cast<uint32_t>(rng.range(0, writes));
    std::string out;
    for (uint32_t i = 0; i < reads; ++i)
        if (q.read(out, 1000) != 0) std::_Exit(kSetupFailed);
    if (kind == Kind::kMPMCVar && writes - reads < capacity && rng.chance(20)) {
        auto& v = static_cast<MPMCVarQueueCPP&>(q);
        Channel& ch = v.open_channel_for_write();
        const std::string m = payload(rng, rng.range(1, max_length(kind, g)));
        ch.partial_write(m.data(), static_cast<int64_t>(m.size()));  // not completed
    }
    note("  primed: %u written, %u read\n", writes, reads);
}

void on_alarm(int) {}

// Every blocking wait from here on fails with EINTR within 60 ms: longer
// than any timed read below, so a timeout is still seen as one.
void arm_wait_breaker() {
    struct sigaction sa {};
    sa.sa_handler = on_alarm;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = 0;  // no SA_RESTART: sem_wait returns EINTR
    ::sigaction(SIGALRM, &sa, nullptr);
    itimerval tv{};
    tv.it_value.tv_usec = 60000;
    tv.it_interval.tv_usec = 30000;
    ::setitimer(ITIMER_REAL, &tv, nullptr);
}

void disarm_wait_breaker() {
    itimerval tv{};
    ::setitimer(ITIMER_REAL, &tv, nullptr);
}

void do_write(Kind kind, IPCQueueCPP& q, const Geometry& g, Rng& rng) {
    const uint64_t limit = max_length(kind, g);
    const uint64_t length = rng.chance(90) ? rng.range(0, limit) : rng.range(0, 3 * limit + 3);
    const std::string m = payload(rng, length);
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
    note("  write %llu bytes: done\n", static_cast<unsigned long long>(length));
}

void do_read(Kind kind, IPCQueueCPP& q, Rng& rng) {
    const uint64_t how = rng.below(100);
    if (how < 25) {
        // Zero-copy: every exposed cell's bytes are touched, so a length
        // reaching past the mapping faults here.
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
        note("  zero-copy read: done (%u)\n", sum);
    } else if (how < 45 && kind != Kind::kMPMCVar) {
        char buffer[256];
        int64_t got = 0;
        const int rc = kind == Kind::kSPSC ? static_cast<SPSCQueueCPP&>(q).read(buffer, sizeof buffer, got, 10)
                                           : static_cast<MPMCQueueCPP&>(q).read(buffer, sizeof buffer, got, 10);
        note("  buffer read: rc %d, %lld bytes\n", rc, static_cast<long long>(got));
    } else {
        std::string out;
        const int rc = q.read(out, 10);
        note("  read: rc %d, %zu bytes\n", rc, out.size());
    }
}

// Reads onward from inside the segment, a page at a time, as an overrun
// would: the guard after the segment must stop it with SIGSEGV.
void touch_past_segment(Kind kind, IPCQueueCPP& q) {
    const volatile char* p =
        kind == Kind::kSPSC   ? static_cast<SPSCQueueCPP&>(q).cellAt(0)->data()
        : kind == Kind::kMPMC ? static_cast<MPMCQueueCPP&>(q).open_cell_for_write()->data()
                              : static_cast<MPMCVarQueueCPP&>(q).channelShmAt(0);
    unsigned sum = 0;
    for (int page = 0; page < 256; ++page) sum += static_cast<unsigned char>(p[page * 4096]);
    std::fprintf(stderr, "no guard after the segment (%u)\n", sum);
    std::_Exit(kSetupFailed);
}

// One case, in the child. Returns the exit code.
int run_case(Kind kind, const std::string& name, uint64_t case_seed, bool inject_crash) {
    Rng rng(case_seed);
    Geometry g;
    g.channels = static_cast<uint32_t>(rng.range(1, 4));
    g.cells = static_cast<uint32_t>(rng.range(1, kind == Kind::kMPMCVar ? 4 : 6));
    g.cell_size = static_cast<uint32_t>(rng.chance(50) ? rng.range(1, 24) : 8 * rng.range(1, 4));
    note("case %s seed %#llx: channels %u cells %u cell_size %u\n", kind_name(kind),
         static_cast<unsigned long long>(case_seed), g.channels, g.cells, g.cell_size);

    std::unique_ptr<IPCQueueCPP> creator;
    try {
        creator = create(kind, name, g, rng);
        if (inject_crash) touch_past_segment(kind, *creator);
        prime(kind, *creator, g, rng);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "setup failed: %s\n", e.what());
        return kSetupFailed;
    }
    damage(name, kind, g, rng);
    std::unique_ptr<RacingDamage> racing;
    if (rng.chance(20)) racing = std::make_unique<RacingDamage>(name, kind, g, rng);

    int outcome = 0;
    auto attempt = [&](auto&& op) {
        arm_wait_breaker();
        try {
            op();
            outcome |= kOpDone;
        } catch (const IPCQueueException& e) {
            note("  threw: %s\n", e.what());
            outcome |= kOpThrew;
        }
        disarm_wait_breaker();
    };

    std::unique_ptr<IPCQueueCPP> peer;
    if (rng.chance(70)) {
        try {
            peer = connect(kind, name);
            note("  connected\n");
        } catch (const IPCQueueException& e) {
            note("  connect refused: %s\n", e.what());
            outcome |= kConnectRefused;
        }
    }
    IPCQueueCPP& first = peer != nullptr && rng.chance(70) ? *peer : *creator;
    IPCQueueCPP& second = peer != nullptr && rng.chance(50) ? *peer : *creator;
    if (rng.chance(50)) {
        attempt([&] { do_write(kind, first, g, rng); });
        attempt([&] { do_read(kind, second, rng); });
    } else {
        attempt([&] { do_read(kind, first, rng); });
        attempt([&] { do_write(kind, second, g, rng); });
    }
    racing.reset();
    note("  guarded mappings: %ld\n", mox_fuzz_guarded_mappings);
    return kClean + outcome;
}

// ------------------------------------------------------------ the parent

struct Tally {
    long cases = 0, crashes = 0, hangs = 0, wrong = 0, setup = 0;
    long refused = 0, threw = 0, done = 0;
    long failures() const { return crashes + hangs + wrong + setup; }
};

// One case in flight: its child, the read end of its stderr, what it said.
struct Running {
    Kind kind = Kind::kSPSC;
    long index = 0;
    std::string name;
    pid_t pid = -1;
    int fd = -1;
    std::string output;
    std::chrono::steady_clock::time_point deadline;
};

uint64_t case_seed_of(uint64_t base_seed, Kind kind, long index) {
    return splitmix(base_seed ^ splitmix((static_cast<uint64_t>(kind) << 40) ^ static_cast<uint64_t>(index)));
}

Running start_case(Kind kind, uint64_t base_seed, long index, bool inject_crash) {
    Running r;
    r.kind = kind;
    r.index = index;
    r.name = test::unique_name(std::string("fz") + kind_name(kind));
    int fds[2];
    if (::pipe(fds) != 0) std::abort();
    r.pid = ::fork();
    if (r.pid < 0) std::abort();
    if (r.pid == 0) {
        ::close(fds[0]);
        ::dup2(fds[1], 2);
        ::close(fds[1]);
        rlimit no_core{0, 0};
        ::setrlimit(RLIMIT_CORE, &no_core);
        mox_fuzz_guard_segments = 1;
        int code = kUnknownException;
        try {
            code = run_case(kind, r.name, case_seed_of(base_seed, kind, index), inject_crash);
        } catch (const IPCQueueException& e) {
            // Only a constructor or an op may throw it, and run_case catches those.
            std::fprintf(stderr, "IPCQueueException outside an operation: %s\n", e.what());
            code = kUnknownException;
        } catch (const std::exception& e) {
            std::fprintf(stderr, "wrong exception type: %s\n", e.what());
            code = kWrongException;
        } catch (...) {
            std::fprintf(stderr, "unknown exception\n");
            code = kUnknownException;
        }
        std::fflush(stderr);
        ::_exit(code);
    }
    ::close(fds[1]);
    r.fd = fds[0];
    r.deadline = std::chrono::steady_clock::now() + std::chrono::seconds(kCaseTimeoutS);
    return r;
}

// Reaps the child (killing it if `hung`), removes its names, classifies it.
void finish_case(Running& r, bool hung, uint64_t base_seed, bool show_output, Tally& tally) {
    if (hung) ::kill(r.pid, SIGKILL);
    ::close(r.fd);
    int status = 0;
    ::waitpid(r.pid, &status, 0);
    test::NameGuard(r.name, 8).remove_all();

    ++tally.cases;
    std::string verdict;
    if (hung) {
        ++tally.hangs;
        verdict = "hang";
    } else if (WIFSIGNALED(status)) {
        ++tally.crashes;
        verdict = std::string("crash (signal ") + strsignal(WTERMSIG(status)) + ")";
    } else {
        const int code = WEXITSTATUS(status);
        if (code == kWrongException || code == kUnknownException) {
            ++tally.wrong;
            verdict = "exception that is not IPCQueueException";
        } else if (code == kSetupFailed) {
            ++tally.setup;
            verdict = "setup failed";
        } else if (code < kClean || code > kClean + 7) {
            ++tally.crashes;
            verdict = "crash (exit " + std::to_string(code) + ", a sanitizer report?)";
        } else {
            const int bits = code - kClean;
            tally.refused += (bits & kConnectRefused) ? 1 : 0;
            tally.threw += (bits & kOpThrew) ? 1 : 0;
            tally.done += (bits & kOpDone) ? 1 : 0;
        }
    }
    if (!verdict.empty())
        std::printf("FAILED %s case %ld: %s; reproduce: fuzz_segments --kind %s --seed %llu --case %ld --verbose\n",
                    kind_name(r.kind), r.index, verdict.c_str(), kind_name(r.kind),
                    static_cast<unsigned long long>(base_seed), r.index);
    // The child's own words (sanitizer reports included) for the first few failures.
    if (show_output || (!verdict.empty() && tally.failures() <= 3)) std::fputs(r.output.c_str(), stdout);
}

// Runs cases [0, cases) of `kind` (or only `only`), up to `jobs` at a time:
// most of a case's time is spent in waits that the timer breaks.
Tally run_kind(Kind kind, uint64_t seed, long cases, long only, int jobs, bool inject_crash) {
    Tally tally;
    std::vector<Running> running;
    long next = only >= 0 ? only : 0;
    const long end = only >= 0 ? only + 1 : cases;
    while (next < end || !running.empty()) {
        while (next < end && static_cast<int>(running.size()) < jobs) {
            running.push_back(start_case(kind, seed, next, inject_crash && next == 0));
            ++next;
        }
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

int usage() {
    std::fprintf(stderr,
                 "usage: fuzz_segments [--cases N] [--seed S] [--kind spsc|mpmc|mpmcvar|all] [--jobs J] [--case I] "
                 "[--verbose] [--inject-crash]\n");
    return 2;
}

int main_impl(int argc, char** argv) {
    long cases = 300;
    long only = -1;
    long jobs = 4;
    uint64_t seed = 1;
    std::string kind_arg = "all";
    bool inject_crash = false;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        const char* v = i + 1 < argc ? argv[i + 1] : nullptr;
        if (a == "--verbose") {
            g_verbose = true;
        } else if (a == "--inject-crash") {
            inject_crash = true;
        } else if (v != nullptr && (a == "--cases" || a == "--seed" || a == "--kind" || a == "--case" || a == "--jobs")) {
            if (a == "--cases") cases = std::strtol(v, nullptr, 10);
            if (a == "--seed") seed = std::strtoull(v, nullptr, 10);
            if (a == "--kind") kind_arg = v;
            if (a == "--case") only = std::strtol(v, nullptr, 10);
            if (a == "--jobs") jobs = std::strtol(v, nullptr, 10);
            ++i;
        } else {
            return usage();
        }
    }
    std::vector<Kind> kinds;
    for (Kind k : {Kind::kSPSC, Kind::kMPMC, Kind::kMPMCVar})
        if (kind_arg == "all" || kind_arg == kind_name(k)) kinds.push_back(k);
    if (kinds.empty() || cases < 1 || jobs < 1 || jobs > 64) return usage();
    // Line buffered, so a forked child holds no unwritten output.
    std::setvbuf(stdout, nullptr, _IOLBF, 0);

    std::printf("fuzz_segments: seed %llu, %ld cases per kind\n", static_cast<unsigned long long>(seed),
                only >= 0 ? 1L : cases);
    Tally total;
    for (Kind kind : kinds) {
        const Tally t = run_kind(kind, seed, cases, only, static_cast<int>(jobs), inject_crash);
        std::printf("  %-8s cases %ld: crashes %ld, hangs %ld, wrong exceptions %ld, setup failures %ld"
                    " | connect refused %ld, an op threw %ld, an op completed %ld\n",
                    kind_name(kind), t.cases, t.crashes, t.hangs, t.wrong, t.setup, t.refused, t.threw, t.done);
        total.cases += t.cases;
        total.crashes += t.crashes;
        total.hangs += t.hangs;
        total.wrong += t.wrong;
        total.setup += t.setup;
    }
    std::printf("cases run: %ld\ncrashes: %ld\nhangs: %ld\nwrong exceptions: %ld\nsetup failures: %ld\n", total.cases,
                total.crashes, total.hangs, total.wrong, total.setup);
    return total.failures() > 0 ? 1 : 0;
}

}  // namespace
}  // namespace mox::ipc_queue::fuzz

int main(int argc, char** argv) { return mox::ipc_queue::fuzz::main_impl(argc, argv); }
