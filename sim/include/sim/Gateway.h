// One link that every meter of a site sits behind, as dozens of meters behind
// one cellular router: each way, datagrams queue in a drop-tail buffer and
// leave one after the other at the link's rate, so blocks for one meter wait
// behind blocks for all the others, and a burst larger than the buffer is lost.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>

namespace sim {

// A datagram's IPv4 and UDP headers: they cross the link with it.
inline constexpr size_t kDatagramHeaderBytes = 28;
inline constexpr size_t kDefaultGatewayBufferBytes = 64000;

struct GatewayOptions {
    double kbps = 0;  // kilobits (1000 bits) per second, each way
    size_t bufferBytes = kDefaultGatewayBufferBytes;
};

enum class Way { Down, Up };  // Down: from the tool to the meters

struct GatewayFigures {
    uint64_t bytes = 0;      // carried, headers included
    uint64_t datagrams = 0;  // carried
    uint64_t dropped = 0;    // found the buffer full
    uint64_t maxQueueBytes = 0;
    bool operator==(const GatewayFigures&) const = default;
};

// Safe to share between the threads of a fleet.
class Gateway {
public:
    using Clock = std::chrono::steady_clock;

    explicit Gateway(GatewayOptions options);

    // When the last byte of a datagram of `payload` bytes that reaches the
    // link at `arrival` has left it; nothing when the buffer has no room for
    // it. A datagram holds its room until its last byte has left.
    std::optional<Clock::time_point> Cross(Way way, Clock::time_point arrival, size_t payload);

    GatewayFigures Figures(Way way) const;
    const GatewayOptions& Options() const { return options_; }

private:
    struct Queued {
        Clock::time_point departure;
        size_t bytes;
    };
    struct Direction {
        std::deque<Queued> queue;  // departures in order
        size_t queuedBytes = 0;
        Clock::time_point lastArrival{};
        GatewayFigures figures;
    };

    const GatewayOptions options_;
    mutable std::mutex mu_;
    Direction ways_[2];  // guarded by mu_
};

}  // namespace sim
