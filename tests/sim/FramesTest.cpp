// What the meter makes of each kind of datagram and Modbus request.
#include <gtest/gtest.h>

#include "sim/src/Frames.h"
#include "tests/sim/SimTestSupport.h"

namespace sim {
namespace {

using testsupport::Bytes;
using testsupport::Text;

Bytes Block(uint32_t address, uint8_t fill = 0x5A) {
    const Bytes data(1024, fill);
    return testsupport::WriteFrame(address, data.data());
}

Bytes Cut(Bytes frame, size_t size) {
    frame.resize(size);
    return frame;
}

Bytes Corrupt(Bytes frame, size_t at) {
    frame[at] ^= 0x01;
    return frame;
}

struct BootCase {
    const char* name;
    Bytes datagram;
    BootCommand command;
    FrameError error;
    ChecksumVerdict checksum;
    uint32_t address;
};

class BootFrameTest : public testing::TestWithParam<BootCase> {};

TEST_P(BootFrameTest, Decodes) {
    const BootCase& c = GetParam();
    const BootFrame f = DecodeBootFrame(c.datagram);
    EXPECT_EQ(f.command, c.command);
    EXPECT_EQ(f.error, c.error);
    EXPECT_EQ(f.checksum, c.checksum);
    EXPECT_EQ(f.address, c.address);
    // Only a sound write frame carries data to program, and it is the frame's own.
    if (c.command == BootCommand::Write && c.error == FrameError::None) {
        ASSERT_EQ(f.data.size(), 1024u);
        EXPECT_EQ(f.data.data(), c.datagram.data() + 4);
    } else {
        EXPECT_TRUE(f.data.empty());
    }
}

using BC = BootCommand;
using FE = FrameError;
using CV = ChecksumVerdict;

INSTANTIATE_TEST_SUITE_P(
    Table, BootFrameTest,
    testing::Values(
        BootCase{"identify", Text("VER?"), BC::Identify, FE::None, CV::None, 0},
        BootCase{"identify_with_line_end", Text("VER?\n"), BC::Unknown, FE::Command, CV::None, 0},
        BootCase{"identify_lower_case", Text("ver?"), BC::Unknown, FE::Command, CV::None, 0},
        BootCase{"reset", Text("RESET"), BC::Reset, FE::None, CV::None, 0},
        BootCase{"reset_cut", Text("RESE"), BC::Unknown, FE::Command, CV::None, 0},
        BootCase{"empty", {}, BC::Unknown, FE::Command, CV::None, 0},
        BootCase{"erase", {0x45, 0x08, 0x1D, 0x96}, BC::Erase, FE::None, CV::Ok, 0},
        BootCase{"erase_bad_checksum", {0x45, 0x08, 0x1D, 0x97}, BC::Erase, FE::Checksum, CV::Bad, 0},
        BootCase{"erase_other_last_sector", {0x45, 0x08, 0x1C, 0x97}, BC::Erase, FE::Parameters, CV::Ok, 0},
        BootCase{"erase_other_first_sector", {0x45, 0x07, 0x1D, 0x97}, BC::Erase, FE::Parameters, CV::Ok, 0},
        BootCase{"erase_long", {0x45, 0x08, 0x1D, 0x96, 0x00}, BC::Erase, FE::Length, CV::Ok, 0},
        BootCase{"erase_bare", {0x45}, BC::Erase, FE::Length, CV::Bad, 0},
        BootCase{"write_first_block", Block(0x08000), BC::Write, FE::None, CV::Ok, 0x08000},
        BootCase{"write_last_block", Block(0x7FC00, 0x00), BC::Write, FE::None, CV::Ok, 0x7FC00},
        BootCase{"write_bad_checksum", Corrupt(Block(0x08400), 500), BC::Write, FE::Checksum, CV::Bad, 0x08400},
        BootCase{"write_bootloader_area", Block(0x07C00), BC::Write, FE::Address, CV::Ok, 0x07C00},
        BootCase{"write_unaligned", Block(0x08401), BC::Write, FE::Address, CV::Ok, 0x08401},
        BootCase{"write_past_flash", Block(0x80000), BC::Write, FE::Address, CV::Ok, 0x80000},
        BootCase{"write_short", Cut(Block(0x08400), 1028), BC::Write, FE::Length, CV::Bad, 0x08400},
        BootCase{"write_header_only", {'W', 0x00, 0x84}, BC::Write, FE::Length, CV::Bad, 0},
        BootCase{"unknown_command", {'X', 0x00, 0x00, 0x00}, BC::Unknown, FE::Command, CV::None, 0}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(BootAnswers, ErrorsAreFourBytesNotStartingWithO) {
    for (FrameError e : {FE::Command, FE::Length, FE::Checksum, FE::Parameters, FE::Address}) {
        const Bytes a = ErrorAnswer(e);
        ASSERT_EQ(a.size(), 4u);
        EXPECT_EQ(a[0], 'E');
        EXPECT_EQ(a[1], 'R');
    }
    const Bytes ok = OkAnswer();
    ASSERT_EQ(ok.size(), 4u);
    EXPECT_EQ(ok[0], 'O');
    EXPECT_EQ(ok[1], 'K');
}

// Modbus requests, built from the register layout, against password "1234".
Bytes Request(const std::string& password) { return testsupport::BootModeRequest(password); }

Bytes Patched(Bytes adu, size_t at, std::initializer_list<uint8_t> bytes) {
    for (uint8_t b : bytes) adu[at++] = b;
    return adu;
}

Bytes ReadHoldingRegisters() { return {0x00, 0x07, 0x00, 0x00, 0x00, 0x06, 0x01, 0x03, 0x45, 0x71, 0x00, 0x0F}; }

Bytes ReadDeviceId(uint8_t code, uint8_t object) {
    return {0x00, 0x07, 0x00, 0x00, 0x00, 0x05, 0x01, 0x2B, 0x0E, code, object};
}

Bytes FourteenRegisters() {
    Bytes adu = Request("1234");
    adu.resize(41);
    adu[5] = 35;
    adu[11] = 14;
    adu[12] = 28;
    return adu;
}

struct ModbusCase {
    const char* name;
    Bytes adu;
    ModbusVerdict::Kind kind;
    uint8_t code;
    std::string password = "1234";
};

class ModbusDecisionTest : public testing::TestWithParam<ModbusCase> {};

TEST_P(ModbusDecisionTest, Decides) {
    const ModbusCase& c = GetParam();
    const ModbusVerdict v = DecideModbusRequest(c.adu, c.password);
    EXPECT_EQ(v.kind, c.kind);
    EXPECT_EQ(v.exceptionCode, c.code);
}

using K = ModbusVerdict::Kind;

INSTANTIATE_TEST_SUITE_P(
    Table, ModbusDecisionTest,
    testing::Values(
        ModbusCase{"right_password", Request("1234"), K::Accept, 0},
        ModbusCase{"wrong_password", Request("4321"), K::Exception, 4},
        ModbusCase{"password_prefix", Request("123"), K::Exception, 4},
        ModbusCase{"password_longer", Request("12345"), K::Exception, 4},
        ModbusCase{"boot_text_other_case", Patched(Request("1234"), 13, {'g'}), K::Exception, 3},
        ModbusCase{"other_transaction_id", Patched(Request("1234"), 0, {0x12, 0x34}), K::Accept, 0},
        ModbusCase{"read_registers", ReadHoldingRegisters(), K::Exception, 1},
        ModbusCase{"other_start_register", Patched(Request("1234"), 8, {0x45, 0x70}), K::Exception, 2},
        ModbusCase{"fewer_registers", FourteenRegisters(), K::Exception, 2},
        ModbusCase{"byte_count_mismatch", Patched(Request("1234"), 12, {0x1C}), K::Exception, 3},
        ModbusCase{"header_length_wrong", Patched(Request("1234"), 5, {0x24}), K::Exception, 3},
        ModbusCase{"other_unit", Patched(Request("1234"), 6, {0x02}), K::Ignore, 0},
        ModbusCase{"not_modbus_protocol", Patched(Request("1234"), 2, {0x00, 0x01}), K::Ignore, 0},
        ModbusCase{"header_only", Cut(Request("1234"), 7), K::Ignore, 0},
        ModbusCase{"device_id_basic", ReadDeviceId(1, 0), K::Identify, 0},
        ModbusCase{"device_id_from_the_last_object", ReadDeviceId(1, 2), K::Identify, 0},
        ModbusCase{"device_id_past_the_last_object", ReadDeviceId(1, 3), K::Exception, 2},
        ModbusCase{"device_id_regular", ReadDeviceId(2, 0), K::Exception, 3},
        ModbusCase{"device_id_one_object", ReadDeviceId(4, 0), K::Exception, 3},
        ModbusCase{"device_id_header_length_wrong", Patched(ReadDeviceId(1, 0), 5, {0x06}), K::Exception, 3},
        ModbusCase{"other_encapsulated_interface", Patched(ReadDeviceId(1, 0), 8, {0x0D}), K::Exception, 1},
        // Sixteen characters fill the password area: no terminating zero.
        ModbusCase{"password_of_16", Request("ABCDEFGHIJKLMNOP"), K::Accept, 0, "ABCDEFGHIJKLMNOP"},
        ModbusCase{"password_of_16_for_15", Request("ABCDEFGHIJKLMNOP"), K::Exception, 4, "ABCDEFGHIJKLMNO"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ModbusAnswers, EchoTransactionAndCarryTheCode) {
    const Bytes request = Patched(Request("1234"), 0, {0xAB, 0xCD});
    EXPECT_EQ(ModbusNormalAnswer(request), (Bytes{0xAB, 0xCD, 0, 0, 0, 6, 1, 0x10, 0x45, 0x71, 0x00, 0x0F}));
    EXPECT_EQ(ModbusExceptionAnswer(request, 4), (Bytes{0xAB, 0xCD, 0, 0, 0, 3, 1, 0x90, 4}));
}

TEST(ModbusAnswers, DeviceIdentificationStreamsFromTheAskedObject) {
    EXPECT_EQ(ModbusDeviceIdAnswer(ReadDeviceId(1, 2), 2, {"VEND", "PROD", "1.0"}),
              (Bytes{0x00, 0x07, 0, 0, 0, 0x0D, 1, 0x2B, 0x0E, 1, 1, 0, 0, 1, 2, 3, '1', '.', '0'}));
}

// The stream is cut into requests by the function code and the byte count,
// never by the header's length field; what is not complete asks for more.
TEST(ModbusFraming, RequestLengthFollowsTheFunctionCode) {
    const Bytes request = Request("1234");
    Bytes requestAndMore = request;
    requestAndMore.insert(requestAndMore.end(), {0, 2, 0, 0});
    const struct {
        const char* name;
        Bytes received;
        size_t length;
    } cases[] = {
        {"nothing yet", {}, 8},
        {"header only", Cut(request, 7), 8},
        {"boot request, function known", Cut(request, 8), 13},
        {"boot request, byte count known", Cut(request, 13), 43},
        {"boot request whole", request, 43},
        {"boot request and more", requestAndMore, 43},
        {"header length ignored", Patched(request, 5, {0x05}), 43},
        {"read registers", ReadHoldingRegisters(), 12},
        {"read device identification", Cut(ReadDeviceId(1, 0), 8), 11},
        {"unknown function", {0, 1, 0, 0, 0, 0x20, 1, 0x55}, 8},
        {"read-write, byte count at 16", {0, 1, 0, 0, 0, 0, 1, 0x17, 0, 0, 0, 1, 0, 0, 0, 1, 2}, 19},
        {"byte count past the largest request", Patched(request, 12, {0xFF}), 0},
        {"byte count at the largest request", Patched(request, 12, {247}), 260},
    };
    for (const auto& c : cases) EXPECT_EQ(ModbusRequestLength(c.received), c.length) << c.name;
}

}  // namespace
}  // namespace sim
