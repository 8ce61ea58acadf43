#include "update/UpdateEngine.h"

#include <algorithm>
#include <string>
#include <utility>

#include "protocol/Frames.h"

namespace update {
namespace {

using protocol::kBlockSize;
using std::chrono::milliseconds;

constexpr int64_t kRangeStart = protocol::kApplicationStart;
constexpr int64_t kRangeEnd = protocol::kApplicationEnd;
constexpr auto kLongUpdate = std::chrono::seconds(30);  // beyond this, the time left is shown
// Doubtful confirmations are made again at most this often in a run, each
// block with this many attempts.
constexpr int kMostRepairs = 8;
constexpr int kRepairAttempts = 3;
// How much later than the measured round trip an answer may still come.
constexpr auto kLateAnswerMargin = std::chrono::milliseconds(50);

// Runs its action when the scope is left, also by an exception (a wait whose
// timer cannot start): a front end must never be left in its busy state.
template <typename F>
class Finally {
public:
    explicit Finally(F f) : f_(std::move(f)) {}
    ~Finally() { f_(); }
    Finally(const Finally&) = delete;
    Finally& operator=(const Finally&) = delete;

private:
    F f_;
};

std::span<const uint8_t> Block(image::ImageView firmware, int64_t address) {
    return firmware.subspan(static_cast<size_t>(address), kBlockSize);
}

Progress BarAt(int64_t position, int step) {
    Progress p;
    p.step = step;
    p.minimum = static_cast<int32_t>(kRangeStart);
    p.maximum = static_cast<int32_t>(kRangeEnd);
    // The bar holds its position within its range.
    p.position = std::clamp<int64_t>(position, p.minimum, p.maximum);
    p.steps = protocol::kBlockSteps;
    return p;
}

}  // namespace

UpdateEngine::UpdateEngine(Pacer& pacer, Link& modbus, Link& boot, image::ImageView firmware, DelayInterval& delay,
                           UpdateListener& listener)
    : pacer_(pacer), modbus_(modbus), boot_(boot), firmware_(firmware), delay_(delay), listener_(listener) {}

void UpdateEngine::Begin() {
    runStarted_ = pacer_.Now();
    result_ = UpdateResult{};
    facts_ = RunFacts{};
    requestAccepted_ = false;
    requestAnswerLate_ = false;
    awaitingLate_ = false;
    unanswered_ = 0;
    answerDue_.reset();
    roundTrip_.Reset();
    repairs_ = 0;
}

UpdateResult UpdateEngine::End() {
    result_.outcome = DecideOutcome(facts_);
    result_.cause = DecideCause(result_.outcome, facts_);
    result_.roundTrip = roundTrip_.Figures();
    result_.lateAnswers = facts_.lateAnswers;
    listener_.StageChanged(Stage::Done);
    listener_.Finished(result_);
    return result_;
}

// --- the bootloader link -------------------------------------------------

bool UpdateEngine::Watch(TimePoint deadline, bool cancellable) {
    if (boot_.Readable()) return true;
    const bool arrived =
        cancellable ? pacer_.WaitReadableUnlessCancelled(boot_, deadline) : pacer_.WaitReadable(boot_, deadline);
    // The link was empty until the wait ended: what wakes it arrived just now.
    emptyAt_ = pacer_.Now();
    return arrived;
}

UpdateEngine::Datagram UpdateEngine::Take(bool answer, bool owed) {
    const auto got = boot_.Receive(received_);
    Datagram d;
    if (got) d.bytes = got->bytes;
    if (got && !got->cut) d.length = static_cast<int32_t>(got->bytes.size());
    // An answer owed to an earlier frame is no surplus: it takes the place
    // of the one an exchange took from that frame.
    if (!owed) echoes_.Arrived(emptyAt_, pacer_.Now(), d.length, answer);
    facts_.heard = true;
    if (!answer) {
        ++result_.staleAnswersDropped;
        // The first datagram after a frame whose wait ended empty-handed is
        // that frame's answer, come late.
        // No other frame has left since, so its round trip is beyond doubt.
        if (std::exchange(awaitingLate_, false)) {
            ++facts_.lateAnswers;
            unanswered_ = std::max(0, unanswered_ - 1);
            const auto lag = std::chrono::duration_cast<Duration>(pacer_.Now() - lastSent_);
            if (lastMeasured_) roundTrip_.Sample(lag);
            result_.slowestLateAnswerMs =
                std::max(result_.slowestLateAnswerMs, std::chrono::duration<double, std::milli>(lag).count());
        }
    }
    return d;
}

void UpdateEngine::DropStaleAnswers() {
    // Whatever waits now answers an earlier frame (late, duplicated, or
    // left from an earlier run), never the one about to be sent.
    while (boot_.Readable()) Take(false);
    emptyAt_ = pacer_.Now();
}

void UpdateEngine::Delay() { pacer_.WaitUnlessCancelled(pacer_.Now() + delay_.Value()); }

void UpdateEngine::BackOff() {
    // Late answers and their copies are timed as they come, not when the next
    // frame is about to leave.
    const TimePoint end = pacer_.Now() + delay_.Value();
    while (!pacer_.Cancelled() && pacer_.Now() < end)
        if (Watch(end, true)) Take(false);
}

bool UpdateEngine::DrainLink() {
    // Copies of earlier answers that are still on their way arrive before the
    // next frame leaves, so that none is ever taken for its answer. On a link
    // that has never delivered one, nothing is waited for. A stop ends the
    // wait; a caller whose frame must not follow a stop checks for it next.
    echoes_.FollowLink(roundTrip_.Needed());
    // An answer still owed comes before the next frame leaves; one that has
    // not come by its time is lost.
    while (answerDue_ && unanswered_ > 0 && Watch(*answerDue_, true)) {
        Take(false, true);
        --unanswered_;
    }
    if (answerDue_ && pacer_.Now() >= *answerDue_) unanswered_ = 0;
    if (unanswered_ == 0) answerDue_.reset();
    while (const auto until = echoes_.HoldUntil(pacer_.Now())) {
        if (!Watch(*until, true)) break;
        Take(false);
    }
    DropStaleAnswers();
    echoes_.EndExchange(pacer_.Now());
    return !echoes_.Hopeless();
}

void UpdateEngine::WaitForQuiet(Duration quiet) {
    while (!pacer_.Cancelled() && Watch(pacer_.Now() + quiet, true)) Take(false);
}

std::optional<int32_t> UpdateEngine::Exchange(std::span<const uint8_t> frame, const Waits& waits,
                                              std::span<uint8_t> answer, Sampling sampling) {
    boot_.Send(frame);
    const TimePoint sent = lastSent_ = pacer_.Now();
    const bool measured = sampling == Sampling::Always;
    lastMeasured_ = measured;
    awaitingLate_ = false;
    echoes_.Sent(sent);
    const TimePoint waitEnd = sent + waits.wait;
    // Past the designed wait, a link that needs longer gets it; the answer ends that part.
    const TimePoint graceEnd =
        waits.answerExpected ? std::max({waitEnd, sent + waits.grace, sent + roundTrip_.Needed()}) : waitEnd;
    // The first datagram to arrive is the answer; the wait runs to its end all
    // the same, and what follows the answer is a copy or a straggler.
    // The answer's bytes are kept at once: what follows it must not replace them.
    std::optional<int32_t> first;
    TimePoint answeredAt{};
    const auto keep = [&](const Datagram& d) {
        std::copy_n(d.bytes.begin(), std::min(d.bytes.size(), answer.size()), answer.begin());
        first = d.length;
        answeredAt = pacer_.Now();
    };
    while (Watch(waitEnd)) {
        const Datagram d = Take(!first);
        if (!first) keep(d);
    }
    if (!first && Watch(graceEnd, waits.graceStops)) keep(Take(true));
    if (!first) {
        awaitingLate_ = waits.answerExpected;
        unanswered_ += waits.answerExpected;
        if (waits.answerExpected) unansweredSent_ = sent;
        if (waits.answerExpected && !pacer_.Cancelled()) roundTrip_.TimedOut();
        return std::nullopt;
    }
    // Before anything was measured, an empty wait doubled the next ones and
    // a retry's answer would be awaited again as if the link were slow; an
    // answer that plainly is the retry's own shows a quick link that lost a
    // frame instead.
    if (sampling == Sampling::WhenPlainlyOwn && !roundTrip_.Measured() && unanswered_ > 0 &&
        PlainlyOwn(sent, answeredAt))
        roundTrip_.Sample(std::chrono::duration_cast<Duration>(answeredAt - sent));
    // After a frame that went unanswered, an answer may be its, come late,
    // unless the measured round trip rules that out: this frame's own may
    // then still be on its way.
    const bool maybeEarlier =
        !roundTrip_.Measured() || answeredAt - unansweredSent_ <= roundTrip_.Expected() + kLateAnswerMargin;
    // Were it the earlier frame's, this frame's own answer follows it by
    // about the time between the two frames, give or take the link's jitter.
    const TimePoint ownDue = sent + (answeredAt - unansweredSent_) * 3 / 2 + kLateAnswerMargin;
    const TimePoint due = std::min(graceEnd, ownDue);
    if (unanswered_ > 0 && maybeEarlier) answerDue_ = std::max(answerDue_.value_or(due), due);
    if (measured) roundTrip_.Sample(std::chrono::duration_cast<Duration>(answeredAt - sent));
    // As a receive of at most the answer's room: a longer datagram fills it and counts as -1.
    return *first > static_cast<int32_t>(answer.size()) ? -1 : *first;
}

bool UpdateEngine::PlainlyOwn(TimePoint sent, TimePoint answeredAt) const {
    // Were it the earlier frame's, the link's round trip would exceed the
    // time between the two frames; an answer within a small share of that
    // time would then need a jitter no link shows.
    constexpr int kShare = 8;
    const auto after = answeredAt - sent;
    return after * kShare <= sent - unansweredSent_;
}

// --- the update procedure ------------------------------------------------

bool UpdateEngine::Identify() {
    const auto ver = protocol::IdentifyRequest{}.Encode();
    for (int attempt = 1; attempt <= protocol::kIdentifyAttempts; ++attempt) {
        DrainLink();
        std::array<uint8_t, protocol::Identity::kSize> answer{};
        // A longer datagram is not taken at all, so an identity with a line end counts as none.
        const int32_t n = Exchange(ver, {protocol::kIdentifyWait, protocol::kIdentifyWait}, answer,
                                   attempt == 1 ? Sampling::Always : Sampling::WhenPlainlyOwn)
                              .value_or(-1);
        // The second answer is appended to the first, and a zero byte adds
        // nothing: only a first attempt that added nothing can be followed
        // by a successful second one.
        for (int32_t i = 0; i < n; ++i)
            if (answer[static_cast<size_t>(i)] != 0)
                identityReply_ += static_cast<char>(answer[static_cast<size_t>(i)]);
        if (protocol::Identity::Decode(identityReply_)) return true;
    }
    return false;
}

bool UpdateEngine::Erase() {
    const auto frame = protocol::EraseRequest{}.Encode();
    for (int attempt = 1; attempt <= protocol::kEraseAttempts; ++attempt) {
        // The first attempt follows the settling that decided the run goes
        // on. An erase is harmless twice, but never after the operator asked
        // to stop.
        if (attempt > 1) {
            DrainLink();
            if (pacer_.Cancelled()) return false;
        }
        listener_.EraseSent();
        std::array<uint8_t, protocol::EraseAnswer::kMaxSize> answer{};  // no answer reads as zero bytes
        ++result_.eraseAttempts;
        // The grace is long: a stop meanwhile takes effect at once. The erase
        // has been sent, so the meter is then left in its bootloader. The
        // length is not examined: a longer answer leaves its head. The
        // answer's time is mostly the meter's work, not the link's.
        Exchange(frame, {protocol::kEraseWait, protocol::kEraseGrace, true}, answer, Sampling::Never);
        const auto decoded = protocol::EraseAnswer::Decode({answer.data(), protocol::EraseAnswer::kTextSize});
        listener_.EraseAnswered(decoded->text);
        if (decoded->Confirmed()) {
            echoes_.Confirmed();
            facts_.heard = false;
            return true;
        }
        // An erase frame that never arrived would leave old data under the new.
        if (attempt < protocol::kEraseAttempts) BackOff();
    }
    return false;
}

BlockWrite UpdateEngine::WriteBlock(uint32_t address) {
    const protocol::WriteRequest write{address, Block(firmware_, address).first<kBlockSize>()};
    std::array<uint8_t, protocol::WriteRequest::kSize> frame{};
    write.Encode(frame);
    for (int attempt = 1;; ++attempt) {
        if (pacer_.Cancelled()) return BlockWrite::Stopped;
        listener_.BlockStarted(address);
        if (protocol::IsBlank(write.data)) return BlockWrite::Blank;
        // Every way the link's copies can be read leaves a block confirmed by a copy.
        if (!DrainLink() && !ConfirmAgain()) return BlockWrite::Ambiguous;
        // A stop while copies were awaited: the block is not started.
        if (pacer_.Cancelled()) return BlockWrite::Stopped;
        std::array<uint8_t, protocol::WriteAnswer::kSize> answer{};
        const auto n = Exchange(frame, {protocol::kWriteWait, protocol::kWriteGrace}, answer,
                                attempt == 1 ? Sampling::Always : Sampling::WhenPlainlyOwn);
        if (n == static_cast<int32_t>(answer.size()) && protocol::WriteAnswer::Decode(answer)->Accepted()) {
            echoes_.Confirmed(address);
            facts_.heard = false;  // what follows a confirmation tells why a later step failed
            ++result_.blocksWritten;
            return BlockWrite::Confirmed;
        }
        listener_.BlockFailed(address, {answer[0], answer[1]});
        if (attempt < protocol::kWriteAttempts)
            BackOff();
        else
            Delay();
        listener_.RetriesChanged(++result_.retries);
        if (attempt == protocol::kWriteAttempts) return BlockWrite::Failed;
    }
}

bool UpdateEngine::WriteAgain(uint32_t address, Duration quiet) {
    const protocol::WriteRequest write{address, Block(firmware_, address).first<kBlockSize>()};
    std::array<uint8_t, protocol::WriteRequest::kSize> frame{};
    write.Encode(frame);
    for (int attempt = 1; attempt <= kRepairAttempts; ++attempt) {
        listener_.RetriesChanged(++result_.retries);
        // Once the link has been quiet for as long as its copies have lagged,
        // none is still on its way, and the next answer can be no copy.
        WaitForQuiet(quiet);
        if (pacer_.Cancelled()) return false;
        echoes_.Begin();
        std::array<uint8_t, protocol::WriteAnswer::kSize> answer{};
        const auto n = Exchange(frame, {protocol::kWriteWait, protocol::kWriteGrace}, answer, Sampling::Never);
        if (n == static_cast<int32_t>(answer.size()) && protocol::WriteAnswer::Decode(answer)->Accepted()) return true;
    }
    return false;
}

bool UpdateEngine::ConfirmAgain() {
    const auto doubtful = echoes_.Doubtful();
    // An erase confirmed by a copy cannot be repaired by writing blocks again.
    if (!doubtful || pacer_.Cancelled() || repairs_ >= kMostRepairs) return false;
    ++repairs_;
    const Duration quiet = echoes_.LongestLag();
    for (const uint32_t address : *doubtful)
        if (!WriteAgain(address, quiet)) return false;
    // The copies of these answers, too, are past before the run goes on.
    WaitForQuiet(quiet);
    echoes_.Begin();
    return !pacer_.Cancelled();
}

bool UpdateEngine::WriteBlocks() {
    blocksToWrite_ = 0;
    for (int64_t a = kRangeStart; a < kRangeEnd; a += static_cast<int64_t>(kBlockSize))
        blocksToWrite_ += !protocol::IsBlank(Block(firmware_, a));
    int64_t current = kRangeStart;
    for (int step = 0; current < kRangeEnd;) {
        if (pacer_.Cancelled()) return false;
        const auto target = static_cast<uint32_t>(protocol::NextBlock(current, kRangeStart, kRangeEnd));
        const BlockWrite done = WriteBlock(target);
        if (done == BlockWrite::Stopped) return false;
        if (done == BlockWrite::Failed || done == BlockWrite::Ambiguous) {
            facts_.programmingFailed = true;
            facts_.ambiguous = done == BlockWrite::Ambiguous;
            if (done == BlockWrite::Failed) result_.failedBlock = target;
            listener_.Notify(Notice::CommunicationError);
            return false;
        }
        current += static_cast<int64_t>(kBlockSize);
        ShowProgress(++step);
    }
    return true;
}

void UpdateEngine::Program() {
    listener_.RetriesChanged(0);
    listener_.StageChanged(Stage::Erasing);
    facts_.eraseConfirmed = Erase();
    if (!facts_.eraseConfirmed && !pacer_.Cancelled()) listener_.Notify(Notice::EraseError);
    // The writes go ahead anyway, as designed; the verdict cannot be success.

    listener_.StageChanged(Stage::Writing);
    facts_.everyBlockDone = WriteBlocks();

    // The last answers' copies still on their way decide too.
    if (!facts_.programmingFailed && !pacer_.Cancelled()) {
        DrainLink();
        if (echoes_.Ambiguous() && !ConfirmAgain()) {
            facts_.ambiguous = facts_.programmingFailed = true;
            listener_.Notify(Notice::CommunicationError);
        }
    }
    if (pacer_.Cancelled()) facts_.programmingFailed = true;
    if (facts_.programmingFailed)
        listener_.ProgrammingEnded(ProgrammingEnd::Failed);
    else if (facts_.eraseConfirmed && facts_.everyBlockDone)
        listener_.ProgrammingEnded(ProgrammingEnd::Complete);
    else
        listener_.ProgrammingEnded(ProgrammingEnd::EraseUnconfirmed);
}

void UpdateEngine::ShowProgress(int step) {
    listener_.ProgressChanged(BarAt(kRangeStart + static_cast<int64_t>(step) * kBlockSize, step));
    // Each block left costs at least its write's wait, and a slow link its round trip.
    const auto perBlock = std::max<Duration>(protocol::kWriteWait, roundTrip_.Smoothed());
    const auto left = perBlock * (blocksToWrite_ - result_.blocksWritten) + protocol::kResetWait + delay_.Value();
    if (pacer_.Now() - runStarted_ + left > kLongUpdate)
        listener_.TimeLeft(std::chrono::ceil<std::chrono::seconds>(left));
}

void UpdateEngine::ResetMeter() {
    listener_.StageChanged(Stage::Resetting);
    const auto reset = protocol::ResetRequest{}.Encode();
    DrainLink();
    Exchange(reset, {protocol::kResetWait, {}, false, false}, {}, Sampling::Never);
    result_.resetSent = true;
}

bool UpdateEngine::AwaitFirstIdentify() {
    TimePoint firstVer = pacer_.Now() + protocol::kIdentifyWait;
    // A request answer that missed its wait still tells whether the meter
    // took the request; the first "VER?" leaves when it would have anyway.
    if (requestAnswerLate_ && !pacer_.WaitReadable(modbus_, firstVer)) {
        // Still nothing: a meter that is there sits behind a slow link.
        roundTrip_.TimedOut();
    } else if (requestAnswerLate_) {
        switch (ReadRequestAnswer()) {
            case protocol::BootModeAnswer::Kind::Accepted:
                BootloaderStarting();
                listener_.StageChanged(Stage::Identifying);
                firstVer = pacer_.Now() + protocol::kIdentifyWait;
                break;
            case protocol::BootModeAnswer::Kind::PasswordRejected:
                listener_.Notify(Notice::IncorrectPassword);
                facts_.passwordRejected = true;
                return false;
            case protocol::BootModeAnswer::Kind::Unusable: break;
        }
    }
    pacer_.WaitUntil(firstVer);
    return true;
}

void UpdateEngine::UpdateProcedure(const std::string& address, bool program) {
    facts_.program = program;
    listener_.ProcedureStarted(BarAt(kRangeStart, 0));
    Finally ended([this] { listener_.ProcedureEnded(); });

    // The endpoint stays open between runs; stale answers in its queue are
    // dropped before each send.
    boot_.Open(address);
    echoes_.Begin();
    emptyAt_ = pacer_.Now();
    identityReply_.clear();
    listener_.StageChanged(Stage::Identifying);
    if (!AwaitFirstIdentify()) return;

    facts_.identified = Identify();
    if (!facts_.identified) {
        listener_.Identified("");
        return;
    }
    result_.identity = protocol::Identity::Decode(identityReply_)->Label();
    listener_.Identified(result_.identity);

    if (program) {
        // Copies of the identity's answers still on their way come before the
        // erase; a stop meanwhile finds the meter untouched and sends it back
        // to its application.
        DrainLink();
        facts_.stoppedUntouched = pacer_.Cancelled();
        if (!facts_.stoppedUntouched) Program();
    }
    // The meter leaves its bootloader only when nothing went wrong; after a
    // failure, or an erase never confirmed, it waits in its bootloader for
    // the next attempt rather than start what its flash may hold.
    const bool flashKnown = !program || facts_.stoppedUntouched || facts_.eraseConfirmed;
    // After a stop, only a meter that this run sent to its bootloader is sent
    // back: one found already waiting there may hold what an earlier,
    // unfinished update left, and RESET could start it.
    facts_.leftInBootloader = !facts_.programmingFailed && flashKnown && pacer_.Cancelled() && !requestAccepted_;
    if (facts_.leftInBootloader)
        listener_.LeftInBootloader();
    else if (!facts_.programmingFailed && flashKnown)
        ResetMeter();
    Delay();
    facts_.stopped = pacer_.Cancelled();
}

// --- the boot-mode request -----------------------------------------------

bool UpdateEngine::Connect(TimePoint opened, milliseconds limit) {
    // The handshake is the first measurement of the round trip. The request
    // waits for it, but no less than the designed time.
    pacer_.WaitConnected(modbus_, opened + std::max(limit, protocol::kConnectWait));
    if (modbus_.HandshakeState() != platform::Handshake::Pending)
        roundTrip_.Sample(std::chrono::duration_cast<Duration>(pacer_.Now() - opened), true);
    return pacer_.WaitUnlessCancelled(opened + protocol::kConnectWait);
}

protocol::BootModeAnswer::Kind UpdateEngine::ReadRequestAnswer() {
    std::array<uint8_t, protocol::BootModeAnswer::kAcceptedSize> answer{};
    const auto got = modbus_.Receive(answer);
    const auto bytes = got ? got->bytes : std::span<uint8_t>{};
    result_.modbusAnswered = !bytes.empty();
    requestAnswerLate_ = bytes.empty() && modbus_.HandshakeState() == platform::Handshake::Connected;
    if (!bytes.empty() && pacer_.Now() > requestSent_ + protocol::kModbusAnswerWait)
        roundTrip_.Sample(std::chrono::duration_cast<Duration>(pacer_.Now() - requestSent_));
    const protocol::BootModeAnswer decoded = protocol::BootModeAnswer::Decode(bytes);
    if (!bytes.empty()) result_.modbusException = decoded.exception;
    return decoded.kind;
}

protocol::BootModeAnswer::Kind UpdateEngine::AskForBootloader(const std::string& password) {
    const auto frame = protocol::BootModeRequest{password}.Encode();
    const TimePoint sent = requestSent_ = pacer_.Now();
    modbus_.Send(frame);
    // The answer is read when the designed wait is over; its moment is a
    // measurement of the round trip all the same.
    if (pacer_.WaitReadable(modbus_, sent + protocol::kModbusAnswerWait))
        roundTrip_.Sample(std::chrono::duration_cast<Duration>(pacer_.Now() - sent));
    pacer_.WaitUntil(sent + protocol::kModbusAnswerWait);
    // A link slower than the design gets the time it needs; the answer ends that wait.
    if (!modbus_.Readable()) pacer_.WaitReadable(modbus_, sent + roundTrip_.Needed());
    return ReadRequestAnswer();
}

void UpdateEngine::BootloaderStarting() {
    requestAccepted_ = true;
    // The meter needs time to start its bootloader; the delay stays this long
    // from now on. A stop meanwhile still identifies the bootloader, so that
    // it can be sent back to the application.
    delay_.BootloaderStarting();
    listener_.StageChanged(Stage::StartingBootloader);
    pacer_.WaitUntil(pacer_.Now() + delay_.Value());
}

void UpdateEngine::RequestBootMode(const UpdateRequest& request) {
    listener_.RequestStarted();
    Finally done([this] {
        modbus_.Close();
        listener_.RequestEnded();
    });
    listener_.StageChanged(Stage::BootModeRequest);
    const TimePoint opened = pacer_.Now();
    modbus_.Open(request.address);
    // A stop before the request is sent leaves the meter untouched.
    if (!Connect(opened, request.connectLimit)) {
        facts_.stoppedBeforeRequest = true;
        return;
    }
    switch (AskForBootloader(*request.password)) {
        case protocol::BootModeAnswer::Kind::Accepted:
            BootloaderStarting();
            UpdateProcedure(request.address, request.program);
            break;
        case protocol::BootModeAnswer::Kind::PasswordRejected:
            listener_.Notify(Notice::IncorrectPassword);
            facts_.passwordRejected = true;
            break;
        case protocol::BootModeAnswer::Kind::Unusable:
            // A meter may already sit in its bootloader: let the bootloader link decide.
            UpdateProcedure(request.address, request.program);
            break;
    }
}

UpdateResult UpdateEngine::Run(const UpdateRequest& request) {
    Begin();
    // The frame is built from exactly the text that passed the rule.
    if (!request.password || !protocol::PasswordLengthOk(*request.password)) {
        listener_.Notify(Notice::IncorrectPassword);
        facts_.passwordRejected = true;
        return End();
    }
    RequestBootMode(request);
    return End();
}

UpdateResult UpdateEngine::RunProcedure(const std::string& address, bool program) {
    Begin();
    UpdateProcedure(address, program);
    return End();
}

}  // namespace update
