// The bytes on the wire and what is read from them: pure functions, no I/O.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace loader {

inline constexpr std::size_t kBlockSize = 1024;
inline constexpr std::size_t kWriteFrameSize = 1029;
inline constexpr std::size_t kEraseFrameSize = 4;
inline constexpr std::size_t kBootModeFrameSize = 43;
inline constexpr std::size_t kIdentityLength = 26;

// Two's complement of the 8-bit sum, so that a whole frame sums to zero.
uint8_t Checksum(const uint8_t* bytes, std::size_t n);

// Erases the application area 0x08000..0x7FFFF; returns the frame length.
std::size_t BuildEraseFrame(uint8_t* out);

// "W", the block address in 24 bits big-endian, 1024 data bytes, checksum.
std::size_t BuildWriteFrame(uint8_t* out, uint32_t address, const uint8_t* data);

bool IsBlank(const uint8_t* data, std::size_t n);

// The percentage of the bar's range, computed in floating point (division
// first) and rounded half away from zero.
int Percent(int64_t position, int64_t minimum, int64_t maximum);

// The block after the current one; the block at flashStart is written last,
// so that an interrupted update leaves the application without its start.
int64_t NextBlock(int64_t current, int64_t flashStart, int64_t flashEnd);

// The Modbus TCP request that asks the meter to start its bootloader.
// The password is 4 to 16 bytes (PasswordText.h); longer input is cut at 16 so that
// nothing can ever land beyond the frame's end.
std::array<uint8_t, kBootModeFrameSize> BuildBootModeRequest(std::string_view password);

enum class BootModeAnswer { Accepted, PasswordRejected, Unusable };
BootModeAnswer ClassifyBootModeAnswer(int32_t received, const uint8_t* answer);

// The password rule: 4 to 16 bytes.
bool PasswordLengthOk(std::string_view password);

// The two bootloaders this tool can program; compared exactly. Returns the
// text to show for an accepted identity, or an empty string.
std::string IdentityLabel(std::string_view reply);

}  // namespace loader
