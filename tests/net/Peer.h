#pragma once

// The far side of the endpoint tests, written with raw sockets: loopback
// addresses only, ports chosen by the system so tests can run side by side.

#include <poll.h>
#include <unistd.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "Sockets.h"

namespace peer {

class Fd {
 public:
  explicit Fd(int fd = -1) : fd_(fd) {}
  Fd(Fd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  Fd& operator=(Fd&& other) noexcept {
    Reset(std::exchange(other.fd_, -1));
    return *this;
  }
  ~Fd() { Reset(); }
  int Get() const { return fd_; }
  void Reset(int fd = -1) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
  }

 private:
  int fd_;
};

Fd Udp(const char* ip = "127.0.0.1", std::uint16_t port = 0);
Fd TcpListener(int backlog = 8);
Fd Accept(int listener);  // throws when nobody connects within a second
std::uint16_t PortOf(int fd);
// The poll events that occurred, 0 on timeout.
short Wait(int fd, short events = POLLIN, int ms = 1000);
void SendTo(int fd, const std::string& data, std::uint16_t port);
// One recv after waiting for data; empty when none came.
std::string Receive(int fd);

std::unique_ptr<TCustomIpClient> MakeEndpoint(bool tcp);
// Points an endpoint at a loopback port the way the window sets it up.
void Aim(TCustomIpClient& endpoint, std::uint16_t port, const std::string& host = "127.0.0.1");
// What the endpoint's next ReceiveBytes returns; nothing for -1.
std::optional<std::string> Take(TBaseSocket& endpoint, int32_t count = 2048);

}  // namespace peer
