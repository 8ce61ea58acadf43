// The bytes on the wire and the texts made from them, compared exactly.
#include <gtest/gtest.h>

#include <cstdio>
#include <numeric>
#include <string>
#include <vector>

#include "Frames.h"

using namespace loader;

namespace {

std::string Hex(const uint8_t* p, std::size_t n) {
    std::string s;
    char b[4];
    for (std::size_t i = 0; i < n; ++i) {
        std::snprintf(b, sizeof b, i ? " %02X" : "%02X", p[i]);
        s += b;
    }
    return s;
}

uint8_t Sum(const uint8_t* p, std::size_t n) { return static_cast<uint8_t>(std::accumulate(p, p + n, 0u)); }

}  // namespace

TEST(Checksum, MakesTheWholeFrameSumToZero) {
    const struct {
        std::vector<uint8_t> bytes;
        uint8_t checksum;
    } cases[] = {
        {{0x45, 0x08, 0x1D}, 0x96}, {{}, 0x00}, {{0x00}, 0x00}, {{0x01}, 0xFF}, {{0xFF}, 0x01}, {{0x80, 0x80}, 0x00},
        {{0xFF, 0xFF, 0xFF}, 0x03},
    };
    for (const auto& c : cases) EXPECT_EQ(Checksum(c.bytes.data(), c.bytes.size()), c.checksum);
}

TEST(EraseFrame, IsTheFourConstantBytes) {
    uint8_t f[8] = {};
    ASSERT_EQ(BuildEraseFrame(f), 4u);
    EXPECT_EQ(Hex(f, 4), "45 08 1D 96");
}

TEST(WriteFrame, CarriesAddressDataAndChecksum) {
    std::vector<uint8_t> data(1024);
    for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 7 + 3);
    const struct {
        uint32_t address;
        const char* head;
    } cases[] = {
        {0x08400, "57 00 84 00"},    {0x08000, "57 00 80 00"},
        {0x7FC00, "57 07 FC 00"},    {0x1ABCDE, "57 1A BC DE"},  // 24 bits go out big-endian
        {0xFF123456, "57 12 34 56"},                             // higher bits are not sent
    };
    for (const auto& c : cases) {
        uint8_t f[1100];
        std::fill(std::begin(f), std::end(f), 0xEE);
        ASSERT_EQ(BuildWriteFrame(f, c.address, data.data()), 1029u);
        EXPECT_EQ(Hex(f, 4), c.head);
        EXPECT_TRUE(std::equal(data.begin(), data.end(), f + 4));
        EXPECT_EQ(Sum(f, 1029), 0) << "the 8-bit sum of a whole frame is zero";
        EXPECT_EQ(f[1029], 0xEE) << "nothing written behind the frame";
    }
}

TEST(IsBlank, OnlyWhenEveryByteIsErased) {
    std::vector<uint8_t> b(1024, 0xFF);
    EXPECT_TRUE(IsBlank(b.data(), b.size()));
    for (std::size_t at : {std::size_t{0}, std::size_t{511}, std::size_t{1023}}) {
        auto c = b;
        c[at] = 0xFE;
        EXPECT_FALSE(IsBlank(c.data(), c.size())) << at;
    }
}

TEST(Percent, DividesFirstAndRoundsHalvesAwayFromZero) {
    const int32_t lo = 0x8000, hi = 0x7FFFF;
    auto afterStep = [&](int k) { return Percent(std::min<int32_t>(lo + 1024 * k, hi), lo, hi); };
    const struct {
        int step;
        int percent;
    } cases[] = {{1, 0}, {2, 0}, {3, 1}, {240, 50}, {477, 99}, {478, 100}, {479, 100}, {480, 100}};
    for (const auto& c : cases) EXPECT_EQ(afterStep(c.step), c.percent) << "step " << c.step;
    // Exact halves go up, as do values just above them.
    EXPECT_EQ(Percent(1, 0, 200), 1);  // 0.5
    EXPECT_EQ(Percent(3, 0, 200), 2);  // 1.5
    EXPECT_EQ(Percent(5, 0, 200), 3);  // 2.5: not to the even neighbour
    EXPECT_EQ(Percent(0, 0, 200), 0);
    EXPECT_EQ(Percent(5, 5, 5), 0) << "an empty range";
}

TEST(NextBlock, WalksUpAndWritesTheFirstBlockLast) {
    std::vector<int64_t> order;
    for (int64_t cur = 0x8000; cur < 0x7FFFF; cur += 1024) order.push_back(NextBlock(cur, 0x8000, 0x7FFFF));
    ASSERT_EQ(order.size(), 480u);
    EXPECT_EQ(order.front(), 0x08400);
    EXPECT_EQ(order[478], 0x7FC00);
    EXPECT_EQ(order.back(), 0x08000);
    std::vector<int64_t> sorted = order;
    std::sort(sorted.begin(), sorted.end());
    EXPECT_EQ(std::adjacent_find(sorted.begin(), sorted.end()), sorted.end()) << "no block twice";
    // A range of one block writes just that block.
    EXPECT_EQ(NextBlock(0x8000, 0x8000, 0x83FF), 0x8000);
}

TEST(BootModeRequest, IsTheFortyThreeBytesOfTheRegisterWrite) {
    const std::string head = "01 F0 00 00 00 25 01 10 45 71 00 0F 1E 47 6F 54 6F 42 6F 6F 74 4D 6F 64 65";
    const struct {
        std::string password;
        std::string tail;  // offsets 25..42
    } cases[] = {
        {"1234", "31 32 33 34 00 00 00 00 00 00 00 00 00 00 00 00 00 00"},
        {"abcdefghijklmnop", "61 62 63 64 65 66 67 68 69 6A 6B 6C 6D 6E 6F 70 00 00"},
        {"Pa\xDF\xFC", "50 61 DF FC 00 00 00 00 00 00 00 00 00 00 00 00 00 00"},  // Latin-1 bytes as they are
        // Nothing beyond the frame, whatever the caller passes.
        {"abcdefghijklmnopqrstuvwxyz", "61 62 63 64 65 66 67 68 69 6A 6B 6C 6D 6E 6F 70 00 00"},
    };
    for (const auto& c : cases) {
        const auto f = BuildBootModeRequest(c.password);
        EXPECT_EQ(Hex(f.data(), f.size()), head + " " + c.tail) << c.password;
    }
}

TEST(BootModeAnswer, OnlyCountFunctionAndExceptionCodeMatter) {
    auto frame = [](std::vector<uint8_t> b) {
        b.resize(12, 0);
        return b;
    };
    const struct {
        const char* name;
        int32_t n;
        std::vector<uint8_t> bytes;
        BootModeAnswer want;
    } cases[] = {
        {"normal", 12, frame({0x01, 0xF0, 0, 0, 0, 6, 1, 0x10, 0x45, 0x71, 0, 0x0F}), BootModeAnswer::Accepted},
        {"normal, other ids", 12, frame({9, 9, 0, 0, 0, 6, 7, 0x10, 0, 0, 0, 1}), BootModeAnswer::Accepted},
        {"password", 9, frame({0x01, 0xF0, 0, 0, 0, 3, 1, 0x90, 0x04}), BootModeAnswer::PasswordRejected},
        {"exception 2", 9, frame({0x01, 0xF0, 0, 0, 0, 3, 1, 0x90, 0x02}), BootModeAnswer::Unusable},
        {"exception 3", 9, frame({0x01, 0xF0, 0, 0, 0, 3, 1, 0x90, 0x03}), BootModeAnswer::Unusable},
        {"normal in pieces", 7, frame({0x01, 0xF0, 0, 0, 0, 6, 1, 0x10}), BootModeAnswer::Unusable},
        {"code 4 but 12 bytes", 12, frame({0, 0, 0, 0, 0, 0, 0, 0x90, 0x04}), BootModeAnswer::Unusable},
        {"nothing", -1, frame({}), BootModeAnswer::Unusable},
        {"closed", 0, frame({}), BootModeAnswer::Unusable},
    };
    for (const auto& c : cases) EXPECT_EQ(ClassifyBootModeAnswer(c.n, c.bytes.data()), c.want) << c.name;
}

TEST(PasswordRule, FourToSixteenBytes) {
    for (std::size_t n : {0, 1, 3, 17, 40}) EXPECT_FALSE(PasswordLengthOk(std::string(n, 'x'))) << n;
    for (std::size_t n : {4, 5, 15, 16}) EXPECT_TRUE(PasswordLengthOk(std::string(n, 'x'))) << n;
}

TEST(Identity, OnlyTheTwoBootloadersExactly) {
    const struct {
        std::string reply;
        const char* label;
    } cases[] = {
        {"TALVO-ETH-BOOTLOADER-V1.00", "BOOTLOADER-V1.00"},
        {"QT51/QT52-BOOTLOADER-V1.01", "BOOTLOADER-V1.01"},
        {"talvo-eth-bootloader-v1.00", ""},
        {"TALVO-ETH-BOOTLOADER-V1.01", ""},
        {"QT51/QT52-BOOTLOADER-V1.00", ""},
        {"TALVO-ETH-BOOTLOADER-V1.00\r", ""},
        {"XTALVO-ETH-BOOTLOADER-V1.00", ""},
        {"TALVO-ETH-BOOTLOADER-V1.0", ""},
        {"", ""},
    };
    for (const auto& c : cases) EXPECT_EQ(IdentityLabel(c.reply), c.label) << c.reply;
}
