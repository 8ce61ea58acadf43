// Whole updates against the meter over loopback, by a client that knows only
// the bytes on the wire.
#include <gtest/gtest.h>

#include <algorithm>
#include <thread>

#include "sim/src/Flash.h"
#include "sim/Meter.h"
#include "tests/sim/SimTestSupport.h"

namespace sim {
namespace {

using namespace std::chrono_literals;
using testsupport::Bytes;
using testsupport::Text;

MeterOptions Ephemeral(const std::string& address = "127.0.0.1") {
    MeterOptions o;
    o.address = address;
    o.modbusPort = 0;
    o.bootPort = 0;
    o.bootDelayMs = 0;
    return o;
}

struct UpdateRun {
    bool erase = true;
    int writesAnsweredO = 0;
};

// The tool's sequence: boot-mode request, identify, erase, blocks from 0x08400
// up with 0x08000 last and blank ones skipped, then RESET.
UpdateRun Update(const Meter& meter, const Bytes& image, bool erase = true) {
    UpdateRun run;
    testsupport::TcpPeer tcp(meter.ModbusPort(), meter.Name());
    tcp.Send(testsupport::BootModeRequest("1234"));
    const Bytes answer = tcp.ReceiveSome(1s);
    EXPECT_EQ(answer.size(), 12u);
    testsupport::UdpPeer udp(meter.BootPort(), meter.Name());
    EXPECT_EQ(udp.Exchange(Text("VER?")).size(), 26u);
    if (erase) {
        EXPECT_EQ(udp.Exchange(testsupport::EraseFrame()), Text("OK\r\n"));
    }
    for (uint32_t block : testsupport::BlockOrder()) {
        if (testsupport::IsBlank(image.data() + block, 1024)) continue;
        const Bytes a = udp.Exchange(testsupport::WriteFrame(block, image.data() + block));
        run.writesAnsweredO += a.size() == 4 && a[0] == 'O';
    }
    udp.Send(Text("RESET"));
    EXPECT_TRUE(meter.WaitFor([](const Event& e) { return e.command == "RESET"; }, 2s));
    return run;
}

std::vector<uint32_t> WrittenBlocks(const Meter& meter) {
    std::vector<uint32_t> blocks;
    for (const Event& e : meter.Events())
        if (e.command == "W") blocks.push_back(e.address);
    return blocks;
}

TEST(Update, LeavesTheImageInFlash) {
    Meter meter(Ephemeral());
    const Bytes image = testsupport::FirmwareImage(42);
    const UpdateRun run = Update(meter, image);

    std::vector<uint32_t> expected;
    for (uint32_t block : testsupport::BlockOrder())
        if (!testsupport::IsBlank(image.data() + block, 1024)) expected.push_back(block);
    ASSERT_GT(expected.size(), 150u);
    EXPECT_EQ(run.writesAnsweredO, static_cast<int>(expected.size()));
    EXPECT_EQ(WrittenBlocks(meter), expected);
    EXPECT_TRUE(meter.FlashMatches(image.data()));
    EXPECT_EQ(meter.FirstMismatch(image.data()), -1);
    EXPECT_EQ(meter.ProgramFaults(), 0);
    EXPECT_FALSE(meter.InBootloader());
    const auto events = meter.Events();
    EXPECT_EQ(events.back().command, "RESET");
    EXPECT_TRUE(events.back().answer.empty());
    for (const Event& e : events) {
        EXPECT_EQ(e.fault, "") << ToJson(e);
        if (e.command == "W") {
            EXPECT_EQ(e.checksum, "ok");
        }
    }
    // The bootloader area is the meter's own and stays as it was.
    const auto flash = meter.Flash();
    EXPECT_FALSE(testsupport::IsBlank(flash.data(), 0x08000));
}

TEST(Update, WithoutEraseTheFlashDiffersAndFaultsAreRecorded) {
    Meter meter(Ephemeral());
    const Bytes image = testsupport::FirmwareImage(5);
    Update(meter, image, /*erase=*/false);
    EXPECT_FALSE(meter.FlashMatches(image.data()));
    EXPECT_GT(meter.ProgramFaults(), 100);
}

TEST(Update, RetriedBlocksAfterLostAnswersStillMatch) {
    MeterOptions o = Ephemeral();
    o.bootloaderFromStart = true;
    o.faults.rules.push_back(*ParseFaultRule("drop@block=0x08800", nullptr));
    Meter meter(o);
    testsupport::UdpPeer udp(meter.BootPort());
    const Bytes image = testsupport::FirmwareImage(9);
    udp.Exchange(testsupport::EraseFrame());
    for (int attempt = 0; attempt < 3; ++attempt)
        EXPECT_TRUE(udp.Exchange(testsupport::WriteFrame(0x08800, image.data() + 0x08800), 30ms).empty());
    const auto events = meter.Events();
    EXPECT_EQ(std::count_if(events.begin(), events.end(), [](const Event& e) { return e.fault == "drop"; }), 3);
    EXPECT_EQ(meter.ProgramFaults(), 0);
    const auto flash = meter.Flash();
    EXPECT_TRUE(std::equal(image.begin() + 0x08800, image.begin() + 0x08C00, flash.begin() + 0x08800));
}

TEST(Update, MetersOnNeighbourAddressesShareThePortNumbers) {
    Meter first(Ephemeral("127.0.0.2"));
    MeterOptions o = Ephemeral("127.0.0.3");
    o.modbusPort = first.ModbusPort();
    o.bootPort = first.BootPort();
    o.identity = Text("QT51/QT52-BOOTLOADER-V1.01");
    Meter second(o);
    ASSERT_EQ(second.BootPort(), first.BootPort());
    ASSERT_EQ(second.ModbusPort(), first.ModbusPort());

    const Bytes image = testsupport::FirmwareImage(77);
    Update(second, image);
    EXPECT_TRUE(second.FlashMatches(image.data()));
    EXPECT_FALSE(first.FlashMatches(image.data()));
    EXPECT_TRUE(first.Events().empty());
    // The other one still answers on its own address.
    testsupport::TcpPeer tcp(first.ModbusPort(), "127.0.0.2");
    tcp.Send(testsupport::BootModeRequest("1234"));
    EXPECT_EQ(tcp.ReceiveSome(1s).size(), 12u);
    EXPECT_EQ(testsupport::UdpPeer(first.BootPort(), "127.0.0.2").Exchange(Text("VER?")),
              Text("TALVO-ETH-BOOTLOADER-V1.00"));
}

// Five meters on three threads: meters 0 and 3 share one. Updates of meters
// on the same thread and on another run at once, each into its own flash,
// and the delayed answers of one meter leave when due, whatever the others do.
TEST(Fleet, MetersSharingAThreadEachKeepTheirOwnFlashAndTiming) {
    std::vector<MeterOptions> options;
    for (int i = 0; i < 5; ++i) options.push_back(Ephemeral("127.0.0." + std::to_string(10 + i)));
    options[2].bootloaderFromStart = true;
    options[2].faults.rules.push_back(*ParseFaultRule("delay:80@cmd=VER?", nullptr));
    MeterFleet fleet(options, /*metersPerThread=*/2);
    ASSERT_EQ(fleet.Size(), 5u);

    const Bytes images[] = {testsupport::FirmwareImage(1), testsupport::FirmwareImage(3),
                            testsupport::FirmwareImage(5)};
    std::vector<std::thread> clients;
    for (size_t i : {0, 1, 3}) clients.emplace_back([&, i] { Update(fleet[i], images[i % 3]); });
    const testsupport::UdpPeer late(fleet[2].BootPort(), fleet[2].Name());
    late.Send(Text("VER?"));
    EXPECT_FALSE(late.Receive(40ms).has_value());
    EXPECT_EQ(late.Receive(1s), Text("TALVO-ETH-BOOTLOADER-V1.00"));
    for (auto& t : clients) t.join();

    for (size_t i : {0, 1, 3}) {
        SCOPED_TRACE(fleet[i].Name());
        EXPECT_TRUE(fleet[i].FlashMatches(images[i % 3].data()));
        EXPECT_FALSE(fleet[i].FlashMatches(images[(i + 1) % 3].data()));
        EXPECT_EQ(fleet[i].ProgramFaults(), 0);
        EXPECT_FALSE(fleet[i].InBootloader());
    }
    EXPECT_EQ(fleet[2].Events().size(), 1u);
    EXPECT_TRUE(fleet[4].Events().empty());
}

// Faults that only show on the wire: timing, copies and the source port.
TEST(NetworkFaults, LateDuplicatedAndForeignAnswers) {
    MeterOptions o = Ephemeral();
    o.bootloaderFromStart = true;
    for (const char* rule : {"delay:70@1", "duplicate@2", "foreign-port@3", "foreign-port@4"})
        o.faults.rules.push_back(*ParseFaultRule(rule, nullptr));
    Meter meter(o);
    const testsupport::UdpPeer udp(meter.BootPort(), "127.0.0.1", /*connected=*/false);
    const Bytes ok = Text("OK\r\n");

    udp.Send(testsupport::EraseFrame());
    EXPECT_FALSE(udp.Receive(50ms).has_value());  // the tool's wait for a write
    EXPECT_EQ(udp.Receive(500ms), ok);

    udp.Send(testsupport::EraseFrame());
    EXPECT_EQ(udp.Receive(500ms), ok);
    EXPECT_EQ(udp.Receive(500ms), ok);

    uint16_t from = 0;
    udp.Send(testsupport::EraseFrame());
    EXPECT_EQ(udp.Receive(500ms, &from), ok);
    EXPECT_NE(from, meter.BootPort());
    // A socket connected to the bootloader port, as the tool's is, never sees it.
    const testsupport::UdpPeer connected(meter.BootPort());
    connected.Send(testsupport::EraseFrame());
    EXPECT_FALSE(connected.Receive(100ms).has_value());
    ASSERT_TRUE(meter.WaitFor([](const Event& e) { return e.fault == "foreign-port"; }, 1s));
    EXPECT_EQ(meter.Events().back().answer, ok);
}

TEST(BadDatagrams, GetAnErrorAnswerOfFourBytes) {
    MeterOptions o = Ephemeral();
    o.bootloaderFromStart = true;
    Meter meter(o);
    const testsupport::UdpPeer udp(meter.BootPort());
    Bytes badChecksum = testsupport::WriteFrame(0x08400, Bytes(1024, 0).data());
    badChecksum.back() ^= 0xFF;
    const struct {
        Bytes datagram;
        const char* answer;
    } cases[] = {{{}, "ERCM"},
                 {{'W'}, "ERLN"},
                 {Bytes(65507, 'W'), "ERLN"},
                 {badChecksum, "ERCS"},
                 {Text("VER?VER?"), "ERCM"},
                 {{0x45, 0x00, 0x00, 0xBB}, "ERPM"}};
    for (const auto& c : cases) EXPECT_EQ(udp.Exchange(c.datagram), Text(c.answer)) << c.answer;
    const auto events = meter.Events();
    ASSERT_EQ(events.size(), std::size(cases));
    EXPECT_EQ(events[2].length, 65507u);
    EXPECT_EQ(meter.Flash(), FlashModel().Bytes());  // nothing erased or programmed
}

}  // namespace
}  // namespace sim
