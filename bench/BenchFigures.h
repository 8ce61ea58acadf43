// Small helpers the benchmarks share for their figures.
#pragma once

#include <time.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include "tests/support/TempDir.h"

namespace bench {

inline double CpuSeconds(clockid_t clock = CLOCK_PROCESS_CPUTIME_ID) {
    timespec ts{};
    clock_gettime(clock, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

inline double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    const size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

// The window saves its settings file in the working directory. A benchmark
// that makes windows works in a fresh directory of its own, wherever it was
// started from (the source tree included), and removes it at the end.
class ScratchWorkDir {
public:
    ScratchWorkDir() : before_(std::filesystem::current_path()) { std::filesystem::current_path(dir_.path()); }
    ScratchWorkDir(const ScratchWorkDir&) = delete;
    ScratchWorkDir& operator=(const ScratchWorkDir&) = delete;
    ~ScratchWorkDir() {
        std::error_code ec;
        std::filesystem::current_path(before_, ec);
    }

private:
    std::filesystem::path before_;
    testsupport::TempDir dir_;  // removed after the way back out
};

}  // namespace bench
