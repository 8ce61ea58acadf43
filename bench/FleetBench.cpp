// The fleet updater on 1, 10 and 50 simulated meters at once, each meter
// a whole update of the compiled-in image. One meter's timing must not suffer
// from the others: the wall time of 50 over that of 1 should stay within 1.02,
// and the tool's processor time under 0.2 % of one core per meter.
//
//   fleet-bench [SIZES...]   (default: 1 10 50)
//
// Both the tool and meter-sim run as their own processes, so the figures
// are the tool's alone. Binds 127.0.6.x on the protocol's ports: needs root.
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "ChildProcess.h"

#ifndef METER_SIM_PATH
#error "METER_SIM_PATH must name the meter-sim executable"
#endif

namespace {

using testsupport::ChildProcess;
using Clock = ChildProcess::Clock;
using namespace std::chrono_literals;

struct Figures {
    bool ok = false;
    double wallS = 0, cpuS = 0, maxRssMiB = 0;
};

double Seconds(const timeval& t) { return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) * 1e-6; }

Figures Run(int meters) {
    Figures f;
    const std::string first = "127.0.6.2";
    ChildProcess sim({METER_SIM_PATH, "--address", first, "--meters", std::to_string(meters), "--image",
                      LOADER_IMAGE_BIN_PATH, "--log", "/dev/null", "--exit-after-reset"},
                     ChildProcess::Stderr::Discard);
    if (!sim.ReadLine(Clock::now() + 20s)) {
        std::fprintf(stderr, "fleet-bench: meter-sim did not start\n");
        return f;
    }
    std::vector<std::string> args{CLI_PATH, "update"};
    for (int i = 0; i < meters; ++i) args.push_back("127.0.6." + std::to_string(2 + i));
    setenv("LOADER_PASSWORD", "1234", 1);
    const auto t0 = Clock::now();
    ChildProcess cli(args, ChildProcess::Stderr::Inherit);
    const auto status = cli.Wait(Clock::now() + 300s);
    f.wallS = std::chrono::duration<double>(Clock::now() - t0).count();
    f.cpuS = Seconds(cli.Usage().ru_utime) + Seconds(cli.Usage().ru_stime);
    f.maxRssMiB = static_cast<double>(cli.Usage().ru_maxrss) / 1024;
    const auto simStatus = sim.Wait(Clock::now() + 20s);
    f.ok = status == 0 && simStatus == 0;
    if (!f.ok)
        std::fprintf(stderr, "fleet-bench: tool status %d, simulator status %d\n", status.value_or(-1),
                     simStatus.value_or(-1));
    return f;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<int> sizes;
    for (int i = 1; i < argc; ++i) sizes.push_back(std::max(1, std::atoi(argv[i])));
    if (sizes.empty()) sizes = {1, 10, 50};
    std::printf("fleet update of the compiled-in image, meters on 127.0.6.2 and up (meter-sim, normal operation)\n");
    std::printf("%8s %10s %10s %14s %16s %12s %s\n", "meters", "wall s", "ratio", "tool CPU s", "CPU %/meter",
                "peak MiB", "result");
    double single = 0;
    bool allOk = true;
    for (int n : sizes) {
        const Figures f = Run(n);
        if (single == 0 && n == 1) single = f.wallS;
        allOk = allOk && f.ok;
        std::printf("%8d %10.3f %10.4f %14.3f %16.4f %12.1f %s\n", n, f.wallS, single > 0 ? f.wallS / single : 0.0,
                    f.cpuS, 100 * f.cpuS / f.wallS / n, f.maxRssMiB, f.ok ? "all updated" : "FAILED");
        std::fflush(stdout);
    }
    std::printf("targets: ratio (wall of N meters / wall of 1) <= 1.02; tool CPU < 0.2 %% of one core per meter\n");
    return allOk ? 0 : 1;
}
