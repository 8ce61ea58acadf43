// What the fleet updater accepts before it sends anything, and the words and
// names its report gives each outcome.
#include <gtest/gtest.h>

#include "cli/Inputs.h"
#include "cli/Report.h"

using namespace cli;

TEST(Hosts, OnlyAddressesAndHostNamesPass) {
    const struct {
        const char* host;
        bool ok;
    } cases[] = {
        {"192.168.10.7", true},
        {"meter-12.plant.example", true},
        {"localhost", true},
        {"0.0.0.0", false},
        {"", false},
        {"1.2.3", false},
        {"256.1.1.1", false},
        {"1.2.3.4.5", false},
        {"0001.2.3.4", false},
        // A leading zero is read as octal (or hex) by the system's address
        // rule: 192.168.001.010 would reach 192.168.1.8.
        {"10.0.0.08", false},
        {"192.168.001.010", false},
        {"010.1.1.1", false},
        {"0x0A.0.0.8", false},
        {"10.0.0.0", true},
        {"10.100.0.80", true},
        // Beginning with a digit, it is taken as an address, never looked up.
        {"3com.example", false},
        {"meter_12", false},
        {"-meter", false},
        {"meter..plant", false},
        {"1.2.3.4 ", false},
        {"10.0.0.1:502", false},
        {"10.0.0.0/24", false},
    };
    for (const auto& c : cases) EXPECT_EQ(!HostProblem(c.host), c.ok) << '"' << c.host << '"';
    EXPECT_FALSE(HostProblem(std::string(63, 'a') + "." + std::string(63, 'b')));
    EXPECT_TRUE(HostProblem(std::string(64, 'a')));
}

std::vector<Host> OnTheCommandLine(std::vector<std::string> addresses) {
    std::vector<Host> out;
    for (auto& a : addresses) out.push_back({std::move(a), "the command line"});
    return out;
}

TEST(Hosts, ListsNameTheFirstBadOrRepeatedHostAndWhereItIs) {
    EXPECT_EQ(HostListProblem(OnTheCommandLine({"10.0.0.1", "10.0.0.2"})), std::nullopt);
    EXPECT_NE(HostListProblem({})->find("no meter given"), std::string::npos);
    EXPECT_EQ(HostListProblem(OnTheCommandLine({"10.0.0.1", "10.0.0.300"})),
              "bad host '10.0.0.300' on the command line: a number above 255 in the address");
    EXPECT_EQ(HostListProblem(OnTheCommandLine({"Meter1", "10.0.0.1", "meter1"})),
              "host 'meter1' is given twice: on the command line");

    const std::vector<Host> listed = HostsFromFile("# plant A\n10.0.0.1\r\n\n  10.0.0.2   # hall 2\n\t\n", "a.txt");
    ASSERT_EQ(listed.size(), 2u);
    EXPECT_EQ(listed[0].address, "10.0.0.1");
    EXPECT_EQ(listed[0].where, "line 2 of a.txt");
    EXPECT_EQ(listed[1].address, "10.0.0.2");
    EXPECT_EQ(listed[1].where, "line 4 of a.txt");

    std::vector<Host> all = OnTheCommandLine({"10.0.0.1"});
    for (auto& h : HostsFromFile("10.0.0.7\n# hall 3\n192.168.001.010\n10.0.0.7\n", "plant-b.txt")) all.push_back(h);
    EXPECT_EQ(HostListProblem(all),
              "bad host '192.168.001.010' on line 3 of plant-b.txt: a number with a leading zero ('001'), which the "
              "system would read as octal or hexadecimal; write it without the zero");
    all.erase(all.begin() + 2);
    EXPECT_EQ(HostListProblem(all),
              "host '10.0.0.7' is given twice: on line 1 of plant-b.txt and on line 4 of plant-b.txt");
}

// What a careless list holds, and the message that says what to do.
TEST(Hosts, RangesAreExpandedAndOtherFormsNamedWithTheirReason) {
    const struct {
        std::string host;
        size_t count;       // addresses it stands for
        std::string first;  // the first of them
        std::string last;   // the last of them
        std::string says;   // the refusal, when count is 0
    } cases[] = {
        {"10.1.2.0/24", 254, "10.1.2.1", "10.1.2.254", ""},
        {"10.1.2.77/30", 2, "10.1.2.77", "10.1.2.78", ""},
        {"10.1.4.0/22", 1022, "10.1.4.1", "10.1.7.254", ""},
        {"10.1.2.6/31", 2, "10.1.2.6", "10.1.2.7", ""},
        {"10.1.2.9/32", 1, "10.1.2.9", "10.1.2.9", ""},
        {"10.1.0.0/21", 0, "", "", "more than 1024 addresses"},
        {"10.1.0.0/33", 0, "", "", "prefix length"},
        {"10.1.0.0/", 0, "", "", "prefix length"},
        {"meter/24", 0, "", "", "dotted IPv4"},
        {"10.01.0.0/24", 0, "", "", "leading zero"},
    };
    for (const auto& c : cases) {
        std::vector<Host> hosts = OnTheCommandLine({c.host});
        const auto why = ExpandRanges(hosts);
        if (c.count == 0) {
            ASSERT_TRUE(why) << c.host;
            EXPECT_EQ(why->rfind("bad range '" + c.host + "' on the command line: ", 0), 0u) << *why;
            EXPECT_NE(why->find(c.says), std::string::npos) << *why;
            continue;
        }
        ASSERT_FALSE(why) << c.host << ": " << *why;
        ASSERT_EQ(hosts.size(), c.count) << c.host;
        EXPECT_EQ(hosts.front().address, c.first) << c.host;
        EXPECT_EQ(hosts.back().address, c.last) << c.host;
        EXPECT_EQ(hosts.front().where, "the command line (range " + c.host + ")");
        EXPECT_FALSE(HostListProblem(hosts)) << c.host;
    }
    EXPECT_NE(HostProblem("fe80::1")->find("IPv6"), std::string::npos);
    EXPECT_NE(HostProblem("10.0.0.0/24")->find("range"), std::string::npos);
    const auto listed = HostsFromFile(
        "\xEF\xBB\xBF"
        "10.0.0.1\n",
        "bom.txt");
    ASSERT_EQ(listed.size(), 1u);
    EXPECT_EQ(listed[0].address, "10.0.0.1") << "a byte order mark is no part of the first host";
}

// One meter given under two names would be updated twice at once.
TEST(Hosts, TheSameMeterUnderTwoNamesIsRefusedNamingBoth) {
    const auto resolve = [](const std::string& host) -> std::string {
        if (host == "localhost" || host == "127.0.0.1") return "127.0.0.1";
        if (host == "meter-7") return "10.0.0.7";
        return {};
    };
    std::vector<Host> hosts = OnTheCommandLine({"localhost", "meter-7", "unknown-a", "unknown-b"});
    EXPECT_EQ(SameMeterProblem(hosts, resolve), std::nullopt) << "names that resolve to nothing are no meter yet";
    hosts.push_back({"127.0.0.1", "line 2 of hosts.txt"});
    EXPECT_EQ(SameMeterProblem(hosts, resolve),
              "'localhost' and '127.0.0.1' are the same meter (127.0.0.1), given on the command line and on line 2 "
              "of hosts.txt: give each meter once");
}

TEST(Password, IsTheFilesFirstLineOfFourToSixteenCharacters) {
    EXPECT_EQ(PasswordFromFile("s3cret \r\nsecond line"), "s3cret ") << "inner and trailing blanks belong to it";
    EXPECT_EQ(PasswordFromFile("\xEF\xBB\xBFs3cret\n"), "s3cret") << "an editor's byte order mark is no character";
    EXPECT_TRUE(PasswordProblem("abc"));
    EXPECT_FALSE(PasswordProblem("abcd"));
    EXPECT_FALSE(PasswordProblem(std::string(16, 'x')));
    EXPECT_TRUE(PasswordProblem(std::string(17, 'x')));
}

TEST(Report, ResultNamesFollowTheEngineOutcome) {
    using update::Outcome;
    const struct {
        Outcome outcome;
        bool modbusAnswered;
        Command command;
        const char* name;
        bool good;
    } cases[] = {
        {Outcome::Updated, true, Command::Update, "updated", true},
        {Outcome::Identified, true, Command::Probe, "probed", true},
        {Outcome::NotFound, true, Command::Update, "not-found", false},
        {Outcome::NotFound, false, Command::Probe, "unreachable", false},
        {Outcome::PasswordRejected, true, Command::Update, "password-rejected", false},
        {Outcome::CommunicationError, true, Command::Update, "communication-error", false},
        {Outcome::EraseUnconfirmed, true, Command::Update, "communication-error", false},
        {Outcome::AmbiguousAnswers, true, Command::Update, "ambiguous-answers", false},
        {Outcome::Cancelled, true, Command::Update, "cancelled", false},
    };
    // An exception reply is a refusal, not silence: its code is told.
    MeterRecord refused;
    refused.contacted = refused.result.modbusAnswered = true;
    refused.result.modbusException = 2;
    EXPECT_EQ(ResultName(refused, Command::Update), "not-found");
    EXPECT_NE(ResultMessage(refused, Command::Update).find("refused the boot-mode request with Modbus exception 2"),
              std::string::npos);
    MeterRecord busy;
    busy.busyWith = "process 4321 (ethernet-loader-cli)";
    EXPECT_EQ(ResultName(busy, Command::Update), "busy");
    EXPECT_FALSE(Succeeded(busy, Command::Update));
    EXPECT_NE(ResultMessage(busy, Command::Update).find("(process 4321 (ethernet-loader-cli)); nothing was sent"),
              std::string::npos);
    for (const auto& c : cases) {
        MeterRecord m;
        m.contacted = true;
        m.result.outcome = c.outcome;
        m.result.modbusAnswered = c.modbusAnswered;
        EXPECT_EQ(ResultName(m, c.command), c.name);
        EXPECT_EQ(Succeeded(m, c.command), c.good) << c.name;
        EXPECT_FALSE(ResultMessage(m, c.command).empty()) << c.name;
    }
    // A stop that found the meter already in its bootloader leaves it there and says so.
    MeterRecord stopped;
    stopped.contacted = true;
    stopped.result.outcome = Outcome::Cancelled;
    stopped.result.identity = "BOOTLOADER-V1.00";
    EXPECT_NE(ResultMessage(stopped, Command::Update).find("left there, without RESET"), std::string::npos);
    EXPECT_EQ(IsoTime(std::chrono::system_clock::time_point(std::chrono::milliseconds(1'765'108'201'042))),
              "2025-12-07T11:50:01.042Z");
}
