#include "cli/Report.h"

#include <algorithm>
#include <set>

#include "cli/Display.h"
#include "history/Record.h"
#include "platform/Process.h"

namespace cli {
namespace {

// The record as the history reads it: a probe or an update, as the run's command says.
history::MeterRun Run(const MeterRecord& m, Command c) {
    history::MeterRun r = m;
    r.probe = c == Command::Probe;
    return r;
}

}  // namespace

std::string ResultName(const MeterRecord& m, Command c) { return history::ResultName(Run(m, c)); }
bool Succeeded(const MeterRecord& m, Command c) { return history::Succeeded(Run(m, c)); }
std::string ResultMessage(const MeterRecord& m, Command c) { return history::ResultMessage(Run(m, c), kBrand); }
const char* CommandName(Command c) { return history::CommandWord(c == Command::Probe); }
std::string IsoTime(std::chrono::system_clock::time_point t) { return history::IsoTime(t); }
bool SucceededResult(std::string_view result) {
    return result == history::SuccessWord(false) || result == history::SuccessWord(true);
}

namespace {

history::Origin OriginOf(const RunRecord& run) {
    return {run.toolVersion, kBrand, "cli", run.firmwareSha256, run.firmwareSource, platform::CurrentProcessId()};
}

}  // namespace

std::string StartLine(const RunRecord& run, const MeterRecord& m) {
    return history::StartLine(OriginOf(run), Run(m, run.command));
}

std::string RecordLine(const RunRecord& run, const MeterRecord& m) {
    return history::RecordLine(OriginOf(run), Run(m, run.command));
}

namespace {

// The report's fields but its meters, in their order.
nlohmann::ordered_json Head(const RunRecord& run, bool ended) {
    nlohmann::ordered_json report;
    report["tool"] = kToolName;
    report["tool_version"] = run.toolVersion;
    report["command"] = CommandName(run.command);
    report["firmware"] = {{"sha256", run.firmwareSha256}, {"source", run.firmwareSource}};
    report["started"] = IsoTime(run.started);
    report["finished"] = ended ? nlohmann::ordered_json(IsoTime(run.finished)) : nlohmann::ordered_json(nullptr);
    report["continues"] = nullptr;
    if (run.continues) {
        report["continues"] = {{"report", run.continues->report},
                               {"started", run.continues->started},
                               {"firmware_sha256", run.continues->firmwareSha256},
                               {"failed_meters", run.continues->failedMeters}};
    }
    return report;
}

// The stage of a meter not ended, as the display words it.
std::string StageSoFar(const MeterSoFar& m) { return m.stage ? StageName(*m.stage) : "starting"; }

// Where a meter the run has not ended may be, by the last stage it reported.
std::string LeftSoFar(const MeterSoFar& m, Command c) {
    const std::string run = std::string(" Run the ") + CommandName(c) + " on it";
    const std::string again = run + " again (--retry-failed takes it up).";
    if (m.state == MeterSoFar::State::NotStarted)
        return "Not started when this report was written: nothing had been sent to it." + run +
               " (--retry-failed takes it up).";
    const update::Stage stage = m.stage.value_or(update::Stage::BootModeRequest);
    const std::string when = "Not ended when this report was written, in its stage \"" + StageSoFar(m) +
                             "\": the tool was killed or the computer stopped, unless the run is still going on. ";
    switch (stage) {
        case update::Stage::Erasing:
        case update::Stage::Writing:
            if (c == Command::Update)
                return when +
                       "The meter may wait in its bootloader with its flash partly written, which it "
                       "never starts." +
                       again;
            break;
        case update::Stage::Resetting:
        case update::Stage::Returning:
        case update::Stage::Done:
            return when + "The meter was reset, or was about to be; whether it came back is not known." + again;
        case update::Stage::BootModeRequest:
        case update::Stage::StartingBootloader:
        case update::Stage::Identifying: break;
    }
    return when + "The meter may wait in its bootloader." + again;
}

// Counts that only a meter's end tells: null for a meter interrupted.
const std::set<std::string> kCountedByTheEnd = {"blocks_written", "retries", "stale_answers_dropped"};

nlohmann::ordered_json FieldsSoFar(const MeterSoFar& m, Command c, std::chrono::system_clock::time_point now) {
    if (m.state == MeterSoFar::State::Ended) return history::MeterFields(Run(m.record, c), kBrand);
    const bool running = m.state == MeterSoFar::State::Running;
    MeterRecord r = m.record;
    r.contacted = running;
    r.finished = std::max(now, r.started);
    // The fields of an ended record, with the result, finish and message of one that has not.
    const nlohmann::ordered_json fields = history::MeterFields(Run(r, c), kBrand);
    nlohmann::ordered_json j;
    for (const auto& [key, value] : fields.items()) {
        if (key == "result") {
            j[key] = running ? kInterrupted : kNotStarted;
            if (running) j["stage"] = StageSoFar(m);
        } else if (key == "finished" || (running && kCountedByTheEnd.count(key))) {
            j[key] = nullptr;
        } else {
            j[key] = key == "message" ? nlohmann::ordered_json(LeftSoFar(m, c)) : value;
        }
    }
    return j;
}

nlohmann::ordered_json GroupsJson(const RunRecord& run) {
    nlohmann::ordered_json groups = nlohmann::ordered_json::array();
    const auto orNull = [](std::optional<int> n) { return n ? nlohmann::ordered_json(*n) : nullptr; };
    for (const GroupRecord& g : run.groups)
        groups.push_back({{"group", g.name},
                          {"meters", g.meters},
                          {"bytes_sent", g.bytesSent},
                          {"frames_sent_again", g.framesSentAgain},
                          {"limit", {{"lowest", orNull(g.limitLowest)}, {"highest", orNull(g.limitHighest)}}}});
    return groups;
}

}  // namespace

nlohmann::ordered_json ReportJson(const RunRecord& run) {
    nlohmann::ordered_json meters = nlohmann::ordered_json::array();
    for (const MeterRecord& m : run.meters) meters.push_back(history::MeterFields(Run(m, run.command), kBrand));
    nlohmann::ordered_json report = Head(run, true);
    report["meters"] = std::move(meters);
    report["groups"] = GroupsJson(run);
    return report;
}

nlohmann::ordered_json ReportSoFar(const RunRecord& run, const std::vector<MeterSoFar>& meters,
                                   std::chrono::system_clock::time_point now) {
    nlohmann::ordered_json list = nlohmann::ordered_json::array();
    for (const MeterSoFar& m : meters) list.push_back(FieldsSoFar(m, run.command, now));
    nlohmann::ordered_json report = Head(run, false);
    report["meters"] = std::move(list);
    report["groups"] = GroupsJson(run);
    return report;
}

}  // namespace cli
