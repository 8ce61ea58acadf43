#include "cli/Plan.h"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <system_error>

#include "cli/EarlierReports.h"
#include "image/ImageFormats.h"
#include "cli/Inputs.h"
#include "platform/File.h"
#include "brand/LoaderVersion.h"
#include "protocol/PasswordText.h"
#include "image/Sha256.h"

namespace cli {
namespace {

constexpr int kMaxJobs = 1024;
constexpr int kDefaultMaxJobs = 256;
// --connect-timeout's range, in milliseconds.
constexpr int kMinConnectMs = 500;
constexpr int kMaxConnectMs = 60000;
constexpr int kMaxReturnS = 3600;
constexpr char kPasswordVariable[] = "LOADER_PASSWORD";

// Why nothing will be sent.
struct Refusal {
    std::string what;
};
// A stop request at the password prompt: the program ends there.
struct StoppedAtPrompt {};

std::string ErrnoText(int error) {
    return error != 0 ? std::generic_category().message(error) : std::string("reason unknown");
}

std::string Read(const std::string& option, const std::string& path) {
    FileText file = ReadInputFile(option, path);
    if (!file.problem.empty()) throw Refusal{file.problem};
    return std::move(file.text);
}

bool IsSha256Hex(const std::string& text) {
    return text.size() == 64 && std::all_of(text.begin(), text.end(), [](unsigned char c) { return std::isxdigit(c); });
}

std::string Lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
    return text;
}

// Edits needed to turn one word into the other (Levenshtein).
size_t Distance(const std::string& a, const std::string& b) {
    std::vector<size_t> row(b.size() + 1);
    for (size_t j = 0; j <= b.size(); ++j) row[j] = j;
    for (size_t i = 1; i <= a.size(); ++i) {
        size_t diagonal = row[0];
        row[0] = i;
        for (size_t j = 1; j <= b.size(); ++j) {
            const size_t above = row[j];
            row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] == b[j - 1] ? 0 : 1)});
            diagonal = above;
        }
    }
    return row[b.size()];
}

// "update" for "updte": the subcommand a slip of the keyboard was meant to be.
std::optional<std::string> Suggestion(const std::string& typed, const std::vector<std::string>& commands) {
    for (const std::string& c : commands)
        if (Distance(Lower(typed), c) <= 2 || (typed.size() >= 3 && c.starts_with(Lower(typed)))) return c;
    return std::nullopt;
}

struct Arguments {
    Job job = Job::Run;
    Command command = Command::Update;
    std::vector<std::string> hosts;
    std::string hostsFile, passwordFile, reportFile, imageFile, refusedPassword, retryFile, expectedSha256;
    std::string traceFolder;
    bool expectGiven = false;  // even as an empty text, which is no pin
    int jobs = 0;
    int connectTimeoutMs = static_cast<int>(protocol::kConnectLimit.count());
    int backWithinS = static_cast<int>(update::kReturnLimit.count());
    std::string expectedRevision;
    core::MeterPorts ports;
    std::string groupBy = "/24";
    bool noPacing = false;
};

// A password file others may read has been seen by them: refused as ssh
// refuses such a key, before its first byte is read.
void CheckPasswordFilePrivate(const std::string& path) {
    if (const auto mode = platform::OpenToOthers(path)) {
        char octal[8];
        std::snprintf(octal, sizeof octal, "%04o", *mode);
        throw Refusal{"--password-file " + path + ": users besides its owner may read it (mode " + octal +
                      "); chmod 600 " + path + " makes it its owner's alone"};
    }
}

// The password, checked; `source` says where it comes from. A preview asks
// no one: a password still to be typed stays unknown.
std::string Password(const std::string& passwordFile, const PlanInputs& inputs, bool preview, PasswordSource& source) {
    std::string typed;
    std::string from;
    if (!passwordFile.empty()) {
        source.from = "--password-file " + passwordFile;
        source.usable = false;
        CheckPasswordFilePrivate(passwordFile);
        typed = PasswordFromFile(Read("--password-file", passwordFile));
        from = "the password in " + passwordFile;
    } else if (auto env = inputs.environment(kPasswordVariable)) {
        source.from = kPasswordVariable;
        typed = *env;
        from = std::string("the password in ") + kPasswordVariable;
    } else {
        source.from = "prompt";
        if (preview) return {};
        platform::TypedLine line = inputs.prompt();
        if (line.stopped) throw StoppedAtPrompt{};
        if (!line.asked)
            throw Refusal{std::string("no password: give --password-file FILE or set ") + kPasswordVariable};
        if (!line.text.empty() && line.text.back() == '\r') line.text.pop_back();
        typed = line.text;
        from = "the password typed";
    }
    source.usable = false;
    const auto bytes = protocol::PasswordBytes(typed);
    if (!bytes) throw Refusal{from + " has a character the meter cannot take (only Windows-1252 characters)"};
    if (auto why = PasswordProblem(*bytes)) throw Refusal{from + ": " + *why};
    source.usable = true;
    return *bytes;
}

// Fails early, before any meter is touched, when the report cannot be written.
void CheckReportWritable(const std::string& path) {
    const bool existed = static_cast<bool>(std::ifstream(path));
    errno = 0;
    if (!std::ofstream(path, std::ios::app))
        throw Refusal{"--report " + path + ": cannot be written: " + ErrnoText(errno)};
    if (!existed) std::remove(path.c_str());
}

// The meters of a run, from the arguments, a hosts file or an earlier report.
std::vector<Host> Hosts(Arguments& args, Plan& plan, const PlanInputs& inputs) {
    if (!args.retryFile.empty()) {
        if (!args.hosts.empty() || !args.hostsFile.empty())
            throw Refusal{"--retry-failed takes its meters from the report: give no HOST nor --hosts with it"};
        Retry retry = RetryFrom(args.retryFile, Read("--retry-failed", args.retryFile), args.command);
        if (!retry.problem.empty()) throw Refusal{retry.problem};
        args.hosts = std::move(retry.hosts);
        plan.run.continues = std::move(retry.from);
    }
    std::vector<Host> given;
    for (const std::string& h : args.hosts)
        given.push_back({h, args.retryFile.empty() ? "the command line" : "the report " + args.retryFile});
    if (!args.hostsFile.empty()) {
        const auto listed = HostsFromFile(Read("--hosts", args.hostsFile), args.hostsFile);
        given.insert(given.end(), listed.begin(), listed.end());
    }
    if (auto why = ExpandRanges(given)) throw Refusal{*why};
    if (!(plan.run.continues && given.empty()))
        if (auto why = HostListProblem(given)) throw Refusal{*why};
    if (auto why = SameMeterProblem(given, inputs.resolve)) throw Refusal{*why};
    return given;
}

// Each meter's group: the meters that share a path.
void GroupHosts(const std::string& groupBy, std::vector<Host>& hosts, const PlanInputs& inputs) {
    const auto prefix = GroupPrefix(groupBy);
    if (!prefix) throw Refusal{"--group-by " + groupBy + ": not a prefix length /0 to /32"};
    for (Host& h : hosts) h.group = GroupOf(h, *prefix, inputs.resolve);
}

// A retry writes the firmware of the run it continues, or nothing: another
// one would leave the site with two.
void CheckRetryFirmware(const Plan& plan) {
    const auto& earlier = plan.run.continues;
    if (plan.command != Command::Update || !earlier || earlier->firmwareSha256 == plan.run.firmwareSha256) return;
    const std::string retry = "--retry-failed " + earlier->report + ": ";
    const std::string now =
        "the firmware to be written now (" + plan.run.firmwareSource + ") has the SHA-256 " + plan.run.firmwareSha256;
    if (earlier->firmwareSha256.empty())
        throw Refusal{retry + "its report names no firmware, and " + now +
                      ": name the failed meters and the firmware instead; nothing was sent"};
    const std::string image = earlier->firmwareSource == history::kCompiledIn || earlier->firmwareSource.empty()
                                  ? std::string("no --image (the compiled-in firmware)")
                                  : "--image " + earlier->firmwareSource;
    throw Refusal{retry + "that run wrote the firmware " + earlier->firmwareSha256 + " (" +
                  (earlier->firmwareSource.empty() ? std::string("source not named") : earlier->firmwareSource) +
                  "), but " + now + ". Give that run's firmware: " + image + " with --expect-sha256 " +
                  earlier->firmwareSha256 + "; nothing was sent"};
}

// The firmware to write, checked against the pin.
void Firmware(const Arguments& args, Plan& plan) {
    if (args.expectGiven && args.expectedSha256.empty())
        throw Refusal{
            "--expect-sha256 is empty (an unset variable?): give the SHA-256 the firmware must have; nothing was "
            "sent"};
    if (!args.expectedSha256.empty() && !IsSha256Hex(args.expectedSha256))
        throw Refusal{"--expect-sha256 " + args.expectedSha256 + ": not a SHA-256 (64 hexadecimal digits)"};
    plan.run.firmwareSource = history::kCompiledIn;
    if (!args.imageFile.empty()) {
        image::ParseResult parsed = image::ParseImageFile(Read("--image", args.imageFile));
        if (!parsed.ok) throw Refusal{"--image " + args.imageFile + ": " + parsed.error};
        if (const std::string why = image::UnwritableProblem(parsed.bytes); !why.empty())
            throw Refusal{"--image " + args.imageFile + ": " + why};
        plan.imageBytes = std::move(parsed.bytes);
        plan.run.firmwareSource = args.imageFile;
    }
    plan.run.firmwareSha256 = image::ImageSha256Hex(plan.Firmware());
    // Both hashes are lower-case hex here.
    if (const std::string expected = Lower(args.expectedSha256);
        !expected.empty() && expected != plan.run.firmwareSha256)
        throw Refusal{"the firmware to be written (" + plan.run.firmwareSource + ") has the SHA-256 " +
                      plan.run.firmwareSha256 + ", not " + expected + " as --expect-sha256 requires; nothing was sent"};
}

// One check of a run. A run stops at its first refusal; a preview notes
// each and goes on with the checks that do not depend on it.
template <typename Check>
bool Passes(Plan& plan, Check check) {
    try {
        check();
        return true;
    } catch (const Refusal& r) {
        if (plan.job != Job::Preview) throw;
        plan.refusals.push_back(r.what);
        return false;
    }
}

void PlanUpdate(Arguments& args, Plan& plan, const PlanInputs& inputs) {
    const auto check = [&plan](auto step) { return Passes(plan, step); };
    check([&] {
        if (!args.refusedPassword.empty())
            throw Refusal{
                "--password is not taken: every user of this machine can read the command line. "
                "Use --password-file FILE or the environment variable " +
                std::string(kPasswordVariable)};
    });
    plan.command = plan.run.command = args.command;
    plan.run.toolVersion = LOADER_VERSION;
    const bool hostsKnown = check([&] { plan.hosts = Hosts(args, plan, inputs); });
    if (check([&] { Firmware(args, plan); }) && hostsKnown) check([&] { CheckRetryFirmware(plan); });
    check([&] {
        if (const std::string why = OverwritesAnInput("--report", args.reportFile,
                                                      {{"--retry-failed", args.retryFile},
                                                       {"--hosts", args.hostsFile},
                                                       {"--password-file", args.passwordFile},
                                                       {"--image", args.imageFile}});
            !why.empty())
            throw Refusal{why};
        if (!args.reportFile.empty()) CheckReportWritable(args.reportFile);
    });
    plan.reportFile = args.reportFile;
    plan.traceFolder = args.traceFolder;
    plan.retryFile = args.retryFile;
    plan.jobs = args.jobs > 0 ? args.jobs : std::clamp<int>(static_cast<int>(plan.hosts.size()), 1, kDefaultMaxJobs);
    plan.connectLimit = std::chrono::milliseconds(args.connectTimeoutMs);
    plan.ports = args.ports;
    plan.pacing = !args.noPacing;
    check([&] { GroupHosts(args.groupBy, plan.hosts, inputs); });
    plan.returnLimit = std::chrono::seconds(args.backWithinS);
    plan.expectedRevision = args.expectedRevision;
    check([&] {
        if (!plan.expectedRevision.empty() && plan.returnLimit == std::chrono::seconds::zero())
            throw Refusal{"--expect-revision needs the watch after the reset: give --back-within more than 0"};
    });
    if (hostsKnown && plan.hosts.empty()) return;  // nothing left to retry: no password needed
    check([&] { plan.password = Password(args.passwordFile, inputs, plan.job == Job::Preview, plan.passwordSource); });
}

// The options update and probe share.
void DeclareRunOptions(CLI::App& sub, Arguments& args) {
    sub.add_option("HOST", args.hosts,
                   "meter addresses (dotted IPv4, ranges a.b.c.d/n of at most " + std::to_string(kLargestRange) +
                       " addresses, or host names)")
        ->type_name("");
    sub.add_option("--hosts", args.hostsFile, "a file of meter addresses, one per line; # starts a comment")
        ->type_name("FILE");
    sub.add_option("--retry-failed", args.retryFile,
                   "take the meters from an earlier report of the same command: those whose result was not "
                   "updated or probed, and only those")
        ->type_name("REPORT");
    sub.add_option("--password-file", args.passwordFile, "read the admin password from the first line of FILE")
        ->type_name("FILE");
    sub.add_option("--jobs", args.jobs,
                   "meters updated at once, up to " + std::to_string(kMaxJobs) + " (default: all given, at most " +
                       std::to_string(kDefaultMaxJobs) + ")")
        ->check(CLI::Range(1, kMaxJobs))
        ->type_name("N");
    sub.add_option("--connect-timeout", args.connectTimeoutMs,
                   "how long each meter's Modbus TCP connection may take to come up, in milliseconds "
                   "(default " +
                       std::to_string(protocol::kConnectLimit.count()) + "; " + std::to_string(kMinConnectMs) + " to " +
                       std::to_string(kMaxConnectMs) + ")")
        ->check(CLI::Range(kMinConnectMs, kMaxConnectMs))
        ->type_name("MS");
    sub.add_option("--back-within", args.backWithinS,
                   "after the reset, wait up to SECONDS for each meter to answer on its Modbus TCP port again, and "
                   "fail it when it does not (default " +
                       std::to_string(update::kReturnLimit.count()) + "; 0 ends at the reset; at most " +
                       std::to_string(kMaxReturnS) + ")")
        ->check(CLI::Range(0, kMaxReturnS))
        ->type_name("SECONDS");
    sub.add_option("--expect-revision", args.expectedRevision,
                   "fail each meter that comes back with another firmware revision than TEXT")
        ->type_name("TEXT");
    sub.add_option("--report", args.reportFile, "write a JSON report of the run to FILE")->type_name("FILE");
    sub.add_option("--trace", args.traceFolder,
                   "write a support trace of each meter into DIR: a pcapng file of every frame exchanged with it, "
                   "the admin password masked")
        ->type_name("DIR");
    sub.add_option("--image", args.imageFile,
                   "firmware to write instead of the compiled-in one: a source declaration, Intel HEX or raw "
                   "binary of exactly 0x80000 bytes")
        ->type_name("FILE");
    sub.add_option("--group-by", args.groupBy,
                   "pace the meters of each IPv4 network of this prefix length as one, as if behind one router "
                   "(default /24; /32: each alone); a host list's line [gateway NAME] groups the hosts below it")
        ->type_name("/N");
    // Not in the help: for comparing runs with and without the pacing.
    sub.add_flag("--no-pacing", args.noPacing)->group("");
    sub.add_option("--password", args.refusedPassword)->group("");
    // Not in the help: meters serve the protocol's ports. Simulated meters
    // of a rehearsal or a test may serve others, which need no root.
    sub.add_option("--modbus-port", args.ports.modbus)->group("")->check(CLI::Range(1, 65535));
    sub.add_option("--boot-port", args.ports.boot)->group("")->check(CLI::Range(1, 65535));
}

// The subcommands and options, as --help lists them, filling `args` and `plan`.
struct Commands {
    CLI::App *update, *probe, *merge, *history, *plan, *planProbe;
    std::vector<CLI::Option*> expect;
};

// update or probe, beside their run options.
CLI::App* RunCommand(CLI::App& parent, Command command, Arguments& args) {
    CLI::App* sub = parent.add_subcommand(CommandName(command),
                                          command == Command::Update
                                              ? "Erase and write the firmware, then reset each meter."
                                              : "Boot-mode request, identification and reset, without programming.");
    DeclareRunOptions(*sub, args);
    return sub;
}

CLI::Option* DeclarePin(CLI::App& update, Arguments& args) {
    return update
        .add_option("--expect-sha256", args.expectedSha256,
                    "refuse to start, sending nothing, unless the firmware to be written has this SHA-256")
        ->type_name("HEX");
}

// "plan update ..." and "plan probe ...": the same arguments, read and checked, printed.
std::pair<CLI::App*, CLI::App*> DeclarePlan(CLI::App& app, Arguments& args, Plan& plan,
                                            std::vector<CLI::Option*>& pins) {
    auto* preview = app.add_subcommand(
        kPlanCommand,
        "Print as JSON what update or probe would do with the same arguments: each meter and the host-list entry it "
        "comes from, the firmware, whether the password can serve, and every refusal (exit status 2). Contacts no "
        "meter.");
    preview->require_subcommand(1);
    CLI::App* update = RunCommand(*preview, Command::Update, args);
    CLI::App* probe = RunCommand(*preview, Command::Probe, args);
    pins.push_back(DeclarePin(*update, args));
    for (CLI::App* sub : {update, probe})
        sub->add_flag("--connect", plan.connect,
                      "also open a TCP connection to each meter's Modbus port (502), and close it at once");
    return {preview, probe};
}

Commands Declare(CLI::App& app, Arguments& args, Plan& plan) {
    app.set_version_flag("--version", std::string(kToolName) + " " + LOADER_VERSION);
    app.require_subcommand(1);
    app.footer(
        "Exit status: 0 every meter updated (or probed), 1 any meter failed, was stopped or was busy, 2 usage "
        "or setup error (nothing was sent).");

    CLI::App* update = RunCommand(app, Command::Update, args);
    CLI::App* probe = RunCommand(app, Command::Probe, args);
    std::vector<CLI::Option*> pins = {DeclarePin(*update, args)};
    auto* merge = app.add_subcommand(
        kMergeCommand, "Join the reports of many runs (sites) into one JSON report with the counts per result.");
    merge->add_option("REPORT", plan.mergePaths, "reports written by --report")->type_name("")->required();
    merge->add_option("--output", plan.mergeOutput, "write the joined report to FILE instead of the standard output")
        ->type_name("FILE");
    merge->add_flag("--allow-mixed", plan.allowMixed,
                    "join reports of different commands (update and probe) or of different firmware");
    auto* historyList = app.add_subcommand(
        kHistoryCommand, "List the update history of this user: every meter updated or probed, here or in the window.");
    historyList->add_option("--since", plan.since, "only updates started on or after DATE (YYYY-MM-DD[THH:MM], UTC)")
        ->type_name("DATE");
    historyList->add_flag("--json", plan.historyJson, "print the records as a JSON array instead of a table");

    const auto [preview, previewProbe] = DeclarePlan(app, args, plan, pins);
    return {update, probe, merge, historyList, preview, previewProbe, pins};
}

}  // namespace

FileText ReadInputFile(const std::string& option, const std::string& path) {
    FileText file;
    std::error_code ec;
    if (std::filesystem::is_directory(path, ec)) {
        file.problem = option + " " + path + ": cannot be read: it is a folder, not a file";
        return file;
    }
    errno = 0;
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        file.problem = option + " " + path + ": cannot be read: " + ErrnoText(errno);
        return file;
    }
    std::ostringstream content;
    content << in.rdbuf();
    if (in.bad()) file.problem = option + " " + path + ": cannot be read: " + ErrnoText(errno);
    file.text = content.str();
    return file;
}

std::string OverwritesAnInput(const std::string& outputOption, const std::string& output,
                              const std::vector<std::pair<std::string, std::string>>& inputs) {
    if (output.empty()) return {};
    for (const auto& [option, input] : inputs) {
        std::error_code ec;
        if (!input.empty() && std::filesystem::equivalent(output, input, ec) && !ec)
            return outputOption + " " + output + " is the file given as " + option + " " + input +
                   "; writing it would destroy that input: name another file";
    }
    return {};
}

Planned PlanRun(const std::vector<std::string>& arguments, const PlanInputs& inputs) {
    CLI::App app{
        std::string("Updates the Ethernet module firmware of ") + kBrand.models +
            " meters, many at once, without a window.\nThe password comes from --password-file, the environment "
            "variable " +
            kPasswordVariable + ", or a prompt;\nnever from the command line.",
        kToolName};
    Arguments args;
    Plan plan;
    const Commands commands = Declare(app, args, plan);
    Planned planned;
    std::vector<std::string> argv = {kToolName};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    std::vector<const char*> pointers;
    for (const std::string& a : argv) pointers.push_back(a.c_str());
    try {
        app.parse(static_cast<int>(pointers.size()), pointers.data());
    } catch (const CLI::ParseError& e) {
        std::ostringstream out, err;
        const int rc = app.exit(e, out, err);
        planned.status = rc == 0 ? kAllSucceeded : kNothingSent;
        planned.out = out.str();
        planned.err = err.str();
        if (rc != 0 && app.get_subcommands().empty() && !arguments.empty() && !arguments[0].starts_with("-")) {
            if (auto meant = Suggestion(arguments[0], {CommandName(Command::Update), CommandName(Command::Probe),
                                                       kMergeCommand, kHistoryCommand, kPlanCommand}))
                planned.err = std::string(kToolName) + ": '" + arguments[0] + "' is no command; did you mean '" +
                              *meant + "'? (" + kToolName + " --help lists them)\n";
        }
        return planned;
    }
    try {
        if (commands.merge->parsed()) {
            plan.job = Job::MergeReports;
            std::vector<std::pair<std::string, std::string>> reports;
            for (const auto& path : plan.mergePaths) reports.emplace_back("a report to merge,", path);
            if (const std::string why = OverwritesAnInput("--output", plan.mergeOutput, reports); !why.empty())
                throw Refusal{why};
        } else if (commands.history->parsed()) {
            plan.job = Job::History;
        } else {
            if (commands.plan->parsed()) plan.job = Job::Preview;
            for (const CLI::Option* pin : commands.expect) args.expectGiven = args.expectGiven || pin->count() > 0;
            args.command = commands.probe->parsed() || commands.planProbe->parsed() ? Command::Probe : Command::Update;
            PlanUpdate(args, plan, inputs);
        }
    } catch (const Refusal& r) {
        planned.status = kNothingSent;
        planned.err = std::string(kToolName) + ": " + r.what + "\n";
        return planned;
    } catch (const StoppedAtPrompt&) {
        planned.status = kNothingSent;
        planned.err = std::string(kToolName) + ": stopped at the password prompt; nothing was sent\n";
        return planned;
    }
    planned.plan = std::move(plan);
    return planned;
}

}  // namespace cli
