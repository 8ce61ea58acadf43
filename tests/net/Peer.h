#pragma once

// The far side of the endpoint tests, written with raw sockets: loopback
// addresses only, ports chosen by the system so tests can run side by side.
// Setup failures throw, which fails the test that met them.

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "Sockets.h"

namespace peer {

class Fd {
 public:
  explicit Fd(int fd = -1) : fd_(fd) {}
  Fd(Fd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  Fd& operator=(Fd&& other) noexcept { return Reset(std::exchange(other.fd_, -1)), *this; }
  ~Fd() { Reset(); }
  int Get() const { return fd_; }
  void Reset(int fd = -1) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
  }

 private:
  int fd_;
};

inline int Check(int result, const char* what) {
  if (result < 0) throw std::runtime_error(std::string("peer: ") + what);
  return result;
}

inline sockaddr_in Address(const char* ip, std::uint16_t port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  inet_pton(AF_INET, ip, &a.sin_addr);
  return a;
}

inline Fd Bound(int type, const char* ip = "127.0.0.1", std::uint16_t port = 0) {
  Fd fd(Check(::socket(AF_INET, type, 0), "socket"));
  const int on = 1;
  setsockopt(fd.Get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
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
inline short Wait(int fd, short events = POLLIN, int ms = 1000) {
  pollfd p{fd, events, 0};
  return ::poll(&p, 1, ms) > 0 ? p.revents : 0;
}

inline Fd Accept(int listener) {
  if (Wait(listener) == 0) throw std::runtime_error("peer: no connection");
  return Fd(Check(::accept(listener, nullptr, nullptr), "accept"));
}

inline std::uint16_t PortOf(int fd) {
  sockaddr_in a{};
  socklen_t size = sizeof a;
  Check(::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &size), "getsockname");
  return ntohs(a.sin_port);
}

inline void SendTo(int fd, const std::string& data, std::uint16_t port) {
  const sockaddr_in a = Address("127.0.0.1", port);
  Check(static_cast<int>(::sendto(fd, data.data(), data.size(), 0, reinterpret_cast<const sockaddr*>(&a), sizeof a)),
        "sendto");
}

// One recv after waiting for data; empty when none came.
inline std::string Receive(int fd) {
  char buf[4096];
  const auto n = Wait(fd) != 0 ? ::recv(fd, buf, sizeof buf, MSG_DONTWAIT) : -1;
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

}  // namespace peer
