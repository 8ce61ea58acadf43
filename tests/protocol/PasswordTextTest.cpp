// The password's bytes: Windows-1252, one byte per character, and a refusal
// for every character that has no byte there.
#include <gtest/gtest.h>

#include "protocol/PasswordText.h"

using protocol::PasswordBytes;
using protocol::Windows1252Byte;

namespace {

TEST(PasswordText, TheCharactersOf0x80To0x9FAndTheFiveBytesWithNone) {
    // Byte 0x80 + i holds kHigh[i]; 0 where the byte stands for no character.
    const char32_t high[32] = {0x20AC, 0,      0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
                               0x2039, 0x0152, 0,      0x017D, 0,      0,      0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
                               0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0,      0x017E, 0x0178};
    int none = 0;
    for (int i = 0; i < 32; ++i) {
        const unsigned char byte = static_cast<unsigned char>(0x80 + i);
        SCOPED_TRACE(::testing::Message() << "byte 0x" << std::hex << int{byte});
        if (high[i] == 0) {
            ++none;
            continue;
        }
        EXPECT_EQ(Windows1252Byte(high[i]), byte);
    }
    EXPECT_EQ(none, 5);
    // The control characters U+0080..U+009F have no byte: not even the five
    // bytes that stand for no character give them one.
    for (char32_t c = 0x80; c <= 0x9F; ++c)
        EXPECT_EQ(Windows1252Byte(c), std::nullopt) << std::hex << static_cast<uint32_t>(c);
}

TEST(PasswordText, LatinOneStaysAsItIsAndEverythingElseIsRefused) {
    const struct {
        char32_t c;
        int byte;  // -1: none
    } rows[] = {
        {U'A', 'A'}, {U' ', ' '}, {0x7F, 0x7F}, {0xA0, 0xA0}, {U'ä', 0xE4}, {U'ÿ', 0xFF},  {U'€', 0x80}, {U'Ÿ', 0x9F},
        {0x100, -1}, {U'Ő', -1},  {0x2012, -1}, {0x20AD, -1}, {0x4E2D, -1}, {0x1F600, -1}, {0xFFFD, -1},
    };
    for (const auto& r : rows) {
        const auto b = Windows1252Byte(r.c);
        EXPECT_EQ(b ? int{*b} : -1, r.byte) << "U+" << std::hex << static_cast<uint32_t>(r.c);
    }
}

TEST(PasswordText, TypedTextToBytes) {
    const struct {
        const char* name;
        std::string utf8;
        std::optional<std::string> bytes;
    } rows[] = {
        {"ascii", "1234", "1234"},
        {"latin-1", "P\xC3\xA4\xC3\x9F", "P\xE4\xDF"},
        {"euro, quotes, dash", "\xE2\x82\xAC\xE2\x80\x9Ex\xE2\x80\x9C\xE2\x80\x93", "\x80\x84x\x93\x96"},
        {"S and z with caron, OE, Y diaeresis", "\xC5\xA0\xC5\xBE\xC5\x92\xC5\xB8", "\x8A\x9E\x8C\x9F"},
        {"a C1 control", "ab\xC2\x81", std::nullopt},
        {"beyond Windows-1252", "ab\xC4\x80", std::nullopt},
        {"emoji", "ab\xF0\x9F\x98\x80", std::nullopt},
        {"cut UTF-8", "ab\xE2\x82", std::nullopt},
        {"not UTF-8", "ab\xE4", std::nullopt},
        {"over-long", "\xC0\xB1", std::nullopt},
        {"a surrogate", "\xED\xA0\x80", std::nullopt},
    };
    for (const auto& r : rows) EXPECT_EQ(PasswordBytes(r.utf8), r.bytes) << r.name;
}

}  // namespace
