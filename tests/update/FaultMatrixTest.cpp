// Bad networks against the simulated meter, on real sockets: late,
// duplicated, echoed and lost datagrams, seeded. Whatever happens, a run may end on
// success only when the meter's flash equals the image. bench/ has the larger
// matrix; these cells run in parallel under CTest.
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
    bool mustSucceed;  // with no failed write attempt
    int erases = 1;    // when it must succeed
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
        EXPECT_EQ(r.eraseAttempts, c.erases);
    }
}

INSTANTIATE_TEST_SUITE_P(Cells, FaultMatrix,
                         ::testing::Values(Cell{"WritesLate70", {"delay:70@cmd=W"}, 0, 0, 1, true},
                                           Cell{"WritesLate120", {"delay:120@cmd=W"}, 0, 0, 1, true},
                                           Cell{"EraseAfter3s", {"delay:3000@cmd=E"}, 0, 0, 1, true},
                                           Cell{"Late70Loss3", {"delay:70@cmd=W"}, 3, 0, 7, false},
                                           Cell{"Late600Every5", {"delay:600@cmd=W,every=5"}, 0, 0, 3, false},
                                           Cell{"DuplicateLoss3", {"duplicate@every=25"}, 3, 0, 11, false},
                                           Cell{"DuplicateAll", {"duplicate"}, 0, 0, 5, true},
                                           Cell{"Loss10Both", {}, 10, 10, 4, false},
                                           Cell{"EraseAnswerLostOnce", {"drop@2"}, 0, 0, 2, true, 2},
                                           Cell{"Echo120", {"duplicate:120"}, 0, 0, 1, true},
                                           Cell{"Echo60Loss3", {"duplicate:60"}, 3, 0, 1, false},
                                           Cell{"Late80Echo40Loss3", {"delay:80", "duplicate:40"}, 3, 0, 2, false},
                                           Cell{"Echo1000Loss3", {"duplicate:1000"}, 3, 0, 1, false}),
                         [](const ::testing::TestParamInfo<Cell>& i) { return i.param.name; });
