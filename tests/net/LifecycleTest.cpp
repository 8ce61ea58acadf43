// Opening, closing and the settings that close an open endpoint.

#include <gtest/gtest.h>

#include <vector>

#include "Peer.h"

using namespace peer;

namespace {

struct Setting {
    const char* name;
    void (*apply)(TUdpSocket&, std::uint16_t port, bool same);
};

const Setting kSettings[] = {
    // A different text closes even when it names the same address.
    {"RemoteHost", [](TUdpSocket& s, std::uint16_t, bool same) { s.SetRemoteHost(same ? "127.0.0.1" : "127.0.0.01"); }},
    {"RemotePort",
     [](TUdpSocket& s, std::uint16_t port, bool same) { s.SetRemotePort((same ? "" : "0") + std::to_string(port)); }},
    {"BlockMode", [](TUdpSocket& s, std::uint16_t, bool same) { s.SetBlockMode(same ? bmNonBlocking : bmBlocking); }},
};

void PrintTo(const Setting& setting, std::ostream* out) { *out << setting.name; }

class SettingChange : public ::testing::TestWithParam<Setting> {
protected:
    void SetUp() override {
        Aim(udp, port);
        udp.SetActive(true);
        handle = udp.Handle();
        SendTo(meter.Get(), "queued", PortOf(handle));
        ASSERT_NE(Wait(handle), 0);
    }
    Fd meter = Udp();
    std::uint16_t port = PortOf(meter.Get());
    TUdpSocket udp;
    TSocketHandle handle = InvalidSocketHandle;
};

TEST_P(SettingChange, SameValueKeepsTheSocketAndItsQueue) {
    GetParam().apply(udp, port, true);
    EXPECT_TRUE(udp.Active());
    EXPECT_EQ(udp.Handle(), handle);
    EXPECT_EQ(Take(udp), "queued");
}

TEST_P(SettingChange, DifferentValueClosesAndTheQueueIsLost) {
    GetParam().apply(udp, port, false);
    EXPECT_FALSE(udp.Active());
    EXPECT_FALSE(udp.Connected());
    EXPECT_EQ(udp.Handle(), InvalidSocketHandle);
    udp.SetActive(true);
    ASSERT_TRUE(udp.Active() && udp.Connected());
#ifdef _WIN32
    // No per-call non-blocking flag, and the reopened socket may block.
    EXPECT_EQ(Wait(udp.Handle(), POLLIN, 20), 0);
#else
    char buf[16];
    EXPECT_EQ(udp.ReceiveBytes(buf, sizeof buf, MSG_DONTWAIT), -1);
#endif
}

INSTANTIATE_TEST_SUITE_P(Settings, SettingChange, ::testing::ValuesIn(kSettings),
                         [](const auto& info) { return std::string(info.param.name); });

// Opening twice neither reopens nor reconnects, connected or not.
class OpenTwice : public ::testing::TestWithParam<std::tuple<bool, const char*>> {};

TEST_P(OpenTwice, SecondTimeChangesNothing) {
    const auto [tcp, host] = GetParam();
    Fd listener = TcpListener();
    Fd meter = Udp();
    auto endpoint = MakeEndpoint(tcp);
    int creates = 0, destroys = 0;
    endpoint->OnCreateHandle = [&] { ++creates; };
    endpoint->OnDestroyHandle = [&] { ++destroys; };
    Aim(*endpoint, PortOf(tcp ? listener.Get() : meter.Get()), host);
    endpoint->SetActive(true);
    const TSocketHandle handle = endpoint->Handle();
    const bool connected = endpoint->Connected();
    endpoint->SetActive(true);
    EXPECT_EQ(creates, 1);
    EXPECT_EQ(endpoint->Handle(), handle);
    EXPECT_EQ(endpoint->Connected(), connected);
    if (tcp && *host != '\0') {
        Fd first = Accept(listener.Get());
        EXPECT_EQ(Wait(listener.Get(), POLLIN, 50), 0);  // no second handshake
    }
    endpoint->SetActive(false);
    endpoint->SetActive(false);
    EXPECT_EQ(destroys, 1);
}

INSTANTIATE_TEST_SUITE_P(Endpoints, OpenTwice,
                         ::testing::Combine(::testing::Bool(), ::testing::Values("127.0.0.1", "")));

// Closing the datagram endpoint shuts it down before releasing it; the
// stream endpoint, never counted as connected, is only released. On Linux a
// second handle on the same socket shows what was done to it.
enum class CloseBy { Deactivating, ChangingHost, Destroying };
void PrintTo(CloseBy how, std::ostream* out) {
    *out << (how == CloseBy::Deactivating   ? "Deactivating"
             : how == CloseBy::ChangingHost ? "ChangingHost"
                                            : "Destroying");
}

class Closing : public ::testing::TestWithParam<std::tuple<bool, CloseBy>> {};

TEST_P(Closing, ShutsDownOnlyTheDatagramEndpoint) {
    const auto [tcp, how] = GetParam();
    Fd listener = TcpListener();
    Fd meter = Udp();
    std::vector<std::string> steps;
    auto endpoint = MakeEndpoint(tcp);
    endpoint->OnDisconnect = [&] { steps.push_back("shutdown"); };
    endpoint->OnDestroyHandle = [&] { steps.push_back("close"); };
    Aim(*endpoint, PortOf(tcp ? listener.Get() : meter.Get()));
    endpoint->SetActive(true);
    if (tcp) meter = Accept(listener.Get());
#ifndef _WIN32
    Fd twin(::dup(endpoint->Handle()));
#endif

    switch (how) {
        case CloseBy::Deactivating: endpoint->SetActive(false); break;
        case CloseBy::ChangingHost: endpoint->SetRemoteHost("localhost"); break;
        case CloseBy::Destroying: endpoint.reset(); break;
    }

    if (tcp) {
        EXPECT_EQ(steps, std::vector<std::string>{"close"});
#ifndef _WIN32
        ASSERT_EQ(::send(twin.Get(), "x", 1, MSG_NOSIGNAL), 1);  // connection still whole
        EXPECT_EQ(Receive(meter.Get()), "x");
#endif
    } else {
        EXPECT_EQ(steps, (std::vector<std::string>{"shutdown", "close"}));
#ifndef _WIN32
        EXPECT_NE(Wait(twin.Get(), POLLIN, 0) & POLLHUP, 0);
#endif
    }
}

INSTANTIATE_TEST_SUITE_P(Endpoints, Closing,
                         ::testing::Combine(::testing::Bool(),
                                            ::testing::Values(CloseBy::Deactivating, CloseBy::ChangingHost,
                                                              CloseBy::Destroying)));

}  // namespace
