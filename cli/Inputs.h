// What the fleet updater takes from its user, checked before anything is
// sent: the meters' addresses and the password. Pure functions.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace cli {

// A dotted IPv4 address (four decimal numbers 0..255 without leading zeros,
// not 0.0.0.0 or 255.255.255.255, which name no meter) or a host name (labels
// of letters, digits and inner hyphens, dot-separated, at most 253
// characters, not beginning with a digit: such a text is taken as an
// address). Returns why not, or nothing when the text is usable.
std::optional<std::string> HostProblem(std::string_view host);

struct Host {
    std::string address;
    std::string where;  // "the command line", "line 3 of plant-b.txt"
};

// The hosts of a hosts file: one per line, "#" starts a comment, blanks
// around a host and blank lines are ignored.
std::vector<Host> HostsFromFile(std::string_view content, const std::string& fileName);

// The first problem of a host list, naming the host and where it was given:
// a bad text, a duplicate (names compared without letter case), or an empty
// list.
std::optional<std::string> HostListProblem(const std::vector<Host>& hosts);

// The password of a password file: its first line, without the line end.
std::string PasswordFromFile(std::string_view content);

// Why a password (its bytes, protocol::PasswordBytes) cannot be used, or nothing: 4 to 16 characters.
std::optional<std::string> PasswordProblem(std::string_view bytes);

}  // namespace cli
