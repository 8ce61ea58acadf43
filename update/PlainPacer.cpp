#include "PlainPacer.h"

#include <poll.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>

namespace loader {
namespace {

timespec ToTimespec(Pacer::Clock::duration d) {
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
}

// steady_clock is CLOCK_MONOTONIC here, so its time points are the kernel's.
PlainPacer::PlainPacer(const CancelToken& cancel) : cancel_(cancel) {}
PlainPacer::~PlainPacer() = default;

void PlainPacer::WaitUntil(TimePoint deadline) {
    const timespec at = ToTimespec(deadline.time_since_epoch());
    while (::clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &at, nullptr) == EINTR) {
    }
}

bool PlainPacer::WaitFor(std::intptr_t socket, std::intptr_t cancel, TimePoint deadline) {
    pollfd fds[2];
    nfds_t n = 0;
    if (socket >= 0) fds[n++] = pollfd{static_cast<int>(socket), POLLIN, 0};
    if (cancel >= 0) fds[n++] = pollfd{static_cast<int>(cancel), POLLIN, 0};
    for (;;) {
        const auto left = deadline - Clock::now();
        if (left <= Clock::duration::zero()) return false;
        const timespec timeout = ToTimespec(left);
        const int ready = ::ppoll(fds, n, &timeout, nullptr);
        if (ready > 0) return true;
        if (ready < 0 && errno != EINTR) return false;
        // ppoll may wake a little early by its rounding; go on to the deadline.
    }
}

bool PlainPacer::WaitUnlessCancelled(TimePoint deadline) {
    if (cancel_.Cancelled()) return false;
    if (WaitFor(-1, cancel_.WaitHandle(), deadline)) return !cancel_.Cancelled();
    return true;
}

bool PlainPacer::WaitReadable(const Link& link, TimePoint deadline) {
    if (link.Readable()) return true;
    const TSocketHandle h = link.Handle();
    if (h == InvalidSocketHandle) {
        WaitUntil(deadline);
        return false;
    }
    return WaitFor(static_cast<std::intptr_t>(h), -1, deadline) && link.Readable();
}

}  // namespace loader
