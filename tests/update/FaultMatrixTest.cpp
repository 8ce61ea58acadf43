// Bad networks against the simulated meter, on real sockets: late,
// duplicated, echoed and lost datagrams, seeded. Whatever happens, a run may end on
// success only when the meter's flash equals the image. Each single fault
// (a late or lost erase answer, copies, a lost frame under echoes) is timed
// exactly on the virtual clock in EngineTest.cpp; these cells mix them on a
// real network. bench/ has the larger matrix.
#include <gtest/gtest.h>

#include "tests/update/SocketRig.h"

using namespace update;
using namespace testsupport;

namespace {

struct Cell {
    const char* name;
    std::vector<const char*> rules;
    double lossIn, lossOut;
    uint64_t seed;
    bool mustSucceed;  // with one erase and no failed write attempt
};
void PrintTo(const Cell& c, std::ostream* os) { *os << c.name; }

// 24 blocks of firmware: enough exchanges for the faults to meet, a few seconds a run.
std::vector<uint8_t> Firmware() {
    std::vector<uint8_t> img(image::kImageSize, 0xFF);
    for (uint32_t a = 0x08000; a < 0x08000 + 24 * 1024; ++a) img[a] = static_cast<uint8_t>(a * 13 + (a >> 10));
    return img;
}

}  // namespace

class FaultMatrix : public ::testing::TestWithParam<Cell> {};

TEST_P(FaultMatrix, NeverReportsSuccessForAFlashThatDiffers) {
    const Cell& c = GetParam();
    auto o = BootloaderOnLoopback();
    o.seed = c.seed;
    o.faults.lossInPercent = c.lossIn;
    o.faults.lossOutPercent = c.lossOut;
    for (const char* text : c.rules) {
        std::string error;
        auto rule = sim::ParseFaultRule(text, &error);
        ASSERT_TRUE(rule) << error;
        o.faults.rules.push_back(*rule);
    }
    SocketRig rig(o, Firmware());
    const UpdateResult r = rig.engine.RunProcedure("127.0.0.1", true);

    if (r.outcome == Outcome::Updated) {
        EXPECT_TRUE(rig.FlashIsImage()) << "success shown, flash differs at "
                                        << rig.meter.FirstMismatch(rig.firmware.data());
    }
    EXPECT_EQ(rig.seen.succeeded, r.outcome == Outcome::Updated);
    EXPECT_EQ(r.resetSent, r.outcome == Outcome::Updated);
    if (c.mustSucceed) {
        EXPECT_EQ(r.outcome, Outcome::Updated);
        EXPECT_EQ(r.retries, 0);
        EXPECT_EQ(r.eraseAttempts, 1);
    }
}

INSTANTIATE_TEST_SUITE_P(Cells, FaultMatrix,
                         ::testing::Values(Cell{"WritesLate70", {"delay:70@cmd=W"}, 0, 0, 1, true},
                                           Cell{"Late70Loss3", {"delay:70@cmd=W"}, 3, 0, 7, false},
                                           Cell{"Late600Every5", {"delay:600@cmd=W,every=5"}, 0, 0, 3, false},
                                           Cell{"DuplicateLoss3", {"duplicate@every=25"}, 3, 0, 11, false},
                                           Cell{"Loss10Both", {}, 10, 10, 4, false},
                                           Cell{"Echo120", {"duplicate:120"}, 0, 0, 1, true},
                                           Cell{"Late80Echo40Loss3", {"delay:80", "duplicate:40"}, 3, 0, 2, false}),
                         [](const ::testing::TestParamInfo<Cell>& i) { return i.param.name; });
