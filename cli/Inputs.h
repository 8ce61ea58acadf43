// What the fleet updater takes from its user, checked before anything is
// sent: the meters' addresses and the password. Pure functions.
#pragma once

#include <functional>
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
    // The text given, a range for each of its addresses; and the host list's
    // file and line it stands on (empty and 0: not from a host list).
    std::string entry = address;
    std::string file{};
    int line = 0;
    // The section "[gateway NAME]" of a host list it stands under: NAME; empty: none.
    std::string gateway{};
    // The meters sharing its path, as the plan groups them (PlanRun): they
    // are paced as one.
    std::string group{};
};

// The hosts of a hosts file: one per line, "#" starts a comment, blanks
// around a host and blank lines are ignored, as is a UTF-8 byte order mark.
// A line "[gateway NAME]" puts the hosts below it, up to the next such line,
// behind one gateway named NAME (letters, digits, '-', '_', '.'); a line
// "[gateway]" ends that.
std::vector<Host> HostsFromFile(std::string_view content, const std::string& fileName);

// The widest range a.b.c.d/n taken, and the addresses it holds.
inline constexpr int kShortestRangePrefix = 22;
inline constexpr int kLargestRange = 1 << (32 - kShortestRangePrefix);

// Replaces each range "a.b.c.d/n" by its addresses, each where the range was:
// at most kLargestRange, without the network and broadcast addresses of ranges that
// have them (/30 and wider). Returns why not, naming the range.
std::optional<std::string> ExpandRanges(std::vector<Host>& hosts);

// The first meter given twice once names are resolved (`resolve`: the
// dotted address, empty when unknown), naming both entries.
std::optional<std::string> SameMeterProblem(const std::vector<Host>& hosts,
                                            const std::function<std::string(const std::string&)>& resolve);

// The first problem of a host list, naming the host and where it was given:
// a bad text, a duplicate (names compared without letter case), or an empty
// list.
std::optional<std::string> HostListProblem(const std::vector<Host>& hosts);

// The group of a meter: "gateway NAME" when a host list put it behind one; else the network of its dotted address (a
// host name's resolved one) with `prefix` bits, "10.1.2.0/24"; else, a name that does not resolve, the name alone.
// `resolve`: the dotted address, empty when unknown.
std::string GroupOf(const Host& host, int prefix, const std::function<std::string(const std::string&)>& resolve);
// "/24" (or "24"): the prefix length 0..32; nothing when not.
std::optional<int> GroupPrefix(std::string_view text);

// The password of a password file: its first line, without the line end
// and without a UTF-8 byte order mark.
std::string PasswordFromFile(std::string_view content);

// Why a password (its bytes, protocol::PasswordBytes) cannot be used, or nothing: protocol::PasswordLengthOk.
std::optional<std::string> PasswordProblem(std::string_view bytes);

}  // namespace cli
