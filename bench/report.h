// What the programs print: the machine, then for each measured system a
// readable line and a JSON line (run_bench.py reads the JSON lines). A
// system that fails is printed once as "failed" and left out of the runs
// that follow; the program goes on with the others and exits 1 at the end.
#pragma once

#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <exception>
#include <fstream>
#include <string>
#include <vector>

#include "timing.h"

namespace mox::bench {

inline std::string size_label(uint64_t bytes) {
    if (bytes >= (1u << 20) && bytes % (1u << 20) == 0) return std::to_string(bytes >> 20) + " MiB";
    if (bytes >= 1024 && bytes % 1024 == 0) return std::to_string(bytes >> 10) + " KiB";
    return std::to_string(bytes) + " B";
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

// Printed first by every program, so each output stands alone.
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

// One throughput row: per-run message rates, reported as their median.
struct Result {
    std::string system;
    int writers = 1;
    int readers = 1;
    uint64_t payload = 0;
    uint64_t messages = 0;        // per run
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
    std::printf(
        "{\"kind\":\"result\",\"system\":\"%s\",\"writers\":%d,\"readers\":%d,\"payload\":%llu,"
        "\"messages\":%llu,\"runs\":%zu,\"msgs_per_s\":%.6g,\"gb_per_s\":%.6g,\"msgs_per_s_runs\":[",
        json_escape(r.system).c_str(), r.writers, r.readers, static_cast<unsigned long long>(r.payload),
        static_cast<unsigned long long>(r.messages), rates.size(), rate, gbps);
    for (size_t i = 0; i < rates.size(); ++i) std::printf("%s%.6g", i ? "," : "", rates[i]);
    std::printf("]}\n");
    std::fflush(stdout);
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
    std::printf("%-36s %9s round trip  p50 %9.0f ns  p99 %9.0f ns  (median of %zu runs of %llu)\n", r.system.c_str(),
                size_label(r.payload).c_str(), median(p50), median(p99), r.runs.size(),
                static_cast<unsigned long long>(r.round_trips));
    std::printf(
        "{\"kind\":\"latency\",\"system\":\"%s\",\"payload\":%llu,\"round_trips\":%llu,\"runs\":%zu,"
        "\"p50_ns\":%.6g,\"p99_ns\":%.6g,\"p50_ns_runs\":[",
        json_escape(r.system).c_str(), static_cast<unsigned long long>(r.payload),
        static_cast<unsigned long long>(r.round_trips), r.runs.size(), median(p50), median(p99));
    for (size_t i = 0; i < p50.size(); ++i) std::printf("%s%.6g", i ? "," : "", p50[i]);
    std::printf("],\"p99_ns_runs\":[");
    for (size_t i = 0; i < p99.size(); ++i) std::printf("%s%.6g", i ? "," : "", p99[i]);
    std::printf("]}\n");
    std::fflush(stdout);
}

// A system named on the command line that this build cannot run.
inline void print_unavailable(const char* program, const std::string& key) {
    std::fprintf(stderr, "%s: system %s not available here; skipped\n", program, key.c_str());
    std::printf("{\"kind\":\"unavailable\",\"key\":\"%s\"}\n", json_escape(key).c_str());
    std::fflush(stdout);
}

// The systems that failed in this program.
class Failures {
public:
    bool has(const std::string& system) const {
        return std::find(failed_.begin(), failed_.end(), system) != failed_.end();
    }

    // Runs one measurement of `system` unless it failed before; an exception
    // is printed as the system's "failed" row and the system is remembered.
    template <class Measure>
    void run(const std::string& system, Measure&& measure) {
        if (has(system)) return;
        try {
            measure();
        } catch (const std::exception& e) {
            failed_.push_back(system);
            std::printf("%-36s FAILED: %s; left out of the runs that follow\n", system.c_str(), e.what());
            std::printf("{\"kind\":\"failed\",\"system\":\"%s\",\"error\":\"%s\"}\n", json_escape(system).c_str(),
                        json_escape(e.what()).c_str());
            std::fflush(stdout);
        }
    }

    int exit_code() const { return failed_.empty() ? 0 : 1; }

private:
    std::vector<std::string> failed_;
};

}  // namespace mox::bench
