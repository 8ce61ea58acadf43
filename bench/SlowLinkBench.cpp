// Updates behind slow links, through the fleet updater against meter-sim,
// both as their own processes:
//  - one meter per round trip (LAN, then 300 ms to 2.5 s, +-20 % jitter, no
//    loss), side by side in one run: each update's time against the floor a
//    stop-and-wait protocol allows, the LAN update's time plus one round trip
//    per written block; target <= 1.10;
//  - 256 meters behind 700 ms at once against one such meter alone (no
//    jitter, so that the figure is the tool's and not the slowest of 256
//    draws); target <= 1.05;
//  - with LOADER_CLI_BASELINE=PATH, the LAN update by that build and by this
//    one, alternately, to show that the LAN time did not move.
// Every verdict is checked against the meter's flash: a false success is
// counted and fails the run.
//
//   slow-link-bench [FLEET] [RTT_MS...]   (default: 256 300 700 1500 2500)
//
// Binds 127.0.10.2 and the addresses after it on port 502: needs root.
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "tests/support/Addresses.h"
#include "bench/BenchFigures.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/TempDir.h"

#ifndef METER_SIM_PATH
#error "METER_SIM_PATH must name the meter-sim executable"
#endif
#ifndef CLI_PATH
#error "CLI_PATH must name the ethernet-loader-cli executable"
#endif

namespace {

using testsupport::ChildProcess;
using Clock = ChildProcess::Clock;
using namespace std::chrono_literals;
using nlohmann::json;

constexpr char kFirstAddress[] = "127.0.10.2";
constexpr uint32_t kImageSize = 0x80000, kAppStart = 0x08000, kBlock = 1024;
// Enough blocks that the few exchanges besides the writes (boot-mode
// request, identity, erase) weigh little against the floor.
constexpr int kBlocks = 96;
constexpr double kFleetRtt = 700;

struct MeterRun {
    std::string result;
    double seconds = 0;
    int retries = 0;
    bool flashMatches = false;
};

struct Run {
    bool ran = false;
    double wallS = 0;
    std::vector<MeterRun> meters;  // in the order asked
    int falseSuccesses = 0;
};

std::vector<uint8_t> Firmware() {
    std::vector<uint8_t> img(kImageSize, 0xFF);
    for (uint32_t a = kAppStart; a < kAppStart + kBlocks * kBlock; ++a)
        img[a] = static_cast<uint8_t>(a * 29 + (a >> 10));
    return img;
}

// One meter-sim with a meter per entry of `rtts` (round trip, jitter), all
// updated by one run of `cli`.
Run Update(const std::string& cli, const std::string& image, const std::vector<std::pair<int, int>>& rtts) {
    Run run;
    const testsupport::TempDir dir;
    const std::string report = dir.File("report.json");
    const int meters = static_cast<int>(rtts.size());
    const auto addresses = testsupport::ConsecutiveAddresses(kFirstAddress, meters);
    std::vector<std::string> sim{METER_SIM_PATH, "--address", kFirstAddress, "--meters", std::to_string(meters),
                                 "--image",      image,       "--log",       "/dev/null"};
    for (int k = 1; k <= meters; ++k) {
        const auto [rtt, jitter] = rtts[static_cast<size_t>(k - 1)];
        if (rtt > 0 || jitter > 0)
            sim.insert(sim.end(),
                       {"--meter", std::to_string(k), "--rtt", std::to_string(rtt) + ":" + std::to_string(jitter)});
    }
    ChildProcess simulator(sim, ChildProcess::Stderr::Discard);
    if (!simulator.ReadLine(Clock::now() + 60s)) {
        std::fprintf(stderr, "slow-link-bench: meter-sim did not start\n");
        return run;
    }
    std::vector<std::string> args{cli,        "update", "--image", image,
                                  "--report", report,   "--jobs",  std::to_string(meters)};
    args.insert(args.end(), addresses.begin(), addresses.end());
    ::setenv("LOADER_PASSWORD", "1234", 1);
    const auto t0 = Clock::now();
    ChildProcess tool(args, ChildProcess::Stderr::Discard);
    const auto status = tool.Wait(Clock::now() + 1800s);
    run.wallS = std::chrono::duration<double>(Clock::now() - t0).count();
    simulator.Signal(SIGTERM);
    simulator.Wait(Clock::now() + 60s);
    std::map<std::string, bool> matches;
    for (const auto& line : simulator.OutLines())
        if (line.rfind("{\"summary\"", 0) == 0) {
            const json summary = json::parse(line, nullptr, false);
            for (const auto& m : summary["summary"]) matches[m["meter"].get<std::string>()] = m["flash"] == "match";
        }
    std::ifstream in(report);
    const json r = json::parse(in, nullptr, false);
    if (!status || r.is_discarded() || matches.size() != addresses.size()) {
        std::fprintf(stderr, "slow-link-bench: %s (tool status %d, %zu of %zu meters in the summary)\n",
                     !status            ? "the tool did not finish"
                     : r.is_discarded() ? "no report"
                                        : "no summary",
                     status.value_or(-1), matches.size(), addresses.size());
        return run;
    }
    std::map<std::string, MeterRun> byAddress;
    for (const auto& m : r["meters"]) {
        const std::string address = m["address"];
        MeterRun& mr = byAddress[address];
        mr.result = m["result"];
        mr.seconds = m["duration_s"].get<double>();
        mr.retries = m.value("retries", 0);
        mr.flashMatches = matches[address];
        run.falseSuccesses += mr.result == "updated" && !mr.flashMatches;
    }
    for (const auto& a : addresses) run.meters.push_back(byAddress[a]);
    run.ran = byAddress.size() == addresses.size();
    return run;
}

const char* Verdict(bool met) { return met ? "met" : "MISSED"; }

// What the whole bench comes to: the false successes, whether every run
// finished, and the verdict on each target.
struct Tally {
    int falseSuccesses = 0;
    bool ok = true;
    std::vector<std::string> verdicts;

    void Add(const Run& r) {
        ok = ok && r.ran;
        falseSuccesses += r.ran ? r.falseSuccesses : 0;
    }
    void Record(const char* format, auto... values) {
        char line[200];
        std::snprintf(line, sizeof line, format, values...);
        verdicts.push_back(line);
    }
};

// The LAN update by the baseline build and by this one, alternately.
void CompareWithBaseline(const char* baseline, const std::string& image, Tally& tally) {
    std::vector<double> before, after;
    for (int i = 0; i < 3; ++i)
        for (auto [cli, into] : {std::pair{std::string(baseline), &before}, std::pair{std::string(CLI_PATH), &after}}) {
            const Run r = Update(cli, image, {{0, 0}});
            tally.Add(r);
            if (r.ran) into->push_back(r.meters[0].seconds);
        }
    if (!before.empty() && !after.empty()) {
        std::printf("LAN update, %d blocks, median of %zu: baseline %.3f s, this build %.3f s, ratio %.4f\n", kBlocks,
                    after.size(), bench::Median(before), bench::Median(after),
                    bench::Median(after) / bench::Median(before));
    }
}

// One meter per round trip, side by side, each against its floor.
void RoundTripRows(const std::vector<int>& rtts, const std::string& image, Tally& tally) {
    std::vector<std::pair<int, int>> rows{{0, 0}};
    for (int rtt : rtts) rows.push_back({rtt, rtt / 5});
    const Run rowRun = Update(CLI_PATH, image, rows);
    tally.Add(rowRun);
    std::printf("\n%d written blocks, one meter per round trip, side by side (wall %.1f s)\n", kBlocks, rowRun.wallS);
    std::printf("%-16s %-20s %9s %9s %8s %8s %6s\n", "round trip", "result", "time s", "floor s", "ratio", "retries",
                "flash");
    if (!rowRun.ran) return;
    const double lan = rowRun.meters[0].seconds;
    for (size_t i = 0; i < rows.size(); ++i) {
        const MeterRun& m = rowRun.meters[i];
        const double floor = lan + kBlocks * rows[i].first / 1000.0;
        const double ratio = m.seconds / floor;
        char name[32];
        std::snprintf(name, sizeof name, i ? "%d +-%d ms" : "LAN", rows[i].first, rows[i].second);
        std::printf("%-16s %-20s %9.2f %9.2f %8.4f %8d %6s\n", name, m.result.c_str(), m.seconds, floor, ratio,
                    m.retries, m.flashMatches ? "match" : "differs");
        if (i)
            tally.Record("%s: updated and <= 1.10 x floor: %s", name, Verdict(m.result == "updated" && ratio <= 1.10));
    }
}

// A fleet behind one slow link against one such meter alone.
void FleetRows(int fleet, const std::string& image, Tally& tally) {
    const Run one = Update(CLI_PATH, image, {{static_cast<int>(kFleetRtt), 0}});
    const Run many =
        Update(CLI_PATH, image,
               std::vector<std::pair<int, int>>(static_cast<size_t>(fleet), {static_cast<int>(kFleetRtt), 0}));
    tally.Add(one);
    tally.Add(many);
    std::printf("\nbehind %.0f ms, no jitter\n%8s %9s %12s %12s %9s %7s  %s\n", kFleetRtt, "meters", "wall s",
                "slowest s", "ratio", "updated", "false", "results");
    for (const Run* r : {&one, &many}) {
        if (!r->ran) continue;
        double slowest = 0;
        int updated = 0;
        std::map<std::string, int> results;
        for (const auto& m : r->meters) {
            slowest = std::max(slowest, m.seconds);
            updated += m.result == "updated";
            ++results[m.result];
        }
        std::string resultText;
        for (const auto& [result, count] : results) resultText += " " + result + ":" + std::to_string(count);
        const double ratio = one.ran && one.wallS > 0 ? r->wallS / one.wallS : 0.0;
        std::printf("%8zu %9.2f %12.2f %12.4f %9d %7d %s\n", r->meters.size(), r->wallS, slowest, ratio, updated,
                    r->falseSuccesses, resultText.c_str());
    }
    if (one.ran && many.ran) {
        const double ratio = many.wallS / one.wallS;
        const bool all = std::all_of(many.meters.begin(), many.meters.end(),
                                     [](const MeterRun& m) { return m.result == "updated"; });
        tally.Record("%d meters behind %.0f ms: all updated and <= 1.05 x one: %.4f %s", fleet, kFleetRtt, ratio,
                     Verdict(all && ratio <= 1.05));
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (::geteuid() != 0) {
        std::printf("slow-link-bench skipped: meters on port 502 need root\n");
        return 0;
    }
    const int fleet = argc > 1 ? std::max(1, std::atoi(argv[1])) : 256;
    std::vector<int> rtts;
    for (int i = 2; i < argc; ++i) rtts.push_back(std::max(1, std::atoi(argv[i])));
    if (rtts.empty()) rtts = {300, 700, 1500, 2500};

    const testsupport::TempDir dir;
    const std::string image = dir.File("firmware.bin");
    const std::vector<uint8_t> firmware = Firmware();
    std::ofstream(image, std::ios::binary)
        .write(reinterpret_cast<const char*>(firmware.data()), static_cast<std::streamsize>(firmware.size()));
    Tally tally;
    if (const char* baseline = std::getenv("LOADER_CLI_BASELINE")) CompareWithBaseline(baseline, image, tally);
    RoundTripRows(rtts, image, tally);
    std::fflush(stdout);
    FleetRows(fleet, image, tally);
    for (const auto& v : tally.verdicts) std::printf("%s\n", v.c_str());
    std::printf("false successes: %d (must be 0)%s\n", tally.falseSuccesses,
                tally.ok ? "" : "; some run did not finish");
    return tally.falseSuccesses == 0 && tally.ok ? 0 : 1;
}
