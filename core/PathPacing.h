// How many block writes of a group of meters that share one path (the
// meters behind one cellular router) may be in flight at once. Each meter
// is stop-and-wait, so a group of dozens keeps dozens of datagrams in
// flight: far more than a slow uplink carries in a round trip, and its
// router's buffer overflows. This decides, from the round trips and losses
// the group's writes show, how many may go at once; it is fed each write's
// end with its moment and keeps no clock or thread of its own.
//
// Delay-based, in the manner of TCP Vegas rather than BBR: each meter sends
// one datagram per round trip and its wait, so the group has no pacing rate
// to set, only a number of writes in flight; and the meters' exchanges give
// one clean round trip per write, which is what Vegas reads. BBR's bandwidth
// probing would need sending-rate control the meters' protocol lacks.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>

#include "platform/Wait.h"
#include "update/SendGate.h"

namespace core {

class PathPacing {
public:
    using TimePoint = std::chrono::steady_clock::time_point;
    using Duration = std::chrono::microseconds;

    // Queueing delay below this never cuts, however short the path: a LAN's
    // or loopback's scheduling jitter on a loaded machine stays below it.
    static constexpr Duration kLeastSwell = std::chrono::milliseconds(30);
    // How long the base round trip (the least seen) is remembered.
    static constexpr Duration kBaseWindow = std::chrono::seconds(20);

    // One block write of the group, at its end.
    struct Sample {
        TimePoint at;
        // The round trip of the exchange whose answer was accepted; none: no
        // answer was.
        std::optional<Duration> roundTrip;
        bool lost = false;  // a frame of it was lost: it needed another attempt
        int inFlight = 1;   // writes of the group in flight, this one included
        int waiting = 0;    // writes held back at the moment
    };

    // Writes of a path not known to be short that go at once before the
    // path's queue shows; twice as many each round trip from then on until
    // it does (slow start). All meters of a group reach their first block at
    // about the same moment, and a burst of them all would overflow a slow
    // router's buffer at once, their retries keeping in step.
    static constexpr int kOpening = 16;

    // A round trip a meter measured before its writes (its handshake, its
    // identification): a path where one is short is no slow link, and is
    // not limited unless its writes' round trips swell.
    void Heard(Duration roundTrip);
    // Writes allowed at once; none: no limit (a short path, one never full).
    std::optional<int> Limit() const { return limit_; }
    bool MayStart(int inFlight) const { return !limit_ || inFlight < *limit_; }
    void Ended(const Sample& s);
    // The least round trip of the recent window; zero before any.
    Duration Base() const;
    // The queueing delay above which the limit is cut.
    Duration Swell() const;

private:
    void KeepBase(TimePoint at, Duration roundTrip);
    void Cut(int to);
    void EndRound(const Sample& s);

    std::optional<int> limit_;
    bool opened_ = false, slowStart_ = true;
    // The base round trip: the least of this window's part and the one before.
    std::optional<Duration> baseNow_, baseBefore_;
    TimePoint baseSince_{};
    std::optional<Duration> smoothed_;  // the group's recent round trip
    // A round: about one round trip's worth of writes (as many as were in
    // flight when it began); the limit moves at most once in each.
    int roundLeft_ = 0;
    std::optional<Duration> roundLeast_;
    bool roundLost_ = false, roundCut_ = false, roundBound_ = false;
};

// What a group's writes came to, for the report.
struct PathFigures {
    long long bytesSent = 0;  // the write frames' datagram payloads, retries included
    int framesSentAgain = 0;  // write frames beyond each block's first
    // The limit while it held writes back: its lowest and highest; none: it never did.
    std::optional<int> lowest, highest;
};

// The gate of one group, shared by its meters' threads: writes go in the
// order they asked, as many at once as the group's pacing allows. A stop
// request lets every waiting write go, as not begun.
class PathGate final : public update::SendGate {
public:
    // `binding`, when given, is told the limit whenever it starts or stops
    // holding writes back (none then), under the gate's lock.
    explicit PathGate(const platform::CancelToken& stop, std::function<void(std::optional<int>)> binding = {});
    PathGate(const PathGate&) = delete;
    PathGate& operator=(const PathGate&) = delete;

    bool Enter(std::chrono::microseconds roundTrip) override;
    void Leave(const update::BlockSample& sample) override;
    PathFigures Figures() const;

private:
    void TellBinding();

    mutable std::mutex mutex_;
    std::condition_variable turn_;
    PathPacing pacing_;
    PathFigures figures_;
    int inFlight_ = 0, heldBack_ = 0;
    std::uint64_t nextTicket_ = 0, serving_ = 0;
    std::optional<int> told_;
    const platform::CancelToken& stop_;
    std::function<void(std::optional<int>)> binding_;
    platform::CancelWake wake_;  // last: gone first, before what it wakes
};

}  // namespace core
