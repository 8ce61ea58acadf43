// The meter after "RESET": its Modbus port refuses connections while the
// bootloader runs and while the meter restarts, then the application is back
// and says who it is, unless a fault keeps it away.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>

#include "sim/Meter.h"
#include "tests/sim/SimTestSupport.h"

namespace sim {
namespace {

using namespace std::chrono_literals;
using testsupport::Bytes;
using testsupport::Text;

constexpr int kBootTimeMs = 200;

Bytes Concat(std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const Bytes& p : parts) all.insert(all.end(), p.begin(), p.end());
    return all;
}

// Read Device Identification, basic objects from object 0, transaction 0x1234.
const Bytes kReadDeviceId = {0x12, 0x34, 0x00, 0x00, 0x00, 0x05, 0x01, 0x2B, 0x0E, 0x01, 0x00};

bool Refused(const Meter& meter) {
    const testsupport::TcpPeer tcp(meter.ModbusPort());
    return !tcp.Connected() && tcp.Error() == ECONNREFUSED;
}

Event Last(const Meter& meter, const std::string& command) {
    const auto events = meter.Events();
    const auto it = std::find_if(events.rbegin(), events.rend(), [&](const Event& e) { return e.command == command; });
    return it == events.rend() ? Event{} : *it;
}

struct ReturnCase {
    const char* name;
    void (*configure)(MeterOptions&);
    bool verAfterReset;  // the bootloader still answers after "RESET"
    std::string bootFault;
    Bytes deviceIdAnswer;  // empty: the Modbus port stays closed
};

class ReturnTest : public testing::TestWithParam<ReturnCase> {};

TEST_P(ReturnTest, AfterReset) {
    const ReturnCase& c = GetParam();
    MeterOptions o;
    o.address = "127.0.0.1";
    o.modbusPort = 0;
    o.bootPort = 0;
    o.bootDelayMs = 0;
    o.bootTimeMs = kBootTimeMs;
    c.configure(o);
    Meter meter(o);
    const testsupport::UdpPeer udp(meter.BootPort());
    const Bytes identity = Text("TALVO-ETH-BOOTLOADER-V1.00");

    {
        const testsupport::TcpPeer tcp(meter.ModbusPort());
        ASSERT_TRUE(tcp.Connected());
        tcp.Send(testsupport::BootModeRequest("1234"));
        ASSERT_EQ(tcp.ReceiveSome(1s).size(), 12u);
    }
    EXPECT_TRUE(Refused(meter)) << "in the bootloader";
    EXPECT_EQ(udp.Exchange(Text("VER?")), identity);

    udp.Send(Text("RESET"));
    ASSERT_TRUE(meter.WaitFor([](const Event& e) { return e.command == "RESET"; }, 1s));
    EXPECT_TRUE(Refused(meter)) << "right after RESET";
    EXPECT_EQ(udp.Exchange(Text("VER?"), 50ms), c.verAfterReset ? identity : Bytes{});

    ASSERT_TRUE(meter.WaitFor([](const Event& e) { return e.command == "BOOT"; }, 2s));
    const Event boot = Last(meter, "BOOT");
    EXPECT_EQ(boot.fault, c.bootFault);
    EXPECT_GE(boot.t - Last(meter, "RESET").t, kBootTimeMs / 1000.0 - 0.005);
    if (c.deviceIdAnswer.empty()) {
        EXPECT_TRUE(Refused(meter)) << "past the boot time";
        EXPECT_EQ(udp.Exchange(Text("VER?"), 50ms), c.verAfterReset ? identity : Bytes{});
        return;
    }
    const testsupport::TcpPeer tcp(meter.ModbusPort());
    ASSERT_TRUE(tcp.Connected()) << "back after the boot time";
    tcp.Send(kReadDeviceId);
    EXPECT_EQ(tcp.ReceiveSome(1s), c.deviceIdAnswer);
    EXPECT_TRUE(udp.Exchange(Text("VER?"), 50ms).empty()) << "the application has no bootloader service";
    const Event asked = Last(meter, "MODBUS");
    EXPECT_EQ(asked.function, 0x2B);
    EXPECT_NE(ToJson(asked).find("\"function\":43,"), std::string::npos) << ToJson(asked);
    EXPECT_EQ(meter.Events().at(0).function, 16);
}

INSTANTIATE_TEST_SUITE_P(
    Table, ReturnTest,
    testing::Values(
        ReturnCase{"back", [](MeterOptions&) {}, false, "",
                   Concat({{0x12, 0x34, 0x00, 0x00, 0x00, 0x20, 0x01, 0x2B, 0x0E, 0x01, 0x01, 0x00, 0x00, 0x03},
                           {0x00, 0x08},
                           Text("VELTRONA"),
                           {0x01, 0x06},
                           Text("QT5201"),
                           {0x02, 0x04},
                           Text("2.31")})},
        ReturnCase{"back_with_its_own_names",
                   [](MeterOptions& o) {
                       o.vendor = "V";
                       o.product = "X-1";
                       o.revision = "10.0.1";
                   },
                   false, "",
                   Concat({{0x12, 0x34, 0x00, 0x00, 0x00, 0x18, 0x01, 0x2B, 0x0E, 0x01, 0x01, 0x00, 0x00, 0x03},
                           {0x00, 0x01, 'V', 0x01, 0x03, 'X', '-', '1', 0x02, 0x06},
                           Text("10.0.1")})},
        ReturnCase{"no_device_id",
                   [](MeterOptions& o) { o.deviceId = false; },
                   false,
                   "",
                   {0x12, 0x34, 0x00, 0x00, 0x00, 0x03, 0x01, 0xAB, 0x01}},
        ReturnCase{"stays_in_bootloader",
                   [](MeterOptions& o) { o.faults.afterReset = AfterReset::StaysInBootloader; },
                   true,
                   "stays-in-bootloader",
                   {}},
        ReturnCase{"never_back",
                   [](MeterOptions& o) { o.faults.afterReset = AfterReset::NeverBack; },
                   false,
                   "never-back",
                   {}}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace sim
