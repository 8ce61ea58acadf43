#include "protocol/Frames.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace protocol {
namespace {

// The request's fixed head: the MBAP header and the PDU up to the text.
constexpr std::array<std::uint8_t, BootModeRequest::kPasswordOffset> kBootModeHead{
    0x01, 0xF0,  // transaction identifier
    0x00, 0x00,  // protocol: Modbus
    0x00, 0x25,  // 37 bytes follow
    0x01,        // unit
    0x10,        // Write Multiple Registers
    0x45, 0x71,  // from register 0x4571
    0x00, 0x0F,  // 15 registers
    0x1E,        // 30 data bytes
    'G',  'o',  'T', 'o', 'B', 'o', 'o', 't', 'M', 'o', 'd', 'e'};

constexpr std::uint8_t kWriteMultipleRegisters = 0x10;
constexpr std::uint8_t kExceptionReply = 0x80;
constexpr std::uint8_t kPasswordRejectedCode = 0x04;

constexpr std::array<std::uint8_t, DeviceIdRequest::kSize> kDeviceIdRequest{
    0x01, 0xF1,  // transaction identifier
    0x00, 0x00,  // protocol: Modbus
    0x00, 0x05,  // 5 bytes follow
    0x01,        // unit
    0x2B,        // Encapsulated Interface Transport
    0x0E,        // MEI type: Read Device Identification
    0x01,        // the basic objects
    0x00};       // from object 0
constexpr std::uint8_t kDeviceIdFunction = 0x2B;
constexpr std::uint8_t kDeviceIdMei = 0x0E;

constexpr std::array<std::uint8_t, IdentifyRequest::kSize> kVer{'V', 'E', 'R', '?'};
constexpr std::array<std::uint8_t, ResetRequest::kSize> kReset{'R', 'E', 'S', 'E', 'T'};
constexpr std::string_view kIdentities[] = {"TALVO-ETH-BOOTLOADER-V1.00", "QT51/QT52-BOOTLOADER-V1.01"};

template <std::size_t N>
bool Equals(Bytes frame, const std::array<std::uint8_t, N>& want) {
    return frame.size() == N && std::equal(want.begin(), want.end(), frame.begin());
}

// A checksummed frame of exactly size bytes that begins with command.
bool IsChecksummedFrame(Bytes frame, std::size_t size, std::uint8_t command) {
    return frame.size() == size && frame[0] == command && Checksum(frame.first(size - 1)) == frame[size - 1];
}

std::string UpToZero(const char* text, std::size_t n) { return std::string(text, std::find(text, text + n, '\0')); }

}  // namespace

std::uint8_t Checksum(Bytes bytes) {
    std::uint8_t sum = 0;
    for (const std::uint8_t b : bytes) sum = static_cast<std::uint8_t>(sum + b);
    return static_cast<std::uint8_t>(~sum + 1);
}

std::array<std::uint8_t, BootModeRequest::kSize> BootModeRequest::Encode() const {
    std::array<std::uint8_t, kSize> f{};
    std::copy(kBootModeHead.begin(), kBootModeHead.end(), f.begin());
    const std::size_t n = std::min(password.size(), kMaxPassword);
    std::memcpy(f.data() + kPasswordOffset, password.data(), n);
    return f;
}

std::optional<BootModeRequest> BootModeRequest::Decode(Bytes frame) {
    if (frame.size() != kSize || !std::equal(kBootModeHead.begin(), kBootModeHead.end(), frame.begin()))
        return std::nullopt;
    const Bytes area = frame.subspan(kPasswordOffset);
    const auto end = std::find(area.begin(), area.end(), 0);
    if (end - area.begin() > static_cast<std::ptrdiff_t>(kMaxPassword)) return std::nullopt;
    return BootModeRequest{std::string(area.begin(), end)};
}

bool PasswordLengthOk(std::string_view password) {
    return password.size() >= kMinPassword && password.size() <= kMaxPassword;
}

std::string PasswordLimitsText() { return std::to_string(kMinPassword) + " to " + std::to_string(kMaxPassword); }

std::vector<std::uint8_t> BootModeAnswer::Encode() const {
    switch (kind) {
        case Kind::Accepted:  // the request's head echoed with 6 bytes following
            return {0x01, 0xF0, 0x00, 0x00, 0x00, 0x06, 0x01, kWriteMultipleRegisters, 0x45, 0x71, 0x00, 0x0F};
        case Kind::PasswordRejected:
            return {0x01,
                    0xF0,
                    0x00,
                    0x00,
                    0x00,
                    0x03,
                    0x01,
                    kWriteMultipleRegisters | kExceptionReply,
                    kPasswordRejectedCode};
        case Kind::Unusable: break;
    }
    return {};
}

BootModeAnswer BootModeAnswer::Decode(Bytes received) {
    if (received.size() == kAcceptedSize && received[7] == kWriteMultipleRegisters) return {Kind::Accepted};
    if (received.size() == kRejectedSize && received[7] == (kWriteMultipleRegisters | kExceptionReply) &&
        received[8] == kPasswordRejectedCode)
        return {Kind::PasswordRejected};
    if (received.size() == kRejectedSize && received[7] == (kWriteMultipleRegisters | kExceptionReply))
        return {Kind::Unusable, received[8]};
    return {Kind::Unusable};
}

std::array<std::uint8_t, IdentifyRequest::kSize> IdentifyRequest::Encode() const { return kVer; }

std::optional<IdentifyRequest> IdentifyRequest::Decode(Bytes frame) {
    if (!Equals(frame, kVer)) return std::nullopt;
    return IdentifyRequest{};
}

std::string Identity::Label() const { return text.substr(10, 16); }

std::vector<std::uint8_t> Identity::Encode() const { return {text.begin(), text.end()}; }

std::optional<Identity> Identity::Decode(std::string_view reply) {
    if (reply.size() != kSize) return std::nullopt;
    for (const std::string_view id : kIdentities)
        if (reply == id) return Identity{std::string(reply)};
    return std::nullopt;
}

std::optional<Identity> Identity::Decode(Bytes reply) {
    return Decode(std::string_view(reinterpret_cast<const char*>(reply.data()), reply.size()));
}

std::array<std::uint8_t, EraseRequest::kSize> EraseRequest::Encode() const {
    std::array<std::uint8_t, kSize> f{'E', firstSector, lastSector, 0};
    f[3] = Checksum(Bytes(f).first(3));
    return f;
}

std::optional<EraseRequest> EraseRequest::Decode(Bytes frame) {
    if (!IsChecksummedFrame(frame, kSize, 'E')) return std::nullopt;
    return EraseRequest{frame[1], frame[2]};
}

std::string EraseAnswer::Text() const { return UpToZero(reinterpret_cast<const char*>(text.data()), kTextSize); }

std::array<std::uint8_t, EraseAnswer::kMaxSize> EraseAnswer::Encode() const { return {text[0], text[1], '\r', '\n'}; }

std::optional<EraseAnswer> EraseAnswer::Decode(Bytes answer) {
    if (answer.size() < kTextSize) return std::nullopt;
    return EraseAnswer{{answer[0], answer[1]}};
}

std::size_t WriteRequest::Encode(std::span<std::uint8_t> out) const {
    if (out.size() < kSize) return 0;
    out[0] = 'W';
    out[1] = static_cast<std::uint8_t>(address >> 16);
    out[2] = static_cast<std::uint8_t>(address >> 8);
    out[3] = static_cast<std::uint8_t>(address);
    std::copy(data.begin(), data.end(), out.begin() + kDataOffset);
    out[kSize - 1] = Checksum(out.first(kSize - 1));
    return kSize;
}

std::optional<WriteRequest> WriteRequest::Decode(Bytes frame) {
    if (!IsChecksummedFrame(frame, kSize, 'W')) return std::nullopt;
    const std::uint32_t address = std::uint32_t{frame[1]} << 16 | std::uint32_t{frame[2]} << 8 | frame[3];
    return WriteRequest{address, frame.subspan<kDataOffset, kBlockSize>()};
}

std::optional<WriteAnswer> WriteAnswer::Decode(Bytes answer) {
    if (answer.size() != kSize) return std::nullopt;
    WriteAnswer a;
    std::copy(answer.begin(), answer.end(), a.bytes.begin());
    return a;
}

std::array<std::uint8_t, ResetRequest::kSize> ResetRequest::Encode() const { return kReset; }

std::optional<ResetRequest> ResetRequest::Decode(Bytes frame) {
    if (!Equals(frame, kReset)) return std::nullopt;
    return ResetRequest{};
}

bool IsBlank(Bytes data) {
    return std::all_of(data.begin(), data.end(), [](std::uint8_t b) { return b == 0xFF; });
}

std::string WritingSectorText(std::uint32_t address) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "writing sector 0x%05X", static_cast<unsigned>(address));
    return buf;
}

std::string EraseAreaText() {
    char buf[48];
    std::snprintf(buf, sizeof buf, "erase sector 0x%05X - 0x%05X", static_cast<unsigned>(kApplicationStart),
                  static_cast<unsigned>(kApplicationEnd));
    return buf;
}

std::int64_t NextBlock(std::int64_t current, std::int64_t flashStart, std::int64_t flashEnd) {
    const std::int64_t next = current + static_cast<std::int64_t>(kBlockSize);
    return next < flashEnd ? next : flashStart;
}

std::array<std::uint8_t, DeviceIdRequest::kSize> DeviceIdRequest::Encode() const { return kDeviceIdRequest; }

std::optional<DeviceIdRequest> DeviceIdRequest::Decode(Bytes frame) {
    if (!Equals(frame, kDeviceIdRequest)) return std::nullopt;
    return DeviceIdRequest{};
}

std::vector<std::uint8_t> DeviceIdAnswer::Encode() const {
    std::vector<std::uint8_t> a(kDeviceIdRequest.begin(), kDeviceIdRequest.begin() + kHeaderSize);
    if (exception != 0) {
        a.insert(a.end(), {static_cast<std::uint8_t>(kDeviceIdFunction | kExceptionReply), exception});
    } else {
        // Conformity level 1 (basic, stream access), nothing more follows, three objects.
        a.insert(a.end(), {kDeviceIdFunction, kDeviceIdMei, 0x01, 0x01, 0x00, 0x00, 0x03});
        std::uint8_t id = 0;
        for (const std::string* value : {&vendor, &product, &revision}) {
            const std::size_t n = std::min<std::size_t>(value->size(), 0xFF);
            a.insert(a.end(), {id++, static_cast<std::uint8_t>(n)});
            a.insert(a.end(), value->begin(), value->begin() + static_cast<std::ptrdiff_t>(n));
        }
    }
    const std::size_t following = a.size() - 6;
    a[4] = static_cast<std::uint8_t>(following >> 8);
    a[5] = static_cast<std::uint8_t>(following);
    return a;
}

std::size_t DeviceIdAnswer::WholeSize(Bytes head) {
    if (head.size() < 6 || head[2] != 0 || head[3] != 0) return 0;
    const std::size_t following = (std::size_t{head[4]} << 8) | head[5];
    // The unit and at least a function code follow, within a Modbus frame's limit.
    if (following < 2 || following > kMaxSize - 6) return 0;
    return 6 + following;
}

std::optional<DeviceIdAnswer> DeviceIdAnswer::Decode(Bytes answer) {
    if (WholeSize(answer) != answer.size()) return std::nullopt;
    DeviceIdAnswer a;
    const Bytes pdu = answer.subspan(kHeaderSize);
    if (pdu[0] & kExceptionReply) {
        // An exception answer without its code still came from a Modbus server.
        a.exception = pdu.size() > 1 && pdu[1] != 0 ? pdu[1] : 0xFF;
        return a;
    }
    // Another answer proves the server as well; only this one names the meter.
    if (pdu[0] != kDeviceIdFunction || pdu.size() < 7 || pdu[1] != kDeviceIdMei) return a;
    std::size_t at = 7;
    for (int n = pdu[6]; n > 0 && at + 2 <= pdu.size(); --n) {
        const std::uint8_t id = pdu[at];
        const std::size_t length = pdu[at + 1];
        if (at + 2 + length > pdu.size()) break;
        const std::string value(pdu.begin() + static_cast<std::ptrdiff_t>(at + 2),
                                pdu.begin() + static_cast<std::ptrdiff_t>(at + 2 + length));
        if (id == 0) a.vendor = value;
        if (id == 1) a.product = value;
        if (id == 2) a.revision = value;
        at += 2 + length;
    }
    return a;
}

}  // namespace protocol
