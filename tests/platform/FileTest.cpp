// Replacing a whole file: the callers word a failure by the step that failed.
#include <gtest/gtest.h>

#include <filesystem>
#include <set>
#include <string>

#include "platform/File.h"
#include "tests/support/TempDir.h"

namespace {

using Step = platform::ReplaceStatus::Step;

TEST(ReplaceFile, TellsWhichStepFailedAndLeavesNothingBehind) {
    testsupport::TempDir dir;
    EXPECT_TRUE(platform::ReplaceFile(dir.path() / "report.json", "{}\n").Ok());
    EXPECT_EQ(testsupport::ReadBytes(dir.path() / "report.json"), "{}\n");

    EXPECT_EQ(platform::ReplaceFile(dir.path() / "no" / "report.json", "{}\n").failed, Step::Create);

    // A folder in the file's place takes the new file beside it, not its place.
    std::filesystem::create_directory(dir.path() / "folder");
    EXPECT_EQ(platform::ReplaceFile(dir.path() / "folder", "{}\n").failed, Step::PutInPlace);
    EXPECT_EQ(dir.Names(), (std::set<std::string>{"folder", "report.json"}));
}

}  // namespace
