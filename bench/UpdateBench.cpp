// A whole update of the compiled-in image against the simulated meter on
// loopback, timed against the waits the protocol itself prescribes: the
// tool should add next to nothing to them, and use next to no processor.
//
//   update-bench [RUNS] [window|unshown|plain|trace]   (RUNS: updates of each
//                       front end, each against a fresh simulator, default 1;
//                       trace: the plain pacer without and with a support trace)
//
// The simulator runs as its own process, so its processor time is not
// counted as the tool's. Each run updates once through the real window (its
// button pressed, message boxes answered at once), once through the same
// window never shown, and once with the engine alone through the plain pacer,
// as the headless updater runs it; they alternate, so that a change in the
// machine's load meets all. The unshown window is the window model, its
// thread and the widgets' state without any painting: what it costs beyond
// the plain pacer is the window's own share, the rest is the toolkit's
// drawing. The meter
// is already in its bootloader and has no Modbus server: the request finds
// no answer and the update procedure follows at once.
// The plain pacer runs once more with a support trace on both links
// (trace::MeterTrace, its file written before the clock stops): the trace
// may add at most 1 % to the update's time (traced / plain <= 1.01).
// Targets: window ratio <= 1.004 and the window's tool CPU at most 1.15
// times the plain pacer's; plain pacer ratio <= 1.002 and CPU < 0.2 %.
#include <QApplication>
#include <QTimer>
#include <QWindow>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <functional>
#include <utility>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

#include "bench/BenchFigures.h"
#include "brand/Brand.h"
#include "tests/support/ChildProcess.h"
#include "image/FlashImage.h"
#include "protocol/Constants.h"
#include "protocol/Frames.h"
#include "qt/MainWindow.h"
#include "tests/support/RecordingDialogs.h"
#include "update/PlainPacer.h"
#include "platform/Socket.h"
#include "net/SocketLink.h"
#include "trace/MeterTrace.h"
#include "update/UpdateEngine.h"

#ifndef METER_SIM_PATH
#error "METER_SIM_PATH must name the meter-sim executable"
#endif
#ifndef LOADER_IMAGE_BIN_PATH
#error "LOADER_IMAGE_BIN_PATH must name the raw image the tool carries"
#endif

using window::Control;
using window::Text;

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
// once: the connection's wait and the request's, the wait before the first
// "VER?" and one for its answer, the erase's, one per block that is written,
// the one after "RESET", then the final pause.
int PrescribedMs(int writes, int verQueries, int erases, int retries) {
    using namespace protocol;
    const auto total = kConnectWait + kModbusAnswerWait + kIdentifyWait + kIdentifyWait * verQueries +
                       kEraseWait * erases + kWriteWait * writes + kRetryDelay * retries + kResetWait + kRetryDelay;
    return static_cast<int>(total.count());
}

struct Result {
    bool ok = false;
    double wallS = 0;
    double cpuS = 0;
    double mainThreadCpuS = 0;
    std::string verdict;
    std::string action;
    int retries = 0;
    size_t messages = 0;
    int simStatus = -1;
    long writes = -1, verQueries = -1, erases = -1, resets = -1, programFaults = -1;
};

// The update through the window (shown, or never shown), or with the engine
// alone through the plain pacer.
enum class Front { Window, UnshownWindow, Plain, Traced };

struct QuietListener : update::UpdateListener {};

// Calls back once the window's button is enabled again after a run: the
// moment the window shows the run's end.
class RunEndWatcher : public QObject {
public:
    RunEndWatcher(MainWindow& w, std::function<void()> ended) : window_(w), ended_(std::move(ended)) {
        w.Button(Control::UpdateButton)->installEventFilter(this);
    }

protected:
    bool eventFilter(QObject*, QEvent* e) override {
        if (e->type() == QEvent::EnabledChange && window_.Button(Control::UpdateButton)->isEnabled() &&
            !window_.Model().Running() && ended_)
            std::exchange(ended_, nullptr)();
        return false;
    }

private:
    MainWindow& window_;
    std::function<void()> ended_;
};

// The simulator's ports once it is listening; empty when it did not start.
struct SimPorts {
    uint16_t modbus = 0, boot = 0;
};

std::optional<SimPorts> StartSimulator(std::optional<testsupport::ChildProcess>& sim, Result& r) {
    using testsupport::ChildProcess;
    using namespace std::chrono_literals;
    std::optional<std::string> line;
    try {
        sim.emplace(std::vector<std::string>{METER_SIM_PATH, "--address", "127.0.0.1", "--bootloader", "--no-modbus",
                                             "--modbus-port", "0", "--boot-port", "0", "--image", LOADER_IMAGE_BIN_PATH,
                                             "--log", "/dev/null", "--exit-after-reset"},
                    ChildProcess::Stderr::Discard);
        line = sim->ReadLine(Clock::now() + 10s);
    } catch (const std::system_error&) {
        // Reported as any other start that gave no ports.
    }
    if (!line || JsonNumber(*line, "bootPort") <= 0) {
        std::fprintf(stderr, "update-bench: the simulator did not start (%s)\n", METER_SIM_PATH);
        if (sim) r.simStatus = sim->Terminate(Clock::now() + 5s).value_or(-1);
        return std::nullopt;
    }
    return SimPorts{static_cast<uint16_t>(JsonNumber(*line, "modbusPort")),
                    static_cast<uint16_t>(JsonNumber(*line, "bootPort"))};
}

// The update through the window, shown or never shown, its button pressed
// through the model once the window is on screen and painted.
void RunThroughWindow(bool shown, SimPorts ports, const update::UpdateRequest& request, Result& r) {
    testsupport::RecordingDialogs dialogs;
    net::MeterConnections network;
    MainWindow window(dialogs, PortsOver(network));
    network.modbus.SetRemotePort(ports.modbus);
    network.boot.SetRemotePort(ports.boot);
    window.Model().AddressEdited(request.address);
    window.Model().PasswordEdited(*request.password);
    if (shown) window.show();
    Clock::time_point t0;
    double c0 = 0, m0 = 0;
    RunEndWatcher watcher(window, [&] {
        r.cpuS = CpuSeconds() - c0;
        r.mainThreadCpuS = CpuSeconds(CLOCK_THREAD_CPUTIME_ID) - m0;
        r.wallS = std::chrono::duration<double>(Clock::now() - t0).count();
        QCoreApplication::quit();
    });
    // From inside the event loop, as a click comes.
    QTimer poll;
    poll.setInterval(10);
    QObject::connect(&poll, &QTimer::timeout, &window, [&] {
        if (shown && (!window.windowHandle() || !window.windowHandle()->isExposed())) return;
        poll.stop();
        QTimer::singleShot(50, &window, [&] {
            t0 = Clock::now();
            c0 = CpuSeconds();
            m0 = CpuSeconds(CLOCK_THREAD_CPUTIME_ID);
            window.Model().UpdateClicked();
        });
    });
    poll.start();
    qApp->exec();
    r.verdict = window.Label(Text::Verdict)->text().toStdString();
    // The wait for the meter's return may have begun to count in the verdict:
    // the update's own verdict is the one measured.
    if (window.Model().Watching() && window.Model().LastResult()->outcome == update::Outcome::Updated)
        r.verdict = "Successfully updated.";
    r.action = window.Label(Text::Action)->text().toStdString();
    r.retries = window.Model().LastResult() ? window.Model().LastResult()->retries : -1;
    r.messages = dialogs.boxes.size();
}

// The engine alone through the plain pacer, as the headless updater runs it.
// `traced`: with a support trace in the working directory, finished within the time measured.
void RunPlain(SimPorts ports, const update::UpdateRequest& request, bool traced, Result& r) {
    net::SocketLink udpLink(net::Transport::Udp, ports.boot);
    net::SocketLink tcpLink(net::Transport::Tcp, ports.modbus);
    std::optional<trace::MeterTrace> trace;
    static int tracedRuns = 0;  // a file of its own for each run
    if (traced) {
        trace.emplace(trace::TracePath(".", request.address + "-" + std::to_string(++tracedRuns),
                                       std::chrono::system_clock::now()),
                      trace::TraceHeader{"update-bench", "update-bench", image::ImageSha256Hex(image::EmbeddedImage()),
                                         request.address});
        udpLink.SetTap(&*trace);
        tcpLink.SetTap(&*trace);
    }
    update::CancelToken cancel;
    update::PlainPacer pacer(cancel);
    update::DelayInterval delay;
    QuietListener quiet;
    update::UpdateEngine engine(pacer, tcpLink, udpLink, image::EmbeddedImage(), delay, quiet);
    const auto t0 = Clock::now();
    const double c0 = CpuSeconds();
    const double m0 = CpuSeconds(CLOCK_THREAD_CPUTIME_ID);
    update::UpdateResult u = engine.Run(request);
    if (trace && !trace->Finish().empty()) u.outcome = update::Outcome::CommunicationError;  // counted as failed
    r.cpuS = CpuSeconds() - c0;
    r.mainThreadCpuS = CpuSeconds(CLOCK_THREAD_CPUTIME_ID) - m0;
    r.wallS = std::chrono::duration<double>(Clock::now() - t0).count();
    r.verdict = u.outcome == update::Outcome::Updated ? "Successfully updated." : "not updated";
    r.action = "-";
    r.retries = u.retries;
}

// The simulator ends on its own after a "RESET" it handled; give a lost one
// a few seconds, then stop it. Its last line counts what the meter saw.
void ReadSummary(testsupport::ChildProcess& sim, Result& r) {
    using namespace std::chrono_literals;
    std::string summary;
    while (const auto line = sim.ReadLine(Clock::now() + 5s)) summary = *line;
    const bool ended = summary.find("\"summary\"") != std::string::npos;
    r.simStatus = (ended ? sim.Wait(Clock::now() + 5s) : sim.Terminate(Clock::now() + 5s)).value_or(-1);
    r.writes = JsonNumber(summary, "writes");
    r.verQueries = JsonNumber(summary, "verQueries");
    r.erases = JsonNumber(summary, "erases");
    r.resets = JsonNumber(summary, "resets");
    r.programFaults = JsonNumber(summary, "programFaults");
}

Result RunOnce(Front front) {
    Result r;
    std::optional<testsupport::ChildProcess> sim;
    const std::optional<SimPorts> ports = StartSimulator(sim, r);
    if (!ports) return r;
    const update::UpdateRequest request{"127.0.0.1", std::string("1234"), true};
    if (front == Front::Plain || front == Front::Traced)
        RunPlain(*ports, request, front == Front::Traced, r);
    else
        RunThroughWindow(front == Front::Window, *ports, request, r);
    ReadSummary(*sim, r);
    r.ok = r.verdict == "Successfully updated." && r.simStatus == 0;
    return r;
}

struct Series {
    Front front;
    const char* name;
    std::vector<double> ratios, cpuMs, cpuShares;
};

void PrintRun(const Series& s, int run, const Result& r, int prescribedMs) {
    std::printf("%s, run %d\n", s.name, run);
    std::printf("  wall time          %9.1f ms\n", r.wallS * 1e3);
    std::printf("  prescribed waits   %9d ms\n", prescribedMs);
    std::printf("  ratio              %9.4f\n", r.wallS * 1e3 / prescribedMs);
    std::printf("  tool CPU time      %9.1f ms = %.3f %% of the wall time (window thread %.1f ms, others %.1f ms)\n",
                r.cpuS * 1e3, 100 * r.cpuS / r.wallS, r.mainThreadCpuS * 1e3, (r.cpuS - r.mainThreadCpuS) * 1e3);
    std::printf("  meter: %ld VER?, %ld erase, %ld writes, %ld RESET, %ld program faults; retries %d, boxes %zu\n",
                r.verQueries, r.erases, r.writes, r.resets, r.programFaults, r.retries, r.messages);
    std::printf("  verdict \"%s\", action \"%s\", simulator status %d (0: flash matches the image)\n",
                r.verdict.c_str(), r.action.c_str(), r.simStatus);
    std::printf("  result             %s\n", r.ok ? "updated" : "FAILED");
    std::fflush(stdout);
}

void PrintMedians(std::vector<Series>& series, int runs) {
    std::printf("\nmedians of %d runs      ", runs);
    for (const Series& s : series) std::printf(" %12s", s.name);
    std::printf("\n");
    auto row = [&](const char* what, std::vector<double> Series::*field, const char* format) {
        std::printf("  %-22s", what);
        for (Series& s : series) std::printf(format, (s.*field).empty() ? 0.0 : Median(s.*field));
        std::printf("\n");
    };
    row("ratio", &Series::ratios, " %12.4f");
    row("tool CPU time (ms)", &Series::cpuMs, " %12.1f");
    row("tool CPU (% of wall)", &Series::cpuShares, " %12.3f");
    auto medianOf = [&](Front f, std::vector<double> Series::*field) -> std::optional<double> {
        for (Series& s : series)
            if (s.front == f && !(s.*field).empty()) return Median(s.*field);
        return std::nullopt;
    };
    const auto windowCpu = medianOf(Front::Window, &Series::cpuMs);
    const auto unshownCpu = medianOf(Front::UnshownWindow, &Series::cpuMs);
    const auto plainCpu = medianOf(Front::Plain, &Series::cpuMs);
    if (windowCpu && plainCpu)
        std::printf("  window CPU / plain CPU  %11.2f   (target <= 1.15)\n", *windowCpu / *plainCpu);
    if (unshownCpu && plainCpu) std::printf("  unshown CPU / plain CPU %11.2f\n", *unshownCpu / *plainCpu);
    if (const auto ratio = medianOf(Front::Window, &Series::ratios))
        std::printf("  window ratio            %11.4f   (target <= 1.004)\n", *ratio);
    const auto tracedRatio = medianOf(Front::Traced, &Series::ratios);
    const auto plainRatio = medianOf(Front::Plain, &Series::ratios);
    if (tracedRatio && plainRatio)
        std::printf("  traced / plain time     %11.4f   (target <= 1.01)\n", *tracedRatio / *plainRatio);
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
    std::vector<Series> series;
    if (only.empty() || only == "window") series.push_back({Front::Window, "window", {}, {}, {}});
    if (only.empty() || only == "unshown") series.push_back({Front::UnshownWindow, "unshown", {}, {}, {}});
    if (only.empty() || only == "plain" || only == "trace") series.push_back({Front::Plain, "plain pacer", {}, {}, {}});
    if (only.empty() || only == "trace") series.push_back({Front::Traced, "traced", {}, {}, {}});
    for (int i = 0; i < runs; ++i) {
        for (Series& s : series) {
            const Result r = RunOnce(s.front);
            allOk = allOk && r.ok;
            // The prescribed sum for what actually happened (a retry or a second
            // "VER?" adds its own waits); equal to the nominal one on a clean run.
            const int prescribedMs = r.writes >= 0
                                         ? PrescribedMs(static_cast<int>(r.writes), static_cast<int>(r.verQueries),
                                                        static_cast<int>(r.erases), r.retries)
                                         : nominalMs;
            PrintRun(s, i + 1, r, prescribedMs);
            if (r.wallS > 0) {
                s.ratios.push_back(r.wallS * 1e3 / prescribedMs);
                s.cpuMs.push_back(r.cpuS * 1e3);
                s.cpuShares.push_back(100 * r.cpuS / r.wallS);
            }
        }
    }
    PrintMedians(series, runs);
    rusage self{};
    getrusage(RUSAGE_SELF, &self);
    std::printf("peak memory of the tool (ru_maxrss) %.1f MiB\n", static_cast<double>(self.ru_maxrss) / 1024);
    platform::StopSocketLibrary();
    return allOk ? 0 : 1;
}
