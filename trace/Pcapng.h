// The blocks of a pcapng file (one section, one interface of raw IPv4
// packets), little-endian, each padded to 32 bits.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace trace {

// LINKTYPE_RAW: each packet begins with its IPv4 header.
inline constexpr std::uint16_t kLinkTypeRaw = 101;

// The section's start: the program that wrote it (shb_userappl) and a comment.
std::vector<std::uint8_t> SectionHeader(const std::string& application, const std::string& comment);
// Interface 0: its name, description and comment; timestamps in microseconds.
std::vector<std::uint8_t> InterfaceDescription(const std::string& name, const std::string& description,
                                               const std::string& comment);
// One packet of interface 0, at `micros` since 1970 (UTC).
std::vector<std::uint8_t> EnhancedPacket(std::uint64_t micros, std::span<const std::uint8_t> packet);

}  // namespace trace
