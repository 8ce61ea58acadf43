#include "cli/EarlierReports.h"

#include <algorithm>
#include <map>

namespace cli {
namespace {

using Json = nlohmann::ordered_json;

std::string StringOr(const Json& object, const char* key, std::string fallback = {}) {
    const auto it = object.find(key);
    return it != object.end() && it->is_string() ? it->get<std::string>() : fallback;
}

// The report of one run, as this tool writes it; why not, or empty.
std::string RunReportProblem(const Json& j) {
    if (!j.is_object()) return "not a JSON report";
    if (j.contains("merged_reports")) return "a merged report, not the report of one run";
    if (StringOr(j, "tool") != kToolName) return std::string("not a report of ") + kToolName;
    const auto meters = j.find("meters");
    if (meters == j.end() || !meters->is_array()) return "a report without its meters";
    for (const Json& m : *meters)
        if (!m.is_object() || StringOr(m, "address").empty() || StringOr(m, "result").empty())
            return "a meter without address or result";
    return {};
}

Json Parse(std::string_view content) { return Json::parse(content.begin(), content.end(), nullptr, false); }

}  // namespace

Retry RetryFrom(const std::string& path, std::string_view content, Command command) {
    Retry retry;
    const Json j = Parse(content);
    if (const std::string why = RunReportProblem(j); !why.empty()) {
        retry.problem = "--retry-failed " + path + ": " + why;
        return retry;
    }
    // A probe's "probed" is no update: taking up a probe's failures with an
    // update would leave every probed meter with its old firmware.
    const std::string earlier = StringOr(j, "command");
    if (earlier != CommandName(command)) {
        retry.problem = "--retry-failed " + path + ": the report is of " + (earlier.empty() ? "another" : earlier) +
                        " run; its failures are taken up by " + (earlier.empty() ? "that command" : earlier);
        return retry;
    }
    retry.from.report = path;
    retry.from.started = StringOr(j, "started");
    retry.from.firmwareSha256 = StringOr(j.value("firmware", Json::object()), "sha256");
    for (const Json& m : j["meters"])
        if (!SucceededResult(m["result"].get<std::string>())) retry.hosts.push_back(m["address"].get<std::string>());
    retry.from.failedMeters = retry.hosts.size();
    return retry;
}

Merged MergeReports(const std::vector<ReportFile>& given, const std::string& toolVersion, bool allowMixed) {
    Merged merged;
    if (given.empty()) {
        merged.problem = "no report given";
        return merged;
    }
    std::vector<Json> reports;
    std::vector<ReportFile> files;
    std::string duplicates;
    for (const ReportFile& f : given) {
        Json j = Parse(f.content);
        if (const std::string why = RunReportProblem(j); !why.empty()) {
            merged.problem = f.path + ": " + why;
            return merged;
        }
        if (const auto same = std::find(reports.begin(), reports.end(), j); same != reports.end()) {
            duplicates +=
                "; " + f.path + " is the same report as " + files[same - reports.begin()].path + ", counted once";
            continue;
        }
        reports.push_back(std::move(j));
        files.push_back(f);
    }
    // What the joined counts are of: one command and one firmware, or a mix allowed.
    const auto kinds = [&](const auto& kindOf) {
        std::map<std::string, std::string> firstIn;  // kind -> the first report of it
        for (size_t i = 0; i < reports.size(); ++i) firstIn.emplace(kindOf(reports[i]), files[i].path);
        return firstIn;
    };
    const auto commands = kinds([](const Json& r) { return StringOr(r, "command"); });
    const auto firmware = kinds([](const Json& r) { return StringOr(r.value("firmware", Json::object()), "sha256"); });
    for (const auto* mix : {&commands, &firmware}) {
        if (mix->size() < 2 || allowMixed) continue;
        std::string list;
        for (const auto& [kind, path] : *mix) list += (list.empty() ? "" : ", ") + kind + " in " + path;
        merged.problem = std::string("the reports are of different ") + (mix == &commands ? "commands" : "firmware") +
                         " (" + list +
                         "): their counts together would be true of none; give --allow-mixed to join them anyway";
        return merged;
    }
    std::string of = " of ";
    of += commands.size() == 1 ? commands.begin()->first : "mixed commands";
    of += firmware.size() == 1 ? " with firmware " + firmware.begin()->first : " with mixed firmware";
    // A run is named by its command, start and firmware; a report that
    // continues one given here replaces that run's entries for its meters.
    const auto name = [](const Json& r) {
        return StringOr(r, "command") + " " + StringOr(r, "started") + " " +
               StringOr(r.value("firmware", Json::object()), "sha256");
    };
    std::map<std::string, size_t> byName;
    for (size_t i = 0; i < reports.size(); ++i) byName.emplace(name(reports[i]), i);
    // superseded[i]: addresses of report i that a later attempt took up.
    std::vector<std::vector<std::string>> superseded(reports.size());
    for (const Json& r : reports) {
        const auto continues = r.find("continues");
        if (continues == r.end() || !continues->is_object()) continue;
        const auto earlier = byName.find(StringOr(r, "command") + " " + StringOr(*continues, "started") + " " +
                                         StringOr(*continues, "firmware_sha256"));
        if (earlier == byName.end()) continue;
        for (const Json& m : r["meters"]) superseded[earlier->second].push_back(m["address"].get<std::string>());
    }

    Json sources = Json::array();
    Json meters = Json::array();
    std::map<std::string, size_t> counts;
    size_t replaced = 0;
    merged.allSucceeded = true;
    for (size_t i = 0; i < reports.size(); ++i) {
        const Json& r = reports[i];
        Json source;
        source["report"] = files[i].path;
        for (const char* key : {"tool_version", "command", "firmware", "started", "finished", "continues"})
            source[key] = r.value(key, Json(nullptr));
        source["meters"] = r["meters"].size();
        sources.push_back(std::move(source));
        for (const Json& m : r["meters"]) {
            const std::string address = m["address"].get<std::string>();
            if (std::find(superseded[i].begin(), superseded[i].end(), address) != superseded[i].end()) {
                ++replaced;
                continue;
            }
            Json entry;
            entry["report"] = files[i].path;
            for (const auto& [key, value] : m.items()) entry[key] = value;
            const std::string result = m["result"].get<std::string>();
            ++counts[result];
            merged.allSucceeded = merged.allSucceeded && SucceededResult(result);
            meters.push_back(std::move(entry));
        }
    }

    Json countJson = Json::object();
    countJson["meters"] = meters.size();
    merged.counts = std::to_string(reports.size()) + (reports.size() == 1 ? " report" : " reports") + of + ", " +
                    std::to_string(meters.size()) + (meters.size() == 1 ? " meter" : " meters");
    std::string sep = ": ";
    for (const auto& [result, n] : counts) {
        countJson[result] = n;
        merged.counts += sep + std::to_string(n) + " " + result;
        sep = ", ";
    }
    if (replaced > 0)
        merged.counts += " (" + std::to_string(replaced) + (replaced == 1 ? " earlier result" : " earlier results") +
                         " replaced by a retry)";
    merged.counts += duplicates;

    Json& out = merged.report;
    out["tool"] = kToolName;
    out["tool_version"] = toolVersion;
    out["command"] = commands.size() == 1 ? Json(commands.begin()->first) : Json(nullptr);
    out["firmware_sha256"] = firmware.size() == 1 ? Json(firmware.begin()->first) : Json(nullptr);
    out["merged_reports"] = std::move(sources);
    out["counts"] = std::move(countJson);
    out["replaced_by_retry"] = replaced;
    out["meters"] = std::move(meters);
    return merged;
}

}  // namespace cli
