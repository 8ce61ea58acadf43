// meter-sim as a script runs it: ports on the first line, an update, and the
// exit status that tells whether the flash holds the image.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <optional>
#include <thread>

#include "tests/support/ChildProcess.h"
#include "sim/cli/CliOptions.h"
#include "tests/sim/SimTestSupport.h"
#include "tests/support/TempDir.h"

namespace sim {
namespace {

using namespace std::chrono_literals;
using testsupport::Bytes;
using testsupport::ChildProcess;
using testsupport::Text;
using Clock = ChildProcess::Clock;

// The arguments, and why they are refused ("": accepted).
struct CliCase {
    std::vector<std::string> args;
    std::string refusal;
};

class CliParseTest : public testing::TestWithParam<CliCase> {};

TEST_P(CliParseTest, AcceptsOrRefusesWithItsReason) {
    std::string error;
    const auto o = ParseCli(GetParam().args, &error);
    EXPECT_EQ(o.has_value(), GetParam().refusal.empty());
    EXPECT_EQ(error, GetParam().refusal);
}

INSTANTIATE_TEST_SUITE_P(
    Table, CliParseTest,
    testing::Values(CliCase{{}, ""}, CliCase{{"--modbus-port", "0", "--boot-port", "0", "--bootloader"}, ""},
                    CliCase{{"--fault", "drop@3", "--fault", "script:4f4b@2", "--loss-in", "2.5"}, ""},
                    CliCase{{"--address", "127.0.0.2", "--meters", "3"}, ""},
                    CliCase{{"--address", "255.255.255.255", "--meters", "2"}, "--meters runs past the last address"},
                    CliCase{{"--modbus-port", "65536"}, "bad value for --modbus-port: '65536'"},
                    CliCase{{"--loss-out", "101"}, "bad value for --loss-out: '101'"},
                    CliCase{{"--fault", "drop@0"}, "--fault drop@0: exchange numbers start at 1: '0'"},
                    CliCase{{"--boot-port"}, "--boot-port needs a value"},
                    CliCase{{"--frobnicate"}, "unknown option '--frobnicate'"},
                    CliCase{{"--meters", "2", "--meter", "3", "--password", "x"}, "--meter 3: there are only 2 meters"},
                    CliCase{{"--meters", "2", "--meter", "2", "--address", "127.0.0.9"},
                            "--address is for the whole simulator: give it before the first --meter"},
                    CliCase{{"--meters", "2", "--meter", "2", "--password"}, "--meter 2: --password needs a value"},
                    CliCase{{"--meters", "1024", "--meter", "1000", "--password", "x"}, ""},
                    CliCase{{"--meters", "1025"}, "bad value for --meters: '1025'"}, CliCase{{"--rtt", "700"}, ""},
                    CliCase{{"--rtt", "700:140", "--loss-in", "1", "--loss-out", "1"}, ""},
                    CliCase{{"--rtt", "700:701"}, "bad value for --rtt: '700:701'"},
                    CliCase{{"--rtt", "700:"}, "bad value for --rtt: '700:'"},
                    CliCase{{"--rtt", "-5"}, "bad value for --rtt: '-5'"},
                    CliCase{{"--meters", "2", "--meter", "2", "--rtt", "300:60"}, ""},
                    CliCase{{"--meters", "2", "--boot-time", "0.2", "--meter", "2", "--fault", "stays-in-bootloader",
                             "--no-device-id", "--vendor", "V", "--product", "P", "--revision", "R"},
                            ""},
                    CliCase{{"--fault", "never-back@3"},
                            "--fault never-back@3: 'never-back' is a fault of the whole meter: it takes no argument or "
                            "selector"},
                    CliCase{{"--boot-time", "-0.5"}, "bad value for --boot-time: '-0.5'"},
                    CliCase{{"--gateway", "200:3171", "--rtt", "700:140", "--loss-in", "1"}, ""},
                    CliCase{{"--gateway", "0"}, "bad value for --gateway: '0'"},
                    CliCase{{"--gateway", "fast"}, "bad value for --gateway: 'fast'"},
                    CliCase{{"--gateway", "200:lots"}, "bad value for --gateway: '200:lots'"},
                    CliCase{{"--gateway", "200:1056"},
                            "--gateway 200:1056: the buffer must hold at least one write of 1057 bytes (1029 and 28 "
                            "of headers)"},
                    CliCase{{"--meters", "2", "--meter", "2", "--gateway", "200"},
                            "--gateway is for the whole simulator: give it before the first --meter"},
                    CliCase{{"--vendor", std::string(81, 'V')},
                            "--vendor " + std::string(81, 'V') + ": at most 80 characters"}));

TEST(CliParse, FillsTheMeterOptions) {
    std::string error;
    const auto o = ParseCli(
        {"--password", "pw12",       "--identity-hex",     "414243", "--modbus-split", "4",           "--no-modbus",
         "--seed",     "0x10",       "--exit-after-reset", "--rtt",  "700:140",        "--boot-time", "0.25",
         "--vendor",   "ACME",       "--product",          "P-1",    "--revision",     "3.0",         "--no-device-id",
         "--fault",    "never-back", "--gateway",          "2.5"},
        &error);
    ASSERT_TRUE(o) << error;
    EXPECT_EQ(o->meter.address, "127.0.0.2");
    EXPECT_EQ(o->meter.password, "pw12");
    EXPECT_EQ(o->meter.identity, Text("ABC"));
    EXPECT_EQ(o->meter.faults.modbusSplitBytes, 4);
    EXPECT_EQ(o->meter.faults.modbusSplitDelayMs, 700);
    EXPECT_FALSE(o->meter.modbusListener);
    EXPECT_EQ(o->meter.seed, 16u);
    EXPECT_EQ(o->meter.faults.rttMs, 700);
    EXPECT_EQ(o->meter.faults.rttJitterMs, 140);
    EXPECT_TRUE(o->exitAfterReset);
    EXPECT_EQ(o->meter.bootTimeMs, 250);
    EXPECT_EQ(o->meter.vendor, "ACME");
    EXPECT_EQ(o->meter.product, "P-1");
    EXPECT_EQ(o->meter.revision, "3.0");
    EXPECT_FALSE(o->meter.deviceId);
    EXPECT_EQ(o->meter.faults.afterReset, AfterReset::NeverBack);
    EXPECT_TRUE(o->meter.faults.rules.empty());
    EXPECT_TRUE(o->overrides.empty());
    ASSERT_TRUE(o->gateway);
    EXPECT_EQ(o->gateway->kbps, 2.5);
    EXPECT_EQ(o->gateway->bufferBytes, 64000u);
    EXPECT_EQ(ConsecutiveAddresses("127.0.0.254", 3),
              (std::vector<std::string>{"127.0.0.254", "127.0.0.255", "127.0.1.0"}));
}

TEST(CliParse, MeterOptionsApplyToTheirMeterOnTopOfTheCommonOnes) {
    std::string error;
    const auto o = ParseCli({"--meters", "3", "--password", "pw12", "--meter", "2", "--fault", "drop", "--meter", "3",
                             "--password", "other"},
                            &error);
    ASSERT_TRUE(o) << error;
    ASSERT_EQ(o->overrides.size(), 2u);
    EXPECT_EQ(o->meter.password, "pw12");
    EXPECT_TRUE(o->meter.faults.rules.empty());
    EXPECT_EQ(o->overrides.at(2).password, "pw12");
    EXPECT_EQ(o->overrides.at(2).faults.rules.size(), 1u);
    EXPECT_EQ(o->overrides.at(3).password, "other");
}

// meter-sim with `args`; its stderr goes where the test's goes.
ChildProcess MeterSim(std::vector<std::string> args) {
    args.insert(args.begin(), METER_SIM_EXE);
    return ChildProcess(args, ChildProcess::Stderr::Inherit);
}

std::string FirstLine(ChildProcess& sim) { return sim.ReadLine(Clock::now() + 5s).value_or(""); }

// All that is left of stdout once the first line has been read.
std::string Rest(const ChildProcess& sim) {
    std::string rest;
    for (size_t i = 1; i < sim.OutLines().size(); ++i) rest += sim.OutLines()[i] + "\n";
    return rest;
}

// One block of firmware; the image file given to meter-sim matches it or not.
struct RunCase {
    const char* name;
    bool imageMatches;
    int status;
};

class CliRunTest : public testing::TestWithParam<RunCase> {};

TEST_P(CliRunTest, ExitStatusTellsWhetherTheFlashMatches) {
    Bytes image(testsupport::kImageSize, 0xFF);
    std::fill_n(image.begin() + 0x08000, 1024, 0x3C);
    Bytes expected = image;
    if (!GetParam().imageMatches) expected[0x08123] = 0x00;
    const testsupport::TempDir dir;
    const std::string imagePath = dir.File("image.bin");
    const std::string dumpPath = dir.File("image.bin.dump");
    testsupport::WriteBytes(imagePath, std::string(expected.begin(), expected.end()));

    ChildProcess sim = MeterSim({"--address", "127.0.0.1", "--modbus-port", "0", "--boot-port", "0", "--bootloader",
                                 "--exit-after-reset", "--boot-time", "0.2", "--image", imagePath, "--dump", dumpPath,
                                 "--duration", "20"});
    const std::string ready = FirstLine(sim);
    const long bootPort = testsupport::JsonNumber(ready, "bootPort");
    const long modbusPort = testsupport::JsonNumber(ready, "modbusPort");
    ASSERT_GT(bootPort, 0) << ready;
    ASSERT_GT(modbusPort, 0) << ready;

    const testsupport::UdpPeer udp(static_cast<uint16_t>(bootPort));
    EXPECT_EQ(udp.Exchange(testsupport::EraseFrame()), Text("OK\r\n"));
    EXPECT_EQ(udp.Exchange(testsupport::WriteFrame(0x08000, image.data() + 0x08000)), Text("OK\r\n"));
    udp.Send(Text("RESET"));
    // Not at RESET: meter-sim serves on until the meter is back and has said who it is.
    std::optional<testsupport::TcpPeer> tcp;
    for (const auto giveUp = Clock::now() + 3s; Clock::now() < giveUp; std::this_thread::sleep_for(20ms)) {
        tcp.emplace(static_cast<uint16_t>(modbusPort));
        if (tcp->Connected()) break;
    }
    ASSERT_TRUE(tcp && tcp->Connected()) << "the meter did not come back";
    tcp->Send({0x00, 0x01, 0x00, 0x00, 0x00, 0x05, 0x01, 0x2B, 0x0E, 0x01, 0x00});
    EXPECT_EQ(tcp->ReceiveSome(1s).size(), 38u);

    // Well before a meter that nobody asks would count as done.
    EXPECT_EQ(sim.Wait(Clock::now() + 2s), GetParam().status);
    const std::string rest = Rest(sim);
    EXPECT_NE(rest.find("\"command\":\"RESET\""), std::string::npos);
    EXPECT_NE(rest.find("\"command\":\"BOOT\""), std::string::npos);
    EXPECT_NE(rest.find("\"summary\""), std::string::npos);
    const std::string dumped = testsupport::ReadBytes(dumpPath);
    const Bytes flash(dumped.begin(), dumped.end());
    ASSERT_EQ(flash.size(), testsupport::kImageSize);
    EXPECT_TRUE(std::equal(image.begin() + 0x08000, image.end(), flash.begin() + 0x08000));
}

INSTANTIATE_TEST_SUITE_P(Table, CliRunTest,
                         testing::Values(RunCase{"matching_image", true, 0}, RunCase{"other_image", false, 1}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(CliRun, StopsCleanlyOnSigterm) {
    const testsupport::TempDir dir;
    const std::string portsFile = dir.File("ports.json");
    ChildProcess sim =
        MeterSim({"--address", "127.0.0.1", "--modbus-port", "0", "--boot-port", "0", "--ports-file", portsFile});
    const std::string ready = FirstLine(sim);
    ASSERT_NE(ready.find("\"ready\":true"), std::string::npos);
    std::string written;
    std::getline(std::ifstream(portsFile), written);
    EXPECT_EQ(written, ready);
    EXPECT_EQ(sim.Terminate(Clock::now() + 5s), 0);
    EXPECT_NE(Rest(sim).find("\"summary\""), std::string::npos);
}

// Each input that cannot be used ends the program with its reason, never an abort.
TEST(CliRun, RefusesAnUnreadableInputWithItsReason) {
    const testsupport::TempDir dir;
    testsupport::WriteBytes(dir.File("short.bin"), "x");
    const struct {
        std::vector<std::string> args;
        std::string says;
    } cases[] = {
        {{"--image", dir.path().string()}, "is a folder, not an image file"},
        {{"--image", dir.File("missing.bin")}, "cannot be read: No such file or directory"},
        {{"--image", dir.File("short.bin")}, "it has 1 byte)"},
        {{"--log", dir.File("no/such/dir/log")}, "No such file or directory"},
        {{"--gateway", "200:1000"}, "at least one write of 1057 bytes"},
    };
    for (const auto& c : cases) {
        std::vector<std::string> args = {METER_SIM_EXE, "--address",   "127.0.0.1", "--modbus-port",
                                         "0",           "--boot-port", "0"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        ChildProcess sim(args, ChildProcess::Stderr::Capture);
        EXPECT_EQ(sim.Wait(Clock::now() + 5s), 2) << c.says;
        EXPECT_NE(sim.ErrText().find(c.says), std::string::npos) << sim.ErrText();
    }
}

TEST(CliRun, ReportsAPortInUse) {
    ChildProcess first = MeterSim({"--address", "127.0.0.1", "--modbus-port", "0", "--boot-port", "0"});
    const long port = testsupport::JsonNumber(FirstLine(first), "bootPort");
    ASSERT_GT(port, 0);
    ChildProcess second =
        MeterSim({"--address", "127.0.0.1", "--modbus-port", "0", "--boot-port", std::to_string(port)});
    EXPECT_EQ(second.Wait(Clock::now() + 5s), 2);
}

}  // namespace
}  // namespace sim
