// Bad networks, many seeds: whole updates through the engine and the plain
// pacer against the simulated meter on loopback, cells run side by side.
// Per cell it prints runs, correct successes, honest failures and false
// successes (success shown while the meter's flash differs), which must be 0.
//
//   fault-matrix-bench [SEEDS]   (seeds per cell, default 3)
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "Constants.h"
#include "ImageFormats.h"
#include "PlainPacer.h"
#include "SocketLink.h"
#include "UpdateEngine.h"
#include "metersim/meter.h"

namespace {

struct Cell {
    std::string name;
    std::vector<std::string> rules;
    double lossIn = 0, lossOut = 0;
};

struct Tally {
    std::atomic<int> runs{0}, correct{0}, honest{0}, falseSuccess{0}, retries{0}, stale{0};
};

// 48 blocks of firmware: a few seconds a clean run.
std::vector<uint8_t> Firmware() {
    std::vector<uint8_t> img(image::kImageSize, 0xFF);
    const uint32_t end = protocol::kApplicationStart + 48 * protocol::kBlockSize;
    for (uint32_t a = protocol::kApplicationStart; a < end; ++a) img[a] = static_cast<uint8_t>(a * 13 + (a >> 10));
    return img;
}

void RunOne(const Cell& cell, uint64_t seed, const std::vector<uint8_t>& firmware, Tally& t) {
    metersim::MeterOptions o;
    o.address = "127.0.0.1";
    o.modbusPort = 0;
    o.bootPort = 0;
    o.bootloaderFromStart = true;
    o.seed = seed;
    o.faults.lossInPercent = cell.lossIn;
    o.faults.lossOutPercent = cell.lossOut;
    for (const auto& text : cell.rules) o.faults.rules.push_back(*metersim::ParseFaultRule(text, nullptr));
    metersim::Meter meter(o);

    net::SocketLink udpLink(net::Transport::Udp, meter.BootPort());
    net::SocketLink tcpLink(net::Transport::Tcp, 0);  // unused: the meter starts in its bootloader
    loader::CancelToken cancel;
    loader::PlainPacer pacer(cancel);
    loader::DelayInterval delay;
    loader::UpdateListener quiet;
    loader::UpdateEngine engine(pacer, tcpLink, udpLink, image::ImageView(firmware.data(), image::kImageSize), delay,
                                quiet);
    const loader::UpdateResult r = engine.RunProcedure("127.0.0.1", true);
    const bool matches = meter.FlashMatches(firmware.data());
    ++t.runs;
    t.retries += r.retries;
    t.stale += r.staleAnswersDropped;
    if (r.outcome == loader::Outcome::Updated)
        ++(matches ? t.correct : t.falseSuccess);
    else
        ++t.honest;
}

}  // namespace

int main(int argc, char** argv) {
    const int seeds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 3;
    const std::vector<Cell> cells = {
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
    };
    const std::vector<uint8_t> firmware = Firmware();
    std::vector<Tally> tallies(cells.size());
    std::vector<std::thread> threads;
    for (size_t c = 0; c < cells.size(); ++c)
        for (int s = 0; s < seeds; ++s)
            threads.emplace_back(
                [&, c, s] { RunOne(cells[c], 1000 + static_cast<uint64_t>(s) * 7919, firmware, tallies[c]); });
    for (auto& t : threads) t.join();

    std::printf("%-40s %5s %8s %8s %8s %8s %8s\n", "cell (48 blocks, seeded)", "runs", "correct", "honest", "FALSE",
                "retries", "stale");
    int falseTotal = 0;
    for (size_t c = 0; c < cells.size(); ++c) {
        const Tally& t = tallies[c];
        falseTotal += t.falseSuccess;
        std::printf("%-40s %5d %8d %8d %8d %8d %8d\n", cells[c].name.c_str(), t.runs.load(), t.correct.load(),
                    t.honest.load(), t.falseSuccess.load(), t.retries.load(), t.stale.load());
    }
    std::printf("false successes in all: %d (must be 0)\n", falseTotal);
    return falseTotal == 0 ? 0 : 1;
}
