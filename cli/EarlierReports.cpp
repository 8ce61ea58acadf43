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
    retry.from.firmwareSource = StringOr(j.value("firmware", Json::object()), "source");
    for (const Json& m : j["meters"])
        if (!SucceededResult(m["result"].get<std::string>())) retry.hosts.push_back(m["address"].get<std::string>());
    retry.from.failedMeters = retry.hosts.size();
    return retry;
}

namespace {

// The reports as given, each distinct one once, in order.
struct Distinct {
    std::vector<Json> reports;
    std::vector<ReportFile> files;
    std::string duplicates;  // "; b.json is the same report as a.json, counted once"
};

// Every report read and checked; why not, naming the file.
std::string ReadDistinct(const std::vector<ReportFile>& given, Distinct& d) {
    for (const ReportFile& f : given) {
        Json j = Parse(f.content);
        if (const std::string why = RunReportProblem(j); !why.empty()) return f.path + ": " + why;
        if (const auto same = std::find(d.reports.begin(), d.reports.end(), j); same != d.reports.end()) {
            d.duplicates +=
                "; " + f.path + " is the same report as " + d.files[same - d.reports.begin()].path + ", counted once";
            continue;
        }
        d.reports.push_back(std::move(j));
        d.files.push_back(f);
    }
    return {};
}

std::string FirmwareOf(const Json& r) { return StringOr(r.value("firmware", Json::object()), "sha256"); }

// kind -> the first report of it: the commands or the firmware the reports are of.
template <typename KindOf>
std::map<std::string, std::string> Kinds(const Distinct& d, KindOf kindOf) {
    std::map<std::string, std::string> firstIn;
    for (size_t i = 0; i < d.reports.size(); ++i) firstIn.emplace(kindOf(d.reports[i]), d.files[i].path);
    return firstIn;
}

std::string MixProblem(const std::map<std::string, std::string>& mix, const char* what) {
    std::string list;
    for (const auto& [kind, path] : mix) list += (list.empty() ? "" : ", ") + kind + " in " + path;
    return std::string("the reports are of different ") + what + " (" + list +
           "): their counts together would be true of none; give --allow-mixed to join them anyway";
}

// A run is named by its command, start and firmware.
std::string RunName(const std::string& command, const std::string& started, const std::string& firmware) {
    return command + " " + started + " " + firmware;
}

// For each report, the addresses a later attempt given here took up: a
// report that continues one given here replaces that run's entries for its
// meters.
std::vector<std::vector<std::string>> Superseded(const std::vector<Json>& reports) {
    std::map<std::string, size_t> byName;
    for (size_t i = 0; i < reports.size(); ++i)
        byName.emplace(
            RunName(StringOr(reports[i], "command"), StringOr(reports[i], "started"), FirmwareOf(reports[i])), i);
    std::vector<std::vector<std::string>> superseded(reports.size());
    for (const Json& r : reports) {
        const auto continues = r.find("continues");
        if (continues == r.end() || !continues->is_object()) continue;
        const auto earlier = byName.find(
            RunName(StringOr(r, "command"), StringOr(*continues, "started"), StringOr(*continues, "firmware_sha256")));
        if (earlier == byName.end()) continue;
        for (const Json& m : r["meters"]) superseded[earlier->second].push_back(m["address"].get<std::string>());
    }
    return superseded;
}

// The meters of every report, each with the report it comes from, but for
// those a later attempt took up.
struct Joined {
    Json sources = Json::array();
    Json meters = Json::array();
    std::map<std::string, size_t> counts;  // result -> meters
    size_t replaced = 0;
    bool allSucceeded = true;
};

Joined Join(const Distinct& d) {
    Joined joined;
    const auto superseded = Superseded(d.reports);
    for (size_t i = 0; i < d.reports.size(); ++i) {
        const Json& r = d.reports[i];
        Json source;
        source["report"] = d.files[i].path;
        for (const char* key : {"tool_version", "command", "firmware", "started", "finished", "continues"})
            source[key] = r.value(key, Json(nullptr));
        source["meters"] = r["meters"].size();
        joined.sources.push_back(std::move(source));
        for (const Json& m : r["meters"]) {
            const std::string address = m["address"].get<std::string>();
            if (std::find(superseded[i].begin(), superseded[i].end(), address) != superseded[i].end()) {
                ++joined.replaced;
                continue;
            }
            Json entry;
            entry["report"] = d.files[i].path;
            for (const auto& [key, value] : m.items()) entry[key] = value;
            const std::string result = m["result"].get<std::string>();
            ++joined.counts[result];
            joined.allSucceeded = joined.allSucceeded && SucceededResult(result);
            joined.meters.push_back(std::move(entry));
        }
    }
    return joined;
}

// "3 reports of update with firmware …, 240 meters: 236 updated, …".
std::string CountsText(const Distinct& d, const std::string& of, const Joined& joined) {
    const size_t reports = d.reports.size(), meters = joined.meters.size();
    std::string text = std::to_string(reports) + (reports == 1 ? " report" : " reports") + of + ", " +
                       std::to_string(meters) + (meters == 1 ? " meter" : " meters");
    std::string sep = ": ";
    for (const auto& [result, n] : joined.counts) {
        text += sep + std::to_string(n) + " " + result;
        sep = ", ";
    }
    if (joined.replaced > 0)
        text += " (" + std::to_string(joined.replaced) +
                (joined.replaced == 1 ? " earlier result" : " earlier results") + " replaced by a retry)";
    return text + d.duplicates;
}

Json OneOrNull(const std::map<std::string, std::string>& kinds) {
    return kinds.size() == 1 ? Json(kinds.begin()->first) : Json(nullptr);
}

}  // namespace

Merged MergeReports(const std::vector<ReportFile>& given, const std::string& toolVersion, bool allowMixed) {
    Merged merged;
    if (given.empty()) {
        merged.problem = "no report given";
        return merged;
    }
    Distinct d;
    if (merged.problem = ReadDistinct(given, d); !merged.problem.empty()) return merged;
    // What the joined counts are of: one command and one firmware, or a mix allowed.
    const auto commands = Kinds(d, [](const Json& r) { return StringOr(r, "command"); });
    const auto firmware = Kinds(d, FirmwareOf);
    if (!allowMixed && commands.size() > 1) merged.problem = MixProblem(commands, "commands");
    if (!allowMixed && commands.size() < 2 && firmware.size() > 1) merged.problem = MixProblem(firmware, "firmware");
    if (!merged.problem.empty()) return merged;
    std::string of = " of ";
    of += commands.size() == 1 ? commands.begin()->first : "mixed commands";
    of += firmware.size() == 1 ? " with firmware " + firmware.begin()->first : " with mixed firmware";

    Joined joined = Join(d);
    merged.allSucceeded = joined.allSucceeded;
    merged.counts = CountsText(d, of, joined);
    Json countJson = Json::object();
    countJson["meters"] = joined.meters.size();
    for (const auto& [result, n] : joined.counts) countJson[result] = n;

    Json& out = merged.report;
    out["tool"] = kToolName;
    out["tool_version"] = toolVersion;
    out["command"] = OneOrNull(commands);
    out["firmware_sha256"] = OneOrNull(firmware);
    out["merged_reports"] = std::move(joined.sources);
    out["counts"] = std::move(countJson);
    out["replaced_by_retry"] = joined.replaced;
    out["meters"] = std::move(joined.meters);
    return merged;
}

}  // namespace cli
