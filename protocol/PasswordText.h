// The admin password as typed to the bytes the meter gets: one Windows-1252
// byte per character, as the meters' own configuration tools send it.
// Windows-1252 holds every printable Latin-1 character plus, in 0x80..0x9F,
// the euro sign, typographic quotes and dashes, Š, š, Ž, ž, Œ, œ and Ÿ.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace protocol {

// The Windows-1252 byte of a character, or nothing when it has none: beyond
// U+00FF except for the 27 characters of 0x80..0x9F, and U+0080..U+009F
// themselves (0x81, 0x8D, 0x8F, 0x90 and 0x9D stand for no character).
std::optional<unsigned char> Windows1252Byte(char32_t c);

// The password typed as UTF-8, in Windows-1252 bytes; nothing when a
// character has no such byte or the text is not UTF-8.
std::optional<std::string> PasswordBytes(std::string_view utf8);

}  // namespace protocol
