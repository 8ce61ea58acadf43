// Texts that name no peer, and links that were never opened: every call
// returns quietly, the link stays unconnected and nothing reaches a peer
// that listens on the local host.

#include <gtest/gtest.h>

#include <vector>

#include "tests/support/Peer.h"
#include "net/SocketLink.h"

using namespace testsupport;

namespace {

struct BadAddress {
    const char* name;
    std::string host;
    bool noPort = false;  // the link's port is 0 rather than the listening peer's
};

const BadAddress kBadAddresses[] = {
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

void PrintTo(const BadAddress& bad, std::ostream* out) { *out << bad.name; }

class BadAddressInput : public ::testing::TestWithParam<std::tuple<BadAddress, bool>> {};

TEST_P(BadAddressInput, LinkStaysUnconnectedAndReachesNobody) {
    const auto& [bad, tcp] = GetParam();
    Fd listener = TcpListener();
    Fd meter = Udp();
    const SocketHandle peer = tcp ? listener.Get() : meter.Get();
    net::SocketLink link(tcp ? net::Transport::Tcp : net::Transport::Udp, bad.noPort ? 0 : PortOf(peer));

    // No name is looked up off this machine (NoResolverTraffic.cpp); a hang
    // would meet the test's own time limit.
    EXPECT_NO_THROW(link.Open(bad.host));
    EXPECT_TRUE(link.IsOpen());
    EXPECT_FALSE(link.Connected());
    EXPECT_TRUE(link.Send({reinterpret_cast<const uint8_t*>("VER?"), 4}).empty());
    EXPECT_EQ(Take(link), std::nullopt);
    EXPECT_EQ(Wait(peer, POLLIN, 20), 0);
}

INSTANTIATE_TEST_SUITE_P(Table, BadAddressInput,
                         ::testing::Combine(::testing::ValuesIn(kBadAddresses), ::testing::Bool()),
                         [](const auto& info) {
                             return std::string(std::get<0>(info.param).name) +
                                    (std::get<1>(info.param) ? "Tcp" : "Udp");
                         });

TEST(NeverOpened, SendAndReceiveGiveMinusOneAndLeaveTheBufferAlone) {
    for (const auto transport : {net::Transport::Udp, net::Transport::Tcp}) {
        net::SocketLink link(transport, 5555);
        std::vector<uint8_t> buf(8, 0xAA);
        EXPECT_TRUE(link.Send({buf.data(), 8}).empty());
        EXPECT_FALSE(link.Receive({buf.data(), 8}));
        EXPECT_EQ(buf, std::vector<uint8_t>(8, 0xAA));
        EXPECT_FALSE(link.IsOpen());
        EXPECT_FALSE(link.Readable());
        EXPECT_EQ(link.Handle(), kNoSocket);
    }
}

}  // namespace
