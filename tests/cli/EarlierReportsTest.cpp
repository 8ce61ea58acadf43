// Reports read back: which meters a retry takes up, and how the reports of
// several sites and their retries join into one.
#include <gtest/gtest.h>

#include "cli/EarlierReports.h"

using namespace cli;
using Json = nlohmann::ordered_json;

namespace {

// A report as the tool writes it, with the meters' addresses and results.
std::string ReportText(const std::string& command, const std::string& started,
                       const std::vector<std::pair<std::string, std::string>>& meters, Json continues = nullptr,
                       char firmware = 'a') {
    Json r;
    r["tool"] = "ethernet-loader-cli";
    r["tool_version"] = "2.0.1";
    r["command"] = command;
    r["firmware"] = {{"sha256", std::string(64, firmware)}, {"source", "compiled-in"}};
    r["started"] = started;
    r["finished"] = started;
    r["continues"] = continues;
    r["meters"] = Json::array();
    for (const auto& [address, result] : meters)
        r["meters"].push_back({{"address", address}, {"result", result}, {"blocks_written", 0}});
    return r.dump();
}

Json Continues(const std::string& started) {
    return {{"report", "run.json"}, {"started", started}, {"firmware_sha256", std::string(64, 'a')}};
}

}  // namespace

TEST(RetryFailed, TakesUpEveryMeterWithoutSuccessInTheReportsOrder) {
    const std::string report = ReportText("update", "2026-03-02T08:00:00.000Z",
                                          {{"10.0.0.1", "updated"},
                                           {"10.0.0.2", "communication-error"},
                                           {"10.0.0.3", "cancelled"},
                                           {"10.0.0.4", "updated"},
                                           {"meter-5", "unreachable"},
                                           {"10.0.0.6", "some-later-result"}});
    const Retry retry = RetryFrom("run.json", report, Command::Update);
    ASSERT_EQ(retry.problem, "");
    EXPECT_EQ(retry.hosts, (std::vector<std::string>{"10.0.0.2", "10.0.0.3", "meter-5", "10.0.0.6"}));
    EXPECT_EQ(retry.from.report, "run.json");
    EXPECT_EQ(retry.from.started, "2026-03-02T08:00:00.000Z");
    EXPECT_EQ(retry.from.firmwareSha256, std::string(64, 'a'));
    EXPECT_EQ(retry.from.failedMeters, 4u);
    EXPECT_TRUE(RetryFrom("p.json", ReportText("probe", "x", {{"10.0.0.1", "probed"}}), Command::Probe).hosts.empty());
}

TEST(RetryFailed, RefusesWhatIsNotTheReportOfOneRunOfTheSameCommand) {
    const std::string merged =
        MergeReports({{"a.json", ReportText("update", "t", {{"10.0.0.1", "updated"}})}}, "2.0.1").report.dump();
    const struct {
        std::string content;
        Command command;
        const char* says;
    } cases[] = {
        {"{not json", Command::Update, "not a JSON report"},
        {"[1, 2]", Command::Update, "not a JSON report"},
        {R"({"tool": "other", "meters": []})", Command::Update, "not a report of ethernet-loader-cli"},
        {R"({"tool": "ethernet-loader-cli", "command": "update"})", Command::Update, "without its meters"},
        {R"({"tool": "ethernet-loader-cli", "command": "update", "meters": [{"address": "10.0.0.1"}]})",
         Command::Update, "without address or result"},
        {merged, Command::Update, "merged report"},
        // Probed meters were never updated: an update must not skip them.
        {ReportText("probe", "t", {{"10.0.0.1", "probed"}}), Command::Update, "of probe run"},
        {ReportText("update", "t", {{"10.0.0.1", "not-found"}}), Command::Probe, "of update run"},
    };
    for (const auto& c : cases) {
        const Retry retry = RetryFrom("old.json", c.content, c.command);
        EXPECT_NE(retry.problem.find(c.says), std::string::npos) << c.says << ": " << retry.problem;
        EXPECT_NE(retry.problem.find("--retry-failed old.json"), std::string::npos) << retry.problem;
        EXPECT_TRUE(retry.hosts.empty());
    }
}

TEST(MergeReports, JoinsSitesAndCountsEachMeterWithItsLastAttempt) {
    const std::string t0 = "2026-03-02T08:00:00.000Z", t1 = "2026-03-02T09:00:00.000Z";
    // Two sites that both have a 10.0.0.1; site A's failures retried twice.
    const std::vector<ReportFile> files = {
        {"a.json",
         ReportText("update", t0, {{"10.0.0.1", "updated"}, {"10.0.0.2", "unreachable"}, {"10.0.0.3", "cancelled"}})},
        {"b.json", ReportText("update", "2026-03-02T08:00:00.500Z", {{"10.0.0.1", "communication-error"}})},
        {"a-retry.json",
         ReportText("update", t1, {{"10.0.0.2", "updated"}, {"10.0.0.3", "unreachable"}}, Continues(t0))},
        {"a-retry2.json", ReportText("update", "2026-03-02T10:00:00.000Z", {{"10.0.0.3", "updated"}}, Continues(t1))},
    };
    const Merged merged = MergeReports(files, "2.0.1");
    ASSERT_EQ(merged.problem, "");
    EXPECT_FALSE(merged.allSucceeded) << "site B's meter failed";
    const Json& r = merged.report;
    EXPECT_EQ(r["tool"], "ethernet-loader-cli");
    ASSERT_EQ(r["merged_reports"].size(), 4u);
    EXPECT_EQ(r["merged_reports"][2]["report"], "a-retry.json");
    EXPECT_EQ(r["merged_reports"][2]["meters"], 2);
    EXPECT_EQ(r["replaced_by_retry"], 3);
    EXPECT_EQ(r["counts"], (Json{{"meters", 4}, {"communication-error", 1}, {"updated", 3}}));
    std::vector<std::string> kept;
    for (const Json& m : r["meters"])
        kept.push_back(m["report"].get<std::string>() + " " + m["address"].get<std::string>());
    EXPECT_EQ(kept, (std::vector<std::string>{"a.json 10.0.0.1", "b.json 10.0.0.1", "a-retry.json 10.0.0.2",
                                              "a-retry2.json 10.0.0.3"}));
    EXPECT_EQ(r["meters"][0]["blocks_written"], 0) << "the meter's own fields stay";
    EXPECT_EQ(merged.counts,
              "4 reports of update with firmware " + std::string(64, 'a') +
                  ", 4 meters: 1 communication-error, 3 updated (3 earlier results replaced by a retry)");

    // Without site B every meter ended updated.
    const Merged siteA = MergeReports({files[0], files[2], files[3]}, "2.0.1");
    EXPECT_TRUE(siteA.allSucceeded) << siteA.counts;
    // A retry of a report not given replaces nothing.
    const Merged alone = MergeReports({files[0], files[3]}, "2.0.1");
    EXPECT_EQ(alone.report["counts"]["meters"], 4);
    EXPECT_FALSE(alone.allSucceeded);
}

// Counts that would be true of no rollout are refused, or said for what they are.
TEST(MergeReports, CountsASameReportOnceAndRefusesAMixUnlessAllowed) {
    const std::string t = "2026-03-02T08:00:00.000Z";
    const ReportFile a{"a.json", ReportText("update", t, {{"10.0.0.1", "updated"}, {"10.0.0.2", "unreachable"}})};
    const ReportFile aAgain{"copy/a.json", Json::parse(a.content).dump(2)};
    const ReportFile b{"b.json", ReportText("update", t, {{"10.0.0.1", "updated"}}, nullptr, 'b')};
    const ReportFile probe{"p.json", ReportText("probe", t, {{"10.0.0.9", "probed"}})};
    const struct {
        const char* what;
        std::vector<ReportFile> files;
        bool allowMixed;
        int meters;        // -1: refused
        std::string says;  // in the counts, or in the refusal
    } cases[] = {
        {"the same report twice", {a, aAgain}, false, 2, "copy/a.json is the same report as a.json, counted once"},
        {"two firmware", {a, b}, false, -1, "different firmware (" + std::string(64, 'a') + " in a.json"},
        {"update and probe", {a, probe}, false, -1, "different commands (probe in p.json, update in a.json)"},
        {"update and probe allowed", {a, probe}, true, 3, "2 reports of mixed commands with firmware"},
        {"two firmware allowed", {a, b}, true, 3, "2 reports of update with mixed firmware, 3 meters"},
        {"one meter", {b}, false, 1, ", 1 meter: 1 updated"},
    };
    for (const auto& c : cases) {
        const Merged m = MergeReports(c.files, "2.0.1", c.allowMixed);
        if (c.meters < 0) {
            EXPECT_NE(m.problem.find(c.says), std::string::npos) << c.what << ": " << m.problem;
            EXPECT_NE(m.problem.find("--allow-mixed"), std::string::npos) << c.what;
            continue;
        }
        ASSERT_EQ(m.problem, "") << c.what;
        EXPECT_EQ(m.report["counts"]["meters"], c.meters) << c.what;
        EXPECT_NE(m.counts.find(c.says), std::string::npos) << c.what << ": " << m.counts;
    }
}

TEST(MergeReports, NamesTheReportThatCannotBeMerged) {
    EXPECT_NE(MergeReports({}, "2.0.1").problem, "");
    const Merged merged = MergeReports({{"a.json", ReportText("update", "t", {{"10.0.0.1", "updated"}})},
                                        {"b.json", "{\"tool\": \"ethernet-loader-cli\"}"}},
                                       "2.0.1");
    EXPECT_NE(merged.problem.find("b.json"), std::string::npos) << merged.problem;
    EXPECT_TRUE(merged.report.is_null());
}
