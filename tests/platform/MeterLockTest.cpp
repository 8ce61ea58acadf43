// The per-meter lock that keeps two runs of this computer off one meter.
#include <gtest/gtest.h>

#include <memory>
#include <optional>

#include "platform/MeterLock.h"
#include "tests/support/TempDir.h"

TEST(MeterLock, OneHolderPerAddressAndTheOthersNamed) {
    const testsupport::TempDir dir;
    const std::filesystem::path folder = dir.File("locks");
    auto first = std::make_unique<platform::MeterLock>(folder, "10.0.0.1", "ethernet-loader-cli");
    EXPECT_FALSE(first->Busy());
    const struct {
        const char* what;
        std::filesystem::path folder;
        const char* address;
        std::optional<std::string> holder;  // how the holder's name ends; nothing: free
    } cases[] = {
        {"same meter", folder, "10.0.0.1", "(ethernet-loader-cli)"},
        {"another meter", folder, "10.0.0.2", std::nullopt},
        {"no folder", "", "10.0.0.1", std::nullopt},
        {"no address", folder, "", std::nullopt},
    };
    for (const auto& c : cases) {
        const platform::MeterLock second(c.folder, c.address, "window");
        EXPECT_EQ(second.Busy(), c.holder.has_value()) << c.what;
        if (c.holder) {
            EXPECT_EQ(second.Holder().rfind("process ", 0), 0u) << second.Holder();
            EXPECT_TRUE(second.Holder().ends_with(*c.holder)) << second.Holder();
        }
    }
    first.reset();
    EXPECT_FALSE(platform::MeterLock(folder, "10.0.0.1", "window").Busy()) << "released with its holder";
}

TEST(MeterLock, HolderRecordReadsBackInWords) {
    const struct {
        std::string record;
        const char* words;
    } cases[] = {
        {platform::HolderRecord(4321, "ethernet-loader-cli"), "process 4321 (ethernet-loader-cli)"},
        {"77\n", "process 77"},
        {"", "another process"},
        {"junk", "another process"},
    };
    for (const auto& c : cases) EXPECT_EQ(platform::HolderFromRecord(c.record), c.words) << c.record;
}
