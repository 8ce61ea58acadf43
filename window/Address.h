// The meter's address as typed: cleaned of what a paste brings along, and
// checked before anything is sent to it.
#pragma once

#include <string>
#include <string_view>

namespace window {

struct CheckedAddress {
    std::string address;  // without leading and trailing blanks and line breaks
    std::string problem;  // what is wrong with it, for the technician; empty: usable
};

// A text that begins with a digit is a numeric address (the classic forms,
// 10.1 and 0x7f.0.0.1 included), anything else a host name. Refused: an
// empty text, blanks or line breaks inside it, a trailing dot, a number
// over 255, a numeric text the classic parser rejects, and the addresses
// that name no meter (0.0.0.0, 255.255.255.255).
CheckedAddress CheckAddress(std::string_view typed);

}  // namespace window
