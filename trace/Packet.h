// Frames as a capture shows them on the wire: each one a whole IPv4 packet
// with its UDP or TCP header, checksums included, so that every capture
// reader takes it as it would take a real one.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "platform/Socket.h"

namespace trace {

using Endpoint = platform::SocketEndpoint;

// The ones' complement of the ones' complement sum of 16-bit big-endian
// words (RFC 1071), `seed` added first (a pseudo-header's sum).
std::uint16_t InternetChecksum(std::span<const std::uint8_t> bytes, std::uint32_t seed = 0);

// A datagram from `from` to `to`; `id` is the IPv4 identification.
std::vector<std::uint8_t> UdpPacket(const Endpoint& from, const Endpoint& to, std::span<const std::uint8_t> payload,
                                    std::uint16_t id);

// A segment with PSH and ACK set.
struct TcpNumbers {
    std::uint32_t seq = 0, ack = 0;
};
std::vector<std::uint8_t> TcpPacket(const Endpoint& from, const Endpoint& to, const TcpNumbers& numbers,
                                    std::span<const std::uint8_t> payload, std::uint16_t id);

}  // namespace trace
