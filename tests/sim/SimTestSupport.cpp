#include "tests/sim/SimTestSupport.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <stdexcept>

namespace testsupport {
namespace {

sockaddr_in Loopback(uint16_t port, const std::string& address = "127.0.0.1") {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    if (inet_pton(AF_INET, address.c_str(), &a.sin_addr) != 1 || (ntohl(a.sin_addr.s_addr) >> 24) != 127)
        throw std::invalid_argument("tests stay on loopback: " + address);
    return a;
}

bool Readable(int fd, milliseconds wait) {
    pollfd p{fd, POLLIN, 0};
    return ::poll(&p, 1, static_cast<int>(wait.count())) > 0;
}

Bytes WithChecksum(Bytes frame) {
    unsigned sum = 0;
    for (uint8_t b : frame) sum += b;
    frame.push_back(static_cast<uint8_t>(0x100 - (sum & 0xFF)));
    return frame;
}

}  // namespace

Bytes Text(const std::string& s) { return Bytes(s.begin(), s.end()); }

Bytes EraseFrame() { return WithChecksum({0x45, 0x08, 0x1D}); }

Bytes WriteFrame(uint32_t address, const uint8_t* data) {
    Bytes f = {'W', static_cast<uint8_t>(address >> 16), static_cast<uint8_t>(address >> 8),
               static_cast<uint8_t>(address)};
    f.insert(f.end(), data, data + 1024);
    return WithChecksum(std::move(f));
}

Bytes BootModeRequest(const std::string& password) {
    Bytes f = {0x01, 0xF0, 0x00, 0x00, 0x00, 0x25, 0x01, 0x10, 0x45, 0x71, 0x00, 0x0F, 0x1E};
    const Bytes text = Text("GoToBootMode");
    f.insert(f.end(), text.begin(), text.end());
    f.resize(43, 0);
    for (size_t i = 0; i < password.size() && 25 + i < f.size(); ++i) f[25 + i] = static_cast<uint8_t>(password[i]);
    return f;
}

Bytes FirmwareImage(uint32_t seed) {
    Bytes image(kImageSize, 0xFF);
    uint32_t x = seed | 1;
    const uint32_t dataEnd = 0x08000 + (kImageSize - 0x08000) / 3;
    for (uint32_t a = 0x08000; a < dataEnd; ++a) {
        x = x * 1664525u + 1013904223u;
        image[a] = static_cast<uint8_t>(x >> 24);
    }
    // Blank blocks inside the data, as a padded section leaves them.
    for (uint32_t block : {0x0A000u, 0x0A400u, 0x20000u}) std::fill_n(image.begin() + block, 1024, 0xFF);
    return image;
}

bool IsBlank(const uint8_t* data, size_t n) {
    for (size_t i = 0; i < n; ++i)
        if (data[i] != 0xFF) return false;
    return true;
}

std::vector<uint32_t> BlockOrder() {
    std::vector<uint32_t> order;
    for (uint32_t a = 0x08400; a < kImageSize; a += 1024) order.push_back(a);
    order.push_back(0x08000);
    return order;
}

UdpPeer::UdpPeer(uint16_t port, const std::string& address, bool connected)
    : fd_(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0)),
      address_(Loopback(0, address).sin_addr.s_addr),
      port_(port) {
    const sockaddr_in any = Loopback(0);
    ::bind(fd_, reinterpret_cast<const sockaddr*>(&any), sizeof any);
    sockaddr_in to = Loopback(port);
    to.sin_addr.s_addr = address_;
    if (connected) ::connect(fd_, reinterpret_cast<const sockaddr*>(&to), sizeof to);
}

UdpPeer::~UdpPeer() { ::close(fd_); }

void UdpPeer::Send(const Bytes& d) const {
    sockaddr_in to = Loopback(port_);
    to.sin_addr.s_addr = address_;
    ::sendto(fd_, d.data(), d.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
}

std::optional<Bytes> UdpPeer::Receive(milliseconds wait, uint16_t* fromPort) const {
    if (!Readable(fd_, wait)) return std::nullopt;
    Bytes b(65536);
    sockaddr_in from{};
    socklen_t len = sizeof from;
    const ssize_t n = ::recvfrom(fd_, b.data(), b.size(), 0, reinterpret_cast<sockaddr*>(&from), &len);
    if (n < 0) return std::nullopt;
    if (fromPort) *fromPort = ntohs(from.sin_port);
    b.resize(static_cast<size_t>(n));
    return b;
}

Bytes UdpPeer::Exchange(const Bytes& d, milliseconds wait) const {
    Send(d);
    return Receive(wait).value_or(Bytes{});
}

TcpPeer::TcpPeer(uint16_t port, const std::string& address) : fd_(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
    const sockaddr_in to = Loopback(port, address);
    connected_ = ::connect(fd_, reinterpret_cast<const sockaddr*>(&to), sizeof to) == 0;
    error_ = connected_ ? 0 : errno;
}

TcpPeer::~TcpPeer() { ::close(fd_); }

void TcpPeer::Send(const Bytes& b) const { ::send(fd_, b.data(), b.size(), MSG_NOSIGNAL); }

Bytes TcpPeer::ReceiveSome(milliseconds wait) const {
    if (!Readable(fd_, wait)) return {};
    Bytes b(512);
    const ssize_t n = ::recv(fd_, b.data(), b.size(), 0);
    b.resize(n > 0 ? static_cast<size_t>(n) : 0);
    return b;
}

long JsonNumber(const std::string& line, const std::string& key) {
    const auto at = line.find("\"" + key + "\":");
    if (at == std::string::npos) return -1;
    return std::stol(line.substr(at + key.size() + 3));
}

}  // namespace testsupport
