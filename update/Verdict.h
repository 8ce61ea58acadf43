// How one update ended, decided from what happened in it and nothing else.
#pragma once

#include <string>

#include "update/UpdateEvents.h"

namespace update {

struct RunFacts {
    bool passwordRejected = false;  // by the rule before sending, or by the meter
    bool stoppedBeforeRequest = false;
    bool identified = false;
    bool program = true;
    bool stoppedUntouched = false;   // stopped before anything was erased
    bool leftInBootloader = false;   // stopped, the meter found waiting in its bootloader and left there
    bool stopped = false;            // the operator asked to stop, by the end of the run
    bool programmingFailed = false;  // a block not confirmed, a doubtful confirmation, or a stop while programming
    bool ambiguous = false;          // a confirmation may have been a copy of an earlier answer
    bool eraseConfirmed = false;
    bool everyBlockDone = false;  // every block of the range confirmed or blank
    // What the link did: any datagram since the last confirmation, and
    // answers that came only after their wait.
    bool heard = false;
    int lateAnswers = 0;
};

Outcome DecideOutcome(const RunFacts& facts);
// The outcome once the watch after "RESET" has ended: a meter that had to
// come back and did not, or came back with another revision than
// `expectedRevision` (empty: any), did not get through.
Outcome DecideReturnOutcome(Outcome beforeReturn, const ReturnFacts& back, const std::string& expectedRevision);
// How programming ended, told before "RESET".
ProgrammingEnd DecideProgrammingEnd(const RunFacts& facts);
// Why a run without success got no usable answer.
LinkCause DecideCause(Outcome outcome, const RunFacts& facts);

}  // namespace update
