#include "core/PathPacing.h"

#include <algorithm>
#include <utility>

#include "protocol/Frames.h"

namespace core {
namespace {

// A cut keeps in flight what the path carries in a base round trip and this
// many more, so that a queue of a few datagrams keeps the uplink busy.
constexpr int kHeadroom = 2;

}  // namespace

PathPacing::Duration PathPacing::Base() const {
    if (baseNow_ && baseBefore_) return std::min(*baseNow_, *baseBefore_);
    return baseNow_.value_or(baseBefore_.value_or(Duration{}));
}

PathPacing::Duration PathPacing::Swell() const { return std::max(kLeastSwell, Base() / 8); }

void PathPacing::KeepBase(TimePoint at, Duration roundTrip) {
    // Two halves of the window: a path whose round trip rose for good (a
    // route changed) is read anew within one window.
    if (at - baseSince_ >= kBaseWindow / 2) {
        baseBefore_ = baseNow_;
        baseNow_.reset();
        baseSince_ = at;
    }
    baseNow_ = std::min(baseNow_.value_or(roundTrip), roundTrip);
}

void PathPacing::Cut(int to) {
    limit_ = std::max(1, limit_ ? std::min(*limit_, to) : to);
    roundCut_ = true;
    slowStart_ = false;
}

void PathPacing::Heard(Duration roundTrip) {
    // Neither a LAN nor loopback is held back at all: one meter that
    // measured a short round trip shows it, however slow a busy machine made
    // the others' first answers.
    const bool isShort = roundTrip > Duration::zero() && roundTrip < kLeastSwell;
    if (!opened_ && !isShort) limit_ = kOpening;
    if (slowStart_ && isShort) limit_.reset();
    opened_ = true;
}

void PathPacing::Ended(const Sample& s) {
    if (s.roundTrip) {
        KeepBase(s.at, *s.roundTrip);
        smoothed_ = smoothed_ ? (*smoothed_ * 7 + *s.roundTrip) / 8 : *s.roundTrip;
        roundLeast_ = std::min(roundLeast_.value_or(*s.roundTrip), *s.roundTrip);
    }
    roundBound_ = roundBound_ || s.waiting > 0;
    const bool queued = s.roundTrip && *s.roundTrip - Base() >= Swell() / 2;
    if (queued) slowStart_ = false;
    // A short path opened as a slow one (its meters' round trips were not
    // measured before) is not held back once its writes show it; a queue
    // still cuts it.
    if (slowStart_ && limit_ && s.roundTrip && Base() < kLeastSwell) limit_.reset();
    // One more for each write that met no queue: twice as many a round trip.
    if (slowStart_ && limit_ && s.waiting > 0 && s.roundTrip && !queued && !s.lost) ++*limit_;
    const int inFlight = limit_ ? std::min(*limit_, s.inFlight) : s.inFlight;
    if (s.lost) {
        roundLost_ = true;
        // A loss without a queue behind it is the path's own (radio, a
        // fault): holding meters back would not spare it, only slow them.
        if (!roundCut_ && smoothed_ && *smoothed_ - Base() >= Swell() / 2) Cut(inFlight * 3 / 4);
    }
    if (--roundLeft_ <= 0) EndRound(s);
}

void PathPacing::EndRound(const Sample& s) {
    if (roundLeast_ && !roundCut_) {
        // The least of a round: one write that met no queue shows there is none.
        const Duration least = *roundLeast_, queue = least - Base();
        const int inFlight = limit_ ? std::min(*limit_, s.inFlight) : s.inFlight;
        if (queue > Swell()) {
            // What the path carries in its base round trip, as the writes in
            // flight and their round trip show it.
            const auto carried = static_cast<int>(static_cast<long long>(inFlight) * Base().count() /
                                                  std::max<long long>(1, least.count()));
            Cut(carried + kHeadroom);
        } else if (limit_ && roundBound_ && !roundLost_ && queue < Swell() / 2) {
            ++*limit_;
        }
    }
    roundLeft_ = std::max(1, s.inFlight);
    roundLeast_.reset();
    roundLost_ = roundCut_ = roundBound_ = false;
}

PathGate::PathGate(const platform::CancelToken& stop, std::function<void(std::optional<int>)> binding)
    : stop_(stop), binding_(std::move(binding)), wake_(stop, [this] {
          const std::lock_guard lock(mutex_);
          turn_.notify_all();
      }) {}

void PathGate::TellBinding() {
    const std::optional<int> now = heldBack_ > 0 ? pacing_.Limit() : std::nullopt;
    if (now) {
        figures_.lowest = std::min(figures_.lowest.value_or(*now), *now);
        figures_.highest = std::max(figures_.highest.value_or(*now), *now);
    }
    if (now == told_) return;
    told_ = now;
    if (binding_) binding_(now);
}

bool PathGate::Enter(std::chrono::microseconds roundTrip) {
    std::unique_lock lock(mutex_);
    pacing_.Heard(roundTrip);
    const std::uint64_t ticket = nextTicket_++;
    const auto mayGo = [&] { return stop_.Cancelled() || (ticket == serving_ && pacing_.MayStart(inFlight_)); };
    if (!mayGo()) {
        ++heldBack_;
        TellBinding();
        turn_.wait(lock, mayGo);
        --heldBack_;
        TellBinding();
    }
    if (stop_.Cancelled()) return false;
    ++inFlight_;
    ++serving_;
    // The next in line may go too, when the limit has room.
    turn_.notify_all();
    return true;
}

void PathGate::Leave(const update::BlockSample& sample) {
    const std::lock_guard lock(mutex_);
    figures_.bytesSent += static_cast<long long>(sample.attempts) * protocol::WriteRequest::kSize;
    figures_.framesSentAgain += std::max(0, sample.attempts - 1);
    pacing_.Ended({sample.at, sample.roundTrip, sample.attempts > 1, inFlight_, heldBack_});
    --inFlight_;
    TellBinding();
    turn_.notify_all();
}

PathFigures PathGate::Figures() const {
    const std::lock_guard lock(mutex_);
    return figures_;
}

}  // namespace core
