// Every input that cannot work is refused before anything is sent: exit
// status 2 and a message that names it, checked without a process or root.
#include <gtest/gtest.h>

#include <cctype>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "cli/Plan.h"
#include "cli/Preview.h"
#include "tests/support/TempDir.h"

using namespace cli;

namespace {

const testsupport::TempDir scratch;

// Readable by its owner alone, as a password file must be.
std::string WriteFile(const std::string& name, const std::string& content,
                      std::filesystem::perms perms = std::filesystem::perms::owner_read |
                                                     std::filesystem::perms::owner_write) {
    const std::string path = scratch.File(name);
    testsupport::WriteBytes(path, content);
    std::filesystem::permissions(path, perms);
    return path;
}

// An update report with one failed meter, of a firmware that is not the compiled-in one.
std::string UpdateReport(const std::string& name, const std::string& source) {
    return WriteFile(name,
                     R"({"tool": "ethernet-loader-cli", "command": "update", "started": "2026-01-01T00:00:00.000Z",
                              "firmware": {"sha256": ")" +
                         std::string(64, 'a') + R"(", "source": ")" + source + R"("},
                              "meters": [{"address": "10.0.0.2", "result": "communication-error"}]})");
}

std::string Image(uint32_t at, size_t bytes) {
    std::string img(0x80000, '\xFF');
    for (size_t i = 0; i < bytes; ++i) img[at + i] = static_cast<char>(i * 7 + 1);
    return img;
}

// A machine with no LOADER_PASSWORD, a terminal where the given line is typed
// (or none), and a name service that knows "localhost" and "meter-7".
PlanInputs Machine(std::optional<platform::TypedLine> typed = std::nullopt) {
    PlanInputs in;
    in.environment = [](const char*) { return std::nullopt; };
    in.prompt = [typed] { return typed.value_or(platform::TypedLine{}); };
    in.resolve = [](const std::string& host) -> std::string {
        if (host == "localhost") return "127.0.0.1";
        if (host == "meter-7") return "10.0.0.7";
        if (!host.empty() && host[0] >= '0' && host[0] <= '9') return host;
        return {};
    };
    return in;
}

}  // namespace

TEST(PlanRun, RefusesEveryInputThatCannotWorkNamingIt) {
    const std::string good = WriteFile("good", "1234\n");
    const std::string wrongSize = WriteFile("short.bin", std::string(0x7FFFF, '\xFF'));
    const std::string blank = WriteFile("blank.bin", Image(0x8000, 0));
    const std::string bootArea = WriteFile("boot.bin", Image(0x100, 16));
    const std::string zeros = WriteFile("zeros", "# hall 1\n10.0.0.2\n10.0.0.08\n");
    const std::string hosts = WriteFile("hosts",
                                        "\xEF\xBB\xBF"
                                        "10.0.0.2\n127.0.0.1\n");
    const std::string probeReport = WriteFile(
        "probe.json", R"({"tool": "ethernet-loader-cli", "command": "probe", "started": "2026-01-01T00:00:00.000Z",
                          "meters": [{"address": "10.0.0.2", "result": "unreachable"}]})");
    const std::string missing = scratch.File("missing");
    const std::string folder = scratch.path().string();
    const std::string sha0(64, '0');
    const std::string shared = WriteFile("shared", "1234\n",
                                         std::filesystem::perms::owner_read | std::filesystem::perms::owner_write |
                                             std::filesystem::perms::group_read | std::filesystem::perms::others_read);
    const std::string otherFirmware = UpdateReport("fw-new.json", "fw-new.bin");
    platform::TypedLine stopped;
    stopped.asked = stopped.stopped = true;
    const struct {
        std::vector<std::string> args;
        std::string says;
        PlanInputs inputs = Machine();
    } cases[] = {
        {{"update", "1.2.3", "--password-file", good}, "bad host '1.2.3'"},
        {{"update", "10.0.0.2", "meter_1", "--password-file", good}, "bad host 'meter_1'"},
        {{"update", "10.0.0.2", "10.0.0.2", "--password-file", good}, "'10.0.0.2' is given twice: on the command line"},
        {{"update", "localhost", "--hosts", hosts, "--password-file", good},
         "'localhost' and '127.0.0.1' are the same meter (127.0.0.1), given on the command line and on line 2 of " +
             hosts},
        {{"update", "10.0.0.0/21", "--password-file", good}, "more than 1024 addresses"},
        {{"update", "fe80::1", "--password-file", good}, "IPv6"},
        {{"update", "--password-file", good}, "no meter given"},
        {{"update", "--hosts", zeros, "--password-file", good}, "bad host '10.0.0.08' on line 3 of " + zeros},
        {{"update", "--hosts", missing, "--password-file", good},
         "--hosts " + missing + ": cannot be read: No such file or directory"},
        {{"update", "--hosts", folder, "--password-file", good},
         "--hosts " + folder + ": cannot be read: it is a folder"},
        {{"probe", "10.0.0.2", "--password-file", missing}, "--password-file " + missing + ": cannot be read"},
        {{"update", "10.0.0.2", "--password-file", WriteFile("three", "abc\n")}, "3 characters"},
        {{"update", "10.0.0.2", "--password-file",
          WriteFile("a-macron",
                    "ab\xC4\x80"
                    "cd")},
         "has a character the meter cannot take (only Windows-1252 characters)"},
#ifndef _WIN32  // Windows files carry access lists, not these bits
        {{"update", "10.0.0.2", "--password-file", shared},
         "--password-file " + shared + ": users besides its owner may read it (mode 0644); chmod 600 " + shared},
#endif
        {{"update", "10.0.0.2"}, "no password"},
        {{"update", "10.0.0.2"}, "stopped at the password prompt; nothing was sent", Machine(stopped)},
        {{"update", "10.0.0.2", "--password", "1234"}, "--password is not taken"},
        {{"update", "10.0.0.2", "--password-file", good, "--image", wrongSize}, "--image " + wrongSize},
        {{"update", "10.0.0.2", "--password-file", good, "--image", blank}, "no data in the application area"},
        {{"update", "10.0.0.2", "--password-file", good, "--image", bootArea},
         "data at 0x00100 to 0x0010F, outside the application area"},
        {{"update", "10.0.0.2", "--password-file", good, "--jobs", "0"}, "--jobs"},
        {{"update", "10.0.0.2", "--password-file", good, "--jobs", "1025"}, "--jobs"},
        {{"update", "10.0.0.2", "--password-file", good, "--report", scratch.File("no/such/dir/r.json")},
         "--report " + scratch.File("no/such/dir/r.json") + ": cannot be written: No such file or directory"},
        {{"update", "--hosts", hosts, "--password-file", good, "--report", (scratch.path() / "." / "hosts").string()},
         "is the file given as --hosts " + hosts},
        {{"probe", "--retry-failed", probeReport, "--password-file", good, "--report", probeReport},
         "is the file given as --retry-failed"},
        {{"update", "10.0.0.2", "--password-file", good, "--expect-sha256", sha0},
         "not " + sha0 + " as --expect-sha256 requires; nothing was sent"},
        {{"update", "10.0.0.2", "--password-file", good, "--expect-sha256", "abc"}, "not a SHA-256"},
        {{"update", "10.0.0.2", "--password-file", good, "--expect-sha256", ""}, "--expect-sha256 is empty"},
        {{"update", "10.0.0.2", "--password-file", good, "--retry-failed", probeReport}, "give no HOST"},
        {{"update", "--password-file", good, "--retry-failed", probeReport}, "the report is of probe run"},
        {{"update", "--password-file", good, "--retry-failed", missing}, "--retry-failed"},
        {{"update", "--password-file", good, "--retry-failed", otherFirmware},
         "that run wrote the firmware " + std::string(64, 'a') +
             " (fw-new.bin), but the firmware to be written now (compiled-in) has the SHA-256 "},
        {{"update", "--password-file", good, "--retry-failed", UpdateReport("compiled.json", "compiled-in")},
         "Give that run's firmware: no --image (the compiled-in firmware) with --expect-sha256 " +
             std::string(64, 'a')},
        {{"merge-reports", probeReport, "--output", probeReport}, "--output " + probeReport + " is the file given"},
        {{"10.0.0.2"}, "subcommand"},
        {{"updte", "10.0.0.2"}, "'updte' is no command; did you mean 'update'?"},
        {{"merge-report", "a.json"}, "did you mean 'merge-reports'?"},
    };
    for (const auto& c : cases) {
        const Planned p = PlanRun(c.args, c.inputs);
        EXPECT_FALSE(p.plan) << c.says;
        EXPECT_EQ(p.status, kNothingSent) << c.says;
        EXPECT_NE(p.err.find(c.says), std::string::npos) << p.err;
    }
}

// "plan" reads a run as the run would, and names each meter's host-list
// entry and every refusal, not only the first.
TEST(PlanRun, APreviewNamesEachMetersEntryAndEveryRefusal) {
    const std::string hosts = WriteFile("site", "# hall\n10.1.2.0/30\n\nmeter-7\n");
    const std::string good = WriteFile("pw-good", "1234\n");
    // Refused on every system: others may read it where files have such bits, and it is too short.
    const std::string shared = WriteFile(
        "pw-shared", "123\n",
        std::filesystem::perms::owner_read | std::filesystem::perms::owner_write | std::filesystem::perms::others_read);
    const struct {
        std::vector<std::string> args;
        std::vector<std::string> refusals;
        nlohmann::json usable;
    } cases[] = {
        {{"plan", "update", "--hosts", hosts, "--password-file", good}, {}, true},
        {{"plan", "probe", "--hosts", hosts}, {}, nullptr},  // asked for at the run's start
        {{"plan", "update", "--hosts", hosts, "--password-file", shared, "--expect-sha256", std::string(64, '0'),
          "--report", hosts},
         {"as --expect-sha256 requires", "is the file given as --hosts", shared},
         false},
    };
    for (const auto& c : cases) {
        const Planned p = PlanRun(c.args, Machine());
        ASSERT_TRUE(p.plan) << p.err;
        const nlohmann::ordered_json j = PreviewJson(*p.plan, Machine().resolve, std::nullopt);
        ASSERT_EQ(j["refusals"].size(), c.refusals.size()) << j["refusals"];
        for (size_t i = 0; i < c.refusals.size(); ++i)
            EXPECT_NE(j["refusals"][i].get<std::string>().find(c.refusals[i]), std::string::npos) << j["refusals"][i];
        EXPECT_EQ(j["password"]["usable"], c.usable) << j["password"];
        EXPECT_EQ(j["firmware"]["sha256"].get<std::string>().size(), 64u) << "known even when the pin is not met";
        EXPECT_EQ(j.dump().find("1234"), std::string::npos) << "never the password";
        const std::vector<std::vector<std::string>> meters = {
            {"10.1.2.1", "10.1.2.0/30", "2"}, {"10.1.2.2", "10.1.2.0/30", "2"}, {"meter-7", "meter-7", "4"}};
        ASSERT_EQ(j["meters"].size(), meters.size());
        for (size_t i = 0; i < meters.size(); ++i) {
            EXPECT_EQ(j["meters"][i]["address"], meters[i][0]);
            EXPECT_EQ(j["meters"][i]["entry"], meters[i][1]);
            EXPECT_EQ(j["meters"][i]["line"].dump(), meters[i][2]);
            EXPECT_EQ(j["meters"][i]["file"], hosts);
        }
        EXPECT_EQ(j["meters"][2]["resolved"], "10.0.0.7");
    }
}

TEST(PlanRun, APlanHoldsWhatTheRunNeeds) {
    const std::string pw = WriteFile("pw",
                                     "\xEF\xBB\xBF"
                                     "s3cret\n");
    const std::string image = WriteFile("fw.bin", Image(0x8000, 4096));
    const Planned p = PlanRun({"update", "10.1.2.0/30", "meter-7", "--password-file", pw, "--image", image}, Machine());
    ASSERT_TRUE(p.plan) << p.err;
    EXPECT_EQ(p.plan->Addresses(), (std::vector<std::string>{"10.1.2.1", "10.1.2.2", "meter-7"}));
    EXPECT_EQ(p.plan->password, "s3cret") << "a byte order mark is no part of the password";
    EXPECT_EQ(p.plan->jobs, 3);
    EXPECT_EQ(p.plan->run.firmwareSource, image);
    EXPECT_EQ(p.plan->Firmware()[0x8001], 8);
}

// The meters paced as one: a /24 by default, a host list's gateway section,
// a name by its resolved address, and one that resolves to nothing alone.
TEST(PlanRun, GroupsTheMetersThatShareAPath) {
    const std::string pw = WriteFile("pw-groups", "s3cret\n");
    const std::string hosts = WriteFile("hosts-groups",
                                        "10.1.2.9\n[gateway north-mast]\n10.1.3.4\n10.1.9.0/31 # range\n"
                                        "[gateway]\n10.1.3.5\n");
    const struct {
        std::vector<std::string> groupBy;
        std::vector<std::string> groups;  // 10.1.2.7, meter-7, unknown-1, then the list's
    } cases[] = {
        {{},
         {"10.1.2.0/24", "10.0.0.0/24", "unknown-1", "10.1.2.0/24", "gateway north-mast", "gateway north-mast",
          "gateway north-mast", "10.1.3.0/24"}},
        {{"--group-by", "/16"},
         {"10.1.0.0/16", "10.0.0.0/16", "unknown-1", "10.1.0.0/16", "gateway north-mast", "gateway north-mast",
          "gateway north-mast", "10.1.0.0/16"}},
        {{"--group-by", "32"},
         {"10.1.2.7/32", "10.0.0.7/32", "unknown-1", "10.1.2.9/32", "gateway north-mast", "gateway north-mast",
          "gateway north-mast", "10.1.3.5/32"}},
        {{"--group-by", "/0"},
         {"0.0.0.0/0", "0.0.0.0/0", "unknown-1", "0.0.0.0/0", "gateway north-mast", "gateway north-mast",
          "gateway north-mast", "0.0.0.0/0"}},
    };
    for (const auto& c : cases) {
        std::vector<std::string> args{"update",  "10.1.2.7", "meter-7",         "unknown-1",
                                      "--hosts", hosts,      "--password-file", pw};
        args.insert(args.end(), c.groupBy.begin(), c.groupBy.end());
        const Planned p = PlanRun(args, Machine());
        ASSERT_TRUE(p.plan) << p.err;
        std::vector<std::string> groups;
        for (const Host& h : p.plan->hosts) groups.push_back(h.group);
        EXPECT_EQ(groups, c.groups) << (c.groupBy.empty() ? "default" : c.groupBy[1]);
        EXPECT_EQ(PreviewJson(*p.plan, Machine().resolve, std::nullopt)["meters"][4]["group"], "gateway north-mast");
    }
    for (const char* bad : {"/33", "24x", "/"}) {
        const Planned p = PlanRun({"update", "10.1.2.7", "--password-file", pw, "--group-by", bad}, Machine());
        EXPECT_FALSE(p.plan) << bad;
        EXPECT_NE(p.err.find("--group-by"), std::string::npos) << p.err;
    }
    const Planned odd = PlanRun(
        {"update", "--hosts", WriteFile("hosts-odd", "[gateway a b]\n10.0.0.1\n"), "--password-file", pw}, Machine());
    EXPECT_NE(odd.err.find("[gateway NAME]"), std::string::npos) << odd.err;
}

// The table of exit statuses in docs/fleet.md is the tool's own: the same numbers,
// and the words a script relies on.
TEST(ExitStatus, TheDocumentedTableIsTheTools) {
    std::ifstream in(LOADER_EXIT_TABLE);
    std::map<int, std::string> table;
    for (std::string line; std::getline(in, line);) {
        const size_t bar = line.find("| ");
        if (bar == std::string::npos || bar + 2 >= line.size() ||
            !std::isdigit(static_cast<unsigned char>(line[bar + 2])))
            continue;
        table[std::stoi(line.substr(bar + 2))] = line;
    }
    const std::map<int, std::vector<std::string>> tool = {
        {kAllSucceeded, {"every meter was updated"}},
        {kSomeFailed, {"`busy`", "`not-back`", "`wrong-revision`", "`interrupted`", "`not-started`"}},
        {kNothingSent, {"nothing was sent"}}};
    ASSERT_EQ(table.size(), tool.size()) << "rows for exactly the statuses the tool gives";
    for (const auto& [status, words] : tool)
        for (const std::string& w : words) EXPECT_NE(table[status].find(w), std::string::npos) << table[status];
    const Planned help = PlanRun({"--help"}, Machine());
    EXPECT_EQ(help.status, kAllSucceeded);
    for (const auto& [status, words] : tool)
        EXPECT_NE(help.out.find(std::to_string(status) + " "), std::string::npos)
            << "the help's footer names " << status;
}
