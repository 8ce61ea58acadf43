// Command line of meter-sim.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "sim/Meter.h"

namespace sim {

// Meters of one process: a whole site's fleet.
inline constexpr int kMaxMeters = 1024;

struct CliOptions {
    MeterOptions meter;                     // the first meter; the others differ only in address and seed ...
    std::map<int, MeterOptions> overrides;  // ... unless given their own (--meter K), from 1
    int meters = 1;                         // consecutive addresses from meter.address on
    std::string imagePath;                  // raw kFlashSize bytes; decides the exit status
    std::string dumpPath;
    std::string logPath;  // empty: events on stdout
    std::string portsFile;
    double durationS = 0;  // 0: until a signal
    bool exitAfterReset = false;
    std::optional<GatewayOptions> gateway;  // every meter behind one shared link
    bool help = false;
};

// Parses the arguments after the program name. On failure returns nothing
// and sets *error.
std::optional<CliOptions> ParseCli(const std::vector<std::string>& args, std::string* error);

// The addresses of `count` meters from `first` on (127.0.0.2, 127.0.0.3, ...).
std::optional<std::vector<std::string>> ConsecutiveAddresses(const std::string& first, int count);

extern const char* const kCliUsage;

}  // namespace sim
