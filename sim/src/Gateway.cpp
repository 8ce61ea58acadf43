#include "sim/Gateway.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>

namespace sim {

Gateway::Gateway(GatewayOptions options) : options_(options) {
    if (!(options_.kbps > 0)) throw std::invalid_argument("a gateway needs a rate above 0 kbit/s");
}

std::optional<Gateway::Clock::time_point> Gateway::Cross(Way way, Clock::time_point arrival, size_t payload) {
    const size_t size = payload + kDatagramHeaderBytes;
    std::lock_guard lock(mu_);
    Direction& d = ways_[way == Way::Down ? 0 : 1];
    // Meters on other threads may report a moment earlier than the last one
    // did: the link has seen time pass already.
    arrival = std::max(arrival, d.lastArrival);
    d.lastArrival = arrival;
    while (!d.queue.empty() && d.queue.front().departure <= arrival) {
        d.queuedBytes -= d.queue.front().bytes;
        d.queue.pop_front();
    }
    if (d.queuedBytes + size > options_.bufferBytes) {
        ++d.figures.dropped;
        return std::nullopt;
    }
    const auto serialization = std::chrono::nanoseconds(std::llround(static_cast<double>(size) * 8e6 / options_.kbps));
    const auto start = d.queue.empty() ? arrival : std::max(arrival, d.queue.back().departure);
    const auto departure = start + std::chrono::duration_cast<Clock::duration>(serialization);
    d.queue.push_back({departure, size});
    d.queuedBytes += size;
    d.figures.bytes += size;
    ++d.figures.datagrams;
    d.figures.maxQueueBytes = std::max<uint64_t>(d.figures.maxQueueBytes, d.queuedBytes);
    return departure;
}

GatewayFigures Gateway::Figures(Way way) const {
    std::lock_guard lock(mu_);
    return ways_[way == Way::Down ? 0 : 1].figures;
}

}  // namespace sim
