#pragma once

// The far side of the socket tests, written with raw sockets: loopback
// addresses only, ports chosen by the system so tests can run side by side.
// Setup failures throw, which fails the test that met them.

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

#include <cerrno>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "platform/Socket.h"

namespace testsupport {

using platform::kNoSocket;
using platform::SocketHandle;

#ifdef _WIN32
using Raw = SOCKET;
inline int CloseRaw(Raw s) { return ::closesocket(s); }
inline int PollHandles(pollfd* p, unsigned long n, int ms) { return ::WSAPoll(p, n, ms); }
// Windows has no per-call non-blocking flag; the peer only receives after a wait.
inline constexpr int kDontWait = 0;
#else
using Raw = int;
inline int CloseRaw(Raw s) { return ::close(s); }
inline int PollHandles(pollfd* p, nfds_t n, int ms) { return ::poll(p, n, ms); }
inline constexpr int kDontWait = MSG_DONTWAIT;
#endif

inline Raw R(SocketHandle h) { return static_cast<Raw>(h); }

class Fd {
public:
    explicit Fd(SocketHandle fd = kNoSocket) : fd_(fd) {}
    Fd(Fd&& other) noexcept : fd_(std::exchange(other.fd_, kNoSocket)) {}
    Fd& operator=(Fd&& other) noexcept { return Reset(std::exchange(other.fd_, kNoSocket)), *this; }
    ~Fd() { Reset(); }
    SocketHandle Get() const { return fd_; }
    void Reset(SocketHandle fd = kNoSocket) {
        if (fd_ != kNoSocket) CloseRaw(R(fd_));
        fd_ = fd;
    }

private:
    SocketHandle fd_;
};

inline int Check(int result, const char* what) {
    if (result < 0) throw std::runtime_error(std::string("peer: ") + what);
    return result;
}

inline SocketHandle CheckHandle(Raw raw, const char* what) {
    const auto handle = static_cast<SocketHandle>(raw);
    if (handle == kNoSocket) throw std::runtime_error(std::string("peer: ") + what);
    return handle;
}

inline sockaddr_in Address(const char* ip, std::uint16_t port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    inet_pton(AF_INET, ip, &a.sin_addr);
    return a;
}

inline Fd Bound(int type, const char* ip = "127.0.0.1", std::uint16_t port = 0) {
    Fd fd(CheckHandle(::socket(AF_INET, type, 0), "socket"));
    // Windows lets SO_REUSEADDR take over a port another socket is bound to.
#ifndef _WIN32
    const int on = 1;
    setsockopt(R(fd.Get()), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
#endif
    const sockaddr_in a = Address(ip, port);
    Check(::bind(R(fd.Get()), reinterpret_cast<const sockaddr*>(&a), sizeof a), "bind");
    return fd;
}

inline Fd Udp(const char* ip = "127.0.0.1", std::uint16_t port = 0) { return Bound(SOCK_DGRAM, ip, port); }

inline Fd TcpListener(int backlog = 8) {
    Fd fd = Bound(SOCK_STREAM);
    Check(::listen(R(fd.Get()), backlog), "listen");
    return fd;
}

// The poll events that occurred, 0 on timeout.
inline short Wait(SocketHandle fd, short events = POLLIN, int ms = 1000) {
    pollfd p{};
    p.fd = R(fd);
    p.events = events;
    return PollHandles(&p, 1, ms) > 0 ? p.revents : 0;
}

inline Fd Accept(SocketHandle listener) {
    if (Wait(listener) == 0) throw std::runtime_error("peer: no connection");
    return Fd(CheckHandle(::accept(R(listener), nullptr, nullptr), "accept"));
}

inline std::uint16_t PortOf(SocketHandle fd) {
    sockaddr_in a{};
    socklen_t size = sizeof a;
    Check(::getsockname(R(fd), reinterpret_cast<sockaddr*>(&a), &size), "getsockname");
    return ntohs(a.sin_port);
}

inline void SendTo(SocketHandle fd, const std::string& data, std::uint16_t port) {
    const sockaddr_in a = Address("127.0.0.1", port);
    Check(static_cast<int>(::sendto(R(fd), data.data(), static_cast<int>(data.size()), 0,
                                    reinterpret_cast<const sockaddr*>(&a), sizeof a)),
          "sendto");
}

inline void Send(SocketHandle fd, const std::string& data) {
    Check(static_cast<int>(::send(R(fd), data.data(), static_cast<int>(data.size()), 0)), "send");
}

// One recv after waiting for data; empty when none came.
inline std::string Receive(SocketHandle fd) {
    char buf[4096];
    const auto n = Wait(fd) != 0 ? ::recv(R(fd), buf, sizeof buf, kDontWait) : -1;
    return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
}

// Closes with no time to linger: the peer's side sees its connection reset.
inline void Abort(Fd& fd) {
    linger abort{};
    abort.l_onoff = 1;
    setsockopt(R(fd.Get()), SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&abort), sizeof abort);
    fd.Reset();
}

// What the next receive of a link or socket returns; nothing for -1.
template <typename Receiver>
std::optional<std::string> Take(Receiver& from, int32_t count = 2048) {
    std::vector<uint8_t> buf(static_cast<size_t>(count));
    const auto got = from.Receive(buf);
    if (!got || got->cut) return std::nullopt;
    return std::string(got->bytes.begin(), got->bytes.end());
}

}  // namespace testsupport
