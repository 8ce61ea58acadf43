#include "window/Address.h"

#include "net/SocketAddress.h"
#include "window/Texts.h"

namespace window {
namespace {

constexpr std::string_view kBlanks = " \t\r\n\v\f";

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// The first dot-separated part written in decimal digits whose value is over
// 255; empty when there is none.
std::string NumberOver255(std::string_view text) {
    size_t start = 0;
    while (start <= text.size()) {
        const size_t dot = std::min(text.find('.', start), text.size());
        const std::string_view part = text.substr(start, dot - start);
        bool decimal = !part.empty();
        for (const char c : part) decimal = decimal && IsDigit(c);
        if (decimal) {
            // Leading zeros aside, four digits or more are over 255 whatever they are.
            const std::string_view digits = part.substr(std::min(part.find_first_not_of('0'), part.size()));
            if (digits.size() > 3 || (digits.size() == 3 && std::stoi(std::string(digits)) > 255))
                return std::string(part);
        }
        start = dot + 1;
    }
    return {};
}

}  // namespace

CheckedAddress CheckAddress(std::string_view typed) {
    const size_t first = typed.find_first_not_of(kBlanks);
    if (first == std::string_view::npos) return {{}, "The IP address field is empty. " + TypeAgainAdvice("IP address")};
    const std::string address(typed.substr(first, typed.find_last_not_of(kBlanks) - first + 1));
    auto refused = [&address](const std::string& what) {
        return CheckedAddress{address,
                              "The IP address \"" + address + "\" " + what + "\n\n" + TypeAgainAdvice("IP address")};
    };
    if (address.find_first_of(kBlanks) != std::string::npos || address.find('\0') != std::string::npos)
        return refused("has a blank or a line break inside.");
    if (address.back() == '.') return refused("ends with a dot.");
    if (!IsDigit(address.front())) return {address, {}};  // a host name, looked up when used
    if (const std::string over = NumberOver255(address); !over.empty())
        return refused("has a number over 255: " + over + ".");
    const uint32_t ip = net::DottedToIPv4(address);
    if (ip == net::kNoAddress && address != "255.255.255.255") return refused("is not an IP address.");
    if (!net::IsConnectable(ip, 1)) return refused("names no meter.");
    return {address, {}};
}

}  // namespace window
