// ethernet-loader-cli: updates (or probes) many meters at once, without a
// window, with the same engine and timing per meter as the window. The
// arguments are read and checked by cli::PlanRun; here they are run.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <system_error>

#include "platform/Console.h"
#include "cli/EarlierReports.h"
#include "platform/File.h"
#include "cli/Fleet.h"
#include "cli/LiveReport.h"
#include "brand/LoaderVersion.h"
#include "history/Log.h"
#include "platform/Process.h"
#include "platform/MeterLock.h"
#include "cli/Plan.h"
#include "cli/Preview.h"
#include "platform/Socket.h"
#include "net/SocketAddress.h"

namespace {

// A line on the standard error that names the program first.
void Tell(const std::string& what) { std::fprintf(stderr, "%s: %s\n", cli::kToolName, what.c_str()); }

int Refuse(const std::string& why) {
    Tell(why);
    return cli::kNothingSent;
}

// Writes the report to a new file beside `path` and puts that in its place:
// a crash, a power cut or a full disk never leaves half a report, nor
// destroys the last one. Returns why not, or empty.
std::string WriteReportText(const std::filesystem::path& path, const std::string& text) {
    const platform::ReplaceStatus replaced = platform::ReplaceFile(path, text);
    if (replaced.Ok()) return {};
    if (replaced.failed == platform::ReplaceStatus::Step::PutInPlace) return "it cannot be replaced";
    return std::system_category().message(static_cast<int>(replaced.status.code));
}

std::string WriteReport(const std::filesystem::path& path, const nlohmann::ordered_json& report) {
    return WriteReportText(path, report.dump(2) + "\n");
}

// Joins the reports of many sites into one; 0 when every meter of them
// succeeded, 1 when any did not.
int MergeReportsCommand(const cli::Plan& plan) {
    std::vector<cli::ReportFile> files;
    for (const auto& path : plan.mergePaths) {
        cli::FileText file = cli::ReadInputFile(cli::kMergeCommand, path);
        if (!file.problem.empty()) return Refuse(file.problem);
        files.push_back({path, std::move(file.text)});
    }
    const cli::Merged merged = cli::MergeReports(files, LOADER_VERSION, plan.allowMixed);
    if (!merged.problem.empty()) return Refuse(std::string(cli::kMergeCommand) + ": " + merged.problem);
    if (plan.mergeOutput.empty()) {
        std::printf("%s\n", merged.report.dump(2).c_str());
    } else if (const std::string why = WriteReport(plan.mergeOutput, merged.report); !why.empty()) {
        return Refuse("--output " + plan.mergeOutput + ": cannot be written: " + why);
    }
    std::fprintf(stderr, "%s\n", merged.counts.c_str());
    return merged.allSucceeded ? cli::kAllSucceeded : cli::kSomeFailed;
}

// The update history's records: one line per meter contacted, written as
// each meter ends. A failure is a warning once the run is over; it never
// changes a meter's result.
class HistoryWriter final : public cli::MeterObserver {
public:
    explicit HistoryWriter(const cli::RunRecord& run) : run_(run), log_(history::LogPath()) {}
    // Before anything is sent to the meter, so that a run that dies leaves its trace.
    void Begun(size_t, const cli::MeterRecord& m) override { Append(cli::StartLine(run_, m)); }
    void Finished(size_t, const cli::MeterRecord& m) override {
        if (m.contacted) Append(cli::RecordLine(run_, m));
    }
    void Warn() const {
        for (const auto& [why, count] : failures_)
            Tell("warning: " + std::to_string(count) + (count == 1 ? " record" : " records") +
                 " of the update history not written: " + why);
    }

private:
    void Append(const std::string& line) {
        if (auto why = history::AppendLine(log_, line)) {
            std::lock_guard<std::mutex> lock(mutex_);
            ++failures_[*why];
        }
    }

    const cli::RunRecord& run_;
    const std::filesystem::path log_;
    std::mutex mutex_;
    std::map<std::string, int> failures_;
};

// `history`: the records of this user's updates as a table or as JSON.
int ListHistory(const std::string& since, bool asJson) {
    std::optional<std::string> key;
    if (!since.empty() && !(key = history::SinceKey(since))) {
        return Refuse("--since " + since + ": not a date (YYYY-MM-DD or YYYY-MM-DDTHH:MM, UTC)");
    }
    const std::filesystem::path log = history::LogPath();
    if (log.empty()) {
        return Refuse(
            "no update history: the environment names no folder for this user's state "
            "(XDG_STATE_HOME, HOME or LOCALAPPDATA)");
    }
    history::LogContent content;
    try {
        content = history::ReadLog(log);
    } catch (const std::exception& e) {
        return Refuse(e.what());
    }
    if (content.missing) std::fprintf(stderr, "No update recorded yet in %s\n", log.string().c_str());
    if (content.unreadable > 0)
        Tell("warning: " + std::to_string(content.unreadable) + (content.unreadable == 1 ? " line" : " lines") +
             " of " + log.string() + (content.unreadable == 1 ? " is" : " are") +
             " no whole record (torn or damaged), left out");
    const auto runs = history::Runs(content.records, platform::ProcessRunning);
    const auto records = key ? history::StartedSince(runs, *key) : runs;
    if (asJson) {
        std::printf("%s\n", nlohmann::ordered_json(records).dump(2).c_str());
    } else {
        std::fputs(history::Table(records).c_str(), stdout);
    }
    return 0;
}

// "plan": the run as read, as JSON on the standard output; each refusal also
// on the standard error, as the run would say it.
int Preview(const cli::Plan& plan, const std::function<std::string(const std::string&)>& resolve) {
    std::optional<std::vector<cli::Reach>> reached;
    if (plan.connect && plan.refusals.empty()) {
        platform::StartSocketLibrary();
        reached = cli::TryModbusPorts(plan.Addresses(), plan.ports.modbus, plan.connectLimit, plan.jobs);
        platform::StopSocketLibrary();
    }
    std::printf("%s\n", cli::PreviewJson(plan, resolve, reached).dump(2).c_str());
    for (const std::string& why : plan.refusals) Tell(why);
    return plan.refusals.empty() ? cli::kAllSucceeded : cli::kNothingSent;
}

cli::FleetOptions FleetOptionsOf(const cli::Plan& plan) {
    cli::FleetOptions options;
    options.command = plan.command;
    options.password = plan.password;
    options.firmware = plan.Firmware();
    options.jobs = plan.jobs;
    options.connectLimit = plan.connectLimit;
    options.returnLimit = plan.returnLimit;
    options.expectedRevision = plan.expectedRevision;
    options.ports = plan.ports;
    options.trace = {plan.traceFolder, cli::kToolName, plan.run.firmwareSha256};
    if (plan.pacing)
        for (const cli::Host& h : plan.hosts) options.groups.push_back(h.group);
    return options;
}

// Runs every meter of the plan into `run`; the exit status when it ends
// before any meter is contacted.
std::optional<int> RunMeters(const cli::Plan& plan, cli::RunRecord& run) {
    HistoryWriter historyWriter(run);
    if (plan.hosts.empty()) {
        // Every meter of the earlier run succeeded: a rerun by a script is done at once.
        std::printf("Nothing to retry: every meter of %s succeeded.\n", plan.retryFile.c_str());
        run.started = run.finished = std::chrono::system_clock::now();
        return std::nullopt;
    }
    cli::FleetOptions options = FleetOptionsOf(plan);
    const std::vector<std::string> hosts = plan.Addresses();
    // Two sockets for each meter at work, and a few for the rest.
    const size_t sockets = 2 * std::min(static_cast<size_t>(options.jobs), hosts.size()) + 64;
    if (const auto allowed = platform::MakeRoomForSockets(sockets); allowed < sockets)
        return Refuse(std::to_string(options.jobs) + " meters at once need about " + std::to_string(sockets) +
                      " open files; this system allows " + std::to_string(allowed) +
                      " (ulimit -n): give a smaller --jobs");
    options.lockScope = platform::MeterLockScope();
    options.observers.push_back(&historyWriter);

    run.started = std::chrono::system_clock::now();
    std::optional<cli::LiveReport> live;
    if (!plan.reportFile.empty()) {
        live.emplace(run, hosts, [&plan](const std::string& text) { return WriteReportText(plan.reportFile, text); });
        if (const std::string why = live->Begin(); !why.empty())
            return Refuse("--report " + plan.reportFile + ": cannot be written: " + why);
        options.observers.push_back(&*live);
    }
    platform::StartSocketLibrary();
    update::CancelToken stop;
    const bool terminal = platform::IsTerminal(stdout);
    const platform::TerminalSize size = terminal ? platform::SizeOfTerminal(stdout) : platform::TerminalSize{};
    cli::Display display(stdout, cli::ChooseDisplay(terminal, hosts.size(), size.rows), hosts, plan.command,
                         size.columns);
    {
        // Ctrl-C, a hang-up or a termination request stops every meter at its next block.
        const platform::StopRequests stopRequests([&](int times) {
            if (times != 1) return;
            stop.Cancel();
            display.Say(
                "Stopping: each meter stops at its next block; meters not yet started are left alone. "
                "The report is still written.");
        });
        run.meters = cli::RunFleet(hosts, options, stop, display, &run.groups);
    }
    run.finished = std::chrono::system_clock::now();
    // The whole report follows, and no rewrite of the run's may land after it.
    if (live) live->Stop();
    display.Close();
    historyWriter.Warn();
    for (const cli::MeterRecord& m : run.meters)
        if (!m.traceProblem.empty()) Tell("warning: " + m.address + ": " + m.traceProblem);
    if (live && live->Failures() > 0)
        Tell("warning: the report was not kept up to date during the run (" + std::to_string(live->Failures()) +
             (live->Failures() == 1 ? " rewrite" : " rewrites") + " failed: " + live->LastFailure() +
             "); a crash meanwhile would have left an older one");
    platform::StopSocketLibrary();
    return std::nullopt;
}

// Writes the report when asked for; the exit status of the run. A report
// that cannot be written where asked is kept beside the update history: the
// meters' verdicts stand, and a script must not read them as "nothing sent".
int Report(const cli::Plan& plan, const cli::RunRecord& run) {
    bool allGood = true;
    for (const auto& m : run.meters) allGood = allGood && cli::Succeeded(m, plan.command);
    const int status = allGood ? cli::kAllSucceeded : cli::kSomeFailed;
    if (plan.reportFile.empty()) return status;
    const nlohmann::ordered_json report = cli::ReportJson(run);
    const std::string why = WriteReport(plan.reportFile, report);
    if (why.empty()) return status;
    Tell("--report " + plan.reportFile + ": cannot be written: " + why);
    const std::filesystem::path log = history::LogPath();
    if (!log.empty()) {
        std::string stamp = cli::IsoTime(run.started);
        std::replace(stamp.begin(), stamp.end(), ':', '-');
        const std::filesystem::path kept = log.parent_path() / ("report-" + stamp + ".json");
        std::error_code ec;
        std::filesystem::create_directories(kept.parent_path(), ec);
        const std::string keptWhy = WriteReport(kept, report);
        if (keptWhy.empty()) {
            Tell("the report is saved as " + kept.string());
            return status;
        }
        Tell(kept.string() + ": cannot be written either: " + keptWhy);
    }
    Tell("the report is lost; each meter's record is in the update history");
    return status;
}

}  // namespace

int main(int argc, char** argv) {
    platform::StopRequests::Hold();
    cli::PlanInputs inputs;
    inputs.environment = [](const char* name) -> std::optional<std::string> {
        const char* value = std::getenv(name);
        return value ? std::optional<std::string>(value) : std::nullopt;
    };
    inputs.prompt = [] { return platform::ReadLineWithoutEcho("Admin password: "); };
    // Name look-ups need the socket library on some systems; it is counted, so
    // each look-up may take it for itself.
    inputs.resolve = [](const std::string& host) -> std::string {
        try {
            platform::StartSocketLibrary();
            std::string dotted = net::HostToDotted(host);
            platform::StopSocketLibrary();
            return dotted;
        } catch (const platform::SocketLibraryError&) {
            return {};  // not looked up: the meter's own run says what it finds
        }
    };
    cli::Planned planned = cli::PlanRun(std::vector<std::string>(argv + 1, argv + argc), inputs);
    if (!planned.plan) {
        std::fputs(planned.out.c_str(), stdout);
        std::fputs(planned.err.c_str(), stderr);
        return planned.status;
    }
    cli::Plan& plan = *planned.plan;
    switch (plan.job) {
        case cli::Job::History: return ListHistory(plan.since, plan.historyJson);
        case cli::Job::MergeReports: return MergeReportsCommand(plan);
        case cli::Job::Preview: return Preview(plan, inputs.resolve);
        case cli::Job::Run: break;
    }
    cli::RunRecord& run = plan.run;
    try {
        if (const auto status = RunMeters(plan, run)) return *status;
    } catch (const std::exception& e) {
        return Refuse(e.what());
    }
    return Report(plan, run);
}
