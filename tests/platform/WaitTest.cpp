// A thread's waits: the timer for the deadline, the socket for an answer,
// the stop request for a cancel.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <iostream>
#include <thread>
#include <vector>

#include "tests/support/Peer.h"
#include "platform/Wait.h"

using namespace std::chrono_literals;
using Clock = platform::Waiter::Clock;

namespace {

using Micros = std::chrono::microseconds;
Micros Since(Clock::time_point t) { return std::chrono::duration_cast<Micros>(Clock::now() - t); }

// How late the waits end is machine-dependent (Wine on a shared machine
// here, and a matter for the benchmarks); it is printed, and only a wait
// that ends early fails.
TEST(Waits, SleepEndsAtTheDeadlineNeverBefore) {
    platform::Waiter waiter;
    std::vector<Micros> late;
    for (int i = 0; i < 20; ++i) {
        const auto deadline = Clock::now() + 7ms;
        waiter.SleepUntil(deadline);
        late.push_back(Since(deadline));
    }
    std::sort(late.begin(), late.end());
    std::cout << "SleepUntil 7 ms, late by: median " << late[late.size() / 2].count() << " us, max "
              << late.back().count() << " us\n";
    EXPECT_GE(late.front(), Micros::zero());
}

class WaitsOnASocket : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(socket.Open(platform::SocketKind::Datagram).value, 0);
        ASSERT_EQ(socket.Connect(0x7F000001, testsupport::PortOf(meter.Get())).value, 0);
    }
    void Answer(const std::string& data) {
        testsupport::SendTo(meter.Get(), data, testsupport::PortOf(socket.Handle()));
    }
    std::string Take() {
        char buf[64];
        const int32_t n = socket.Receive(buf, sizeof buf).value;
        return n < 0 ? "(nothing)" : std::string(buf, static_cast<size_t>(n));
    }

    testsupport::Fd meter = testsupport::Udp();
    platform::Socket socket;
    platform::Waiter waiter;
    platform::CancelToken cancel;
};

// True means woken before the deadline: an answer that is waited out fails.
TEST_F(WaitsOnASocket, AnAnswerWakesTheWaitAndIsLeftToBeTaken) {
    std::thread answer([&] {
        std::this_thread::sleep_for(30ms);
        Answer("ID");
    });
    EXPECT_TRUE(waiter.WaitUntil(Clock::now() + 5s, socket.Handle(), &cancel));
    answer.join();
    EXPECT_EQ(Take(), "ID");

    Answer("queued");  // already there: no wait at all
    ASSERT_NE(testsupport::Wait(socket.Handle()), 0);
    EXPECT_TRUE(waiter.WaitUntil(Clock::now() + 5s, socket.Handle(), nullptr));
    EXPECT_EQ(Take(), "queued");
}

TEST_F(WaitsOnASocket, WithoutAnAnswerTheWaitEndsAtTheDeadline) {
    const auto deadline = Clock::now() + 50ms;
    EXPECT_FALSE(waiter.WaitUntil(deadline, socket.Handle(), &cancel));
    EXPECT_GE(Since(deadline), Micros::zero());
    Answer("late");  // the socket is as it was: still non-blocking, still receiving
    ASSERT_NE(testsupport::Wait(socket.Handle()), 0);
    EXPECT_EQ(Take(), "late");
    EXPECT_EQ(Take(), "(nothing)");
}

TEST_F(WaitsOnASocket, ACancelWakesEveryWaitOnTheTokenFromThenOn) {
    const auto deadline = Clock::now() + 30ms;
    EXPECT_FALSE(waiter.WaitUntil(deadline, platform::kNoSocket, &cancel));
    EXPECT_GE(Since(deadline), Micros::zero());

    std::thread stop([&] {
        std::this_thread::sleep_for(30ms);
        cancel.Cancel();
    });
    EXPECT_TRUE(waiter.WaitUntil(Clock::now() + 5s, platform::kNoSocket, &cancel));
    stop.join();
    EXPECT_TRUE(cancel.Cancelled());
    EXPECT_TRUE(waiter.WaitUntil(Clock::now() + 5s, socket.Handle(), &cancel)) << "never reset";
    cancel.Cancel();  // a second request changes nothing
    EXPECT_TRUE(cancel.Cancelled());

    const auto plain = Clock::now() + 20ms;  // a wait that does not watch the token keeps its deadline
    EXPECT_FALSE(waiter.WaitUntil(plain, socket.Handle(), nullptr));
    EXPECT_GE(Since(plain), Micros::zero());
    waiter.SleepUntil(plain + 10ms);
    EXPECT_GE(Since(plain + 10ms), Micros::zero());
}

}  // namespace
