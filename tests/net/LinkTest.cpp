// The links as the update meets them: the bootloader's datagrams, the Modbus
// TCP connection, and the changes that close an open link.
#include <gtest/gtest.h>

#ifndef _WIN32
#include <unistd.h>
#endif

#include "net/SocketLink.h"
#include "tests/support/Peer.h"

using namespace testsupport;

namespace {

std::span<const uint8_t> Bytes(const std::string& s) { return {reinterpret_cast<const uint8_t*>(s.data()), s.size()}; }

net::Transport Over(bool tcp) { return tcp ? net::Transport::Tcp : net::Transport::Udp; }

TEST(UdpLink, SendsOneDatagramAndTakesThemOneAtATimeALongOneLost) {
    Fd meter = Udp();
    net::SocketLink link(net::Transport::Udp, PortOf(meter.Get()));
    link.Open("127.0.0.1");
    ASSERT_TRUE(link.Connected());
    const std::string frame(1029, 'W');
    EXPECT_EQ(link.Send(Bytes(frame)).size(), 1029u);
    EXPECT_EQ(Receive(meter.Get()), frame);
    for (const std::string& answer : {std::string("first"), std::string(30, 'x'), std::string("second one")})
        SendTo(meter.Get(), answer, PortOf(link.Handle()));
    for (const std::optional<std::string>& taken : {std::optional<std::string>("first"), std::optional<std::string>(),
                                                    std::optional<std::string>("second one")}) {
        ASSERT_NE(Wait(link.Handle()) & POLLIN, 0);
        EXPECT_TRUE(link.Readable());
        EXPECT_EQ(Take(link, 26), taken);
    }
    EXPECT_EQ(Take(link), std::nullopt);
    EXPECT_FALSE(link.Readable());
}

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
    EXPECT_TRUE(link.Send(Bytes("GoToBootMode")).empty());
}

TEST(TcpLink, SendsOnceConnectedTakesWhatArrivedInPiecesYetNeverCountsAsConnected) {
    Fd listener = TcpListener();
    net::SocketLink link(net::Transport::Tcp, PortOf(listener.Get()));
    link.Open("127.0.0.1");
    Fd meter = Accept(listener.Get());
    ASSERT_NE(Wait(link.Handle(), POLLOUT) & POLLOUT, 0);  // what the caller's wait gives it time for
    const std::string request(43, '\x10');
    EXPECT_EQ(link.Send(Bytes(request)).size(), 43u);
    EXPECT_EQ(Receive(meter.Get()), request);
    EXPECT_FALSE(link.Connected());
    Send(meter.Get(), "0123456789");
    meter.Reset();
    for (const char* piece : {"0123", "4567", "89", ""}) {  // then zero: the peer closed
        ASSERT_NE(Wait(link.Handle()), 0);
        EXPECT_EQ(Take(link, 4), piece);
    }
}

// The same host text or port keeps an open link, its socket and its queue.
// Another closes it, and its queue is lost; Open then makes a new socket. A
// different text closes even when it names the same address.
TEST(LinkChange, OnlyAnotherValueClosesTheLink) {
    for (const bool portChanges : {false, true}) {
        for (const bool same : {true, false}) {
            SCOPED_TRACE(std::string(portChanges ? "port" : "host") + (same ? ", the same" : ", another"));
            Fd meter = Udp();
            const std::uint16_t port = PortOf(meter.Get());
            net::SocketLink link(net::Transport::Udp, port);
            link.Open("127.0.0.1");
            const SocketHandle handle = link.Handle();
            SendTo(meter.Get(), "queued", PortOf(handle));
            ASSERT_NE(Wait(handle), 0);
            if (portChanges) {
                link.SetRemotePort(same ? port : static_cast<std::uint16_t>(port + 1));
                link.SetRemotePort(port);
            }
            link.Open(portChanges || same ? "127.0.0.1" : "127.0.0.01");
            ASSERT_TRUE(link.IsOpen() && link.Connected());
            if (same) {
                EXPECT_EQ(link.Handle(), handle);
                EXPECT_EQ(Take(link), "queued");
                continue;
            }
            EXPECT_EQ(Take(link), std::nullopt);
            SendTo(meter.Get(), "new", PortOf(link.Handle()));
            ASSERT_NE(Wait(link.Handle()), 0);
            EXPECT_EQ(Take(link), "new");
        }
    }
}

// Opening twice neither reopens nor reconnects, connected or not. Closing
// it (by Close, by opening another host, or by destroying it) shuts a
// connected datagram link's socket down before releasing it; the stream
// link, never counted as connected, only releases its socket. A second
// descriptor of the same socket shows what was done to it.
TEST(Lifecycle, OpeningTwiceChangesNothingAndClosingShutsDownOnlyAConnectedDatagramLink) {
    for (const bool tcp : {false, true}) {
        for (const char* host : {"127.0.0.1", ""}) {
            for (const char how : {'c', 'o', 'd'}) {
                SCOPED_TRACE(std::string(tcp ? "TCP to \"" : "UDP to \"") + host + "\", closed by " + how);
                Fd listener = TcpListener();
                Fd meter = Udp();
                auto link = std::make_unique<net::SocketLink>(Over(tcp), PortOf(tcp ? listener.Get() : meter.Get()));
                link->Open(host);
                const SocketHandle handle = link->Handle();
                const bool connected = link->Connected();
                link->Open(host);
                EXPECT_EQ(link->Handle(), handle);
                EXPECT_EQ(link->Connected(), connected);
                if (tcp && *host != '\0') {
                    meter = Accept(listener.Get());
                    EXPECT_EQ(Wait(listener.Get(), POLLIN, 50), 0);  // no second handshake
                }
#ifndef _WIN32
                Fd twin(::dup(static_cast<int>(handle)));
#endif
                if (how == 'c') {
                    link->Close();
                    link->Close();
                    EXPECT_FALSE(link->IsOpen() || link->Connected());
                }
                if (how == 'o') link->Open("localhost");
                if (how == 'd') link.reset();
#ifndef _WIN32
                if (tcp && *host != '\0') {
                    ASSERT_EQ(::send(static_cast<int>(twin.Get()), "x", 1, MSG_NOSIGNAL), 1);  // connection still whole
                    EXPECT_EQ(Receive(meter.Get()), "x");
                } else if (!tcp) {
                    EXPECT_EQ(Wait(twin.Get(), POLLIN, 0) & POLLHUP, connected ? POLLHUP : 0);
                }
#endif
            }
        }
    }
}

}  // namespace
