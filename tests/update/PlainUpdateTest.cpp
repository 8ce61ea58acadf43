// Whole updates on real sockets and in real time, through the plain pacer,
// against the simulated meter: the timing rules hold where the network is
// real, and no answer is ever taken for another frame's.
#include <gtest/gtest.h>

#include "tests/update/SocketRig.h"

using namespace update;
using namespace testsupport;

TEST(PlainUpdate, MeterInNormalOperationIsUpdatedAndBackInItsApplication) {
    auto o = BootloaderOnLoopback();
    o.bootloaderFromStart = false;
    o.password = "s3cret";
    o.bootDelayMs = 300;
    SocketRig rig(o);
    const UpdateResult r = rig.engine.Run({"127.0.0.1", "s3cret", true});

    EXPECT_EQ(r.outcome, Outcome::Updated);
    EXPECT_TRUE(rig.FlashIsImage()) << "first difference at " << rig.meter.FirstMismatch(rig.firmware.data());
    EXPECT_FALSE(rig.meter.InBootloader()) << "the reset starts the new firmware";
    EXPECT_EQ(rig.Count("MODBUS"), 1);
    EXPECT_EQ(r.retries, 0);
    EXPECT_EQ(r.staleAnswersDropped, 0);
    EXPECT_FALSE(rig.tcpLink.IsOpen()) << "the Modbus connection is closed once the update has returned";
    EXPECT_EQ(rig.seen.Action(), "Finished.");
}

// A stale answer from an earlier run waits in the endpoint's queue.
TEST(PlainUpdate, AnswerLeftFromAnEarlierRunIsNotTakenForTheFirstVer) {
    auto o = BootloaderOnLoopback();
    o.identity = std::vector<uint8_t>{'Q', 'T', '5', '1', '/', 'Q', 'T', '5', '2', '-', 'B', 'O', 'O',
                                      'T', 'L', 'O', 'A', 'D', 'E', 'R', '-', 'V', '1', '.', '0', '1'};
    SocketRig rig(o, SmallImage({}));
    rig.udpLink.Open("127.0.0.1");
    rig.udpLink.Send({reinterpret_cast<const uint8_t*>("VER?"), 4});
    ASSERT_TRUE(rig.meter.WaitFor([](const sim::Event& e) { return e.command == "VER?"; }, std::chrono::seconds(2)));
    const UpdateResult r = rig.engine.RunProcedure("127.0.0.1", false);
    EXPECT_EQ(r.outcome, Outcome::Identified);
    EXPECT_EQ(r.staleAnswersDropped, 1);
    EXPECT_EQ(rig.Count("VER?"), 2) << "one stray, one of the run: identified at the first attempt";
}
