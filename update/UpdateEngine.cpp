#include "update/UpdateEngine.h"

#include <algorithm>
#include <iterator>
#include <string>
#include <utility>

namespace update {
namespace {

using protocol::kBlockSize;

constexpr int64_t kRangeStart = protocol::kApplicationStart;
constexpr int64_t kRangeEnd = protocol::kApplicationEnd;
constexpr auto kLongUpdate = std::chrono::seconds(30);  // beyond this, the time left is shown
// Doubtful confirmations are made again at most this often in a run, each
// block with this many attempts.
constexpr int kMostRepairs = 8;
constexpr int kRepairAttempts = 3;

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

protocol::WriteRequest WriteOf(image::ImageView firmware, uint32_t address) {
    return {address, Block(firmware, address).first<kBlockSize>()};
}

Progress BarAt(int64_t position, int step) {
    // The bar holds its position within its range.
    return {.step = step,
            .steps = protocol::kBlockSteps,
            .position = std::clamp(position, kRangeStart, kRangeEnd),
            .minimum = kRangeStart,
            .maximum = kRangeEnd};
}

}  // namespace

UpdateEngine::UpdateEngine(Pacer& pacer, Link& modbus, Link& boot, image::ImageView firmware, DelayInterval& delay,
                           UpdateListener& listener)
    : pacer_(pacer),
      firmware_(firmware),
      delay_(delay),
      listener_(listener),
      link_(pacer, boot),
      request_(pacer, modbus, link_.RoundTrip()),
      watch_(pacer, modbus, boot) {}

void UpdateEngine::Begin() {
    run_ = {};
    run_.started = pacer_.Now();
    link_.Begin();
}

UpdateResult UpdateEngine::End() {
    const UpdateResult& r = Decided();
    listener_.StageChanged(Stage::Done);
    listener_.Finished(r);
    return r;
}

void UpdateEngine::Notify(Notice n) { listener_.Notify(n, Decided()); }

const UpdateResult& UpdateEngine::Decided() {
    UpdateResult& r = run_.result;
    const LinkRecord& link = link_.Record();
    run_.facts.heard = link.heard;
    run_.facts.lateAnswers = r.lateAnswers = link.lateAnswers;
    r.staleAnswersDropped = link.staleAnswersDropped;
    r.slowestLateAnswerMs = link.slowestLateAnswerMs;
    r.roundTrip = link_.RoundTrip().Figures();
    r.outcome = DecideReturnOutcome(DecideOutcome(run_.facts), r.back, r.expectedRevision);
    r.cause = DecideCause(r.outcome, run_.facts);
    return r;
}

void UpdateEngine::Delay() { pacer_.WaitUnlessCancelled(pacer_.Now() + delay_.Value()); }

// --- the update procedure ------------------------------------------------

std::optional<protocol::Identity> UpdateEngine::Identify() {
    // The second answer is appended to the first, and a zero byte adds
    // nothing: only a first attempt that added nothing can be followed by a
    // successful second one.
    std::string reply;
    for (int attempt = 1; attempt <= protocol::kIdentifyAttempts; ++attempt) {
        link_.Drain();
        // A longer datagram is not taken at all, so an identity with a line end counts as none.
        const auto text = link_.Identify(attempt == 1 ? Sampling::Always : Sampling::WhenPlainlyOwn);
        std::ranges::copy_if(text.value_or(""), std::back_inserter(reply), [](char c) { return c != '\0'; });
        if (auto identity = protocol::Identity::Decode(reply)) return identity;
    }
    return std::nullopt;
}

bool UpdateEngine::Erase() {
    for (int attempt = 1; attempt <= protocol::kEraseAttempts; ++attempt) {
        // The first attempt follows the settling that decided the run goes
        // on. An erase is harmless twice, but never after the operator asked
        // to stop.
        if (attempt > 1) {
            link_.Drain();
            if (pacer_.Cancelled()) return false;
        }
        listener_.EraseSent();
        ++run_.result.eraseAttempts;
        // A stop during the long grace takes effect at once. The erase has
        // been sent, so the meter is then left in its bootloader.
        const protocol::EraseAnswer answer = link_.Erase().value_or(protocol::EraseAnswer{});  // none: no characters
        listener_.EraseAnswered(answer.text);
        if (answer.Confirmed()) {
            link_.Confirmed();
            return true;
        }
        // An erase frame that never arrived would leave old data under the new.
        if (attempt < protocol::kEraseAttempts) link_.BackOff(delay_.Value());
    }
    return false;
}

BlockWrite UpdateEngine::WriteBlock(uint32_t address) {
    const protocol::WriteRequest write = WriteOf(firmware_, address);
    BlockSample sample;
    bool admitted = false;
    // Held through the block's retries, and left however the block ends.
    Finally leave([&] {
        if (!admitted) return;
        sample.at = pacer_.Now();
        gate_->Leave(sample);
    });
    for (int attempt = 1;; ++attempt) {
        if (pacer_.Cancelled()) return BlockWrite::Stopped;
        listener_.BlockStarted(address);
        if (protocol::IsBlank(write.data)) return BlockWrite::Blank;
        if (!admitted && !(admitted = gate_->Enter(link_.RoundTrip().Expected()))) return BlockWrite::Stopped;
        // Every way the link's copies can be read leaves a block confirmed by a copy.
        if (!link_.Drain() && !ConfirmAgain()) return BlockWrite::Ambiguous;
        // A stop while copies were awaited: the block is not started.
        if (pacer_.Cancelled()) return BlockWrite::Stopped;
        const WriteReply reply = link_.Write(write, attempt == 1 ? Sampling::Always : Sampling::WhenPlainlyOwn);
        ++sample.attempts;
        if (reply.Accepted()) {
            sample.roundTrip = reply.roundTrip;
            link_.Confirmed(address);
            ++run_.result.blocksWritten;
            return BlockWrite::Confirmed;
        }
        listener_.BlockFailed(address, reply.shown);
        if (attempt < protocol::kWriteAttempts)
            link_.BackOff(delay_.Value());
        else
            Delay();
        listener_.RetriesChanged(++run_.result.retries);
        if (attempt == protocol::kWriteAttempts) return BlockWrite::Failed;
    }
}

bool UpdateEngine::WriteAgain(uint32_t address, BootLink::Duration quiet) {
    const protocol::WriteRequest write = WriteOf(firmware_, address);
    for (int attempt = 1; attempt <= kRepairAttempts; ++attempt) {
        listener_.RetriesChanged(++run_.result.retries);
        // Once the link has been quiet for as long as its copies have lagged,
        // none is still on its way, and the next answer can be no copy.
        if (!link_.Quieten(quiet)) return false;
        if (link_.Write(write, Sampling::Never).Accepted()) return true;
    }
    return false;
}

bool UpdateEngine::ConfirmAgain() {
    const auto doubtful = link_.Doubtful();
    // An erase confirmed by a copy cannot be repaired by writing blocks again.
    if (!doubtful || pacer_.Cancelled() || run_.repairs >= kMostRepairs) return false;
    ++run_.repairs;
    const BootLink::Duration quiet = link_.LongestLag();
    for (const uint32_t address : *doubtful)
        if (!WriteAgain(address, quiet)) return false;
    // The copies of these answers, too, are past before the run goes on.
    return link_.Quieten(quiet);
}

bool UpdateEngine::WriteBlocks() {
    run_.blocksToWrite = 0;
    for (int64_t a = kRangeStart; a < kRangeEnd; a += static_cast<int64_t>(kBlockSize))
        run_.blocksToWrite += !protocol::IsBlank(Block(firmware_, a));
    int64_t current = kRangeStart;
    for (int step = 0; current < kRangeEnd;) {
        if (pacer_.Cancelled()) return false;
        const auto target = static_cast<uint32_t>(protocol::NextBlock(current, kRangeStart, kRangeEnd));
        const BlockWrite done = WriteBlock(target);
        // A block not written leaves the flash unfinished, however the stop came.
        if (done == BlockWrite::Stopped) {
            run_.facts.programmingFailed = true;
            return false;
        }
        if (done == BlockWrite::Failed || done == BlockWrite::Ambiguous) {
            run_.facts.programmingFailed = true;
            run_.facts.ambiguous = done == BlockWrite::Ambiguous;
            if (done == BlockWrite::Failed) run_.result.failedBlock = target;
            Notify(Notice::CommunicationError);
            return false;
        }
        current += static_cast<int64_t>(kBlockSize);
        ShowProgress(++step);
    }
    return true;
}

void UpdateEngine::Program() {
    RunFacts& facts = run_.facts;
    listener_.RetriesChanged(0);
    listener_.StageChanged(Stage::Erasing);
    facts.eraseConfirmed = Erase();
    if (!facts.eraseConfirmed && !pacer_.Cancelled()) Notify(Notice::EraseError);
    // The writes go ahead anyway, as designed; the verdict cannot be success.

    listener_.StageChanged(Stage::Writing);
    facts.everyBlockDone = WriteBlocks();

    // The last answers' copies still on their way decide too.
    if (!facts.programmingFailed && !pacer_.Cancelled()) {
        link_.Drain();
        if (link_.Ambiguous() && !ConfirmAgain()) {
            facts.ambiguous = facts.programmingFailed = true;
            Notify(Notice::CommunicationError);
        }
    }
    if (pacer_.Cancelled()) facts.programmingFailed = true;
    listener_.ProgrammingEnded(DecideProgrammingEnd(facts));
}

void UpdateEngine::ShowProgress(int step) {
    listener_.ProgressChanged(BarAt(kRangeStart + static_cast<int64_t>(step) * kBlockSize, step));
    // Each block left costs at least its write's wait, and a slow link its round trip.
    const auto perBlock = std::max<BootLink::Duration>(protocol::kWriteWait, link_.RoundTrip().Smoothed());
    const auto left =
        perBlock * (run_.blocksToWrite - run_.result.blocksWritten) + protocol::kResetWait + delay_.Value();
    if (pacer_.Now() - run_.started + left > kLongUpdate)
        listener_.TimeLeft(std::chrono::ceil<std::chrono::seconds>(left));
}

void UpdateEngine::ResetMeter() {
    listener_.StageChanged(Stage::Resetting);
    link_.Drain();
    run_.result.resetAt = pacer_.Now();
    link_.Reset();
    run_.result.resetSent = true;
}

bool UpdateEngine::AwaitFirstIdentify() {
    TimePoint firstVer = pacer_.Now() + protocol::kIdentifyWait;
    // A request answer that missed its wait still tells whether the meter
    // took the request; the first "VER?" leaves when it would have anyway.
    if (run_.requestAnswerLate) {
        if (!FollowAnswer(request_.LateAnswer(firstVer))) return false;
        if (run_.requestAccepted) {
            listener_.StageChanged(Stage::Identifying);
            firstVer = pacer_.Now() + protocol::kIdentifyWait;
        }
    }
    pacer_.WaitUntil(firstVer);
    return true;
}

void UpdateEngine::UpdateProcedure(const std::string& address, bool program) {
    RunFacts& facts = run_.facts;
    facts.program = program;
    listener_.ProcedureStarted(BarAt(kRangeStart, 0));
    Finally ended([this] { listener_.ProcedureEnded(); });

    link_.Open(address);
    listener_.StageChanged(Stage::Identifying);
    if (!AwaitFirstIdentify()) return;

    const auto identity = Identify();
    facts.identified = identity.has_value();
    if (identity) run_.result.identity = identity->Label();
    listener_.Identified(run_.result.identity);
    if (!identity) return;

    if (program) {
        // Copies of the identity's answers still on their way come before the
        // erase; a stop meanwhile finds the meter untouched and sends it back
        // to its application.
        link_.Drain();
        facts.stoppedUntouched = pacer_.Cancelled();
        if (!facts.stoppedUntouched) Program();
    }
    // The meter leaves its bootloader only when nothing went wrong; after a
    // failure, or an erase never confirmed, it waits in its bootloader for
    // the next attempt rather than start what its flash may hold.
    const bool flashKnown = !program || facts.stoppedUntouched || facts.eraseConfirmed;
    // After a stop, only a meter that this run sent to its bootloader is sent
    // back: one found already waiting there may hold what an earlier,
    // unfinished update left, and RESET could start it.
    facts.leftInBootloader = !facts.programmingFailed && flashKnown && pacer_.Cancelled() && !run_.requestAccepted;
    if (facts.leftInBootloader)
        listener_.LeftInBootloader();
    else if (!facts.programmingFailed && flashKnown)
        ResetMeter();
    Delay();
    facts.stopped = pacer_.Cancelled();
}

// --- the boot-mode request -----------------------------------------------

bool UpdateEngine::FollowAnswer(const std::optional<protocol::BootModeAnswer>& answer) {
    run_.result.modbusAnswered = answer.has_value();
    if (!answer) return true;
    run_.result.modbusException = answer->exception;
    if (answer->kind == protocol::BootModeAnswer::Kind::PasswordRejected) {
        RefusePassword();
        return false;
    }
    if (answer->kind == protocol::BootModeAnswer::Kind::Accepted) BootloaderStarting();
    return true;
}

void UpdateEngine::BootloaderStarting() {
    run_.requestAccepted = true;
    // The meter needs time to start its bootloader; the delay stays this long
    // from now on. A stop meanwhile still identifies the bootloader, so that
    // it can be sent back to the application.
    delay_.BootloaderStarting();
    listener_.StageChanged(Stage::StartingBootloader);
    pacer_.WaitUntil(pacer_.Now() + delay_.Value());
}

void UpdateEngine::RefusePassword() {
    Notify(Notice::IncorrectPassword);
    run_.facts.passwordRejected = true;
}

void UpdateEngine::RequestBootMode(const UpdateRequest& request) {
    listener_.RequestStarted();
    Finally done([this] {
        request_.Close();
        listener_.RequestEnded();
    });
    listener_.StageChanged(Stage::BootModeRequest);
    // A stop before the request is sent leaves the meter untouched.
    if (!request_.Connect(request.address, request.connectLimit)) {
        run_.facts.stoppedBeforeRequest = true;
        return;
    }
    const auto answer = request_.Ask(*request.password);
    run_.requestAnswerLate = !answer && request_.Connected();
    // A meter that gave no usable answer may already sit in its bootloader:
    // the bootloader link decides.
    if (FollowAnswer(answer)) UpdateProcedure(request.address, request.program);
}

void UpdateEngine::WatchReturn(const UpdateRequest& request) {
    const Outcome reset = Decided().outcome;
    // Only a meter sent to start its firmware is watched for: any other was
    // left where the run says.
    if (request.returnLimit <= std::chrono::seconds::zero() || !run_.result.resetSent || pacer_.Cancelled() ||
        (reset != Outcome::Updated && reset != Outcome::Identified))
        return;
    listener_.StageChanged(Stage::Returning);
    run_.result.back = watch_.Watch(request.address, run_.result, request.returnLimit, listener_);
}

UpdateResult UpdateEngine::Run(const UpdateRequest& request) {
    Begin();
    run_.result.expectedRevision = request.expectedRevision;
    // The frame is built from exactly the text that passed the rule.
    if (!request.password || !protocol::PasswordLengthOk(*request.password)) {
        RefusePassword();
        return End();
    }
    RequestBootMode(request);
    WatchReturn(request);
    return End();
}

UpdateResult UpdateEngine::RunProcedure(const std::string& address, bool program) {
    Begin();
    UpdateProcedure(address, program);
    return End();
}

}  // namespace update
