// The flash behaves as NOR flash, so a missing erase or a write over old
// content shows in the meter rather than passing unnoticed.
#include <gtest/gtest.h>

#include "sim/src/Flash.h"
#include "sim/Meter.h"

namespace sim {
namespace {

using Bytes = std::vector<uint8_t>;

TEST(Flash, StartsWithOldFirmwareThatHasNoBlankByte) {
    const FlashModel flash;
    const auto& b = flash.Bytes();
    ASSERT_EQ(b.size(), kFlashSize);
    EXPECT_EQ(std::count(b.begin() + kAppStart, b.end(), 0xFF), 0);
}

TEST(Flash, EraseBlanksTheApplicationAreaOnly) {
    FlashModel flash;
    const Bytes before = flash.Bytes();
    flash.EraseApplication();
    const auto& b = flash.Bytes();
    EXPECT_TRUE(std::equal(b.begin(), b.begin() + kAppStart, before.begin()));
    EXPECT_EQ(std::count(b.begin() + kAppStart, b.end(), 0xFF), static_cast<long>(kFlashSize - kAppStart));
}

struct ProgramCase {
    const char* name;
    bool erase;
    Bytes first;  // programmed first (empty: nothing)
    Bytes second;
    bool secondClean;
    Bytes result;
};

class FlashProgramTest : public testing::TestWithParam<ProgramCase> {};

TEST_P(FlashProgramTest, ProgramsByClearingBits) {
    const ProgramCase& c = GetParam();
    FlashModel flash;
    if (c.erase) flash.EraseApplication();
    const uint32_t at = 0x08400;
    const Bytes old(flash.Bytes().begin() + at, flash.Bytes().begin() + at + 4);
    if (!c.first.empty()) {
        ASSERT_TRUE(flash.Program(at, c.first));
    }
    EXPECT_EQ(flash.Program(at, c.second), c.secondClean);
    Bytes expected = c.result;
    if (!c.erase)  // over old firmware: whatever was there, ANDed with the data
        for (size_t i = 0; i < 4; ++i) expected[i] = old[i] & c.second[i];
    EXPECT_EQ(Bytes(flash.Bytes().begin() + at, flash.Bytes().begin() + at + 4), expected);
    // The neighbours stay erased.
    if (c.erase) {
        EXPECT_EQ(flash.Bytes()[at + 4], 0xFF);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Table, FlashProgramTest,
    testing::Values(ProgramCase{"after_erase", true, {}, {0x12, 0x34, 0xFF, 0x00}, true, {0x12, 0x34, 0xFF, 0x00}},
                    ProgramCase{"same_block_again",
                                true,
                                {0x12, 0x34, 0xFF, 0x00},
                                {0x12, 0x34, 0xFF, 0x00},
                                true,
                                {0x12, 0x34, 0xFF, 0x00}},
                    ProgramCase{"other_data_over_programmed",
                                true,
                                {0xF0, 0xF0, 0xFF, 0xFF},
                                {0x0F, 0xF0, 0x55, 0xFF},
                                false,
                                {0x00, 0xF0, 0x55, 0xFF}},
                    ProgramCase{"without_erase", false, {}, {0xFF, 0xFF, 0xFF, 0xFF}, false, {0, 0, 0, 0}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Flash, ComparesTheApplicationAreaWithAnImage) {
    FlashModel flash;
    Bytes image = flash.Bytes();
    EXPECT_EQ(flash.FirstMismatch(image.data()), -1);
    image[0x100] ^= 1;  // the bootloader area is not part of the comparison
    EXPECT_EQ(flash.FirstMismatch(image.data()), -1);
    image[0x7FFFF] ^= 1;
    EXPECT_EQ(flash.FirstMismatch(image.data()), 0x7FFFF);
}

TEST(Flash, RefusesWritesOutsideTheFlash) {
    FlashModel flash;
    const Bytes data(1024, 0);
    EXPECT_FALSE(flash.Program(kFlashSize - 512, data));
    EXPECT_FALSE(flash.Program(0xFFFFFFFF, data));
    EXPECT_EQ(flash.Bytes(), FlashModel().Bytes());
}

}  // namespace
}  // namespace sim
