// The module's flash as NOR flash behaves: erasing sets bytes to 0xFF,
// programming can only clear bits.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace sim {

class FlashModel {
public:
    // The bootloader below the application area and an "old firmware" above it;
    // no application byte is 0xFF, so a write without a preceding erase shows.
    FlashModel();

    void EraseApplication();
    // Programs `data` at `address` (new = old & data). Returns false when the
    // block hit a byte that was neither erased nor already holding the same
    // value: a write that a real device would have corrupted. Writing the same
    // block twice, as a retry after a lost answer does, is not such a write.
    bool Program(uint32_t address, std::span<const uint8_t> data);

    const std::vector<uint8_t>& Bytes() const { return bytes_; }
    // First address of the application area where `image` (kFlashSize bytes)
    // differs, or -1.
    long FirstMismatch(const uint8_t* image) const;

private:
    std::vector<uint8_t> bytes_;
};

}  // namespace sim
