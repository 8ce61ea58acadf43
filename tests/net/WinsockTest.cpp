// Winsock: started once for the whole test program, as the tool starts it
// once for its run, and released at the end.

#include <gtest/gtest.h>
#include <winsock2.h>

#include <string>
#include <vector>

#include "Sockets.h"

namespace {

class WinsockForTheRun : public ::testing::Environment {
    void SetUp() override { SocketLibraryStartup(); }
    void TearDown() override { SocketLibraryCleanup(); }
};

[[maybe_unused]] const auto* const kWinsock = ::testing::AddGlobalTestEnvironment(new WinsockForTheRun);

std::string CleanupFailure() {
    try {
        SocketLibraryCleanup();
    } catch (const ESocketError& e) {
        return e.what();
    }
    return "no error";
}

TEST(WinsockLibrary, CleanupReleasesItAndOneTooManyIsAnError) {
    SocketLibraryCleanup();  // the run's own start-up: Winsock is released now
    TUdpSocket udp;
    std::vector<int> errors;
    udp.OnError = [&](int code) { errors.push_back(code); };
    udp.SetActive(true);
    EXPECT_FALSE(udp.Active());
    EXPECT_EQ(errors, std::vector<int>{WSANOTINITIALISED});
    EXPECT_EQ(CleanupFailure(), "WSACleanup");

    // Start-ups nest: the second clean-up releases it.
    SocketLibraryStartup();
    SocketLibraryStartup();
    SocketLibraryCleanup();
    udp.SetActive(true);
    EXPECT_TRUE(udp.Active());
    udp.SetActive(false);
    SocketLibraryCleanup();
    EXPECT_EQ(CleanupFailure(), "WSACleanup");

    SocketLibraryStartup();  // for the run's clean-up and the tests after this one
}

}  // namespace
