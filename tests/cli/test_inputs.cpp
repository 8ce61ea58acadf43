// What the fleet updater accepts before it sends anything, and the words and
// names its report gives each outcome.
#include <gtest/gtest.h>

#include "Inputs.h"
#include "Report.h"

using namespace fleet;

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

TEST(Hosts, ListsNameTheFirstBadOrRepeatedHost) {
    EXPECT_EQ(HostListProblem({"10.0.0.1", "10.0.0.2"}), std::nullopt);
    EXPECT_NE(HostListProblem({})->find("no meter given"), std::string::npos);
    EXPECT_NE(HostListProblem({"10.0.0.1", "10.0.0.300"})->find("'10.0.0.300'"), std::string::npos);
    EXPECT_NE(HostListProblem({"Meter1", "10.0.0.1", "meter1"})->find("'meter1' is given twice"), std::string::npos);
    EXPECT_EQ(HostsFromFile("# plant A\n10.0.0.1\r\n\n  10.0.0.2   # hall 2\n\t\n"),
              (std::vector<std::string>{"10.0.0.1", "10.0.0.2"}));
}

TEST(Password, IsTheFilesFirstLineOfFourToSixteenCharacters) {
    EXPECT_EQ(PasswordFromFile("s3cret \r\nsecond line"), "s3cret ") << "inner and trailing blanks belong to it";
    EXPECT_TRUE(PasswordProblem("abc"));
    EXPECT_FALSE(PasswordProblem("abcd"));
    EXPECT_FALSE(PasswordProblem(std::string(16, 'x')));
    EXPECT_TRUE(PasswordProblem(std::string(17, 'x')));
}

TEST(Report, ResultNamesFollowTheEngineOutcome) {
    using loader::Outcome;
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
