// Address texts to the IPv4 address a link connects to, and texts that name
// no peer: every call on such a link returns quietly, the link stays
// unconnected and nothing reaches a peer that listens on the local host.
#include <gtest/gtest.h>

#include "net/SocketAddress.h"
#include "net/SocketLink.h"
#include "tests/support/Peer.h"

using namespace testsupport;

namespace {

const struct {
    std::string host;
    std::string dotted;
    std::uint32_t address;
} kHosts[] = {
    {"", "0.0.0.0", net::kAnyAddress},
    {"127.0.0.1", "127.0.0.1", 0x7F000001},
    // Every number form of the classic parser: short forms, octal, hex.
    {"10.1", "10.1", 0x0A000001},
    {"10.1.2", "10.1.2", 0x0A010002},
    {"2130706433", "2130706433", 0x7F000001},
    {"192.168.001.010", "192.168.001.010", 0xC0A80108},
    {"0x7f.1", "0x7f.1", 0x7F000001},
    // A leading digit means a number: no name lookup, just no address.
    {"1abc", "", net::kNoAddress},
    {"192.168.1.08", "", net::kNoAddress},
    {"256.1.1.1", "", net::kNoAddress},
    {"1.2.3.4.5", "", net::kNoAddress},
    {"255.255.255.255", "", net::kNoAddress},
    // Anything else is a name; the first IPv4 address found is taken.
    {"localhost", "127.0.0.1", 0x7F000001},
    {"nosuchmeter", "", net::kNoAddress},
    {" 127.0.0.1", "", net::kNoAddress},
    // Texts end at a zero byte, as the window's texts do.
    {std::string("10.1\0junk", 9), "10.1", 0x0A000001},
};

TEST(HostForming, GivesDottedTextAndAddress) {
    for (const auto& c : kHosts) {
        SCOPED_TRACE(::testing::PrintToString(c.host));
        EXPECT_EQ(net::HostToDotted(c.host), c.dotted);
        EXPECT_EQ(net::HostToIPv4(c.host), c.address);
    }
}

const struct {
    const char* name;
    std::string host;
    bool noPort = false;  // the link's port is 0 rather than the listening peer's
} kBadAddresses[] = {
    {"Empty", ""},
    {"Zeros", "0.0.0.0"},
    {"ShortZero", "0"},
    {"Blanks", "   "},
    {"UnknownName", "nosuchmeter"},
    {"TenThousandLetters", std::string(10000, 'a')},
    {"Utf8", "m\xC3\xA9ter"},
    {"NotUtf8", "\xFF\xFE\x80"},
    {"DigitThenLetters", "1abc"},
    {"Broadcast", "255.255.255.255"},
    {"NoPort", "127.0.0.1", true},
};

TEST(BadAddress, LinkStaysUnconnectedAndReachesNobody) {
    for (const bool tcp : {false, true}) {
        Fd listener = TcpListener();
        Fd meter = Udp();
        const SocketHandle peer = tcp ? listener.Get() : meter.Get();
        for (const auto& bad : kBadAddresses) {
            SCOPED_TRACE(std::string(bad.name) + (tcp ? " over TCP" : " over UDP"));
            net::SocketLink link(tcp ? net::Transport::Tcp : net::Transport::Udp, bad.noPort ? 0 : PortOf(peer));
            // Never opened first, then opened on the text. No name is looked up
            // off this machine (NoResolverTraffic.cpp); a hang would meet the
            // test's own time limit.
            for (const bool opened : {false, true}) {
                if (opened) EXPECT_NO_THROW(link.Open(bad.host));
                EXPECT_EQ(link.IsOpen(), opened);
                EXPECT_FALSE(link.Connected());
                if (!opened) EXPECT_TRUE(!link.Readable() && link.Handle() == kNoSocket);
                std::vector<uint8_t> buf(8, 0xAA);
                EXPECT_TRUE(link.Send({buf.data(), 8}).empty());
                EXPECT_FALSE(link.Receive(buf));
                EXPECT_EQ(buf, std::vector<uint8_t>(8, 0xAA));
            }
            EXPECT_EQ(Wait(peer, POLLIN, 20), 0);
        }
    }
}

}  // namespace
