// The boot-mode request as a Modbus/TCP decoder that owes nothing to this
// project sees it: tshark captures the loopback traffic while the button is
// pressed against the simulated meter, and its dissection of the request is
// checked field by field.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <iostream>
#include <map>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <system_error>
#include <vector>

#include "tests/support/ChildProcess.h"
#include "tests/support/Peer.h"
#include "tests/update/SocketRig.h"

using namespace update;
using namespace testsupport;
using testsupport::ChildProcess;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

namespace {

// Odd length, so that the last register with password characters is half padding.
constexpr char kPassword[] = "k7Qx!9z";

// What tshark prints for every packet, tab-separated, in this order.
const std::vector<std::string> kFields = {
    "frame.number",         "tcp.srcport",           "tcp.dstport",     "udp.dstport",       "tcp.len",
    "tcp.flags.fin",        "mbtcp.trans_id",        "mbtcp.prot_id",   "mbtcp.len",         "mbtcp.unit_id",
    "modbus.func_code",     "modbus.reference_num",  "modbus.word_cnt", "modbus.byte_cnt",   "modbus.regnum16",
    "modbus.regval_uint16", "mbtcp.cannot_classify", "_ws.malformed",   "_ws.expert.message"};

using Packet = std::map<std::string, std::string>;

std::vector<std::string> Split(const std::string& s, char sep) {
    std::vector<std::string> parts;
    std::string part;
    std::istringstream in(s);
    while (std::getline(in, part, sep)) parts.push_back(part);
    if (!s.empty() && s.back() == sep) parts.emplace_back();
    return parts;
}

// Each line of one packet's fields; a line that is not (a message on stdout) gives nothing.
std::vector<Packet> Packets(const std::vector<std::string>& lines) {
    std::vector<Packet> out;
    for (const auto& line : lines) {
        const auto cols = Split(line, '\t');
        if (cols.size() != kFields.size()) continue;
        Packet& p = out.emplace_back();
        for (size_t i = 0; i < cols.size(); ++i) p[kFields[i]] = cols[i];
    }
    return out;
}

// tshark prints numbers in decimal or, for some fields, as 0x...; anything else is no number.
std::optional<long> Number(const std::string& s) {
    char* end = nullptr;
    errno = 0;
    const long v = std::strtol(s.c_str(), &end, 0);
    if (s.empty() || errno != 0 || *end != '\0') return std::nullopt;
    return v;
}

std::vector<std::optional<long>> Numbers(const std::string& s) {
    std::vector<std::optional<long>> out;
    if (s.empty()) return out;
    for (const auto& part : Split(s, ',')) out.push_back(Number(part));
    return out;
}

bool IsPort(const std::string& field, uint16_t port) { return Number(field) == static_cast<long>(port); }

// Flags print as 1/0 here, as True/False in later tshark versions.
bool IsSet(const std::string& flag) { return flag == "1" || flag == "True"; }

// The registers the request must write: "GoToBootMode" and the password,
// padded with zero bytes, two bytes a register, the first one high.
std::vector<std::optional<long>> ExpectedRegisterValues(const std::string& password) {
    std::string bytes = "GoToBootMode" + password;
    bytes.resize(30, '\0');
    std::vector<std::optional<long>> regs;
    for (size_t i = 0; i < bytes.size(); i += 2)
        regs.push_back(static_cast<long>(static_cast<uint8_t>(bytes[i]) << 8 | static_cast<uint8_t>(bytes[i + 1])));
    return regs;
}

// Only these outcomes mean that this machine cannot capture at all (no
// rights, dumpcap not runnable); everything else tshark complains about is a
// fault of the test or of tshark's use here and must fail.
bool CannotCapture(const std::string& stderrText) {
    return stderrText.find("permission to capture") != std::string::npos ||
           (stderrText.find("Couldn't run") != std::string::npos && stderrText.find("dumpcap") != std::string::npos);
}

std::string Tail(const std::string& s, size_t n = 1500) { return s.size() <= n ? s : "..." + s.substr(s.size() - n); }

std::string Dump(const ChildProcess& tshark) {
    std::string out = "tshark printed (";
    for (size_t i = 0; i < kFields.size(); ++i) out += (i ? " | " : "") + kFields[i];
    out += "):\n";
    for (const auto& l : tshark.OutLines()) {
        std::string row = l;
        for (auto& c : row)
            if (c == '\t') c = '|';
        out += "  " + row + "\n";
    }
    return out + "stderr:\n" + Tail(tshark.ErrText());
}

std::vector<std::string> TsharkArgs(uint16_t modbusPort, uint16_t probePort) {
    const std::string port = std::to_string(modbusPort);
    std::vector<std::string> args = {
        "tshark", "-i", "lo", "-n", "-l", "-f",
        "host 127.0.0.1 and (tcp port " + port + " or udp port " + std::to_string(probePort) + ")", "-d",
        "tcp.port==" + port + ",mbtcp",
        // The dissector tells a request from an answer only by its server port;
        // on any other port than 502 it would stop after the function code.
        "-o", "mbtcp.tcp.port:" + port,
        // Settings a personal profile could change.
        "-o", "mbtcp.desegment:TRUE", "-o", "modbus.mbus_register_format:UINT16",
        // It ends on its own even if this process is killed before it can end it.
        "-a", "duration:60", "-T", "fields", "-E", "separator=/t", "-E", "occurrence=a", "-E", "aggregator=,"};
    for (const auto& f : kFields) {
        args.push_back("-e");
        args.push_back(f);
    }
    return args;
}

sim::MeterOptions MeterInNormalOperation() {
    auto o = BootloaderOnLoopback();
    o.bootloaderFromStart = false;
    o.password = kPassword;
    // An exception answer other than 4 sends the tool straight into the update
    // procedure, which gets no identity from a meter in normal operation and
    // ends: the click is over after about 2.5 s, without the 2 s the meter
    // would be given to start its bootloader after a normal answer.
    o.faults.modbusException = 2;
    return o;
}

// tshark capturing the meter's Modbus port; a machine that cannot capture skips.
class BootModeCapture : public ::testing::Test {
protected:
    void SetUp() override {
        try {
            tshark = std::make_unique<ChildProcess>(TsharkArgs(modbusPort, probePort), ChildProcess::Stderr::Capture,
                                                    ChildProcess::Group::Own);
        } catch (const std::system_error& e) {
            if (e.code() == std::errc::no_such_file_or_directory)
                GTEST_SKIP() << "tshark is not installed: " << e.what();
            throw;
        }
        const auto startBy = Clock::now() + 30s;
        const bool announced =
            tshark->ReadUntil(startBy, [&] { return tshark->ErrText().find("Capturing on") != std::string::npos; });
        bool live = false;
        while (announced && !live && !tshark->OutputEnded() && Clock::now() < startBy) {
            SendTo(probe.Get(), "probe", probePort);
            live = tshark->ReadUntil(std::min(startBy, Clock::now() + 250ms), [&] {
                for (const auto& p : Packets(tshark->OutLines()))
                    if (IsPort(p.at("udp.dstport"), probePort)) return true;
                return false;
            });
        }
        if (live) return;
        const bool ended = tshark->OutputEnded();
        const auto status = tshark->Terminate(Clock::now() + 5s);
        if (CannotCapture(tshark->ErrText()))
            GTEST_SKIP() << "tshark cannot capture on the loopback interface here:\n" << Tail(tshark->ErrText());
        if (ended) FAIL() << "tshark ended before it captured anything (exit status " << status.value_or(-1) << ")";
        FAIL() << "tshark did not start capturing within 30 s";
    }
    // tshark's whole report, once, whatever check fails.
    void TearDown() override {
        if (HasFailure() && tshark) std::cerr << Dump(*tshark);
    }

    // The packets the tool sent to the meter, once the capture has seen its
    // connection close: with the FIN captured, every byte sent before it has
    // been reported too.
    std::vector<Packet> ToMeterAfterClose() {
        const bool closed = tshark->ReadUntil(Clock::now() + 10s, [&] {
            for (const auto& p : Packets(tshark->OutLines()))
                if (IsPort(p.at("tcp.dstport"), modbusPort) && IsSet(p.at("tcp.flags.fin"))) return true;
            return false;
        });
        EXPECT_TRUE(closed) << "the tool's connection to the meter was not seen to close";
        tshark->Terminate(Clock::now() + 10s);
        std::vector<Packet> out;
        for (const auto& p : Packets(tshark->OutLines()))
            if (IsPort(p.at("tcp.dstport"), modbusPort)) out.push_back(p);
        return out;
    }

    SocketRig rig{MeterInNormalOperation(), SmallImage({})};
    const uint16_t modbusPort = rig.meter.ModbusPort();
    // Sends datagrams to itself. They pass the capture filter too, and the
    // first one tshark reports proves that the capture is running: tshark
    // announces "Capturing on" before dumpcap has even been started, and
    // packets of that moment are lost.
    Fd probe = Udp();
    const uint16_t probePort = PortOf(probe.Get());
    std::unique_ptr<ChildProcess> tshark;
};

}  // namespace

TEST_F(BootModeCapture, TsharkDecodesAWellFormedWriteMultipleRegistersRequest) {
    rig.engine.Run({"127.0.0.1", kPassword, true});
    const std::vector<Packet> toMeter = ToMeterAfterClose();
    ASSERT_FALSE(HasFailure());

    long bytesToMeter = 0;
    std::vector<Packet> requests;
    for (const auto& p : toMeter) {
        bytesToMeter += Number(p.at("tcp.len")).value_or(-1000);  // an unreadable length must not pass
        if (!p.at("mbtcp.trans_id").empty()) requests.push_back(p);
    }
    EXPECT_EQ(bytesToMeter, 43) << "the 43 bytes of the request and nothing else";
    ASSERT_EQ(requests.size(), 1u) << "exactly one Modbus/TCP request";
    const Packet& r = requests.front();

    EXPECT_EQ(r.at("_ws.malformed"), "");
    EXPECT_EQ(r.at("mbtcp.cannot_classify"), "") << "not taken for a request";
    EXPECT_EQ(Number(r.at("mbtcp.trans_id")), 0x01F0);
    EXPECT_EQ(Number(r.at("mbtcp.prot_id")), 0);
    EXPECT_EQ(Number(r.at("mbtcp.len")), 37);
    EXPECT_EQ(Number(r.at("mbtcp.unit_id")), 1);
    EXPECT_EQ(Number(r.at("modbus.func_code")), 16) << "Write Multiple Registers";
    EXPECT_EQ(Number(r.at("modbus.reference_num")), 0x4571);
    EXPECT_EQ(Number(r.at("modbus.word_cnt")), 15);
    EXPECT_EQ(Number(r.at("modbus.byte_cnt")), 30);

    // The registers one by one, as the dissector numbers and reads them.
    std::vector<std::optional<long>> registers;
    for (long i = 0; i < 15; ++i) registers.push_back(0x4571 + i);
    EXPECT_EQ(Numbers(r.at("modbus.regnum16")), registers);
    EXPECT_EQ(Numbers(r.at("modbus.regval_uint16")), ExpectedRegisterValues(kPassword));

    // The meter, decoding on its own, got the same single request.
    std::vector<sim::Event> atMeter;
    for (const auto& e : rig.meter.Events())
        if (e.command == "MODBUS") atMeter.push_back(e);
    ASSERT_EQ(atMeter.size(), 1u);
    EXPECT_EQ(atMeter.front().length, 43u);
    EXPECT_EQ(atMeter.front().address, 0x4571u);
}
