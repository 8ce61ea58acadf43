// How the update waits and talks: the ports the engine is given. The window,
// the headless updater and the tests each bring their own implementation.
#pragma once

#include <chrono>

#include "update/Link.h"

namespace update {

// Every wait of an update goes through here, on an absolute deadline, so
// that the time between two frames is what the protocol prescribes and
// nothing accumulates.
class Pacer {
public:
    using Clock = std::chrono::steady_clock;
    using TimePoint = Clock::time_point;

    virtual ~Pacer() = default;
    virtual TimePoint Now() const = 0;
    // Until the deadline, whatever happens meanwhile.
    virtual void WaitUntil(TimePoint deadline) = 0;
    // Until the deadline, or less when the run is cancelled: false then.
    virtual bool WaitUnlessCancelled(TimePoint deadline) = 0;
    // Until something waits on the link or the deadline has passed; true
    // when something waits. Returns at once when something already does.
    virtual bool WaitReadable(const Link& link, TimePoint deadline) = 0;
    // As WaitReadable, but also returns when the run is cancelled.
    virtual bool WaitReadableUnlessCancelled(const Link& link, TimePoint deadline) = 0;
    // Until a stream link's handshake has ended, the deadline has passed or
    // the run is cancelled; true when the link is connected then.
    virtual bool WaitConnected(const Link& link, TimePoint deadline) = 0;
    // The operator asked to stop (closed the window, pressed Ctrl-C); never reset.
    virtual bool Cancelled() const = 0;
};

}  // namespace update
