#pragma once

// Turning the address text of a link into the IPv4 address it connects to.
// Kept apart from the links so the rules can be checked without opening a
// socket.

#include <cstdint>
#include <string>

namespace net {

// Addresses are numbers in host byte order: 10.0.0.1 is 0x0A000001.
inline constexpr std::uint32_t kAnyAddress = 0x00000000;  // 0.0.0.0
inline constexpr std::uint32_t kNoAddress = 0xFFFFFFFF;   // what a text that is no address gives

// Host text to dotted text. Texts end at their first zero byte, as every
// text typed into the window does.
//  - empty: "0.0.0.0";
//  - first character a decimal digit: the text itself when it is a number
//    form the classic address parser accepts (10.1, 0x7f.1, 192.168.001.010),
//    otherwise empty. Such a text is never looked up by name, so "1abc"
//    costs no look-up;
//  - anything else: a synchronous name look-up; the first IPv4 address of the
//    entry as "a.b.c.d", or empty when the name is unknown.
std::string HostToDotted(const std::string& host);

// Dotted text to address by the classic parser; kNoAddress for an empty or
// invalid text (and, unavoidably, for 255.255.255.255 itself).
std::uint32_t DottedToIPv4(const std::string& dotted);

// Both steps at once: what a link connects to.
std::uint32_t HostToIPv4(const std::string& host);

// 0.0.0.0, the limited broadcast address and port 0 name no peer. Some
// systems would quietly take 0.0.0.0 for the local host, so a link never
// connects to these.
bool IsConnectable(std::uint32_t address, std::uint16_t port);

}  // namespace net
