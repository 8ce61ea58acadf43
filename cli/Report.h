// The outcome of each meter of a run, in words and as the JSON report.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "brand/Brand.h"
#include "history/Record.h"
#include "update/UpdateEvents.h"

namespace cli {

// The program's name, as its messages begin and as its reports name the tool.
inline constexpr char kToolName[] = "ethernet-loader-cli";
// The brand whose meters it updates, whatever brand the window is built for:
// its help and its messages name them, and the update history records it.
inline constexpr const brand::Brand& kBrand = brand::kBrands[0];

enum class Command { Update, Probe };
// "update" or "probe": the subcommand, as the reports name it.
const char* CommandName(Command c);

// One meter of the run, as the update history keeps it. The functions below
// take the run's command and read `probe` as it says.
using MeterRecord = history::MeterRun;

// The earlier run whose failed meters a run takes up again.
struct Continued {
    std::string report;          // the file as given
    std::string started;         // its start, as it says: with the firmware, what names that run
    std::string firmwareSha256;  // the firmware it wrote
    std::string firmwareSource;  // and where that came from, as its report names it
    size_t failedMeters = 0;     // the meters taken from it
};

// The meters of a run that share a path (cli::Host::group), as they were paced.
struct GroupRecord {
    std::string name;
    size_t meters = 0;
    long long bytesSent = 0;  // the block writes' datagram payloads, retries included
    int framesSentAgain = 0;  // block writes sent more than once
    // The limit of writes at once while it held writes back; none: it never did.
    std::optional<int> limitLowest{}, limitHighest{};
};

struct RunRecord {
    Command command = Command::Update;
    std::string toolVersion;
    std::string firmwareSha256;
    std::string firmwareSource;  // history::kCompiledIn or the file given
    std::chrono::system_clock::time_point started{}, finished{};
    std::optional<Continued> continues;
    std::vector<MeterRecord> meters;
    std::vector<GroupRecord> groups;  // empty while the run goes on, and when not paced
};

// One of updated, probed, password-rejected, not-found,
// communication-error, ambiguous-answers, cancelled, unreachable.
std::string ResultName(const MeterRecord& m, Command c);
bool Succeeded(const MeterRecord& m, Command c);
// A result of a report that needs no further run: "updated" or "probed".
bool SucceededResult(std::string_view result);
// What happened and what state the meter is left in, in plain words.
std::string ResultMessage(const MeterRecord& m, Command c);

// The results of meters a run has not ended, as its report names them while
// the run goes on, and as a report left by a killed run keeps them. Both are
// failures: a retry takes them up, merged reports count them as failed.
inline constexpr char kInterrupted[] = "interrupted";
inline constexpr char kNotStarted[] = "not-started";

// A meter of a run still going on.
struct MeterSoFar {
    enum class State { NotStarted, Running, Ended };
    State state = State::NotStarted;
    // Ended: its record. Before: its address, and once it has started, its start.
    MeterRecord record;
    std::optional<update::Stage> stage;  // Running: the last one it reported
};

// "2026-12-07T11:50:00.123Z"
std::string IsoTime(std::chrono::system_clock::time_point t);

nlohmann::ordered_json ReportJson(const RunRecord& run);
// The report of a run still going on, as it stands at `now`: the meters
// given here in place of run's, those not ended as interrupted (with the
// stage they were in) or not-started, and no finish.
nlohmann::ordered_json ReportSoFar(const RunRecord& run, const std::vector<MeterSoFar>& meters,
                                   std::chrono::system_clock::time_point now);

// The update history's lines for one meter of the run: its start, and its end.
std::string StartLine(const RunRecord& run, const MeterRecord& m);
std::string RecordLine(const RunRecord& run, const MeterRecord& m);

}  // namespace cli
