// Loopback addresses for many simulated meters at once.
#pragma once

#include <arpa/inet.h>

#include <cstdint>
#include <string>
#include <vector>

namespace testsupport {

// `count` consecutive addresses from `first` on, across octets.
inline std::vector<std::string> ConsecutiveAddresses(const std::string& first, int count) {
    in_addr a{};
    inet_pton(AF_INET, first.c_str(), &a);
    std::vector<std::string> out;
    for (int i = 0; i < count; ++i) {
        const in_addr next{htonl(ntohl(a.s_addr) + static_cast<uint32_t>(i))};
        char text[INET_ADDRSTRLEN];
        inet_ntop(AF_INET, &next, text, sizeof text);
        out.emplace_back(text);
    }
    return out;
}

}  // namespace testsupport
