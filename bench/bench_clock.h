#pragma once
// Timing helpers shared by the benchmark programs.

#include <sys/resource.h>

#include <chrono>

namespace quellmark::bench {

inline double secondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

/// CPU time of this process: on a shared, busy machine the wall time also
/// counts the time other processes held the cores.
inline double cpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    const auto seconds = [](const timeval& t) { return double(t.tv_sec) + double(t.tv_usec) / 1e6; };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

}  // namespace quellmark::bench
