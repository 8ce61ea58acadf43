// The way back from a meter over a slow link: answers take their own time,
// but leave it in the order they entered, as on a real path where packets
// queue behind each other rather than overtake. Jitter thus delays an
// answer that follows a slower one instead of reordering the two.
#pragma once

#include <algorithm>
#include <chrono>

namespace sim {

class SlowLink {
public:
    using Clock = std::chrono::steady_clock;

    // When an answer that enters the link at `entry` and takes `travel`
    // arrives; entries come in time order.
    Clock::time_point Arrival(Clock::time_point entry, std::chrono::milliseconds travel) {
        last_ = std::max(entry + travel, last_);
        return last_;
    }

private:
    Clock::time_point last_{};
};

}  // namespace sim
