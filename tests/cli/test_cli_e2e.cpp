// ethernet-loader-cli against meter-sim, both as their own processes, on
// the protocol's ports of loopback addresses of their own (root binds 502).
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <set>
#include <string>
#include <vector>

#include "ChildProcess.h"

using testsupport::ChildProcess;
using Clock = ChildProcess::Clock;
using namespace std::chrono_literals;
using nlohmann::json;

namespace {

// As typed (UTF-8), and as the meter gets it (Windows-1252): "Pw-€7319x“".
constexpr char kPassword[] =
    "Pw-\xE2\x82\xAC"
    "7319x\xE2\x80\x9C";
constexpr char kPasswordBytes[] =
    "Pw-\x80"
    "7319x\x93";

// 127.P.N.H: P from the process, so that two test runs side by side on one
// machine use meters of their own.
std::string Ip(int net, int host) {
    return "127." + std::to_string(100 + ::getpid() % 100) + "." + std::to_string(net) + "." + std::to_string(host);
}

std::string Scratch(const std::string& name) {
    return ::testing::TempDir() + "/loader_cli_" + std::to_string(::getpid()) + "_" + name;
}

std::string WriteFile(const std::string& name, const std::string& content) {
    const std::string path = Scratch(name);
    std::ofstream(path, std::ios::binary) << content;
    return path;
}

// 24 blocks of firmware, as raw bytes: the good meters' updates take seconds.
std::string SmallFirmware() {
    std::string img(0x80000, '\xFF');
    for (uint32_t a = 0x08000; a < 0x08000 + 24 * 1024; ++a) img[a] = static_cast<char>(a * 13 + (a >> 10));
    return WriteFile("firmware.bin", img);
}

std::unique_ptr<ChildProcess> StartSim(std::vector<std::string> args) {
    args.insert(args.begin(), METER_SIM_EXE);
    auto sim = std::make_unique<ChildProcess>(args, ChildProcess::Stderr::Capture);
    const auto ready = sim->ReadLine(Clock::now() + 10s);
    if (!ready || ready->find("\"ready\":true") == std::string::npos)
        ADD_FAILURE() << "meter-sim did not start: " << sim->ErrText();
    return sim;
}

// Stops the simulator and returns its summary, one object per meter.
json SimSummary(ChildProcess& sim) {
    sim.Signal(SIGINT);
    sim.Wait(Clock::now() + 10s);
    for (auto it = sim.OutLines().rbegin(); it != sim.OutLines().rend(); ++it)
        if (it->find("\"summary\"") != std::string::npos) return json::parse(*it)["summary"];
    return json::array();
}

std::unique_ptr<ChildProcess> StartCli(std::vector<std::string> args) {
    args.insert(args.begin(), CLI_EXE);
    return std::make_unique<ChildProcess>(args, ChildProcess::Stderr::Capture);
}

json ReadJson(const std::string& path) {
    std::ifstream in(path);
    return json::parse(in, nullptr, false);
}

// The update history of the tests' runs: a folder of each test's own.
std::string StateHome() {
    const auto* test = ::testing::UnitTest::GetInstance()->current_test_info();
    return Scratch(std::string("state_") + test->name());
}

std::vector<json> HistoryRecords() {
    std::vector<json> records;
    std::ifstream in(StateHome() + "/ethernet-loader/updates.jsonl");
    for (std::string line; std::getline(in, line);) records.push_back(json::parse(line, nullptr, false));
    return records;
}

bool IsIsoTime(const json& v) {
    return v.is_string() && v.get<std::string>().size() == 24 && v.get<std::string>().back() == 'Z';
}

}  // namespace

class CliEndToEnd : public ::testing::Test {
protected:
    void SetUp() override {
        if (::geteuid() != 0) GTEST_SKIP() << "the meters serve the protocol's port 502, which needs root";
        ::unsetenv("LOADER_PASSWORD");
        std::filesystem::remove_all(StateHome());
        ::setenv("XDG_STATE_HOME", StateHome().c_str(), 1);
    }
};

TEST_F(CliEndToEnd, FleetOfFiveWithThreeBadMetersAndOneAddressWithNone) {
    const std::string firmware = SmallFirmware();
    auto sim = StartSim({"--address",    Ip(2, 2),
                         "--meters",     "5",
                         "--password",   kPasswordBytes,
                         "--boot-delay", "300",
                         "--image",      firmware,
                         "--log",        Scratch("sim.log"),
                         "--meter",      "2",
                         "--password",   "other",
                         "--meter",      "3",
                         "--fault",      "wrong@block=0x08800",
                         "--meter",      "4",
                         "--fault",      "drop"});
    const std::string report = Scratch("report.json");
    // The hosts on the command line come first, then those of the file.
    const std::string hosts = WriteFile("hosts", "# hall 2\n" + Ip(2, 4) + "\n\n" + Ip(2, 5) + "  # no bootloader\n" +
                                                     Ip(2, 6) + "\n" + Ip(2, 7) + "\n");
    auto cli =
        StartCli({"update", "--hosts", hosts, Ip(2, 2), Ip(2, 3), "--password-file",
                  WriteFile("password", std::string(kPassword) + "\n"), "--image", firmware, "--report", report});
    EXPECT_EQ(cli->Wait(Clock::now() + 120s), 1) << cli->ErrText();
    const json summary = SimSummary(*sim);

    const json r = ReadJson(report);
    ASSERT_TRUE(r.is_object()) << "no report";
    EXPECT_EQ(r["tool_version"].get<std::string>().empty(), false);
    EXPECT_EQ(r["firmware"]["source"], firmware);
    EXPECT_EQ(r["firmware"]["sha256"].get<std::string>().size(), 64u);
    EXPECT_TRUE(IsIsoTime(r["started"]) && IsIsoTime(r["finished"]));
    const json& m = r["meters"];
    ASSERT_EQ(m.size(), 6u);
    const struct {
        std::string address;
        const char* result;
        int blocks;
        int retries;
        bool identified;
    } expected[] = {{Ip(2, 2), "updated", 24, 0, true},
                    {Ip(2, 3), "password-rejected", 0, 0, false},
                    {Ip(2, 4), "communication-error", 1, 10, true},
                    {Ip(2, 5), "not-found", 0, 0, false},
                    {Ip(2, 6), "updated", 24, 0, true},
                    {Ip(2, 7), "unreachable", 0, 0, false}};
    for (size_t i = 0; i < 6; ++i) {
        const auto& e = expected[i];
        SCOPED_TRACE(e.address);
        EXPECT_EQ(m[i]["address"], e.address);
        EXPECT_EQ(m[i]["result"], e.result);
        EXPECT_EQ(m[i]["blocks_written"], e.blocks);
        EXPECT_EQ(m[i]["retries"], e.retries);
        EXPECT_EQ(m[i]["stale_answers_dropped"], 0);
        EXPECT_EQ(m[i]["identity"].is_string(), e.identified);
        if (e.identified) {
            EXPECT_EQ(m[i]["identity"], "BOOTLOADER-V1.00");
        }
        EXPECT_TRUE(IsIsoTime(m[i]["started"]) && IsIsoTime(m[i]["finished"]));
        EXPECT_GT(m[i]["duration_s"].get<double>(), 0.9) << "at least the connection and answer waits";
        EXPECT_FALSE(m[i]["message"].get<std::string>().empty());
    }
    // What the meters themselves say: only the updated ones hold the image.
    ASSERT_EQ(summary.size(), 5u);
    const char* flash[] = {"match", "mismatch", "mismatch", "mismatch", "match"};
    for (size_t i = 0; i < 5; ++i) EXPECT_EQ(summary[i]["flash"], flash[i]) << summary[i];
    EXPECT_EQ(summary[2]["resets"], 0) << "a failed meter waits in its bootloader";

    // The update history: one record per meter, in the order they ended.
    const std::vector<json> records = HistoryRecords();
    ASSERT_EQ(records.size(), 6u);
    std::multiset<std::string> recorded, reported;
    for (size_t i = 0; i < 6; ++i) {
        json meter = records[i];
        EXPECT_EQ(meter["front_end"], "cli");
        EXPECT_EQ(meter["brand"], "VELTRONA");
        EXPECT_EQ(meter["command"], "update");
        EXPECT_EQ(meter["tool_version"], r["tool_version"]);
        EXPECT_EQ(meter["firmware"], r["firmware"]);
        for (const char* origin : {"front_end", "brand", "command", "tool_version", "firmware"}) meter.erase(origin);
        recorded.insert(meter.dump());
        reported.insert(m[i].dump());
    }
    EXPECT_EQ(recorded, reported) << "the report's meter fields";

    std::string everything = cli->ErrText();
    for (const auto& line : cli->OutLines()) everything += line + "\n";
    for (const char* file : {report.c_str(), (StateHome() + "/ethernet-loader/updates.jsonl").c_str()}) {
        std::ifstream in(file);
        everything.append(std::istreambuf_iterator<char>(in), {});
    }
    EXPECT_EQ(everything.find(kPassword), std::string::npos) << "the password never shows";
    EXPECT_EQ(everything.find(kPasswordBytes), std::string::npos) << "nor its bytes";
    EXPECT_NE(cli->OutLines().back().find("6 meters: 2 updated, 4 failed"), std::string::npos)
        << cli->OutLines().back();
}

TEST_F(CliEndToEnd, StopRequestEndsTheRunAtTheNextBlockAndStillWritesTheReport) {
    auto sim = StartSim({"--address", Ip(3, 2), "--meters", "2", "--boot-delay", "300", "--log", Scratch("sim.log")});
    const std::string report = Scratch("report.json");
    ::setenv("LOADER_PASSWORD", "1234", 1);
    auto cli = StartCli({"update", Ip(3, 2), Ip(3, 3), "--jobs", "1", "--report", report});
    const bool writing = cli->ReadUntil(Clock::now() + 30s, [&] {
        for (const auto& l : cli->OutLines())
            if (l.find(Ip(3, 2) + " writing") != std::string::npos) return true;
        return false;
    });
    ASSERT_TRUE(writing) << cli->ErrText();
    cli->Signal(SIGINT);  // as Ctrl-C delivers it
    EXPECT_EQ(cli->Wait(Clock::now() + 10s), 1) << cli->ErrText();
    const json summary = SimSummary(*sim);

    const json r = ReadJson(report);
    ASSERT_TRUE(r.is_object()) << "no report";
    EXPECT_EQ(r["meters"][0]["result"], "cancelled");
    EXPECT_FALSE(r["meters"][0]["started"].is_null());
    EXPECT_EQ(r["meters"][1]["result"], "cancelled");
    EXPECT_TRUE(r["meters"][1]["started"].is_null()) << "the second meter was never contacted";
    ASSERT_EQ(summary.size(), 2u);
    EXPECT_EQ(summary[0]["resets"], 0) << "an interrupted meter gets no RESET";
    EXPECT_LT(summary[0]["writes"], 100) << "stopped long before the end";
    EXPECT_EQ(summary[1]["requests"], 0);
    const std::vector<json> records = HistoryRecords();
    ASSERT_EQ(records.size(), 1u) << "a meter never contacted has no record";
    EXPECT_EQ(records[0]["result"], "cancelled");
}

// A history that cannot be written is a warning; the meter's verdict and
// the exit status stay what the update made them.
TEST_F(CliEndToEnd, AnUnwritableHistoryIsAWarningOnly) {
    auto sim = StartSim({"--address", Ip(5, 2), "--log", Scratch("sim.log")});
    ::setenv("XDG_STATE_HOME", WriteFile("state-is-a-file", "").c_str(), 1);
    ::setenv("LOADER_PASSWORD", "1234", 1);
    auto cli = StartCli({"probe", Ip(5, 2)});
    EXPECT_EQ(cli->Wait(Clock::now() + 60s), 0) << cli->ErrText();
    EXPECT_NE(cli->ErrText().find("warning: 1 record of the update history not written"), std::string::npos)
        << cli->ErrText();
    EXPECT_NE(cli->OutLines().back().find("1 meters: 1 probed, 0 failed"), std::string::npos) << cli->OutLines().back();
    SimSummary(*sim);
}

// Every input that cannot work is refused with exit status 2, naming it,
// before anything reaches a meter.
TEST_F(CliEndToEnd, BadInputsAreRefusedBeforeAnythingIsSent) {
    auto sim = StartSim({"--address", Ip(4, 2), "--log", Scratch("sim.log")});
    const std::string good = WriteFile("good", "1234\n");
    const std::string wrongSize = WriteFile("short.bin", std::string(0x7FFFF, '\xFF'));
    const std::string zeros = WriteFile("zeros", "# hall 1\n" + Ip(4, 2) + "\n10.0.0.08\n");
    const struct {
        std::vector<std::string> args;
        std::string says;
    } cases[] = {
        {{"update", "1.2.3", "--password-file", good}, "bad host '1.2.3'"},
        {{"update", Ip(4, 2), "meter_1", "--password-file", good}, "bad host 'meter_1'"},
        {{"update", Ip(4, 2), Ip(4, 2), "--password-file", good}, "'" + Ip(4, 2) + "' is given twice"},
        {{"update", "--password-file", good}, "no meter given"},
        {{"update", "--hosts", zeros, "--password-file", good}, "bad host '10.0.0.08' on line 3 of " + zeros},
        {{"update", "--hosts", Scratch("missing"), "--password-file", good}, "--hosts " + Scratch("missing")},
        {{"probe", Ip(4, 2), "--password-file", Scratch("missing")}, "--password-file " + Scratch("missing")},
        {{"update", Ip(4, 2), "--password-file", WriteFile("three", "abc\n")}, "3 characters"},
        {{"update", Ip(4, 2), "--password-file",
          WriteFile("a-macron",
                    "ab\xC4\x80"
                    "cd")},
         "has a character the meter cannot take (only Windows-1252 characters)"},
        {{"update", Ip(4, 2)}, "no password"},
        {{"update", Ip(4, 2), "--password", "1234"}, "--password is not taken"},
        {{"update", Ip(4, 2), "--password-file", good, "--image", wrongSize}, "--image " + wrongSize},
        {{"update", Ip(4, 2), "--password-file", good, "--jobs", "0"}, "--jobs"},
        {{"update", Ip(4, 2), "--password-file", good, "--report", Scratch("no/such/dir/r.json")}, "--report"},
        {{Ip(4, 2)}, "subcommand"},
    };
    for (const auto& c : cases) {
        auto cli = StartCli(c.args);
        EXPECT_EQ(cli->Wait(Clock::now() + 10s), 2) << c.says;
        EXPECT_NE(cli->ErrText().find(c.says), std::string::npos) << cli->ErrText();
    }
    const json summary = SimSummary(*sim);
    ASSERT_EQ(summary.size(), 1u);
    EXPECT_EQ(summary[0]["requests"], 0) << "nothing reached the meter";
}

// `history` lists what the runs recorded, as a table or as JSON, from
// $XDG_STATE_HOME; no meter involved.
TEST(CliHistory, ListsTheRecordsAsATableOrJson) {
    const std::string state = StateHome();
    std::filesystem::remove_all(state);
    std::filesystem::create_directories(state + "/ethernet-loader");
    const std::string early =
        R"({"tool_version":"1.13","brand":"VELTRONA","front_end":"window","command":"update",)"
        R"("firmware":{"sha256":"0123456789abcdef","source":"compiled-in"},"address":"10.0.0.5",)"
        R"("identity":"BOOTLOADER-V1.00","result":"updated","blocks_written":480,"retries":0,)"
        R"("stale_answers_dropped":0,"started":"2026-03-01T09:00:00.000Z","finished":"2026-03-01T09:00:30.000Z",)"
        R"("duration_s":30.0,"message":"Updated."})";
    std::string late = early;
    late.replace(late.find("2026-03-01T09:00:00"), 19, "2026-03-02T10:15:00");
    late.replace(late.find("\"window\""), 8, "\"cli\"");
    std::ofstream(state + "/ethernet-loader/updates.jsonl") << early << "\n" << late << "\n";
    ::setenv("XDG_STATE_HOME", state.c_str(), 1);

    const struct {
        std::vector<std::string> args;
        int status;
        std::vector<std::string> lines;  // beginnings of the output's lines
    } cases[] = {
        {{"history"}, 0, {"STARTED (UTC)", "2026-03-01 09:00:00  window", "2026-03-02 10:15:00  cli"}},
        {{"history", "--since", "2026-03-02"}, 0, {"STARTED (UTC)", "2026-03-02 10:15:00  cli"}},
        {{"history", "--since", "2026-03-01T09:01"}, 0, {"STARTED (UTC)", "2026-03-02 10:15:00  cli"}},
        {{"history", "--since", "2027-01-01"}, 0, {"STARTED (UTC)"}},
        {{"history", "--since", "March"}, 2, {}},
    };
    for (const auto& c : cases) {
        auto cli = StartCli(c.args);
        EXPECT_EQ(cli->Wait(Clock::now() + 10s), c.status) << cli->ErrText();
        ASSERT_EQ(cli->OutLines().size(), c.lines.size()) << c.args.back();
        for (size_t i = 0; i < c.lines.size(); ++i)
            EXPECT_EQ(cli->OutLines()[i].rfind(c.lines[i], 0), 0u) << cli->OutLines()[i];
    }

    auto cli = StartCli({"history", "--json", "--since", "2026-03-02"});
    EXPECT_EQ(cli->Wait(Clock::now() + 10s), 0) << cli->ErrText();
    std::string out;
    for (const auto& l : cli->OutLines()) out += l + "\n";
    EXPECT_EQ(json::parse(out, nullptr, false), json::array({json::parse(late)}));
}
