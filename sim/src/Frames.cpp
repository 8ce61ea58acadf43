#include "sim/src/Frames.h"

#include <algorithm>
#include <cstring>

#include "sim/Meter.h"

namespace sim {
namespace {

constexpr std::string_view kIdentify = "VER?";
constexpr std::string_view kReset = "RESET";
constexpr std::string_view kBootText = "GoToBootMode";
// The erase parameters the bootloader knows: the first and the last sector,
// both included, of the whole application area. The flash's 512 KB are
// sectors 0 to 29 (4 KB ones at either end, 32 KB ones between), so 0x08000
// starts sector 8 and 0x7FFFF ends sector 29; a count of 29 from sector 8
// would run past the flash. Anything else is refused rather than guessed at.
constexpr uint8_t kEraseFirstSector = 0x08;
constexpr uint8_t kEraseLastSector = 0x1D;

bool Equals(ByteView bytes, std::string_view text) {
    return bytes.size() == text.size() && std::memcmp(bytes.data(), text.data(), text.size()) == 0;
}

bool SumIsZero(ByteView bytes) {
    uint8_t sum = 0;
    for (uint8_t b : bytes) sum = static_cast<uint8_t>(sum + b);
    return sum == 0;
}

uint16_t Be16(ByteView b, size_t at) { return static_cast<uint16_t>(b[at] << 8 | b[at + 1]); }

}  // namespace

BootFrame DecodeBootFrame(ByteView d) {
    BootFrame f;
    if (Equals(d, kIdentify)) {
        f.command = BootCommand::Identify;
        return f;
    }
    if (Equals(d, kReset)) {
        f.command = BootCommand::Reset;
        return f;
    }
    if (d.empty() || (d[0] != 'E' && d[0] != 'W')) {
        f.error = FrameError::Command;
        return f;
    }
    f.checksum = SumIsZero(d) ? ChecksumVerdict::Ok : ChecksumVerdict::Bad;
    if (d[0] == 'E') {
        f.command = BootCommand::Erase;
        if (d.size() != 4)
            f.error = FrameError::Length;
        else if (f.checksum == ChecksumVerdict::Bad)
            f.error = FrameError::Checksum;
        else if (d[1] != kEraseFirstSector || d[2] != kEraseLastSector)
            f.error = FrameError::Parameters;
        return f;
    }
    f.command = BootCommand::Write;
    if (d.size() >= 4) f.address = static_cast<uint32_t>(d[1]) << 16 | d[2] << 8 | d[3];
    if (d.size() != kWriteFrameSize)
        f.error = FrameError::Length;
    else if (f.checksum == ChecksumVerdict::Bad)
        f.error = FrameError::Checksum;
    else if (f.address % kBlockSize != 0 || f.address < kAppStart || f.address > kFlashSize - kBlockSize)
        f.error = FrameError::Address;
    else
        f.data = d.subspan(4, kBlockSize);
    return f;
}

std::string CommandLabel(BootCommand command) {
    switch (command) {
        case BootCommand::Identify: return "VER?";
        case BootCommand::Erase: return "E";
        case BootCommand::Write: return "W";
        case BootCommand::Reset: return "RESET";
        case BootCommand::Unknown: break;
    }
    return "?";
}

std::string ChecksumLabel(ChecksumVerdict verdict) {
    switch (verdict) {
        case ChecksumVerdict::Ok: return "ok";
        case ChecksumVerdict::Bad: return "bad";
        case ChecksumVerdict::None: break;
    }
    return "-";
}

Bytes OkAnswer() { return {'O', 'K', '\r', '\n'}; }

Bytes ErrorAnswer(FrameError error) {
    const char* reason = "??";
    switch (error) {
        case FrameError::Command: reason = "CM"; break;
        case FrameError::Length: reason = "LN"; break;
        case FrameError::Checksum: reason = "CS"; break;
        case FrameError::Parameters: reason = "PM"; break;
        case FrameError::Address: reason = "AD"; break;
        case FrameError::None: break;
    }
    return {'E', 'R', static_cast<uint8_t>(reason[0]), static_cast<uint8_t>(reason[1])};
}

namespace {

// Read Device Identification: only the basic objects, streamed (conformity
// level 1), so the other read codes are refused as values and objects past
// the last as addresses.
ModbusVerdict DecideDeviceId(ByteView pdu) {
    constexpr uint8_t kReadDeviceId = 0x0E, kBasicStream = 0x01;
    ModbusVerdict v{ModbusVerdict::Kind::Exception, 3, 0, 0};
    if (pdu.size() < 2 || pdu[1] != kReadDeviceId) {
        v.exceptionCode = 1;  // CANopen and other interfaces: not here
        return v;
    }
    if (pdu.size() != 4 || pdu[2] != kBasicStream) return v;
    if (pdu[3] >= kDeviceIdObjects) {
        v.exceptionCode = 2;
        return v;
    }
    v.kind = ModbusVerdict::Kind::Identify;
    v.exceptionCode = 0;
    v.firstObject = pdu[3];
    return v;
}

}  // namespace

ModbusVerdict DecideModbusRequest(ByteView adu, std::string_view password, bool deviceId) {
    ModbusVerdict v;
    // Not a Modbus request for this meter: a server stays silent rather than
    // answer something it cannot attribute.
    if (adu.size() < 8 || Be16(adu, 2) != 0 || adu[6] != 1) return v;
    v.kind = ModbusVerdict::Kind::Exception;
    const uint8_t function = adu[7];
    if (function != kWriteMultipleRegisters && (function != kEncapsulatedInterface || !deviceId)) {
        v.exceptionCode = 1;  // the meter implements nothing else
        return v;
    }
    // MBAP length counts unit, function and data; it must agree with what came.
    const ByteView pdu = adu.subspan(7);
    if (Be16(adu, 4) != adu.size() - 6) {
        v.exceptionCode = 3;
        return v;
    }
    if (function == kEncapsulatedInterface) return DecideDeviceId(pdu);
    if (pdu.size() < 6) {
        v.exceptionCode = 3;
        return v;
    }
    v.startRegister = Be16(pdu, 1);
    const uint16_t count = Be16(pdu, 3);
    const uint8_t byteCount = pdu[5];
    if (count < 1 || count > 123 || byteCount != 2 * count || pdu.size() != 6u + byteCount) {
        v.exceptionCode = 3;
        return v;
    }
    // The command block is written as a whole or not at all.
    if (v.startRegister != kBootRegister || count != kBootRegisterCount) {
        v.exceptionCode = 2;
        return v;
    }
    const ByteView values = pdu.subspan(6);
    if (!Equals(values.first(kBootText.size()), kBootText)) {
        v.exceptionCode = 3;
        return v;
    }
    const ByteView area = values.subspan(kBootText.size());
    const auto end = std::find(area.begin(), area.end(), uint8_t{0});
    const ByteView given = area.first(static_cast<size_t>(end - area.begin()));
    if (!Equals(given, password)) {
        v.exceptionCode = 4;
        return v;
    }
    v.kind = ModbusVerdict::Kind::Accept;
    return v;
}

size_t ModbusRequestLength(ByteView received) {
    constexpr size_t kHeader = 7;
    size_t need = kHeader + 1;
    if (received.size() < need) return need;
    const uint8_t function = received[kHeader];
    const bool writeMultiple = function == 0x0F || function == kWriteMultipleRegisters;
    // Reads and single writes (1..6): address and count or value; mask write:
    // address and two masks; read-write: two addresses, two counts, a byte
    // count; Read Device Identification: MEI type, read code, object.
    need += function <= 0x06                     ? 4
            : writeMultiple                      ? 5
            : function == 0x16                   ? 6
            : function == 0x17                   ? 9
            : function == kEncapsulatedInterface ? 3
                                                 : 0;
    if (received.size() < need) return need;
    const size_t data = writeMultiple ? received[kHeader + 5] : function == 0x17 ? received[kHeader + 9] : 0;
    return need + data > kModbusMaxAdu ? 0 : need + data;
}

Bytes ModbusNormalAnswer(ByteView adu) {
    Bytes a(adu.begin(), adu.begin() + 8);
    a[2] = 0;
    a[3] = 0;
    a[4] = 0;
    a[5] = 6;
    // Echo of the first register and the quantity, taken from the request.
    for (size_t i = 8; i < 12; ++i) a.push_back(i < adu.size() ? adu[i] : 0);
    return a;
}

Bytes ModbusDeviceIdAnswer(ByteView adu, uint8_t first, const std::vector<std::string>& objects) {
    constexpr uint8_t kConformityBasicStream = 0x01, kNoMoreFollows = 0x00, kNoNextObject = 0x00;
    const uint8_t count = static_cast<uint8_t>(objects.size() - std::min<size_t>(first, objects.size()));
    Bytes a = {adu[0],
               adu[1],
               0,
               0,
               0,
               0,
               adu[6],
               adu[7],
               0x0E,
               adu.size() > 9 ? adu[9] : uint8_t{1},
               kConformityBasicStream,
               kNoMoreFollows,
               kNoNextObject,
               count};
    for (size_t id = first; id < objects.size(); ++id) {
        a.push_back(static_cast<uint8_t>(id));
        a.push_back(static_cast<uint8_t>(objects[id].size()));
        for (char c : objects[id]) a.push_back(static_cast<uint8_t>(c));
    }
    const size_t length = a.size() - 6;  // from the unit on
    a[4] = static_cast<uint8_t>(length >> 8);
    a[5] = static_cast<uint8_t>(length);
    return a;
}

Bytes ModbusExceptionAnswer(ByteView adu, uint8_t code) {
    Bytes a(adu.begin(), adu.begin() + 8);
    a[2] = 0;
    a[3] = 0;
    a[4] = 0;
    a[5] = 3;
    a[7] = static_cast<uint8_t>(a[7] | 0x80);
    a.push_back(code);
    return a;
}

}  // namespace sim
