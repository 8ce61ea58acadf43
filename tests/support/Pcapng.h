// The packets of a little-endian pcapng file, read without any capture
// library: enough to count and look into what a trace holds.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace testsupport {

// Each Enhanced Packet Block's data, in file order; nothing when the file
// does not begin with a Section Header Block or a block runs past its end.
inline std::optional<std::vector<std::string>> PcapngPackets(const std::string& file) {
    const auto u32 = [&file](size_t at) {
        std::uint32_t v = 0;
        for (int i = 3; i >= 0; --i) v = (v << 8) | static_cast<unsigned char>(file[at + static_cast<size_t>(i)]);
        return v;
    };
    if (file.size() < 12 || file.compare(0, 4, "\x0A\x0D\x0D\x0A") != 0) return std::nullopt;
    std::vector<std::string> packets;
    for (size_t at = 0; at < file.size();) {
        if (file.size() - at < 12) return std::nullopt;
        const std::uint32_t type = u32(at), length = u32(at + 4);
        if (length < 12 || length % 4 != 0 || length > file.size() - at || u32(at + length - 4) != length)
            return std::nullopt;
        if (type == 6) packets.push_back(file.substr(at + 28, u32(at + 20)));
        at += length;
    }
    return packets;
}

}  // namespace testsupport
