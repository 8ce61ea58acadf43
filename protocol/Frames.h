// The bytes on the wire and the texts made from them, no I/O. Every frame
// and answer is a value that encodes to its bytes and decodes from received
// bytes, whose length it checks first.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "protocol/Constants.h"

namespace protocol {

using Bytes = std::span<const std::uint8_t>;

// Two's complement of the 8-bit sum, so that a whole frame sums to zero.
std::uint8_t Checksum(Bytes bytes);

// ---- Modbus TCP ----

// The password rule: kMinPassword to kMaxPassword bytes.
bool PasswordLengthOk(std::string_view password);
// "4 to 16", as the messages give the rule.
std::string PasswordLimitsText();

// Asks the meter to start its bootloader: a Write Multiple Registers request
// to unit 1 that writes "GoToBootMode" and the password into the registers
// 0x4571 to 0x457F.
struct BootModeRequest {
    static constexpr std::size_t kSize = 43;
    static constexpr std::size_t kPasswordOffset = 25;

    // One byte per character (PasswordBytes). Encoding cuts longer input at kMaxPassword bytes, so that
    // nothing can ever land beyond the frame's end.
    std::string password;

    std::array<std::uint8_t, kSize> Encode() const;
    // The password ends at its first zero byte.
    static std::optional<BootModeRequest> Decode(Bytes frame);
    bool operator==(const BootModeRequest&) const = default;
};

// What the meter's answer means. Only the count of bytes taken, the function
// code (offset 7) and the exception code (offset 8) are examined.
struct BootModeAnswer {
    enum class Kind { Accepted, PasswordRejected, Unusable };
    static constexpr std::size_t kAcceptedSize = 12;  // also the most the tool takes
    static constexpr std::size_t kRejectedSize = 9;

    Kind kind = Kind::Unusable;
    // An unusable answer that is a Modbus exception reply: its code; else 0.
    std::uint8_t exception = 0;

    // As the meter answers the tool's request; nothing for an unusable answer.
    std::vector<std::uint8_t> Encode() const;
    // Never fails: whatever is neither answer is an unusable one.
    static BootModeAnswer Decode(Bytes received);
    bool operator==(const BootModeAnswer&) const = default;
};

// Asks the meter's application who it is, once the update has reset the
// meter: Read Device Identification (function 43, MEI type 14), the basic
// objects from object 0, to unit 1. It reads and changes nothing.
struct DeviceIdRequest {
    static constexpr std::size_t kSize = 11;
    std::array<std::uint8_t, kSize> Encode() const;
    static std::optional<DeviceIdRequest> Decode(Bytes frame);
    bool operator==(const DeviceIdRequest&) const = default;
};

// The application's answer. Any whole Modbus answer proves that the
// application runs, an exception answer included; a normal one names it.
struct DeviceIdAnswer {
    static constexpr std::size_t kHeaderSize = 7;  // MBAP: transaction, protocol, length, unit
    static constexpr std::size_t kMaxSize = kHeaderSize + 253;

    std::uint8_t exception = 0;  // an exception answer's code; 0: a normal answer
    // Objects 0, 1 and 2 as sent (Latin-1); empty where the answer has none.
    std::string vendor{}, product{}, revision{};

    // As a meter answers DeviceIdRequest.
    std::vector<std::uint8_t> Encode() const;
    // How many bytes the answer whose first bytes are `head` has in all;
    // 0 while fewer than its header's length field have come, or when they
    // cannot begin a Modbus answer.
    static std::size_t WholeSize(Bytes head);
    // A whole Modbus answer; nothing for anything else.
    static std::optional<DeviceIdAnswer> Decode(Bytes answer);
    bool operator==(const DeviceIdAnswer&) const = default;
};

// ---- the bootloader, over UDP: one frame or answer is one datagram ----

// "VER?": who is there.
struct IdentifyRequest {
    static constexpr std::size_t kSize = 4;
    std::array<std::uint8_t, kSize> Encode() const;
    static std::optional<IdentifyRequest> Decode(Bytes frame);
    bool operator==(const IdentifyRequest&) const = default;
};

// The two bootloaders this tool can program, compared exactly.
struct Identity {
    static constexpr std::size_t kSize = 26;  // also the most the tool takes

    std::string text;  // "TALVO-ETH-BOOTLOADER-V1.00"

    // What the window shows: "BOOTLOADER-V1.00".
    std::string Label() const;
    std::vector<std::uint8_t> Encode() const;
    static std::optional<Identity> Decode(Bytes reply);
    static std::optional<Identity> Decode(std::string_view reply);
    bool operator==(const Identity&) const = default;
};

// "E": erases the application area, 0x08000 to 0x7FFFF, named by its first
// and last sector as the bootloader numbers them (4 KB sectors at both ends,
// 32 KB ones between: 0x08000 starts sector 8, 0x7FFFF ends sector 29).
struct EraseRequest {
    static constexpr std::size_t kSize = 4;

    std::uint8_t firstSector = 0x08;
    std::uint8_t lastSector = 0x1D;

    std::array<std::uint8_t, kSize> Encode() const;
    // Also refuses a frame whose checksum does not fit.
    static std::optional<EraseRequest> Decode(Bytes frame);
    bool operator==(const EraseRequest&) const = default;
};

// The erase's answer: its first two bytes are characters, "OK" when the
// flash was erased. The rest, and its length, are not examined.
struct EraseAnswer {
    static constexpr std::size_t kMaxSize = 4;  // the most the tool takes
    static constexpr std::size_t kTextSize = 2;

    std::array<std::uint8_t, kTextSize> text{};

    bool Confirmed() const { return text[0] == 'O' && text[1] == 'K'; }
    // As a label shows the two characters: up to a zero byte.
    std::string Text() const;
    std::array<std::uint8_t, kMaxSize> Encode() const;
    // Takes the first two bytes; fewer are no answer.
    static std::optional<EraseAnswer> Decode(Bytes answer);
    bool operator==(const EraseAnswer&) const = default;
};

// "W": one block, 1024 bytes, at its flash address (24 bits, big-endian;
// higher bits are not sent).
struct WriteRequest {
    static constexpr std::size_t kSize = 4 + kBlockSize + 1;
    static constexpr std::size_t kDataOffset = 4;

    std::uint32_t address = 0;
    std::span<const std::uint8_t, kBlockSize> data;

    // Into the start of out, which must hold kSize bytes (frames are built in
    // place); returns the count written, 0 when out is too small.
    std::size_t Encode(std::span<std::uint8_t> out) const;
    // The data is a view into frame. Also refuses a frame whose checksum does not fit.
    static std::optional<WriteRequest> Decode(Bytes frame);
};

// A write's answer: exactly four bytes, the first "O" when the block was
// taken. Bytes 2 and 3 are not examined.
struct WriteAnswer {
    static constexpr std::size_t kSize = 4;

    std::array<std::uint8_t, kSize> bytes{};

    bool Accepted() const { return bytes[0] == 'O'; }
    std::array<std::uint8_t, kSize> Encode() const { return bytes; }
    static std::optional<WriteAnswer> Decode(Bytes answer);
    bool operator==(const WriteAnswer&) const = default;
};

// "RESET": the bootloader starts the application. No answer is examined.
struct ResetRequest {
    static constexpr std::size_t kSize = 5;
    std::array<std::uint8_t, kSize> Encode() const;
    static std::optional<ResetRequest> Decode(Bytes frame);
    bool operator==(const ResetRequest&) const = default;
};

// The largest frame the tool sends.
inline constexpr std::size_t kLargestFrame = WriteRequest::kSize;

// ---- what the update makes of them ----

bool IsBlank(Bytes data);

// "writing sector 0x08400": the block address in five upper-case hex digits.
std::string WritingSectorText(std::uint32_t address);

// "erase sector 0x08000 - 0x7FFFF": the area an erase request clears.
std::string EraseAreaText();

// The block after the current one; the block at flashStart is written last,
// so that an interrupted update leaves the application without its start.
std::int64_t NextBlock(std::int64_t current, std::int64_t flashStart, std::int64_t flashEnd);

}  // namespace protocol
