// What "plan" prints: a run as this tool reads its arguments, before any
// meter is contacted, for a person or a script (a rollout) to act on.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "cli/Plan.h"

namespace cli {

// One TCP connect to a meter's Modbus port, opened and closed at once.
struct Reach {
    bool connected = false;
    std::string problem;  // why not, when not
    std::chrono::milliseconds took{0};
};

// Tries each host's Modbus `port`, `jobs` at a time, each for at most `limit`.
std::vector<Reach> TryModbusPorts(const std::vector<std::string>& hosts, std::uint16_t port,
                                  std::chrono::milliseconds limit, int jobs);

// The plan as JSON: each meter as the report will name it, with its
// host-list entry and where that stands; the firmware; the password's
// source and whether it serves (never the password); every refusal.
// `resolve` gives a meter's dotted address (empty: unknown); `reached`, when
// given, holds one result per meter.
nlohmann::ordered_json PreviewJson(const Plan& plan, const std::function<std::string(const std::string&)>& resolve,
                                   const std::optional<std::vector<Reach>>& reached);

}  // namespace cli
