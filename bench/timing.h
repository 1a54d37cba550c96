// Clocks and statistics of the benchmark programs: a system-wide monotonic
// clock, so stamps taken in different processes compare; the median every
// report gives; the percentiles of one run of round trips.
#pragma once

#include <time.h>

#include <algorithm>
#include <cstdint>
#include <vector>

namespace mox::bench {

inline double now_s() {
    timespec ts{};
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

inline int64_t monotonic_ns() {
    timespec ts{};
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

inline double median(std::vector<double> v) {
    if (v.empty()) return 0.0;
    std::sort(v.begin(), v.end());
    const size_t n = v.size();
    return n % 2 == 1 ? v[n / 2] : 0.5 * (v[n / 2 - 1] + v[n / 2]);
}

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

}  // namespace mox::bench
