// Opening, closing, and the changes that close an open link.

#include <gtest/gtest.h>

#ifndef _WIN32
#include <unistd.h>
#endif

#include "tests/support/Peer.h"
#include "net/SocketLink.h"

using namespace testsupport;

namespace {

struct Change {
    const char* name;
    void (*apply)(net::SocketLink&, std::uint16_t port, bool same);
};

const Change kChanges[] = {
    // A different text closes even when it names the same address; Open then makes a new socket.
    {"Host", [](net::SocketLink& l, std::uint16_t, bool same) { l.Open(same ? "127.0.0.1" : "127.0.0.01"); }},
    {"Port",
     [](net::SocketLink& l, std::uint16_t port, bool same) {
         l.SetRemotePort(same ? port : static_cast<std::uint16_t>(port + 1));
         l.SetRemotePort(port);
         l.Open("127.0.0.1");
     }},
};

void PrintTo(const Change& c, std::ostream* out) { *out << c.name; }

class LinkChange : public ::testing::TestWithParam<Change> {
protected:
    void SetUp() override {
        link.Open("127.0.0.1");
        handle = link.Handle();
        SendTo(meter.Get(), "queued", PortOf(handle));
        ASSERT_NE(Wait(handle), 0);
    }
    Fd meter = Udp();
    std::uint16_t port = PortOf(meter.Get());
    net::SocketLink link{net::Transport::Udp, port};
    SocketHandle handle = kNoSocket;
};

TEST_P(LinkChange, TheSameValueKeepsTheSocketAndItsQueue) {
    GetParam().apply(link, port, true);
    EXPECT_TRUE(link.IsOpen());
    EXPECT_EQ(link.Handle(), handle);
    EXPECT_EQ(Take(link), "queued");
}

TEST_P(LinkChange, AnotherValueClosesAndTheQueueIsLost) {
    GetParam().apply(link, port, false);
    ASSERT_TRUE(link.IsOpen() && link.Connected());
    EXPECT_EQ(Take(link), std::nullopt);
    SendTo(meter.Get(), "new", PortOf(link.Handle()));
    ASSERT_NE(Wait(link.Handle()), 0);
    EXPECT_EQ(Take(link), "new");
}

INSTANTIATE_TEST_SUITE_P(Changes, LinkChange, ::testing::ValuesIn(kChanges),
                         [](const auto& info) { return std::string(info.param.name); });

// Opening twice neither reopens nor reconnects, connected or not.
class OpenTwice : public ::testing::TestWithParam<std::tuple<bool, const char*>> {};

TEST_P(OpenTwice, SecondTimeChangesNothing) {
    const auto [tcp, host] = GetParam();
    Fd listener = TcpListener();
    Fd meter = Udp();
    net::SocketLink link(tcp ? net::Transport::Tcp : net::Transport::Udp, PortOf(tcp ? listener.Get() : meter.Get()));
    link.Open(host);
    const SocketHandle handle = link.Handle();
    const bool connected = link.Connected();
    link.Open(host);
    EXPECT_EQ(link.Handle(), handle);
    EXPECT_EQ(link.Connected(), connected);
    if (tcp && *host != '\0') {
        Fd first = Accept(listener.Get());
        EXPECT_EQ(Wait(listener.Get(), POLLIN, 50), 0);  // no second handshake
    }
    link.Close();
    link.Close();
    EXPECT_FALSE(link.IsOpen());
    EXPECT_FALSE(link.Connected());
}

INSTANTIATE_TEST_SUITE_P(Links, OpenTwice, ::testing::Combine(::testing::Bool(), ::testing::Values("127.0.0.1", "")));

#ifndef _WIN32
// Closing the datagram link shuts its socket down before releasing it; the
// stream link, never counted as connected, only releases its socket. A
// second descriptor of the same socket shows what was done to it.
enum class CloseBy { Closing, OpeningAnotherHost, Destroying };
void PrintTo(CloseBy how, std::ostream* out) {
    *out << (how == CloseBy::Closing              ? "Closing"
             : how == CloseBy::OpeningAnotherHost ? "OpeningAnotherHost"
                                                  : "Destroying");
}

class Closing : public ::testing::TestWithParam<std::tuple<bool, CloseBy>> {};

TEST_P(Closing, ShutsDownOnlyTheDatagramLink) {
    const auto [tcp, how] = GetParam();
    Fd listener = TcpListener();
    Fd meter = Udp();
    auto link = std::make_unique<net::SocketLink>(tcp ? net::Transport::Tcp : net::Transport::Udp,
                                                  PortOf(tcp ? listener.Get() : meter.Get()));
    link->Open("127.0.0.1");
    if (tcp) meter = Accept(listener.Get());
    Fd twin(::dup(static_cast<int>(link->Handle())));

    switch (how) {
        case CloseBy::Closing: link->Close(); break;
        case CloseBy::OpeningAnotherHost: link->Open("localhost"); break;
        case CloseBy::Destroying: link.reset(); break;
    }

    if (tcp) {
        ASSERT_EQ(::send(static_cast<int>(twin.Get()), "x", 1, MSG_NOSIGNAL), 1);  // connection still whole
        EXPECT_EQ(Receive(meter.Get()), "x");
    } else {
        EXPECT_NE(Wait(twin.Get(), POLLIN, 0) & POLLHUP, 0);
    }
}

INSTANTIATE_TEST_SUITE_P(Links, Closing,
                         ::testing::Combine(::testing::Bool(),
                                            ::testing::Values(CloseBy::Closing, CloseBy::OpeningAnotherHost,
                                                              CloseBy::Destroying)));
#endif

}  // namespace
