// ethernet-loader-cli: updates (or probes) many meters at once, without a
// window, with the same engine and timing per meter as the window.
#include <CLI/CLI.hpp>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <mutex>
#include <optional>
#include <sstream>

#include "Brand.h"
#include "Console.h"
#include "Constants.h"
#include "EarlierReports.h"
#include "Fleet.h"
#include "ImageFormats.h"
#include "Inputs.h"
#include "LoaderVersion.h"
#include "Log.h"
#include "PasswordText.h"
#include "FlashImage.h"
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
        typed = cli::PasswordFromFile(ReadFile("--password-file", passwordFile));
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
    if (auto why = cli::PasswordProblem(*bytes)) throw SetupError{from + ": " + *why};
    return *bytes;
}

// Fails early, before any meter is touched, when the report cannot be written.
void CheckReportWritable(const std::string& path) {
    const bool existed = static_cast<bool>(std::ifstream(path));
    if (!std::ofstream(path, std::ios::app)) throw SetupError{"--report " + path + ": cannot be written"};
    if (!existed) std::remove(path.c_str());
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
    std::vector<cli::ReportFile> files;
    for (const auto& path : paths) files.push_back({path, ReadFile("merge-reports", path)});
    const cli::Merged merged = cli::MergeReports(files, LOADER_VERSION);
    if (!merged.problem.empty()) throw SetupError{"merge-reports: " + merged.problem};
    if (output.empty()) {
        std::printf("%s\n", merged.report.dump(2).c_str());
    } else if (!WriteReport(output, merged.report)) {
        throw SetupError{"--output " + output + ": cannot be written"};
    }
    std::fprintf(stderr, "%s\n", merged.counts.c_str());
    return merged.allSucceeded ? 0 : 1;
}

// The update history's records: one line per meter contacted, written as
// each meter ends. A failure is a warning once the run is over; it never
// changes a meter's result.
class HistoryWriter {
public:
    explicit HistoryWriter(const cli::RunRecord& run) : run_(run), log_(history::LogPath()) {}
    void Write(const cli::MeterRecord& m) {
        if (!m.contacted) return;
        if (auto why = history::AppendLine(log_, cli::RecordLine(run_, m))) {
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
    const cli::RunRecord& run_;
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

struct Arguments {
    cli::Command command = cli::Command::Update;
    bool mergeReports = false;
    bool listHistory = false;
    std::string since;  // history: only updates started on or after it
    bool historyJson = false;
    std::vector<std::string> hosts;
    std::string hostsFile, passwordFile, reportFile, imageFile, refusedPassword, retryFile, expectedSha256;
    int jobs = 0;
    int connectTimeoutMs = static_cast<int>(protocol::kConnectLimit.count());
    std::vector<std::string> mergePaths;
    std::string mergeOutput;
};

// The command line as given; nothing when it ends the program here (help,
// version or a usage error), with the exit status in `exitCode`.
std::optional<Arguments> ParseArguments(int argc, char** argv, int& exitCode) {
    CLI::App app{
        "Updates the Ethernet module firmware of QT510x/QT520x meters, many at once, without a window.\n"
        "The password comes from --password-file, the environment variable LOADER_PASSWORD, or a prompt;\n"
        "never from the command line.",
        "ethernet-loader-cli"};
    app.set_version_flag("--version", std::string("ethernet-loader-cli ") + LOADER_VERSION);
    app.require_subcommand(1);
    app.footer("Exit status: 0 every meter updated (or probed), 1 any meter failed, 2 usage or setup error.");

    Arguments args;
    auto* update = app.add_subcommand("update", "Erase and write the firmware, then reset each meter.");
    auto* probe = app.add_subcommand("probe", "Boot-mode request, identification and reset, without programming.");
    for (CLI::App* sub : {update, probe}) {
        sub->add_option("HOST", args.hosts, "meter addresses (dotted IPv4 or host names)")->type_name("");
        sub->add_option("--hosts", args.hostsFile, "a file of meter addresses, one per line; # starts a comment")
            ->type_name("FILE");
        sub->add_option("--retry-failed", args.retryFile,
                        "take the meters from an earlier report of the same command: those whose result was not "
                        "updated or probed, and only those")
            ->type_name("REPORT");
        sub->add_option("--password-file", args.passwordFile, "read the admin password from the first line of FILE")
            ->type_name("FILE");
        sub->add_option("--jobs", args.jobs, "meters updated at once, up to 1024 (default: all given, at most 256)")
            ->check(CLI::Range(1, kMaxJobs))
            ->type_name("N");
        sub->add_option("--connect-timeout", args.connectTimeoutMs,
                        "how long each meter's Modbus TCP connection may take to come up, in milliseconds "
                        "(default 5000; at least 500)")
            ->check(CLI::Range(500, 60000))
            ->type_name("MS");
        sub->add_option("--report", args.reportFile, "write a JSON report of the run to FILE")->type_name("FILE");
        sub->add_option("--image", args.imageFile,
                        "firmware to write instead of the compiled-in one: a source declaration, Intel HEX or raw "
                        "binary of exactly 0x80000 bytes")
            ->type_name("FILE");
        sub->add_option("--password", args.refusedPassword)->group("");
    }
    update
        ->add_option("--expect-sha256", args.expectedSha256,
                     "refuse to start, sending nothing, unless the firmware to be written has this SHA-256")
        ->type_name("HEX");
    auto* merge = app.add_subcommand(
        "merge-reports", "Join the reports of many runs (sites) into one JSON report with the counts per result.");
    merge->add_option("REPORT", args.mergePaths, "reports written by --report")->type_name("")->required();
    merge->add_option("--output", args.mergeOutput, "write the joined report to FILE instead of the standard output")
        ->type_name("FILE");
    auto* historyList = app.add_subcommand(
        "history", "List the update history of this user: every meter updated or probed, here or in the window.");
    historyList->add_option("--since", args.since, "only updates started on or after DATE (YYYY-MM-DD[THH:MM], UTC)")
        ->type_name("DATE");
    historyList->add_flag("--json", args.historyJson, "print the records as a JSON array instead of a table");

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        const int rc = app.exit(e);
        exitCode = rc == 0 ? 0 : kUsageError;
        return std::nullopt;
    }
    args.mergeReports = merge->parsed();
    args.listHistory = historyList->parsed();
    args.command = probe->parsed() ? cli::Command::Probe : cli::Command::Update;
    return args;
}

// Reads the inputs and runs every meter into `run`; false after a setup
// error, which is said on stderr before any meter is touched.
bool Run(Arguments& args, cli::RunRecord& run) {
    std::vector<uint8_t> imageBytes;
    run.command = args.command;
    run.toolVersion = LOADER_VERSION;
    run.brand = brand::kBrands[0].name;
    HistoryWriter historyWriter(run);
    std::string password;
    try {
        if (!args.refusedPassword.empty())
            throw SetupError{
                "--password is not taken: every user of this machine can read the command line. "
                "Use --password-file FILE or the environment variable LOADER_PASSWORD"};
        if (!args.retryFile.empty()) {
            if (!args.hosts.empty() || !args.hostsFile.empty())
                throw SetupError{"--retry-failed takes its meters from the report: give no HOST nor --hosts with it"};
            cli::Retry retry = cli::RetryFrom(args.retryFile, ReadFile("--retry-failed", args.retryFile), args.command);
            if (!retry.problem.empty()) throw SetupError{retry.problem};
            args.hosts = std::move(retry.hosts);
            run.continues = std::move(retry.from);
        }
        std::vector<cli::Host> given;
        for (const std::string& h : args.hosts)
            given.push_back({h, args.retryFile.empty() ? "the command line" : "the report " + args.retryFile});
        if (!args.hostsFile.empty()) {
            const auto listed = cli::HostsFromFile(ReadFile("--hosts", args.hostsFile), args.hostsFile);
            given.insert(given.end(), listed.begin(), listed.end());
        }
        if (!args.expectedSha256.empty() && !IsSha256Hex(args.expectedSha256))
            throw SetupError{"--expect-sha256 " + args.expectedSha256 + ": not a SHA-256 (64 hexadecimal digits)"};
        if (!(run.continues && given.empty()))
            if (auto why = cli::HostListProblem(given)) throw SetupError{*why};
        args.hosts.clear();
        for (const cli::Host& h : given) args.hosts.push_back(h.address);
        image::ImageView firmware = image::EmbeddedImage();
        run.firmwareSource = "compiled-in";
        if (!args.imageFile.empty()) {
            image::ParseResult parsed = image::ParseImageFile(ReadFile("--image", args.imageFile));
            if (!parsed.ok) throw SetupError{"--image " + args.imageFile + ": " + parsed.error};
            imageBytes = std::move(parsed.bytes);
            firmware = image::ImageView(imageBytes.data(), image::kImageSize);
            run.firmwareSource = args.imageFile;
        }
        run.firmwareSha256 = image::ImageSha256Hex(firmware);
        // Both hashes are lower-case hex here.
        if (const std::string expected = Lower(args.expectedSha256);
            !expected.empty() && expected != run.firmwareSha256)
            throw SetupError{"the firmware to be written (" + run.firmwareSource + ") has the SHA-256 " +
                             run.firmwareSha256 + ", not " + expected +
                             " as --expect-sha256 requires; nothing was sent"};
        if (!args.reportFile.empty()) CheckReportWritable(args.reportFile);
        if (args.hosts.empty()) {
            // Every meter of the earlier run succeeded: a rerun by a script is done at once.
            std::printf("Nothing to retry: every meter of %s succeeded.\n", args.retryFile.c_str());
            run.started = run.finished = std::chrono::system_clock::now();
        } else {
            password = Password(args.passwordFile);

            cli::FleetOptions options;
            options.command = args.command;
            options.password = password;
            options.firmware = firmware;
            options.connectLimit = std::chrono::milliseconds(args.connectTimeoutMs);
            options.jobs =
                args.jobs > 0 ? args.jobs : std::min<int>(static_cast<int>(args.hosts.size()), kDefaultMaxJobs);
            // Two sockets for each meter at work, and a few for the rest.
            const size_t sockets = 2 * std::min(static_cast<size_t>(options.jobs), args.hosts.size()) + 64;
            if (const auto allowed = platform::MakeRoomForSockets(sockets); allowed < sockets)
                throw SetupError{std::to_string(options.jobs) + " meters at once need about " +
                                 std::to_string(sockets) + " open files; this system allows " +
                                 std::to_string(allowed) + " (ulimit -n): give a smaller --jobs"};
            options.finished = [&historyWriter](const cli::MeterRecord& m) { historyWriter.Write(m); };

            platform::StartSocketLibrary();
            update::CancelToken stop;
            const bool terminal = platform::IsTerminal(stdout);
            const platform::TerminalSize size = terminal ? platform::SizeOfTerminal(stdout) : platform::TerminalSize{};
            cli::Display display(stdout, cli::ChooseDisplay(terminal, args.hosts.size(), size.rows), args.hosts,
                                 args.command, size.columns);
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
                run.meters = cli::RunFleet(args.hosts, options, stop, display);
            }
            run.finished = std::chrono::system_clock::now();
            display.Close();
            historyWriter.Warn();
            platform::StopSocketLibrary();
        }
    } catch (const SetupError& e) {
        std::fprintf(stderr, "ethernet-loader-cli: %s\n", e.what.c_str());
        return false;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "ethernet-loader-cli: %s\n", e.what());
        return false;
    }
    return true;
}

// Writes the report when asked for; the exit status of the run.
int Report(const Arguments& args, const cli::RunRecord& run) {
    bool allGood = true;
    for (const auto& m : run.meters) allGood = allGood && cli::Succeeded(m, args.command);
    if (!args.reportFile.empty() && !WriteReport(args.reportFile, cli::ReportJson(run))) {
        std::fprintf(stderr, "ethernet-loader-cli: --report %s: cannot be written\n", args.reportFile.c_str());
        return kUsageError;
    }
    return allGood ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    platform::StopRequests::Hold();
    int exitCode = 0;
    std::optional<Arguments> args = ParseArguments(argc, argv, exitCode);
    if (!args) return exitCode;
    if (args->listHistory) return ListHistory(args->since, args->historyJson);
    if (args->mergeReports) {
        try {
            return MergeReportsCommand(args->mergePaths, args->mergeOutput);
        } catch (const SetupError& e) {
            std::fprintf(stderr, "ethernet-loader-cli: %s\n", e.what.c_str());
            return kUsageError;
        }
    }
    cli::RunRecord run;
    if (!Run(*args, run)) return kUsageError;
    return Report(*args, run);
}
