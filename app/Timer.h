// A window timer with the rules the waits are written against: enabling a
// stopped timer starts a fresh countdown, a different interval restarts a
// running one, and setting what the timer already has changes nothing.
// (QTimer restarts on every start() and setInterval(), which would stretch
// a wait whose call site sets the same value again.)
//
// On Linux the countdown is a timerfd watched by the event loop. Qt's own
// timers wake up to a millisecond late (Qt rounds every wait up to whole
// milliseconds, and the kernel grants poll timeouts 0.1 % slack), which over
// the 165 waits of an update adds more than the update's own work. A timerfd
// expires at its deadline, whatever else the loop did meanwhile. Elsewhere a
// precise QTimer counts.
#pragma once

#include <QObject>
#include <QTimer>
#include <chrono>
#include <functional>
#include <stdexcept>

class QSocketNotifier;

class EOutOfResources : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class TTimer : public QObject {
    Q_OBJECT
public:
    TTimer(uint32_t intervalMs, QObject* parent);
    ~TTimer() override;

    bool Enabled() const { return enabled_; }
    void SetEnabled(bool enabled);
    uint32_t Interval() const { return interval_; }
    void SetInterval(uint32_t ms);
    // Starts a countdown that ends at an absolute point of the monotonic
    // clock, so that waits measured from one moment never add up rounding.
    // A deadline already passed ticks at the next pass of the event loop.
    void StartAt(std::chrono::steady_clock::time_point deadline);

    std::function<void()> OnTimer;

private:
    void Restart();
    void Expired();

#ifdef __linux__
    void EnsureDescriptor();
    void Arm(std::chrono::steady_clock::time_point deadline);
    int fd_ = -1;  // created on first start, so that running out of handles shows there
    QSocketNotifier* notifier_ = nullptr;
#else
    QTimer timer_;
#endif
    bool enabled_ = false;
    uint32_t interval_;
};
