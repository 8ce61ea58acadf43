// The fleet updater on 1, 64, 256 and 512 simulated meters at once, each
// meter a whole update of the compiled-in image and the watch for its return
// (the default). One meter's timing must not suffer from the others, and the
// tool must stay cheap:
//   - the wall time of N meters over that of 1: <= 1.03 at 256, <= 1.05 at 512;
//   - the tool's processor time <= 0.05 % of one core per meter;
//   - the tool's peak memory <= 128 MiB at 512 meters;
//   - no false result: every meter's verdict in the tool's report agrees with
//     what meter-sim finds in that meter's flash.
// Then the return: 256 meters that take 5 s to boot after "RESET", watched
// all at once, against one such meter: wall time ratio <= 1.05. A watch that
// misses a meter's return by its attempt period, or waits on the others,
// shows here.
//
//   fleet-bench [SIZES...] [return]   (default: 1 64 256 512 return)
//
// Both the tool and meter-sim run as their own processes, so the figures
// are the tool's alone. Binds 127.0.6.2 and the addresses after it on the
// protocol's ports: needs root.
#include <stdlib.h>
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "tests/support/Addresses.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/TempDir.h"

#ifndef METER_SIM_PATH
#error "METER_SIM_PATH must name the meter-sim executable"
#endif

namespace {

using testsupport::ChildProcess;
using Clock = ChildProcess::Clock;
using namespace std::chrono_literals;
using nlohmann::json;

constexpr char kFirstAddress[] = "127.0.6.2";

// Meters that boot this long after "RESET" in the return case.
constexpr char kSlowBootS[] = "5";
constexpr int kReturnFleet = 256;

struct Figures {
    bool ran = false;  // both programs ran to their end
    double wallS = 0, cpuS = 0, maxRssMiB = 0;
    int updated = 0;                       // meters the tool reports updated
    int falseResults = 0;                  // tool and flash disagree
    double firstBackS = 0, lastBackS = 0;  // back_after_s over the meters back
};

double Seconds(const timeval& t) { return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) * 1e-6; }

// The tool's verdict per meter against the simulator's: "updated" exactly
// when the flash holds the image and the meter has left its bootloader.
int FalseResults(const json& report, const json& summary, int* updated) {
    int falseResults = 0;
    const json& meters = report["meters"];
    if (meters.size() != summary.size()) return static_cast<int>(std::max(meters.size(), summary.size()));
    for (size_t i = 0; i < meters.size(); ++i) {
        const bool toolSays = meters[i]["result"] == "updated";
        const bool flashSays = summary[i]["flash"] == "match" && summary[i]["resets"].get<int>() > 0 &&
                               !summary[i]["bootloader"].get<bool>();
        *updated += toolSays;
        if (toolSays != flashSays || meters[i]["address"] != summary[i]["meter"]) {
            ++falseResults;
            std::fprintf(stderr, "fleet-bench: %s: the tool says %s, the meter %s\n",
                         meters[i]["address"].get<std::string>().c_str(),
                         meters[i]["result"].get<std::string>().c_str(), summary[i].dump().c_str());
        }
    }
    return falseResults;
}

// The first and last return among the meters the watch found back.
void BackTimes(const json& report, Figures& f) {
    f.firstBackS = 1e9;
    for (const auto& m : report["meters"]) {
        if (!m["back_after_s"].is_number()) continue;
        f.firstBackS = std::min(f.firstBackS, m["back_after_s"].get<double>());
        f.lastBackS = std::max(f.lastBackS, m["back_after_s"].get<double>());
    }
    if (f.lastBackS == 0) f.firstBackS = 0;
}

// `bootTimeS`: meter-sim's --boot-time; empty for its default.
Figures Run(int meters, const std::string& bootTimeS = {}) {
    Figures f;
    const testsupport::TempDir dir;
    const std::string report = dir.File("report.json");
    std::vector<std::string> simArgs{
        METER_SIM_PATH, "--address",           kFirstAddress, "--meters", std::to_string(meters),
        "--image",      LOADER_IMAGE_BIN_PATH, "--log",       "/dev/null"};
    if (!bootTimeS.empty()) simArgs.insert(simArgs.end(), {"--boot-time", bootTimeS});
    ChildProcess sim(simArgs, ChildProcess::Stderr::Discard);
    if (!sim.ReadLine(Clock::now() + 60s)) {
        std::fprintf(stderr, "fleet-bench: meter-sim did not start\n");
        return f;
    }
    // All at once: the default stops at 256.
    std::vector<std::string> args{CLI_PATH, "update", "--report", report, "--jobs", std::to_string(meters)};
    for (const auto& a : testsupport::ConsecutiveAddresses(kFirstAddress, meters)) args.push_back(a);
    setenv("LOADER_PASSWORD", "1234", 1);
    const auto t0 = Clock::now();
    ChildProcess cli(args, ChildProcess::Stderr::Inherit);
    const auto status = cli.Wait(Clock::now() + 600s);
    f.wallS = std::chrono::duration<double>(Clock::now() - t0).count();
    f.cpuS = Seconds(cli.Usage().ru_utime) + Seconds(cli.Usage().ru_stime);
    f.maxRssMiB = static_cast<double>(cli.Usage().ru_maxrss) / 1024;
    // The simulator's own verdict on every meter's flash, once the tool is done.
    sim.Signal(SIGINT);
    const auto simStatus = sim.Wait(Clock::now() + 60s);
    json summary;
    for (auto it = sim.OutLines().rbegin(); it != sim.OutLines().rend() && summary.is_null(); ++it)
        if (it->find("\"summary\"") != std::string::npos) summary = json::parse(*it, nullptr, false)["summary"];
    std::ifstream in(report);
    const json r = json::parse(in, nullptr, false);
    f.ran = status.has_value() && simStatus.has_value() && r.is_object() && summary.is_array();
    if (!f.ran) {
        std::fprintf(stderr, "fleet-bench: tool status %d, simulator status %d\n", status.value_or(-1),
                     simStatus.value_or(-1));
        return f;
    }
    f.falseResults = FalseResults(r, summary, &f.updated);
    BackTimes(r, f);
    return f;
}

const char* Verdict(bool met) { return met ? "met" : "MISSED"; }

}  // namespace

// 1 meter and kReturnFleet meters that boot in kSlowBootS, with the default
// watch; true when every result was honest.
bool RunReturnCase(std::vector<std::string>& verdicts) {
    bool honest = true;
    std::printf("\nreturn after RESET: meters that boot in %s s, the default watch\n", kSlowBootS);
    std::printf("%8s %9s %8s %11s %12s %12s %9s %7s\n", "meters", "wall s", "ratio", "tool CPU s", "first back s",
                "last back s", "updated", "false");
    double alone = 0;
    for (int n : {1, kReturnFleet}) {
        const Figures f = Run(n, kSlowBootS);
        if (n == 1 && f.ran) alone = f.wallS;
        const double ratio = alone > 0 ? f.wallS / alone : 0.0;
        honest = honest && f.ran && f.falseResults == 0;
        std::printf("%8d %9.3f %8.4f %11.3f %12.1f %12.1f %9d %7d%s\n", n, f.wallS, ratio, f.cpuS, f.firstBackS,
                    f.lastBackS, f.updated, f.falseResults, f.ran ? "" : "  (did not run to its end)");
        std::fflush(stdout);
        if (n == kReturnFleet && alone > 0) {
            char line[160];
            std::snprintf(line, sizeof line, "return ratio at %d: %.4f <= 1.05 %s", n, ratio, Verdict(ratio <= 1.05));
            verdicts.push_back(line);
        }
    }
    return honest;
}

int main(int argc, char** argv) {
    std::vector<int> sizes;
    bool returnCase = argc == 1;
    for (int i = 1; i < argc; ++i) {
        if (std::string(argv[i]) == "return")
            returnCase = true;
        else
            sizes.push_back(std::max(1, std::atoi(argv[i])));
    }
    if (argc == 1) sizes = {1, 64, 256, 512};
    double load[3] = {};
    getloadavg(load, 3);
    std::printf("fleet update of the compiled-in image, meters on %s and up (meter-sim, normal operation)\n",
                kFirstAddress);
    std::printf("load average before: %.2f %.2f %.2f on %ld cores\n", load[0], load[1], load[2],
                sysconf(_SC_NPROCESSORS_ONLN));
    if (!sizes.empty())
        std::printf("%8s %9s %8s %11s %12s %9s %9s %7s\n", "meters", "wall s", "ratio", "tool CPU s", "CPU %/meter",
                    "peak MiB", "updated", "false");
    double single = 0;
    bool honest = true;
    std::vector<std::string> verdicts;
    for (int n : sizes) {
        const Figures f = Run(n);
        if (single == 0 && n == 1 && f.ran) single = f.wallS;
        const double ratio = single > 0 ? f.wallS / single : 0.0;
        const double cpuPerMeter = f.wallS > 0 ? 100 * f.cpuS / f.wallS / n : 0.0;
        honest = honest && f.ran && f.falseResults == 0;
        std::printf("%8d %9.3f %8.4f %11.3f %12.4f %9.1f %9d %7d%s\n", n, f.wallS, ratio, f.cpuS, cpuPerMeter,
                    f.maxRssMiB, f.updated, f.falseResults, f.ran ? "" : "  (did not run to its end)");
        std::fflush(stdout);
        char line[160];
        if (n >= 256 && single > 0) {
            const double limit = n >= 512 ? 1.05 : 1.03;
            std::snprintf(line, sizeof line, "ratio at %d: %.4f <= %.2f %s", n, ratio, limit, Verdict(ratio <= limit));
            verdicts.push_back(line);
        }
        if (n > 1) {
            std::snprintf(line, sizeof line, "CPU per meter at %d: %.4f %% <= 0.05 %% %s", n, cpuPerMeter,
                          Verdict(cpuPerMeter <= 0.05));
            verdicts.push_back(line);
        }
        if (n == 512) {
            std::snprintf(line, sizeof line, "peak memory at 512: %.1f MiB <= 128 MiB %s", f.maxRssMiB,
                          Verdict(f.maxRssMiB <= 128));
            verdicts.push_back(line);
        }
    }
    if (returnCase) honest = RunReturnCase(verdicts) && honest;
    getloadavg(load, 3);
    std::printf("load average after: %.2f %.2f %.2f\n", load[0], load[1], load[2]);
    for (const auto& v : verdicts) std::printf("%s\n", v.c_str());
    std::printf("no false result, every flash checked by meter-sim: %s\n", Verdict(honest));
    return honest ? 0 : 1;
}
