// One thread that serves the sockets and timed sends of any number of
// meters: a simulated fleet of hundreds needs a handful of threads, not one
// per meter.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <queue>
#include <thread>
#include <unordered_map>
#include <vector>

namespace sim {

class ServeLoop {
public:
    using Clock = std::chrono::steady_clock;

    ServeLoop();  // throws std::system_error without descriptors left
    ~ServeLoop();
    ServeLoop(const ServeLoop&) = delete;
    ServeLoop& operator=(const ServeLoop&) = delete;

    // Serving starts on a thread of its own; Stop (from any other thread)
    // returns once it has ended. Nothing registered runs after Stop.
    void Start();
    void Stop();

    // Before Start, or on the loop's thread (from a handler or a timer).
    // A descriptor is watched for reading until Unwatch, which also drops
    // an event of it already collected in this round.
    void Watch(int fd, std::function<void()> onReadable);
    void Unwatch(int fd);
    void At(Clock::time_point due, std::function<void()> run);

private:
    void Serve();
    int TimeoutMs() const;
    void RunDueTimers();

    struct Timed {
        Clock::time_point due;
        uint64_t seq;  // equal deadlines run in the order they were set
        std::function<void()> run;
        bool operator>(const Timed& o) const { return due != o.due ? due > o.due : seq > o.seq; }
    };

    int epoll_ = -1;
    int wake_ = -1;
    // The kernel's events carry a registration number, never the descriptor:
    // a descriptor closed and reused within one round cannot reach the new
    // owner's handler with the old owner's event.
    std::unordered_map<uint64_t, std::function<void()>> handlers_;
    std::unordered_map<int, uint64_t> registrationOf_;
    uint64_t nextRegistration_ = 1;
    std::priority_queue<Timed, std::vector<Timed>, std::greater<>> timers_;
    uint64_t nextSeq_ = 0;
    std::thread thread_;
};

}  // namespace sim
