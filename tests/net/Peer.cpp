#include "Peer.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdlib>
#include <stdexcept>
#include <vector>

namespace peer {
namespace {

sockaddr_in Address(const char* ip, std::uint16_t port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  inet_pton(AF_INET, ip, &a.sin_addr);
  return a;
}

int Check(int result, const char* what) {
  if (result < 0) throw std::runtime_error(std::string("peer: ") + what);
  return result;
}

// Name lookups of unknown names would otherwise ask the configured DNS
// server off this machine; with no attempts allowed the resolver gives up
// without sending, while /etc/hosts still answers for "localhost".
class NoResolverTraffic : public ::testing::Environment {
  void SetUp() override { setenv("RES_OPTIONS", "attempts:0", 1); }
};
[[maybe_unused]] const auto* const kNoResolverTraffic =
    ::testing::AddGlobalTestEnvironment(new NoResolverTraffic);

}  // namespace

Fd Udp(const char* ip, std::uint16_t port) {
  Fd fd(Check(::socket(AF_INET, SOCK_DGRAM, 0), "socket"));
  const int on = 1;
  setsockopt(fd.Get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  const sockaddr_in a = Address(ip, port);
  Check(::bind(fd.Get(), reinterpret_cast<const sockaddr*>(&a), sizeof a), "bind");
  return fd;
}

Fd TcpListener(int backlog) {
  Fd fd(Check(::socket(AF_INET, SOCK_STREAM, 0), "socket"));
  const sockaddr_in a = Address("127.0.0.1", 0);
  Check(::bind(fd.Get(), reinterpret_cast<const sockaddr*>(&a), sizeof a), "bind");
  Check(::listen(fd.Get(), backlog), "listen");
  return fd;
}

Fd Accept(int listener) {
  if (Wait(listener) == 0) throw std::runtime_error("peer: no connection");
  return Fd(Check(::accept(listener, nullptr, nullptr), "accept"));
}

std::uint16_t PortOf(int fd) {
  sockaddr_in a{};
  socklen_t size = sizeof a;
  Check(::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &size), "getsockname");
  return ntohs(a.sin_port);
}

short Wait(int fd, short events, int ms) {
  pollfd p{fd, events, 0};
  return ::poll(&p, 1, ms) > 0 ? p.revents : 0;
}

void SendTo(int fd, const std::string& data, std::uint16_t port) {
  const sockaddr_in a = Address("127.0.0.1", port);
  Check(static_cast<int>(::sendto(fd, data.data(), data.size(), 0,
                                  reinterpret_cast<const sockaddr*>(&a), sizeof a)),
        "sendto");
}

std::string Receive(int fd) {
  std::vector<char> buf(4096);
  if (Wait(fd) == 0) return {};
  const auto n = ::recv(fd, buf.data(), buf.size(), MSG_DONTWAIT);
  return n > 0 ? std::string(buf.data(), static_cast<size_t>(n)) : std::string();
}

std::unique_ptr<TCustomIpClient> MakeEndpoint(bool tcp) {
  if (tcp) return std::make_unique<TTcpClient>();
  return std::make_unique<TUdpSocket>();
}

void Aim(TCustomIpClient& endpoint, std::uint16_t port, const std::string& host) {
  endpoint.SetBlockMode(bmNonBlocking);
  endpoint.SetRemoteHost(host);
  endpoint.SetRemotePort(std::to_string(port));
}

std::optional<std::string> Take(TBaseSocket& endpoint, int32_t count) {
  std::vector<char> buf(static_cast<size_t>(count));
  const int32_t n = endpoint.ReceiveBytes(buf.data(), count);
  if (n < 0) return std::nullopt;
  return std::string(buf.data(), static_cast<size_t>(n));
}

}  // namespace peer
