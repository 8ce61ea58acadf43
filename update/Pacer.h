// How the update waits and talks: the ports the engine is given. The window,
// the headless updater and the tests each bring their own implementation.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

#include "Socket.h"

namespace update {

// One of the two connections to a meter: the Modbus TCP client or the
// bootloader's datagram endpoint. Never waits and never raises.
class Link {
public:
    virtual ~Link() = default;
    // Points the link at host and opens it. The same host leaves an open
    // link as it is, queue included; another host reopens it.
    virtual void Open(const std::string& host) = 0;
    virtual void Close() = 0;
    // The count the system took, or -1.
    virtual int32_t Send(const uint8_t* bytes, int32_t count) = 0;
    // Takes what has arrived, at most count bytes (for datagrams: the oldest
    // one, cut to count); -1 when nothing has, or a datagram was longer.
    virtual int32_t Receive(uint8_t* bytes, int32_t count) = 0;
    // Something waits to be received.
    virtual bool Readable() const = 0;
    // The system handle a pacer can wait on, where there is one.
    virtual platform::SocketHandle Handle() const { return platform::kNoSocket; }
};

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
    // The operator asked to stop (closed the window, pressed Ctrl-C); never reset.
    virtual bool Cancelled() const = 0;
};

}  // namespace update
