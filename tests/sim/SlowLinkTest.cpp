// A meter behind a slow link: each answer's travel time, the order answers
// keep on the way back, and the round trip as a client sees it.
#include <gtest/gtest.h>

#include <algorithm>

#include "sim/src/MeterCore.h"
#include "tests/sim/SimTestSupport.h"
#include "sim/src/SlowLink.h"
#include "sim/Meter.h"

namespace sim {
namespace {

using namespace std::chrono_literals;
using testsupport::Bytes;
using testsupport::Text;

struct LinkCase {
    const char* name;
    std::vector<const char*> rules;
    int rttMs, jitterMs;
    double lossOut;
    bool modbus;  // boot-mode requests instead of "VER?"
    int splitBytes = 0;
};
void PrintTo(const LinkCase& c, std::ostream* os) { *os << c.name; }
class SlowLinkCoreTest : public testing::TestWithParam<LinkCase> {};

std::vector<Reaction> Replay(const LinkCase& c, bool slow) {
    MeterOptions o;
    o.bootloaderFromStart = true;
    o.seed = 11;
    o.faults.lossOutPercent = c.lossOut;
    o.faults.modbusSplitBytes = c.splitBytes;
    for (const char* text : c.rules) o.faults.rules.push_back(*ParseFaultRule(text, nullptr));
    if (slow) {
        o.faults.rttMs = c.rttMs;
        o.faults.rttJitterMs = c.jitterMs;
    }
    MeterCore core(o);
    std::vector<Reaction> out;
    for (int i = 0; i < 300; ++i)
        out.push_back(c.modbus ? core.OnModbusRequest(testsupport::BootModeRequest("1234"))
                               : core.OnDatagram(Text("VER?")));
    return out;
}

// Every answer crosses the link in rtt +- jitter, spread over that whole
// range, while the faults and delays stay those of the same seed without it.
TEST_P(SlowLinkCoreTest, EveryAnswerTakesTheRoundTripAndKeepsItsFaults) {
    const LinkCase& c = GetParam();
    const auto fast = Replay(c, false), slow = Replay(c, true);
    int lowest = c.rttMs + c.jitterMs, highest = 0;
    size_t sends = 0;
    for (size_t i = 0; i < slow.size(); ++i) {
        ASSERT_EQ(slow[i].sends.size(), fast[i].sends.size()) << i;
        std::string fault = slow[i].event.fault;
        if (!slow[i].sends.empty()) {
            const std::string label = "rtt:" + std::to_string(slow[i].sends[0].linkMs);
            ASSERT_NE(fault.find(label), std::string::npos) << fault;
            fault.erase(fault.find(label), label.size());
            if (!fault.empty() && fault.back() == ',') fault.pop_back();
        }
        EXPECT_EQ(fault, fast[i].event.fault) << i;
        for (size_t k = 0; k < slow[i].sends.size(); ++k, ++sends) {
            const Send& s = slow[i].sends[k];
            EXPECT_EQ(s.delayMs, fast[i].sends[k].delayMs);
            EXPECT_EQ(s.bytes, fast[i].sends[k].bytes);
            EXPECT_EQ(fast[i].sends[k].linkMs, -1);
            lowest = std::min(lowest, s.linkMs);
            highest = std::max(highest, s.linkMs);
        }
    }
    ASSERT_GT(sends, 100u);
    EXPECT_GE(lowest, c.rttMs - c.jitterMs);
    EXPECT_LE(highest, c.rttMs + c.jitterMs);
    EXPECT_LE(lowest, c.rttMs - c.jitterMs * 9 / 10);
    EXPECT_GE(highest, c.rttMs + c.jitterMs * 9 / 10);
}

INSTANTIATE_TEST_SUITE_P(
    Table, SlowLinkCoreTest,
    testing::Values(LinkCase{"Steady", {}, 700, 0, 0, false}, LinkCase{"Jitter", {}, 700, 140, 0, false},
                    LinkCase{"LateEchoedAndLost", {"delay:80", "duplicate:40"}, 300, 60, 20, false},
                    LinkCase{"ModbusAnswer", {}, 1500, 300, 0, true},
                    LinkCase{"ModbusAnswerInPieces", {}, 2500, 500, 0, true, 5}),
    [](const testing::TestParamInfo<LinkCase>& i) { return i.param.name; });

// Answers leave the link in the order they entered it: a quick one waits
// behind a slower one before it instead of overtaking it.
struct OrderCase {
    const char* name;
    std::vector<std::pair<int, int>> entryAndTravelMs;
    std::vector<int> arrivalMs;
};
void PrintTo(const OrderCase& c, std::ostream* os) { *os << c.name; }
class SlowLinkOrderTest : public testing::TestWithParam<OrderCase> {};

TEST_P(SlowLinkOrderTest, AnswersNeverOvertake) {
    SlowLink link;
    const auto start = SlowLink::Clock::now();
    std::vector<int> arrivals;
    for (auto [entry, travel] : GetParam().entryAndTravelMs) {
        const auto at = link.Arrival(start + std::chrono::milliseconds(entry), std::chrono::milliseconds(travel));
        arrivals.push_back(static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(at - start).count()));
    }
    EXPECT_EQ(arrivals, GetParam().arrivalMs);
}

INSTANTIATE_TEST_SUITE_P(Table, SlowLinkOrderTest,
                         testing::Values(OrderCase{"Apart", {{0, 700}, {1000, 600}}, {700, 1600}},
                                         OrderCase{"QuickBehindSlow", {{0, 840}, {10, 560}}, {840, 840}},
                                         OrderCase{"PartlyHeld", {{0, 500}, {300, 300}, {350, 100}}, {500, 600, 600}},
                                         OrderCase{"InFlightTogether", {{0, 700}, {100, 700}}, {700, 800}}),
                         [](const testing::TestParamInfo<OrderCase>& i) { return i.param.name; });

// On the wire: the Modbus answer and the bootloader's answer each come back
// no sooner than the round trip.
TEST(SlowLink, ClientSeesTheRoundTripOnBothServers) {
    MeterOptions o;
    o.modbusPort = 0;
    o.bootPort = 0;
    o.bootDelayMs = 0;
    o.faults.rttMs = 80;
    Meter meter(o);
    const testsupport::TcpPeer tcp(meter.ModbusPort());
    const testsupport::UdpPeer udp(meter.BootPort());
    auto t0 = std::chrono::steady_clock::now();
    tcp.Send(testsupport::BootModeRequest("1234"));
    EXPECT_EQ(tcp.ReceiveSome(2s).size(), 12u);
    EXPECT_GE(std::chrono::steady_clock::now() - t0, 80ms);
    t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(udp.Exchange(Text("VER?"), 2s), Text("TALVO-ETH-BOOTLOADER-V1.00"));
    EXPECT_GE(std::chrono::steady_clock::now() - t0, 80ms);
}

}  // namespace
}  // namespace sim
