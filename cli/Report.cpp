#include "Report.h"

#include "Record.h"

namespace cli {
namespace {

// The record with `probe` as the run's command says; copied only where the
// record itself says otherwise (records are made as updates).
template <typename Use>
auto AsRun(const MeterRecord& m, Command c, Use use) {
    const bool probe = c == Command::Probe;
    if (m.probe == probe) return use(m);
    MeterRecord copy = m;
    copy.probe = probe;
    return use(copy);
}

}  // namespace

std::string ResultName(const MeterRecord& m, Command c) {
    return AsRun(m, c, [](const MeterRecord& r) { return history::ResultName(r); });
}
bool Succeeded(const MeterRecord& m, Command c) {
    return AsRun(m, c, [](const MeterRecord& r) { return history::Succeeded(r); });
}
std::string ResultMessage(const MeterRecord& m, Command c) {
    return AsRun(m, c, [](const MeterRecord& r) { return history::ResultMessage(r); });
}
const char* CommandName(Command c) { return c == Command::Probe ? "probe" : "update"; }
std::string IsoTime(std::chrono::system_clock::time_point t) { return history::IsoTime(t); }
bool SucceededResult(std::string_view result) { return result == "updated" || result == "probed"; }

std::string RecordLine(const RunRecord& run, const MeterRecord& m) {
    const history::Origin origin{run.toolVersion, run.brand, "cli", run.firmwareSha256, run.firmwareSource};
    return AsRun(m, run.command, [&](const MeterRecord& r) { return history::RecordLine(origin, r); });
}

nlohmann::ordered_json ReportJson(const RunRecord& run) {
    nlohmann::ordered_json meters = nlohmann::ordered_json::array();
    for (const MeterRecord& m : run.meters)
        meters.push_back(AsRun(m, run.command, [](const MeterRecord& r) { return history::MeterFields(r); }));
    nlohmann::ordered_json report;
    report["tool"] = "ethernet-loader-cli";
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
