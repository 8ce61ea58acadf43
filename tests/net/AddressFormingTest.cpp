// Address texts to the IPv4 address a link connects to.

#include <gtest/gtest.h>

#include "net/SocketAddress.h"

using namespace net;

namespace {

struct HostCase {
    std::string host;
    std::string dotted;
    std::uint32_t address;
};

const HostCase kHosts[] = {
    {"", "0.0.0.0", kAnyAddress},
    {"127.0.0.1", "127.0.0.1", 0x7F000001},
    // Every number form of the classic parser: short forms, octal, hex.
    {"10.1", "10.1", 0x0A000001},
    {"10.1.2", "10.1.2", 0x0A010002},
    {"2130706433", "2130706433", 0x7F000001},
    {"192.168.001.010", "192.168.001.010", 0xC0A80108},
    {"0x7f.1", "0x7f.1", 0x7F000001},
    // A leading digit means a number: no name lookup, just no address.
    {"1abc", "", kNoAddress},
    {"192.168.1.08", "", kNoAddress},
    {"256.1.1.1", "", kNoAddress},
    {"1.2.3.4.5", "", kNoAddress},
    {"255.255.255.255", "", kNoAddress},
    // Anything else is a name; the first IPv4 address found is taken.
    {"localhost", "127.0.0.1", 0x7F000001},
    {"nosuchmeter", "", kNoAddress},
    {" 127.0.0.1", "", kNoAddress},
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

}  // namespace
