#include "sim/src/Flash.h"

#include <algorithm>
#include <cstring>

#include "sim/Meter.h"

namespace sim {

namespace {

// A fixed pseudo-random pattern: the same "old firmware" in every meter and
// every run, with values 0x00..0xFE only. Made once; meters copy it.
const std::vector<uint8_t>& OldFirmware() {
    static const std::vector<uint8_t> pattern = [] {
        std::vector<uint8_t> bytes(kFlashSize);
        uint32_t x = 0x2545F491u;
        for (auto& b : bytes) {
            x ^= x << 13;
            x ^= x >> 17;
            x ^= x << 5;
            b = static_cast<uint8_t>(x % 255);
        }
        return bytes;
    }();
    return pattern;
}

}  // namespace

FlashModel::FlashModel() : bytes_(OldFirmware()) {}

void FlashModel::EraseApplication() { std::fill(bytes_.begin() + kAppStart, bytes_.end(), uint8_t{0xFF}); }

bool FlashModel::Program(uint32_t address, std::span<const uint8_t> data) {
    if (address > bytes_.size() || data.size() > bytes_.size() - address) return false;
    bool clean = true;
    uint8_t* cell = bytes_.data() + address;
    for (size_t i = 0; i < data.size(); ++i) {
        if (cell[i] != 0xFF && cell[i] != data[i]) clean = false;
        cell[i] &= data[i];
    }
    return clean;
}

long FlashModel::FirstMismatch(const uint8_t* image) const {
    for (size_t a = kAppStart; a < bytes_.size(); ++a)
        if (bytes_[a] != image[a]) return static_cast<long>(a);
    return -1;
}

}  // namespace sim
