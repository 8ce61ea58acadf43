// Waiting without a window, on any thread: absolute deadlines on the
// monotonic clock, and the system's own wait on the bootloader socket.
#pragma once

#include "update/Pacer.h"
#include "platform/Wait.h"

namespace update {

// A stop request shared by every update of a run.
using CancelToken = platform::CancelToken;

class PlainPacer final : public Pacer {
public:
    explicit PlainPacer(const CancelToken& cancel);
    PlainPacer(const PlainPacer&) = delete;
    PlainPacer& operator=(const PlainPacer&) = delete;

    TimePoint Now() const override { return Clock::now(); }
    void WaitUntil(TimePoint deadline) override;
    bool WaitUnlessCancelled(TimePoint deadline) override;
    bool WaitReadable(const Link& link, TimePoint deadline) override;
    bool WaitReadableUnlessCancelled(const Link& link, TimePoint deadline) override;
    bool WaitConnected(const Link& link, TimePoint deadline) override;
    bool Cancelled() const override { return cancel_.Cancelled(); }

private:
    const CancelToken& cancel_;
    platform::Waiter waiter_;
};

}  // namespace update
