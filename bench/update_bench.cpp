// A whole update of the compiled-in image against the simulated meter on
// loopback, timed against the waits the protocol itself prescribes: the
// tool should add next to nothing to them, and use next to no processor.
//
//   update-bench [RUNS] [window|plain]   (RUNS: updates of each front end,
//                                        each against a fresh simulator, default 1)
//
// The simulator runs as its own process, so its processor time is not
// counted as the tool's. The tool runs first as the real window with its real
// timers and sockets (message boxes answered at once), then as the engine
// alone through the plain pacer, as the headless updater runs it. The meter
// is already in its bootloader, so the update procedure itself is timed.
// Targets: window ratio <= 1.005 and CPU < 1 % of the wall time; plain pacer
// ratio <= 1.002 and CPU < 0.2 %.
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
#include "Frames.h"
#include "RecordingDialogs.h"
#include "PlainPacer.h"
#include "Socket.h"
#include "SocketLink.h"
#include "UpdateEngine.h"

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

// What the protocol waits for this image when every exchange succeeds at
// once: the wait before the first "VER?" and one for its answer, the erase's,
// one per block that is written, the one after "RESET", then the final pause.
int PrescribedMs(int writes, int verQueries, int erases, int retries) {
    using namespace protocol;
    const auto total = kIdentifyWait + kIdentifyWait * verQueries + kEraseWait * erases + kWriteWait * writes +
                       kRetryDelay * retries + kResetWait + kRetryDelay;
    return static_cast<int>(total.count());
}

struct Result {
    bool ok = false;
    double wallS = 0;
    double cpuS = 0;
    double mainThreadCpuS = 0;
    std::string perc1;
    std::string label1;
    std::string repeats;
    size_t messages = 0;
    int simStatus = -1;
    long writes = -1, verQueries = -1, erases = -1, resets = -1, programFaults = -1;
};

// The update through the window, or with the engine alone through the plain pacer.
enum class Front { Window, Plain };

struct QuietListener : loader::UpdateListener {};

Result RunOnce(Front front) {
    Result r;
    using testsupport::ChildProcess;
    using namespace std::chrono_literals;
    std::optional<ChildProcess> sim;
    std::optional<std::string> line;
    try {
        sim.emplace(std::vector<std::string>{METER_SIM_PATH, "--address", "127.0.0.1", "--bootloader", "--modbus-port",
                                             "0", "--boot-port", "0", "--image", LOADER_IMAGE_BIN_PATH, "--log",
                                             "/dev/null", "--exit-after-reset"},
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

    if (front == Front::Window) {
        RecordingDialogs dialogs;
        TForm1 form(dialogs);
        form.UdpSocket1.SetRemotePort(static_cast<uint16_t>(bootPort));
        form.EditIPaddr->setText(QStringLiteral("127.0.0.1"));
        form.show();
        // From inside the event loop, as a click would run it.
        QTimer::singleShot(0, &form, [&] {
            const auto t0 = Clock::now();
            const double c0 = CpuSeconds();
            const double m0 = CpuSeconds(CLOCK_THREAD_CPUTIME_ID);
            form.Button1Click();
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
    } else {
        net::SocketLink udpLink(net::Transport::Udp, static_cast<uint16_t>(bootPort));
        net::SocketLink tcpLink(net::Transport::Tcp, 0);  // unused: the meter starts in its bootloader
        loader::CancelToken cancel;
        loader::PlainPacer pacer(cancel);
        loader::DelayInterval delay;
        QuietListener quiet;
        loader::UpdateEngine engine(pacer, tcpLink, udpLink, image::EmbeddedImage(), delay, quiet);
        const auto t0 = Clock::now();
        const double c0 = CpuSeconds();
        const double m0 = CpuSeconds(CLOCK_THREAD_CPUTIME_ID);
        const loader::UpdateResult u = engine.RunProcedure("127.0.0.1", true);
        r.cpuS = CpuSeconds() - c0;
        r.mainThreadCpuS = CpuSeconds(CLOCK_THREAD_CPUTIME_ID) - m0;
        r.wallS = std::chrono::duration<double>(Clock::now() - t0).count();
        r.perc1 = u.outcome == loader::Outcome::Updated ? "Successfully updated." : "not updated";
        r.label1 = "-";
        r.repeats = std::to_string(u.retries);
    }

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
    for (uint32_t a = protocol::kApplicationStart; a < image::kImageSize; a += protocol::kBlockSize)
        firmwareBlocks += protocol::IsBlank(img.subspan(a, protocol::kBlockSize)) ? 0 : 1;
    const int nominalMs = PrescribedMs(firmwareBlocks, 1, 1, 0);

    platform::StartSocketLibrary();
    QApplication app(argc, argv);
    QCoreApplication::setApplicationName(QString::fromLatin1(brand::kApplicationName));

    bool allOk = true;
    std::printf("update of the development image against meter-sim on 127.0.0.1\n");
    std::printf("  image: %d of %d blocks hold firmware; prescribed waits %d ms\n", firmwareBlocks,
                protocol::kBlockSteps, nominalMs);
    std::fflush(stdout);
    const std::string only = argc > 2 ? argv[2] : "";
    for (const Front front : {Front::Window, Front::Plain}) {
        if ((only == "window" && front != Front::Window) || (only == "plain" && front != Front::Plain)) continue;
        const char* frontName = front == Front::Window ? "window" : "plain pacer";
        std::vector<double> ratios;
        std::vector<double> cpuShares;
        for (int i = 0; i < runs; ++i) {
            const Result r = RunOnce(front);
            allOk = allOk && r.ok;
            // The prescribed sum for what actually happened (a retry or a second
            // "VER?" adds its own waits); equal to the nominal one on a clean run.
            const int retries = std::atoi(r.repeats.c_str());
            const int prescribedMs = r.writes >= 0
                                         ? PrescribedMs(static_cast<int>(r.writes), static_cast<int>(r.verQueries),
                                                        static_cast<int>(r.erases), retries)
                                         : nominalMs;
            std::printf("%s, run %d\n", frontName, i + 1);
            std::printf("  wall time          %9.1f ms\n", r.wallS * 1e3);
            std::printf("  prescribed waits   %9d ms\n", prescribedMs);
            std::printf("  ratio              %9.4f\n", r.wallS * 1e3 / prescribedMs);
            std::printf(
                "  tool CPU time      %9.1f ms = %.3f %% of the wall time (window thread %.1f ms, others %.1f ms)\n",
                r.cpuS * 1e3, 100 * r.cpuS / r.wallS, r.mainThreadCpuS * 1e3, (r.cpuS - r.mainThreadCpuS) * 1e3);
            std::printf(
                "  meter: %ld VER?, %ld erase, %ld writes, %ld RESET, %ld program faults; retries %s, boxes %zu\n",
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
        if (!ratios.empty()) {
            std::printf("%s, median of %zu runs: ratio %.4f, tool CPU %.3f %% of the wall time\n", frontName,
                        ratios.size(), Median(ratios), Median(cpuShares));
        }
    }
    rusage self{};
    getrusage(RUSAGE_SELF, &self);
    std::printf("peak memory of the tool (ru_maxrss) %.1f MiB\n", static_cast<double>(self.ru_maxrss) / 1024);
    platform::StopSocketLibrary();
    return allOk ? 0 : 1;
}
