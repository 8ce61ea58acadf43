// The update's waits in the window: the event loop runs while they last, so
// the window repaints, its labels change and a close request arrives.
#pragma once

#include <functional>
#include <memory>

#include "Pacer.h"
#include "Timer.h"

class QSocketNotifier;

class TWindowPacer final : public loader::Pacer {
public:
    // `timer` is the window's wait timer; `closing` its close request flag.
    TWindowPacer(TTimer& timer, const bool& closing);
    ~TWindowPacer() override;

    TimePoint Now() const override { return Clock::now(); }
    void WaitUntil(TimePoint deadline) override;
    bool WaitUnlessCancelled(TimePoint deadline) override;
    bool WaitReadable(const loader::Link& link, TimePoint deadline) override;
    bool WaitReadableUnlessCancelled(const loader::Link& link, TimePoint deadline) override;
    bool Cancelled() const override { return closing_; }

private:
    // Handles window events until the timer's tick or until `done`.
    void Pump(TimePoint deadline, const std::function<bool()>& done);
    bool WaitOn(const loader::Link& link, TimePoint deadline, bool unlessCancelled);

    TTimer& timer_;
    const bool& closing_;
    // Wakes the event loop when an answer arrives on the watched socket.
    std::unique_ptr<QSocketNotifier> notifier_;
};
