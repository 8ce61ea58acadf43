#include "sim/Faults.h"

#include <algorithm>
#include <charconv>
#include <cstdio>

#include "sim/src/Hex.h"

namespace sim {
namespace {

struct ActionName {
    FaultAction action;
    std::string_view name;
};
constexpr ActionName kActions[] = {
    {FaultAction::Drop, "drop"},     {FaultAction::Delay, "delay"},   {FaultAction::Duplicate, "duplicate"},
    {FaultAction::Wrong, "wrong"},   {FaultAction::Short, "short"},   {FaultAction::Oversized, "oversized"},
    {FaultAction::Zeroed, "zero"},   {FaultAction::Script, "script"}, {FaultAction::ForeignPort, "foreign-port"},
    {FaultAction::Reboot, "reboot"},
};
constexpr std::string_view kCommands[] = {"VER?", "E", "W", "RESET", "?"};

struct WholeMeterFault {
    AfterReset afterReset;
    std::string_view name;
};
constexpr WholeMeterFault kAfterReset[] = {
    {AfterReset::StaysInBootloader, "stays-in-bootloader"},
    {AfterReset::NeverBack, "never-back"},
};

std::optional<FaultRule> Fail(std::string* error, std::string message) {
    if (error) *error = std::move(message);
    return std::nullopt;
}

}  // namespace

std::string ToHex(std::span<const uint8_t> bytes) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string s;
    s.reserve(bytes.size() * 2);
    for (uint8_t b : bytes) {
        s.push_back(kDigits[b >> 4]);
        s.push_back(kDigits[b & 15]);
    }
    return s;
}

std::optional<std::vector<uint8_t>> ParseHex(std::string_view text) {
    if (text.size() % 2) return std::nullopt;
    std::vector<uint8_t> out;
    for (size_t i = 0; i < text.size(); i += 2) {
        uint8_t b = 0;
        auto [end, ec] = std::from_chars(text.data() + i, text.data() + i + 2, b, 16);
        if (ec != std::errc() || end != text.data() + i + 2) return std::nullopt;
        out.push_back(b);
    }
    return out;
}

std::optional<uint64_t> ParseNumber(std::string_view text) {
    int base = 10;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        text.remove_prefix(2);
        base = 16;
    }
    uint64_t v = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v, base);
    if (text.empty() || ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
    return v;
}

namespace {

// ACTION[:ARG] into `rule`; the reason when it is refused.
std::optional<std::string> ParseAction(std::string_view head, FaultRule& rule) {
    std::string_view name = head, arg;
    const bool hasArg = head.find(':') != std::string_view::npos;
    if (hasArg) {
        name = head.substr(0, head.find(':'));
        arg = head.substr(head.find(':') + 1);
    }
    const auto known = std::find_if(std::begin(kActions), std::end(kActions), [&](auto& a) { return a.name == name; });
    if (known == std::end(kActions)) return "unknown fault '" + std::string(name) + "'";
    rule.action = known->action;
    if (rule.action == FaultAction::Delay) {
        auto ms = ParseNumber(arg);
        if (!ms || *ms > 600000) return "delay needs milliseconds: delay:MS";
        rule.delayMs = static_cast<int>(*ms);
    } else if (rule.action == FaultAction::Duplicate && hasArg) {
        auto ms = ParseNumber(arg);
        if (!ms || *ms > 600000) return "duplicate takes the copy's lag in milliseconds: duplicate:LAG";
        rule.lagMs = static_cast<int>(*ms);
    } else if (rule.action == FaultAction::Script) {
        auto bytes = ParseHex(arg);
        if (!hasArg || !bytes || bytes->size() > 65507) return "script needs hex bytes: script:HEX";
        rule.payload = std::move(*bytes);
    } else if (hasArg) {
        return "fault '" + std::string(name) + "' takes no argument";
    }
    return std::nullopt;
}

// One SELECTOR into `rule`; the reason when it is refused.
std::optional<std::string> ParseSelector(std::string_view sel, FaultRule& rule) {
    const auto eq = sel.find('=');
    const std::string_view key = eq == std::string_view::npos ? std::string_view{} : sel.substr(0, eq);
    const std::string_view value = eq == std::string_view::npos ? sel : sel.substr(eq + 1);
    if (key.empty() || key == "every") {
        auto n = ParseNumber(value);
        if (!n || *n == 0 || *n > UINT32_MAX) return "exchange numbers start at 1: '" + std::string(sel) + "'";
        (key.empty() ? rule.exchange : rule.every) = static_cast<uint32_t>(*n);
    } else if (key == "block") {
        auto n = ParseNumber(value);
        if (!n || *n > 0xFFFFFF) return "block needs a 24-bit address: '" + std::string(sel) + "'";
        rule.blockAddress = static_cast<uint32_t>(*n);
    } else if (key == "cmd") {
        if (std::find(std::begin(kCommands), std::end(kCommands), value) == std::end(kCommands))
            return "cmd must be one of VER?, E, W, RESET, ?";
        rule.command = std::string(value);
    } else {
        return "unknown selector '" + std::string(sel) + "'";
    }
    return std::nullopt;
}

}  // namespace

std::optional<FaultRule> ParseFaultRule(std::string_view text, std::string* error) {
    FaultRule rule;
    std::string_view head = text, selectors;
    if (auto at = text.find('@'); at != std::string_view::npos) {
        head = text.substr(0, at);
        selectors = text.substr(at + 1);
        if (selectors.empty()) return Fail(error, "empty selector after '@'");
    }
    if (auto why = ParseAction(head, rule)) return Fail(error, std::move(*why));
    while (!selectors.empty()) {
        const auto comma = selectors.find(',');
        const std::string_view sel = selectors.substr(0, comma);
        selectors = comma == std::string_view::npos ? std::string_view{} : selectors.substr(comma + 1);
        if (auto why = ParseSelector(sel, rule)) return Fail(error, std::move(*why));
    }
    return rule;
}

bool AddFault(std::string_view text, Faults& faults, std::string* error) {
    const std::string_view name = text.substr(0, text.find_first_of(":@"));
    for (const auto& a : kAfterReset) {
        if (a.name != name) continue;
        if (name.size() != text.size()) {
            if (error)
                *error = "'" + std::string(name) + "' is a fault of the whole meter: it takes no argument or selector";
            return false;
        }
        faults.afterReset = a.afterReset;
        return true;
    }
    auto rule = ParseFaultRule(text, error);
    if (rule) faults.rules.push_back(std::move(*rule));
    return rule.has_value();
}

std::string AfterResetName(AfterReset afterReset) {
    for (const auto& a : kAfterReset)
        if (a.afterReset == afterReset) return std::string(a.name);
    return {};
}

std::string FaultRuleName(const FaultRule& rule) {
    std::string s;
    for (const auto& a : kActions)
        if (a.action == rule.action) s = a.name;
    if (rule.action == FaultAction::Delay) s += ":" + std::to_string(rule.delayMs);
    if (rule.action == FaultAction::Duplicate && rule.lagMs > 0) s += ":" + std::to_string(rule.lagMs);
    if (rule.action == FaultAction::Script) s += ":" + ToHex(rule.payload);
    return s;
}

}  // namespace sim
