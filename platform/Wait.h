// Waiting on one thread to an absolute deadline of the monotonic clock, for
// a socket to have something to read, or for a stop request.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <vector>

#include "platform/Socket.h"

namespace platform {

// A stop request shared by every wait of a run: set from any thread (a
// signal watcher, a console handler), it wakes every wait on it at once.
// Never reset.
class CancelToken {
public:
    CancelToken();
    ~CancelToken();
    CancelToken(const CancelToken&) = delete;
    CancelToken& operator=(const CancelToken&) = delete;

    void Cancel();
    bool Cancelled() const { return cancelled_.load(std::memory_order_acquire); }

private:
    friend class Waiter;
    friend class CancelWake;
    // Tells every CancelWake; once, after the flag is set.
    void WakeAll();

    std::atomic<bool> cancelled_{false};
    mutable std::mutex wakesMutex_;
    mutable std::vector<const std::function<void()>*> wakes_;
    // POSIX: a pipe that becomes readable once cancelled. Windows: a
    // manual-reset event that is signalled once cancelled.
    std::intptr_t handle_ = -1;
    std::intptr_t writeEnd_ = -1;
};

// Tells `wake` when the token is cancelled while this lives: a wait on
// something that is no socket (a condition variable) ends on a stop too.
// `wake` runs on the cancelling thread; gone, this is no longer told.
class CancelWake {
public:
    CancelWake(const CancelToken& token, std::function<void()> wake);
    ~CancelWake();
    CancelWake(const CancelWake&) = delete;
    CancelWake& operator=(const CancelWake&) = delete;

private:
    const CancelToken& token_;
    std::function<void()> wake_;
};

// The waits of one thread. Each ends at its deadline, never before it and
// as close after it as the system allows; none accumulates rounding.
class Waiter {
public:
    using Clock = std::chrono::steady_clock;

    Waiter();
    ~Waiter();
    Waiter(const Waiter&) = delete;
    Waiter& operator=(const Waiter&) = delete;

    // Until the deadline, whatever happens meanwhile.
    void SleepUntil(Clock::time_point deadline);
    // Until the deadline, or less when something waits on the socket (a
    // failure the next receive reports included) or the token is cancelled;
    // true then. kNoSocket or no token: that one is not watched. Leaves the
    // socket as it was, non-blocking.
    bool WaitUntil(Clock::time_point deadline, SocketHandle socket, const CancelToken* cancel);
    // As WaitUntil, but for a stream's handshake to end, well or not.
    bool WaitHandshake(Clock::time_point deadline, SocketHandle socket, const CancelToken* cancel);

private:
    bool WaitFor(Clock::time_point deadline, SocketHandle socket, bool handshake, const CancelToken* cancel);

    std::intptr_t timer_ = -1;  // Windows: the waitable timer
};

}  // namespace platform
