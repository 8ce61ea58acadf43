// Where a block write waits its turn among the writes of meters that share
// a path with this one (core::PathPacing decides). Asked before a block's
// first frame and held through its retries, which keep the protocol's
// timing; the meter's own frames are never spaced differently, only the
// start of its next block may wait.
#pragma once

#include <chrono>
#include <optional>

#include "update/Pacer.h"

namespace update {

// What one block write showed of the path, at its end.
struct BlockSample {
    Pacer::TimePoint at{};
    // The round trip of the exchange whose answer was accepted; none: none was.
    std::optional<std::chrono::microseconds> roundTrip;
    int attempts = 0;  // write frames sent for the block
};

class SendGate {
public:
    virtual ~SendGate() = default;
    // Until the block may be sent; false when the run was stopped meanwhile
    // (the block is then not begun, the run ends as stopped, and Leave is
    // not called). `roundTrip`:
    // the meter's link as measured so far (zero: not yet).
    virtual bool Enter(std::chrono::microseconds roundTrip) = 0;
    virtual void Leave(const BlockSample& sample) = 0;
};

// A meter alone: every block goes at once.
class OpenGate final : public SendGate {
public:
    bool Enter(std::chrono::microseconds) override { return true; }
    void Leave(const BlockSample&) override {}
};

}  // namespace update
