// Waiting without a window, on any thread: absolute deadlines on the
// monotonic clock, and the system's own wait on the bootloader socket.
#pragma once

#include <atomic>
#include <cstdint>

#include "Pacer.h"

namespace loader {

// A stop request shared by every update of a run: set from any thread (a
// signal watcher, a console handler), it wakes every cancellable wait at once.
class CancelToken {
public:
    CancelToken();
    ~CancelToken();
    CancelToken(const CancelToken&) = delete;
    CancelToken& operator=(const CancelToken&) = delete;

    void Cancel();
    bool Cancelled() const { return cancelled_.load(std::memory_order_acquire); }
    // POSIX: a descriptor that becomes readable once cancelled. Windows: a
    // manual-reset event that is signalled once cancelled.
    std::intptr_t WaitHandle() const { return handle_; }

private:
    std::atomic<bool> cancelled_{false};
    std::intptr_t handle_ = -1;
    std::intptr_t writeEnd_ = -1;
};

class PlainPacer final : public Pacer {
public:
    explicit PlainPacer(const CancelToken& cancel);
    ~PlainPacer() override;
    PlainPacer(const PlainPacer&) = delete;
    PlainPacer& operator=(const PlainPacer&) = delete;

    TimePoint Now() const override { return Clock::now(); }
    void WaitUntil(TimePoint deadline) override;
    bool WaitUnlessCancelled(TimePoint deadline) override;
    bool WaitReadable(const Link& link, TimePoint deadline) override;
    bool WaitReadableUnlessCancelled(const Link& link, TimePoint deadline) override;
    bool Cancelled() const override { return cancel_.Cancelled(); }

private:
    // Until something waits on the link, the cancel handle (when not -1) is
    // ready or the deadline has passed; true when something waits on the link.
    bool WaitOn(const Link& link, std::intptr_t cancel, TimePoint deadline);
    // Until deadline or until one of the handles is ready; true when one is.
    bool WaitFor(std::intptr_t socket, std::intptr_t cancel, TimePoint deadline);

    const CancelToken& cancel_;
    std::intptr_t timer_ = 0;  // Windows: the waitable timer
};

}  // namespace loader
