// The plain pacer's waits: the system's timer for the deadline (a waitable
// timer on Windows), the socket for an answer, the stop request's handle for
// a cancel.
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

class SocketsForTheRun : public ::testing::Environment {
    void SetUp() override { SocketLibraryStartup(); }
    void TearDown() override { SocketLibraryCleanup(); }
};
[[maybe_unused]] const auto* const kSockets = ::testing::AddGlobalTestEnvironment(new SocketsForTheRun);

using Micros = std::chrono::microseconds;
Micros Since(Pacer::TimePoint t) { return std::chrono::duration_cast<Micros>(Pacer::Clock::now() - t); }

// Far enough away that a wait which ends before it was ended by what it waits for.
constexpr auto kFar = 60s;

// How late the waits end is machine-dependent (Wine on a shared machine
// here); it is printed, and only a wait that ends early fails.
TEST(PlainPacer, WaitUntilEndsAtTheDeadlineNeverBefore) {
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
}

class PacerOnASocket : public ::testing::Test {
protected:
    void SetUp() override {
        peer::Aim(udp, peer::PortOf(meter.Get()));
        udp.SetActive(true);
        ASSERT_TRUE(udp.Connected());
    }
    void Answer(const std::string& data) { peer::SendTo(meter.Get(), data, peer::PortOf(udp.Handle())); }
    // Another thread stops the run or answers a moment after the wait began;
    // the wait must end because of it, long before its deadline.
    std::thread Later(std::function<void()> act) {
        return std::thread([act = std::move(act)] {
            std::this_thread::sleep_for(30ms);
            act();
        });
    }

    peer::Fd meter = peer::Udp();
    TUdpSocket udp;
    loader::SocketLink link{udp};
    loader::CancelToken cancel;
    loader::PlainPacer pacer{cancel};
};

TEST_F(PacerOnASocket, WaitReadableWakesOnADatagramAndLeavesItToBeTaken) {
    const auto deadline = pacer.Now() + kFar;
    std::thread answer = Later([&] { Answer("ID"); });
    EXPECT_TRUE(pacer.WaitReadable(link, deadline));
    answer.join();
    EXPECT_LT(pacer.Now(), deadline);
    EXPECT_EQ(peer::Take(udp), "ID");

    Answer("queued");  // already there: no wait at all
    ASSERT_NE(peer::Wait(udp.Handle()), 0);
    EXPECT_TRUE(pacer.WaitReadable(link, pacer.Now() + kFar));
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

    const auto distant = pacer.Now() + kFar;
    std::thread stop = Later([&] { cancel.Cancel(); });
    EXPECT_FALSE(pacer.WaitUnlessCancelled(distant));
    stop.join();
    EXPECT_LT(pacer.Now(), distant);
    EXPECT_TRUE(pacer.Cancelled());

    const auto plain = pacer.Now() + 20ms;  // a plain wait keeps its deadline
    pacer.WaitUntil(plain);
    EXPECT_GE(Since(plain), Micros::zero());
    const auto readable = pacer.Now() + 20ms;  // and so does a plain wait for an answer
    EXPECT_FALSE(pacer.WaitReadable(link, readable));
    EXPECT_GE(Since(readable), Micros::zero());
}

// The erase's long wait for its answer: a stop ends it, an answer that is
// already there is still taken.
TEST_F(PacerOnASocket, CancelEndsAWaitForAnAnswerThatAllowsIt) {
    const auto distant = pacer.Now() + kFar;
    std::thread stop = Later([&] { cancel.Cancel(); });
    EXPECT_FALSE(pacer.WaitReadableUnlessCancelled(link, distant));
    stop.join();
    EXPECT_LT(pacer.Now(), distant);

    const auto again = pacer.Now() + kFar;
    EXPECT_FALSE(pacer.WaitReadableUnlessCancelled(link, again)) << "once cancelled, it does not wait";
    EXPECT_LT(pacer.Now(), again);

    Answer("OK");
    ASSERT_NE(peer::Wait(udp.Handle()), 0);
    EXPECT_TRUE(pacer.WaitReadableUnlessCancelled(link, pacer.Now() + kFar));
    EXPECT_EQ(peer::Take(udp), "OK");
}

TEST_F(PacerOnASocket, AWaitForAnAnswerThatAllowsAStopStillWakesOnTheAnswer) {
    const auto distant = pacer.Now() + kFar;
    std::thread answer = Later([&] { Answer("OK"); });
    EXPECT_TRUE(pacer.WaitReadableUnlessCancelled(link, distant));
    answer.join();
    EXPECT_LT(pacer.Now(), distant);
    EXPECT_EQ(peer::Take(udp), "OK");
}

}  // namespace
