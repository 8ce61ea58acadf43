// ethernet-loader-cli against meter-sim, both as their own processes, on
// the protocol's ports of loopback addresses of their own (root binds 502).
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <pwd.h>
#include <termios.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <netinet/in.h>
#include <arpa/inet.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <memory>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <optional>
#include <random>
#include <regex>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/Addresses.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/Pcapng.h"
#include "platform/MeterLock.h"
#include "tests/support/TempDir.h"

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

// What the tests, the tool and the simulator write; removed when the tests end.
const testsupport::TempDir scratch;

std::string Scratch(const std::string& name) { return scratch.File(name); }

// Readable by its owner alone, as the tool takes a password file.
std::string WriteFile(const std::string& name, const std::string& content) {
    const std::string path = Scratch(name);
    testsupport::WriteBytes(path, content);
    std::filesystem::permissions(path, std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
    return path;
}

// 24 blocks of firmware, as raw bytes: the good meters' updates take seconds.
std::string SmallFirmware() {
    std::string img(0x80000, '\xFF');
    for (uint32_t a = 0x08000; a < 0x08000 + 24 * 1024; ++a) img[a] = static_cast<char>(a * 13 + (a >> 10));
    return WriteFile("firmware.bin", img);
}

// The ports the simulated meters serve: ones this machine gave out as free,
// which need no root, or (ProtocolPorts) the protocol's own.
struct Ports {
    std::string modbus, boot;
};
std::optional<Ports> testPorts;

std::string FreePort(int type) {
    const int s = ::socket(AF_INET, type, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof a;
    const bool bound = ::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
                       ::getsockname(s, reinterpret_cast<sockaddr*>(&a), &size) == 0;
    ::close(s);
    return bound ? std::to_string(ntohs(a.sin_port)) : "0";
}

// The port options for meter-sim, and for the tool's update, probe and plan.
std::vector<std::string> WithPorts(std::vector<std::string> args, bool tool) {
    static const std::vector<std::string> runs = {"update", "probe", "plan"};
    if (testPorts && (!tool || std::find(runs.begin(), runs.end(), args.at(0)) != runs.end()))
        // meter-sim takes them before its first --meter.
        args.insert(tool ? args.end() : args.begin(),
                    {"--modbus-port", testPorts->modbus, "--boot-port", testPorts->boot});
    return args;
}

std::unique_ptr<ChildProcess> StartSim(std::vector<std::string> args) {
    args = WithPorts(std::move(args), false);
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
    args = WithPorts(std::move(args), true);
    args.insert(args.begin(), CLI_EXE);
    return std::make_unique<ChildProcess>(args, ChildProcess::Stderr::Capture);
}

json ReadJson(const std::string& path) { return json::parse(testsupport::ReadBytes(path), nullptr, false); }

// The update history of the tests' runs: a folder of each test's own.
std::string StateHome() {
    const auto* test = ::testing::UnitTest::GetInstance()->current_test_info();
    return Scratch(std::string("state_") + test->name());
}

// The runs' end records; `starts`: the records each run writes before it sends anything.
std::vector<json> HistoryRecords(bool starts = false) {
    std::vector<json> records;
    std::ifstream in(StateHome() + "/ethernet-loader/updates.jsonl");
    for (std::string line; std::getline(in, line);) {
        json record = json::parse(line, nullptr, false);
        if (record.contains("event") == starts) records.push_back(std::move(record));
    }
    return records;
}

// The tool on a terminal of its own, of the given size: what it wrote there
// and its exit status (nothing when it had to be killed at the deadline).
struct TerminalRun {
    std::string output;
    std::optional<int> status;
};

TerminalRun RunOnTerminal(std::vector<std::string> args, unsigned short rows, unsigned short columns,
                          Clock::time_point deadline) {
    args = WithPorts(std::move(args), true);
    args.insert(args.begin(), CLI_EXE);
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    winsize size{rows, columns, 0, 0};
    int terminal = -1;
    const pid_t pid = ::forkpty(&terminal, nullptr, nullptr, &size);
    if (pid == 0) {
        ::execv(CLI_EXE, argv.data());
        ::_exit(127);
    }
    TerminalRun run;
    if (pid < 0) return run;
    for (;;) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
        pollfd p{terminal, POLLIN, 0};
        if (left <= 0 || ::poll(&p, 1, static_cast<int>(left)) <= 0) break;
        char buf[4096];
        const ssize_t got = ::read(terminal, buf, sizeof buf);
        if (got <= 0) break;  // EIO once the tool has ended and closed its side
        run.output.append(buf, static_cast<size_t>(got));
    }
    // The terminal closes before the process has quite ended.
    const int ended = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
    if (ended >= 0) {
        pollfd p{ended, POLLIN, 0};
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
        ::poll(&p, 1, static_cast<int>(std::max<long long>(left, 0)));
        ::close(ended);
    }
    int status = 0;
    if (::waitpid(pid, &status, WNOHANG) == 0) {
        ::kill(pid, SIGKILL);
        ::waitpid(pid, &status, 0);
    } else if (WIFEXITED(status)) {
        run.status = WEXITSTATUS(status);
    }
    ::close(terminal);
    return run;
}

// What a terminal shows after `bytes`, as far as the tool draws: text, CR,
// LF, cursor up, erase line and erase below. Lines scrolled off stay, so
// the whole run can be read; the largest cursor-up must stay on the screen.
struct Screen {
    std::vector<std::string> lines;
    int largestUp = 0;
};

Screen Emulate(const std::string& bytes) {
    Screen screen;
    size_t row = 0, column = 0;
    for (size_t i = 0; i < bytes.size(); ++i) {
        if (screen.lines.size() <= row) screen.lines.resize(row + 1);
        std::string& line = screen.lines[row];
        const char c = bytes[i];
        if (c == '\x1b' && i + 1 < bytes.size() && bytes[i + 1] == '[') {
            size_t end = i + 2;
            while (end < bytes.size() && std::isdigit(static_cast<unsigned char>(bytes[end]))) ++end;
            const int n = end > i + 2 ? std::stoi(bytes.substr(i + 2, end - i - 2)) : 1;
            const char command = end < bytes.size() ? bytes[end] : '\0';
            if (command == 'A') {
                screen.largestUp = std::max(screen.largestUp, n);
                row -= std::min<size_t>(row, static_cast<size_t>(n));
            } else if (command == 'K') {
                line.clear();
            } else if (command == 'J') {
                line.resize(std::min(line.size(), column));
                screen.lines.resize(row + 1);
            }
            i = end;
        } else if (c == '\r') {
            column = 0;
        } else if (c == '\n') {
            ++row;
            column = 0;
        } else {
            if (line.size() <= column) line.resize(column + 1, ' ');
            line[column++] = c;
        }
    }
    while (!screen.lines.empty() && screen.lines.back().empty()) screen.lines.pop_back();
    return screen;
}

size_t Occurrences(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

bool IsIsoTime(const json& v) {
    return v.is_string() && v.get<std::string>().size() == 24 && v.get<std::string>().back() == 'Z';
}

// One meter's entry in a report.
struct MeterRow {
    std::string address;
    const char* result;
    int blocks;
    int retries;
    bool identified;
};

void ExpectMeter(const json& m, const MeterRow& e) {
    SCOPED_TRACE(e.address);
    EXPECT_EQ(m["address"], e.address);
    EXPECT_EQ(m["result"], e.result);
    EXPECT_EQ(m["blocks_written"], e.blocks);
    EXPECT_EQ(m["retries"], e.retries);
    EXPECT_EQ(m["stale_answers_dropped"], 0);
    EXPECT_EQ(m["identity"].is_string(), e.identified);
    if (e.identified) {
        EXPECT_EQ(m["identity"], "BOOTLOADER-V1.00");
    }
    EXPECT_TRUE(IsIsoTime(m["started"]) && IsIsoTime(m["finished"]));
    EXPECT_GT(m["duration_s"].get<double>(), 0.9) << "at least the connection and answer waits";
    EXPECT_FALSE(m["message"].get<std::string>().empty());
}

// The update history: one record per meter of the report, in the order they
// ended, with the report's origin fields.
void ExpectHistoryOf(const json& r) {
    const std::vector<json> records = HistoryRecords();
    EXPECT_EQ(HistoryRecords(true).size(), records.size()) << "each run's start before it";
    ASSERT_EQ(records.size(), r["meters"].size());
    std::multiset<std::string> recorded, reported;
    for (size_t i = 0; i < records.size(); ++i) {
        json meter = records[i];
        EXPECT_EQ(meter["front_end"], "cli");
        EXPECT_EQ(meter["brand"], "VELTRONA");
        EXPECT_EQ(meter["command"], "update");
        EXPECT_EQ(meter["tool_version"], r["tool_version"]);
        EXPECT_EQ(meter["firmware"], r["firmware"]);
        for (const char* origin : {"front_end", "brand", "command", "tool_version", "firmware", "process"})
            meter.erase(origin);
        recorded.insert(meter.dump());
        reported.insert(r["meters"][i].dump());
    }
    EXPECT_EQ(recorded, reported) << "the report's meter fields";
}

// The password shows nowhere: not in the tool's output, its report or the history.
void ExpectNoPassword(const ChildProcess& cli, const std::string& report) {
    std::string everything = cli.ErrText();
    for (const auto& line : cli.OutLines()) everything += line + "\n";
    for (const std::string& file : {report, StateHome() + "/ethernet-loader/updates.jsonl"})
        everything += testsupport::ReadBytes(file);
    EXPECT_EQ(everything.find(kPassword), std::string::npos) << "the password never shows";
    EXPECT_EQ(everything.find(kPasswordBytes), std::string::npos) << "nor its bytes";
}

// merge-reports of a failed run and its retry counts each meter by its last
// attempt; the failed run alone still has its failures, printed to stdout
// without --output.
void ExpectMergeCountsLastAttempts(const std::string& first, const std::string& retry, const std::string& sha256) {
    const std::string merged = Scratch("merged.json");
    auto merge = StartCli({"merge-reports", first, retry, "--output", merged});
    EXPECT_EQ(merge->Wait(Clock::now() + 30s), 0) << merge->ErrText();
    EXPECT_NE(merge->ErrText().find("2 reports of update with firmware " + sha256 + ", 4 meters: 4 updated"),
              std::string::npos)
        << merge->ErrText();
    const json m = ReadJson(merged);
    ASSERT_TRUE(m.is_object()) << "no merged report";
    EXPECT_EQ(m["counts"]["updated"], 4);
    EXPECT_EQ(m["meters"].size(), 4u);
    auto mergeFirst = StartCli({"merge-reports", first});
    EXPECT_EQ(mergeFirst->Wait(Clock::now() + 30s), 1) << mergeFirst->ErrText();
    std::string printed;
    for (const auto& l : mergeFirst->OutLines()) printed += l + "\n";
    const json alone = json::parse(printed, nullptr, false);
    ASSERT_TRUE(alone.is_object()) << printed;
    EXPECT_EQ(alone["counts"]["password-rejected"], 1);
}

}  // namespace

// Meters on ports of their own, as a rehearsal may serve them: no root needed.
class CliEndToEnd : public ::testing::Test {
protected:
    void SetUp() override {
        static const Ports free{FreePort(SOCK_STREAM), FreePort(SOCK_DGRAM)};
        testPorts = free;
        ::unsetenv("LOADER_PASSWORD");
        std::filesystem::remove_all(StateHome());
        ::setenv("XDG_STATE_HOME", StateHome().c_str(), 1);
    }
};

// Meters on the protocol's own ports, 502 and 5555, as real meters serve them.
class CliOnProtocolPorts : public CliEndToEnd {
protected:
    void SetUp() override {
        if (::geteuid() != 0) GTEST_SKIP() << "the meters serve the protocol's port 502, which needs root";
        CliEndToEnd::SetUp();
        testPorts.reset();
    }
};

TEST_F(CliOnProtocolPorts, FleetOfFiveWithThreeBadMetersAndOneAddressWithNone) {
    const std::string firmware = SmallFirmware();
    // Meter 2 has another password, meter 3 refuses a block, meter 4 has no bootloader.
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
    const MeterRow expected[] = {{Ip(2, 2), "updated", 24, 0, true},
                                 {Ip(2, 3), "password-rejected", 0, 0, false},
                                 {Ip(2, 4), "communication-error", 1, 10, true},
                                 {Ip(2, 5), "not-found", 0, 0, false},
                                 {Ip(2, 6), "updated", 24, 0, true},
                                 {Ip(2, 7), "unreachable", 0, 0, false}};
    for (size_t i = 0; i < 6; ++i) ExpectMeter(m[i], expected[i]);
    // What the meters themselves say: only the updated ones hold the image.
    ASSERT_EQ(summary.size(), 5u);
    const char* flash[] = {"match", "mismatch", "mismatch", "mismatch", "match"};
    for (size_t i = 0; i < 5; ++i) EXPECT_EQ(summary[i]["flash"], flash[i]) << summary[i];
    EXPECT_EQ(summary[2]["resets"], 0) << "a failed meter waits in its bootloader";

    ExpectHistoryOf(r);
    ExpectNoPassword(*cli, report);
    EXPECT_NE(cli->OutLines().back().find("6 meters: 2 updated, 4 failed"), std::string::npos)
        << cli->OutLines().back();
}

// Ctrl-C, a hang-up (an ssh session dropped) and a termination request all
// stop the run the same way, with its report and history. The three runs
// go side by side, each with its meters and history.
TEST_F(CliEndToEnd, StopRequestEndsTheRunAtTheNextBlockAndStillWritesTheReport) {
    ::setenv("LOADER_PASSWORD", "1234", 1);
    const struct {
        int signal;
        int net;
    } cases[] = {{SIGINT, 3}, {SIGHUP, 13}, {SIGTERM, 23}};
    std::vector<std::unique_ptr<ChildProcess>> sims, clis;
    const auto state = [](int net) { return StateHome() + "/" + std::to_string(net); };
    for (const auto& c : cases) {
        sims.push_back(StartSim({"--address", Ip(c.net, 2), "--meters", "2", "--boot-delay", "300", "--log",
                                 Scratch("sim" + std::to_string(c.net) + ".log")}));
        ::setenv("XDG_STATE_HOME", state(c.net).c_str(), 1);
        clis.push_back(StartCli({"update", Ip(c.net, 2), Ip(c.net, 3), "--jobs", "1", "--report",
                                 Scratch("report" + std::to_string(c.net) + ".json")}));
    }
    for (size_t k = 0; k < std::size(cases); ++k) {
        const auto& c = cases[k];
        SCOPED_TRACE(strsignal(c.signal));
        ChildProcess& cli = *clis[k];
        const bool writing = cli.ReadUntil(Clock::now() + 30s, [&] {
            for (const auto& l : cli.OutLines())
                if (l.find(Ip(c.net, 2) + " writing") != std::string::npos) return true;
            return false;
        });
        ASSERT_TRUE(writing) << cli.ErrText();
        cli.Signal(c.signal);
        EXPECT_EQ(cli.Wait(Clock::now() + 10s), 1) << cli.ErrText();
        const json summary = SimSummary(*sims[k]);

        const json r = ReadJson(Scratch("report" + std::to_string(c.net) + ".json"));
        ASSERT_TRUE(r.is_object()) << "no report";
        EXPECT_EQ(r["meters"][0]["result"], "cancelled");
        EXPECT_FALSE(r["meters"][0]["started"].is_null());
        EXPECT_EQ(r["meters"][1]["result"], "cancelled");
        EXPECT_TRUE(r["meters"][1]["started"].is_null()) << "the second meter was never contacted";
        ASSERT_EQ(summary.size(), 2u);
        EXPECT_EQ(summary[0]["resets"], 0) << "an interrupted meter gets no RESET";
        EXPECT_LT(summary[0]["writes"], 100) << "stopped long before the end";
        EXPECT_EQ(summary[1]["requests"], 0);
        std::ifstream history(state(c.net) + "/ethernet-loader/updates.jsonl");
        std::vector<json> records;
        for (std::string line; std::getline(history, line);) records.push_back(json::parse(line, nullptr, false));
        ASSERT_EQ(records.size(), 2u) << "a meter never contacted has no record";
        EXPECT_EQ(records[0]["event"], "started");
        EXPECT_EQ(records[1]["result"], "cancelled");
        EXPECT_EQ(records[1]["started"], records[0]["started"]);
    }
}

// A reader that went away (`| head`) and a report folder removed during the
// run change nothing of the run: it ends with its own status, and the
// report is kept beside the update history.
TEST_F(CliEndToEnd, ARunThatLosesItsOutputsStillFinishesAndKeepsItsReport) {
    const std::string firmware = SmallFirmware();
    auto sim =
        StartSim({"--address", Ip(8, 2), "--boot-delay", "300", "--image", firmware, "--log", Scratch("sim.log")});
    ::setenv("LOADER_PASSWORD", "1234", 1);
    std::filesystem::create_directories(Scratch("gone"));
    auto cli = StartCli({"update", Ip(8, 2), "--image", firmware, "--report", Scratch("gone/report.json")});
    ASSERT_TRUE(cli->ReadUntil(Clock::now() + 30s, [&] {
        for (const auto& l : cli->OutLines())
            if (l.find(" writing") != std::string::npos) return true;
        return false;
    })) << cli->ErrText();
    cli->CloseOutput();
    std::filesystem::remove_all(Scratch("gone"));
    EXPECT_EQ(cli->Wait(Clock::now() + 60s), 0) << cli->ErrText();
    const json summary = SimSummary(*sim);
    ASSERT_EQ(summary.size(), 1u);
    EXPECT_EQ(summary[0]["flash"], "match");
    const std::string said = "the report is saved as ";
    const size_t at = cli->ErrText().find(said);
    ASSERT_NE(at, std::string::npos) << cli->ErrText();
    const std::string kept = cli->ErrText().substr(at + said.size(), cli->ErrText().find('\n', at) - at - said.size());
    EXPECT_EQ(kept.rfind(StateHome() + "/ethernet-loader/report-", 0), 0u) << kept;
    EXPECT_EQ(ReadJson(kept)["meters"][0]["result"], "updated");
    EXPECT_EQ(HistoryRecords().size(), 1u);
}

// One meter is updated by one run at a time: another command line run, or
// a window (any holder of the meter's lock), finds it busy and sends nothing.
// The locks are the tool's own, for the whole computer: the addresses (Ip)
// keep other tests off these meters.
TEST_F(CliEndToEnd, OneMeterIsUpdatedByOneRunAtATime) {
    const std::string firmware = SmallFirmware();
    auto sim = StartSim({"--address", Ip(9, 2), "--meters", "2", "--boot-delay", "300", "--image", firmware, "--log",
                         Scratch("sim.log")});
    ::setenv("LOADER_PASSWORD", "1234", 1);
    auto first = StartCli({"update", Ip(9, 2), "--image", firmware});
    ASSERT_TRUE(first->ReadUntil(Clock::now() + 30s, [&] {
        for (const auto& l : first->OutLines())
            if (l.find(" writing") != std::string::npos) return true;
        return false;
    })) << first->ErrText();
    // What the window takes for its run, as this process's own.
    const platform::MeterLock window(platform::MeterLockScope(), Ip(9, 3));
    ASSERT_FALSE(window.Busy());
    const std::string report = Scratch("second.json");
    auto second = StartCli({"update", Ip(9, 2), Ip(9, 3), "--image", firmware, "--report", report});
    EXPECT_EQ(second->Wait(Clock::now() + 30s), 1) << second->ErrText();
    EXPECT_EQ(first->Wait(Clock::now() + 60s), 0) << first->ErrText();
    const json summary = SimSummary(*sim);

    const json r = ReadJson(report);
    ASSERT_TRUE(r.is_object()) << "no report";
    const std::string user = " of user " + std::string(::getpwuid(::geteuid())->pw_name) + ")";
    const std::string holders[] = {"(process " + std::to_string(first->Pid()) + " (ethernet-loader-cli)" + user,
                                   "(process " + std::to_string(::getpid()) + " (cli_e2e_tests)" + user};
    for (size_t i = 0; i < 2; ++i) {
        EXPECT_EQ(r["meters"][i]["result"], "busy");
        EXPECT_NE(r["meters"][i]["message"].get<std::string>().find(holders[i]), std::string::npos)
            << r["meters"][i]["message"];
    }
    ASSERT_EQ(summary.size(), 2u);
    EXPECT_EQ(summary[0]["flash"], "match") << "the first run's update is whole";
    EXPECT_EQ(summary[0]["requests"], 1) << "the second run sent nothing";
    EXPECT_EQ(summary[1]["requests"], 0);
}

// A history that cannot be written is a warning; the meter's verdict and
// the exit status stay what the update made them.
TEST_F(CliEndToEnd, AnUnwritableHistoryIsAWarningOnly) {
    auto sim = StartSim({"--address", Ip(5, 2), "--log", Scratch("sim.log")});
    ::setenv("XDG_STATE_HOME", WriteFile("state-is-a-file", "").c_str(), 1);
    ::setenv("LOADER_PASSWORD", "1234", 1);
    auto cli = StartCli({"probe", Ip(5, 2)});
    EXPECT_EQ(cli->Wait(Clock::now() + 60s), 0) << cli->ErrText();
    EXPECT_NE(cli->ErrText().find("warning: 2 records of the update history not written"), std::string::npos)
        << cli->ErrText();
    EXPECT_NE(cli->OutLines().back().find("1 meter: 1 probed, 0 failed"), std::string::npos) << cli->OutLines().back();
    SimSummary(*sim);
}

// One meter's support trace, as the report names it: in the folder asked
// for, named by the meter and its start, both links' frames in it as IPv4
// packets, the password masked. tshark, where there is one, reads it too.
void ExpectTrace(const json& m, const std::string& folder) {
    SCOPED_TRACE(m["address"]);
    ASSERT_TRUE(m["trace"].is_string()) << m;
    const std::filesystem::path path = m["trace"].get<std::string>();
    EXPECT_EQ(path.parent_path(), std::filesystem::path(folder));
    EXPECT_TRUE(std::regex_match(path.filename().string(),
                                 std::regex(m["address"].get<std::string>() + R"(-20\d{6}T\d{6}Z\.pcapng)")))
        << path;
    const std::string file = testsupport::ReadBytes(path);
    const auto packets = testsupport::PcapngPackets(file);
    ASSERT_TRUE(packets) << "not pcapng";
    std::map<int, int> byProtocol;
    for (const std::string& p : *packets) ++byProtocol[p.size() > 20 && p[0] == 0x45 ? p[9] : -1];
    EXPECT_EQ(byProtocol[-1], 0) << "every packet an IPv4 one";
    EXPECT_GE(byProtocol[17], 2 * 24) << "each block's datagram and its answer";
    EXPECT_GE(byProtocol[6], 4) << "the boot-mode request, the identification after the reset, their answers";
    EXPECT_NE(file.find("GoToBootMode****"), std::string::npos);
    if (std::filesystem::exists("/usr/bin/tshark")) {
        EXPECT_EQ(std::system(("tshark -r '" + path.string() + "' >/dev/null 2>&1").c_str()), 0);
    }
}

// --trace writes one file per meter; a folder that cannot be written is a
// warning for each meter, its result and the exit status untouched.
TEST_F(CliEndToEnd, TraceWritesAFilePerMeterAndAnUnwritableFolderIsAWarningOnly) {
    const std::string firmware = SmallFirmware();
    auto sim = StartSim({"--address", Ip(11, 2), "--meters", "2", "--boot-delay", "300", "--boot-time", "0.2", "--log",
                         Scratch("sim.log")});
    ::setenv("LOADER_PASSWORD", "1234", 1);
    const std::string folder = Scratch("traces"), report = Scratch("traced.json");
    std::filesystem::create_directory(folder);
    auto cli = StartCli({"update", Ip(11, 2), Ip(11, 3), "--image", firmware, "--back-within", "5", "--trace", folder,
                         "--report", report});
    EXPECT_EQ(cli->Wait(Clock::now() + 60s), 0) << cli->ErrText();
    const json r = ReadJson(report);
    ASSERT_EQ(r["meters"].size(), 2u);
    for (const json& m : r["meters"]) ExpectTrace(m, folder);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(folder), {}), 2);

    const std::string unwritable = WriteFile("traces-is-a-file", "") + "/sub";
    auto probe = StartCli({"probe", Ip(11, 2), "--back-within", "0", "--trace", unwritable, "--report", report});
    EXPECT_EQ(probe->Wait(Clock::now() + 60s), 0) << probe->ErrText();
    EXPECT_NE(probe->ErrText().find("warning: " + Ip(11, 2) + ": support trace " + unwritable), std::string::npos)
        << probe->ErrText();
    EXPECT_TRUE(ReadJson(report)["meters"][0]["trace"].is_null());
    SimSummary(*sim);
}

// Ctrl-C typed at the password prompt ends the program there: the meter
// never hears of it, and the terminal gets its echo back.
TEST_F(CliEndToEnd, CtrlCAtThePasswordPromptEndsBeforeAnyMeterIsContacted) {
    auto sim = StartSim({"--address", Ip(7, 2), "--log", Scratch("sim.log")});
    std::vector<std::string> args = WithPorts({"update", Ip(7, 2)}, true);
    args.insert(args.begin(), CLI_EXE);
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    int terminal = -1;
    const pid_t pid = ::forkpty(&terminal, nullptr, nullptr, nullptr);
    if (pid == 0) {
        ::execv(CLI_EXE, argv.data());
        ::_exit(127);
    }
    ASSERT_GT(pid, 0);
    std::string output;
    const auto readUntil = [&](const std::string& what, Clock::time_point deadline) {
        while (output.find(what) == std::string::npos) {
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
            pollfd p{terminal, POLLIN, 0};
            if (left <= 0 || ::poll(&p, 1, static_cast<int>(left)) <= 0) return false;
            char buf[512];
            const ssize_t got = ::read(terminal, buf, sizeof buf);
            if (got <= 0) return false;
            output.append(buf, static_cast<size_t>(got));
        }
        return true;
    };
    EXPECT_TRUE(readUntil("Admin password: ", Clock::now() + 10s)) << output;
    termios quiet{};
    ::tcgetattr(terminal, &quiet);
    EXPECT_FALSE(quiet.c_lflag & ECHO) << "no echo while the password is typed";
    ASSERT_EQ(::write(terminal, "12\x03", 3), 3);  // as the keyboard sends Ctrl-C
    EXPECT_TRUE(readUntil("nothing was sent", Clock::now() + 10s)) << output;
    const int ended = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
    if (ended >= 0) {
        pollfd p{ended, POLLIN, 0};
        ::poll(&p, 1, 10'000);
        ::close(ended);
    }
    int status = -1;
    if (::waitpid(pid, &status, WNOHANG) == 0) {
        ::kill(pid, SIGKILL);
        ::waitpid(pid, &status, 0);
    }
    ::close(terminal);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 2) << output;
    EXPECT_NE(output.find("stopped at the password prompt"), std::string::npos) << output;
    const json summary = SimSummary(*sim);
    ASSERT_EQ(summary.size(), 1u);
    EXPECT_EQ(summary[0]["requests"], 0) << "the meter never heard of it";
}

// The refusals as a process gives them: exit status 2, the reason on
// stderr, nothing sent (the whole table is PlanRun's unit test).
TEST_F(CliEndToEnd, BadInputsAreRefusedBeforeAnythingIsSent) {
    auto sim = StartSim({"--address", Ip(4, 2), "--log", Scratch("sim.log")});
    const std::string good = WriteFile("good", "1234\n");
    const struct {
        std::vector<std::string> args;
        std::string says;
    } cases[] = {
        {{"update", Ip(4, 2), Ip(4, 2), "--password-file", good}, "'" + Ip(4, 2) + "' is given twice"},
        {{"update", "--hosts", Scratch("missing"), "--password-file", good}, "--hosts " + Scratch("missing")},
        {{"update", Ip(4, 2)}, "no password"},  // no terminal to ask on
        {{"update", Ip(4, 2), "--password-file", good, "--expect-sha256", ""}, "--expect-sha256 is empty"},
        {{"updte", Ip(4, 2)}, "did you mean 'update'?"},
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
        R"({"tool_version":"1.12","brand":"VELTRONA","front_end":"window","command":"update",)"
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

// A fleet larger than the terminal gets one summary block, with every failure
// printed once above it as it happens; a small one keeps a line per meter.
TEST_F(CliEndToEnd, TerminalShowsASummaryForAFleetLargerThanItAndLinesForASmallOne) {
    const auto addresses = testsupport::ConsecutiveAddresses(Ip(5, 250), 30);  // 127.P.5.250 ... 127.P.6.23
    auto sim = StartSim({"--address", addresses[0], "--meters", "30", "--boot-delay", "300", "--log",
                         Scratch("sim.log"), "--meter", "2", "--password", "other", "--meter", "9", "--fault", "drop"});
    ::setenv("LOADER_PASSWORD", "1234", 1);
    const struct {
        int meters;
        bool summary;
        const char* last;
    } cases[] = {{30, true, "30 meters: 28 probed, 2 failed, 0 running"},
                 {3, false, "3 meters: 2 probed, 1 failed, 0 running"}};
    constexpr unsigned short kRows = 20, kColumns = 100;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.meters);
        std::vector<std::string> args{"probe"};
        args.insert(args.end(), addresses.begin(), addresses.begin() + c.meters);
        const TerminalRun run = RunOnTerminal(args, kRows, kColumns, Clock::now() + 60s);
        EXPECT_EQ(run.status, 1) << run.output;
        const Screen screen = Emulate(run.output);
        ASSERT_FALSE(screen.lines.empty());
        EXPECT_EQ(screen.lines.back(), c.last);
        EXPECT_LT(screen.largestUp, kRows) << "every redrawn line stays on the screen";
        const auto lineStartingWith = [&](const std::string& start) {
            return std::count_if(screen.lines.begin(), screen.lines.end(),
                                 [&](const std::string& l) { return l.rfind(start, 0) == 0; });
        };
        const auto lineWith = [&](const std::string& text) {
            return std::count_if(screen.lines.begin(), screen.lines.end(),
                                 [&](const std::string& l) { return l.find(text) != std::string::npos; });
        };
        if (c.summary) {
            EXPECT_EQ(lineStartingWith("results: 1 not-found, 1 password-rejected, 28 probed"), 1);
            EXPECT_EQ(lineStartingWith("running 0"), 1);
            // Each failure once, as it happened, and never drawn again.
            for (const auto& failure : {addresses[1] + " password-rejected: ", addresses[8] + " not-found: "}) {
                EXPECT_EQ(lineWith(failure), 1) << failure;
                EXPECT_EQ(Occurrences(run.output, failure), 1u) << failure;
            }
            for (int i : {0, 2, 29}) EXPECT_EQ(lineStartingWith(addresses[i]), 0) << "no line per meter";
        } else {
            // The failure's reason above the three lines and the count.
            ASSERT_EQ(screen.lines.size(), 5u);
            EXPECT_NE(screen.lines[0].find(addresses[1] + " password-rejected: The meter rejected the password"),
                      std::string::npos)
                << screen.lines[0];
            for (int i = 0; i < 3; ++i) {
                EXPECT_EQ(lineStartingWith(addresses[i]), 1) << addresses[i];
                EXPECT_NE(screen.lines[i + 1].find(i == 1 ? "password-rejected" : "probed"), std::string::npos)
                    << screen.lines[i + 1];
            }
        }
    }
}

// A run with failures, then --retry-failed on its report against meters that
// now work: only the failed ones are contacted, the new report names the one
// it continues, and merge-reports counts each meter by its last attempt.
TEST_F(CliEndToEnd, RetryFailedTakesUpOnlyTheFailedMetersAndMergeCountsTheirLastAttempt) {
    const std::string firmware = SmallFirmware();
    const std::string password = WriteFile("password", std::string(kPassword) + "\n");
    const std::vector<std::string> hosts = {Ip(6, 2), Ip(6, 3), Ip(6, 4), Ip(6, 5)};
    const std::string first = Scratch("first.json"), retry = Scratch("retry.json");
    {
        auto sim = StartSim({"--address", hosts[0], "--meters", "4", "--password", kPasswordBytes, "--boot-delay",
                             "300", "--log", Scratch("sim.log"), "--meter", "2", "--password", "other", "--meter", "3",
                             "--fault", "drop"});
        auto cli = StartCli({"update", hosts[0], hosts[1], hosts[2], hosts[3], "--password-file", password, "--image",
                             firmware, "--report", first});
        EXPECT_EQ(cli->Wait(Clock::now() + 120s), 1) << cli->ErrText();
    }
    const json r1 = ReadJson(first);
    ASSERT_TRUE(r1.is_object()) << "no report";
    ASSERT_EQ(r1["meters"].size(), 4u);
    EXPECT_EQ(r1["meters"][1]["result"], "password-rejected");
    EXPECT_EQ(r1["meters"][2]["result"], "not-found");
    EXPECT_TRUE(r1["continues"].is_null());

    // The meters are fixed now; the firmware is pinned to the one of the first run.
    auto sim = StartSim({"--address", hosts[0], "--meters", "4", "--password", kPasswordBytes, "--boot-delay", "300",
                         "--image", firmware, "--log", Scratch("sim2.log")});
    // Without the firmware of the first run, the retry would write the compiled-in one.
    auto other = StartCli({"update", "--retry-failed", first, "--password-file", password});
    EXPECT_EQ(other->Wait(Clock::now() + 30s), 2) << other->ErrText();
    EXPECT_NE(other->ErrText().find("Give that run's firmware: --image " + firmware), std::string::npos)
        << other->ErrText();
    auto cli = StartCli({"update", "--retry-failed", first, "--expect-sha256", r1["firmware"]["sha256"], "--image",
                         firmware, "--password-file", password, "--report", retry});
    EXPECT_EQ(cli->Wait(Clock::now() + 120s), 0) << cli->ErrText();
    const json summary = SimSummary(*sim);
    ASSERT_EQ(summary.size(), 4u);
    const int requests[] = {0, 1, 1, 0};
    const char* flash[] = {"mismatch", "match", "match", "mismatch"};
    for (size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(summary[i]["requests"], requests[i]) << summary[i];
        EXPECT_EQ(summary[i]["flash"], flash[i]) << summary[i];
    }
    const json r2 = ReadJson(retry);
    ASSERT_TRUE(r2.is_object()) << "no report";
    ASSERT_EQ(r2["meters"].size(), 2u);
    EXPECT_EQ(r2["meters"][0]["address"], hosts[1]);
    EXPECT_EQ(r2["meters"][1]["address"], hosts[2]);
    EXPECT_EQ(r2["meters"][0]["result"], "updated");
    EXPECT_EQ(r2["meters"][1]["result"], "updated");
    EXPECT_EQ(r2["continues"]["report"], first);
    EXPECT_EQ(r2["continues"]["started"], r1["started"]);
    EXPECT_EQ(r2["continues"]["firmware_sha256"], r1["firmware"]["sha256"]);
    EXPECT_EQ(r2["continues"]["failed_meters"], 2);

    // A retry of a run without failures has nothing to do and says so.
    auto again = StartCli({"update", "--retry-failed", retry, "--image", firmware, "--report", Scratch("none.json")});
    EXPECT_EQ(again->Wait(Clock::now() + 30s), 0) << again->ErrText();
    EXPECT_EQ(ReadJson(Scratch("none.json"))["meters"].size(), 0u);

    ExpectMergeCountsLastAttempts(first, retry, r2["firmware"]["sha256"]);
}

// 256 meters at once (the default for a list that long), on consecutive
// addresses across the third octet, each contacted exactly once.
TEST_F(CliEndToEnd, FleetOf256MetersIsProbedAtOnce) {
    const auto addresses = testsupport::ConsecutiveAddresses(Ip(10, 2), 256);  // 127.P.10.2 ... 127.P.11.1
    auto sim =
        StartSim({"--address", addresses[0], "--meters", "256", "--boot-delay", "300", "--log", Scratch("sim.log")});
    ::setenv("LOADER_PASSWORD", "1234", 1);
    const std::string report = Scratch("report.json");
    std::vector<std::string> args{"probe", "--report", report};
    args.insert(args.end(), addresses.begin(), addresses.end());
    auto cli = StartCli(args);
    EXPECT_EQ(cli->Wait(Clock::now() + 120s), 0) << cli->ErrText();
    const json summary = SimSummary(*sim);

    const json r = ReadJson(report);
    ASSERT_TRUE(r.is_object()) << "no report";
    ASSERT_EQ(r["meters"].size(), 256u);
    ASSERT_EQ(summary.size(), 256u);
    std::string firstStart = "~", lastStart;
    for (size_t i = 0; i < 256; ++i) {
        const json& m = r["meters"][i];
        EXPECT_EQ(m["address"], addresses[i]);
        EXPECT_EQ(m["result"], "probed") << m;
        firstStart = std::min(firstStart, m["started"].get<std::string>());
        lastStart = std::max(lastStart, m["started"].get<std::string>());
        EXPECT_EQ(summary[i]["meter"], addresses[i]);
        EXPECT_EQ(summary[i]["requests"], 1) << summary[i];
        EXPECT_EQ(summary[i]["resets"], 1) << summary[i];
        EXPECT_EQ(summary[i]["bootloader"], false) << summary[i];
    }
    // Had they run one after another, the last would have started a whole probe after the first.
    EXPECT_LT(lastStart, r["meters"][0]["finished"].get<std::string>()) << firstStart;
    ASSERT_FALSE(cli->OutLines().empty());
    EXPECT_EQ(cli->OutLines().back(), "256 meters: 256 probed, 0 failed, 0 running");
}

// Meters behind one slow link whose buffer all of them at once overflow:
// their writes are paced as a group, and the link drops few of them.
TEST_F(CliEndToEnd, MetersBehindOneSlowLinkArePacedAsAGroup) {
    const std::string firmware = SmallFirmware();
    const auto addresses = testsupport::ConsecutiveAddresses(Ip(13, 2), 24);
    // 1 Mbit/s, 100 ms: 12 writes in flight fill it, and its buffer holds 7 more.
    auto sim = StartSim({"--address", addresses[0], "--meters", "24", "--boot-delay", "300", "--gateway", "1000:8000",
                         "--rtt", "100", "--image", firmware, "--log", Scratch("sim.log")});
    ::setenv("LOADER_PASSWORD", "1234", 1);
    const std::string report = Scratch("report.json");
    std::vector<std::string> args{"update", "--report", report, "--image", firmware, "--back-within", "0"};
    args.insert(args.end(), addresses.begin(), addresses.end());
    auto cli = StartCli(args);
    EXPECT_EQ(cli->Wait(Clock::now() + 60s), 0) << cli->ErrText();
    sim->Signal(SIGINT);
    sim->Wait(Clock::now() + 10s);
    json gateway;
    for (const std::string& line : sim->OutLines())
        if (line.find("\"summary\"") != std::string::npos) gateway = json::parse(line)["gateway"];

    const json r = ReadJson(report);
    ASSERT_TRUE(r.is_object()) << "no report";
    for (const json& m : r["meters"]) EXPECT_EQ(m["result"], "updated") << m;
    ASSERT_EQ(r["groups"].size(), 1u) << r["groups"];
    const json& g = r["groups"][0];
    EXPECT_EQ(g["group"], "127." + std::to_string(100 + ::getpid() % 100) + ".13.0/24");
    EXPECT_EQ(g["meters"], 24);
    const int dropped = gateway["down"]["dropped"].get<int>();
    EXPECT_EQ(g["frames_sent_again"], dropped) << "every frame the link lost was sent again, and no other";
    EXPECT_EQ(g["bytes_sent"], (24 * 24 + dropped) * 1029);
    ASSERT_TRUE(g["limit"]["lowest"].is_number()) << "the pacing held writes back";
    EXPECT_LE(g["limit"]["lowest"], g["limit"]["highest"]);
    // Without pacing about 30 are lost here.
    EXPECT_LE(dropped, 20) << gateway;
}

// What one meter's report says after the watch, and what its meter saw.
struct ReturnRow {
    const char* result;
    bool back;
    const char* revision;  // nullptr: none named
    int reads;             // Read Device Identification requests the meter got
    std::vector<std::string> says;
};

void ExpectReturn(const json& m, const ReturnRow& row, const json& atMeter, double bootTimeS) {
    SCOPED_TRACE(m.dump());
    EXPECT_EQ(m["result"], row.result);
    EXPECT_EQ(m["blocks_written"], 24) << "the watch comes after a whole update";
    if (row.back) {
        ASSERT_TRUE(m["back_after_s"].is_number());
        EXPECT_GE(m["back_after_s"].get<double>(), bootTimeS);
        EXPECT_LE(m["back_after_s"].get<double>(), 3.0);
    } else {
        EXPECT_TRUE(m["back_after_s"].is_null());
    }
    EXPECT_EQ(m["revision"], row.revision ? json(row.revision) : json(nullptr));
    EXPECT_EQ(m["vendor"], row.revision ? json("VELTRONA") : json(nullptr));
    EXPECT_EQ(m["product"], row.revision ? json("QT5201") : json(nullptr));
    for (const std::string& words : row.says)
        EXPECT_NE(m["message"].get<std::string>().find(words), std::string::npos) << words;
    EXPECT_EQ(atMeter["requests"], 1) << "the boot-mode request only";
    EXPECT_EQ(atMeter["deviceIdRequests"], row.reads);
    EXPECT_EQ(atMeter["flash"], "match");
}

// The meters' own log: after its "RESET", no meter got another boot-mode request.
void ExpectNoRequestAfterReset(const std::string& log, size_t meters) {
    std::set<std::string> reset;
    std::ifstream in(log);
    for (std::string line; std::getline(in, line);) {
        json e = json::parse(line, nullptr, false);
        if (e["command"] == "RESET") reset.insert(e["meter"].get<std::string>());
        if (e["command"] == "MODBUS" && e["function"] == 16) {
            EXPECT_FALSE(reset.count(e["meter"].get<std::string>())) << line;
        }
    }
    EXPECT_EQ(reset.size(), meters);
}

// The meters a retry of `report` would take up, as "plan" reads them.
std::vector<std::string> RetriedMeters(const std::string& report, const std::string& firmware) {
    auto cli = StartCli({"plan", "update", "--retry-failed", report, "--image", firmware});
    EXPECT_EQ(cli->Wait(Clock::now() + 30s), 0) << cli->ErrText();
    std::string out;
    for (const auto& l : cli->OutLines()) out += l + "\n";
    const json plan = json::parse(out, nullptr, false);
    std::vector<std::string> addresses;
    for (const auto& m : plan["meters"]) addresses.push_back(m["address"]);
    return addresses;
}

// After "RESET" each meter is watched until it is back in service, and only
// read: one meter-sim serves a meter of every kind of return, and two runs
// at once update them, one of them expecting another revision.
TEST_F(CliEndToEnd, TheWatchAfterTheResetTellsWhatCameBack) {
    const std::string firmware = SmallFirmware();
    const std::string log = Scratch("sim.log");
    auto sim = StartSim({"--address",
                         Ip(12, 2),
                         "--meters",
                         "5",
                         "--boot-delay",
                         "300",
                         "--boot-time",
                         "0.3",
                         "--image",
                         firmware,
                         "--log",
                         log,
                         "--meter",
                         "2",
                         "--no-device-id",
                         "--meter",
                         "3",
                         "--fault",
                         "stays-in-bootloader",
                         "--meter",
                         "4",
                         "--fault",
                         "never-back"});
    ::setenv("LOADER_PASSWORD", "1234", 1);
    const std::string watched = Scratch("watched.json"), expecting = Scratch("expecting.json");
    auto cliFirst = StartCli({"update", Ip(12, 2), Ip(12, 3), Ip(12, 4), Ip(12, 5), "--report", watched, "--image",
                              firmware, "--back-within", "3"});
    auto cliSecond = StartCli({"update", Ip(12, 6), "--expect-revision", "2.40", "--report", expecting, "--image",
                               firmware, "--back-within", "3"});
    EXPECT_EQ(cliFirst->Wait(Clock::now() + 60s), 1) << cliFirst->ErrText();
    EXPECT_EQ(cliSecond->Wait(Clock::now() + 60s), 1) << cliSecond->ErrText();
    const json summary = SimSummary(*sim);

    const json r1 = ReadJson(watched), r2 = ReadJson(expecting);
    ASSERT_TRUE(r1.is_object() && r2.is_object() && r1["meters"].size() == 4 && r2["meters"].size() == 1) << r1 << r2;
    const json meters = {r1["meters"][0], r1["meters"][1], r1["meters"][2], r1["meters"][3], r2["meters"][0]};
    const ReturnRow rows[] = {
        {"updated", true, "2.31", 1, {"Back in service after ", ", revision 2.31."}},
        {"updated", true, nullptr, 1, {"Back in service after "}},
        {"not-back",
         false,
         nullptr,
         0,
         {"not back in service within 3 s: its bootloader still answers (TALVO-ETH-BOOTLOADER-V1.00)",
          "Run the update on it again, which rewrites it, or visit it."}},
        {"not-back", false, nullptr, 0, {"not back in service within 3 s: nothing answered at all", "or visit it."}},
        {"wrong-revision", true, "2.31", 1, {"runs firmware revision 2.31, not the expected 2.40."}},
    };
    ASSERT_EQ(summary.size(), std::size(rows));
    for (size_t i = 0; i < std::size(rows); ++i) ExpectReturn(meters[i], rows[i], summary[i], 0.3);
    ExpectNoRequestAfterReset(log, std::size(rows));

    // A retry of either run takes up exactly its meters not back or on the wrong revision.
    EXPECT_EQ(RetriedMeters(watched, firmware), (std::vector<std::string>{Ip(12, 4), Ip(12, 5)}));
    EXPECT_EQ(RetriedMeters(expecting, firmware), (std::vector<std::string>{Ip(12, 6)}));
}

namespace {

// The meters whose log shows blocks written and no "RESET" after them: left
// in their bootloader with part of the firmware.
std::set<std::string> HalfWritten(const std::string& simLog) {
    std::set<std::string> half;
    std::ifstream in(simLog);
    for (std::string line; std::getline(in, line);) {
        const json e = json::parse(line, nullptr, false);
        if (!e.is_object()) continue;
        if (e["command"] == "W") half.insert(e["meter"].get<std::string>());
        if (e["command"] == "RESET") half.erase(e["meter"].get<std::string>());
    }
    return half;
}

// A run of 32 meters of their own, 16 at once, to be killed at a moment:
// `offset` after its start, or after its first output line with `after`.
struct RunToKill {
    std::vector<std::string> hosts;
    std::string report, retry, log;
    const char* after = nullptr;
    std::chrono::milliseconds offset{};
    std::unique_ptr<ChildProcess> sim, cli;
    std::optional<Clock::time_point> killAt{};
    bool killed = false;
};

RunToKill StartRunToKill(int net, const std::string& firmware, const char* after, std::chrono::milliseconds offset) {
    RunToKill run;
    const std::string n = std::to_string(net);
    run.hosts = testsupport::ConsecutiveAddresses(Ip(net, 2), 32);
    run.report = Scratch("killed" + n + ".json");
    run.retry = Scratch("retry" + n + ".json");
    run.log = Scratch("sim" + n + ".log");
    run.after = after;
    run.offset = offset;
    run.sim = StartSim({"--address", run.hosts[0], "--meters", "32", "--boot-delay", "300", "--boot-time", "0.2",
                        "--image", firmware, "--log", run.log});
    std::vector<std::string> args = {"update",        "--jobs", "16",       "--image", firmware,
                                     "--back-within", "0",      "--report", run.report};
    args.insert(args.end(), run.hosts.begin(), run.hosts.end());
    run.cli = StartCli(args);
    if (!after) run.killAt = Clock::now() + offset;
    return run;
}

// SIGKILL to each run at its moment; false when one never came.
bool KillAtTheirMoments(std::vector<RunToKill>& runs, Clock::time_point deadline) {
    while (std::any_of(runs.begin(), runs.end(), [](const RunToKill& r) { return !r.killed; })) {
        if (Clock::now() > deadline) return false;
        for (RunToKill& run : runs) {
            if (run.killed) continue;
            run.cli->ReadUntil(Clock::now() + 5ms, [] { return false; });
            const auto& lines = run.cli->OutLines();
            if (!run.killAt && std::any_of(lines.begin(), lines.end(), [&](const std::string& l) {
                    return l.find(run.after) != std::string::npos;
                }))
                run.killAt = Clock::now() + run.offset;
            if (run.killAt && Clock::now() >= *run.killAt) {
                run.cli->Signal(SIGKILL);
                run.killed = true;
            }
        }
    }
    return true;
}

// The report a killed run left: every meter in its order, updated,
// interrupted (with its stage) or not started. Returns those not updated.
std::vector<std::string> ExpectTrueReportOfKilledRun(const RunToKill& run) {
    const json r = ReadJson(run.report);
    if (!r.is_object() || r["meters"].size() != run.hosts.size()) {
        ADD_FAILURE() << "no report of every meter: " << testsupport::ReadBytes(run.report);
        return {};
    }
    std::vector<std::string> notUpdated;
    for (size_t i = 0; i < run.hosts.size(); ++i) {
        const json& m = r["meters"][i];
        SCOPED_TRACE(m.dump());
        EXPECT_EQ(m["address"], run.hosts[i]);
        const std::string result = m["result"];
        EXPECT_TRUE(result == "updated" || result == "interrupted" || result == "not-started");
        EXPECT_EQ(m.contains("stage"), result == "interrupted");
        EXPECT_EQ(m["started"].is_null(), result == "not-started");
        if (result != "updated") notUpdated.push_back(run.hosts[i]);
    }
    return notUpdated;
}

// The retry updated exactly the meters not updated, and every meter of the
// run holds the firmware; the two reports merged have no failure.
void ExpectRetryUpdatedTheRest(RunToKill& run, const std::vector<std::string>& notUpdated) {
    EXPECT_EQ(run.cli->Wait(Clock::now() + 60s), 0) << run.cli->ErrText();
    const json summary = SimSummary(*run.sim);
    ASSERT_EQ(summary.size(), 32u);
    for (const json& meter : summary) EXPECT_EQ(meter["flash"], "match") << meter;
    const json r = ReadJson(run.retry);
    ASSERT_TRUE(r.is_object()) << "no report of the retry";
    std::vector<std::string> retried;
    for (const json& m : r["meters"]) {
        retried.push_back(m["address"]);
        EXPECT_EQ(m["result"], "updated") << m;
    }
    EXPECT_EQ(retried, notUpdated);
    auto merge = StartCli({"merge-reports", run.report, run.retry});
    EXPECT_EQ(merge->Wait(Clock::now() + 30s), 0) << merge->ErrText();
}

// The update history of the runs: every start of a process that lived has
// its end; a killed process's starts without an end are what `history`
// shows as interrupted, and every end has its start.
void ExpectHistoryPairsEveryRun(const std::set<long>& killed) {
    std::map<std::string, int> open;  // process, address, start: starts less ends
    std::map<long, int> unended;
    for (const json& r : HistoryRecords(true)) open[r["process"].dump() + r["address"].dump() + r["started"].dump()]++;
    for (const json& r : HistoryRecords()) {
        const std::string key = r["process"].dump() + r["address"].dump() + r["started"].dump();
        EXPECT_EQ(open[key]--, 1) << "an end without its start: " << r;
    }
    for (const auto& [key, n] : open) {
        if (n == 0) continue;
        const long pid = json::parse(key.substr(0, key.find('}') + 1))["pid"];
        EXPECT_TRUE(killed.count(pid)) << "a start without its end in a process that lived: " << key;
        unended[pid] += n;
    }
    auto history = StartCli({"history", "--json"});
    EXPECT_EQ(history->Wait(Clock::now() + 30s), 0) << history->ErrText();
    std::string out;
    for (const auto& l : history->OutLines()) out += l + "\n";
    const json runs = json::parse(out, nullptr, false);
    std::map<long, int> interrupted;
    for (const json& r : runs) {
        if (r["result"] != "interrupted") continue;
        interrupted[r["process"]["pid"].get<long>()]++;
        EXPECT_NE(r["message"].get<std::string>().find("may wait in its bootloader"), std::string::npos) << r;
    }
    EXPECT_FALSE(unended.empty()) << "a run killed while it wrote left starts without their ends";
    EXPECT_EQ(interrupted, unended);
}

}  // namespace

// A run killed (SIGKILL) at any moment leaves a report true of it: every
// meter ended, interrupted or not started. A retry of that report takes up
// exactly the meters not updated, those left in their bootloader with half
// the firmware among them, and every meter ends with the firmware. Three
// runs of 32 meters side by side, each killed at a moment drawn from a fixed
// seed; one of them while its first meters write.
TEST_F(CliEndToEnd, AKilledRunLeavesATrueReportAndItsRetryUpdatesEveryMeter) {
    const std::string firmware = SmallFirmware();
    ::setenv("LOADER_PASSWORD", "1234", 1);
    std::mt19937 random(20261208);
    // Two waves of 16 meters of about 8 s each: within 14.5 s the run is on.
    const struct {
        int net;
        const char* after;
        double withinS;
    } kills[] = {{30, nullptr, 14.5}, {31, " writing", 1.0}, {32, nullptr, 14.5}};
    std::vector<RunToKill> runs;
    for (const auto& k : kills) {
        const double s = std::uniform_real_distribution<double>(0.2, k.withinS)(random);
        runs.push_back(StartRunToKill(k.net, firmware, k.after, std::chrono::milliseconds(static_cast<int>(s * 1000))));
    }
    std::set<long> killed;
    for (const RunToKill& run : runs) killed.insert(run.cli->Pid());
    ASSERT_TRUE(KillAtTheirMoments(runs, Clock::now() + 30s));
    // A meter reset just before the kill answers nothing for its boot time:
    // a retry that soon would find it neither in its application nor in its bootloader.
    std::this_thread::sleep_for(1s);

    std::vector<std::vector<std::string>> notUpdated;
    for (RunToKill& run : runs) {
        SCOPED_TRACE("killed " + std::to_string(run.offset.count()) + " ms after " +
                     (run.after ? run.after : "the start"));
        EXPECT_EQ(run.cli->Wait(Clock::now() + 10s), 128 + SIGKILL);
        notUpdated.push_back(ExpectTrueReportOfKilledRun(run));
        EXPECT_FALSE(notUpdated.back().empty()) << "killed within the run";
        if (run.after) {
            EXPECT_FALSE(HalfWritten(run.log).empty()) << "a meter left with half the firmware";
        }
        auto merge = StartCli({"merge-reports", run.report});
        EXPECT_EQ(merge->Wait(Clock::now() + 30s), 1) << "meters not ended are failures";
        run.cli = StartCli(
            {"update", "--retry-failed", run.report, "--image", firmware, "--back-within", "0", "--report", run.retry});
    }
    for (size_t k = 0; k < runs.size(); ++k) ExpectRetryUpdatedTheRest(runs[k], notUpdated[k]);
    ExpectHistoryPairsEveryRun(killed);
}
