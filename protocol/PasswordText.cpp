#include "protocol/PasswordText.h"

namespace protocol {
namespace {

// The characters of 0x80..0x9F; zero where a byte stands for none.
constexpr char32_t kHigh[32] = {
    0x20AC, 0,      0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,  // 0x80
    0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0,      0x017D, 0,       // 0x88
    0,      0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,  // 0x90
    0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0,      0x017E, 0x0178,  // 0x98
};

// The next character of UTF-8 text at `i`, which moves past it; nothing for
// bytes that are no UTF-8 (cut, over-long, surrogates, beyond U+10FFFF).
std::optional<char32_t> NextCharacter(std::string_view s, std::size_t& i) {
    const auto b = static_cast<unsigned char>(s[i++]);
    if (b < 0x80) return b;
    int more = 0;
    char32_t c = 0;
    if (b >= 0xC2 && b <= 0xDF) {
        more = 1;
        c = b & 0x1F;
    } else if (b >= 0xE0 && b <= 0xEF) {
        more = 2;
        c = b & 0x0F;
    } else if (b >= 0xF0 && b <= 0xF4) {
        more = 3;
        c = b & 0x07;
    } else {
        return std::nullopt;
    }
    for (int k = 0; k < more; ++k) {
        if (i >= s.size()) return std::nullopt;
        const auto t = static_cast<unsigned char>(s[i++]);
        if ((t & 0xC0) != 0x80) return std::nullopt;
        c = (c << 6) | (t & 0x3F);
    }
    const char32_t least[] = {0, 0x80, 0x800, 0x10000};
    if (c < least[more] || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) return std::nullopt;
    return c;
}

}  // namespace

std::optional<unsigned char> Windows1252Byte(char32_t c) {
    if (c < 0x80 || (c >= 0xA0 && c <= 0xFF)) return static_cast<unsigned char>(c);
    if (c < 0xA0) return std::nullopt;  // no character has these bytes, nor any other of 0x80..0x9F
    for (int i = 0; i < 32; ++i)
        if (kHigh[i] == c) return static_cast<unsigned char>(0x80 + i);
    return std::nullopt;
}

std::optional<std::string> PasswordBytes(std::string_view utf8) {
    std::string out;
    for (std::size_t i = 0; i < utf8.size();) {
        const std::optional<char32_t> c = NextCharacter(utf8, i);
        if (!c) return std::nullopt;
        const std::optional<unsigned char> b = Windows1252Byte(*c);
        if (!b) return std::nullopt;
        out += static_cast<char>(*b);
    }
    return out;
}

}  // namespace protocol
