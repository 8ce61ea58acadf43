// The plain pacer over a real datagram link: which of its waits for an
// answer a stop request ends (the erase's long wait), and which it leaves to
// run to its deadline (a write's short one).
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <thread>

#include "tests/support/Peer.h"
#include "update/PlainPacer.h"
#include "net/SocketLink.h"

using namespace std::chrono_literals;
using update::Pacer;

namespace {

// Far enough away that a wait which ends before it was ended by what it waits for.
constexpr auto kDistant = 60s;

class PacerOnALink : public ::testing::Test {
protected:
    void SetUp() override {
        link.Open("127.0.0.1");
        ASSERT_TRUE(link.Connected());
    }
    void Answer(const std::string& data) { testsupport::SendTo(meter.Get(), data, testsupport::PortOf(link.Handle())); }
    // Another thread stops the run or answers a moment after the wait began.
    static std::thread Later(std::function<void()> act) {
        return std::thread([act = std::move(act)] {
            std::this_thread::sleep_for(30ms);
            act();
        });
    }

    testsupport::Fd meter = testsupport::Udp();
    net::SocketLink link{net::Transport::Udp, testsupport::PortOf(meter.Get())};
    update::CancelToken cancel;
    update::PlainPacer pacer{cancel};
};

TEST_F(PacerOnALink, AStopEndsAWaitForAnAnswerThatAllowsIt) {
    const auto distant = pacer.Now() + kDistant;
    std::thread stop = Later([&] { cancel.Cancel(); });
    EXPECT_FALSE(pacer.WaitReadableUnlessCancelled(link, distant));
    stop.join();
    EXPECT_LT(pacer.Now(), distant);

    const auto again = pacer.Now() + kDistant;
    EXPECT_FALSE(pacer.WaitReadableUnlessCancelled(link, again)) << "once stopped, it does not wait";
    EXPECT_LT(pacer.Now(), again);

    // An answer already there is still taken.
    Answer("OK");
    ASSERT_NE(testsupport::Wait(link.Handle()), 0);
    EXPECT_TRUE(pacer.WaitReadableUnlessCancelled(link, pacer.Now() + kDistant));

    // A plain wait for an answer keeps its deadline.
    uint8_t taken[8];
    const auto got = link.Receive(taken);
    ASSERT_TRUE(got);
    ASSERT_EQ(got->bytes.size(), 2u);
    const auto deadline = pacer.Now() + 20ms;
    EXPECT_FALSE(pacer.WaitReadable(link, deadline));
    EXPECT_GE(pacer.Now(), deadline);
}

TEST_F(PacerOnALink, AWaitThatAllowsAStopStillWakesOnTheAnswer) {
    const auto distant = pacer.Now() + kDistant;
    std::thread answer = Later([&] { Answer("OK"); });
    EXPECT_TRUE(pacer.WaitReadableUnlessCancelled(link, distant));
    answer.join();
    EXPECT_LT(pacer.Now(), distant);
    EXPECT_FALSE(pacer.Cancelled());
}

}  // namespace
