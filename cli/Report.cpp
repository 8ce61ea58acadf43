#include "cli/Report.h"

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

nlohmann::ordered_json ReportJson(const RunRecord& run) {
    nlohmann::ordered_json meters = nlohmann::ordered_json::array();
    for (const MeterRecord& m : run.meters) meters.push_back(history::MeterFields(Run(m, run.command), kBrand));
    nlohmann::ordered_json report;
    report["tool"] = kToolName;
    report["tool_version"] = run.toolVersion;
    report["command"] = CommandName(run.command);
    report["firmware"] = {{"sha256", run.firmwareSha256}, {"source", run.firmwareSource}};
    report["started"] = IsoTime(run.started);
    report["finished"] = IsoTime(run.finished);
    report["continues"] = nullptr;
    if (run.continues) {
        report["continues"] = {{"report", run.continues->report},
                               {"started", run.continues->started},
                               {"firmware_sha256", run.continues->firmwareSha256},
                               {"failed_meters", run.continues->failedMeters}};
    }
    report["meters"] = std::move(meters);
    return report;
}

}  // namespace cli
