#include "Timer.h"

TTimer::TTimer(uint32_t intervalMs, QObject* parent) : QObject(parent), interval_(intervalMs) {
    // Coarse timers may fire up to 5 % early; a 50 ms wait must last 50 ms.
    timer_.setTimerType(Qt::PreciseTimer);
    connect(&timer_, &QTimer::timeout, this, [this] {
        if (OnTimer) OnTimer();
    });
}

void TTimer::SetEnabled(bool enabled) {
    if (enabled == enabled_) return;
    enabled_ = enabled;
    Restart();
}

void TTimer::SetInterval(uint32_t ms) {
    if (ms == interval_) return;
    interval_ = ms;
    Restart();
}

void TTimer::Restart() {
    timer_.stop();
    if (!enabled_ || interval_ == 0) return;
    timer_.start(static_cast<int>(interval_));
    if (!timer_.isActive()) {
        enabled_ = false;
        throw EOutOfResources("Not enough timers available");
    }
}
