#include "trace/Packet.h"

namespace trace {
namespace {

constexpr std::size_t kIpHeader = 20, kUdpHeader = 8, kTcpHeader = 20;
constexpr std::uint8_t kUdp = 17, kTcp = 6;

void Put16(std::vector<std::uint8_t>& out, std::size_t at, std::uint32_t value) {
    out[at] = static_cast<std::uint8_t>(value >> 8);
    out[at + 1] = static_cast<std::uint8_t>(value);
}

void Put32(std::vector<std::uint8_t>& out, std::size_t at, std::uint32_t value) {
    Put16(out, at, value >> 16);
    Put16(out, at + 2, value);
}

std::uint32_t Sum(std::span<const std::uint8_t> bytes, std::uint32_t sum) {
    for (std::size_t i = 0; i + 1 < bytes.size(); i += 2) sum += (std::uint32_t{bytes[i]} << 8) | bytes[i + 1];
    if (bytes.size() % 2 != 0) sum += std::uint32_t{bytes.back()} << 8;
    return sum;
}

// The IPv4 header and room for the transport's header and the payload;
// the transport's checksum still to come.
std::vector<std::uint8_t> Ipv4(const Endpoint& from, const Endpoint& to, std::uint8_t protocol, std::size_t header,
                               std::span<const std::uint8_t> payload, std::uint16_t id) {
    const std::size_t total = kIpHeader + header + payload.size();
    std::vector<std::uint8_t> p(total);
    p[0] = 0x45;  // version 4, five words of header
    Put16(p, 2, static_cast<std::uint32_t>(total));
    Put16(p, 4, id);
    Put16(p, 6, 0x4000);  // don't fragment, as the system's sockets send
    p[8] = 64;
    p[9] = protocol;
    Put32(p, 12, from.address);
    Put32(p, 16, to.address);
    Put16(p, 10, InternetChecksum(std::span(p).first(kIpHeader)));
    Put16(p, kIpHeader, from.port);
    Put16(p, kIpHeader + 2, to.port);
    std::copy(payload.begin(), payload.end(), p.begin() + static_cast<std::ptrdiff_t>(kIpHeader + header));
    return p;
}

// The transport's checksum over the pseudo-header and everything after the IPv4 header.
std::uint16_t TransportChecksum(const std::vector<std::uint8_t>& p) {
    const std::span<const std::uint8_t> segment = std::span(p).subspan(kIpHeader);
    const std::uint32_t pseudo =
        Sum(std::span(p).subspan(12, 8), 0) + p[9] + static_cast<std::uint32_t>(segment.size());
    return InternetChecksum(segment, pseudo);
}

}  // namespace

std::uint16_t InternetChecksum(std::span<const std::uint8_t> bytes, std::uint32_t seed) {
    std::uint32_t sum = Sum(bytes, seed);
    while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
    return static_cast<std::uint16_t>(~sum);
}

std::vector<std::uint8_t> UdpPacket(const Endpoint& from, const Endpoint& to, std::span<const std::uint8_t> payload,
                                    std::uint16_t id) {
    std::vector<std::uint8_t> p = Ipv4(from, to, kUdp, kUdpHeader, payload, id);
    Put16(p, kIpHeader + 4, static_cast<std::uint32_t>(kUdpHeader + payload.size()));
    const std::uint16_t sum = TransportChecksum(p);
    Put16(p, kIpHeader + 6, sum == 0 ? 0xFFFF : sum);  // zero would say "no checksum"
    return p;
}

std::vector<std::uint8_t> TcpPacket(const Endpoint& from, const Endpoint& to, const TcpNumbers& numbers,
                                    std::span<const std::uint8_t> payload, std::uint16_t id) {
    std::vector<std::uint8_t> p = Ipv4(from, to, kTcp, kTcpHeader, payload, id);
    Put32(p, kIpHeader + 4, numbers.seq);
    Put32(p, kIpHeader + 8, numbers.ack);
    p[kIpHeader + 12] = (kTcpHeader / 4) << 4;
    p[kIpHeader + 13] = 0x18;  // PSH, ACK
    Put16(p, kIpHeader + 14, 0xFFFF);
    Put16(p, kIpHeader + 16, TransportChecksum(p));
    return p;
}

}  // namespace trace
