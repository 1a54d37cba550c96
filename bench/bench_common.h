// Helpers shared by the benchmark programs: clocks, medians, the machine
// description, output (a readable line and a JSON line per result), forked
// worker processes and the many-writers/many-readers run used by the
// multi-producer queues.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <exception>
#include <fstream>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace mox::bench {

// CLOCK_MONOTONIC is system-wide, so stamps taken in different processes compare.
inline double now_s() {
    timespec ts{};
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

inline double median(std::vector<double> v) {
    if (v.empty()) return 0.0;
    std::sort(v.begin(), v.end());
    const size_t n = v.size();
    return n % 2 == 1 ? v[n / 2] : 0.5 * (v[n / 2 - 1] + v[n / 2]);
}

[[noreturn]] inline void fail(const std::string& what) { throw std::runtime_error(what); }

[[noreturn]] inline void fail_errno(const std::string& what) {
    throw std::runtime_error(what + ": " + std::strerror(errno));
}

// Unique per process and per run, so concurrent or crashed runs never collide.
inline std::string queue_name(const char* kind) {
    static unsigned counter = 0;
    return "/mox_bench_" + std::string(kind) + "_" + std::to_string(::getpid()) + "_" + std::to_string(counter++);
}

inline std::string size_label(uint64_t bytes) {
    if (bytes >= (1u << 20) && bytes % (1u << 20) == 0) return std::to_string(bytes >> 20) + " MiB";
    if (bytes >= 1024 && bytes % 1024 == 0) return std::to_string(bytes >> 10) + " KiB";
    return std::to_string(bytes) + " B";
}

// Accepts 64, 64K, 16M (binary multiples).
inline uint64_t parse_size(const std::string& text) {
    char* end = nullptr;
    const unsigned long long v = std::strtoull(text.c_str(), &end, 10);
    if (end == text.c_str()) fail("not a size: " + text);
    std::string unit(end);
    if (unit.empty() || unit == "B") return v;
    if (unit == "K" || unit == "KiB") return v << 10;
    if (unit == "M" || unit == "MiB") return v << 20;
    fail("unknown size unit in " + text);
}

inline uint64_t parse_count(const std::string& text) {
    char* end = nullptr;
    const unsigned long long v = std::strtoull(text.c_str(), &end, 10);
    if (end == text.c_str() || *end != '\0' || v == 0) fail("not a positive count: " + text);
    return v;
}

// "SIZE:COUNT" pairs name the cases of a program.
struct Case {
    uint64_t size;
    uint64_t count;
};

inline Case parse_case(const std::string& text) {
    const size_t colon = text.find(':');
    if (colon == std::string::npos) fail("expected SIZE:COUNT, got " + text);
    return Case{parse_size(text.substr(0, colon)), parse_count(text.substr(colon + 1))};
}

inline std::string json_escape(const std::string& s) {
    std::string out;
    for (char c : s) {
        if (c == '"' || c == '\\') out += '\\';
        if (static_cast<unsigned char>(c) < 0x20) continue;
        out += c;
    }
    return out;
}

// Machine description, printed by every program so each output stands alone.
inline void print_machine() {
    std::string model = "unknown";
    std::ifstream cpuinfo("/proc/cpuinfo");
    for (std::string line; std::getline(cpuinfo, line);) {
        if (line.rfind("model name", 0) == 0) {
            const size_t colon = line.find(':');
            if (colon != std::string::npos) model = line.substr(line.find_first_not_of(" \t", colon + 1));
            break;
        }
    }
    const long cores = ::sysconf(_SC_NPROCESSORS_ONLN);
    std::printf("machine: %s, %ld cores online\n", model.c_str(), cores);
    std::printf("{\"kind\":\"machine\",\"cpu\":\"%s\",\"cores\":%ld}\n", json_escape(model).c_str(), cores);
    std::fflush(stdout);
}

// One measured row: per-run message rates, reported as their median.
struct Result {
    std::string system;
    int writers = 1;
    int readers = 1;
    uint64_t payload = 0;
    uint64_t messages = 0;  // per run
    std::vector<double> seconds;  // one per run
};

inline void print_result(const Result& r) {
    std::vector<double> rates;
    for (double s : r.seconds) rates.push_back(static_cast<double>(r.messages) / s);
    const double rate = median(rates);
    const double gbps = rate * static_cast<double>(r.payload) / 1e9;
    const double lo = *std::min_element(rates.begin(), rates.end());
    const double hi = *std::max_element(rates.begin(), rates.end());
    std::printf("%-28s %dw/%dr %9s x %-9llu %14.0f msg/s %8.3f GB/s  (median of %zu, %.0f..%.0f msg/s)\n",
                r.system.c_str(), r.writers, r.readers, size_label(r.payload).c_str(),
                static_cast<unsigned long long>(r.messages), rate, gbps, rates.size(), lo, hi);
    std::printf("{\"kind\":\"result\",\"system\":\"%s\",\"writers\":%d,\"readers\":%d,\"payload\":%llu,"
                "\"messages\":%llu,\"runs\":%zu,\"msgs_per_s\":%.6g,\"gb_per_s\":%.6g,\"msgs_per_s_runs\":[",
                json_escape(r.system).c_str(), r.writers, r.readers, static_cast<unsigned long long>(r.payload),
                static_cast<unsigned long long>(r.messages), rates.size(), rate, gbps);
    for (size_t i = 0; i < rates.size(); ++i) std::printf("%s%.6g", i ? "," : "", rates[i]);
    std::printf("]}\n");
    std::fflush(stdout);
}

// A pre-touched buffer whose data starts `offset` bytes past a page
// boundary. Where the copies start matters: on some CPUs memcpy slows down
// many times over for certain source/destination offsets modulo 64, so the
// programs fix the offsets instead of taking whatever malloc returns.
class AlignedBuffer {
public:
    AlignedBuffer(uint64_t size, uint64_t offset, char fill)
        : base_(static_cast<char*>(std::aligned_alloc(4096, round_up(size + offset)))), size_(size) {
        if (base_ == nullptr) fail("out of memory");
        std::memset(base_, fill, round_up(size + offset));
        data_ = base_ + offset;
    }
    ~AlignedBuffer() { std::free(base_); }
    AlignedBuffer(const AlignedBuffer&) = delete;
    AlignedBuffer& operator=(const AlignedBuffer&) = delete;
    char* data() const { return data_; }
    uint64_t size() const { return size_; }

private:
    static uint64_t round_up(uint64_t n) { return (n + 4095) / 4096 * 4096 + 4096; }
    char* base_;
    char* data_ = nullptr;
    uint64_t size_;
};

// ---- processes ---------------------------------------------------------

// A wait broken by SIGALRM fails with EINTR, so a stuck run ends with an
// exception (and its cleanup) instead of hanging.
inline void on_alarm(int) {}

inline void install_watchdog_handler() {
    struct sigaction sa {};
    sa.sa_handler = on_alarm;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = 0;  // no SA_RESTART: blocked calls return EINTR
    ::sigaction(SIGALRM, &sa, nullptr);
}

// Arms the watchdog for one run and disarms it however the run ends.
class Watchdog {
public:
    explicit Watchdog(unsigned seconds) { ::alarm(seconds); }
    Watchdog(const Watchdog&) = delete;
    Watchdog& operator=(const Watchdog&) = delete;
    ~Watchdog() { ::alarm(0); }
};

// Children that outlive their run are killed and reaped on scope exit.
class Children {
public:
    Children() = default;
    Children(const Children&) = delete;
    Children& operator=(const Children&) = delete;
    ~Children() { kill_all(); }

    // Runs `body` in a new process; its return value is the exit status.
    // The child never runs destructors of what it inherited.
    pid_t spawn(const std::function<int()>& body, unsigned timeout_s) {
        std::fflush(nullptr);  // or buffered output would be printed twice
        const pid_t pid = ::fork();
        if (pid < 0) fail_errno("fork");
        if (pid == 0) {
            ::prctl(PR_SET_PDEATHSIG, SIGKILL);
            ::signal(SIGALRM, SIG_DFL);
            ::alarm(timeout_s);
            int status = 3;
            try {
                status = body();
            } catch (const std::exception& e) {
                std::fprintf(stderr, "bench child %d: %s\n", static_cast<int>(::getpid()), e.what());
            } catch (...) {
                std::fprintf(stderr, "bench child %d: unknown exception\n", static_cast<int>(::getpid()));
            }
            std::fflush(nullptr);
            ::_exit(status);
        }
        pids_.push_back(pid);
        return pid;
    }

    // Waits for `pid` and fails unless it exited with status 0.
    void wait(pid_t pid) {
        int status = 0;
        if (::waitpid(pid, &status, 0) < 0) fail_errno("waitpid");
        pids_.erase(std::remove(pids_.begin(), pids_.end(), pid), pids_.end());
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
            fail("worker process " + std::to_string(pid) +
                 (WIFSIGNALED(status) ? " killed by signal " + std::to_string(WTERMSIG(status))
                                      : " exited with status " + std::to_string(WEXITSTATUS(status))));
        }
    }

    void kill_all() {
        for (pid_t pid : pids_) ::kill(pid, SIGKILL);
        for (pid_t pid : pids_) ::waitpid(pid, nullptr, 0);
        pids_.clear();
    }

private:
    std::vector<pid_t> pids_;
};

class Pipe {
public:
    Pipe() {
        if (::pipe2(fd_, O_CLOEXEC) != 0) fail_errno("pipe");
    }
    Pipe(const Pipe&) = delete;
    Pipe& operator=(const Pipe&) = delete;
    ~Pipe() {
        close_read();
        close_write();
    }
    void close_read() { close_end(0); }
    void close_write() { close_end(1); }

    void write_all(const void* data, size_t len) {
        const char* p = static_cast<const char*>(data);
        while (len > 0) {
            const ssize_t n = ::write(fd_[1], p, len);
            if (n < 0) fail_errno("pipe write");
            p += n;
            len -= static_cast<size_t>(n);
        }
    }
    // False at end of file before any byte; fails on a short record.
    bool read_all(void* data, size_t len) {
        char* p = static_cast<char*>(data);
        size_t got = 0;
        while (got < len) {
            const ssize_t n = ::read(fd_[0], p + got, len - got);
            if (n < 0) fail_errno("pipe read");
            if (n == 0) {
                if (got == 0) return false;
                fail("short record on pipe");
            }
            got += static_cast<size_t>(n);
        }
        return true;
    }
    // Blocks until every holder of the write end has closed it.
    void wait_eof() {
        char c;
        for (;;) {
            const ssize_t n = ::read(fd_[0], &c, 1);
            if (n == 0) return;
            if (n < 0) fail_errno("pipe read");
        }
    }

private:
    void close_end(int i) {
        if (fd_[i] >= 0) ::close(fd_[i]);
        fd_[i] = -1;
    }
    int fd_[2] = {-1, -1};
};

// ---- many writers, many readers -----------------------------------------

// What a reader process sends back at the end of a run.
struct ReaderReport {
    uint64_t messages;
    uint64_t wrong_length;
    double end_time;
};

// How a program drives one queue kind. `read` returns the message length;
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
double run_fan(const QueueOps<Queue>& ops, const char* kind, int writers, int readers, uint64_t payload,
               uint64_t total, uint64_t buffer_offset, unsigned timeout_s) {
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

// ---- one writer, one reader ---------------------------------------------

// One writer (this process) and one reader (a forked child) through any
// channel with write(const char*, uint64_t) and read(char*, uint64_t) -> length.
// make_writer() runs before the fork and returns the writer's end;
// make_reader(writer) runs in the child, which inherited the writer's end.
// The reader times from a start marker (the first message) to the last
// message, so neither process start-up nor connecting is counted.
// Returns the reader's seconds; fails if a message went missing or changed size.
template <class MakeWriter, class MakeReader>
double pair_once(MakeWriter&& make_writer, MakeReader&& make_reader, uint64_t payload, uint64_t count,
                 uint64_t offset, unsigned timeout_s) {
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

// ---- round trips -----------------------------------------------------------

// Percentiles of one run of round trips, in nanoseconds.
struct RoundTrips {
    double p50 = 0;
    double p99 = 0;
};

inline RoundTrips percentiles(std::vector<double> ns) {
    std::sort(ns.begin(), ns.end());
    RoundTrips r;
    if (ns.empty()) return r;
    r.p50 = ns[ns.size() / 2];
    r.p99 = ns[std::min(ns.size() - 1, ns.size() * 99 / 100)];
    return r;
}

// One latency row: per run p50 and p99, reported as the medians over runs.
struct LatencyResult {
    std::string system;
    uint64_t payload = 0;
    uint64_t round_trips = 0;  // per run
    std::vector<RoundTrips> runs;
};

inline void print_latency(const LatencyResult& r) {
    std::vector<double> p50, p99;
    for (const RoundTrips& t : r.runs) {
        p50.push_back(t.p50);
        p99.push_back(t.p99);
    }
    std::printf("%-36s %9s round trip  p50 %9.0f ns  p99 %9.0f ns  (median of %zu runs of %llu)\n",
                r.system.c_str(), size_label(r.payload).c_str(), median(p50), median(p99), r.runs.size(),
                static_cast<unsigned long long>(r.round_trips));
    std::printf("{\"kind\":\"latency\",\"system\":\"%s\",\"payload\":%llu,\"round_trips\":%llu,\"runs\":%zu,"
                "\"p50_ns\":%.6g,\"p99_ns\":%.6g,\"p50_ns_runs\":[",
                json_escape(r.system).c_str(), static_cast<unsigned long long>(r.payload),
                static_cast<unsigned long long>(r.round_trips), r.runs.size(), median(p50), median(p99));
    for (size_t i = 0; i < p50.size(); ++i) std::printf("%s%.6g", i ? "," : "", p50[i]);
    std::printf("],\"p99_ns_runs\":[");
    for (size_t i = 0; i < p99.size(); ++i) std::printf("%s%.6g", i ? "," : "", p99[i]);
    std::printf("]}\n");
    std::fflush(stdout);
}

// Ping-pong between this process and a forked child. make_ends() runs
// before the fork and returns {to_child, from_child}; make_child_ends(ends)
// runs in the child and returns {from_parent, to_parent}. The child echoes
// every message; the parent times each round trip after `warmup` untimed ones.
template <class MakeEnds, class MakeChildEnds>
RoundTrips ping_pong_once(MakeEnds&& make_ends, MakeChildEnds&& make_child_ends, uint64_t payload,
                          uint64_t round_trips, uint64_t warmup, unsigned timeout_s) {
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

// Common command line: --runs R, --timeout S, --offset B, then positional arguments.
struct Options {
    int runs = 5;
    unsigned timeout_s = 60;
    uint64_t offset = 0;
    std::vector<std::string> positional;
};

inline Options parse_options(int argc, char** argv, const char* usage) {
    Options o;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if ((a == "--runs" || a == "--timeout") && i + 1 < argc) {
            const uint64_t v = parse_count(argv[++i]);
            if (a == "--runs") o.runs = static_cast<int>(v);
            else o.timeout_s = static_cast<unsigned>(v);
        } else if (a == "--offset" && i + 1 < argc) {
            o.offset = std::strtoull(argv[++i], nullptr, 10) % 4096;
        } else if (a == "-h" || a == "--help") {
            std::printf("%s", usage);
            std::exit(0);
        } else if (!a.empty() && a[0] == '-') {
            std::fprintf(stderr, "unknown option %s\n%s", a.c_str(), usage);
            std::exit(2);
        } else {
            o.positional.push_back(a);
        }
    }
    return o;
}

// The harness's write/read over a one-cell queue kind (SPSC, MPMC):
// whole-message write, buffer read without a time limit.
template <class Queue>
struct FixedCellEnd {
    std::unique_ptr<Queue> q;
    void write(const char* data, uint64_t len) { q->write(data, static_cast<int64_t>(len)); }
    uint64_t read(char* buffer, uint64_t capacity) {
        int64_t len = 0;
        q->read(buffer, static_cast<int64_t>(capacity), len, 0);
        return static_cast<uint64_t>(len);
    }
};

}  // namespace mox::bench
