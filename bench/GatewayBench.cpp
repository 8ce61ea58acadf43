// The fleet updater behind one shared link: meter-sim's --gateway (a
// bandwidth each way, a drop-tail buffer) and --rtt, many meters behind it,
// paced per group as the tool does by default, and the same without pacing
// (--no-pacing) where the comparison is the target. Floor: the larger of
// every write's bytes (headers included) over the bandwidth and one meter's
// stop-and-wait time. Targets:
//   - behind a full link: wall <= 1.05 x floor, frames sent again < 2 %,
//     no meter failed;
//   - a link that is not full, and loopback: wall with pacing <= 1.01 x
//     without.
//
//   gateway-bench [full] [not-full] [loopback] [unpaced]   (default: the first three)
//
// "unpaced" adds each full row without pacing, for comparison. Both programs
// run as their own processes. Binds 127.0.7.2 and the addresses after it on
// the protocol's ports: needs root. Real time: minutes per row.
#include <stdlib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "protocol/Constants.h"
#include "protocol/Frames.h"
#include "tests/support/Addresses.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/TempDir.h"

namespace {

using testsupport::ChildProcess;
using Clock = ChildProcess::Clock;
using namespace std::chrono_literals;
using nlohmann::json;

constexpr char kFirstAddress[] = "127.0.7.2";
constexpr double kWriteOnLink = protocol::WriteRequest::kSize + 28;  // IPv4 and UDP headers

struct Row {
    int meters;
    int kbps;  // 0: no gateway (loopback)
    int bufferBytes;
    int rttMs;
};

struct Figures {
    bool ran = false;
    double wallS = 0;
    int updated = 0;
    double sentAgainShare = 0;
    long long dropped = 0;
    std::string limit = "-";
};

// The image's blocks that are written: the blank ones are skipped.
int BlocksWritten() {
    std::ifstream in(LOADER_IMAGE_BIN_PATH, std::ios::binary);
    std::vector<uint8_t> image((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    int blocks = 0;
    for (size_t a = protocol::kApplicationStart; a + protocol::kBlockSize <= image.size(); a += protocol::kBlockSize)
        blocks += !protocol::IsBlank(protocol::Bytes(image.data() + a, protocol::kBlockSize));
    return blocks;
}

double Floor(const Row& r) {
    const int blocks = BlocksWritten();
    const double serial = r.kbps > 0 ? kWriteOnLink * 8 / (r.kbps * 1000.0) : 0;
    const double alone =
        blocks * std::max(std::chrono::duration<double>(protocol::kWriteWait).count(), r.rttMs / 1000.0 + serial);
    return std::max(r.meters * blocks * serial, alone);
}

void ReadReport(const json& report, Figures& f) {
    long long writes = 0, again = 0;
    for (const auto& m : report["meters"]) f.updated += m["result"] == "updated";
    for (const auto& g : report["groups"]) {
        writes += g["bytes_sent"].get<long long>() / static_cast<long long>(protocol::WriteRequest::kSize);
        again += g["frames_sent_again"].get<long long>();
        if (g["limit"]["lowest"].is_number())
            f.limit = std::to_string(g["limit"]["lowest"].get<int>()) + ".." +
                      std::to_string(g["limit"]["highest"].get<int>());
    }
    f.sentAgainShare = writes > 0 ? static_cast<double>(again) / static_cast<double>(writes - again) : 0;
}

Figures Run(const Row& r, bool paced) {
    Figures f;
    const testsupport::TempDir dir;
    const std::string report = dir.File("report.json");
    std::vector<std::string> simArgs{
        METER_SIM_PATH, "--address",           kFirstAddress, "--meters", std::to_string(r.meters),
        "--image",      LOADER_IMAGE_BIN_PATH, "--log",       "/dev/null"};
    if (r.kbps > 0)
        simArgs.insert(simArgs.end(), {"--gateway", std::to_string(r.kbps) + ":" + std::to_string(r.bufferBytes)});
    if (r.rttMs > 0) simArgs.insert(simArgs.end(), {"--rtt", std::to_string(r.rttMs)});
    ChildProcess sim(simArgs, ChildProcess::Stderr::Discard);
    if (!sim.ReadLine(Clock::now() + 60s)) return f;
    std::vector<std::string> args{CLI_PATH, "update", "--report", report, "--jobs", std::to_string(r.meters)};
    if (!paced) args.push_back("--no-pacing");
    for (const auto& a : testsupport::ConsecutiveAddresses(kFirstAddress, r.meters)) args.push_back(a);
    setenv("LOADER_PASSWORD", "1234", 1);
    const auto t0 = Clock::now();
    ChildProcess cli(args, ChildProcess::Stderr::Discard);
    const auto status = cli.Wait(Clock::now() + 1800s);
    f.wallS = std::chrono::duration<double>(Clock::now() - t0).count();
    sim.Signal(SIGINT);
    const auto simStatus = sim.Wait(Clock::now() + 60s);
    for (auto it = sim.OutLines().rbegin(); it != sim.OutLines().rend(); ++it)
        if (it->find("\"summary\"") != std::string::npos) {
            const json s = json::parse(*it, nullptr, false);
            if (s.contains("gateway")) f.dropped = s["gateway"]["down"]["dropped"].get<long long>();
            break;
        }
    std::ifstream in(report);
    const json j = json::parse(in, nullptr, false);
    f.ran = status.has_value() && simStatus.has_value() && j.is_object();
    if (f.ran) ReadReport(j, f);
    return f;
}

const char* Verdict(bool met) { return met ? "met" : "MISSED"; }

void Print(const Row& r, const char* pacing, const Figures& f, double floor) {
    std::printf("%7d %6d %7d %5d %-8s %9.1f %8.1f %7.3f %8.2f %8lld %9s %8d\n", r.meters, r.kbps, r.bufferBytes,
                r.rttMs, pacing, f.wallS, floor, floor > 0 ? f.wallS / floor : 0.0, 100 * f.sentAgainShare, f.dropped,
                f.limit.c_str(), r.meters - f.updated);
    std::fflush(stdout);
}

// A full link: against the floor.
void FullRows(bool unpaced, std::vector<std::string>& verdicts) {
    for (const Row& r : {Row{120, 1000, 32000, 200}, Row{200, 2000, 16000, 200}}) {
        const double floor = Floor(r);
        const Figures f = Run(r, true);
        Print(r, "on", f, floor);
        if (unpaced) Print(r, "off", Run(r, false), floor);
        // What no pacing can shorten: one meter's stages besides its writes
        // (the request, the bootloader's start, the erase, the reset and the
        // watch for its return), as one meter alone on the same link shows.
        const Row one{1, r.kbps, r.bufferBytes, r.rttMs};
        const Figures alone = Run(one, true);
        const double stages = alone.wallS - Floor(one);
        std::printf(
            "  one meter alone: %.1f s, of which %.1f s besides its writes; %d meters: wall/(floor + that) %.3f\n",
            alone.wallS, stages, r.meters, f.wallS / (floor + stages));
        char line[200];
        std::snprintf(line, sizeof line,
                      "%d meters %d kbit/s: wall/floor %.3f <= 1.05 %s, sent again %.2f %% < 2 %% %s, "
                      "failed %d %s",
                      r.meters, r.kbps, f.wallS / floor, Verdict(f.ran && f.wallS <= 1.05 * floor),
                      100 * f.sentAgainShare, Verdict(f.sentAgainShare < 0.02), r.meters - f.updated,
                      Verdict(f.ran && f.updated == r.meters));
        verdicts.push_back(line);
    }
}

// A link that is not full, or none: pacing on against off.
void ComparedRow(const Row& r, std::vector<std::string>& verdicts) {
    const double floor = Floor(r);
    const Figures on = Run(r, true), off = Run(r, false);
    Print(r, "on", on, floor);
    Print(r, "off", off, floor);
    const double ratio = off.wallS > 0 ? on.wallS / off.wallS : 0;
    char line[200];
    std::snprintf(line, sizeof line, "%d meters %s: on/off %.4f <= 1.01 %s, failed %d %s", r.meters,
                  r.kbps > 0 ? "behind a link not full" : "on loopback", ratio, Verdict(ratio <= 1.01),
                  r.meters - on.updated, Verdict(on.ran && on.updated == r.meters));
    verdicts.push_back(line);
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> asked(argv + 1, argv + argc);
    const auto wants = [&](const char* what) {
        return std::find(asked.begin(), asked.end(), what) != asked.end() ||
               (asked.empty() || (asked.size() == 1 && asked[0] == "unpaced"));
    };
    double load[3] = {};
    getloadavg(load, 3);
    std::printf("fleet update of the compiled-in image behind one shared link (meter-sim --gateway), %d blocks\n",
                BlocksWritten());
    std::printf("load average before: %.2f %.2f %.2f\n", load[0], load[1], load[2]);
    std::printf("%7s %6s %7s %5s %-8s %9s %8s %7s %8s %8s %9s %8s\n", "meters", "kbit/s", "buffer", "rtt", "pacing",
                "wall s", "floor s", "ratio", "again %", "dropped", "limit", "failed");
    std::vector<std::string> verdicts;
    const bool unpaced = std::find(asked.begin(), asked.end(), "unpaced") != asked.end();
    if (wants("full")) FullRows(unpaced, verdicts);
    if (wants("not-full")) ComparedRow({20, 1000, 32000, 200}, verdicts);
    if (wants("loopback")) ComparedRow({256, 0, 0, 0}, verdicts);
    getloadavg(load, 3);
    std::printf("load average after: %.2f %.2f %.2f\n", load[0], load[1], load[2]);
    for (const auto& v : verdicts) std::printf("%s\n", v.c_str());
    return 0;
}
