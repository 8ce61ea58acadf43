// The echo guard on its own: runs written as the moments of sends, answers
// and surplus datagrams, and what the guard makes of them.
#include <gtest/gtest.h>

#include <sstream>
#include <string>

#include "update/EchoGuard.h"

using update::EchoGuard;

namespace {

EchoGuard::TimePoint At(double ms) {
    return EchoGuard::TimePoint(std::chrono::duration_cast<EchoGuard::TimePoint::duration>(
        std::chrono::duration<double, std::milli>(3'600'000.0 + ms)));
}

// "S0 A1 C61 S70 a71": a frame sent, an answer taken and accepted (A) or
// refused (a), a surplus datagram (C), at these milliseconds; all four bytes.
void Play(EchoGuard& guard, const std::string& run) {
    std::istringstream in(run);
    std::string event;
    guard.Begin();
    while (in >> event) {
        const double t = std::stod(event.substr(1));
        switch (event[0]) {
            case 'S': guard.Sent(At(t)); break;
            case 'A':
            case 'a':
                guard.Arrived(At(t), At(t), 4, true);
                if (event[0] == 'A') guard.Confirmed();
                break;
            case 'C': guard.Arrived(At(t), At(t), 4, false); break;
        }
    }
}

struct GuardCase {
    const char* name;
    const char* run;
    bool ambiguous;
    std::vector<double> lags;  // the longest lag of each explanation left
    double holdUntil;          // HoldUntil at the last event, ms; 0: none; -1: not checked
};
void PrintTo(const GuardCase& c, std::ostream* os) { *os << c.name; }
class Guard : public ::testing::TestWithParam<GuardCase> {};

TEST_P(Guard, ReadsTheRun) {
    const GuardCase& c = GetParam();
    EchoGuard guard;
    Play(guard, c.run);
    const std::string run = c.run;
    const double end = std::stod(run.substr(run.rfind(' ') + 2));
    const auto hold = guard.HoldUntil(At(end));
    if (c.holdUntil == 0) {
        EXPECT_FALSE(hold);
    } else if (c.holdUntil > 0) {
        EXPECT_EQ(hold, At(c.holdUntil));
    }
    guard.EndExchange(At(end));
    EXPECT_EQ(guard.Ambiguous(), c.ambiguous);
    EXPECT_EQ(guard.Lags(), c.lags);
}

INSTANTIATE_TEST_SUITE_P(
    Runs, Guard,
    ::testing::Values(
        GuardCase{"NoCopyNoHold", "S0 A1 S50 A51 S100 a101 S1100 A1101", false, {}, 0},
        GuardCase{"CopiesWithinTheWait", "S0 A1 C11 S50 A51 C61 S100 A101", false, {10}, 101 + 10 + 30},
        GuardCase{"CopiesDriftWithinTheSpread",
                  "S0 A1 C61 S61 A62 C126 S126 A127 C184 S184 A185",
                  false,
                  {64},
                  185 + 64 + 30},
        GuardCase{"CopyNoLagExplains", "S0 A1 C61 S61 A62 C122 S122 A123 C223", true, {}, 0},
        // The first copy comes after the next frame left, after that frame's
        // own answer; from then on the next frame waits for the copy.
        GuardCase{"FirstCopyLateThenWaitedFor",
                  "S0 A1 S50 A51 C61 C111 S111 A112 C172 S172 A173",
                  false,
                  {60},
                  173 + 60 + 30},
        // The frame sent at 50 was lost and the copy of the first answer
        // taken for its answer: the first surplus copy, at 161, tells.
        GuardCase{"FirstCopyRevealsAnEarlierConfirmation",
                  "S0 A1 S50 A61 S100 A101 S150 A151 C161",
                  true,
                  {10, 60, 100, 160},
                  -1},
        GuardCase{
            "CopyLaterThanAnyWaitIsNotWaitedFor", "S0 A1 S600 A601 S1200 A1201 C1601", false, {400, 1000, 1600}, 0}),
    [](const ::testing::TestParamInfo<GuardCase>& i) { return i.param.name; });

}  // namespace
