// Support traces: the packets' bytes against values worked out apart from
// this code (the IPv4 header is the textbook example whose checksum is
// 0xB861), and a trace file as the tool writes it.
#include <gtest/gtest.h>

#include <cstdio>
#include <functional>

#include "protocol/Frames.h"
#include "tests/support/Pcapng.h"
#include "tests/support/TempDir.h"
#include "trace/MeterTrace.h"
#include "trace/Packet.h"
#include "trace/Pcapng.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

std::string Hex(const Bytes& bytes, size_t count) {
    std::string text;
    char two[3];
    for (size_t i = 0; i < std::min(count, bytes.size()); ++i) {
        std::snprintf(two, sizeof two, "%02x", bytes[i]);
        text += two;
    }
    return text;
}

constexpr std::uint32_t Ip(int a, int b, int c, int d) {
    return static_cast<std::uint32_t>((a << 24) | (b << 16) | (c << 8) | d);
}

struct PacketCase {
    const char* name;
    std::function<Bytes()> build;
    std::string headers;  // the IPv4 and transport headers, as hex
};

TEST(Packet, HeadersAndChecksumsAreThoseOfTheWire) {
    const Bytes verQ = {'V', 'E', 'R', '?'};
    const Bytes deviceId = {0x00, 0x01, 0x00, 0x00, 0x00, 0x06, 0x01, 0x2b, 0x0e, 0x01, 0x00};
    const Bytes odd = {'a', 'b', 'c'};
    const std::vector<PacketCase> cases = {
        {"textbook IPv4 header, UDP",
         [] {
             return trace::UdpPacket({Ip(192, 168, 0, 1), 1024}, {Ip(192, 168, 0, 199), 5555}, Bytes(87), 0);
         },
         "45000073000040004011b861c0a80001c0a800c7"
         "040015b3005f6364"},
        {"bootloader request",
         [&] {
             return trace::UdpPacket({Ip(127, 0, 0, 1), 51982}, {Ip(127, 0, 0, 9), 5555}, verQ, 7);
         },
         "450000200007400040113cbc7f0000017f000009"
         "cb0e15b3000c7885"},
        {"Modbus request, ack past 16 bits",
         [&] {
             return trace::TcpPacket({Ip(127, 0, 0, 1), 58496}, {Ip(127, 0, 0, 2), 502}, {1, 0x10000}, deviceId, 2);
         },
         "450000330002400040063cc07f0000017f000002"
         "e48001f600000001000100005018ffffbc120000"},
        {"answer of odd length, seq near its wrap",
         [&] {
             return trace::TcpPacket({Ip(127, 0, 0, 2), 502}, {Ip(127, 0, 0, 1), 58496}, {0xfffffff0, 12}, odd, 3);
         },
         "4500002b0003400040063cc77f0000027f000001"
         "01f6e480fffffff00000000c5018ffff06f00000"},
    };
    for (const PacketCase& c : cases) {
        const Bytes p = c.build();
        EXPECT_EQ(Hex(p, c.headers.size() / 2), c.headers) << c.name;
    }
}

TEST(Pcapng, PacketBlockIsPaddedAndTimedInMicroseconds) {
    const Bytes block = trace::EnhancedPacket(0x0000000123456789ull, Bytes{0xAA, 0xBB, 0xCC});
    EXPECT_EQ(Hex(block, block.size()),
              "06000000"  // type
              "24000000"  // 36 bytes
              "00000000"  // interface 0
              "01000000"
              "89674523"
              "03000000"
              "03000000"
              "aabbcc00"  // padded to 32 bits
              "24000000");
}

// A boot-mode request, its answer and the start of a request the system
// took only part of, on one connection.
TEST(MeterTrace, HidesThePasswordAndNumbersTheStream) {
    testsupport::TempDir dir;
    const std::string password = "s3cr3tPw";
    const auto request = protocol::BootModeRequest{password}.Encode();
    const Bytes answer(12, 0x10);
    const trace::Endpoint local{Ip(127, 0, 0, 1), 40000}, meter{Ip(127, 0, 0, 2), 502};
    trace::MeterTrace t(dir.path() / "m.pcapng", {"ethernet-loader-cli 1.13", "ethernet-loader-cli", "ab12", "m"});
    t.Sent(net::Transport::Tcp, local, meter, request, request.size());
    t.Received(net::Transport::Tcp, local, meter, answer);
    t.Sent(net::Transport::Tcp, local, meter, request, 30);
    ASSERT_EQ(t.Finish(), "");

    const std::string file = testsupport::ReadBytes(dir.File("m.pcapng"));
    EXPECT_EQ(file.find(password), std::string::npos);
    EXPECT_EQ(file.find(password.substr(0, 4)), std::string::npos) << "nor its head, in the cut request";
    const auto packets = testsupport::PcapngPackets(file);
    ASSERT_TRUE(packets);
    ASSERT_EQ(packets->size(), 3u);
    EXPECT_EQ((*packets)[0].substr(40 + protocol::BootModeRequest::kPasswordOffset - 12, 12 + password.size() + 1),
              "GoToBootMode" + std::string(password.size(), '*') + '\0');
    EXPECT_EQ((*packets)[2].size(), 40u + 30u);
    EXPECT_EQ((*packets)[2].substr(40 + 25, 5), "*****");
    const auto seqAck = [&](size_t i) {
        const Bytes p((*packets)[i].begin(), (*packets)[i].end());
        return Hex(p, 40).substr(48, 16);
    };
    EXPECT_EQ(seqAck(0), "0000000000000000");
    EXPECT_EQ(seqAck(1), "000000000000002b") << "the meter's first byte acknowledges the request's 43";
    EXPECT_EQ(seqAck(2), "0000002b0000000c");
    EXPECT_NE(file.find("ab12"), std::string::npos) << "the firmware's SHA-256 in the comments";

    trace::MeterTrace again(dir.path() / "m.pcapng", trace::TraceHeader{});
    EXPECT_EQ(again.Finish(), "");
    EXPECT_EQ(again.Path(), dir.path() / "m-2.pcapng") << "a run in the same second keeps the first one's trace";
    EXPECT_EQ(testsupport::ReadBytes(dir.File("m.pcapng")), file);

    // The window's watch after the reset goes on in the run's file.
    trace::MeterTrace watch(dir.path() / "m.pcapng", trace::MeterTrace::Continued{});
    watch.Sent(net::Transport::Udp, local, {Ip(127, 0, 0, 2), 5555}, Bytes{'V', 'E', 'R', '?'}, 4);
    ASSERT_EQ(watch.Finish(), "");
    const std::string continued = testsupport::ReadBytes(dir.File("m.pcapng"));
    EXPECT_EQ(continued.substr(0, file.size()), file);
    const auto all = testsupport::PcapngPackets(continued);
    ASSERT_TRUE(all);
    ASSERT_EQ(all->size(), 4u);
    EXPECT_EQ(all->back().substr(28), "VER?");
}

}  // namespace
