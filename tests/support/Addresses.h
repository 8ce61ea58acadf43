// Loopback addresses for simulated meters.
#pragma once

#include <arpa/inet.h>

#include <cstdint>
#include <random>
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

// A loopback address of this process's own, 127.16-99.x.y at random: the
// tool locks a meter for the whole computer, so test programs that run at
// once, from one checkout or several, must not share their meters' address.
inline const std::string& LoopbackOfItsOwn() {
    static const std::string address = [] {
        std::random_device random;
        std::string a = "127." + std::to_string(16 + random() % 84);
        for (int octet = 0; octet < 2; ++octet) a += "." + std::to_string(1 + random() % 254);
        return a;
    }();
    return address;
}

}  // namespace testsupport
