#include "sim/cli/CliOptions.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cstdlib>
#include <map>
#include <string_view>

#include "sim/src/Hex.h"

namespace sim {

const char* const kCliUsage = R"(usage: meter-sim [options]
Simulated energy meter: Modbus TCP boot-mode request and UDP bootloader.

  --address A           IPv4 address to serve on (default 127.0.0.2)
  --meters N            serve N meters (up to 1024) on A and the N-1
                        addresses after it, e.g. 127.0.0.255, 127.0.1.0, ...
  --modbus-port P       Modbus TCP port (default 502; 0: ephemeral)
  --boot-port P         bootloader UDP port (default 5555; 0: ephemeral)
  --no-modbus           no Modbus server: connections are refused
  --bootloader          start in the bootloader
  --password TEXT       admin password (default 1234)
  --identity TEXT       answer to "VER?" (default TALVO-ETH-BOOTLOADER-V1.00)
  --identity-hex HEX    answer to "VER?" as bytes, e.g. with a line end
  --boot-delay MS       from the accepted request to the bootloader (default 1000)
  --seed N              seed of the random faults (meter k uses N+k-1)
  --fault RULE          inject a fault into bootloader answers; repeatable.
                        RULE is ACTION[:ARG][@SELECTOR,...], ACTION one of
                        drop, delay:MS, duplicate[:LAG], wrong, short,
                        oversized, zero, script:HEX, foreign-port, reboot;
                        SELECTOR one of N (exchange N), every=N, block=ADDR,
                        cmd=COMMAND
  --loss-in PCT         lose PCT % of the datagrams to the bootloader
  --loss-out PCT        lose PCT % of its answers (an answer and its
                        duplicate each on its own)
  --modbus-exception C  answer every Modbus request with exception C
  --modbus-delay MS     send Modbus answers MS later
  --modbus-split N[:MS] send N bytes of a Modbus answer, the rest MS later (700)
  --rtt MS[:JITTER]     a slow link: every answer, Modbus and bootloader,
                        comes back MS +- JITTER ms (uniform) after it would
                        have; answers keep their order. Combines with every
                        fault and loss option
  --image FILE          expected flash (raw 0x80000 bytes): exit status 0 only
                        when every meter's application area equals it
  --dump FILE           write the flash on exit (FILE.ADDRESS for several meters)
  --log FILE            event log, one JSON object a line (default stdout)
  --ports-file FILE     also write the start line with the ports to FILE
  --duration S          stop after S seconds
  --exit-after-reset    stop once every meter has taken a "RESET"
  --meter K             the meter options after it (up to the next --meter)
                        apply to the K-th meter only, e.g. --meters 3
                        --meter 2 --password other --fault drop
  --help
Exit status: 0 done (and flash as expected), 1 flash differs, 2 usage or start error.
)";

namespace {

const std::string_view kWithValue[] = {
    "--address",      "--meters",           "--modbus-port",  "--boot-port", "--password", "--identity",
    "--identity-hex", "--boot-delay",       "--modbus-delay", "--seed",      "--fault",    "--loss-in",
    "--loss-out",     "--modbus-exception", "--modbus-split", "--image",     "--dump",     "--log",
    "--ports-file",   "--duration",         "--rtt"};

// What only the whole simulator can be given, not one of its meters.
const std::string_view kWholeSimulator[] = {"--help",        "--exit-after-reset", "--address",  "--meters",
                                            "--modbus-port", "--boot-port",        "--image",    "--dump",
                                            "--log",         "--ports-file",       "--duration", "--meter"};

std::optional<long long> Integer(const std::string& s, long long lo, long long hi) {
    auto v = ParseNumber(s);
    if (!v || *v > static_cast<uint64_t>(hi) || static_cast<long long>(*v) < lo) return std::nullopt;
    return static_cast<long long>(*v);
}

std::optional<double> Real(const std::string& s, double lo, double hi) {
    char* end = nullptr;
    const double v = std::strtod(s.c_str(), &end);
    if (s.empty() || *end != '\0' || !(v >= lo && v <= hi)) return std::nullopt;
    return v;
}

std::optional<std::string> Apply(const std::vector<std::string>& args, CliOptions& o, MeterOptions& meter);

}  // namespace

std::optional<std::vector<std::string>> ConsecutiveAddresses(const std::string& first, int count) {
    in_addr a{};
    if (inet_pton(AF_INET, first.c_str(), &a) != 1 || count < 1) return std::nullopt;
    const uint32_t base = ntohl(a.s_addr);
    if (static_cast<uint64_t>(base) + static_cast<uint64_t>(count) - 1 > UINT32_MAX) return std::nullopt;
    std::vector<std::string> out;
    for (int i = 0; i < count; ++i) {
        in_addr next{htonl(base + static_cast<uint32_t>(i))};
        char text[INET_ADDRSTRLEN];
        inet_ntop(AF_INET, &next, text, sizeof text);
        out.emplace_back(text);
    }
    return out;
}

std::optional<CliOptions> ParseCli(const std::vector<std::string>& args, std::string* error) {
    CliOptions o;
    o.meter.address = "127.0.0.2";
    auto fail = [&](const std::string& message) -> std::optional<CliOptions> {
        *error = message;
        return std::nullopt;
    };
    // Split off what follows each "--meter K": applied after the rest, on a copy of the first meter.
    std::vector<std::string> whole;
    std::map<int, std::vector<std::string>> perMeter;
    int scope = 0;
    for (size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "--meter") {
            if (i + 1 >= args.size()) return fail("--meter needs a value");
            auto k = Integer(args[++i], 1, kMaxMeters);
            if (!k) return fail("bad value for --meter: '" + args[i] + "'");
            scope = static_cast<int>(*k);
            perMeter[scope];
            continue;
        }
        if (scope &&
            std::find(std::begin(kWholeSimulator), std::end(kWholeSimulator), args[i]) != std::end(kWholeSimulator))
            return fail(args[i] + " is for the whole simulator: give it before the first --meter");
        auto& to = scope ? perMeter[scope] : whole;
        to.push_back(args[i]);
        if (std::find(std::begin(kWithValue), std::end(kWithValue), args[i]) != std::end(kWithValue) &&
            i + 1 < args.size())
            to.push_back(args[++i]);
    }
    if (auto failed = Apply(whole, o, o.meter)) return fail(*failed);
    for (const auto& [k, list] : perMeter) {
        if (k > o.meters)
            return fail("--meter " + std::to_string(k) + ": there are only " + std::to_string(o.meters) + " meters");
        MeterOptions m = o.meter;
        if (auto failed = Apply(list, o, m)) return fail("--meter " + std::to_string(k) + ": " + *failed);
        o.overrides[k] = m;
    }
    if (!ConsecutiveAddresses(o.meter.address, o.meters)) return fail("--meters runs past the last address");
    return o;
}

namespace {

std::optional<std::string> Apply(const std::vector<std::string>& args, CliOptions& o, MeterOptions& meter) {
    auto fail = [](const std::string& message) -> std::optional<std::string> { return message; };
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& opt = args[i];
        auto flag = [&](const char* name) { return opt == name; };
        std::string value;
        if (std::find(std::begin(kWithValue), std::end(kWithValue), opt) != std::end(kWithValue)) {
            if (i + 1 >= args.size()) return fail(opt + " needs a value");
            value = args[++i];
        }
        auto bad = [&] { return fail("bad value for " + opt + ": '" + value + "'"); };
        if (flag("--help")) {
            o.help = true;
        } else if (flag("--no-modbus")) {
            meter.modbusListener = false;
        } else if (flag("--bootloader")) {
            meter.bootloaderFromStart = true;
        } else if (flag("--exit-after-reset")) {
            o.exitAfterReset = true;
        } else if (flag("--address")) {
            in_addr a{};
            if (inet_pton(AF_INET, value.c_str(), &a) != 1) return bad();
            meter.address = value;
        } else if (flag("--meters")) {
            auto n = Integer(value, 1, kMaxMeters);
            if (!n) return bad();
            o.meters = static_cast<int>(*n);
        } else if (flag("--modbus-port") || flag("--boot-port")) {
            auto n = Integer(value, 0, 65535);
            if (!n) return bad();
            (opt == "--modbus-port" ? meter.modbusPort : meter.bootPort) = static_cast<int>(*n);
        } else if (flag("--password")) {
            meter.password = value;
        } else if (flag("--identity")) {
            meter.identity.assign(value.begin(), value.end());
        } else if (flag("--identity-hex")) {
            auto bytes = ParseHex(value);
            if (!bytes) return bad();
            meter.identity = *bytes;
        } else if (flag("--boot-delay") || flag("--modbus-delay")) {
            auto n = Integer(value, 0, 600000);
            if (!n) return bad();
            (opt == "--boot-delay" ? meter.bootDelayMs : meter.faults.modbusDelayMs) = static_cast<int>(*n);
        } else if (flag("--seed")) {
            auto n = ParseNumber(value);
            if (!n) return bad();
            meter.seed = *n;
        } else if (flag("--fault")) {
            std::string why;
            auto rule = ParseFaultRule(value, &why);
            if (!rule) return fail("--fault " + value + ": " + why);
            meter.faults.rules.push_back(*rule);
        } else if (flag("--loss-in") || flag("--loss-out")) {
            auto p = Real(value, 0, 100);
            if (!p) return bad();
            (opt == "--loss-in" ? meter.faults.lossInPercent : meter.faults.lossOutPercent) = *p;
        } else if (flag("--modbus-exception")) {
            auto n = Integer(value, 1, 255);
            if (!n) return bad();
            meter.faults.modbusException = static_cast<int>(*n);
        } else if (flag("--modbus-split")) {
            const auto colon = value.find(':');
            auto n = Integer(value.substr(0, colon), 1, 259);
            auto ms = colon == std::string::npos ? std::optional<long long>(Faults{}.modbusSplitDelayMs)
                                                 : Integer(value.substr(colon + 1), 0, 600000);
            if (!n || !ms) return bad();
            meter.faults.modbusSplitBytes = static_cast<int>(*n);
            meter.faults.modbusSplitDelayMs = static_cast<int>(*ms);
        } else if (flag("--rtt")) {
            const auto colon = value.find(':');
            auto ms = Integer(value.substr(0, colon), 0, 600000);
            auto jitter = colon == std::string::npos ? std::optional<long long>(0)
                                                     : Integer(value.substr(colon + 1), 0, ms.value_or(0));
            if (!ms || !jitter) return bad();
            meter.faults.rttMs = static_cast<int>(*ms);
            meter.faults.rttJitterMs = static_cast<int>(*jitter);
        } else if (flag("--image")) {
            o.imagePath = value;
        } else if (flag("--dump")) {
            o.dumpPath = value;
        } else if (flag("--log")) {
            o.logPath = value;
        } else if (flag("--ports-file")) {
            o.portsFile = value;
        } else if (flag("--duration")) {
            auto s = Real(value, 0, 1e7);
            if (!s) return bad();
            o.durationS = *s;
        } else {
            return fail("unknown option '" + opt + "'");
        }
    }
    return std::nullopt;
}

}  // namespace

}  // namespace sim
