#pragma once

// Turning the address texts of an endpoint into an IPv4 socket address.
// Kept apart from the endpoint classes so the rules can be checked without
// opening a socket.

#include <cstdint>
#include <string>

// Addresses are numbers in host byte order: 10.0.0.1 is 0x0A000001.
inline constexpr std::uint32_t IPv4Any = 0x00000000;   // 0.0.0.0
inline constexpr std::uint32_t IPv4None = 0xFFFFFFFF;  // what a text that is no address gives

struct TIpv4Endpoint {
    std::uint32_t Address = IPv4None;
    std::uint16_t Port = 0;
    bool operator==(const TIpv4Endpoint&) const = default;
};

// Host text to dotted text. Texts end at their first zero byte, as every
// text typed into the window does.
//  - empty: "0.0.0.0";
//  - first character a decimal digit: the text itself when it is a number
//    form the classic address parser accepts (10.1, 0x7f.1, 192.168.001.010),
//    otherwise empty. Such a text is never looked up by name, so "1abc"
//    costs no lookup;
//  - anything else: a synchronous name lookup; the first IPv4 address of the
//    entry as "a.b.c.d", or empty when the name is unknown.
std::string HostToDotted(const std::string& host);

// Dotted text to address by the classic parser; IPv4None for an empty or
// invalid text (and, unavoidably, for 255.255.255.255 itself).
std::uint32_t DottedToIPv4(const std::string& dotted);

// Both steps at once: what the endpoint connects to.
std::uint32_t HostToIPv4(const std::string& host);

// Port text to port: 0 when empty; a service name from the services database
// wins over the number; otherwise the text read as a decimal number. A text
// that is neither, or a number above 65535, gives 0 rather than a port the
// operator never meant.
std::uint16_t PortFromText(const std::string& port);

TIpv4Endpoint FormSocketAddress(const std::string& host, const std::string& port);

// 0.0.0.0, the limited broadcast address and port 0 name no peer. Some
// systems would quietly take 0.0.0.0 for the local host, so an endpoint never
// connects to these.
bool IsConnectableEndpoint(const TIpv4Endpoint& endpoint);
