#pragma once

// The far side of the endpoint tests, written with raw sockets: loopback
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
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "Sockets.h"

namespace peer {

#ifdef _WIN32
inline int CloseHandle(TSocketHandle s) { return ::closesocket(s); }
inline int PollHandles(pollfd* p, unsigned long n, int ms) { return ::WSAPoll(p, n, ms); }
// Windows has no per-call non-blocking flag; the peer only receives after a wait.
inline constexpr int kDontWait = 0;
#else
inline int CloseHandle(TSocketHandle s) { return ::close(s); }
inline int PollHandles(pollfd* p, nfds_t n, int ms) { return ::poll(p, n, ms); }
inline constexpr int kDontWait = MSG_DONTWAIT;
#endif

class Fd {
public:
    explicit Fd(TSocketHandle fd = InvalidSocketHandle) : fd_(fd) {}
    Fd(Fd&& other) noexcept : fd_(std::exchange(other.fd_, InvalidSocketHandle)) {}
    Fd& operator=(Fd&& other) noexcept { return Reset(std::exchange(other.fd_, InvalidSocketHandle)), *this; }
    ~Fd() { Reset(); }
    TSocketHandle Get() const { return fd_; }
    void Reset(TSocketHandle fd = InvalidSocketHandle) {
        if (fd_ != InvalidSocketHandle) CloseHandle(fd_);
        fd_ = fd;
    }

private:
    TSocketHandle fd_;
};

inline int Check(int result, const char* what) {
    if (result < 0) throw std::runtime_error(std::string("peer: ") + what);
    return result;
}

inline TSocketHandle CheckHandle(TSocketHandle handle, const char* what) {
    if (handle == InvalidSocketHandle) throw std::runtime_error(std::string("peer: ") + what);
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
    setsockopt(fd.Get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
#endif
    const sockaddr_in a = Address(ip, port);
    Check(::bind(fd.Get(), reinterpret_cast<const sockaddr*>(&a), sizeof a), "bind");
    return fd;
}

inline Fd Udp(const char* ip = "127.0.0.1", std::uint16_t port = 0) { return Bound(SOCK_DGRAM, ip, port); }

inline Fd TcpListener(int backlog = 8) {
    Fd fd = Bound(SOCK_STREAM);
    Check(::listen(fd.Get(), backlog), "listen");
    return fd;
}

// The poll events that occurred, 0 on timeout.
inline short Wait(TSocketHandle fd, short events = POLLIN, int ms = 1000) {
    pollfd p{};
    p.fd = fd;
    p.events = events;
    return PollHandles(&p, 1, ms) > 0 ? p.revents : 0;
}

inline Fd Accept(TSocketHandle listener) {
    if (Wait(listener) == 0) throw std::runtime_error("peer: no connection");
    return Fd(CheckHandle(::accept(listener, nullptr, nullptr), "accept"));
}

inline std::uint16_t PortOf(TSocketHandle fd) {
    sockaddr_in a{};
    socklen_t size = sizeof a;
    Check(::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &size), "getsockname");
    return ntohs(a.sin_port);
}

inline void SendTo(TSocketHandle fd, const std::string& data, std::uint16_t port) {
    const sockaddr_in a = Address("127.0.0.1", port);
    Check(static_cast<int>(::sendto(fd, data.data(), static_cast<int>(data.size()), 0,
                                    reinterpret_cast<const sockaddr*>(&a), sizeof a)),
          "sendto");
}

// One recv after waiting for data; empty when none came.
inline std::string Receive(TSocketHandle fd) {
    char buf[4096];
    const auto n = Wait(fd) != 0 ? ::recv(fd, buf, sizeof buf, kDontWait) : -1;
    return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
}

inline std::unique_ptr<TCustomIpClient> MakeEndpoint(bool tcp) {
    if (tcp) return std::make_unique<TTcpClient>();
    return std::make_unique<TUdpSocket>();
}

// Points an endpoint at a loopback port the way the window sets it up.
inline void Aim(TCustomIpClient& endpoint, std::uint16_t port, const std::string& host = "127.0.0.1") {
    endpoint.SetBlockMode(bmNonBlocking);
    endpoint.SetRemoteHost(host);
    endpoint.SetRemotePort(std::to_string(port));
}

// What the endpoint's next ReceiveBytes returns; nothing for -1.
inline std::optional<std::string> Take(TBaseSocket& endpoint, int32_t count = 2048) {
    std::vector<char> buf(static_cast<size_t>(count));
    const int32_t n = endpoint.ReceiveBytes(buf.data(), count);
    if (n < 0) return std::nullopt;
    return std::string(buf.data(), static_cast<size_t>(n));
}

// The system's error codes the endpoint reports through OnError.
#ifdef _WIN32
inline constexpr int kWouldBlock = WSAEWOULDBLOCK;
inline constexpr int kMessageTooLong = WSAEMSGSIZE;
#else
inline constexpr int kWouldBlock = EAGAIN;
inline constexpr int kMessageTooLong = EMSGSIZE;
#endif

}  // namespace peer
