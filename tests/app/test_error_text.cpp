#include <gtest/gtest.h>

#include "ErrorText.h"

TEST(WithFullStop, AppendsOnlyAfterCharactersThatSortAfterTheStop) {
    const struct {
        const char* in;
        const char* out;
    } cases[] = {
        {"Disk full", "Disk full."},
        {"Unable to write to /x/a.ini", "Unable to write to /x/a.ini."},
        {"already.", "already."},
        {"ends with a blank ", "ends with a blank "},
        {"bang!", "bang!"},
        {"paren)", "paren)"},
        {"slash/", "slash/."},
        {"digit 5", "digit 5."},
        {"", ""},
    };
    for (const auto& c : cases) EXPECT_EQ(WithFullStop(c.in), c.out) << c.in;
}
