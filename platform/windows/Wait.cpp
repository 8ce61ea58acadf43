// Waits on Windows: a high-resolution waitable timer for the deadline, the
// socket's network event, and a manual-reset event for the stop request.
#include <winsock2.h>
#include <windows.h>

#include <optional>
#include <stdexcept>

#include "platform/Wait.h"

namespace platform {
namespace {

// Windows 10 1803 and later; older headers do not name it yet.
#ifndef CREATE_WAITABLE_TIMER_HIGH_RESOLUTION
#define CREATE_WAITABLE_TIMER_HIGH_RESOLUTION 0x00000002
#endif

HANDLE AsHandle(std::intptr_t h) { return reinterpret_cast<HANDLE>(h); }

// A waitable timer set to go off at deadline; false once it has passed.
bool Arm(HANDLE timer, Waiter::Clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::nanoseconds>(deadline - Waiter::Clock::now()).count();
    if (left <= 0) return false;
    LARGE_INTEGER due;
    due.QuadPart = -((left + 99) / 100);  // relative, in 100 ns, rounded up rather than early
    if (!SetWaitableTimer(timer, &due, 0, nullptr, nullptr, FALSE))
        throw std::runtime_error("SetWaitableTimer: the pacer's timer cannot be set");
    return true;
}

// An event signalled while something waits on the socket, for as long as
// the object lives. Signalled at once when a datagram is already queued.
// It leaves the socket non-blocking, which the links are anyway.
// For a handshake: signalled once it has ended, either way.
class ReadableEvent {
public:
    ReadableEvent(SOCKET s, bool handshake) : socket_(s), event_(WSACreateEvent()) {
        if (event_ == WSA_INVALID_EVENT)
            throw std::runtime_error("WSACreateEvent: the pacer cannot wait on the socket");
        const long events = handshake ? FD_CONNECT | FD_WRITE | FD_CLOSE : FD_READ | FD_CLOSE;
        if (WSAEventSelect(socket_, event_, events) != 0) {
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
    WakeAll();
}

// The high-resolution timer keeps to the deadline within about a millisecond;
// a normal one wakes only at the system's timer ticks (15.6 ms by default).
Waiter::Waiter() {
    HANDLE timer = CreateWaitableTimerExW(nullptr, nullptr, CREATE_WAITABLE_TIMER_HIGH_RESOLUTION, TIMER_ALL_ACCESS);
    if (timer == nullptr) timer = CreateWaitableTimerExW(nullptr, nullptr, 0, TIMER_ALL_ACCESS);
    if (timer == nullptr) throw std::runtime_error("CreateWaitableTimer: the pacer has no timer");
    timer_ = reinterpret_cast<std::intptr_t>(timer);
}

Waiter::~Waiter() { CloseHandle(AsHandle(timer_)); }

void Waiter::SleepUntil(Clock::time_point deadline) {
    // The timer counts on its own clock; should it go off a little before
    // the steady clock reaches the deadline, it is set for the rest.
    while (Arm(AsHandle(timer_), deadline)) WaitForSingleObject(AsHandle(timer_), INFINITE);
}

bool Waiter::WaitUntil(Clock::time_point deadline, SocketHandle socket, const CancelToken* cancel) {
    return WaitFor(deadline, socket, false, cancel);
}

bool Waiter::WaitHandshake(Clock::time_point deadline, SocketHandle socket, const CancelToken* cancel) {
    return WaitFor(deadline, socket, true, cancel);
}

bool Waiter::WaitFor(Clock::time_point deadline, SocketHandle socket, bool handshake, const CancelToken* cancel) {
    HANDLE handles[3] = {AsHandle(timer_)};
    DWORD n = 1;
    std::optional<ReadableEvent> readable;
    if (socket != kNoSocket) handles[n++] = readable.emplace(static_cast<SOCKET>(socket), handshake).Handle();
    if (cancel != nullptr) handles[n++] = AsHandle(cancel->handle_);

    while (Arm(AsHandle(timer_), deadline)) {
        const DWORD woke = WaitForMultipleObjects(n, handles, FALSE, INFINITE);
        if (woke == WAIT_FAILED) throw std::runtime_error("WaitForMultipleObjects: the pacer cannot wait");
        if (woke != WAIT_OBJECT_0) return true;
    }
    return false;
}

}  // namespace platform
