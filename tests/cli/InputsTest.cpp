// What the fleet updater accepts before it sends anything, and the words and
// names its report gives each outcome.
#include <gtest/gtest.h>

#include "Inputs.h"
#include "Report.h"

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
              "host 'meter1' is given twice: on the command line and on the command line");

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

TEST(Password, IsTheFilesFirstLineOfFourToSixteenCharacters) {
    EXPECT_EQ(PasswordFromFile("s3cret \r\nsecond line"), "s3cret ") << "inner and trailing blanks belong to it";
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
