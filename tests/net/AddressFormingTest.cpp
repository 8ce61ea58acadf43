// Host and port texts to the socket address an endpoint connects to.

#include <gtest/gtest.h>

#include "SocketAddress.h"

namespace {

struct HostCase {
    std::string host;
    std::string dotted;
    std::uint32_t address;
};

const HostCase kHosts[] = {
    {"", "0.0.0.0", IPv4Any},
    {"127.0.0.1", "127.0.0.1", 0x7F000001},
    // Every number form of the classic parser: short forms, octal, hex.
    {"10.1", "10.1", 0x0A000001},
    {"10.1.2", "10.1.2", 0x0A010002},
    {"2130706433", "2130706433", 0x7F000001},
    {"192.168.001.010", "192.168.001.010", 0xC0A80108},
    {"0x7f.1", "0x7f.1", 0x7F000001},
    // A leading digit means a number: no name lookup, just no address.
    {"1abc", "", IPv4None},
    {"192.168.1.08", "", IPv4None},
    {"256.1.1.1", "", IPv4None},
    {"1.2.3.4.5", "", IPv4None},
    {"255.255.255.255", "", IPv4None},
    // Anything else is a name; the first IPv4 address found is taken.
    {"localhost", "127.0.0.1", 0x7F000001},
    {"nosuchmeter", "", IPv4None},
    {" 127.0.0.1", "", IPv4None},
    // Texts end at a zero byte, as the window's texts do.
    {std::string("10.1\0junk", 9), "10.1", 0x0A000001},
};

void PrintTo(const HostCase& c, std::ostream* out) {
    *out << '"';
    for (const unsigned char ch : c.host) *out << (ch >= 0x20 && ch < 0x7F ? static_cast<char>(ch) : '?');
    *out << '"';
}

class HostForming : public ::testing::TestWithParam<HostCase> {};

TEST_P(HostForming, GivesDottedTextAndAddress) {
    const HostCase& c = GetParam();
    EXPECT_EQ(HostToDotted(c.host), c.dotted);
    EXPECT_EQ(HostToIPv4(c.host), c.address);
}
INSTANTIATE_TEST_SUITE_P(Table, HostForming, ::testing::ValuesIn(kHosts));

struct PortCase {
    std::string port;
    std::uint16_t number;
};

const PortCase kPorts[] = {
    {"", 0},
    {"5555", 5555},
    {"502", 502},
    {"0502", 502},
    {"http", 80},
    {"domain", 53},
    {"65535", 65535},
    // Not a port at all: 0, which no endpoint connects to.
    {"65536", 0},
    {"-1", 0},
    {"+80", 0},
    {"12ab", 0},
    {"nosuchservice", 0},
};

void PrintTo(const PortCase& c, std::ostream* out) { *out << '"' << c.port << '"'; }

class PortForming : public ::testing::TestWithParam<PortCase> {};

TEST_P(PortForming, ServiceNameThenDecimalNumber) { EXPECT_EQ(PortFromText(GetParam().port), GetParam().number); }
INSTANTIATE_TEST_SUITE_P(Table, PortForming, ::testing::ValuesIn(kPorts));

}  // namespace
