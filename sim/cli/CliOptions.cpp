#include "sim/cli/CliOptions.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <map>
#include <string_view>

#include "sim/src/Hex.h"

namespace sim {

const char* const kCliUsage = R"(usage: meter-sim [options]
Simulated energy meter: Modbus TCP boot-mode request, UDP bootloader, and the
application's return after "RESET".

  --address A           IPv4 address to serve on (default 127.0.0.2)
  --meters N            serve N meters (up to 1024) on A and the N-1
                        addresses after it, e.g. 127.0.0.255, 127.0.1.0, ...
  --modbus-port P       Modbus TCP port (default 502; 0: ephemeral)
  --boot-port P         bootloader UDP port (default 5555; 0: ephemeral)
  --no-modbus           no Modbus server: connections are refused
  --bootloader          start in the bootloader (Modbus closed until a RESET
                        brings the application back)
  --password TEXT       admin password (default 1234)
  --identity TEXT       answer to "VER?" (default TALVO-ETH-BOOTLOADER-V1.00)
  --identity-hex HEX    answer to "VER?" as bytes, e.g. with a line end
  --boot-delay MS       from the accepted request to the bootloader (default 1000)
  --boot-time S         from a RESET to the application and its Modbus server
                        (default 1; decimals allowed, e.g. 0.2)
  --vendor TEXT         Read Device Identification, object 0 (default VELTRONA)
  --product TEXT        object 1 (default QT5201)
  --revision TEXT       object 2 (default 2.31); each at most 80 characters
  --no-device-id        answer Read Device Identification with exception 1
  --seed N              seed of the random faults (meter k uses N+k-1)
  --fault RULE          inject a fault into bootloader answers; repeatable.
                        RULE is ACTION[:ARG][@SELECTOR,...], ACTION one of
                        drop, delay:MS, duplicate[:LAG], wrong, short,
                        oversized, zero, script:HEX, foreign-port, reboot;
                        SELECTOR one of N (exchange N), every=N, block=ADDR,
                        cmd=COMMAND. Or a fault of the whole meter, alone:
                        stays-in-bootloader (RESET leaves it in its
                        bootloader), never-back (nothing answers after RESET)
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
  --gateway KBPS[:BUFFER]
                        all meters behind one shared link (a site's router):
                        each way, datagrams leave one after the other at KBPS
                        kbit/s (1000 bits), each counted with its 28 bytes of
                        IPv4 and UDP headers, and a drop-tail buffer of BUFFER
                        bytes (default 64000, at least 1057: one write) loses
                        what does not fit. Bootloader datagrams only: the
                        Modbus connection is not shaped. --rtt then adds its
                        round trip once per exchange, after the queue
  --image FILE          expected flash (raw 0x80000 bytes): exit status 0 only
                        when every meter's application area equals it
  --dump FILE           write the flash on exit (FILE.ADDRESS for several meters)
  --log FILE            event log, one JSON object a line (default stdout)
  --ports-file FILE     also write the start line with the ports to FILE
  --duration S          stop after S seconds
  --exit-after-reset    stop once every meter is back after its RESET and
                        has answered a Read Device Identification (5 s after
                        its return when not asked), or its boot time is over
                        when it cannot come back
  --meter K             the meter options after it (up to the next --meter)
                        apply to the K-th meter only, e.g. --meters 3
                        --meter 2 --password other --fault drop
  --help
Exit status: 0 done (and flash as expected), 1 flash differs, 2 usage or start error.
)";

namespace {

std::optional<long long> Integer(const std::string& s, long long lo, long long hi) {
    auto v = ParseNumber(s);
    if (!v || *v > static_cast<uint64_t>(hi) || static_cast<long long>(*v) < lo) return std::nullopt;
    return static_cast<long long>(*v);
}

template <class T>
bool SetInteger(const std::string& s, long long lo, long long hi, T& to) {
    const auto v = Integer(s, lo, hi);
    if (v) to = static_cast<T>(*v);
    return v.has_value();
}

bool SetReal(const std::string& s, double lo, double hi, double& to) {
    char* end = nullptr;
    const double v = std::strtod(s.c_str(), &end);
    if (s.empty() || *end != '\0' || !(v >= lo && v <= hi)) return false;
    to = v;
    return true;
}

// One option's value and where it goes: the whole simulator's options and
// the meter being set up (the first, or the one of the last --meter K).
struct Given {
    const std::string& value;
    CliOptions& cli;
    MeterOptions& meter;
    std::string* why;  // set where "bad value" would not say enough
};

// A member of either options, in what is given.
template <class T>
T& At(const Given& g, T CliOptions::*member) {
    return g.cli.*member;
}
template <class T>
T& At(const Given& g, T MeterOptions::*member) {
    return g.meter.*member;
}

template <auto Member, bool To>
bool Switch(const Given& g) {
    At(g, Member) = To;
    return true;
}

template <auto Member>
bool Text(const Given& g) {
    At(g, Member) = g.value;
    return true;
}

bool SetIdentity(const Given& g) {
    g.meter.identity.assign(g.value.begin(), g.value.end());
    return true;
}

bool SetIdentityHex(const Given& g) {
    auto bytes = ParseHex(g.value);
    if (bytes) g.meter.identity = *bytes;
    return bytes.has_value();
}

bool SetSeed(const Given& g) {
    auto n = ParseNumber(g.value);
    if (n) g.meter.seed = *n;
    return n.has_value();
}

bool SetAddress(const Given& g) {
    in_addr a{};
    if (inet_pton(AF_INET, g.value.c_str(), &a) != 1) return false;
    g.meter.address = g.value;
    return true;
}

bool SetFault(const Given& g) { return AddFault(g.value, g.meter.faults, g.why); }

// Seconds, decimals allowed: a meter that restarts in 0.2 s keeps a test short.
bool SetBootTime(const Given& g) {
    double seconds = 0;
    if (!SetReal(g.value, 0, 600, seconds)) return false;
    g.meter.bootTimeMs = static_cast<int>(std::lround(seconds * 1000));
    return true;
}

template <auto Member>
bool DeviceIdText(const Given& g) {
    if (g.value.size() > kMaxDeviceIdText) {
        *g.why = "at most " + std::to_string(kMaxDeviceIdText) + " characters";
        return false;
    }
    return Text<Member>(g);
}

// N[:MS]
bool SetModbusSplit(const Given& g) {
    const auto colon = g.value.find(':');
    auto n = Integer(g.value.substr(0, colon), 1, 259);
    auto ms = colon == std::string::npos ? std::optional<long long>(Faults{}.modbusSplitDelayMs)
                                         : Integer(g.value.substr(colon + 1), 0, 600000);
    if (!n || !ms) return false;
    g.meter.faults.modbusSplitBytes = static_cast<int>(*n);
    g.meter.faults.modbusSplitDelayMs = static_cast<int>(*ms);
    return true;
}

// MS[:JITTER], the jitter at most MS
bool SetRoundTrip(const Given& g) {
    const auto colon = g.value.find(':');
    auto ms = Integer(g.value.substr(0, colon), 0, 600000);
    auto jitter = colon == std::string::npos ? std::optional<long long>(0)
                                             : Integer(g.value.substr(colon + 1), 0, ms.value_or(0));
    if (!ms || !jitter) return false;
    g.meter.faults.rttMs = static_cast<int>(*ms);
    g.meter.faults.rttJitterMs = static_cast<int>(*jitter);
    return true;
}

// KBPS[:BUFFER_BYTES]; the buffer must take at least one write and its headers.
bool SetGateway(const Given& g) {
    const auto colon = g.value.find(':');
    GatewayOptions gateway;
    if (!SetReal(g.value.substr(0, colon), 1e-3, 1e8, gateway.kbps)) return false;
    if (colon != std::string::npos) {
        const auto buffer = Integer(g.value.substr(colon + 1), 0, 1ll << 32);
        if (!buffer) return false;
        constexpr size_t kWrite = 1029 + kDatagramHeaderBytes;
        if (*buffer < static_cast<long long>(kWrite)) {
            *g.why = "the buffer must hold at least one write of " + std::to_string(kWrite) +
                     " bytes (1029 and 28 of headers)";
            return false;
        }
        gateway.bufferBytes = static_cast<size_t>(*buffer);
    }
    g.cli.gateway = gateway;
    return true;
}

struct Option {
    std::string_view name;
    bool takesValue;
    bool wholeSimulator;        // not for one meter: given before the first --meter
    bool (*set)(const Given&);  // false: the value is refused
};

constexpr bool kValue = true, kFlag = false, kWhole = true, kPerMeter = false;

// "--meter K" itself is taken apart before these.
const Option kOptions[] = {
    {"--help", kFlag, kWhole, Switch<&CliOptions::help, true>},
    {"--exit-after-reset", kFlag, kWhole, Switch<&CliOptions::exitAfterReset, true>},
    {"--address", kValue, kWhole, SetAddress},
    {"--meters", kValue, kWhole, [](const Given& g) { return SetInteger(g.value, 1, kMaxMeters, g.cli.meters); }},
    {"--modbus-port", kValue, kWhole, [](const Given& g) { return SetInteger(g.value, 0, 65535, g.meter.modbusPort); }},
    {"--boot-port", kValue, kWhole, [](const Given& g) { return SetInteger(g.value, 0, 65535, g.meter.bootPort); }},
    {"--image", kValue, kWhole, Text<&CliOptions::imagePath>},
    {"--dump", kValue, kWhole, Text<&CliOptions::dumpPath>},
    {"--log", kValue, kWhole, Text<&CliOptions::logPath>},
    {"--ports-file", kValue, kWhole, Text<&CliOptions::portsFile>},
    {"--gateway", kValue, kWhole, SetGateway},
    {"--duration", kValue, kWhole, [](const Given& g) { return SetReal(g.value, 0, 1e7, g.cli.durationS); }},
    {"--no-modbus", kFlag, kPerMeter, Switch<&MeterOptions::modbusListener, false>},
    {"--bootloader", kFlag, kPerMeter, Switch<&MeterOptions::bootloaderFromStart, true>},
    {"--password", kValue, kPerMeter, Text<&MeterOptions::password>},
    {"--identity", kValue, kPerMeter, SetIdentity},
    {"--identity-hex", kValue, kPerMeter, SetIdentityHex},
    {"--boot-delay", kValue, kPerMeter,
     [](const Given& g) { return SetInteger(g.value, 0, 600000, g.meter.bootDelayMs); }},
    {"--boot-time", kValue, kPerMeter, SetBootTime},
    {"--vendor", kValue, kPerMeter, DeviceIdText<&MeterOptions::vendor>},
    {"--product", kValue, kPerMeter, DeviceIdText<&MeterOptions::product>},
    {"--revision", kValue, kPerMeter, DeviceIdText<&MeterOptions::revision>},
    {"--no-device-id", kFlag, kPerMeter, Switch<&MeterOptions::deviceId, false>},
    {"--seed", kValue, kPerMeter, SetSeed},
    {"--fault", kValue, kPerMeter, SetFault},
    {"--loss-in", kValue, kPerMeter,
     [](const Given& g) { return SetReal(g.value, 0, 100, g.meter.faults.lossInPercent); }},
    {"--loss-out", kValue, kPerMeter,
     [](const Given& g) { return SetReal(g.value, 0, 100, g.meter.faults.lossOutPercent); }},
    {"--modbus-exception", kValue, kPerMeter,
     [](const Given& g) { return SetInteger(g.value, 1, 255, g.meter.faults.modbusException); }},
    {"--modbus-delay", kValue, kPerMeter,
     [](const Given& g) { return SetInteger(g.value, 0, 600000, g.meter.faults.modbusDelayMs); }},
    {"--modbus-split", kValue, kPerMeter, SetModbusSplit},
    {"--rtt", kValue, kPerMeter, SetRoundTrip},
};

const Option* Find(std::string_view name) {
    const auto o = std::find_if(std::begin(kOptions), std::end(kOptions), [&](auto& x) { return x.name == name; });
    return o == std::end(kOptions) ? nullptr : o;
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
        const Option* option = Find(args[i]);
        if (scope && option && option->wholeSimulator)
            return fail(args[i] + " is for the whole simulator: give it before the first --meter");
        auto& to = scope ? perMeter[scope] : whole;
        to.push_back(args[i]);
        if (option && option->takesValue && i + 1 < args.size()) to.push_back(args[++i]);
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
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& name = args[i];
        const Option* option = Find(name);
        if (!option) return "unknown option '" + name + "'";
        std::string value;
        if (option->takesValue) {
            if (i + 1 >= args.size()) return name + " needs a value";
            value = args[++i];
        }
        std::string why;
        if (!option->set(Given{value, o, meter, &why}))
            return why.empty() ? "bad value for " + name + ": '" + value + "'" : name + " " + value + ": " + why;
    }
    return std::nullopt;
}

}  // namespace

}  // namespace sim
