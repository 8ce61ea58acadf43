// meter-sim: one or several simulated meters until a signal, a time limit or
// the final "RESET"; then a summary and an exit status that says whether the
// flash holds the expected image.
#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/resource.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <iterator>
#include <memory>
#include <mutex>

#include "cli_options.h"
#include "metersim/meter.h"

namespace {

using metersim::Event;
using metersim::Meter;

bool ReadImage(const std::string& path, std::vector<uint8_t>& image) {
    std::ifstream in(path, std::ios::binary);
    image.assign(std::istreambuf_iterator<char>(in), {});
    return image.size() == metersim::kFlashSize;
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

}  // namespace

int main(int argc, char** argv) {
    std::string error;
    auto parsed = metersim::ParseCli(std::vector<std::string>(argv + 1, argv + argc), &error);
    if (!parsed) {
        std::cerr << "meter-sim: " << error << "\n" << metersim::kCliUsage;
        return 2;
    }
    const metersim::CliOptions& cli = *parsed;
    if (cli.help) {
        std::cout << metersim::kCliUsage;
        return 0;
    }
    std::vector<uint8_t> image;
    if (!cli.imagePath.empty() && !ReadImage(cli.imagePath, image)) {
        std::cerr << "meter-sim: " << cli.imagePath << " is not a raw image of 0x80000 bytes\n";
        return 2;
    }
    FILE* log = stdout;
    if (!cli.logPath.empty() && !(log = std::fopen(cli.logPath.c_str(), "w"))) {
        std::cerr << "meter-sim: cannot write " << cli.logPath << "\n";
        return 2;
    }

    // A reader that goes away must not kill the meters mid-run.
    signal(SIGPIPE, SIG_IGN);
    RaiseDescriptorLimit();
    // Signals are taken by the main thread through a descriptor; the meters'
    // threads inherit the blocked mask and never see them.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    const int signalFd = signalfd(-1, &stopSignals, SFD_CLOEXEC);
    const int resetFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);

    // Held while the meters start, so no event line comes before the start line.
    std::mutex output;
    std::unique_lock startLock(output);
    const auto addresses = *metersim::ConsecutiveAddresses(cli.meter.address, cli.meters);
    // Which meters have handled a "RESET" (guarded by output): counted as
    // they come, so that the last one is known without going over every log.
    std::vector<bool> resetTaken(addresses.size());
    size_t resetsTaken = 0;
    std::vector<metersim::MeterOptions> options;
    for (size_t i = 0; i < addresses.size(); ++i) {
        const auto own = cli.overrides.find(static_cast<int>(i) + 1);
        metersim::MeterOptions o = own != cli.overrides.end() ? own->second : cli.meter;
        o.address = addresses[i];
        o.seed += i;
        o.onEvent = [&, i](const Event& e) {
            std::lock_guard lock(output);
            std::fprintf(log, "%s\n", metersim::ToJson(e).c_str());
            std::fflush(log);
            if (!ResetTookEffect(e) || resetTaken[i]) return;
            resetTaken[i] = true;
            const uint64_t one = 1;
            if (++resetsTaken == resetTaken.size()) [[maybe_unused]]
                auto n = write(resetFd, &one, sizeof one);
        };
        options.push_back(std::move(o));
    }
    std::unique_ptr<metersim::MeterFleet> fleet;
    try {
        fleet = std::make_unique<metersim::MeterFleet>(std::move(options));
    } catch (const std::exception& ex) {
        std::cerr << "meter-sim: cannot start: " << ex.what() << "\n";
        return 2;
    }
    const metersim::MeterFleet& meters = *fleet;
    std::string ready = "{\"ready\":true,\"meters\":[";
    for (size_t i = 0; i < meters.Size(); ++i) {
        ready += (i ? "," : "") + std::string("{\"name\":") + Quote(meters[i].Name()) +
                 ",\"address\":" + Quote(addresses[i]) + ",\"modbusPort\":" + std::to_string(meters[i].ModbusPort()) +
                 ",\"bootPort\":" + std::to_string(meters[i].BootPort()) + "}";
    }
    ready += "]}";
    // The file first: whoever has read the line on stdout may rely on it.
    if (!cli.portsFile.empty() && !WriteFile(cli.portsFile, ready + "\n")) {
        std::cerr << "meter-sim: cannot write " << cli.portsFile << "\n";
        return 2;
    }
    std::printf("%s\n", ready.c_str());
    std::fflush(stdout);
    startLock.unlock();

    using Clock = std::chrono::steady_clock;
    const auto deadline =
        Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(cli.durationS));
    for (;;) {
        int timeout = -1;
        if (cli.durationS > 0) {
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
            if (left <= 0) break;
            timeout = static_cast<int>(std::min<long long>(left, 1 << 30));
        }
        pollfd fds[] = {{signalFd, POLLIN, 0}, {resetFd, POLLIN, 0}};
        if (poll(fds, 2, timeout) < 0 && errno != EINTR) break;
        if (fds[0].revents) break;
        if (fds[1].revents) {
            // Written once, when the last meter has handled its "RESET".
            uint64_t count;
            [[maybe_unused]] auto n = read(resetFd, &count, sizeof count);
            if (cli.exitAfterReset) break;
        }
    }

    // Summary: one JSON line on stdout, a plain line per meter on stderr.
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
        summary += (i ? "," : "") + std::string("{\"meter\":") + Quote(m.Name()) +
                   ",\"requests\":" + std::to_string(count("MODBUS")) +
                   ",\"verQueries\":" + std::to_string(count("VER?")) + ",\"erases\":" + std::to_string(count("E")) +
                   ",\"writes\":" + std::to_string(count("W")) + ",\"resets\":" + std::to_string(count("RESET")) +
                   ",\"programFaults\":" + std::to_string(m.ProgramFaults()) +
                   ",\"bootloader\":" + (m.InBootloader() ? "true" : "false") + ",\"flash\":" + flash + "}";
        std::cerr << "meter-sim: " << m.Name() << ": " << count("W") << " writes, " << m.ProgramFaults()
                  << " program faults, " << note << "\n";
    }
    const int status = allMatch ? 0 : 1;
    summary += "],\"status\":" + std::to_string(status) + "}";
    fleet.reset();  // stop serving before the last line
    std::printf("%s\n", summary.c_str());
    std::fflush(stdout);
    if (log != stdout) std::fclose(log);
    return status;
}
