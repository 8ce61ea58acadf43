// Waits on Linux: clock_nanosleep and ppoll on CLOCK_MONOTONIC, which is
// steady_clock's own clock; a pipe carries the stop request.
#include <poll.h>
#include <sys/prctl.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>

#include "platform/Wait.h"

namespace platform {
namespace {

// Linux lets a sleeping thread wake up to 50 us late by default, to batch
// wake-ups; the waits between frames want their deadline, so the thread that
// waits asks for the least slack once.
void TightenTimerSlack() {
    thread_local const bool tightened = ::prctl(PR_SET_TIMERSLACK, 1UL, 0, 0, 0) == 0;
    (void)tightened;
}

timespec ToTimespec(Waiter::Clock::duration d) {
    const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(d).count();
    return timespec{static_cast<time_t>(ns / 1'000'000'000), static_cast<long>(ns % 1'000'000'000)};
}

}  // namespace

CancelToken::CancelToken() {
    int fds[2];
    if (::pipe(fds) != 0) throw std::runtime_error("pipe: no descriptors left for the stop request");
    handle_ = fds[0];
    writeEnd_ = fds[1];
}

CancelToken::~CancelToken() {
    ::close(static_cast<int>(handle_));
    ::close(static_cast<int>(writeEnd_));
}

void CancelToken::Cancel() {
    if (cancelled_.exchange(true, std::memory_order_acq_rel)) return;
    // Nobody reads the byte: the pipe stays readable and wakes every wait.
    const char byte = 1;
    [[maybe_unused]] const auto n = ::write(static_cast<int>(writeEnd_), &byte, 1);
    WakeAll();
}

Waiter::Waiter() = default;
Waiter::~Waiter() = default;

void Waiter::SleepUntil(Clock::time_point deadline) {
    TightenTimerSlack();
    const timespec at = ToTimespec(deadline.time_since_epoch());
    while (::clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &at, nullptr) == EINTR) {
    }
}

bool Waiter::WaitUntil(Clock::time_point deadline, SocketHandle socket, const CancelToken* cancel) {
    return WaitFor(deadline, socket, false, cancel);
}

bool Waiter::WaitHandshake(Clock::time_point deadline, SocketHandle socket, const CancelToken* cancel) {
    return WaitFor(deadline, socket, true, cancel);
}

bool Waiter::WaitFor(Clock::time_point deadline, SocketHandle socket, bool handshake, const CancelToken* cancel) {
    TightenTimerSlack();
    pollfd fds[2];
    nfds_t n = 0;
    if (socket != kNoSocket)
        fds[n++] = pollfd{static_cast<int>(socket), static_cast<short>(handshake ? POLLOUT : POLLIN), 0};
    if (cancel != nullptr) fds[n++] = pollfd{static_cast<int>(cancel->handle_), POLLIN, 0};
    for (;;) {
        const auto left = deadline - Clock::now();
        if (left <= Clock::duration::zero()) return false;
        // ppoll lets its timeout run late by a thousandth (whatever the
        // thread's timer slack): it aims that much early, and the rest, too
        // short to be let run late, is waited for next time round.
        const timespec timeout = ToTimespec(left > std::chrono::milliseconds(1) ? left - left / 500 : left);
        const int ready = ::ppoll(fds, n, &timeout, nullptr);
        if (ready > 0) return true;
        if (ready < 0 && errno != EINTR) return false;
        // ppoll may wake a little early by its rounding; go on to the deadline.
    }
}

}  // namespace platform
