#include "SocketAddress.h"

#include <charconv>
#include <cstdio>
#include <cstring>
#include <vector>

#include "SocketPlatform.h"

namespace {

std::string DottedFromEntry(const hostent* entry) {
    if (entry == nullptr || entry->h_addrtype != AF_INET || entry->h_length != 4 || entry->h_addr_list == nullptr ||
        entry->h_addr_list[0] == nullptr)
        return {};
    const auto* b = reinterpret_cast<const unsigned char*>(entry->h_addr_list[0]);
    char text[16];
    std::snprintf(text, sizeof text, "%d.%d.%d.%d", b[0], b[1], b[2], b[3]);
    return text;
}

// The classic host-entry lookup rather than getaddrinfo: the latter may
// reorder a name's addresses, and the first one as listed is the one wanted.
std::string LookUpDotted(const char* name) {
#ifdef _WIN32
    return DottedFromEntry(gethostbyname(name));
#else
    hostent entry{};
    hostent* found = nullptr;
    int lookupError = 0;
    std::vector<char> scratch(2048);
    while (gethostbyname_r(name, &entry, scratch.data(), scratch.size(), &found, &lookupError) == ERANGE &&
           scratch.size() < (1u << 20))
        scratch.resize(scratch.size() * 2);
    return DottedFromEntry(found);
#endif
}

// Port in host byte order, or -1 when the services database has no such name.
int LookUpService(const char* name) {
#ifdef _WIN32
    const servent* found = getservbyname(name, nullptr);
#else
    servent entry{};
    servent* found = nullptr;
    std::vector<char> scratch(1024);
    while (getservbyname_r(name, nullptr, &entry, scratch.data(), scratch.size(), &found) == ERANGE &&
           scratch.size() < (1u << 20))
        scratch.resize(scratch.size() * 2);
#endif
    return found != nullptr ? ntohs(static_cast<std::uint16_t>(found->s_port)) : -1;
}

bool IsDecimalDigit(char c) { return c >= '0' && c <= '9'; }

}  // namespace

std::string HostToDotted(const std::string& host) {
    const char* text = host.c_str();
    if (*text == '\0') return "0.0.0.0";
    if (IsDecimalDigit(*text)) return DottedToIPv4(text) == IPv4None ? std::string() : text;
    return LookUpDotted(text);
}

std::uint32_t DottedToIPv4(const std::string& dotted) {
    if (dotted.c_str()[0] == '\0') return IPv4None;
    return ntohl(inet_addr(dotted.c_str()));
}

std::uint32_t HostToIPv4(const std::string& host) { return DottedToIPv4(HostToDotted(host)); }

std::uint16_t PortFromText(const std::string& port) {
    const char* text = port.c_str();
    if (*text == '\0') return 0;
    if (const int service = LookUpService(text); service >= 0) return static_cast<std::uint16_t>(service);
    const char* end = text + std::strlen(text);
    unsigned long number = 0;
    const auto [stop, error] = std::from_chars(text, end, number);
    if (error != std::errc() || stop != end || number > 0xFFFF) return 0;
    return static_cast<std::uint16_t>(number);
}

TIpv4Endpoint FormSocketAddress(const std::string& host, const std::string& port) {
    return {HostToIPv4(host), PortFromText(port)};
}

bool IsConnectableEndpoint(const TIpv4Endpoint& endpoint) {
    return endpoint.Address != IPv4Any && endpoint.Address != IPv4None && endpoint.Port != 0;
}
