#include "sim/src/ServeLoop.h"

#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <system_error>

namespace sim {
namespace {

constexpr uint64_t kWakeRegistration = 0;
constexpr int kEventsPerRound = 256;

}  // namespace

ServeLoop::ServeLoop() {
    epoll_ = ::epoll_create1(EPOLL_CLOEXEC);
    if (epoll_ < 0) throw std::system_error(errno, std::generic_category(), "epoll_create1");
    wake_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wake_ < 0) {
        const int e = errno;
        ::close(epoll_);
        throw std::system_error(e, std::generic_category(), "eventfd");
    }
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.u64 = kWakeRegistration;
    ::epoll_ctl(epoll_, EPOLL_CTL_ADD, wake_, &ev);
}

ServeLoop::~ServeLoop() {
    Stop();
    ::close(wake_);
    ::close(epoll_);
}

void ServeLoop::Start() {
    thread_ = std::thread([this] { Serve(); });
}

void ServeLoop::Stop() {
    if (!thread_.joinable()) return;
    const uint64_t one = 1;
    [[maybe_unused]] auto n = ::write(wake_, &one, sizeof one);
    thread_.join();
}

void ServeLoop::Watch(int fd, std::function<void()> onReadable) {
    const uint64_t id = nextRegistration_++;
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.u64 = id;
    if (::epoll_ctl(epoll_, EPOLL_CTL_ADD, fd, &ev) != 0)
        throw std::system_error(errno, std::generic_category(), "epoll_ctl");
    handlers_[id] = std::move(onReadable);
    registrationOf_[fd] = id;
}

void ServeLoop::Unwatch(int fd) {
    const auto it = registrationOf_.find(fd);
    if (it == registrationOf_.end()) return;
    ::epoll_ctl(epoll_, EPOLL_CTL_DEL, fd, nullptr);
    handlers_.erase(it->second);
    registrationOf_.erase(it);
}

void ServeLoop::At(Clock::time_point due, std::function<void()> run) {
    timers_.push({due, nextSeq_++, std::move(run)});
}

int ServeLoop::TimeoutMs() const {
    if (timers_.empty()) return -1;
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(timers_.top().due - Clock::now()).count();
    return static_cast<int>(std::clamp<long long>(left, 0, 60000));
}

void ServeLoop::RunDueTimers() {
    const auto now = Clock::now();
    while (!timers_.empty() && timers_.top().due <= now) {
        auto run = std::move(const_cast<Timed&>(timers_.top()).run);  // popped right after
        timers_.pop();
        run();
    }
}

void ServeLoop::Serve() {
    epoll_event events[kEventsPerRound];
    for (;;) {
        const int n = ::epoll_wait(epoll_, events, kEventsPerRound, TimeoutMs());
        if (n < 0 && errno != EINTR) return;  // nothing sensible left to serve with
        for (int i = 0; i < n; ++i) {
            const uint64_t id = events[i].data.u64;
            if (id == kWakeRegistration) return;
            // Gone when an earlier handler of this round unwatched it.
            const auto it = handlers_.find(id);
            if (it == handlers_.end()) continue;
            // A copy: the handler may unwatch itself and so destroy the original.
            const auto handler = it->second;
            handler();
        }
        RunDueTimers();
    }
}

}  // namespace sim
