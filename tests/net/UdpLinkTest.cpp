// The bootloader's datagram link as the update meets it.

#include <gtest/gtest.h>

#include "tests/support/Peer.h"
#include "net/SocketLink.h"

using namespace testsupport;

namespace {

class UdpLink : public ::testing::Test {
protected:
    void SetUp() override {
        link.Open("127.0.0.1");
        ASSERT_TRUE(link.Connected());
        port = PortOf(link.Handle());
    }
    void Answer(const std::string& data) { SendTo(meter.Get(), data, port); }
    bool Arrived() { return (Wait(link.Handle()) & POLLIN) != 0; }

    Fd meter = Udp();
    net::SocketLink link{net::Transport::Udp, PortOf(meter.Get())};
    std::uint16_t port = 0;
};

TEST_F(UdpLink, SendsOneDatagramToTheMeter) {
    const std::string frame(1029, 'W');
    EXPECT_EQ(link.Send({reinterpret_cast<const uint8_t*>(frame.data()), 1029}).size(), 1029u);
    EXPECT_EQ(Receive(meter.Get()), frame);
}

TEST_F(UdpLink, DatagramsComeOneAtATimeInArrivalOrderAndALongOneIsLost) {
    Answer("first");
    Answer(std::string(30, 'x'));
    Answer("second one");
    ASSERT_TRUE(Arrived());
    EXPECT_TRUE(link.Readable());
    EXPECT_EQ(Take(link, 26), "first");
    ASSERT_TRUE(Arrived());
    EXPECT_EQ(Take(link, 26), std::nullopt);
    ASSERT_TRUE(Arrived());
    EXPECT_EQ(Take(link, 26), "second one");
    EXPECT_EQ(Take(link), std::nullopt);
    EXPECT_FALSE(link.Readable());
}

// Another host, or the meter's host on another port: never heard.
class ForeignSender : public UdpLink, public ::testing::WithParamInterface<const char*> {};

TEST_P(ForeignSender, IsNeverHeard) {
    Fd stranger = Udp(GetParam());
    SendTo(stranger.Get(), "stranger", port);
    Answer("meter");
    ASSERT_TRUE(Arrived());
    EXPECT_EQ(Take(link), "meter");
    EXPECT_EQ(Wait(link.Handle(), POLLIN, 50), 0);
    EXPECT_EQ(Take(link), std::nullopt);
}
INSTANTIATE_TEST_SUITE_P(Addresses, ForeignSender, ::testing::Values("127.0.0.2", "127.0.0.1"));

}  // namespace
