// What an update tells its front end, in the update's own terms. The window
// turns these into its labels, bar, colours and boxes; the headless updater
// into progress lines and a report.
#pragma once

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>

#include "protocol/Frames.h"
#include "update/RoundTrip.h"

namespace update {

enum class Stage {
    BootModeRequest,     // Modbus TCP: connecting, asking for the bootloader
    StartingBootloader,  // the meter accepted; giving its bootloader time to start
    Identifying,         // "VER?"
    Erasing,
    Writing,
    Resetting,  // "RESET"
    Returning,  // watching the meter come back into service
    Done,
};

// What the operator must acknowledge.
enum class Notice {
    EraseError,          // the erase was not answered "OK"
    CommunicationError,  // a block failed ten times, or a confirmation may have been a copy of an earlier answer
    IncorrectPassword,   // by the rule before sending, or by the meter
};

// Worded here once: every front end shows these messages in the same words.
inline const char* NoticeText(Notice n) {
    switch (n) {
        case Notice::EraseError: return "Erase error!";
        case Notice::CommunicationError: return "Communication error !";
        case Notice::IncorrectPassword: return "Incorrect password. Please enter correct password.";
    }
    return "";
}

// How a programming run ended, told as soon as it has (before "RESET").
enum class ProgrammingEnd {
    Complete,          // every block confirmed after a confirmed erase: the update succeeded
    Failed,            // a block failed ten times, a confirmation may have been a copy, or the run was cancelled
    EraseUnconfirmed,  // every block written, but no erase was ever confirmed
};

// The first two bytes of a bootloader answer as they came (Latin-1; zero
// where nothing came).
using AnswerBytes = std::array<uint8_t, 2>;

enum class Outcome {
    Updated,             // every block confirmed, success shown, "RESET" sent
    Identified,          // identified and reset without programming
    NotFound,            // no bootloader identified; nothing sent after "VER?"
    PasswordRejected,    // by the rule before sending, or by the meter
    CommunicationError,  // a block failed ten times; the meter waits in its bootloader
    EraseUnconfirmed,    // blocks written, but no erase was ever confirmed
    AmbiguousAnswers,    // answers came again, late: a confirmation may have been a copy; no "RESET"
    Cancelled,
    NotBack,        // updated (or identified) and reset, but its application did not answer within the limit
    WrongRevision,  // back, but running another firmware revision than expected
};

struct Progress {
    int step = 0;          // block steps done, 0 before the first
    int steps = 0;         // block steps in the run
    int64_t position = 0;  // the bar's position, inside [minimum, maximum]
    int32_t minimum = 0;
    int32_t maximum = 0;
};

// "37%": how far the bar is, as every front end words it: the share of the
// bar's range, rounded half away from zero.
inline std::string PercentText(const Progress& p) {
    const double share = static_cast<double>(static_cast<int64_t>(static_cast<int32_t>(p.position)) - p.minimum) /
                         static_cast<double>(static_cast<int64_t>(p.maximum) - p.minimum) * 100.0;
    char text[32];
    std::snprintf(text, sizeof text, "%.0f%%", std::round(share));  // std::round: halves away from zero
    return text;
}

// Why a run that did not succeed got no usable answer from the meter.
enum class LinkCause {
    None,      // the meter answered; its answers said no, or the run was stopped
    NoAnswer,  // nothing came back at all
    TooSlow,   // answers came, but only after their wait had ended
    Copies,    // answers came again, late, so a confirmation may have been a copy
};

// "2:35 left", "1:02:35 left": the time an update still takes, as every
// front end words it.
inline std::string TimeLeftText(std::chrono::seconds left) {
    const long long s = std::max<long long>(0, left.count());
    const std::string ss = (s % 60 < 10 ? "0" : "") + std::to_string(s % 60);
    if (s < 3600) return std::to_string(s / 60) + ":" + ss + " left";
    const std::string mm = ((s / 60) % 60 < 10 ? "0" : "") + std::to_string((s / 60) % 60);
    return std::to_string(s / 3600) + ":" + mm + ":" + ss + " left";
}

// Where the meter was found after "RESET", as the return watch saw it.
enum class ReturnState {
    NotWatched,    // no watch: switched off, no "RESET" sent, or stopped before it knew
    Back,          // its application answered on its Modbus TCP port
    InBootloader,  // not back in time, and its bootloader answered: the new firmware did not start
    NoAnswer,      // not back in time, and nothing answered at all
};

struct ReturnFacts {
    ReturnState state = ReturnState::NotWatched;
    std::chrono::seconds limit{};        // how long it was watched for
    std::optional<double> backAfterS{};  // from "RESET" to the answer that proved it back
    bool stopped = false;                // the operator stopped the watch before it knew
    // What the application named itself (Latin-1); empty where not known.
    std::string vendor{}, product{}, revision{};
    std::string bootloader{};  // InBootloader: what "VER?" answered, as received (Latin-1)
};

struct UpdateResult {
    Outcome outcome = Outcome::NotFound;
    std::string identity;         // "BOOTLOADER-V1.00"; empty when not identified
    bool modbusAnswered = false;  // any byte came back to the boot-mode request
    int modbusException = 0;      // the exception code the request was refused with; 0: none
    int blocksWritten = 0;        // write frames the meter confirmed
    int retries = 0;              // failed write attempts
    int eraseAttempts = 0;
    int staleAnswersDropped = 0;          // answers to earlier frames, and copies of answers, discarded
    std::optional<uint32_t> failedBlock;  // the block that failed ten times
    bool resetSent = false;
    std::chrono::steady_clock::time_point resetAt{};  // when "RESET" left
    RoundTripFigures roundTrip;                       // frames (and the connect) answered in time
    LinkCause cause = LinkCause::None;
    int lateAnswers = 0;             // answers that came after their wait had ended
    double slowestLateAnswerMs = 0;  // the longest of those, from their frame
    ReturnFacts back;                // the meter after "RESET"
    std::string expectedRevision{};  // what it had to come back with; empty: any
};

// Called on the thread that runs the update, in the order things happen.
// The front ends make every text from these.
class UpdateListener {
public:
    virtual ~UpdateListener() = default;
    // The password passed its rule; the request and the update procedure
    // it starts are the only run until RequestEnded.
    virtual void RequestStarted() {}
    virtual void RequestEnded() {}
    // The update procedure begins: the bar takes the flash range, step 0;
    // the identity is being asked for.
    virtual void ProcedureStarted(const Progress&) {}
    virtual void ProcedureEnded() {}
    // StartingBootloader: the meter accepted the boot-mode request.
    virtual void StageChanged(Stage) {}
    // The accepted identity as shown ("BOOTLOADER-V1.00"); empty when no
    // bootloader was identified.
    virtual void Identified(std::string_view) {}
    // Each erase attempt: before its frame is sent, and with the answer.
    virtual void EraseSent() {}
    virtual void EraseAnswered(const AnswerBytes&) {}
    // Each write attempt of a block (also a blank block's, which sends
    // nothing), and each failed one with the answer it got.
    virtual void BlockStarted(uint32_t /*address*/) {}
    virtual void BlockFailed(uint32_t /*address*/, const AnswerBytes&) {}
    virtual void ProgressChanged(const Progress&) {}
    virtual void RetriesChanged(int) {}
    // The time the rest of the update will take, told with each block step
    // once the whole update is expected to take longer than half a minute.
    virtual void TimeLeft(std::chrono::seconds) {}
    // Returns once the operator has seen it. `soFar`: the run's result as
    // the engine would give it if the run ended here.
    virtual void Notify(Notice, const UpdateResult& /*soFar*/) {}
    virtual void ProgrammingEnded(ProgrammingEnd) {}
    // A stop found the meter already waiting in its bootloader (this run's
    // boot-mode request was not accepted), where its flash may hold what an
    // earlier, unfinished update left: it is left there, without "RESET".
    virtual void LeftInBootloader() {}
    // The return watch: at its start and before each attempt to reach the
    // meter, about once a second, the time since "RESET"; then what it found.
    virtual void Awaiting(std::chrono::seconds /*sinceReset*/) {}
    virtual void Returned(const ReturnFacts&) {}
    virtual void Finished(const UpdateResult&) {}
};

}  // namespace update
