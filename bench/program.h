// What every benchmark program starts from: failing with a message, unique
// shared-memory names, sizes and counts on the command line, and the options
// all programs take (--runs, --timeout, --offset) beside their own.
#pragma once

#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace mox::bench {

[[noreturn]] inline void fail(const std::string& what) { throw std::runtime_error(what); }

[[noreturn]] inline void fail_errno(const std::string& what) {
    throw std::runtime_error(what + ": " + std::strerror(errno));
}

// The program's own pid, taken at start-up: measurements run in forked
// children, and every name made in one carries both pids.
inline const pid_t kProgramPid = ::getpid();

// "/mox_bench_<kind>_<program pid>_<pid>_<n>": unique per process and per
// run, so concurrent or crashed runs never collide, and whatever a killed
// run leaves behind can be found by pid.
inline std::string queue_name(const char* kind) {
    static unsigned counter = 0;
    return "/mox_bench_" + std::string(kind) + "_" + std::to_string(kProgramPid) + "_" + std::to_string(::getpid()) +
           "_" + std::to_string(counter++);
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

// "a,b,c" -> {"a", "b", "c"}
inline std::vector<std::string> split_list(const std::string& text) {
    std::vector<std::string> items;
    std::stringstream list(text);
    for (std::string item; std::getline(list, item, ',');) items.push_back(item);
    return items;
}

struct Options {
    int runs = 5;
    unsigned timeout_s = 60;  // one measurement; a hung one is killed a little later
    uint64_t offset = 0;
    std::vector<std::string> positional;
};

// A program's own option: given the argument and the one after it (null at
// the end), returns how many arguments it took (1 for a flag, 2 with a
// value), or 0 when the argument is not one of its own.
using OwnOptions = std::function<int(const std::string& arg, const char* value)>;

// --runs R, --timeout S, --offset B, -h, then the program's own options;
// anything else not starting with '-' is positional.
inline Options parse_options(int argc, char** argv, const char* usage, const OwnOptions& own = {}) {
    Options o;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
        if ((a == "--runs" || a == "--timeout") && value != nullptr) {
            const uint64_t v = parse_count(value);
            if (a == "--runs")
                o.runs = static_cast<int>(v);
            else
                o.timeout_s = static_cast<unsigned>(v);
            ++i;
        } else if (a == "--offset" && value != nullptr) {
            o.offset = std::strtoull(value, nullptr, 10) % 4096;
            ++i;
        } else if (a == "-h" || a == "--help") {
            std::printf("%s", usage);
            std::exit(0);
        } else if (const int taken = own ? own(a, value) : 0; taken > 0) {
            i += taken - 1;
        } else if (!a.empty() && a[0] == '-') {
            std::fprintf(stderr, "unknown option %s\n%s", a.c_str(), usage);
            std::exit(2);
        } else {
            o.positional.push_back(a);
        }
    }
    return o;
}

}  // namespace mox::bench
