// What this machine allows at best: the fewest system calls a block's
// exchange needs (look for a stale answer, send, sleep to an absolute
// deadline, look, receive), 165 times as in an update of the development
// image, against a bare echo process on loopback. update-bench's figures for
// the plain pacer are to be read against these.
//
//   floor-bench
#include <arpa/inet.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>

#include "bench/BenchFigures.h"
#include "protocol/Frames.h"

int main() {
    int server = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in at{};
    at.sin_family = AF_INET;
    at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof at;
    if (bind(server, reinterpret_cast<sockaddr*>(&at), size) != 0 ||
        getsockname(server, reinterpret_cast<sockaddr*>(&at), &size) != 0)
        return 2;
    const pid_t echo = fork();
    if (echo == 0) {
        char buffer[2048];
        for (;;) {
            sockaddr_in peer{};
            socklen_t peerSize = sizeof peer;
            const auto n = recvfrom(server, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&peer), &peerSize);
            if (n <= 1) _exit(0);  // a one-byte datagram ends it
            sendto(server, "OK\r\n", 4, 0, reinterpret_cast<sockaddr*>(&peer), peerSize);
        }
    }
    const int s = socket(AF_INET, SOCK_DGRAM, 0);
    connect(s, reinterpret_cast<sockaddr*>(&at), sizeof at);
    prctl(PR_SET_TIMERSLACK, 1UL, 0, 0, 0);

    using Clock = std::chrono::steady_clock;
    constexpr int kExchanges = 165;
    char frame[protocol::WriteRequest::kSize] = {'W'};
    char answer[8];
    const double c0 = bench::CpuSeconds();
    const auto t0 = Clock::now();
    for (int i = 0; i < kExchanges; ++i) {
        pollfd p{s, POLLIN, 0};
        poll(&p, 1, 0);
        const auto sent = Clock::now();
        send(s, frame, sizeof frame, 0);
        const auto ns =
            std::chrono::duration_cast<std::chrono::nanoseconds>((sent + protocol::kWriteWait).time_since_epoch())
                .count();
        const timespec deadline{static_cast<time_t>(ns / 1'000'000'000), static_cast<long>(ns % 1'000'000'000)};
        clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &deadline, nullptr);
        poll(&p, 1, 0);
        recv(s, answer, 4, 0);
    }
    const double wall = std::chrono::duration<double>(Clock::now() - t0).count();
    const double cpu = bench::CpuSeconds() - c0;
    send(s, "x", 1, 0);  // a one-byte datagram ends the echo
    waitpid(echo, nullptr, 0);

    const double lateMs = (wall - kExchanges * std::chrono::duration<double>(protocol::kWriteWait).count()) * 1e3;
    std::printf(
        "%d exchanges of %lld ms against a bare echo: %.1f ms late in all (%.0f us per wait), "
        "CPU %.3f %% of the wall time (%.0f us per exchange)\n",
        kExchanges, static_cast<long long>(protocol::kWriteWait.count()), lateMs, lateMs * 1e3 / kExchanges,
        100 * cpu / wall, cpu / kExchanges * 1e6);
    std::printf("as a share of an update's 10,550 ms of prescribed waits: ratio %.4f\n", 1 + lateMs / 10550);
    return 0;
}
