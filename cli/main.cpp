// ethernet-loader-cli: updates (or probes) many meters at once, without a
// window, with the same engine and timing per meter as the window.
#include <CLI/CLI.hpp>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <map>
#include <mutex>
#include <sstream>

#include "Brand.h"
#include "Console.h"
#include "EarlierReports.h"
#include "Fleet.h"
#include "ImageFormats.h"
#include "Inputs.h"
#include "LoaderVersion.h"
#include "Log.h"
#include "PasswordText.h"
#include "Sha256.h"
#include "Socket.h"

namespace {

constexpr int kUsageError = 2;
constexpr int kMaxJobs = 1024;
constexpr int kDefaultMaxJobs = 256;
constexpr char kPasswordVariable[] = "LOADER_PASSWORD";

struct SetupError {
    std::string what;
};

std::string ReadFile(const std::string& option, const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw SetupError{option + " " + path + ": cannot be read"};
    std::ostringstream content;
    content << in.rdbuf();
    if (in.bad()) throw SetupError{option + " " + path + ": cannot be read"};
    return content.str();
}

// Asks on the terminal, without echo; nothing when there is no terminal.
std::optional<std::string> PromptPassword() {
    std::optional<std::string> line = platform::ReadLineWithoutEcho("Admin password: ");
    if (line && !line->empty() && line->back() == '\r') line->pop_back();
    return line;
}

std::string Password(const std::string& passwordFile) {
    std::string typed;
    std::string from;
    if (!passwordFile.empty()) {
        typed = fleet::PasswordFromFile(ReadFile("--password-file", passwordFile));
        from = "the password in " + passwordFile;
    } else if (const char* env = std::getenv(kPasswordVariable)) {
        typed = env;
        from = std::string("the password in ") + kPasswordVariable;
    } else if (auto prompted = PromptPassword()) {
        typed = *prompted;
        from = "the password typed";
    } else {
        throw SetupError{std::string("no password: give --password-file FILE or set ") + kPasswordVariable};
    }
    const auto bytes = protocol::PasswordBytes(typed);
    if (!bytes) throw SetupError{from + " has a character the meter cannot take (only Windows-1252 characters)"};
    if (auto why = fleet::PasswordProblem(*bytes)) throw SetupError{from + ": " + *why};
    return *bytes;
}

// Fails early, before any meter is touched, when the report cannot be written.
void CheckReportWritable(const std::string& path) {
    const bool existed = static_cast<bool>(std::ifstream(path));
    if (!std::ofstream(path, std::ios::app)) throw SetupError{"--report " + path + ": cannot be written"};
    if (!existed) std::remove(path.c_str());
}

// The update history's records: one line per meter contacted, written as
// each meter ends. A failure is a warning once the run is over; it never
// changes a meter's result.
class HistoryWriter {
public:
    explicit HistoryWriter(const fleet::RunRecord& run) : run_(run), log_(history::LogPath()) {}
    void Write(const fleet::MeterRecord& m) {
        if (!m.contacted) return;
        if (auto why = history::AppendLine(log_, fleet::RecordLine(run_, m))) {
            std::lock_guard<std::mutex> lock(mutex_);
            ++failures_[*why];
        }
    }
    void Warn() const {
        for (const auto& [why, count] : failures_)
            std::fprintf(stderr, "ethernet-loader-cli: warning: %d record%s of the update history not written: %s\n",
                         count, count == 1 ? "" : "s", why.c_str());
    }

private:
    const fleet::RunRecord& run_;
    const std::filesystem::path log_;
    std::mutex mutex_;
    std::map<std::string, int> failures_;
};

// `history`: the records of this user's updates as a table or as JSON.
int ListHistory(const std::string& since, bool asJson) {
    std::optional<std::string> key;
    if (!since.empty() && !(key = history::SinceKey(since))) {
        std::fprintf(stderr, "ethernet-loader-cli: --since %s: not a date (YYYY-MM-DD or YYYY-MM-DDTHH:MM, UTC)\n",
                     since.c_str());
        return kUsageError;
    }
    const std::filesystem::path log = history::LogPath();
    if (log.empty()) {
        std::fprintf(stderr,
                     "ethernet-loader-cli: no update history: the environment names no folder for this user's state "
                     "(XDG_STATE_HOME, HOME or LOCALAPPDATA)\n");
        return kUsageError;
    }
    history::LogContent content;
    try {
        content = history::ReadLog(log);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "ethernet-loader-cli: %s\n", e.what());
        return kUsageError;
    }
    if (content.missing) std::fprintf(stderr, "No update recorded yet in %s\n", log.string().c_str());
    if (content.unreadable > 0)
        std::fprintf(stderr, "ethernet-loader-cli: warning: %d line%s of %s %s no record, left out\n",
                     content.unreadable, content.unreadable == 1 ? "" : "s", log.string().c_str(),
                     content.unreadable == 1 ? "is" : "are");
    const auto records = key ? history::StartedSince(content.records, *key) : content.records;
    if (asJson) {
        std::printf("%s\n", nlohmann::ordered_json(records).dump(2).c_str());
    } else {
        std::fputs(history::Table(records).c_str(), stdout);
    }
    return 0;
}

bool IsSha256Hex(const std::string& text) {
    return text.size() == 64 && std::all_of(text.begin(), text.end(), [](unsigned char c) { return std::isxdigit(c); });
}

std::string Lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
    return text;
}

bool WriteReport(const std::string& path, const nlohmann::ordered_json& report) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << report.dump(2) << "\n";
    out.close();
    return static_cast<bool>(out);
}

// Joins the reports of many sites into one; 0 when every meter of them
// succeeded, 1 when any did not.
int MergeReportsCommand(const std::vector<std::string>& paths, const std::string& output) {
    std::vector<fleet::ReportFile> files;
    for (const auto& path : paths) files.push_back({path, ReadFile("merge-reports", path)});
    const fleet::Merged merged = fleet::MergeReports(files, LOADER_VERSION);
    if (!merged.problem.empty()) throw SetupError{"merge-reports: " + merged.problem};
    if (output.empty()) {
        std::printf("%s\n", merged.report.dump(2).c_str());
    } else if (!WriteReport(output, merged.report)) {
        throw SetupError{"--output " + output + ": cannot be written"};
    }
    std::fprintf(stderr, "%s\n", merged.counts.c_str());
    return merged.allSucceeded ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    platform::StopRequests::Hold();
    CLI::App app{
        "Updates the Ethernet module firmware of QT510x/QT520x meters, many at once, without a window.\n"
        "The password comes from --password-file, the environment variable LOADER_PASSWORD, or a prompt;\n"
        "never from the command line.",
        "ethernet-loader-cli"};
    app.set_version_flag("--version", std::string("ethernet-loader-cli ") + LOADER_VERSION);
    app.require_subcommand(1);
    app.footer("Exit status: 0 every meter updated (or probed), 1 any meter failed, 2 usage or setup error.");

    std::vector<std::string> hosts;
    std::string hostsFile, passwordFile, reportFile, imageFile, refusedPassword, retryFile, expectedSha256;
    int jobs = 0;
    auto* update = app.add_subcommand("update", "Erase and write the firmware, then reset each meter.");
    auto* probe = app.add_subcommand("probe", "Boot-mode request, identification and reset, without programming.");
    for (CLI::App* sub : {update, probe}) {
        sub->add_option("HOST", hosts, "meter addresses (dotted IPv4 or host names)")->type_name("");
        sub->add_option("--hosts", hostsFile, "a file of meter addresses, one per line; # starts a comment")
            ->type_name("FILE");
        sub->add_option("--retry-failed", retryFile,
                        "take the meters from an earlier report of the same command: those whose result was not "
                        "updated or probed, and only those")
            ->type_name("REPORT");
        sub->add_option("--password-file", passwordFile, "read the admin password from the first line of FILE")
            ->type_name("FILE");
        sub->add_option("--jobs", jobs, "meters updated at once, up to 1024 (default: all given, at most 256)")
            ->check(CLI::Range(1, kMaxJobs))
            ->type_name("N");
        sub->add_option("--report", reportFile, "write a JSON report of the run to FILE")->type_name("FILE");
        sub->add_option("--image", imageFile,
                        "firmware to write instead of the compiled-in one: a source declaration, Intel HEX or raw "
                        "binary of exactly 0x80000 bytes")
            ->type_name("FILE");
        sub->add_option("--password", refusedPassword)->group("");
    }
    update
        ->add_option("--expect-sha256", expectedSha256,
                     "refuse to start, sending nothing, unless the firmware to be written has this SHA-256")
        ->type_name("HEX");
    std::vector<std::string> mergePaths;
    std::string mergeOutput;
    auto* merge = app.add_subcommand(
        "merge-reports", "Join the reports of many runs (sites) into one JSON report with the counts per result.");
    merge->add_option("REPORT", mergePaths, "reports written by --report")->type_name("")->required();
    merge->add_option("--output", mergeOutput, "write the joined report to FILE instead of the standard output")
        ->type_name("FILE");
    std::string since;
    bool historyJson = false;
    auto* historyList = app.add_subcommand(
        "history", "List the update history of this user: every meter updated or probed, here or in the window.");
    historyList->add_option("--since", since, "only updates started on or after DATE (YYYY-MM-DD[THH:MM], UTC)")
        ->type_name("DATE");
    historyList->add_flag("--json", historyJson, "print the records as a JSON array instead of a table");

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        const int rc = app.exit(e);
        return rc == 0 ? 0 : kUsageError;
    }
    if (historyList->parsed()) return ListHistory(since, historyJson);
    if (merge->parsed()) {
        try {
            return MergeReportsCommand(mergePaths, mergeOutput);
        } catch (const SetupError& e) {
            std::fprintf(stderr, "ethernet-loader-cli: %s\n", e.what.c_str());
            return kUsageError;
        }
    }
    const fleet::Command command = probe->parsed() ? fleet::Command::Probe : fleet::Command::Update;

    std::vector<uint8_t> imageBytes;
    fleet::RunRecord run;
    run.command = command;
    run.toolVersion = LOADER_VERSION;
    run.brand = brand::kBrands[0].name;
    HistoryWriter historyWriter(run);
    std::string password;
    try {
        if (!refusedPassword.empty())
            throw SetupError{
                "--password is not taken: every user of this machine can read the command line. "
                "Use --password-file FILE or the environment variable LOADER_PASSWORD"};
        if (!retryFile.empty()) {
            if (!hosts.empty() || !hostsFile.empty())
                throw SetupError{"--retry-failed takes its meters from the report: give no HOST nor --hosts with it"};
            fleet::Retry retry = fleet::RetryFrom(retryFile, ReadFile("--retry-failed", retryFile), command);
            if (!retry.problem.empty()) throw SetupError{retry.problem};
            hosts = std::move(retry.hosts);
            run.continues = std::move(retry.from);
        }
        std::vector<fleet::Host> given;
        for (const std::string& h : hosts)
            given.push_back({h, retryFile.empty() ? "the command line" : "the report " + retryFile});
        if (!hostsFile.empty()) {
            const auto listed = fleet::HostsFromFile(ReadFile("--hosts", hostsFile), hostsFile);
            given.insert(given.end(), listed.begin(), listed.end());
        }
        if (!expectedSha256.empty() && !IsSha256Hex(expectedSha256))
            throw SetupError{"--expect-sha256 " + expectedSha256 + ": not a SHA-256 (64 hexadecimal digits)"};
        if (!(run.continues && given.empty()))
            if (auto why = fleet::HostListProblem(given)) throw SetupError{*why};
        hosts.clear();
        for (const fleet::Host& h : given) hosts.push_back(h.address);
        image::ImageView firmware = image::EmbeddedImage();
        run.firmwareSource = "compiled-in";
        if (!imageFile.empty()) {
            image::ParseResult parsed = image::ParseImageFile(ReadFile("--image", imageFile));
            if (!parsed.ok) throw SetupError{"--image " + imageFile + ": " + parsed.error};
            imageBytes = std::move(parsed.bytes);
            firmware = image::ImageView(imageBytes.data(), image::kImageSize);
            run.firmwareSource = imageFile;
        }
        run.firmwareSha256 = image::Sha256Hex(firmware);
        if (!expectedSha256.empty() && Lower(expectedSha256) != Lower(run.firmwareSha256))
            throw SetupError{"the firmware to be written (" + run.firmwareSource + ") has the SHA-256 " +
                             run.firmwareSha256 + ", not " + Lower(expectedSha256) +
                             " as --expect-sha256 requires; nothing was sent"};
        if (!reportFile.empty()) CheckReportWritable(reportFile);
        if (hosts.empty()) {
            // Every meter of the earlier run succeeded: a rerun by a script is done at once.
            std::printf("Nothing to retry: every meter of %s succeeded.\n", retryFile.c_str());
            run.started = run.finished = std::chrono::system_clock::now();
        } else {
            password = Password(passwordFile);

            fleet::FleetOptions options;
            options.command = command;
            options.password = password;
            options.firmware = firmware;
            options.jobs = jobs > 0 ? jobs : std::min<int>(static_cast<int>(hosts.size()), kDefaultMaxJobs);
            // Two sockets for each meter at work, and a few for the rest.
            const size_t sockets = 2 * std::min(static_cast<size_t>(options.jobs), hosts.size()) + 64;
            if (const auto allowed = platform::MakeRoomForSockets(sockets); allowed < sockets)
                throw SetupError{std::to_string(options.jobs) + " meters at once need about " +
                                 std::to_string(sockets) + " open files; this system allows " +
                                 std::to_string(allowed) + " (ulimit -n): give a smaller --jobs"};
            options.finished = [&historyWriter](const fleet::MeterRecord& m) { historyWriter.Write(m); };

            platform::StartSocketLibrary();
            loader::CancelToken stop;
            const bool terminal = platform::IsTerminal(stdout);
            const platform::TerminalSize size = terminal ? platform::SizeOfTerminal(stdout) : platform::TerminalSize{};
            fleet::Display display(stdout, fleet::ChooseDisplay(terminal, hosts.size(), size.rows), hosts, command,
                                   size.columns);
            run.started = std::chrono::system_clock::now();
            {
                // Ctrl-C (or a termination request) stops every meter at its next block.
                const platform::StopRequests stopRequests([&](int times) {
                    if (times != 1) return;
                    stop.Cancel();
                    display.Say(
                        "Stopping: each meter stops at its next block; meters not yet started are left alone. "
                        "The report is still written.");
                });
                run.meters = fleet::RunFleet(hosts, options, stop, display);
            }
            run.finished = std::chrono::system_clock::now();
            display.Close();
            historyWriter.Warn();
            platform::StopSocketLibrary();
        }
    } catch (const SetupError& e) {
        std::fprintf(stderr, "ethernet-loader-cli: %s\n", e.what.c_str());
        return kUsageError;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "ethernet-loader-cli: %s\n", e.what());
        return kUsageError;
    }

    bool allGood = true;
    for (const auto& m : run.meters) allGood = allGood && fleet::Succeeded(m, command);
    if (!reportFile.empty() && !WriteReport(reportFile, fleet::ReportJson(run))) {
        std::fprintf(stderr, "ethernet-loader-cli: --report %s: cannot be written\n", reportFile.c_str());
        return kUsageError;
    }
    return allGood ? 0 : 1;
}
