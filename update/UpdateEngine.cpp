#include "UpdateEngine.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <utility>

#include "Frames.h"

namespace update {
namespace {

using protocol::IsBlank;
using protocol::kBlockSize;
using protocol::NextBlock;
using std::chrono::milliseconds;

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

AnswerBytes FirstTwo(const uint8_t* rx) { return {rx[0], rx[1]}; }

}  // namespace

UpdateEngine::UpdateEngine(Pacer& pacer, Link& modbus, Link& boot, image::ImageView firmware, DelayInterval& delay,
                           UpdateListener& listener)
    : pacer_(pacer), modbus_(modbus), boot_(boot), firmware_(firmware), delay_(delay), listener_(listener) {}

void UpdateEngine::SetStage(Stage s) { listener_.StageChanged(s); }

void UpdateEngine::Begin() {
    result_ = UpdateResult{};
    succeeded_ = false;
    cancelledUntouched_ = false;
    requestAccepted_ = false;
    eraseConfirmed_ = false;
    ambiguous_ = false;
}

UpdateResult UpdateEngine::End() {
    SetStage(Stage::Done);
    listener_.Finished(result_);
    return result_;
}

bool UpdateEngine::Watch(Pacer::TimePoint deadline, bool cancellable) {
    if (boot_.Readable()) return true;
    const bool arrived =
        cancellable ? pacer_.WaitReadableUnlessCancelled(boot_, deadline) : pacer_.WaitReadable(boot_, deadline);
    // The link was empty until the wait ended: what wakes it arrived just now.
    emptyAt_ = pacer_.Now();
    return arrived;
}

int32_t UpdateEngine::Take(bool answer) {
    const int32_t n = boot_.Receive(scratch_, static_cast<int32_t>(sizeof scratch_));
    echoes_.Arrived(emptyAt_, pacer_.Now(), n, answer);
    if (!answer) ++result_.staleAnswersDropped;
    return n;
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
    const Pacer::TimePoint end = pacer_.Now() + delay_.Value();
    while (!pacer_.Cancelled() && pacer_.Now() < end)
        if (Watch(end, true)) Take(false);
}

bool UpdateEngine::Settle() {
    // Copies of earlier answers that are still on their way arrive before the
    // next frame leaves, so that none is ever taken for its answer. On a link
    // that has never delivered one, nothing is waited for. A stop ends the
    // wait; a caller whose frame must not follow a stop checks for it next.
    while (const auto until = echoes_.HoldUntil(pacer_.Now())) {
        if (!Watch(*until, true)) break;
        Take(false);
    }
    DropStaleAnswers();
    echoes_.EndExchange(pacer_.Now());
    return !echoes_.Hopeless();
}

std::optional<int32_t> UpdateEngine::Exchange(const uint8_t* frame, int32_t count, Pacer::TimePoint waitEnd,
                                              Pacer::TimePoint graceEnd, bool graceStops, uint8_t* answer,
                                              int32_t answerMax) {
    boot_.Send(frame, count);
    echoes_.Sent(pacer_.Now());
    // The first datagram to arrive is the answer; the wait runs to its end all
    // the same, and what follows the answer is a copy or a straggler.
    std::optional<int32_t> n;
    while (Watch(waitEnd)) {
        const int32_t got = Take(!n);
        if (!n) n = got;
    }
    if (!n && Watch(graceEnd, graceStops)) n = Take(true);
    if (!n) return std::nullopt;
    // As a receive of at most answerMax bytes: a longer datagram fills the
    // buffer and counts as -1.
    const int32_t stored = *n < 0 ? answerMax : std::min(*n, answerMax);
    std::memcpy(answer, scratch_, static_cast<size_t>(std::max(0, stored)));
    return *n > answerMax ? -1 : *n;
}

bool UpdateEngine::BootTransact(int32_t sendCount, int32_t expectedCount, milliseconds wait, milliseconds grace,
                                bool graceStops) {
    const Pacer::TimePoint sent = pacer_.Now();
    const auto n =
        Exchange(TxBuffer, sendCount, sent + wait, sent + std::max(wait, grace), graceStops, RxBuffer, expectedCount);
    return n && (static_cast<uint32_t>(*n) & 0xFFFF) == static_cast<uint32_t>(expectedCount);
}

bool UpdateEngine::Erase() {
    const auto frame = protocol::EraseRequest{}.Encode();
    std::copy(frame.begin(), frame.end(), TxBuffer);
    for (int attempt = 1; attempt <= protocol::kEraseAttempts; ++attempt) {
        // The first attempt follows the settling that decided the run goes
        // on. An erase is harmless twice, but never after the operator asked
        // to stop.
        if (attempt > 1) {
            Settle();
            if (pacer_.Cancelled()) return false;
        }
        listener_.EraseSent();
        std::memset(RxBuffer, 0, 10);  // no answer must read as zero bytes
        ++result_.eraseAttempts;
        // The grace is long: a stop meanwhile takes effect at once. The erase
        // has been sent, so the meter is then left in its bootloader.
        BootTransact(static_cast<int32_t>(frame.size()), static_cast<int32_t>(protocol::EraseAnswer::kMaxSize),
                     protocol::kEraseWait, protocol::kEraseGrace, true);
        // The length is not examined: a longer answer leaves its head in the buffer.
        const auto answer = protocol::EraseAnswer::Decode({RxBuffer, protocol::EraseAnswer::kTextSize});
        listener_.EraseAnswered(answer->text);
        if (answer->Confirmed()) {
            echoes_.Confirmed();
            return true;
        }
        // An erase frame that never arrived would leave old data under the new.
        if (attempt < protocol::kEraseAttempts) BackOff();
    }
    return false;
}

void UpdateEngine::ShowProgress(int step) {
    // The bar holds its position within its range.
    Progress p;
    p.step = step;
    p.minimum = FlashStart;
    p.maximum = static_cast<int32_t>(FlashEnd);
    const int64_t current = static_cast<int64_t>(FlashStart) + static_cast<int64_t>(step) * kBlockSize;
    p.position = std::clamp<int64_t>(current, p.minimum, p.maximum);
    p.steps = FlashStart < static_cast<int64_t>(FlashEnd)
                  ? static_cast<int>((static_cast<int64_t>(FlashEnd) - FlashStart + kBlockSize - 1) / kBlockSize)
                  : 0;
    listener_.ProgressChanged(p);
}

void UpdateEngine::ProgramMainMcu() {
    int32_t repeat = 0;
    listener_.RetriesChanged(0);
    UpdateError = false;

    SetStage(Stage::Erasing);
    eraseConfirmed_ = Erase();
    if (!eraseConfirmed_ && !pacer_.Cancelled()) listener_.Notify(Notice::EraseError);
    // The writes go ahead anyway, as designed; the verdict cannot be success.

    SetStage(Stage::Writing);
    int64_t current = FlashStart;
    int step = 0;
    bool stopped = false;  // a block the stop left unwritten
    while (!stopped && current < static_cast<int64_t>(FlashEnd)) {
        if (pacer_.Cancelled()) break;
        const int64_t target = NextBlock(current, FlashStart, FlashEnd);
        for (int attempt = 1;; ++attempt) {
            if ((stopped = pacer_.Cancelled())) break;
            const protocol::WriteRequest write{static_cast<uint32_t>(target),
                                               firmware_.subspan(static_cast<size_t>(target)).first<kBlockSize>()};
            write.Encode(TxBuffer);
            listener_.BlockStarted(static_cast<uint32_t>(target));
            if (IsBlank(write.data)) break;  // erased flash already holds it
            if (!Settle()) {
                // Every way the link's copies can be read leaves a block confirmed by a copy.
                ambiguous_ = UpdateError = true;
                break;
            }
            // A stop while copies were awaited: the block is not started.
            if ((stopped = pacer_.Cancelled())) break;
            RxBuffer[0] = RxBuffer[1] = 0;
            if (BootTransact(static_cast<int32_t>(write.kSize), static_cast<int32_t>(protocol::WriteAnswer::kSize),
                             protocol::kWriteWait, protocol::kWriteGrace) &&
                protocol::WriteAnswer::Decode({RxBuffer, protocol::WriteAnswer::kSize})->Accepted()) {
                echoes_.Confirmed();
                ++result_.blocksWritten;
                break;
            }
            listener_.BlockFailed(static_cast<uint32_t>(target), FirstTwo(RxBuffer));
            if (attempt < protocol::kWriteAttempts)
                BackOff();
            else
                Delay();
            ++repeat;
            result_.retries = repeat;
            listener_.RetriesChanged(repeat);
            if (attempt == protocol::kWriteAttempts) {
                UpdateError = true;
                result_.failedBlock = target;
                break;
            }
        }
        if (UpdateError) {
            listener_.Notify(Notice::CommunicationError);
            break;
        }
        if (stopped) break;
        current += static_cast<int64_t>(kBlockSize);
        ShowProgress(++step);
    }

    // The last answers' copies still on their way decide too.
    if (!UpdateError && !pacer_.Cancelled()) {
        Settle();
        if (echoes_.Ambiguous()) {
            ambiguous_ = UpdateError = true;
            listener_.Notify(Notice::CommunicationError);
        }
    }
    if (pacer_.Cancelled()) UpdateError = true;
    // Every step of the range done without an error: the bar stands at its end.
    succeeded_ = !UpdateError && eraseConfirmed_ && current >= static_cast<int64_t>(FlashEnd);
    if (UpdateError)
        listener_.ProgrammingEnded(ProgrammingEnd::Failed);
    else
        listener_.ProgrammingEnded(succeeded_ ? ProgrammingEnd::Complete : ProgrammingEnd::EraseUnconfirmed);
}

bool UpdateEngine::Identify() {
    for (int attempt = 1; attempt <= protocol::kIdentifyAttempts; ++attempt) {
        Settle();
        uint8_t buffer[256];
        const auto ver = protocol::IdentifyRequest{}.Encode();
        const Pacer::TimePoint end = pacer_.Now() + protocol::kIdentifyWait;
        // A longer datagram is not taken at all, so an identity with a line end counts as none.
        const int32_t n = Exchange(ver.data(), static_cast<int32_t>(ver.size()), end, end, false, buffer,
                                   static_cast<int32_t>(protocol::Identity::kSize))
                              .value_or(-1);
        // The second answer is appended to the first, and a zero byte adds
        // nothing: only a first attempt that added nothing can be followed
        // by a successful second one.
        for (int32_t i = 0; i < n; ++i)
            if (buffer[i] != 0) identityReply_ += static_cast<char>(buffer[i]);
        if (protocol::Identity::Decode(identityReply_)) return true;
    }
    return false;
}

void UpdateEngine::UpdateProcedure(const std::string& address, bool program) {
    UpdateError = false;
    FlashStart = static_cast<int32_t>(protocol::kApplicationStart);
    FlashEnd = protocol::kApplicationEnd;
    Progress start;
    start.minimum = FlashStart;
    start.maximum = static_cast<int32_t>(FlashEnd);
    start.position = FlashStart;
    listener_.ProcedureStarted(start);
    Finally ended([this] { listener_.ProcedureEnded(); });

    // The endpoint stays open between runs; stale answers in its queue are
    // dropped before each send.
    boot_.Open(address);
    echoes_.Begin();
    emptyAt_ = pacer_.Now();
    identityReply_.clear();
    SetStage(Stage::Identifying);
    pacer_.WaitUntil(pacer_.Now() + protocol::kIdentifyWait);

    if (!Identify()) {
        listener_.Identified("");
        result_.outcome = Outcome::NotFound;
        return;
    }
    result_.identity = protocol::Identity::Decode(identityReply_)->Label();
    listener_.Identified(result_.identity);

    if (program) {
        // Copies of the identity's answers still on their way come before the
        // erase; a stop meanwhile finds the meter untouched.
        Settle();
        if (pacer_.Cancelled()) {
            // The operator stopped before anything was erased: the meter
            // goes back to its untouched application.
            cancelledUntouched_ = true;
        } else {
            ProgramMainMcu();
        }
    }
    // The meter leaves its bootloader only when nothing went wrong; after a
    // failure, or an erase never confirmed, it waits in its bootloader for
    // the next attempt rather than start what its flash may hold.
    const bool flashKnown = !program || cancelledUntouched_ || eraseConfirmed_;
    // After a stop, only a meter that this run sent to its bootloader is sent
    // back: one found already waiting there may hold what an earlier,
    // unfinished update left, and RESET could start it.
    const bool leftInBootloader = !UpdateError && flashKnown && pacer_.Cancelled() && !requestAccepted_;
    if (leftInBootloader) {
        listener_.LeftInBootloader();
    } else if (!UpdateError && flashKnown) {
        SetStage(Stage::Resetting);
        const auto reset = protocol::ResetRequest{}.Encode();
        std::copy(reset.begin(), reset.end(), TxBuffer);
        Settle();
        BootTransact(static_cast<int32_t>(reset.size()), 0, protocol::kResetWait);
        result_.resetSent = true;
    }
    Delay();

    if (cancelledUntouched_ || leftInBootloader || (UpdateError && pacer_.Cancelled()))
        result_.outcome = Outcome::Cancelled;
    else if (ambiguous_)
        result_.outcome = Outcome::AmbiguousAnswers;
    else if (UpdateError)
        result_.outcome = Outcome::CommunicationError;
    else if (!program)
        result_.outcome = Outcome::Identified;
    else if (!eraseConfirmed_)
        result_.outcome = Outcome::EraseUnconfirmed;
    else
        result_.outcome = succeeded_ ? Outcome::Updated : Outcome::CommunicationError;
}

void UpdateEngine::RequestBootMode(const std::string& address, const std::string& password, bool program) {
    listener_.RequestStarted();
    Finally done([this] {
        modbus_.Close();
        listener_.RequestEnded();
    });
    SetStage(Stage::BootModeRequest);
    modbus_.Open(address);
    // The connection comes up in the background meanwhile. A stop before
    // the request is sent leaves the meter untouched.
    if (!pacer_.WaitUnlessCancelled(pacer_.Now() + protocol::kConnectWait)) {
        result_.outcome = Outcome::Cancelled;
        return;
    }

    auto frame = protocol::BootModeRequest{password}.Encode();
    const Pacer::TimePoint sent = pacer_.Now();
    modbus_.Send(frame.data(), static_cast<int32_t>(frame.size()));
    pacer_.WaitUntil(sent + protocol::kModbusAnswerWait);
    const int32_t n = modbus_.Receive(frame.data(), static_cast<int32_t>(protocol::BootModeAnswer::kAcceptedSize));
    result_.modbusAnswered = n > 0;

    const protocol::BootModeAnswer answer = protocol::BootModeAnswer::Decode(protocol::Taken(frame, n));
    result_.modbusException = answer.exception;
    switch (answer.kind) {
        case protocol::BootModeAnswer::Kind::Accepted:
            requestAccepted_ = true;
            // The meter needs time to start its bootloader; the delay stays
            // this long from now on. A stop meanwhile still identifies the
            // bootloader, so that it can be sent back to the application.
            delay_.BootloaderStarting();
            SetStage(Stage::StartingBootloader);
            pacer_.WaitUntil(pacer_.Now() + delay_.Value());
            UpdateProcedure(address, program);
            break;
        case protocol::BootModeAnswer::Kind::PasswordRejected:
            listener_.Notify(Notice::IncorrectPassword);
            result_.outcome = Outcome::PasswordRejected;
            break;
        case protocol::BootModeAnswer::Kind::Unusable:
            // A meter may already sit in its bootloader: let the bootloader link decide.
            UpdateProcedure(address, program);
            break;
    }
}

UpdateResult UpdateEngine::Run(const UpdateRequest& request) {
    Begin();
    // The frame is built from exactly the text that passed the rule.
    if (!request.password || !protocol::PasswordLengthOk(*request.password)) {
        listener_.Notify(Notice::IncorrectPassword);
        result_.outcome = Outcome::PasswordRejected;
        return End();
    }
    RequestBootMode(request.address, *request.password, request.program);
    return End();
}

UpdateResult UpdateEngine::RunProcedure(const std::string& address, bool program) {
    Begin();
    UpdateProcedure(address, program);
    return End();
}

}  // namespace update
