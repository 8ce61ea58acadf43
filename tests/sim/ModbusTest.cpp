// The meter's Modbus TCP server, asked by libmodbus and by hand-built bytes.
#include <gtest/gtest.h>
#include <modbus.h>

#include <cerrno>
#include <thread>

#include "sim/Meter.h"
#include "tests/sim/SimTestSupport.h"

namespace sim {
namespace {

using namespace std::chrono_literals;
using testsupport::Bytes;

MeterOptions Ephemeral() {
    MeterOptions o;
    o.modbusPort = 0;
    o.bootPort = 0;
    o.bootDelayMs = 0;
    o.password = "secret";
    return o;
}

struct Client {
    explicit Client(uint16_t port) : ctx(modbus_new_tcp("127.0.0.1", port)) {
        modbus_set_slave(ctx, 1);
        modbus_set_response_timeout(ctx, 1, 0);
        connected = modbus_connect(ctx) == 0;
    }
    ~Client() {
        modbus_close(ctx);
        modbus_free(ctx);
    }
    modbus_t* ctx;
    bool connected;
};

std::vector<uint16_t> Registers(const std::string& text, const std::string& password) {
    Bytes bytes(30, 0);
    std::copy(text.begin(), text.end(), bytes.begin());
    std::copy(password.begin(), password.end(), bytes.begin() + 12);
    std::vector<uint16_t> regs;
    for (size_t i = 0; i < 30; i += 2) regs.push_back(static_cast<uint16_t>(bytes[i] << 8 | bytes[i + 1]));
    return regs;
}

enum class Ask { BootMode, ReadRegisters };

struct ModbusCase {
    const char* name;
    Ask ask;
    std::string password;
    int forcedException;
    int expectedErrno;  // 0: normal answer
    bool bootloader;
};

class ModbusServerTest : public testing::TestWithParam<ModbusCase> {};

TEST_P(ModbusServerTest, Answers) {
    const ModbusCase& c = GetParam();
    MeterOptions o = Ephemeral();
    o.faults.modbusException = c.forcedException;
    Meter meter(o);
    Client client(meter.ModbusPort());
    ASSERT_TRUE(client.connected);
    int rc = -1;
    if (c.ask == Ask::ReadRegisters) {
        uint16_t regs[15];
        rc = modbus_read_registers(client.ctx, 0x4571, 15, regs);
    } else {
        const auto regs = Registers("GoToBootMode", c.password);
        rc = modbus_write_registers(client.ctx, 0x4571, 15, regs.data());
    }
    if (c.expectedErrno == 0) {
        EXPECT_EQ(rc, 15);
    } else {
        EXPECT_EQ(rc, -1);
        EXPECT_EQ(errno, c.expectedErrno) << modbus_strerror(errno);
    }
    EXPECT_EQ(meter.InBootloader(), c.bootloader);
    const auto events = meter.Events();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].command, "MODBUS");
}

INSTANTIATE_TEST_SUITE_P(Table, ModbusServerTest,
                         testing::Values(ModbusCase{"accepted", Ask::BootMode, "secret", 0, 0, true},
                                         ModbusCase{"wrong_password", Ask::BootMode, "secreT", 0, EMBXSFAIL, false},
                                         ModbusCase{"read", Ask::ReadRegisters, "", 0, EMBXILFUN, false},
                                         ModbusCase{"forced_2", Ask::BootMode, "secret", 2, EMBXILADD, false},
                                         ModbusCase{"forced_3", Ask::BootMode, "secret", 3, EMBXILVAL, false},
                                         ModbusCase{"forced_4", Ask::BootMode, "secret", 4, EMBXSFAIL, false}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(ModbusServer, BootloaderFollowsAfterTheConfiguredDelay) {
    MeterOptions o = Ephemeral();
    o.bootDelayMs = 100;
    Meter meter(o);
    testsupport::UdpPeer udp(meter.BootPort());
    testsupport::TcpPeer tcp(meter.ModbusPort());
    tcp.Send(testsupport::BootModeRequest("secret"));
    ASSERT_EQ(tcp.ReceiveSome(1s).size(), 12u);
    // Still the application: the datagram is logged as ignored and not answered.
    EXPECT_TRUE(udp.Exchange(testsupport::Text("VER?"), 20ms).empty());
    EXPECT_FALSE(meter.InBootloader());
    // Well after the delay: the bootloader.
    std::this_thread::sleep_for(300ms);
    EXPECT_TRUE(meter.InBootloader());
    EXPECT_EQ(udp.Exchange(testsupport::Text("VER?")), testsupport::Text("TALVO-ETH-BOOTLOADER-V1.00"));
    const auto events = meter.Events();
    ASSERT_GE(events.size(), 3u);
    EXPECT_EQ(events[1].fault, "ignored");
    EXPECT_FALSE(events[1].inBootloader);
}

TEST(ModbusServer, AnswerInPiecesArrivesSplitAfterTheDelay) {
    MeterOptions o = Ephemeral();
    o.faults.modbusSplitBytes = 5;
    o.faults.modbusSplitDelayMs = 120;
    Meter meter(o);
    testsupport::TcpPeer tcp(meter.ModbusPort());
    tcp.Send(testsupport::BootModeRequest("secret"));
    const auto sent = std::chrono::steady_clock::now();
    const Bytes first = tcp.ReceiveSome(1s);
    const Bytes rest = tcp.ReceiveSome(1s);
    const auto elapsed = std::chrono::steady_clock::now() - sent;
    EXPECT_EQ(first, (Bytes{0x01, 0xF0, 0x00, 0x00, 0x00}));
    EXPECT_EQ(rest, (Bytes{0x06, 0x01, 0x10, 0x45, 0x71, 0x00, 0x0F}));
    EXPECT_GE(elapsed, 110ms);
}

TEST(ModbusServer, RequestToAnotherUnitIsNotAnswered) {
    Meter meter(Ephemeral());
    testsupport::TcpPeer tcp(meter.ModbusPort());
    Bytes request = testsupport::BootModeRequest("secret");
    request[6] = 7;
    tcp.Send(request);
    ASSERT_TRUE(meter.WaitFor([](const Event& e) { return e.command == "MODBUS"; }, 1s));
    EXPECT_TRUE(tcp.ReceiveSome(50ms).empty());
    EXPECT_EQ(meter.Events().at(0).fault, "ignored");
    EXPECT_FALSE(meter.InBootloader());
}

TEST(ModbusServer, WithoutListenerTheConnectionIsRefused) {
    MeterOptions o = Ephemeral();
    o.modbusListener = false;
    Meter meter(o);
    ASSERT_NE(meter.ModbusPort(), 0);
    testsupport::TcpPeer tcp(meter.ModbusPort());
    EXPECT_FALSE(tcp.Connected());
    EXPECT_EQ(tcp.Error(), ECONNREFUSED);
}

// Whatever a client sends, the server goes on serving the next one.
struct GarbageCase {
    const char* name;
    Bytes bytes;
    bool answered;  // false: the connection ends without an answer
};

Bytes Repeat(Bytes head, size_t total, uint8_t fill) {
    head.resize(total, fill);
    return head;
}

class ModbusGarbageTest : public testing::TestWithParam<GarbageCase> {};

TEST_P(ModbusGarbageTest, LeavesTheServerServing) {
    Meter meter(Ephemeral());
    {
        testsupport::TcpPeer bad(meter.ModbusPort());
        bad.Send(GetParam().bytes);
        EXPECT_EQ(!bad.ReceiveSome(1s).empty(), GetParam().answered);
    }
    testsupport::TcpPeer good(meter.ModbusPort());
    good.Send(testsupport::BootModeRequest("secret"));
    EXPECT_EQ(good.ReceiveSome(2s).size(), 12u);
    EXPECT_TRUE(meter.InBootloader());
}

INSTANTIATE_TEST_SUITE_P(
    Table, ModbusGarbageTest,
    testing::Values(GarbageCase{"half_request", Repeat(testsupport::BootModeRequest("secret"), 20, 0), false},
                    GarbageCase{"byte_count_too_large",
                                Repeat({0, 1, 0, 0, 0, 0xFF, 1, 0x10, 0x45, 0x71, 0, 0x7F, 0xFF}, 300, 0x41), false},
                    GarbageCase{"unknown_function_with_data", Repeat({0, 1, 0, 0, 0, 0x20, 1, 0x55}, 38, 0x00), false},
                    GarbageCase{"unknown_function_alone", {0, 1, 0, 0, 0, 2, 1, 0x55}, true},
                    GarbageCase{"zeros", Bytes(100, 0), false}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace sim
