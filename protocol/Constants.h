// The facts of the meter's protocol that the engine, the window, the command
// line, the report and the benches share: each one is written here only.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>

namespace protocol {

using std::chrono::milliseconds;

// Where the meter listens: its Modbus TCP server, and after the boot-mode
// request its bootloader's datagram port.
inline constexpr std::uint16_t kModbusPort = 502;
inline constexpr std::uint16_t kBootloaderPort = 5555;

// The admin password's length, in bytes: one per character (PasswordBytes).
inline constexpr std::size_t kMinPassword = 4;
inline constexpr std::size_t kMaxPassword = 16;

// The module's flash, addresses 0x00000 to 0x7FFFF; the tool erases and
// writes only the application area, 0x08000 to the last address, in blocks.
inline constexpr std::uint32_t kFlashSize = 0x80000;
inline constexpr std::uint32_t kApplicationStart = 0x08000;
inline constexpr std::uint32_t kApplicationEnd = kFlashSize - 1;
inline constexpr std::size_t kBlockSize = 1024;
inline constexpr int kBlockSteps = static_cast<int>((kApplicationEnd + 1 - kApplicationStart) / kBlockSize);

// How often an exchange is tried before the update gives up on it.
inline constexpr int kWriteAttempts = 10;  // per block
inline constexpr int kEraseAttempts = 10;
inline constexpr int kIdentifyAttempts = 2;

// The waits the meter sees: each is the full time from the send (or the
// connect) to the moment the answer is read.
inline constexpr milliseconds kConnectWait{500};
// How long a slow link's handshake may take before the request is sent
// anyway: long enough for a satellite link, short for a mistyped address.
inline constexpr milliseconds kConnectLimit{5000};
inline constexpr milliseconds kModbusAnswerWait{500};
inline constexpr milliseconds kIdentifyWait{500};  // also between opening the link and the first "VER?"
inline constexpr milliseconds kEraseWait{500};
inline constexpr milliseconds kWriteWait{50};
inline constexpr milliseconds kResetWait{50};

// How long after its send an answer still counts when it came after the
// wait: a slow meter is not failed, and a late answer is never taken for the
// next frame's. Erasing this much flash can take seconds.
inline constexpr milliseconds kEraseGrace{10000};
inline constexpr milliseconds kWriteGrace{500};

// The pause after a failed exchange and after each update procedure; once a
// meter has accepted a boot-mode request, its bootloader is given the longer
// one to start, and every pause is that long from then on.
inline constexpr milliseconds kRetryDelay{1000};
inline constexpr milliseconds kBootloaderStartDelay{2000};

}  // namespace protocol
