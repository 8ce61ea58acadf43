// Texts that name no peer, and endpoints that were never opened: every call
// returns quietly, the endpoint stays unconnected and nothing reaches a peer
// that listens on the local host.

#include <gtest/gtest.h>

#include <optional>
#include <vector>

#include "Peer.h"

using namespace peer;

namespace {

struct BadAddress {
    const char* name;
    std::string host;
    std::optional<std::string> port = std::nullopt;  // the listening peer's port when not given
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
    {"NoPort", "127.0.0.1", ""},
};

void PrintTo(const BadAddress& bad, std::ostream* out) { *out << bad.name; }

class BadAddressInput : public ::testing::TestWithParam<std::tuple<BadAddress, bool>> {};

TEST_P(BadAddressInput, EndpointStaysUnconnectedAndReachesNobody) {
    const auto& [bad, tcp] = GetParam();
    Fd listener = TcpListener();
    Fd meter = Udp();
    const int peer = tcp ? listener.Get() : meter.Get();
    auto endpoint = MakeEndpoint(tcp);
    Aim(*endpoint, PortOf(peer), bad.host);
    if (bad.port) endpoint->SetRemotePort(*bad.port);

    // No name is looked up off this machine (NoResolverTraffic.cpp); a hang
    // would meet the test's own time limit. How fast it returns is no concern here.
    EXPECT_NO_THROW(endpoint->SetActive(true));
    EXPECT_TRUE(endpoint->Active());
    EXPECT_FALSE(endpoint->Connected());
    EXPECT_EQ(endpoint->SendBytes("VER?", 4), -1);
    EXPECT_EQ(Take(*endpoint), std::nullopt);
    EXPECT_EQ(Wait(peer, POLLIN, 20), 0);
}

INSTANTIATE_TEST_SUITE_P(Table, BadAddressInput,
                         ::testing::Combine(::testing::ValuesIn(kBadAddresses), ::testing::Bool()),
                         [](const auto& info) {
                             return std::string(std::get<0>(info.param).name) +
                                    (std::get<1>(info.param) ? "Tcp" : "Udp");
                         });

TEST(NeverOpened, SendAndReceiveGiveMinusOneAndLeaveTheBufferAlone) {
    for (const bool tcp : {false, true}) {
        auto endpoint = MakeEndpoint(tcp);
        std::vector<char> buf(8, '\xAA');
        EXPECT_EQ(endpoint->SendBytes(buf.data(), 8), -1);
        EXPECT_EQ(endpoint->ReceiveBytes(buf.data(), 8), -1);
        EXPECT_EQ(buf, std::vector<char>(8, '\xAA'));
        EXPECT_FALSE(endpoint->Active());
    }
}

TEST(NegativeCount, IsRefusedBeforeTheSystemSeesIt) {
    Fd meter = Udp();
    TUdpSocket udp;
    Aim(udp, PortOf(meter.Get()));
    udp.SetActive(true);
    SendTo(meter.Get(), "answer", PortOf(udp.Handle()));
    ASSERT_NE(Wait(udp.Handle()), 0);
    char buf[8] = {};
    EXPECT_EQ(udp.ReceiveBytes(buf, -1), -1);
    EXPECT_EQ(udp.SendBytes(buf, -1), -1);
    EXPECT_EQ(Take(udp), "answer");               // still queued: the refused call took nothing
    EXPECT_EQ(Wait(meter.Get(), POLLIN, 50), 0);  // and sent nothing
}

}  // namespace
