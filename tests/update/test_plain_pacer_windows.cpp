// The plain pacer's Windows waits: a waitable timer for the deadline, the
// socket's event for an answer, the stop request's event for a cancel, and
// the socket's and the stop's events at once.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <iostream>
#include <thread>
#include <vector>

#include "Peer.h"
#include "PlainPacer.h"
#include "SocketLink.h"

using namespace std::chrono_literals;
using loader::Pacer;

namespace {

class WinsockForTheRun : public ::testing::Environment {
    void SetUp() override { SocketLibraryStartup(); }
    void TearDown() override { SocketLibraryCleanup(); }
};
[[maybe_unused]] const auto* const kWinsock = ::testing::AddGlobalTestEnvironment(new WinsockForTheRun);

using Micros = std::chrono::microseconds;
Micros Since(Pacer::TimePoint t) { return std::chrono::duration_cast<Micros>(Pacer::Clock::now() - t); }

// How late the waits end is machine-dependent (Wine on a shared machine
// here); it is printed, and only a wait that ends early, or a whole tick
// late, fails.
TEST(PlainPacerOnWindows, WaitUntilEndsAtTheDeadlineNeverBefore) {
    loader::CancelToken cancel;
    loader::PlainPacer pacer(cancel);
    std::vector<Micros> late;
    for (int i = 0; i < 20; ++i) {
        const auto deadline = pacer.Now() + 7ms;
        pacer.WaitUntil(deadline);
        late.push_back(Since(deadline));
    }
    std::sort(late.begin(), late.end());
    std::cout << "WaitUntil 7 ms, late by: median " << late[late.size() / 2].count() << " us, max "
              << late.back().count() << " us\n";
    EXPECT_GE(late.front(), Micros::zero());
    EXPECT_LT(late[late.size() / 2], 15ms);
}

class PacerOnASocket : public ::testing::Test {
protected:
    void SetUp() override {
        peer::Aim(udp, peer::PortOf(meter.Get()));
        udp.SetActive(true);
        ASSERT_TRUE(udp.Connected());
    }
    void Answer(const std::string& data) { peer::SendTo(meter.Get(), data, peer::PortOf(udp.Handle())); }

    peer::Fd meter = peer::Udp();
    TUdpSocket udp;
    loader::SocketLink link{udp};
    loader::CancelToken cancel;
    loader::PlainPacer pacer{cancel};
};

TEST_F(PacerOnASocket, WaitReadableWakesOnADatagramAndLeavesItToBeTaken) {
    const auto start = pacer.Now();
    std::thread answer([&] {
        std::this_thread::sleep_for(30ms);
        Answer("ID");
    });
    EXPECT_TRUE(pacer.WaitReadable(link, start + 5s));
    answer.join();
    EXPECT_LT(Since(start), 1s);
    EXPECT_EQ(peer::Take(udp), "ID");

    Answer("queued");  // already there: no wait at all
    ASSERT_NE(peer::Wait(udp.Handle()), 0);
    EXPECT_TRUE(pacer.WaitReadable(link, pacer.Now() + 5s));
    EXPECT_EQ(peer::Take(udp), "queued");
}

TEST_F(PacerOnASocket, WaitReadableWithoutAnswerEndsAtTheDeadline) {
    const auto deadline = pacer.Now() + 50ms;
    EXPECT_FALSE(pacer.WaitReadable(link, deadline));
    EXPECT_GE(Since(deadline), Micros::zero());
    Answer("late");  // the socket is as it was: still non-blocking, still receiving
    ASSERT_NE(peer::Wait(udp.Handle()), 0);
    EXPECT_EQ(peer::Take(udp), "late");
    EXPECT_EQ(peer::Take(udp), std::nullopt);
}

TEST_F(PacerOnASocket, CancelEndsACancellableWaitAtOnceAndOnlyThat) {
    const auto deadline = pacer.Now() + 30ms;
    EXPECT_TRUE(pacer.WaitUnlessCancelled(deadline));
    EXPECT_GE(Since(deadline), Micros::zero());

    const auto start = pacer.Now();
    std::thread stop([&] {
        std::this_thread::sleep_for(30ms);
        cancel.Cancel();
    });
    EXPECT_FALSE(pacer.WaitUnlessCancelled(start + 5s));
    stop.join();
    EXPECT_LT(Since(start), 1s);
    EXPECT_TRUE(pacer.Cancelled());

    const auto plain = pacer.Now() + 20ms;  // a plain wait keeps its deadline
    pacer.WaitUntil(plain);
    EXPECT_GE(Since(plain), Micros::zero());
}

TEST_F(PacerOnASocket, CancellableWaitOnTheLinkEndsOnADatagramOnAStopOrAtTheDeadline) {
    const auto deadline = pacer.Now() + 30ms;
    EXPECT_FALSE(pacer.WaitReadableUnlessCancelled(link, deadline));
    EXPECT_GE(Since(deadline), Micros::zero());

    const auto start = pacer.Now();
    std::thread answer([&] {
        std::this_thread::sleep_for(30ms);
        Answer("OK");
    });
    EXPECT_TRUE(pacer.WaitReadableUnlessCancelled(link, start + 5s));
    answer.join();
    EXPECT_LT(Since(start), 1s);
    EXPECT_EQ(peer::Take(udp), "OK");

    std::thread stop([&] {
        std::this_thread::sleep_for(30ms);
        cancel.Cancel();
    });
    EXPECT_FALSE(pacer.WaitReadableUnlessCancelled(link, pacer.Now() + 5s));
    stop.join();
    EXPECT_LT(Since(start), 2s);
}

}  // namespace
