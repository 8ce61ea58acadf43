// Bad networks, many seeds: whole updates against the simulated meter on
// loopback, each cell run by both front ends' ways of driving the engine:
//  - engine: the engine and the plain pacer in this process, against an
//    in-process meter already in its bootloader, cells side by side;
//  - cli: the ethernet-loader-cli binary updating every cell's meters at
//    once, boot-mode request included, against one meter-sim process that
//    serves them on consecutive addresses from 127.0.9.2 on (port 502:
//    needs root; skipped otherwise).
// The window drives the same engine with the plain pacer on a thread of its
// own, so these two cover it. The rows behind a slow link (round trips of
// 300 ms to 2.5 s) take minutes, but side by side with the others. Per cell and path it prints runs, correct
// successes, honest failures (of them, runs ended as ambiguous answers),
// false successes (success shown while the meter's flash differs; must be
// 0), retries, stale answers and the mean time of a run.
//
//   fault-matrix-bench [SEEDS] [engine|cli|both] [FILTER]
//     SEEDS per cell (default 3); both paths by default; only the cells
//     whose name contains FILTER. LOADER_CLI=PATH: the cli path runs that
//     ethernet-loader-cli instead, to compare another build.
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/Addresses.h"
#include "tests/support/ChildProcess.h"
#include "protocol/Constants.h"
#include "image/ImageFormats.h"
#include "update/PlainPacer.h"
#include "net/SocketLink.h"
#include "tests/support/TempDir.h"
#include "update/UpdateEngine.h"
#include "sim/Meter.h"

#ifndef METER_SIM_PATH
#error "METER_SIM_PATH must name the meter-sim executable"
#endif
#ifndef CLI_PATH
#error "CLI_PATH must name the ethernet-loader-cli executable"
#endif

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

struct Cell {
    std::string name;
    std::vector<std::string> rules;
    double lossIn = 0, lossOut = 0;
    int rttMs = 0, jitterMs = 0;  // a slow link in front of the meter
};

struct Tally {
    std::atomic<int> runs{0}, correct{0}, honest{0}, ambiguous{0}, falseSuccess{0}, retries{0}, stale{0};
    std::atomic<long long> ms{0};
    void Add(bool updated, bool ambiguousAnswers, bool matches, int r, int s, long long t) {
        ++runs;
        ambiguous += ambiguousAnswers;
        retries += r;
        stale += s;
        ms += t;
        if (updated)
            ++(matches ? correct : falseSuccess);
        else
            ++honest;
    }
};

// 48 blocks of firmware: a few seconds a clean run.
std::vector<uint8_t> Firmware() {
    std::vector<uint8_t> img(image::kImageSize, 0xFF);
    const uint32_t end = protocol::kApplicationStart + 48 * protocol::kBlockSize;
    for (uint32_t a = protocol::kApplicationStart; a < end; ++a) img[a] = static_cast<uint8_t>(a * 13 + (a >> 10));
    return img;
}

uint64_t Seed(int s) { return 1000 + static_cast<uint64_t>(s) * 7919; }

// Meters in one simulator and one run of the fleet updater: as many as it
// updates at once without being told.
constexpr int kCliBatch = 256;

void RunEngine(const Cell& cell, uint64_t seed, const std::vector<uint8_t>& firmware, Tally& t) {
    sim::MeterOptions o;
    o.address = "127.0.0.1";
    o.modbusPort = 0;
    o.bootPort = 0;
    o.bootloaderFromStart = true;
    o.seed = seed;
    o.faults.lossInPercent = cell.lossIn;
    o.faults.lossOutPercent = cell.lossOut;
    o.faults.rttMs = cell.rttMs;
    o.faults.rttJitterMs = cell.jitterMs;
    for (const auto& text : cell.rules) o.faults.rules.push_back(*sim::ParseFaultRule(text, nullptr));
    sim::Meter meter(o);

    net::SocketLink udpLink(net::Transport::Udp, meter.BootPort());
    net::SocketLink tcpLink(net::Transport::Tcp, 0);  // unused: the meter starts in its bootloader
    update::CancelToken cancel;
    update::PlainPacer pacer(cancel);
    update::DelayInterval delay;
    update::UpdateListener quiet;
    update::UpdateEngine engine(pacer, tcpLink, udpLink, image::ImageView(firmware.data(), image::kImageSize), delay,
                                quiet);
    const auto t0 = Clock::now();
    const update::UpdateResult r = engine.RunProcedure("127.0.0.1", true);
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0).count();
    const bool matches = meter.FlashMatches(firmware.data());
    if (r.outcome == update::Outcome::Updated && !matches)
        std::fprintf(stderr,
                     "fault-matrix-bench: FALSE success, engine path, %s, seed %llu, flash differs at 0x%05lx\n",
                     cell.name.c_str(), static_cast<unsigned long long>(seed), meter.FirstMismatch(firmware.data()));
    // A run that did not update names its seed and how it ended, so that it can be run again alone.
    if (r.outcome != update::Outcome::Updated)
        std::fprintf(stderr,
                     "fault-matrix-bench: engine path, %s, seed %llu: outcome %d, cause %d, failed block 0x%05x, "
                     "erase attempts %d, %lld ms\n",
                     cell.name.c_str(), static_cast<unsigned long long>(seed), static_cast<int>(r.outcome),
                     static_cast<int>(r.cause), static_cast<unsigned>(r.failedBlock.value_or(0)), r.eraseAttempts,
                     static_cast<long long>(ms));
    t.Add(r.outcome == update::Outcome::Updated, r.outcome == update::Outcome::AmbiguousAnswers, matches, r.retries,
          r.staleAnswersDropped, ms);
}

// The meter-sim and ethernet-loader-cli command lines of one cli run: meter
// k (from 1) is cell (k - 1) / seeds with seed (k - 1) % seeds.
struct CliRun {
    std::vector<std::string> sim, cli;
    std::map<std::string, int> meterOf;  // address -> k
};

CliRun CommandLines(const std::vector<Cell>& cells, int seeds, const std::string& image, const std::string& report) {
    const int meters = static_cast<int>(cells.size()) * seeds;
    const std::vector<std::string> addresses = testsupport::ConsecutiveAddresses("127.0.9.2", meters);
    CliRun run;
    run.sim = {METER_SIM_PATH, "--address", addresses.front(), "--meters", std::to_string(meters),
               "--image",      image,       "--log",           "/dev/null"};
    const char* other = std::getenv("LOADER_CLI");
    run.cli = {other ? other : CLI_PATH, "update", "--image", image, "--report", report};
    for (int k = 1; k <= meters; ++k) {
        const Cell& c = cells[static_cast<size_t>((k - 1) / seeds)];
        run.sim.insert(run.sim.end(), {"--meter", std::to_string(k), "--seed", std::to_string(Seed((k - 1) % seeds)),
                                       "--loss-in", std::to_string(c.lossIn), "--loss-out", std::to_string(c.lossOut),
                                       "--rtt", std::to_string(c.rttMs) + ":" + std::to_string(c.jitterMs)});
        for (const auto& rule : c.rules) run.sim.insert(run.sim.end(), {"--fault", rule});
        const std::string& address = addresses[static_cast<size_t>(k - 1)];
        run.meterOf[address] = k;
        run.cli.push_back(address);
    }
    return run;
}

// Asked to end, the simulator prints per meter whether its flash is the image.
std::map<std::string, bool> FlashMatches(testsupport::ChildProcess& simulator) {
    simulator.Signal(SIGTERM);
    std::map<std::string, bool> matches;
    while (auto line = simulator.ReadLine(Clock::now() + 20s)) {
        if (line->rfind("{\"summary\"", 0) != 0) continue;
        const nlohmann::json summary = nlohmann::json::parse(*line);
        for (const auto& m : summary["summary"]) matches[m["meter"].get<std::string>()] = m["flash"] == "match";
        break;
    }
    return matches;
}

// Every cell and seed as one meter of one meter-sim process, all updated by
// one ethernet-loader-cli run (at most kCliBatch meters). False when the run could
// not be made.
bool RunCli(const std::vector<Cell>& cells, int seeds, const std::vector<uint8_t>& firmware, Tally* tallies) {
    const testsupport::TempDir dir;
    const std::string image = dir.File("firmware.bin"), report = dir.File("report.json");
    std::ofstream(image, std::ios::binary)
        .write(reinterpret_cast<const char*>(firmware.data()), static_cast<std::streamsize>(firmware.size()));

    const int meters = static_cast<int>(cells.size()) * seeds;
    if (meters > kCliBatch) {
        std::fprintf(stderr, "fault-matrix-bench: at most %d meters at once for the cli path\n", kCliBatch);
        return false;
    }
    const CliRun run = CommandLines(cells, seeds, image, report);
    testsupport::ChildProcess simulator(run.sim, testsupport::ChildProcess::Stderr::Discard);
    if (!simulator.ReadLine(Clock::now() + 20s)) {
        std::fprintf(stderr, "fault-matrix-bench: meter-sim did not start\n");
        return false;
    }
    ::setenv("LOADER_PASSWORD", "1234", 1);
    {
        testsupport::ChildProcess tool(run.cli, testsupport::ChildProcess::Stderr::Discard);
        if (!tool.Wait(Clock::now() + 900s)) {
            std::fprintf(stderr, "fault-matrix-bench: ethernet-loader-cli did not finish\n");
            return false;
        }
    }
    std::map<std::string, bool> matches = FlashMatches(simulator);
    std::ifstream in(report);
    const nlohmann::json r = nlohmann::json::parse(in, nullptr, false);
    if (r.is_discarded() || matches.size() != static_cast<size_t>(meters)) {
        std::fprintf(stderr, "fault-matrix-bench: %s\n",
                     r.is_discarded() ? "no report from ethernet-loader-cli" : "no summary from meter-sim");
        return false;
    }
    for (const auto& m : r["meters"]) {
        const std::string address = m["address"];
        const int k = run.meterOf.at(address);
        const long long ms = std::llround(m["duration_s"].get<double>() * 1000);
        if (m["result"] == "updated" && !matches[address])
            std::fprintf(stderr, "fault-matrix-bench: FALSE success, cli path, %s, seed %llu, meter %s\n",
                         cells[static_cast<size_t>((k - 1) / seeds)].name.c_str(),
                         static_cast<unsigned long long>(Seed((k - 1) % seeds)), address.c_str());
        tallies[static_cast<size_t>((k - 1) / seeds)].Add(m["result"] == "updated", m["result"] == "ambiguous-answers",
                                                          matches[address], m["retries"].get<int>(),
                                                          m["stale_answers_dropped"].get<int>(), ms);
    }
    return true;
}

int Print(const char* path, const std::vector<Cell>& cells, const std::vector<Tally>& tallies) {
    std::printf("\n%s path\n%-46s %5s %8s %7s %6s %6s %8s %6s %7s\n", path, "cell (48 blocks, seeded)", "runs",
                "correct", "honest", "ambig", "FALSE", "retries", "stale", "mean s");
    int falseTotal = 0;
    for (size_t c = 0; c < cells.size(); ++c) {
        const Tally& t = tallies[c];
        falseTotal += t.falseSuccess;
        std::printf("%-46s %5d %8d %7d %6d %6d %8d %6d %7.2f\n", cells[c].name.c_str(), t.runs.load(), t.correct.load(),
                    t.honest.load(), t.ambiguous.load(), t.falseSuccess.load(), t.retries.load(), t.stale.load(),
                    t.runs ? static_cast<double>(t.ms) / 1000.0 / t.runs : 0.0);
    }
    return falseTotal;
}

// The cells, each a kind of bad network.
std::vector<Cell> Cells() {
    std::vector<Cell> cells = {
        {"clean", {}},
        {"writes late 70 ms", {"delay:70@cmd=W"}},
        {"writes late 200 ms", {"delay:200@cmd=W"}},
        {"writes late 600 ms, every 3rd", {"delay:600@cmd=W,every=3"}},
        {"late 70 ms + loss in 3 %", {"delay:70@cmd=W"}, 3, 0},
        {"every 25th answer twice + loss in 3 %", {"duplicate@every=25"}, 3, 0},
        {"every answer twice", {"duplicate"}},
        {"erase answered after 3 s", {"delay:3000@cmd=E"}},
        {"loss in 3 %", {}, 3, 0},
        {"loss out 3 %", {}, 0, 3},
        {"loss both 10 %", {}, 10, 10},
        {"loss both 30 %", {}, 30, 30},
        {"late 200 ms + loss both 10 %", {"delay:200@cmd=W"}, 10, 10},
        {"echo 10 ms + loss in 3 %", {"duplicate:10"}, 3, 0},
        {"echo 60 ms + loss in 3 %", {"duplicate:60"}, 3, 0},
        {"echo 120 ms + loss in 3 %", {"duplicate:120"}, 3, 0},
        {"echo 400 ms + loss in 3 %", {"duplicate:400"}, 3, 0},
        {"echo 1000 ms + loss in 3 %", {"duplicate:1000"}, 3, 0},
        {"late 80 ms, echo 40 ms later + loss in 3 %", {"delay:80", "duplicate:40"}, 3, 0},
        {"late 200 ms, echo 250 ms later + loss in 3 %", {"delay:200", "duplicate:250"}, 3, 0},
        {"write answers echoed 60 ms + loss in 3 %", {"duplicate:60@cmd=W"}, 3, 0},
        {"echo 60 ms + loss both 3 %", {"duplicate:60"}, 3, 3},
    };
    // Cellular, VPN and satellite round trips. All cells run at once, so
    // the slowest of these (about 52 round trips) sets the run's length.
    for (int rtt : {300, 700, 1500, 2500})
        cells.push_back({"rtt " + std::to_string(rtt) + " ms +-20 % + loss both 1 %", {}, 1, 1, rtt, rtt / 5});
    return cells;
}

// The engine path: every cell and seed side by side in this process.
int EnginePath(const std::vector<Cell>& cells, int seeds, const std::vector<uint8_t>& firmware) {
    std::vector<Tally> tallies(cells.size());
    std::vector<std::thread> threads;
    for (size_t c = 0; c < cells.size(); ++c)
        for (int s = 0; s < seeds; ++s)
            threads.emplace_back([&, c, s] { RunEngine(cells[c], Seed(s), firmware, tallies[c]); });
    for (auto& t : threads) t.join();
    return Print("engine", cells, tallies);
}

// The cli path: batches of whole cells, as many meters as one simulator serves.
int CliPath(const std::vector<Cell>& cells, int seeds, const std::vector<uint8_t>& firmware) {
    std::vector<Tally> tallies(cells.size());
    if (::geteuid() != 0) {
        std::printf("\ncli path skipped: meters on port 502 need root\n");
        return 0;
    }
    bool ran = true;
    const size_t perBatch = static_cast<size_t>(std::max(1, kCliBatch / seeds));
    for (size_t first = 0; ran && first < cells.size(); first += perBatch) {
        const std::vector<Cell> batch(cells.begin() + static_cast<long>(first),
                                      cells.begin() + static_cast<long>(std::min(cells.size(), first + perBatch)));
        ran = RunCli(batch, seeds, firmware, tallies.data() + first);
    }
    if (ran) return Print("cli", cells, tallies);
    std::printf("\ncli path: FAILED to run\n");
    return 1;
}

}  // namespace

int main(int argc, char** argv) {
    const int seeds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 3;
    const std::string only = argc > 2 && std::string(argv[2]) != "both" ? argv[2] : "";
    std::vector<Cell> cells = Cells();
    // Only the cells whose name holds the filter.
    if (argc > 3) std::erase_if(cells, [&](const Cell& c) { return c.name.find(argv[3]) == std::string::npos; });
    const std::vector<uint8_t> firmware = Firmware();
    int falseTotal = 0;
    if (only.empty() || only == "engine") falseTotal += EnginePath(cells, seeds, firmware);
    if (only.empty() || only == "cli") falseTotal += CliPath(cells, seeds, firmware);
    std::printf("false successes in all: %d (must be 0)\n", falseTotal);
    return falseTotal == 0 ? 0 : 1;
}
