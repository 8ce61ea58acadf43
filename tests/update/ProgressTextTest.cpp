// How far the bar is, in the words every front end shows.
#include <gtest/gtest.h>

#include <algorithm>

#include "update/UpdateEvents.h"

namespace {

std::string Percent(int64_t position, int32_t minimum, int32_t maximum) {
    return update::PercentText({0, 0, position, minimum, maximum});
}

TEST(PercentText, DividesFirstAndRoundsHalvesAwayFromZero) {
    const int32_t lo = 0x8000, hi = 0x7FFFF;
    const struct {
        int step;
        const char* text;
    } cases[] = {{1, "0%"},    {2, "0%"},     {3, "1%"},     {240, "50%"},
                 {477, "99%"}, {478, "100%"}, {479, "100%"}, {480, "100%"}};
    for (const auto& c : cases)
        EXPECT_EQ(Percent(std::min<int32_t>(lo + 1024 * c.step, hi), lo, hi), c.text) << "step " << c.step;
    // Exact halves go up, as do values just above them.
    EXPECT_EQ(Percent(1, 0, 200), "1%");  // 0.5
    EXPECT_EQ(Percent(3, 0, 200), "2%");  // 1.5
    EXPECT_EQ(Percent(5, 0, 200), "3%");  // 2.5: not to the even neighbour
    EXPECT_EQ(Percent(0, 0, 200), "0%");
}

}  // namespace
