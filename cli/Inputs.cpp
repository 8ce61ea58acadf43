#include "Inputs.h"

#include <algorithm>
#include <cctype>
#include <map>

#include "Frames.h"

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

std::vector<std::string_view> Split(std::string_view s, char sep) {
    std::vector<std::string_view> parts;
    for (size_t start = 0;;) {
        const size_t at = s.find(sep, start);
        parts.push_back(s.substr(start, at == std::string_view::npos ? std::string_view::npos : at - start));
        if (at == std::string_view::npos) return parts;
        start = at + 1;
    }
}

}  // namespace

std::optional<std::string> HostProblem(std::string_view host) {
    if (host.empty()) return "an empty address";
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
    for (auto line : Split(content, '\n')) {
        ++number;
        line = line.substr(0, line.find('#'));
        line = Trim(line);
        if (!line.empty()) hosts.push_back({std::string(line), "line " + std::to_string(number) + " of " + fileName});
    }
    return hosts;
}

std::optional<std::string> HostListProblem(const std::vector<Host>& hosts) {
    if (hosts.empty()) return "no meter given: name hosts on the command line or with --hosts FILE";
    std::map<std::string, const Host*> seen;
    for (const Host& h : hosts) {
        if (auto why = HostProblem(h.address)) return "bad host '" + h.address + "' on " + h.where + ": " + *why;
        std::string key = h.address;
        std::transform(key.begin(), key.end(), key.begin(), [](unsigned char c) { return std::tolower(c); });
        const auto [first, added] = seen.emplace(key, &h);
        if (!added) return "host '" + h.address + "' is given twice: on " + first->second->where + " and on " + h.where;
    }
    return std::nullopt;
}

std::string PasswordFromFile(std::string_view content) {
    std::string_view line = content.substr(0, content.find('\n'));
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    return std::string(line);
}

std::optional<std::string> PasswordProblem(std::string_view bytes) {
    if (!protocol::PasswordLengthOk(bytes))
        return "the password has " + std::to_string(bytes.size()) + " characters; the meter takes 4 to 16";
    return std::nullopt;
}

}  // namespace cli
