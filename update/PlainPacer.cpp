#include "PlainPacer.h"

#include <optional>
#include <stdexcept>

#ifdef _WIN32
#include <winsock2.h>
#include <windows.h>
#else
#include <poll.h>
#include <sys/prctl.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#endif

namespace loader {

#ifdef _WIN32

namespace {

// Windows 10 1803 and later; older headers do not name it yet.
#ifndef CREATE_WAITABLE_TIMER_HIGH_RESOLUTION
#define CREATE_WAITABLE_TIMER_HIGH_RESOLUTION 0x00000002
#endif

HANDLE AsHandle(std::intptr_t h) { return reinterpret_cast<HANDLE>(h); }

// A waitable timer set to go off at deadline; false once it has passed.
bool Arm(HANDLE timer, Pacer::TimePoint deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::nanoseconds>(deadline - Pacer::Clock::now()).count();
    if (left <= 0) return false;
    LARGE_INTEGER due;
    due.QuadPart = -((left + 99) / 100);  // relative, in 100 ns, rounded up rather than early
    if (!SetWaitableTimer(timer, &due, 0, nullptr, nullptr, FALSE))
        throw std::runtime_error("SetWaitableTimer: the pacer's timer cannot be set");
    return true;
}

}  // namespace

CancelToken::CancelToken() {
    // Manual reset: once set it stays set and wakes every wait.
    const HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (event == nullptr) throw std::runtime_error("CreateEvent: no event for the stop request");
    handle_ = reinterpret_cast<std::intptr_t>(event);
}

CancelToken::~CancelToken() { CloseHandle(AsHandle(handle_)); }

void CancelToken::Cancel() {
    if (cancelled_.exchange(true, std::memory_order_acq_rel)) return;
    SetEvent(AsHandle(handle_));
}

// The high-resolution timer keeps to the deadline within about a millisecond;
// a normal one wakes only at the system's timer ticks (15.6 ms by default).
PlainPacer::PlainPacer(const CancelToken& cancel) : cancel_(cancel) {
    HANDLE timer = CreateWaitableTimerExW(nullptr, nullptr, CREATE_WAITABLE_TIMER_HIGH_RESOLUTION, TIMER_ALL_ACCESS);
    if (timer == nullptr) timer = CreateWaitableTimerExW(nullptr, nullptr, 0, TIMER_ALL_ACCESS);
    if (timer == nullptr) throw std::runtime_error("CreateWaitableTimer: the pacer has no timer");
    timer_ = reinterpret_cast<std::intptr_t>(timer);
}

PlainPacer::~PlainPacer() { CloseHandle(AsHandle(timer_)); }

void PlainPacer::WaitUntil(TimePoint deadline) {
    // The timer counts on its own clock; should it go off a little before
    // the steady clock reaches the deadline, it is set for the rest.
    while (Arm(AsHandle(timer_), deadline)) WaitForSingleObject(AsHandle(timer_), INFINITE);
}

namespace {

// An event signalled while something waits on the socket, for as long as
// the object lives. Signalled at once when a datagram is already queued.
// It leaves the socket non-blocking, which the endpoints are anyway.
class ReadableEvent {
public:
    explicit ReadableEvent(SOCKET s) : socket_(s), event_(WSACreateEvent()) {
        if (event_ == WSA_INVALID_EVENT)
            throw std::runtime_error("WSACreateEvent: the pacer cannot wait on the socket");
        if (WSAEventSelect(socket_, event_, FD_READ | FD_CLOSE) != 0) {
            WSACloseEvent(event_);
            throw std::runtime_error("WSAEventSelect: the pacer cannot wait on the socket");
        }
    }
    ~ReadableEvent() {
        WSAEventSelect(socket_, nullptr, 0);
        WSACloseEvent(event_);
    }
    ReadableEvent(const ReadableEvent&) = delete;
    ReadableEvent& operator=(const ReadableEvent&) = delete;
    HANDLE Handle() const { return event_; }

private:
    SOCKET socket_;
    WSAEVENT event_;
};

}  // namespace

bool PlainPacer::WaitFor(std::intptr_t socket, std::intptr_t cancel, TimePoint deadline) {
    HANDLE handles[3] = {AsHandle(timer_)};
    DWORD n = 1;
    std::optional<ReadableEvent> readable;
    if (socket >= 0) handles[n++] = readable.emplace(static_cast<SOCKET>(socket)).Handle();
    if (cancel >= 0) handles[n++] = AsHandle(cancel);

    while (Arm(AsHandle(timer_), deadline)) {
        const DWORD woke = WaitForMultipleObjects(n, handles, FALSE, INFINITE);
        if (woke == WAIT_FAILED) throw std::runtime_error("WaitForMultipleObjects: the pacer cannot wait");
        if (woke != WAIT_OBJECT_0) return true;
    }
    return false;
}

#else

namespace {

// Linux lets a sleeping thread wake up to 50 us late by default, to batch
// wake-ups; the waits between frames want their deadline, so the thread that
// waits asks for the least slack once.
void TightenTimerSlack() {
    thread_local const bool tightened = ::prctl(PR_SET_TIMERSLACK, 1UL, 0, 0, 0) == 0;
    (void)tightened;
}

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
    TightenTimerSlack();
    const timespec at = ToTimespec(deadline.time_since_epoch());
    while (::clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &at, nullptr) == EINTR) {
    }
}

bool PlainPacer::WaitFor(std::intptr_t socket, std::intptr_t cancel, TimePoint deadline) {
    TightenTimerSlack();
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

#endif

bool PlainPacer::WaitUnlessCancelled(TimePoint deadline) {
    if (cancel_.Cancelled()) return false;
    if (WaitFor(-1, cancel_.WaitHandle(), deadline)) return !cancel_.Cancelled();
    return true;
}

bool PlainPacer::WaitReadable(const Link& link, TimePoint deadline) { return WaitOn(link, -1, deadline); }

bool PlainPacer::WaitReadableUnlessCancelled(const Link& link, TimePoint deadline) {
    if (cancel_.Cancelled()) return link.Readable();
    return WaitOn(link, cancel_.WaitHandle(), deadline);
}

bool PlainPacer::WaitOn(const Link& link, std::intptr_t cancel, TimePoint deadline) {
    if (link.Readable()) return true;
    const TSocketHandle h = link.Handle();
    if (h == InvalidSocketHandle && cancel < 0) {
        WaitUntil(deadline);
        return false;
    }
    return WaitFor(h == InvalidSocketHandle ? -1 : static_cast<std::intptr_t>(h), cancel, deadline) && link.Readable();
}

}  // namespace loader
