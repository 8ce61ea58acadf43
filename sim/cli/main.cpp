// meter-sim: one or several simulated meters until a signal, a time limit or
// the last meter's return after its "RESET"; then a summary and an exit
// status that says whether the flash holds the expected image.
#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/resource.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <memory>
#include <mutex>
#include <optional>
#include <system_error>

#include "sim/cli/CliOptions.h"
#include "sim/Meter.h"

namespace {

using sim::Event;
using sim::Meter;
using Clock = std::chrono::steady_clock;

// A meter back from its "RESET" that nobody asks who it is counts as done
// this long after its return: a tool that does not watch for the return
// must not keep meter-sim serving for ever.
constexpr auto kUnaskedGrace = std::chrono::seconds(5);
constexpr int kReadDeviceId = 0x2B;

// Why the image cannot be served, or empty.
std::string ReadImage(const std::string& path, std::vector<uint8_t>& image) {
    std::error_code ec;
    if (std::filesystem::is_directory(path, ec)) return "is a folder, not an image file";
    errno = 0;
    std::ifstream in(path, std::ios::binary);
    if (!in) return "cannot be read: " + std::generic_category().message(errno);
    try {
        image.assign(std::istreambuf_iterator<char>(in), {});
    } catch (const std::exception&) {
        return "cannot be read: " + std::generic_category().message(errno);
    }
    if (image.size() != sim::kFlashSize)
        return "is not a raw image of 0x80000 bytes (it has " + std::to_string(image.size()) +
               (image.size() == 1 ? " byte)" : " bytes)");
    return {};
}

bool WriteFile(const std::string& path, const std::string& text) {
    // Written aside and renamed, so a script polling for the file never reads half of it.
    const std::string tmp = path + ".tmp";
    {
        std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
        out << text;
        if (!out.good()) return false;
    }
    return std::rename(tmp.c_str(), path.c_str()) == 0;
}

// A "RESET" that the bootloader actually handled, not one it lost or ignored.
bool ResetTookEffect(const Event& e) {
    return e.command == "RESET" && e.inBootloader && e.fault.find("lost-in") == std::string::npos &&
           e.fault.find("reboot") == std::string::npos;
}

std::string Quote(const std::string& s) { return "\"" + s + "\""; }  // names and addresses only

// A few descriptors per meter: hundreds of meters pass the usual soft limit
// of 1024, which the hard limit lets a process raise by itself.
void RaiseDescriptorLimit() {
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        setrlimit(RLIMIT_NOFILE, &limit);
    }
}

// The options, the expected image and the event log; nothing when the
// program ends here, with the exit status in `exitCode`.
struct Inputs {
    sim::CliOptions cli;
    std::vector<uint8_t> image;
    FILE* log = stdout;
};

std::optional<Inputs> ParseArguments(int argc, char** argv, int& exitCode) {
    exitCode = 2;
    std::string error;
    auto parsed = sim::ParseCli(std::vector<std::string>(argv + 1, argv + argc), &error);
    if (!parsed) {
        std::cerr << "meter-sim: " << error << "\n" << sim::kCliUsage;
        return std::nullopt;
    }
    Inputs in{*parsed, {}, stdout};
    const sim::CliOptions& cli = in.cli;
    if (cli.help) {
        std::cout << sim::kCliUsage;
        exitCode = 0;
        return std::nullopt;
    }
    if (!cli.imagePath.empty()) {
        if (const std::string why = ReadImage(cli.imagePath, in.image); !why.empty()) {
            std::cerr << "meter-sim: --image " << cli.imagePath << " " << why << "\n";
            return std::nullopt;
        }
    }
    errno = 0;
    if (!cli.logPath.empty() && !(in.log = std::fopen(cli.logPath.c_str(), "w"))) {
        std::cerr << "meter-sim: cannot write " << cli.logPath << ": " << std::generic_category().message(errno)
                  << "\n";
        return std::nullopt;
    }
    return in;
}

// How far each meter has come since its "RESET", from its events: done once
// it is back and has answered a Read Device Identification, or once its
// boot time is over when it cannot come back. Counted as the events come, so
// that the last one is known without going over every log.
class ReturnWatch {
public:
    explicit ReturnWatch(std::vector<bool> modbus) : meters_(modbus.size()) {
        for (size_t i = 0; i < modbus.size(); ++i) meters_[i].modbus = modbus[i];
    }

    // True when the main thread's wait may change: a meter done, due later, or no longer done.
    bool Follow(size_t i, const Event& e, Clock::time_point now) {
        Progress& m = meters_[i];
        if (ResetTookEffect(e)) {
            Set(m, State::Restarting);
            return true;
        }
        if (e.command == "BOOT" && m.state == State::Restarting) {
            // Only an application with its Modbus server can still be asked.
            const bool askable = e.fault.empty() && m.modbus;
            m.askBy = now + kUnaskedGrace;
            Set(m, askable ? State::Back : State::Done);
            return true;
        }
        if (e.command == "MODBUS" && e.function == kReadDeviceId && !e.answer.empty() && m.state == State::Back) {
            Set(m, State::Done);
            return true;
        }
        return false;
    }

    // Meters back but not asked within the grace are done; when the next
    // one will be.
    Clock::time_point Expire(Clock::time_point now) {
        auto next = Clock::time_point::max();
        for (Progress& m : meters_) {
            if (m.state != State::Back) continue;
            if (m.askBy <= now)
                Set(m, State::Done);
            else
                next = std::min(next, m.askBy);
        }
        return next;
    }

    bool AllDone() const { return done_ == meters_.size(); }

private:
    enum class State { BeforeReset, Restarting, Back, Done };
    struct Progress {
        State state = State::BeforeReset;
        bool modbus = true;
        Clock::time_point askBy;  // Back: done then, asked or not
    };

    void Set(Progress& m, State to) {
        if (m.state == State::Done) --done_;
        if (to == State::Done) ++done_;
        m.state = to;
    }

    std::vector<Progress> meters_;
    size_t done_ = 0;
};

// The running meters and what their event lines go through. The meters are
// last, so they stop before what their threads use goes away.
struct Serving {
    std::mutex output;                   // one event line at a time; held while the meters start
    std::optional<ReturnWatch> returns;  // guarded by output
    std::shared_ptr<sim::Gateway> gateway;
    std::unique_ptr<sim::MeterFleet> fleet;
};

// Signals are taken by the main thread through a descriptor; the meters'
// threads, started later, inherit the blocked mask and never see them.
int TakeStopSignals() {
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    return signalfd(-1, &stopSignals, SFD_CLOEXEC);
}

// Each meter's options: its own or the common ones, on its address with its
// seed, its events logged; `wakeFd` is written when a meter's return changes
// what the main thread waits for.
std::vector<sim::MeterOptions> MeterOptionsFor(const Inputs& in, const std::vector<std::string>& addresses,
                                               Serving& serving, int wakeFd) {
    const sim::CliOptions& cli = in.cli;
    FILE* const log = in.log;
    std::vector<sim::MeterOptions> options;
    std::vector<bool> modbus;
    if (cli.gateway) serving.gateway = std::make_shared<sim::Gateway>(*cli.gateway);
    for (size_t i = 0; i < addresses.size(); ++i) {
        const auto own = cli.overrides.find(static_cast<int>(i) + 1);
        sim::MeterOptions o = own != cli.overrides.end() ? own->second : cli.meter;
        o.address = addresses[i];
        o.seed += i;
        o.gateway = serving.gateway;
        o.onEvent = [&serving, log, wakeFd, i](const Event& e) {
            std::lock_guard lock(serving.output);
            std::fprintf(log, "%s\n", sim::ToJson(e).c_str());
            std::fflush(log);
            const uint64_t one = 1;
            if (serving.returns->Follow(i, e, Clock::now())) [[maybe_unused]]
                auto n = write(wakeFd, &one, sizeof one);
        };
        modbus.push_back(o.modbusListener);
        options.push_back(std::move(o));
    }
    serving.returns.emplace(std::move(modbus));
    return options;
}

bool AnswersPending(const sim::MeterFleet& meters) {
    for (size_t i = 0; i < meters.Size(); ++i)
        if (meters[i].AnswersPending()) return true;
    return false;
}

std::string ReadyLine(const sim::MeterFleet& meters, const std::vector<std::string>& addresses) {
    std::string ready = "{\"ready\":true,\"meters\":[";
    for (size_t i = 0; i < meters.Size(); ++i) {
        ready += (i ? "," : "") + std::string("{\"name\":") + Quote(meters[i].Name()) +
                 ",\"address\":" + Quote(addresses[i]) + ",\"modbusPort\":" + std::to_string(meters[i].ModbusPort()) +
                 ",\"bootPort\":" + std::to_string(meters[i].BootPort()) + "}";
    }
    return ready + "]}";
}

// Until a signal, the time limit, or (with --exit-after-reset) the last
// meter's return.
void ServeUntilDone(const sim::CliOptions& cli, int signalFd, int wakeFd, Serving& serving) {
    using namespace std::chrono_literals;
    const auto deadline =
        Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(cli.durationS));
    for (;;) {
        auto wakeAt = Clock::time_point::max();
        if (cli.durationS > 0) {
            if (Clock::now() >= deadline) break;
            wakeAt = deadline;
        }
        if (cli.exitAfterReset) {
            std::unique_lock lock(serving.output);
            const auto next = serving.returns->Expire(Clock::now());
            const bool allDone = serving.returns->AllDone();
            lock.unlock();
            // The last answers still held back (a delay, a slow link) leave first.
            if (allDone && !AnswersPending(*serving.fleet)) break;
            wakeAt = std::min(wakeAt, allDone ? Clock::now() + 10ms : next);
        }
        int timeout = -1;
        if (wakeAt != Clock::time_point::max()) {
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(wakeAt - Clock::now()).count();
            timeout = static_cast<int>(std::clamp<long long>(left, 0, 1 << 30));
        }
        pollfd fds[] = {{signalFd, POLLIN, 0}, {wakeFd, POLLIN, 0}};
        if (poll(fds, 2, timeout) < 0 && errno != EINTR) break;
        if (fds[0].revents) break;
        if (fds[1].revents) {
            uint64_t count;
            [[maybe_unused]] auto n = read(wakeFd, &count, sizeof count);
        }
    }
}

// Starts the meters, says they are ready and serves until a signal, the time
// limit or the last meter's return; false when they could not start (said on stderr).
bool Run(const Inputs& in, Serving& serving) {
    const sim::CliOptions& cli = in.cli;
    // A reader that goes away must not kill the meters mid-run.
    signal(SIGPIPE, SIG_IGN);
    RaiseDescriptorLimit();
    const int signalFd = TakeStopSignals();
    const int wakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);

    // Held while the meters start, so no event line comes before the start line.
    std::unique_lock startLock(serving.output);
    const auto addresses = *sim::ConsecutiveAddresses(cli.meter.address, cli.meters);
    try {
        serving.fleet = std::make_unique<sim::MeterFleet>(MeterOptionsFor(in, addresses, serving, wakeFd));
    } catch (const std::exception& ex) {
        std::cerr << "meter-sim: cannot start: " << ex.what() << "\n";
        return false;
    }
    const std::string ready = ReadyLine(*serving.fleet, addresses);
    // The file first: whoever has read the line on stdout may rely on it.
    if (!cli.portsFile.empty() && !WriteFile(cli.portsFile, ready + "\n")) {
        std::cerr << "meter-sim: cannot write " << cli.portsFile << "\n";
        return false;
    }
    std::printf("%s\n", ready.c_str());
    std::fflush(stdout);
    startLock.unlock();
    ServeUntilDone(cli, signalFd, wakeFd, serving);
    return true;
}

std::string FiguresJson(const sim::GatewayFigures& f) {
    return "{\"bytes\":" + std::to_string(f.bytes) + ",\"datagrams\":" + std::to_string(f.datagrams) +
           ",\"dropped\":" + std::to_string(f.dropped) + ",\"maxQueueBytes\":" + std::to_string(f.maxQueueBytes) + "}";
}

// The shared link's figures as the summary's "gateway" member, with a plain
// line on stderr; nothing without a gateway.
std::string GatewaySummary(const sim::Gateway* gateway) {
    if (!gateway) return {};
    const auto down = gateway->Figures(sim::Way::Down), up = gateway->Figures(sim::Way::Up);
    std::cerr << "meter-sim: gateway: down " << down.datagrams << " datagrams, " << down.dropped << " dropped; up "
              << up.datagrams << " datagrams, " << up.dropped << " dropped\n";
    char kbps[32];
    std::snprintf(kbps, sizeof kbps, "%g", gateway->Options().kbps);
    return ",\"gateway\":{\"kbps\":" + std::string(kbps) +
           ",\"bufferBytes\":" + std::to_string(gateway->Options().bufferBytes) + ",\"down\":" + FiguresJson(down) +
           ",\"up\":" + FiguresJson(up) + "}";
}

// The summary: one JSON line on stdout, a plain line per meter on stderr, and
// the flash dumps; the exit status says whether every flash holds the image.
int Report(const Inputs& in, Serving& serving) {
    const sim::CliOptions& cli = in.cli;
    const std::vector<uint8_t>& image = in.image;
    FILE* const log = in.log;
    const sim::MeterFleet& meters = *serving.fleet;
    bool allMatch = true;
    std::string summary = "{\"summary\":[";
    for (size_t i = 0; i < meters.Size(); ++i) {
        const Meter& m = meters[i];
        const auto events = m.Events();
        auto count = [&](const char* command) {
            return std::count_if(events.begin(), events.end(), [&](const Event& e) {
                return e.command == command && (e.inBootloader || e.command == "MODBUS");
            });
        };
        std::string flash = "\"unchecked\"";
        std::string note = "flash not checked";
        if (!image.empty()) {
            const long at = m.FirstMismatch(image.data());
            allMatch = allMatch && at < 0;
            char hex[16];
            std::snprintf(hex, sizeof hex, "0x%05lX", at);
            flash = at < 0 ? "\"match\"" : "\"mismatch\",\"firstMismatch\":\"" + std::string(hex) + "\"";
            note = at < 0 ? "flash matches the image" : "flash differs from the image at " + std::string(hex);
        }
        if (!cli.dumpPath.empty()) {
            const std::string path = meters.Size() == 1 ? cli.dumpPath : cli.dumpPath + "." + m.Name();
            const auto bytes = m.Flash();
            std::ofstream out(path, std::ios::binary | std::ios::trunc);
            out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
            if (!out.good()) std::cerr << "meter-sim: cannot write " << path << "\n";
        }
        // Requests that could change the meter, apart from the reads that look for it after its reset.
        const auto reads = std::count_if(events.begin(), events.end(),
                                         [](const Event& e) { return e.command == "MODBUS" && e.function == 0x2B; });
        summary += (i ? "," : "") + std::string("{\"meter\":") + Quote(m.Name()) +
                   ",\"requests\":" + std::to_string(count("MODBUS") - reads) +
                   ",\"deviceIdRequests\":" + std::to_string(reads) +
                   ",\"verQueries\":" + std::to_string(count("VER?")) + ",\"erases\":" + std::to_string(count("E")) +
                   ",\"writes\":" + std::to_string(count("W")) + ",\"resets\":" + std::to_string(count("RESET")) +
                   ",\"programFaults\":" + std::to_string(m.ProgramFaults()) +
                   ",\"bootloader\":" + (m.InBootloader() ? "true" : "false") + ",\"flash\":" + flash + "}";
        std::cerr << "meter-sim: " << m.Name() << ": " << count("W") << " writes, " << m.ProgramFaults()
                  << " program faults, " << note << "\n";
    }
    const int status = allMatch ? 0 : 1;
    serving.fleet.reset();  // stop serving before the last line, and before the gateway's figures are read
    summary += "]" + GatewaySummary(serving.gateway.get()) + ",\"status\":" + std::to_string(status) + "}";
    std::printf("%s\n", summary.c_str());
    std::fflush(stdout);
    if (log != stdout) std::fclose(log);
    return status;
}

}  // namespace

int main(int argc, char** argv) {
    int exitCode = 0;
    std::optional<Inputs> in = ParseArguments(argc, argv, exitCode);
    if (!in) return exitCode;
    Serving serving;
    if (!Run(*in, serving)) return 2;
    return Report(*in, serving);
}
