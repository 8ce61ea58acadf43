// Meters behind one shared link: when each datagram leaves it, what a full
// buffer loses, and what meter-sim's summary says about both.
#include <gtest/gtest.h>

#include <regex>

#include "sim/Gateway.h"
#include "tests/sim/SimTestSupport.h"
#include "tests/support/ChildProcess.h"

namespace sim {
namespace {

using namespace std::chrono_literals;
using testsupport::Bytes;
using testsupport::ChildProcess;
using Clock = ChildProcess::Clock;

// At 8 kbit/s a byte takes a millisecond: 72 bytes of payload and 28 of
// headers leave 100 ms after they start; the buffer holds three of them.
constexpr size_t kPayload = 72;
constexpr int kDropped = -1;

struct Offer {
    Way way;
    int arrivalMs;
    size_t payload;
    int departureMs;  // kDropped: the buffer was full
};
struct ModelCase {
    const char* name;
    std::vector<Offer> offers;
    GatewayFigures down, up;
};
void PrintTo(const ModelCase& c, std::ostream* os) { *os << c.name; }
class GatewayModelTest : public testing::TestWithParam<ModelCase> {};

TEST_P(GatewayModelTest, DeparturesDropsAndFigures) {
    Gateway gateway({8, 300});
    const auto start = Gateway::Clock::time_point{} + 1h;
    for (const Offer& o : GetParam().offers) {
        const auto left = gateway.Cross(o.way, start + std::chrono::milliseconds(o.arrivalMs), o.payload);
        const int ms = left ? static_cast<int>((*left - start) / 1ms) : kDropped;
        EXPECT_EQ(ms, o.departureMs) << "arriving at " << o.arrivalMs;
    }
    EXPECT_EQ(gateway.Figures(Way::Down), GetParam().down);
    EXPECT_EQ(gateway.Figures(Way::Up), GetParam().up);
}

INSTANTIATE_TEST_SUITE_P(
    Table, GatewayModelTest,
    testing::Values(
        ModelCase{"Apart", {{Way::Down, 0, kPayload, 100}, {Way::Down, 500, kPayload, 600}}, {200, 2, 0, 100}, {}},
        ModelCase{"QueuedBehindEachOther",
                  {{Way::Down, 0, kPayload, 100}, {Way::Down, 10, kPayload, 200}, {Way::Down, 20, 22, 250}},
                  {250, 3, 0, 250},
                  {}},
        // The fourth finds three waiting; once one has left, there is room again.
        ModelCase{"FullBufferDropsTheTail",
                  {{Way::Down, 0, kPayload, 100},
                   {Way::Down, 0, kPayload, 200},
                   {Way::Down, 0, kPayload, 300},
                   {Way::Down, 0, kPayload, kDropped},
                   {Way::Down, 99, kPayload, kDropped},
                   {Way::Down, 100, kPayload, 400}},
                  {400, 4, 2, 300},
                  {}},
        ModelCase{"LargerThanTheRoomLeft",
                  {{Way::Down, 0, 172, 200}, {Way::Down, 0, 172, kDropped}, {Way::Down, 0, kPayload, 300}},
                  {300, 2, 1, 300},
                  {}},
        // A full way down holds up nothing on the way up.
        ModelCase{"WaysApart",
                  {{Way::Down, 0, kPayload, 100},
                   {Way::Down, 0, kPayload, 200},
                   {Way::Down, 0, kPayload, 300},
                   {Way::Up, 0, kPayload, 100},
                   {Way::Down, 50, kPayload, kDropped},
                   {Way::Up, 50, 4, 132}},
                  {300, 3, 1, 300},
                  {132, 2, 0, 132}}),
    [](const testing::TestParamInfo<ModelCase>& i) { return i.param.name; });

// The member `name` of the summary's gateway, as written.
std::string GatewayMember(const std::string& summary, const std::string& name) {
    std::smatch m;
    return std::regex_search(summary, m, std::regex("\"" + name + "\":(\\{[^}]*\\})")) ? m[1].str() : "";
}

// Three meters behind 100 kbit/s and room for three writes: of a burst of
// nine writes, three reach their meters one after the other, 85 ms apart,
// and the summary counts the six the buffer lost.
TEST(GatewayRun, ABurstLargerThanTheBufferLosesTheRest) {
    ChildProcess sim({METER_SIM_EXE, "--address", "127.0.0.1", "--meters", "3", "--modbus-port", "0", "--boot-port",
                      "0", "--bootloader", "--gateway", "100:3171"},
                     ChildProcess::Stderr::Inherit);
    const std::string ready = sim.ReadLine(Clock::now() + 5s).value_or("");
    std::vector<std::unique_ptr<testsupport::UdpPeer>> meters;
    const std::regex port("\"address\":\"([0-9.]+)\",\"modbusPort\":[0-9]+,\"bootPort\":([0-9]+)");
    for (std::sregex_iterator m(ready.begin(), ready.end(), port), end; m != end; ++m)
        meters.push_back(std::make_unique<testsupport::UdpPeer>(std::stoi((*m)[2]), (*m)[1]));
    ASSERT_EQ(meters.size(), 3u) << ready;

    const Bytes block(1024, 0x5A);
    const auto sent = Clock::now();
    for (uint32_t k = 0; k < 3; ++k)
        for (auto& meter : meters) meter->Send(testsupport::WriteFrame(0x08000 + k * 0x400, block.data()));
    // Which meters' writes got in depends on the order the simulator read
    // its sockets; how many did and when the last answer came does not.
    int answers = 0;
    auto last = sent;
    for (const auto until = sent + 600ms; Clock::now() < until;) {
        for (auto& meter : meters) {
            if (const auto answer = meter->Receive(5ms)) {
                EXPECT_EQ(*answer, testsupport::Text("OK\r\n"));
                ++answers;
                last = Clock::now();
            }
        }
    }
    EXPECT_EQ(answers, 3);
    // Three writes of 1057 bytes each at 100 kbit/s, then the answer's 32 bytes.
    EXPECT_GE(last - sent, 256ms);

    EXPECT_EQ(sim.Terminate(Clock::now() + 5s), 0);
    const std::string summary = sim.OutLines().back();
    EXPECT_EQ(GatewayMember(summary, "down"), R"({"bytes":3171,"datagrams":3,"dropped":6,"maxQueueBytes":3171})");
    EXPECT_EQ(GatewayMember(summary, "up"), R"({"bytes":96,"datagrams":3,"dropped":0,"maxQueueBytes":32})");
    long writes = 0;
    const std::regex written("\"writes\":([0-9]+)");
    for (std::sregex_iterator m(summary.begin(), summary.end(), written), end; m != end; ++m)
        writes += std::stol((*m)[1]);
    EXPECT_EQ(writes, 3);
}

}  // namespace
}  // namespace sim
