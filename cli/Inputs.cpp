#include "cli/Inputs.h"

#include <algorithm>
#include <cctype>
#include <map>

#include "protocol/Frames.h"

namespace cli {
namespace {

std::string_view Trim(std::string_view s) {
    const auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
    while (!s.empty() && blank(s.front())) s.remove_prefix(1);
    while (!s.empty() && blank(s.back())) s.remove_suffix(1);
    return s;
}

bool AllDigits(std::string_view s) {
    return !s.empty() && std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
}

constexpr std::string_view kBom = "\xEF\xBB\xBF";

std::string_view WithoutBom(std::string_view s) { return s.starts_with(kBom) ? s.substr(kBom.size()) : s; }

// "on the command line and on line 3 of hosts", or once when both are the same place.
std::string Places(const std::string& first, const std::string& second) {
    return first == second ? "on " + first : "on " + first + " and on " + second;
}

std::vector<std::string_view> Split(std::string_view s, char sep) {
    std::vector<std::string_view> parts;
    for (size_t start = 0;;) {
        const size_t at = s.find(sep, start);
        parts.push_back(s.substr(start, at == std::string_view::npos ? std::string_view::npos : at - start));
        if (at == std::string_view::npos) return parts;
        start = at + 1;
    }
}

// "[gateway NAME]": NAME; "[gateway]": empty; nothing for any other line.
std::optional<std::string> GatewaySection(std::string_view line) {
    constexpr std::string_view kOpen = "[gateway";
    if (!line.starts_with(kOpen) || !line.ends_with(']')) return std::nullopt;
    const std::string_view name = Trim(line.substr(kOpen.size(), line.size() - kOpen.size() - 1));
    if (name.size() == line.size() - kOpen.size() - 1 && !name.empty()) return std::nullopt;  // "[gatewayX]"
    const bool plain = std::all_of(name.begin(), name.end(), [](char c) {
        return std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '_' || c == '.';
    });
    if (!plain) return std::nullopt;
    return std::string(name);
}

}  // namespace

std::optional<std::string> HostProblem(std::string_view host) {
    if (host.empty()) return "an empty address";
    if (host.front() == '[')
        return "not a section line [gateway NAME] (NAME of letters, digits, '-', '_' and '.') nor an address";
    if (host.find(':') != std::string_view::npos)
        return "an IPv6 address (or one with a port); the meters are reached over IPv4 only";
    if (host.find('/') != std::string_view::npos)
        return "not a range a.b.c.d/n with n from " + std::to_string(kShortestRangePrefix) + " to 32 (at most " +
               std::to_string(kLargestRange) + " addresses)";
    const auto labels = Split(host, '.');
    // The system's address rule takes any text that begins with a digit for
    // an address, and reads numbers with a leading zero as octal or hex.
    if (host.front() >= '0' && host.front() <= '9') {
        for (auto n : labels)
            if (n.size() > 1 && n.front() == '0')
                return "a number with a leading zero ('" + std::string(n) +
                       "'), which the system would read as octal or hexadecimal; write it without the zero";
        if (labels.size() != 4 || !std::all_of(labels.begin(), labels.end(), AllDigits))
            return "not a dotted IPv4 address (four numbers a.b.c.d)";
        for (auto n : labels)
            if (n.size() > 3 || std::stoi(std::string(n)) > 255) return "a number above 255 in the address";
        if (host == "0.0.0.0" || host == "255.255.255.255") return "an address that names no meter";
        return std::nullopt;
    }
    if (host.size() > 253) return "a host name longer than 253 characters";
    for (auto label : labels) {
        if (label.empty() || label.size() > 63) return "not a host name (empty or over-long part between dots)";
        if (label.front() == '-' || label.back() == '-') return "not a host name (a part begins or ends with '-')";
        for (char c : label)
            if (!std::isalnum(static_cast<unsigned char>(c)) && c != '-')
                return std::string("not a host name (character '") + c + "')";
    }
    return std::nullopt;
}

std::vector<Host> HostsFromFile(std::string_view content, const std::string& fileName) {
    std::vector<Host> hosts;
    int number = 0;
    std::string gateway;
    for (auto line : Split(WithoutBom(content), '\n')) {
        ++number;
        line = line.substr(0, line.find('#'));
        line = Trim(line);
        if (const auto name = GatewaySection(line)) {
            gateway = *name;
            continue;
        }
        if (!line.empty())
            hosts.push_back({std::string(line), "line " + std::to_string(number) + " of " + fileName, std::string(line),
                             fileName, number, gateway});
    }
    return hosts;
}

std::optional<int> GroupPrefix(std::string_view text) {
    if (text.starts_with('/')) text.remove_prefix(1);
    if (!AllDigits(text) || text.size() > 2 || std::stoi(std::string(text)) > 32) return std::nullopt;
    return std::stoi(std::string(text));
}

std::string GroupOf(const Host& host, int prefix, const std::function<std::string(const std::string&)>& resolve) {
    if (!host.gateway.empty()) return "gateway " + host.gateway;
    const bool dotted = !host.address.empty() && host.address.front() >= '0' && host.address.front() <= '9';
    const std::string address = dotted ? host.address : resolve(host.address);
    if (address.empty()) return host.address;
    uint32_t a = 0;
    for (auto n : Split(address, '.')) a = a << 8 | static_cast<uint32_t>(std::stoi(std::string(n)));
    const uint32_t network = prefix == 0 ? 0 : a & ~uint32_t{0} << (32 - prefix);
    return std::to_string(network >> 24) + "." + std::to_string(network >> 16 & 255) + "." +
           std::to_string(network >> 8 & 255) + "." + std::to_string(network & 255) + "/" + std::to_string(prefix);
}

std::optional<std::string> HostListProblem(const std::vector<Host>& hosts) {
    if (hosts.empty()) return "no meter given: name hosts on the command line or with --hosts FILE";
    std::map<std::string, const Host*> seen;
    for (const Host& h : hosts) {
        if (auto why = HostProblem(h.address)) return "bad host '" + h.address + "' on " + h.where + ": " + *why;
        std::string key = h.address;
        std::transform(key.begin(), key.end(), key.begin(), [](unsigned char c) { return std::tolower(c); });
        const auto [first, added] = seen.emplace(key, &h);
        if (!added) return "host '" + h.address + "' is given twice: " + Places(first->second->where, h.where);
    }
    return std::nullopt;
}

std::optional<std::string> ExpandRanges(std::vector<Host>& hosts) {
    std::vector<Host> expanded;
    for (Host& h : hosts) {
        const size_t slash = h.address.find('/');
        if (slash == std::string::npos) {
            expanded.push_back(std::move(h));
            continue;
        }
        const std::string base = h.address.substr(0, slash);
        const std::string bits = h.address.substr(slash + 1);
        const auto bad = [&](const std::string& why) {
            return "bad range '" + h.address + "' on " + h.where + ": " + why;
        };
        if (auto why = HostProblem(base); why || base.front() < '0' || base.front() > '9')
            return bad(why ? *why : "a range starts at a dotted IPv4 address");
        if (!AllDigits(bits) || bits.size() > 2 || std::stoi(bits) > 32)
            return bad("the prefix length after '/' is a number from " + std::to_string(kShortestRangePrefix) +
                       " to 32");
        const int prefix = std::stoi(bits);
        if (prefix < kShortestRangePrefix)
            return bad("more than " + std::to_string(kLargestRange) + " addresses; split it into ranges of /" +
                       std::to_string(kShortestRangePrefix) + " or smaller");
        uint32_t address = 0;
        for (auto n : Split(base, '.')) address = address << 8 | static_cast<uint32_t>(std::stoi(std::string(n)));
        const uint32_t size = 1u << (32 - prefix);
        const uint32_t network = address & ~(size - 1);
        // /31 and /32 have no network or broadcast address to leave out.
        const uint32_t skip = size >= 4 ? 1 : 0;
        for (uint32_t a = network + skip; a < network + size - skip; ++a) {
            const std::string dotted = std::to_string(a >> 24) + "." + std::to_string(a >> 16 & 255) + "." +
                                       std::to_string(a >> 8 & 255) + "." + std::to_string(a & 255);
            expanded.push_back({dotted, h.where + " (range " + h.address + ")", h.address, h.file, h.line, h.gateway});
        }
    }
    hosts = std::move(expanded);
    return std::nullopt;
}

std::optional<std::string> SameMeterProblem(const std::vector<Host>& hosts,
                                            const std::function<std::string(const std::string&)>& resolve) {
    std::map<std::string, const Host*> seen;
    for (const Host& h : hosts) {
        const std::string address = resolve(h.address);
        if (address.empty()) continue;  // unknown: the run says so for that meter
        const auto [first, added] = seen.emplace(address, &h);
        if (!added)
            return "'" + first->second->address + "' and '" + h.address + "' are the same meter (" + address +
                   "), given " + Places(first->second->where, h.where) + ": give each meter once";
    }
    return std::nullopt;
}

std::string PasswordFromFile(std::string_view content) {
    content = WithoutBom(content);
    std::string_view line = content.substr(0, content.find('\n'));
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    return std::string(line);
}

std::optional<std::string> PasswordProblem(std::string_view bytes) {
    if (!protocol::PasswordLengthOk(bytes))
        return "the password has " + std::to_string(bytes.size()) + " characters; the meter takes " +
               protocol::PasswordLimitsText();
    return std::nullopt;
}

}  // namespace cli
