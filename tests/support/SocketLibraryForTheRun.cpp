// The socket library, started once for the whole test program as the tool
// starts it once for its run, and released at its end.

#include <gtest/gtest.h>

#include "platform/Socket.h"

namespace {

class SocketLibraryForTheRun : public ::testing::Environment {
    void SetUp() override { platform::StartSocketLibrary(); }
    void TearDown() override { platform::StopSocketLibrary(); }
};

[[maybe_unused]] const auto* const kSocketLibrary = ::testing::AddGlobalTestEnvironment(new SocketLibraryForTheRun);

}  // namespace
