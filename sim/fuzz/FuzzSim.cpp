// libFuzzer entry: every byte sequence the meter can be handed, through the
// pure decoders and the meter's whole reaction, must end in a defined answer
// or silence. A violated expectation traps, so the fuzzer reports it.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "sim/src/Frames.h"
#include "sim/src/MeterCore.h"
#include "sim/Faults.h"

namespace {

using namespace sim;

void Expect(bool condition) {
    if (!condition) __builtin_trap();
}

void BootFrameInvariants(ByteView d) {
    const BootFrame f = DecodeBootFrame(d);
    if (!f.data.empty()) {
        Expect(f.command == BootCommand::Write && f.error == FrameError::None && d.size() == kWriteFrameSize);
        Expect(f.address % kBlockSize == 0 && f.address >= kAppStart && f.address + kBlockSize <= kFlashSize);
    }
    if (f.error != FrameError::None) Expect(ErrorAnswer(f.error).size() == 4 && ErrorAnswer(f.error)[0] != 'O');
}

void ModbusInvariants(ByteView adu) {
    const ModbusVerdict v = DecideModbusRequest(adu, "1234");
    if (v.kind == ModbusVerdict::Kind::Ignore) return;
    Expect(adu.size() >= 8);
    if (v.kind == ModbusVerdict::Kind::Accept) {
        Expect(ModbusNormalAnswer(adu).size() == 12);
    } else if (v.kind == ModbusVerdict::Kind::Identify) {
        const std::string longest(kMaxDeviceIdText, 'x');
        Expect(v.firstObject < kDeviceIdObjects &&
               ModbusDeviceIdAnswer(adu, v.firstObject, {longest, longest, longest}).size() <= kModbusMaxAdu);
    } else {
        Expect(v.exceptionCode >= 1 && v.exceptionCode <= 4);
        Expect(ModbusExceptionAnswer(adu, v.exceptionCode).size() == 9);
    }
}

MeterOptions FaultyMeter(uint8_t knob) {
    MeterOptions o;
    o.bootloaderFromStart = true;
    o.seed = knob;
    o.faults.lossInPercent = knob % 8;
    o.faults.lossOutPercent = knob % 5;
    o.faults.modbusException = knob % 3 == 0 ? 4 : 0;
    o.faults.modbusSplitBytes = knob % 13;
    o.faults.rttMs = knob % 4 ? 700 : 0;
    o.faults.rttJitterMs = knob % 4 == 1 ? 140 : 0;
    o.faults.afterReset = static_cast<AfterReset>(knob % 3);
    o.deviceId = knob % 5 != 0;
    for (const char* rule :
         {"wrong@every=2", "short@every=3", "oversized@every=5", "zero@every=7", "script:4f@every=11",
          "duplicate@every=13", "delay:70@cmd=W", "drop@block=0x08800", "foreign-port@cmd=E", "reboot@every=97"})
        o.faults.rules.push_back(*ParseFaultRule(rule, nullptr));
    return o;
}

// The rest of the input as a conversation: a length byte, then that many
// bytes, going to the bootloader or (odd length byte) the Modbus server.
void Conversation(ByteView in, uint8_t knob) {
    const MeterOptions options = FaultyMeter(knob);
    const Faults& f = options.faults;
    MeterCore core(options);
    while (!in.empty()) {
        size_t n = in[0];
        const bool modbus = n & 1;
        in = in.subspan(1);
        if (n == 255) n = kWriteFrameSize;  // now and then a whole write frame
        n = std::min(n, in.size());
        const ByteView message = in.first(n);
        in = in.subspan(n);
        const Reaction r = modbus ? core.OnModbusRequest(message) : core.OnDatagram(message);
        Expect(r.event.length == message.size());
        for (const Send& s : r.sends)
            Expect(s.delayMs >= 0 && s.bytes.size() <= 65507 &&
                   (f.rttMs ? std::abs(s.linkMs - f.rttMs) <= f.rttJitterMs : s.linkMs == -1));
        // Now and then the application comes back before the next message.
        if (r.bootEndsInMs >= 0 && knob % 2) {
            const auto boot = core.BootEnds(r.restart);
            Expect(boot && boot->command == "BOOT" && !core.BootEnds(r.restart));
        }
        if (r.enterBootloaderInMs >= 0 || !core.InBootloader()) core.EnterBootloader();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const ByteView in(data + 1, size - 1);
    switch (data[0] % 4) {
        case 0: BootFrameInvariants(in); break;
        case 1: ModbusInvariants(in); break;
        case 2: {
            std::string error;
            const std::string text(in.begin(), in.end());
            if (!ParseFaultRule(text, &error)) Expect(!error.empty());
            break;
        }
        default: Conversation(in, data[0]); break;
    }
    return 0;
}
