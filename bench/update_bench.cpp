// A whole update of the compiled-in image against the simulated meter on
// loopback, timed against the waits the protocol itself prescribes: the
// tool should add next to nothing to them, and use next to no processor.
//
//   update-bench [RUNS]   (RUNS: updates, each against a fresh simulator, default 1)
//
// The simulator runs as its own process, so its processor time is not
// counted as the tool's. The tool is the real window with its real timers
// and sockets; message boxes are answered at once. The meter is already in
// its bootloader, so the update procedure itself (Button1Click) is timed.
// Besides the ratio it shows where time beyond the prescribed waits went:
// how late the waits ended, and the work done between them.
#include <QApplication>
#include <QTimer>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

#include "BenchFigures.h"
#include "Brand.h"
#include "ChildProcess.h"
#include "FlashImage.h"
#include "Form1.h"
#include "RecordingDialogs.h"
#include "Sockets.h"
#include "Updater.h"

#ifndef METER_SIM_PATH
#error "METER_SIM_PATH must name the meter-sim executable"
#endif
#ifndef LOADER_IMAGE_BIN_PATH
#error "LOADER_IMAGE_BIN_PATH must name the raw image the tool carries"
#endif

namespace {

using Clock = std::chrono::steady_clock;

using bench::CpuSeconds;
using bench::Median;

// The number after "key": in one line of the simulator's JSON; -1 when absent.
long JsonNumber(const std::string& line, const std::string& key) {
    const auto at = line.find("\"" + key + "\":");
    if (at == std::string::npos) return -1;
    return std::strtol(line.c_str() + at + key.size() + 3, nullptr, 10);
}

bool BlockIsBlank(image::ImageView img, uint32_t address) {
    return std::all_of(img.begin() + address, img.begin() + address + 1024, [](uint8_t b) { return b == 0xFF; });
}

// What the protocol waits for this image when every exchange succeeds at
// once: 500 ms before the first "VER?", 500 ms for its answer, 500 ms for the
// erase, 50 ms for each block that is written, 50 ms after "RESET", then the
// final 1000 ms TimerDelay wait.
int PrescribedMs(int writes, int verQueries, int erases, int retries) {
    return 500 + 500 * verQueries + 500 * erases + 50 * writes + 1000 * retries + 50 + 1000;
}

// The real window, noting for every wait how far past its interval the
// update code saw its timer stopped. Behaves exactly as TForm1 otherwise.
class TimedForm : public TForm1 {
public:
    using TForm1::TForm1;

    void SetTimerEnabled(loader::WaitTimer t, bool enabled) override {
        const bool starts = enabled && !TForm1::TimerEnabled(t);
        TForm1::SetTimerEnabled(t, enabled);
        if (starts) Started(t);
    }
    void SetTimerInterval(loader::WaitTimer t, uint32_t ms) override {
        const bool restarts = TForm1::TimerEnabled(t) && Of(t)->Interval() != ms;
        TForm1::SetTimerInterval(t, ms);
        if (restarts) Started(t);
    }
    bool TimerEnabled(loader::WaitTimer t) const override {
        const bool enabled = TForm1::TimerEnabled(t);
        Countdown& c = countdowns_[Index(t)];
        if (!enabled && c.running) {
            c.running = false;
            const double over =
                std::chrono::duration<double, std::milli>(Clock::now() - c.start).count() - Of(t)->Interval();
            overshootMs.push_back(over);
        }
        return enabled;
    }

    mutable std::vector<double> overshootMs;

private:
    struct Countdown {
        bool running = false;
        Clock::time_point start;
    };
    static int Index(loader::WaitTimer t) { return t == loader::WaitTimer::TimerIP ? 0 : 1; }
    TTimer* Of(loader::WaitTimer t) const { return t == loader::WaitTimer::TimerIP ? TimerIP : TimerDelay; }
    void Started(loader::WaitTimer t) { countdowns_[Index(t)] = {true, Clock::now()}; }

    mutable Countdown countdowns_[2];
};

struct Result {
    bool ok = false;
    double wallS = 0;
    double cpuS = 0;
    double mainThreadCpuS = 0;
    std::string perc1;
    std::string label1;
    std::string repeats;
    size_t messages = 0;
    std::vector<double> overshootMs;
    int simStatus = -1;
    long writes = -1, verQueries = -1, erases = -1, resets = -1, programFaults = -1;
};

Result RunOnce() {
    Result r;
    using testsupport::ChildProcess;
    using namespace std::chrono_literals;
    std::optional<ChildProcess> sim;
    std::optional<std::string> line;
    try {
        sim.emplace(std::vector<std::string>{METER_SIM_PATH, "--address", "127.0.0.1", "--bootloader",
                                             "--modbus-port", "0", "--boot-port", "0", "--image",
                                             LOADER_IMAGE_BIN_PATH, "--log", "/dev/null", "--exit-after-reset"},
                    ChildProcess::Stderr::Discard);
        line = sim->ReadLine(Clock::now() + 10s);
    } catch (const std::system_error&) {
        // Reported as any other start that gave no ports.
    }
    if (!line || JsonNumber(*line, "bootPort") <= 0) {
        std::fprintf(stderr, "update-bench: the simulator did not start (%s)\n", METER_SIM_PATH);
        if (sim) r.simStatus = sim->Terminate(Clock::now() + 5s).value_or(-1);
        return r;
    }
    const long bootPort = JsonNumber(*line, "bootPort");

    RecordingDialogs dialogs;
    TimedForm form(dialogs);
    form.UdpSocket1.SetRemotePort(std::to_string(bootPort));
    form.EditIPaddr->setText(QStringLiteral("127.0.0.1"));
    form.show();
    // From inside the event loop, as a click would run it.
    QTimer::singleShot(0, &form, [&] {
        const auto t0 = Clock::now();
        const double c0 = CpuSeconds();
        const double m0 = CpuSeconds(CLOCK_THREAD_CPUTIME_ID);
        form.Updater().Button1Click();
        r.cpuS = CpuSeconds() - c0;
        r.mainThreadCpuS = CpuSeconds(CLOCK_THREAD_CPUTIME_ID) - m0;
        r.wallS = std::chrono::duration<double>(Clock::now() - t0).count();
        QCoreApplication::quit();
    });
    qApp->exec();
    r.perc1 = form.Perc1->text().toStdString();
    r.label1 = form.Label1->text().toStdString();
    r.repeats = form.LabelRepeat->text().toStdString();
    r.messages = dialogs.boxes.size();
    r.overshootMs = form.overshootMs;

    // The simulator ends on its own after a "RESET" it handled; give a lost
    // one a few seconds, then stop it.
    std::string summary;
    while ((line = sim->ReadLine(Clock::now() + 5s))) summary = *line;
    const bool ended = summary.find("\"summary\"") != std::string::npos;
    r.simStatus = (ended ? sim->Wait(Clock::now() + 5s) : sim->Terminate(Clock::now() + 5s)).value_or(-1);
    r.writes = JsonNumber(summary, "writes");
    r.verQueries = JsonNumber(summary, "verQueries");
    r.erases = JsonNumber(summary, "erases");
    r.resets = JsonNumber(summary, "resets");
    r.programFaults = JsonNumber(summary, "programFaults");
    r.ok = r.perc1 == "Successfully updated." && r.simStatus == 0;
    return r;
}

}  // namespace

int main(int argc, char** argv) {
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    const bench::ScratchWorkDir work;
    const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 1;

    const image::ImageView img = image::EmbeddedImage();
    int firmwareBlocks = 0;
    for (uint32_t a = 0x08000; a < 0x80000; a += 1024) firmwareBlocks += BlockIsBlank(img, a) ? 0 : 1;
    const int nominalMs = PrescribedMs(firmwareBlocks, 1, 1, 0);

    SocketLibraryStartup();
    QApplication app(argc, argv);
    QCoreApplication::setApplicationName(QString::fromLatin1(brand::kApplicationName));

    bool allOk = true;
    std::vector<double> ratios;
    std::vector<double> cpuShares;
    std::printf("update of the development image against meter-sim on 127.0.0.1\n");
    std::printf("  image: %d of 480 blocks hold firmware; prescribed waits %d ms\n", firmwareBlocks, nominalMs);
    std::fflush(stdout);
    for (int i = 0; i < runs; ++i) {
        const Result r = RunOnce();
        allOk = allOk && r.ok;
        // The prescribed sum for what actually happened (a retry or a second
        // "VER?" adds its own waits); equal to the nominal one on a clean run.
        const int retries = std::atoi(r.repeats.c_str());
        const int prescribedMs =
            r.writes >= 0 ? PrescribedMs(static_cast<int>(r.writes), static_cast<int>(r.verQueries),
                                         static_cast<int>(r.erases), retries)
                          : nominalMs;
        std::printf("run %d\n", i + 1);
        std::printf("  wall time          %9.1f ms\n", r.wallS * 1e3);
        std::printf("  prescribed waits   %9d ms\n", prescribedMs);
        std::printf("  ratio              %9.4f\n", r.wallS * 1e3 / prescribedMs);
        if (!r.overshootMs.empty()) {
            double sum = 0;
            for (double x : r.overshootMs) sum += x;
            std::printf("  waits              %9zu, past their interval by %.3f ms on average, %.3f ms at worst\n",
                        r.overshootMs.size(), sum / static_cast<double>(r.overshootMs.size()),
                        *std::max_element(r.overshootMs.begin(), r.overshootMs.end()));
            std::printf("  outside the waits  %9.1f ms\n", r.wallS * 1e3 - sum - prescribedMs);
        }
        std::printf("  tool CPU time      %9.1f ms = %.3f %% of the wall time (window thread %.1f ms, others %.1f ms)\n",
                    r.cpuS * 1e3, 100 * r.cpuS / r.wallS, r.mainThreadCpuS * 1e3, (r.cpuS - r.mainThreadCpuS) * 1e3);
        std::printf("  meter: %ld VER?, %ld erase, %ld writes, %ld RESET, %ld program faults; retries %s, boxes %zu\n",
                    r.verQueries, r.erases, r.writes, r.resets, r.programFaults, r.repeats.c_str(), r.messages);
        std::printf("  Perc1 \"%s\", Label1 \"%s\", simulator status %d (0: flash matches the image)\n",
                    r.perc1.c_str(), r.label1.c_str(), r.simStatus);
        std::printf("  result             %s\n", r.ok ? "updated" : "FAILED");
        std::fflush(stdout);
        if (r.wallS > 0) {
            ratios.push_back(r.wallS * 1e3 / prescribedMs);
            cpuShares.push_back(100 * r.cpuS / r.wallS);
        }
    }
    if (ratios.size() > 1) {
        std::printf("median of %zu runs: ratio %.4f, tool CPU %.3f %% of the wall time\n", ratios.size(),
                    Median(ratios), Median(cpuShares));
    }
    rusage self{};
    getrusage(RUSAGE_SELF, &self);
    std::printf("peak memory of the tool (ru_maxrss) %.1f MiB\n", static_cast<double>(self.ru_maxrss) / 1024);
    SocketLibraryCleanup();
    return allOk ? 0 : 1;
}
