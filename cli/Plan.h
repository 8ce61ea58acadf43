// The command line read and checked, before anything is sent: which command,
// and for a run its meters, firmware, password and report. What comes from
// outside the arguments (the environment, the terminal, name look-ups) is
// handed in, so that every refusal can be tried without a process.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "platform/Console.h"
#include "protocol/Constants.h"
#include "image/FlashImage.h"
#include "cli/Inputs.h"
#include "core/MeterRun.h"
#include "update/ReturnWatch.h"
#include "cli/Report.h"

namespace cli {

// The exit statuses, as the README's table gives them.
enum ExitStatus {
    kAllSucceeded = 0,  // every meter updated (or probed); merge: every meter of the reports
    kSomeFailed = 1,    // any meter not; the report says which and in what state
    kNothingSent = 2,   // a usage or setup error, said before any meter was contacted
};

struct PlanInputs {
    // The value of an environment variable, or nothing.
    std::function<std::optional<std::string>(const char* name)> environment;
    // The password typed at a prompt without echo.
    std::function<platform::TypedLine()> prompt;
    // A host's dotted IPv4 address by the system's rules; empty when unknown.
    std::function<std::string(const std::string& host)> resolve;
};

enum class Job { Run, Preview, MergeReports, History };
// The subcommands of the jobs besides a run (update or probe: CommandName).
inline constexpr char kMergeCommand[] = "merge-reports";
inline constexpr char kHistoryCommand[] = "history";
// The tool's reading of a run, without running it: "plan update ...".
inline constexpr char kPlanCommand[] = "plan";

// Where the password of a run comes from, and whether it can serve.
struct PasswordSource {
    std::string from;            // "--password-file FILE", "LOADER_PASSWORD" or "prompt"
    std::optional<bool> usable;  // nothing: known only once typed
};

struct Plan {
    Job job = Job::Run;
    // Run: the meters, in order; the record the run fills in; the firmware.
    Command command = Command::Update;
    std::vector<Host> hosts;  // each with the host-list entry it comes from
    RunRecord run;
    std::vector<uint8_t> imageBytes;  // empty: the compiled-in image
    std::string password;             // Windows-1252 bytes, checked
    int jobs = 1;
    // How long each meter's Modbus TCP handshake may take.
    std::chrono::milliseconds connectLimit = protocol::kConnectLimit;
    core::MeterPorts ports;  // the protocol's, but for simulated meters
    // The meters of each group (Host::group) share a path and are paced as
    // one; off: every block goes at once, as for a meter alone.
    bool pacing = true;
    // How long each meter is watched for its return after "RESET" (0: not),
    // and the firmware revision it must come back with (empty: any).
    std::chrono::seconds returnLimit = update::kReturnLimit;
    std::string expectedRevision;
    std::string reportFile;
    std::string traceFolder;  // empty: no support traces
    std::string retryFile;    // given: an empty host list means nothing is left to retry
    // Preview: what a run of these arguments would refuse, in the words the
    // run would use, each stage's first; and whether to try each meter's port.
    std::vector<std::string> refusals;
    PasswordSource passwordSource;
    bool connect = false;
    // MergeReports: the reports to join and where.
    std::vector<std::string> mergePaths;
    std::string mergeOutput;
    bool allowMixed = false;
    // History: the listing asked for.
    std::string since;
    bool historyJson = false;

    std::vector<std::string> Addresses() const {
        std::vector<std::string> addresses;
        for (const Host& h : hosts) addresses.push_back(h.address);
        return addresses;
    }

    image::ImageView Firmware() const {
        return imageBytes.empty() ? image::EmbeddedImage() : image::ImageView(imageBytes.data(), image::kImageSize);
    }
};

// Either a plan, or what to print and the exit status: help, the version, or
// why nothing will be sent.
struct Planned {
    std::optional<Plan> plan;
    int status = kAllSucceeded;
    std::string out, err;  // for the standard output and error, when there is no plan
};

// `arguments` without the program's name.
Planned PlanRun(const std::vector<std::string>& arguments, const PlanInputs& inputs);

// A whole file, or why not as "OPTION PATH: cannot be read: reason".
struct FileText {
    std::string text, problem;
};
FileText ReadInputFile(const std::string& option, const std::string& path);

// Why `output` must not be written, or empty: it is one of the inputs
// (option, path) of the same command, compared as files, not as names.
std::string OverwritesAnInput(const std::string& outputOption, const std::string& output,
                              const std::vector<std::pair<std::string, std::string>>& inputs);

}  // namespace cli
