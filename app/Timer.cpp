#include "Timer.h"

#include <algorithm>

#ifdef __linux__
#include <sys/timerfd.h>
#include <unistd.h>

#include <QSocketNotifier>
#endif

namespace {
constexpr char kNoTimer[] = "Not enough timers available";
}

#ifdef __linux__

TTimer::TTimer(uint32_t intervalMs, QObject* parent) : QObject(parent), interval_(intervalMs) {}

TTimer::~TTimer() {
    delete notifier_;  // before its descriptor goes
    if (fd_ >= 0) ::close(fd_);
}

void TTimer::EnsureDescriptor() {
    if (fd_ >= 0) return;
    fd_ = ::timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
    if (fd_ < 0) {
        enabled_ = false;
        throw EOutOfResources(kNoTimer);
    }
    notifier_ = new QSocketNotifier(fd_, QSocketNotifier::Read, this);
    connect(notifier_, &QSocketNotifier::activated, this, [this] { Expired(); });
}

void TTimer::Arm(std::chrono::steady_clock::time_point deadline) {
    // steady_clock is CLOCK_MONOTONIC, the timerfd's own clock. A deadline
    // already passed is moved to the smallest future one: zero would disarm.
    const auto ns =
        std::max<int64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(deadline.time_since_epoch()).count(), 1);
    itimerspec at{};
    at.it_value.tv_sec = static_cast<time_t>(ns / 1'000'000'000);
    at.it_value.tv_nsec = static_cast<long>(ns % 1'000'000'000);
    if (::timerfd_settime(fd_, TFD_TIMER_ABSTIME, &at, nullptr) != 0) {
        enabled_ = false;
        throw EOutOfResources(kNoTimer);
    }
}

void TTimer::Restart() {
    itimerspec period{};
    if (enabled_ && interval_ != 0) {
        EnsureDescriptor();
        period.it_value.tv_sec = interval_ / 1000;
        period.it_value.tv_nsec = static_cast<long>(interval_ % 1000) * 1'000'000;
        period.it_interval = period.it_value;  // ticks on, like any window timer, until disabled
    } else if (fd_ < 0) {
        return;
    }
    // Re-arming also discards an expiry not yet read, so a stopped or
    // restarted countdown never delivers an old tick.
    if (::timerfd_settime(fd_, 0, &period, nullptr) != 0 && enabled_) {
        enabled_ = false;
        throw EOutOfResources(kNoTimer);
    }
}

void TTimer::Expired() {
    // Several periods may have passed while the loop was busy: one tick, as
    // a window timer gives after a busy spell.
    uint64_t periods = 0;
    if (::read(fd_, &periods, sizeof periods) != static_cast<ssize_t>(sizeof periods) || periods == 0) return;
    if (enabled_ && OnTimer) OnTimer();
}

void TTimer::StartAt(std::chrono::steady_clock::time_point deadline) {
    enabled_ = true;
    EnsureDescriptor();
    Arm(deadline);
}

#else

TTimer::TTimer(uint32_t intervalMs, QObject* parent) : QObject(parent), interval_(intervalMs) {
    // Coarse timers may fire up to 5 % early; a 50 ms wait must last 50 ms.
    timer_.setTimerType(Qt::PreciseTimer);
    connect(&timer_, &QTimer::timeout, this, [this] { Expired(); });
}

TTimer::~TTimer() = default;

void TTimer::Restart() {
    timer_.stop();
    if (!enabled_ || interval_ == 0) return;
    timer_.start(static_cast<int>(interval_));
    if (!timer_.isActive()) {
        enabled_ = false;
        throw EOutOfResources(kNoTimer);
    }
}

void TTimer::Expired() {
    if (OnTimer) OnTimer();
}

void TTimer::StartAt(std::chrono::steady_clock::time_point deadline) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    enabled_ = true;
    timer_.stop();
    timer_.start(static_cast<int>(std::max<int64_t>(left.count(), 0)));
    if (!timer_.isActive()) {
        enabled_ = false;
        throw EOutOfResources(kNoTimer);
    }
}

#endif

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
