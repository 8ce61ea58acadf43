#include "update/RoundTrip.h"

#include <algorithm>
#include <cmath>
#include <utility>

namespace update {
namespace {

constexpr RoundTripEstimate::Duration kGranularity = std::chrono::milliseconds(1);
constexpr int kMostDoublings = 6;
// What a wait that ended empty-handed starts doubling from, at least, before
// any answer was measured: a handshake's quick round trip may not be the
// answers' (a relay that completes connections itself), and RFC 6298 starts
// from a second too.
constexpr RoundTripEstimate::Duration kFirstBackOff = std::chrono::seconds(2);

double Ms(RoundTripEstimate::Duration d) { return static_cast<double>(d.count()) / 1000.0; }

// The value below which a share p of the sorted samples lie (nearest rank).
double Rank(const std::vector<RoundTripEstimate::Duration>& sorted, double p) {
    const auto n = static_cast<double>(sorted.size());
    const auto i = static_cast<size_t>(std::max(1.0, std::ceil(p * n))) - 1;
    return Ms(sorted[std::min(i, sorted.size() - 1)]);
}

}  // namespace

void RoundTripEstimate::Sample(Duration r, bool provisional) {
    r = std::max(r, Duration{});
    samples_.push_back(r);
    backedOff_ = 0;
    // A connection a relay completes itself says little about the answers.
    const bool replaces = std::exchange(provisional_, provisional);
    if (!smoothed_ || replaces) {
        smoothed_ = r;
        variation_ = r / 2;
        return;
    }
    const Duration deviation = *smoothed_ > r ? *smoothed_ - r : r - *smoothed_;
    variation_ = (3 * variation_ + deviation) / 4;
    *smoothed_ = (7 * *smoothed_ + r) / 8;
}

void RoundTripEstimate::TimedOut() { backedOff_ = std::min(backedOff_ + 1, kMostDoublings); }

RoundTripEstimate::Duration RoundTripEstimate::Expected() const {
    return smoothed_ ? std::min(*smoothed_ + std::max(kGranularity, 4 * variation_), kLongest) : Duration{};
}

RoundTripEstimate::Duration RoundTripEstimate::Needed() const {
    Duration base = Expected();
    // Once answers have been measured, an empty wait is a lost frame rather
    // than a slow link: the doubling starts from what was measured.
    if (backedOff_ > 0) base = (Measured() ? base : std::max(base, kFirstBackOff)) * (1 << backedOff_);
    return std::min(base, kLongest);
}

RoundTripFigures RoundTripEstimate::Figures() const {
    RoundTripFigures f;
    if (samples_.empty()) return f;
    std::vector<Duration> sorted = samples_;
    std::sort(sorted.begin(), sorted.end());
    f.samples = static_cast<int>(sorted.size());
    f.medianMs = Rank(sorted, 0.5);
    f.p95Ms = Rank(sorted, 0.95);
    return f;
}

}  // namespace update
