// The Modbus TCP link as the boot-mode request meets it.

#include <gtest/gtest.h>

#include "tests/support/Peer.h"
#include "net/SocketLink.h"

using namespace testsupport;

namespace {

const uint8_t* Bytes(const std::string& s) { return reinterpret_cast<const uint8_t*>(s.data()); }

TEST(TcpLink, OpensAtOnceAndSendsNothingBeforeTheHandshake) {
    // A listener whose queue is full drops further handshakes unanswered;
    // a link that waited for its handshake would meet the test's time limit.
    Fd listener = TcpListener(0);
    net::SocketLink filler(net::Transport::Tcp, PortOf(listener.Get()));
    filler.Open("127.0.0.1");
    ASSERT_NE(Wait(filler.Handle(), POLLOUT), 0);

    net::SocketLink link(net::Transport::Tcp, PortOf(listener.Get()));
    link.Open("127.0.0.1");
    EXPECT_TRUE(link.IsOpen());
    EXPECT_FALSE(link.Connected());
    EXPECT_TRUE(link.Send({Bytes("GoToBootMode"), 12}).empty());
}

TEST(TcpLink, SendsOnceTheHandshakeIsDoneYetNeverCountsAsConnected) {
    Fd listener = TcpListener();
    net::SocketLink link(net::Transport::Tcp, PortOf(listener.Get()));
    link.Open("127.0.0.1");
    Fd meter = Accept(listener.Get());
    ASSERT_NE(Wait(link.Handle(), POLLOUT) & POLLOUT, 0);  // what the caller's wait gives it time for
    const std::string request(43, '\x10');
    EXPECT_EQ(link.Send({Bytes(request), 43}).size(), 43u);
    EXPECT_EQ(Receive(meter.Get()), request);
    EXPECT_FALSE(link.Connected());
}

TEST(TcpLink, TakesWhatHasArrivedInPiecesThenZeroWhenThePeerClosed) {
    Fd listener = TcpListener();
    net::SocketLink link(net::Transport::Tcp, PortOf(listener.Get()));
    link.Open("127.0.0.1");
    Fd meter = Accept(listener.Get());
    Send(meter.Get(), "0123456789");
    meter.Reset();
    for (const char* piece : {"0123", "4567", "89", ""}) {
        ASSERT_NE(Wait(link.Handle()), 0);
        EXPECT_EQ(Take(link, 4), piece);
    }
}

}  // namespace
