#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace sim {

std::string ToHex(std::span<const uint8_t> bytes);
// Pairs of hex digits, upper or lower case; nothing else allowed.
std::optional<std::vector<uint8_t>> ParseHex(std::string_view text);
// Decimal, or hexadecimal with a 0x prefix; the whole text must be the number.
std::optional<uint64_t> ParseNumber(std::string_view text);

}  // namespace sim
