#include "update/BootLink.h"

#include <algorithm>
#include <utility>

namespace update {
namespace {

// How much later than the measured round trip an answer may still come.
constexpr auto kLateAnswerMargin = std::chrono::milliseconds(50);

}  // namespace

std::optional<protocol::Bytes> BootLink::Answer::Whole() const {
    if (length < 0 || static_cast<size_t>(length) > head.size()) return std::nullopt;
    return protocol::Bytes(head).first(static_cast<size_t>(length));
}

void BootLink::Open(const std::string& address) {
    link_.Open(address);
    run_.emptyAt = pacer_.Now();
}

std::optional<std::string> BootLink::Identify(Sampling sampling) {
    const auto answer =
        Exchange(protocol::IdentifyRequest{}.Encode(), {protocol::kIdentifyWait, protocol::kIdentifyWait}, sampling);
    const auto whole = answer ? answer->Whole() : std::nullopt;
    if (!whole) return std::nullopt;
    return std::string(whole->begin(), whole->end());
}

std::optional<protocol::EraseAnswer> BootLink::Erase() {
    // The answer's time is mostly the meter's work, not the link's.
    const auto answer = Exchange(protocol::EraseRequest{}.Encode(), {protocol::kEraseWait, protocol::kEraseGrace, true},
                                 Sampling::Never);
    if (!answer) return std::nullopt;
    return protocol::EraseAnswer::Decode(protocol::Bytes(answer->head).first(protocol::EraseAnswer::kTextSize));
}

WriteReply BootLink::Write(const protocol::WriteRequest& write, Sampling sampling) {
    std::array<uint8_t, protocol::WriteRequest::kSize> frame{};
    write.Encode(frame);
    const auto answer = Exchange(frame, {protocol::kWriteWait, protocol::kWriteGrace}, sampling);
    if (!answer) return {};
    const auto whole = answer->Whole();
    return {whole ? protocol::WriteAnswer::Decode(*whole) : std::nullopt,
            {answer->head[0], answer->head[1]},
            answer->after};
}

void BootLink::Reset() {
    Exchange(protocol::ResetRequest{}.Encode(), {protocol::kResetWait, {}, false, false}, Sampling::Never);
}

void BootLink::Confirmed(std::optional<uint32_t> block) {
    run_.echoes.Confirmed(block);
    // What follows a confirmation tells why a later step failed.
    run_.record.heard = false;
}

bool BootLink::Watch(TimePoint deadline, bool cancellable) {
    if (link_.Readable()) return true;
    const bool arrived =
        cancellable ? pacer_.WaitReadableUnlessCancelled(link_, deadline) : pacer_.WaitReadable(link_, deadline);
    // The link was empty until the wait ended: what wakes it arrived just now.
    run_.emptyAt = pacer_.Now();
    return arrived;
}

BootLink::Datagram BootLink::Take(bool answer, bool owed) {
    const auto got = link_.Receive(received_);
    Datagram d;
    if (got) d.bytes = got->bytes;
    if (got && !got->cut) d.length = static_cast<int32_t>(got->bytes.size());
    // An answer owed to an earlier frame is no surplus: it takes the place
    // of the one an exchange took from that frame.
    if (!owed) run_.echoes.Arrived(run_.emptyAt, pacer_.Now(), d.length, answer);
    run_.record.heard = true;
    if (!answer) {
        ++run_.record.staleAnswersDropped;
        // The first datagram after a frame whose wait ended empty-handed is
        // that frame's answer, come late.
        if (std::exchange(run_.awaitingLate, false)) TookLateAnswer();
    }
    return d;
}

void BootLink::TookLateAnswer() {
    ++run_.record.lateAnswers;
    run_.unanswered = std::max(0, run_.unanswered - 1);
    // No other frame has left since, so its round trip is beyond doubt.
    const auto lag = std::chrono::duration_cast<Duration>(pacer_.Now() - run_.lastSent);
    if (run_.lastMeasured) run_.roundTrip.Sample(lag);
    run_.record.slowestLateAnswerMs =
        std::max(run_.record.slowestLateAnswerMs, std::chrono::duration<double, std::milli>(lag).count());
}

void BootLink::DropStaleAnswers() {
    // Whatever waits now answers an earlier frame (late, duplicated, or
    // left from an earlier run), never the one about to be sent.
    while (link_.Readable()) Take(false);
    run_.emptyAt = pacer_.Now();
}

void BootLink::BackOff(std::chrono::milliseconds delay) {
    // Late answers and their copies are timed as they come, not when the next
    // frame is about to leave.
    const TimePoint end = pacer_.Now() + delay;
    while (!pacer_.Cancelled() && pacer_.Now() < end)
        if (Watch(end, true)) Take(false);
}

bool BootLink::Drain() {
    // Copies of earlier answers that are still on their way arrive before the
    // next frame leaves, so that none is ever taken for its answer. On a link
    // that has never delivered one, nothing is waited for.
    run_.echoes.FollowLink(run_.roundTrip.Needed());
    // An answer still owed comes before the next frame leaves; one that has
    // not come by its time is lost.
    while (run_.answerDue && run_.unanswered > 0 && Watch(*run_.answerDue, true)) {
        Take(false, true);
        --run_.unanswered;
    }
    if (run_.answerDue && pacer_.Now() >= *run_.answerDue) run_.unanswered = 0;
    if (run_.unanswered == 0) run_.answerDue.reset();
    while (const auto until = run_.echoes.HoldUntil(pacer_.Now())) {
        if (!Watch(*until, true)) break;
        Take(false);
    }
    DropStaleAnswers();
    run_.echoes.EndExchange(pacer_.Now());
    return !run_.echoes.Hopeless();
}

bool BootLink::Quieten(Duration quiet) {
    while (!pacer_.Cancelled() && Watch(pacer_.Now() + quiet, true)) Take(false);
    if (pacer_.Cancelled()) return false;
    run_.echoes.Begin();
    return true;
}

std::optional<BootLink::Answer> BootLink::Exchange(std::span<const uint8_t> frame, const Waits& waits,
                                                   Sampling sampling) {
    link_.Send(frame);
    const TimePoint sent = run_.lastSent = pacer_.Now();
    const bool measured = run_.lastMeasured = sampling == Sampling::Always;
    run_.awaitingLate = false;
    run_.echoes.Sent(sent);
    const TimePoint waitEnd = sent + waits.wait;
    // Past the designed wait, a link that needs longer gets it; the answer ends that part.
    const TimePoint graceEnd =
        waits.answerExpected ? std::max({waitEnd, sent + waits.grace, sent + run_.roundTrip.Needed()}) : waitEnd;
    // The first datagram to arrive is the answer; the wait runs to its end all
    // the same, and what follows the answer is a copy or a straggler.
    // The answer's bytes are kept at once: what follows it must not replace them.
    std::optional<Answer> answer;
    TimePoint answeredAt{};
    const auto keep = [&](const Datagram& d) {
        answer.emplace();
        std::copy_n(d.bytes.begin(), std::min(d.bytes.size(), answer->head.size()), answer->head.begin());
        answer->length = d.length;
        answeredAt = pacer_.Now();
        answer->after = std::chrono::duration_cast<Duration>(answeredAt - sent);
    };
    while (Watch(waitEnd)) {
        const Datagram d = Take(!answer);
        if (!answer) keep(d);
    }
    if (!answer && Watch(graceEnd, waits.graceStops)) keep(Take(true));
    if (!answer) {
        run_.awaitingLate = waits.answerExpected;
        run_.unanswered += waits.answerExpected;
        if (waits.answerExpected) run_.unansweredSent = sent;
        if (waits.answerExpected && !pacer_.Cancelled()) run_.roundTrip.TimedOut();
        return std::nullopt;
    }
    WeighAnswer(sent, answeredAt, graceEnd, sampling);
    if (measured) run_.roundTrip.Sample(std::chrono::duration_cast<Duration>(answeredAt - sent));
    return answer;
}

void BootLink::WeighAnswer(TimePoint sent, TimePoint answeredAt, TimePoint graceEnd, Sampling sampling) {
    RoundTripEstimate& roundTrip = run_.roundTrip;
    // Before anything was measured, an empty wait doubled the next ones and
    // a retry's answer would be awaited again as if the link were slow; an
    // answer that plainly is the retry's own shows a quick link that lost a
    // frame instead.
    if (sampling == Sampling::WhenPlainlyOwn && !roundTrip.Measured() && run_.unanswered > 0 &&
        PlainlyOwn(sent, answeredAt))
        roundTrip.Sample(std::chrono::duration_cast<Duration>(answeredAt - sent));
    // After a frame that went unanswered, an answer may be its, come late,
    // unless the measured round trip rules that out: this frame's own may
    // then still be on its way.
    const bool maybeEarlier =
        !roundTrip.Measured() || answeredAt - run_.unansweredSent <= roundTrip.Expected() + kLateAnswerMargin;
    // Were it the earlier frame's, this frame's own answer follows it by
    // about the time between the two frames, give or take the link's jitter.
    const TimePoint ownDue = sent + (answeredAt - run_.unansweredSent) * 3 / 2 + kLateAnswerMargin;
    const TimePoint due = std::min(graceEnd, ownDue);
    if (run_.unanswered > 0 && maybeEarlier) run_.answerDue = std::max(run_.answerDue.value_or(due), due);
}

bool BootLink::PlainlyOwn(TimePoint sent, TimePoint answeredAt) const {
    // Were it the earlier frame's, the link's round trip would exceed the
    // time between the two frames; an answer within a small share of that
    // time would then need a jitter no link shows.
    constexpr int kShare = 8;
    const auto after = answeredAt - sent;
    return after * kShare <= sent - run_.unansweredSent;
}

}  // namespace update
