// How a run ends, decided from its facts alone.
#include <gtest/gtest.h>

#include "update/Verdict.h"

using namespace update;

namespace {

struct VerdictCase {
    const char* name;
    RunFacts facts;
    Outcome outcome;
    LinkCause cause = LinkCause::None;
};
void PrintTo(const VerdictCase& c, std::ostream* os) { *os << c.name; }
class Verdict : public ::testing::TestWithParam<VerdictCase> {};

// A complete update's facts, for the rows to change one at a time.
RunFacts Complete() {
    RunFacts f;
    f.identified = f.eraseConfirmed = f.everyBlockDone = f.heard = true;
    return f;
}
template <typename F>
RunFacts With(F change) {
    RunFacts f = Complete();
    change(f);
    return f;
}

TEST_P(Verdict, FollowsFromTheFacts) {
    const VerdictCase& c = GetParam();
    const Outcome o = DecideOutcome(c.facts);
    EXPECT_EQ(o, c.outcome);
    EXPECT_EQ(DecideCause(o, c.facts), c.cause);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, Verdict,
    ::testing::Values(
        VerdictCase{"Complete", Complete(), Outcome::Updated},
        VerdictCase{"Probe", With([](RunFacts& f) { f.program = false; }), Outcome::Identified},
        VerdictCase{"PasswordRefused", With([](RunFacts& f) { f.passwordRejected = true; }), Outcome::PasswordRejected},
        VerdictCase{"StoppedBeforeTheRequest", With([](RunFacts& f) { f.stoppedBeforeRequest = true; }),
                    Outcome::Cancelled},
        VerdictCase{"NothingAnswered", RunFacts{}, Outcome::NotFound, LinkCause::NoAnswer},
        VerdictCase{"IdentityTooLate", With([](RunFacts& f) {
                        f.identified = false;
                        f.lateAnswers = 2;
                    }),
                    Outcome::NotFound, LinkCause::TooSlow},
        VerdictCase{"BlockFailedInSilence", With([](RunFacts& f) {
                        f.programmingFailed = true;
                        f.heard = false;
                    }),
                    Outcome::CommunicationError, LinkCause::NoAnswer},
        VerdictCase{"BlockRefused", With([](RunFacts& f) { f.programmingFailed = true; }), Outcome::CommunicationError},
        // Every block confirmed counts for nothing when one may have been a copy.
        VerdictCase{"Ambiguous", With([](RunFacts& f) {
                        f.programmingFailed = true;
                        f.ambiguous = true;
                    }),
                    Outcome::AmbiguousAnswers, LinkCause::Copies},
        VerdictCase{"StopDuringProgramming", With([](RunFacts& f) {
                        f.programmingFailed = true;
                        f.stopped = true;
                    }),
                    Outcome::Cancelled},
        VerdictCase{"StopBeforeTheErase", With([](RunFacts& f) { f.stoppedUntouched = true; }), Outcome::Cancelled},
        VerdictCase{"LeftInItsBootloader", With([](RunFacts& f) { f.leftInBootloader = true; }), Outcome::Cancelled},
        VerdictCase{"EraseNeverConfirmed", With([](RunFacts& f) { f.eraseConfirmed = false; }),
                    Outcome::EraseUnconfirmed},
        VerdictCase{"StepsLeft", With([](RunFacts& f) { f.everyBlockDone = false; }), Outcome::CommunicationError}),
    [](const ::testing::TestParamInfo<VerdictCase>& i) { return i.param.name; });

}  // namespace
