#include <cstdio>

#include "sim/src/Hex.h"
#include "sim/Meter.h"

namespace sim {
namespace {

std::string Quoted(const std::string& s) {
    std::string out = "\"";
    for (unsigned char c : s) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20 || c >= 0x7F) {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\u%04x", c);
            out += buf;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

}  // namespace

std::string ToJson(const Event& e) {
    char t[32];
    std::snprintf(t, sizeof t, "%.3f", e.t);
    // Only a Modbus request has a function code.
    const std::string function = e.command == "MODBUS" ? ",\"function\":" + std::to_string(e.function) : "";
    return std::string("{\"t\":") + t + ",\"meter\":" + Quoted(e.meter) + ",\"command\":" + Quoted(e.command) +
           function + ",\"address\":" + std::to_string(e.address) + ",\"length\":" + std::to_string(e.length) +
           ",\"checksum\":" + Quoted(e.checksum) + ",\"answer\":\"" + ToHex(e.answer) +
           "\",\"fault\":" + Quoted(e.fault) + ",\"bootloader\":" + (e.inBootloader ? "true" : "false") + "}";
}

}  // namespace sim
