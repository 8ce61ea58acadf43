// The link's round trip as the update measures it, kept in the manner of
// TCP's retransmission timer (RFC 6298): a smoothed estimate and its
// variation give how long an answer may take; a wait that ends without one
// doubles that until the next measurement (Karn).
#pragma once

#include <chrono>
#include <optional>
#include <vector>

namespace update {

// What a report shows of one meter's link; zeros before any measurement.
struct RoundTripFigures {
    int samples = 0;
    double medianMs = 0;
    double p95Ms = 0;
};

class RoundTripEstimate {
public:
    using Duration = std::chrono::microseconds;

    // The longest any single answer is waited for, however slow the link seems.
    static constexpr Duration kLongest = std::chrono::seconds(15);

    void Reset() { *this = RoundTripEstimate{}; }
    // One round trip: from a frame to its answer. A provisional one (the
    // handshake's) stands only until the first answer's.
    void Sample(Duration roundTrip, bool provisional = false);
    // A wait ended without an answer: the next ones last twice as long,
    // from a second at least, until the next measurement.
    void TimedOut();

    // How long an answer may take on this link: zero before any measurement,
    // at most kLongest.
    Duration Needed() const;
    // How long an answer takes on this link as measured, without the
    // doubling after empty waits; zero before any measurement.
    Duration Expected() const;
    // An answer has been measured (not only a handshake).
    bool Measured() const { return smoothed_ && !provisional_; }
    // The smoothed round trip; zero before any measurement.
    Duration Smoothed() const { return smoothed_.value_or(Duration{}); }
    RoundTripFigures Figures() const;

private:
    std::optional<Duration> smoothed_;
    Duration variation_{};
    int backedOff_ = 0;  // timeouts since the last measurement
    bool provisional_ = false;
    std::vector<Duration> samples_;
};

}  // namespace update
