// The bootloader's side of an update: its datagram endpoint, one frame at a
// time, the first datagram after a frame taken as that frame's answer. It
// keeps what the link has shown in a run (its round trip, the copies of
// earlier answers it delivers again, the answers still owed), gives each
// frame the waits the link needs, and waits only through its pacer.
#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "protocol/Frames.h"
#include "update/EchoGuard.h"
#include "update/Link.h"
#include "update/Pacer.h"
#include "update/RoundTrip.h"
#include "update/UpdateEvents.h"

namespace update {

// Whether an exchange's round trip counts: a first attempt's always; a
// retry's only while nothing was measured, and only when its answer came
// so promptly that it can be no earlier frame's; the rest never.
enum class Sampling { Never, Always, WhenPlainlyOwn };

// What came back to a write frame.
struct WriteReply {
    // Nothing unless a whole datagram of a write answer's size came.
    std::optional<protocol::WriteAnswer> answer;
    // The head of whatever came, as a failed block shows it.
    AnswerBytes shown{};
    // From the frame to the answer taken; none without an answer.
    std::optional<std::chrono::microseconds> roundTrip;

    bool Accepted() const { return answer && answer->Accepted(); }
};

// What the link did in a run, for the run's verdict and report.
struct LinkRecord {
    bool heard = false;  // a datagram came since the last confirmation
    int staleAnswersDropped = 0;
    int lateAnswers = 0;  // answers that came only after their wait
    double slowestLateAnswerMs = 0;
};

class BootLink {
public:
    using TimePoint = Pacer::TimePoint;
    using Duration = std::chrono::microseconds;

    BootLink(Pacer& pacer, Link& link) : pacer_(pacer), link_(link) {}

    // A new run: nothing sent, seen or measured yet.
    void Begin() { run_ = {}; }
    // The endpoint stays open between runs; what waits in its queue then is
    // dropped before the first frame.
    void Open(const std::string& address);

    // "VER?": the answer's bytes, when a whole datagram no longer than an
    // identity came; nothing else.
    std::optional<std::string> Identify(Sampling sampling);
    // "E": the head of the answer (zeros past its end, whatever its length);
    // nothing when none came. A stop ends its long grace.
    std::optional<protocol::EraseAnswer> Erase();
    WriteReply Write(const protocol::WriteRequest& write, Sampling sampling);
    // "RESET": no answer is awaited.
    void Reset();

    // The latest answer confirmed the erase, or the write of `block`.
    void Confirmed(std::optional<uint32_t> block = std::nullopt);
    // Empties the link before a frame leaves, or before the verdict: takes the
    // answers still owed and waits for the copies of earlier answers still
    // expected, drops whatever else waits, and ends the exchange. False when
    // the run's confirmations can no longer be trusted. A stop ends the wait;
    // a caller whose frame must not follow a stop checks for it next.
    bool Drain();
    // The delay before another attempt, watching the link meanwhile.
    void BackOff(std::chrono::milliseconds delay);
    // Until nothing has arrived for `quiet`: no copy of an earlier answer is
    // then on its way, and the copies seen so far explain nothing to come.
    // False on a stop.
    bool Quieten(Duration quiet);

    // A confirmation so far may have been a copy (EchoGuard).
    bool Ambiguous() const { return run_.echoes.Ambiguous(); }
    std::optional<std::vector<uint32_t>> Doubtful() const { return run_.echoes.Doubtful(); }
    Duration LongestLag() const { return run_.echoes.LongestLag(); }

    // The boot-mode request's connection and answer measure it first.
    RoundTripEstimate& RoundTrip() { return run_.roundTrip; }
    const LinkRecord& Record() const { return run_.record; }

private:
    // How long one exchange waits: the designed wait in full, then, while no
    // answer has come, up to the grace or what the link needs, whichever is
    // longer; `graceStops`: a stop ends that part.
    struct Waits {
        std::chrono::milliseconds wait{};
        std::chrono::milliseconds grace{};
        bool graceStops = false;
        bool answerExpected = true;
    };
    // One datagram as it was taken: its length, or -1 when it was longer than
    // the buffer or could not be read.
    struct Datagram {
        std::span<const uint8_t> bytes;
        int32_t length = -1;
    };
    // A frame's answer, kept as it came: no longer answer is examined than
    // an identity.
    struct Answer {
        std::array<uint8_t, protocol::Identity::kSize> head{};  // zeros past its end
        int32_t length = -1;                                    // as the datagram's
        std::chrono::microseconds after{};                      // from the frame

        // Its bytes, when all of them are in the head.
        std::optional<protocol::Bytes> Whole() const;
    };

    // Sends a frame and takes the first datagram after it as its answer;
    // nothing when none came.
    std::optional<Answer> Exchange(std::span<const uint8_t> frame, const Waits& waits, Sampling sampling);
    // What an answer's moment tells: the round trip of a retry's plainly own
    // answer, or that the answer may be an earlier frame's come late, and
    // when this frame's own is then due.
    void WeighAnswer(TimePoint sent, TimePoint answeredAt, TimePoint graceEnd, Sampling sampling);
    // A retry's answer that came this soon after it is its own, not the
    // earlier frame's come late, on a link not yet measured.
    bool PlainlyOwn(TimePoint sent, TimePoint answeredAt) const;
    // Until something waits on the link or the deadline (or the stop, when
    // `cancellable`); true when something does.
    bool Watch(TimePoint deadline, bool cancellable = false);
    Datagram Take(bool answer, bool owed = false);
    void TookLateAnswer();
    void DropStaleAnswers();

    Pacer& pacer_;
    Link& link_;
    // Every datagram is taken in here whole first; larger than any answer a
    // bootloader gives.
    std::array<uint8_t, 2 * protocol::kLargestFrame> received_{};

    struct Run {
        EchoGuard echoes;
        RoundTripEstimate roundTrip;
        LinkRecord record;
        TimePoint emptyAt{};   // nothing waited on the link at this moment
        TimePoint lastSent{};  // the latest frame left then
        // Frames whose answer has not come, and when the last of them is due.
        int unanswered = 0;
        TimePoint unansweredSent{};  // the latest of them left then
        std::optional<TimePoint> answerDue;
        bool lastMeasured = false;  // the latest frame's round trip counts
        bool awaitingLate = false;  // the latest frame's wait ended without its answer
    };
    Run run_;
};

}  // namespace update
