// Pure decoding of what reaches the meter, and the answers it builds.
// No sockets and no state, so any byte sequence can be fed in by tests and
// the fuzzer.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace sim {

using Bytes = std::vector<uint8_t>;
using ByteView = std::span<const uint8_t>;

inline constexpr size_t kWriteFrameSize = 1029;

enum class BootCommand { Identify, Erase, Write, Reset, Unknown };
enum class ChecksumVerdict { None, Ok, Bad };
enum class FrameError { None, Command, Length, Checksum, Parameters, Address };

struct BootFrame {
    BootCommand command = BootCommand::Unknown;
    uint32_t address = 0;  // write frames of at least 4 bytes
    ChecksumVerdict checksum = ChecksumVerdict::None;
    FrameError error = FrameError::None;
    ByteView data;  // write frames without error: the 1024 bytes to program
};

BootFrame DecodeBootFrame(ByteView datagram);

std::string CommandLabel(BootCommand command);       // "VER?", "E", "W", "RESET", "?"
std::string ChecksumLabel(ChecksumVerdict verdict);  // "ok", "bad", "-"

// Four bytes: "OK\r\n", or "ER" and a two-letter reason ("CM", "LN", "CS", "PM", "AD").
Bytes OkAnswer();
Bytes ErrorAnswer(FrameError error);

// Modbus TCP: what the meter makes of one request ADU (MBAP header included).
struct ModbusVerdict {
    // Accept: the boot-mode request; Identify: Read Device Identification.
    enum class Kind { Ignore, Accept, Identify, Exception } kind = Kind::Ignore;
    uint8_t exceptionCode = 0;
    uint16_t startRegister = 0;
    uint8_t firstObject = 0;  // Identify: the object the answer starts with
};

inline constexpr uint16_t kBootRegister = 0x4571;
inline constexpr uint16_t kBootRegisterCount = 15;
inline constexpr uint8_t kWriteMultipleRegisters = 0x10;
inline constexpr uint8_t kEncapsulatedInterface = 0x2B;  // with MEI type 0x0E: Read Device Identification
inline constexpr uint8_t kDeviceIdObjects = 3;           // vendor name, product code, revision

// `deviceId` false: a meter whose application lacks Read Device Identification.
ModbusVerdict DecideModbusRequest(ByteView adu, std::string_view password, bool deviceId = true);

inline constexpr size_t kModbusMaxAdu = 260;

// How long the request at the start of a TCP stream is, as far as its bytes
// so far tell: the MBAP header and function code (8 bytes), then the fixed
// part the function code implies, then the byte count that part carries; the
// length field of the header is not trusted for it. Complete once `received`
// holds at least that many bytes. 0: longer than any request may be.
size_t ModbusRequestLength(ByteView received);

// The normal answer to a write-multiple-registers request (12 bytes), or an
// exception answer (9 bytes); echoes the request's transaction and unit.
// `adu` must hold at least the 8 bytes of header and function code.
Bytes ModbusNormalAnswer(ByteView adu);
Bytes ModbusExceptionAnswer(ByteView adu, uint8_t code);
// The basic identification from object `first` on, all in one answer;
// `objects` holds the values of objects 0, 1 and 2.
Bytes ModbusDeviceIdAnswer(ByteView adu, uint8_t first, const std::vector<std::string>& objects);

}  // namespace sim
