#include "update/EchoGuard.h"

#include <algorithm>

#include "protocol/Constants.h"

namespace update {
namespace {

int64_t Micros(EchoGuard::TimePoint t) {
    return std::chrono::duration_cast<std::chrono::microseconds>(t.time_since_epoch()).count();
}

constexpr int64_t Micros(std::chrono::milliseconds d) { return std::chrono::microseconds(d).count(); }

using namespace std::chrono_literals;
constexpr int64_t kTolerance = Micros(10ms);                 // how far an arrival's moment may be off
constexpr int64_t kSpread = Micros(5ms);                     // how far apart the lags of one link's copies may lie
constexpr int64_t kMargin = Micros(30ms);                    // a hold lasts this much beyond the longest lag seen
constexpr int64_t kHoldCap = Micros(protocol::kWriteGrace);  // on a fast link, longer lags are not waited for
constexpr int64_t kHorizon = Micros(3000ms);                 // on a fast link, the longest lag considered

constexpr int64_t kMaxLagsPerAnswer = 16;

}  // namespace

void EchoGuard::FollowLink(std::chrono::microseconds needed) {
    holdCap_ = std::max(kHoldCap, static_cast<int64_t>(needed.count()));
    horizon_ = std::max(kHorizon, 2 * static_cast<int64_t>(needed.count()));
}

void EchoGuard::Begin() {
    holdCap_ = kHoldCap;
    horizon_ = kHorizon;
    exchanges_.clear();
    lags_.clear();
    open_ = false;
    unexplained_ = false;
}

void EchoGuard::Sent(TimePoint at) {
    if (open_) EndExchange(at);
    exchanges_.emplace_back();
    open_ = true;
}

void EchoGuard::Arrived(TimePoint from, TimePoint to, int32_t length, bool answer) {
    if (!open_) return;  // before the run's first frame: nothing of this run
    Exchange& ex = exchanges_.back();
    const Arrival a{Micros(from), std::max(Micros(from), Micros(to)), length};
    if (answer) {
        ex.answer = a;
        return;
    }
    ex.extra.push_back(a);
    // The first datagram after an exchange that got none in time is its late answer.
    if (!ex.answer && ex.extra.size() == 1) return;
    Explain(ex.extra.back());
}

void EchoGuard::Confirmed(std::optional<uint32_t> block) {
    if (!open_) return;
    exchanges_.back().confirmed = true;
    exchanges_.back().block = block;
}

void EchoGuard::EndExchange(TimePoint now) {
    if (!open_) return;
    open_ = false;
    Exchange& ex = exchanges_.back();
    ex.ended = Micros(now);
    std::vector<Lag> kept;
    for (Lag& l : lags_) {
        const Step s = Replay(l, ex, exchanges_.size() - 1);
        if (!s.consistent) continue;
        l.marked = l.marked || s.couldBeCopy;
        Prune(l, Micros(now));
        kept.push_back(std::move(l));
    }
    lags_ = std::move(kept);
    const bool surplus = ex.extra.size() > (ex.answer ? 0u : 1u);
    if (surplus && lags_.empty()) unexplained_ = true;
}

bool EchoGuard::Echoes(const Arrival& source, const Arrival& copy, const Lag& lag, Lag* extend) const {
    if (source.length >= 0 && copy.length >= 0 && source.length != copy.length) return false;
    if (source.lo > copy.hi) return false;
    // The lags this copy can have come with, and those the link's spread allows.
    const int64_t lo = std::max(copy.lo - source.hi - kTolerance, lag.hi - kSpread);
    const int64_t hi = std::min(copy.hi - source.lo + kTolerance, lag.lo + kSpread);
    if (lo > hi) return false;
    if (extend) {
        const int64_t seen = std::clamp((copy.lo + copy.hi) / 2 - (source.lo + source.hi) / 2, lo, hi);
        extend->lo = std::min(extend->lo, seen);
        extend->hi = std::max(extend->hi, seen);
    }
    return true;
}

bool EchoGuard::MatchAll(Lag& l, std::deque<Arrival>& sources, const std::vector<Arrival>& copies, size_t from) const {
    for (size_t i = from; i < copies.size(); ++i) {
        const auto s =
            std::find_if(sources.begin(), sources.end(), [&](const Arrival& a) { return Echoes(a, copies[i], l, &l); });
        if (s == sources.end()) return false;
        sources.erase(s);
    }
    return true;
}

EchoGuard::Step EchoGuard::Replay(Lag& l, const Exchange& ex, size_t index) const {
    Step step;
    if (ex.answer && ex.confirmed) {
        // Were the answer and everything after it copies, the frame may never have arrived.
        for (size_t i = 0; i < l.sources.size() && !step.couldBeCopy; ++i) {
            Lag alternative = l;
            if (!Echoes(l.sources[i], *ex.answer, l, &alternative)) continue;
            std::deque<Arrival> rest = l.sources;
            rest.erase(rest.begin() + static_cast<long>(i));
            step.couldBeCopy = MatchAll(alternative, rest, ex.extra, 0);
        }
        if (step.couldBeCopy) l.doubtful.push_back(index);
    }
    size_t first = 0;
    if (ex.answer) {
        l.sources.push_back(*ex.answer);
    } else if (!ex.extra.empty()) {
        l.sources.push_back(ex.extra.front());  // the late answer
        first = 1;
    }
    step.consistent = MatchAll(l, l.sources, ex.extra, first);
    return step;
}

void EchoGuard::Prune(Lag& l, int64_t now) const {
    // Whatever arrives from now on is too late to be a copy of these.
    std::erase_if(l.sources, [&](const Arrival& a) { return a.hi + l.lo + kSpread + kTolerance < now; });
}

void EchoGuard::Explain(const Arrival& copy) {
    const Exchange& open = exchanges_.back();
    for (const Lag& l : lags_) {
        Lag trial = l;
        if (Replay(trial, open, exchanges_.size() - 1).consistent) return;
    }
    // No lag known so far explains it: every lag under which it copies an
    // earlier answer of the same length, each checked against the whole run.
    std::vector<int64_t> candidates;
    for (const Exchange& ex : exchanges_) {
        const Arrival* g = ex.answer ? &*ex.answer : ex.extra.empty() ? nullptr : &ex.extra.front();
        if (!g || g == &copy || g->lo > copy.hi) continue;
        if (g->length >= 0 && copy.length >= 0 && g->length != copy.length) continue;
        const int64_t lo = std::max<int64_t>(0, copy.lo - g->hi), hi = std::min(copy.hi - g->lo, horizon_);
        if (hi < lo) continue;
        // An arrival known only within a stretch of time (the link was not
        // watched) gives a lag for every tolerance's width of it, up to a
        // number: spread wider, the lags miss, and a copy no lag explains
        // makes the run ambiguous rather than trusted.
        const int64_t step = std::max(2 * kTolerance, (hi - lo) / kMaxLagsPerAnswer + 1);
        for (int64_t lag = std::min(lo + kTolerance, hi);; lag += step) {
            candidates.push_back(std::min(lag, hi));
            if (lag >= hi) break;
        }
    }
    std::sort(candidates.begin(), candidates.end());
    int64_t last = -2 * kTolerance;
    for (int64_t lag : candidates) {
        if (lag - last < kTolerance / 10) continue;
        last = lag;
        if (std::any_of(lags_.begin(), lags_.end(), [&](const Lag& l) { return l.lo <= lag && lag <= l.hi; })) continue;
        Lag l{lag, lag, {}, false, {}};
        bool consistent = true;
        for (size_t e = 0; consistent && e + 1 < exchanges_.size(); ++e) {
            const Step s = Replay(l, exchanges_[e], e);
            consistent = s.consistent;
            l.marked = l.marked || s.couldBeCopy;
            Prune(l, exchanges_[e].ended);
        }
        Lag trial = l;
        if (consistent && Replay(trial, open, exchanges_.size() - 1).consistent) lags_.push_back(std::move(l));
    }
    if (lags_.empty()) unexplained_ = true;
}

std::optional<EchoGuard::TimePoint> EchoGuard::HoldUntil(TimePoint now) const {
    const int64_t t = Micros(now);
    std::optional<int64_t> until;
    for (const Lag& l : lags_) {
        Lag trial = l;
        if (open_ && !Replay(trial, exchanges_.back(), exchanges_.size() - 1).consistent) continue;
        if (trial.hi > holdCap_) continue;
        for (const Arrival& a : trial.sources) {
            const int64_t due = a.hi + trial.hi + kMargin;
            if (due > t) until = std::max(until.value_or(due), due);
        }
    }
    if (!until) return std::nullopt;
    return TimePoint(std::chrono::duration_cast<TimePoint::duration>(std::chrono::microseconds(*until)));
}

bool EchoGuard::Ambiguous() const {
    return unexplained_ || std::any_of(lags_.begin(), lags_.end(), [](const Lag& l) { return l.marked; });
}

bool EchoGuard::Hopeless() const {
    return unexplained_ ||
           (!lags_.empty() && std::all_of(lags_.begin(), lags_.end(), [](const Lag& l) { return l.marked; }));
}

std::optional<std::vector<uint32_t>> EchoGuard::Doubtful() const {
    std::vector<size_t> exchanges;
    for (const Lag& l : lags_)
        if (l.marked) exchanges.insert(exchanges.end(), l.doubtful.begin(), l.doubtful.end());
    // A copy that nothing explains casts doubt on every confirmation.
    for (size_t i = 0; unexplained_ && i < exchanges_.size(); ++i)
        if (exchanges_[i].confirmed) exchanges.push_back(i);
    std::sort(exchanges.begin(), exchanges.end());
    exchanges.erase(std::unique(exchanges.begin(), exchanges.end()), exchanges.end());
    std::vector<uint32_t> blocks;
    for (const size_t i : exchanges) {
        if (!exchanges_[i].block) return std::nullopt;
        blocks.push_back(*exchanges_[i].block);
    }
    return blocks;
}

std::chrono::microseconds EchoGuard::LongestLag() const {
    int64_t longest = unexplained_ ? horizon_ : 0;
    for (const Lag& l : lags_) longest = std::max(longest, l.hi);
    return std::chrono::microseconds(longest + kSpread + kTolerance + kMargin);
}

std::vector<double> EchoGuard::Lags() const {
    std::vector<double> out;
    for (const Lag& l : lags_) out.push_back(static_cast<double>(l.hi) / 1000.0);
    return out;
}

}  // namespace update
