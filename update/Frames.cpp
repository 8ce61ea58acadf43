#include "Frames.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>

namespace loader {

uint8_t Checksum(const uint8_t* bytes, std::size_t n) {
    uint8_t sum = 0;
    for (std::size_t i = 0; i < n; ++i) sum = static_cast<uint8_t>(sum + bytes[i]);
    return static_cast<uint8_t>(~sum + 1);
}

std::size_t BuildEraseFrame(uint8_t* out) {
    out[0] = 'E';
    out[1] = 0x08;  // first and count of the flash sectors: 0x08000..0x7FFFF
    out[2] = 0x1D;
    out[3] = Checksum(out, 3);
    return kEraseFrameSize;
}

std::size_t BuildWriteFrame(uint8_t* out, uint32_t address, const uint8_t* data) {
    out[0] = 'W';
    out[1] = static_cast<uint8_t>(address >> 16);
    out[2] = static_cast<uint8_t>(address >> 8);
    out[3] = static_cast<uint8_t>(address);
    std::memcpy(out + 4, data, kBlockSize);
    out[4 + kBlockSize] = Checksum(out, 4 + kBlockSize);
    return kWriteFrameSize;
}

bool IsBlank(const uint8_t* data, std::size_t n) {
    return std::all_of(data, data + n, [](uint8_t b) { return b == 0xFF; });
}

int Percent(int64_t position, int64_t minimum, int64_t maximum) {
    if (maximum <= minimum) return 0;  // no range, no share of it
    const double p = static_cast<double>(position - minimum) / static_cast<double>(maximum - minimum) * 100.0;
    return static_cast<int>(std::round(p));  // halves away from zero
}

int64_t NextBlock(int64_t current, int64_t flashStart, int64_t flashEnd) {
    const int64_t next = current + static_cast<int64_t>(kBlockSize);
    return next < flashEnd ? next : flashStart;
}

std::array<uint8_t, kBootModeFrameSize> BuildBootModeRequest(std::string_view password) {
    std::array<uint8_t, kBootModeFrameSize> f{0x01, 0xF0,  // transaction identifier
                                              0x00, 0x00,  // protocol: Modbus
                                              0x00, 0x25,  // 37 bytes follow
                                              0x01,        // unit
                                              0x10,        // Write Multiple Registers
                                              0x45, 0x71,  // from register 0x4571
                                              0x00, 0x0F,  // 15 registers
                                              0x1E,        // 30 data bytes
                                              'G',  'o',  'T', 'o', 'B', 'o', 'o', 't', 'M', 'o', 'd', 'e'};
    const std::size_t n = std::min<std::size_t>(password.size(), 16);
    std::memcpy(f.data() + 25, password.data(), n);
    return f;
}

BootModeAnswer ClassifyBootModeAnswer(int32_t received, const uint8_t* answer) {
    if (received == 12 && answer[7] == 0x10) return BootModeAnswer::Accepted;
    if (received == 9 && answer[7] == 0x90 && answer[8] == 0x04) return BootModeAnswer::PasswordRejected;
    return BootModeAnswer::Unusable;
}

bool PasswordLengthOk(std::string_view password) { return password.size() >= 4 && password.size() <= 16; }

std::string IdentityLabel(std::string_view reply) {
    static constexpr std::string_view kAccepted[] = {"TALVO-ETH-BOOTLOADER-V1.00", "QT51/QT52-BOOTLOADER-V1.01"};
    for (std::string_view id : kAccepted)
        if (reply == id) return std::string(reply.substr(10, 16));
    return {};
}

}  // namespace loader
