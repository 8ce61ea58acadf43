#include "net/SocketAddress.h"

#include <cstdio>

#include "platform/Socket.h"

namespace net {
namespace {

bool IsDecimalDigit(char c) { return c >= '0' && c <= '9'; }

std::string Dotted(std::uint32_t a) {
    char text[16];
    std::snprintf(text, sizeof text, "%u.%u.%u.%u", a >> 24, (a >> 16) & 0xFF, (a >> 8) & 0xFF, a & 0xFF);
    return text;
}

}  // namespace

std::string HostToDotted(const std::string& host) {
    const std::string text = host.c_str();
    if (text.empty()) return "0.0.0.0";
    if (IsDecimalDigit(text[0])) return platform::ParseDottedAddress(text) ? text : std::string();
    const auto found = platform::LookUpHostName(text);
    return found ? Dotted(*found) : std::string();
}

std::uint32_t DottedToIPv4(const std::string& dotted) {
    return platform::ParseDottedAddress(dotted).value_or(kNoAddress);
}

std::uint32_t HostToIPv4(const std::string& host) { return DottedToIPv4(HostToDotted(host)); }

bool IsConnectable(std::uint32_t address, std::uint16_t port) {
    return address != kAnyAddress && address != kNoAddress && port != 0;
}

}  // namespace net
