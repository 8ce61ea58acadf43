// Tells a bootloader run's answers from echoes: copies of earlier answers
// that the link delivers again, later. An answer names no block, so a copy
// that arrives after the next frame was sent passes for that frame's
// confirmation, even when the frame itself was lost.
//
// Every datagram more than one per exchange is a copy of some earlier answer
// under some lag. The guard keeps each lag (up to a horizon) that explains
// every surplus datagram seen so far, the copies all following their answers
// by that lag, give or take a spread that a busy machine's late wake-ups
// cause. Under each such lag it
//  - says how long the next frame must wait for the copies still to come
//    (lags up to the write grace), so that they arrive before it leaves and
//    are never taken for its answer;
//  - marks the lag when a confirmation could have been a copy: its exchange's
//    datagrams could all be copies of earlier answers, so the frame may never
//    have arrived.
// A run's confirmations are ambiguous when a lag that still explains
// everything is marked, or when no lag explains a surplus datagram.
// A link that never delivers a surplus datagram costs nothing here.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <optional>
#include <vector>

namespace update {

class EchoGuard {
public:
    using TimePoint = std::chrono::steady_clock::time_point;

    EchoGuard() { Begin(); }
    // A new run: nothing seen yet.
    void Begin();
    // A frame left; its exchange lasts until the next one leaves or EndExchange.
    void Sent(TimePoint at);
    // A datagram arrived at some moment from `from` to `to`; `length` -1 when
    // unknown. `answer`: the exchange took it as its answer.
    void Arrived(TimePoint from, TimePoint to, int32_t length, bool answer);
    // The open exchange's answer was accepted as a confirmation: of the
    // block written at `block`, or of something writing it again cannot
    // repair (the erase).
    void Confirmed(std::optional<uint32_t> block = std::nullopt);
    // How long answers take on the link now: copies that lag up to this are
    // waited for, and lags up to twice as long are considered.
    void FollowLink(std::chrono::microseconds needed);
    // Nothing more arrives for the open exchange.
    void EndExchange(TimePoint now);

    // The moment the next frame may leave; nothing: no copy is still expected.
    std::optional<TimePoint> HoldUntil(TimePoint now) const;
    // A confirmation so far may have been a copy (see above).
    bool Ambiguous() const;
    // Ambiguous, and no lag left under which it could still clear up.
    bool Hopeless() const;
    // The blocks whose confirmation may have been a copy, under any
    // explanation still standing; nothing when one of them cannot be
    // written again.
    std::optional<std::vector<uint32_t>> Doubtful() const;
    // The longest lag a copy has come with (the longest considered when
    // some copy has no explanation), with a margin.
    std::chrono::microseconds LongestLag() const;
    // The longest lag of each explanation of the copies seen, in milliseconds;
    // empty before any copy.
    std::vector<double> Lags() const;

private:
    struct Arrival {
        int64_t lo = 0, hi = 0;  // microseconds
        int32_t length = -1;
    };
    struct Exchange {
        std::optional<Arrival> answer;
        std::vector<Arrival> extra;  // in arrival order
        bool confirmed = false;
        std::optional<uint32_t> block;
        int64_t ended = 0;
    };
    struct Lag {
        int64_t lo = 0, hi = 0;       // the lags its copies came with
        std::deque<Arrival> sources;  // answers whose copy has not come yet
        bool marked = false;
        std::vector<size_t> doubtful;  // exchanges whose confirmation could have been a copy
    };
    struct Step {
        bool consistent = true;
        bool couldBeCopy = false;
    };

    // Whether `copy` can be a copy of `source` under the lag; when it can and
    // `l` is given, the lag takes in this copy's.
    bool Echoes(const Arrival& source, const Arrival& copy, const Lag& lag, Lag* extend = nullptr) const;
    bool MatchAll(Lag& l, std::deque<Arrival>& sources, const std::vector<Arrival>& copies, size_t from) const;
    Step Replay(Lag& l, const Exchange& ex, size_t index) const;
    void Prune(Lag& l, int64_t now) const;
    void Explain(const Arrival& copy);

    std::vector<Exchange> exchanges_;
    bool open_ = false;
    std::vector<Lag> lags_;
    bool unexplained_ = false;  // a surplus datagram no lag explains
    int64_t holdCap_;           // longer lags are not waited for
    int64_t horizon_;           // the longest lag considered
};

}  // namespace update
