#include "update/Verdict.h"

namespace update {

Outcome DecideOutcome(const RunFacts& f) {
    if (f.passwordRejected) return Outcome::PasswordRejected;
    if (f.stoppedBeforeRequest) return Outcome::Cancelled;
    if (!f.identified) return Outcome::NotFound;
    if (f.stoppedUntouched || f.leftInBootloader || (f.programmingFailed && f.stopped)) return Outcome::Cancelled;
    if (f.ambiguous) return Outcome::AmbiguousAnswers;
    if (f.programmingFailed) return Outcome::CommunicationError;
    if (!f.program) return Outcome::Identified;
    if (!f.eraseConfirmed) return Outcome::EraseUnconfirmed;
    return f.everyBlockDone ? Outcome::Updated : Outcome::CommunicationError;
}

Outcome DecideReturnOutcome(Outcome beforeReturn, const ReturnFacts& back, const std::string& expectedRevision) {
    if (beforeReturn != Outcome::Updated && beforeReturn != Outcome::Identified) return beforeReturn;
    switch (back.state) {
        case ReturnState::NotWatched: return beforeReturn;
        case ReturnState::InBootloader:
        case ReturnState::NoAnswer: return Outcome::NotBack;
        case ReturnState::Back: break;
    }
    // A meter that does not name its revision cannot show the expected one.
    return expectedRevision.empty() || back.revision == expectedRevision ? beforeReturn : Outcome::WrongRevision;
}

ProgrammingEnd DecideProgrammingEnd(const RunFacts& f) {
    if (f.programmingFailed) return ProgrammingEnd::Failed;
    return f.eraseConfirmed && f.everyBlockDone ? ProgrammingEnd::Complete : ProgrammingEnd::EraseUnconfirmed;
}

LinkCause DecideCause(Outcome outcome, const RunFacts& f) {
    switch (outcome) {
        case Outcome::AmbiguousAnswers: return LinkCause::Copies;
        case Outcome::NotFound:
        case Outcome::CommunicationError:
        case Outcome::EraseUnconfirmed:
            if (f.lateAnswers > 0) return LinkCause::TooSlow;
            return f.heard ? LinkCause::None : LinkCause::NoAnswer;
        default: return LinkCause::None;
    }
}

}  // namespace update
