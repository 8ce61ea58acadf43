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
    ScratchWorkDir() {
        std::error_code ec;
        before_ = std::filesystem::current_path(ec);
        std::string pattern = (std::filesystem::temp_directory_path(ec) / "loader-bench-XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr) {
            std::perror("mkdtemp");
            std::exit(1);
        }
        dir_ = pattern;
        std::filesystem::current_path(dir_);
    }
    ScratchWorkDir(const ScratchWorkDir&) = delete;
    ScratchWorkDir& operator=(const ScratchWorkDir&) = delete;
    ~ScratchWorkDir() {
        std::error_code ec;
        std::filesystem::current_path(before_, ec);
        std::filesystem::remove_all(dir_, ec);
    }

private:
    std::filesystem::path before_, dir_;
};

}  // namespace bench
