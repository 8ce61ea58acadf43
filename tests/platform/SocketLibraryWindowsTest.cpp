// Winsock: started once for the whole test program, as the tool starts it
// once for its run (SocketLibraryForTheRun.cpp), and released at the end.

#include <gtest/gtest.h>
#include <winsock2.h>

#include <string>

#include "platform/Socket.h"

namespace {

std::string StopFailure() {
    try {
        platform::StopSocketLibrary();
    } catch (const platform::SocketLibraryError& e) {
        return e.what();
    }
    return "no error";
}

TEST(WinsockLibrary, StopReleasesItAndOneTooManyIsAnError) {
    platform::StopSocketLibrary();  // the run's own start-up: Winsock is released now
    platform::Socket socket;
    const platform::SocketResult refused = socket.Open(platform::SocketKind::Datagram);
    EXPECT_FALSE(socket.IsOpen());
    EXPECT_EQ(refused.value, -1);
    EXPECT_EQ(refused.code, WSANOTINITIALISED);
    EXPECT_EQ(StopFailure(), "WSACleanup");

    // Start-ups nest: the second stop releases it.
    platform::StartSocketLibrary();
    platform::StartSocketLibrary();
    platform::StopSocketLibrary();
    socket.Open(platform::SocketKind::Datagram);
    EXPECT_TRUE(socket.IsOpen());
    socket.Close();
    platform::StopSocketLibrary();
    EXPECT_EQ(StopFailure(), "WSACleanup");

    platform::StartSocketLibrary();  // for the run's stop and the tests after this one
}

}  // namespace
