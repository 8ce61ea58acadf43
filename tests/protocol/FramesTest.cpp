// The bytes on the wire and the texts made from them, compared exactly.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <numeric>
#include <optional>
#include <string>
#include <vector>

#include "protocol/Frames.h"

using namespace protocol;

namespace {

using ByteVector = std::vector<uint8_t>;

std::string Hex(Bytes b) {
    std::string s;
    char t[4];
    for (std::size_t i = 0; i < b.size(); ++i) {
        std::snprintf(t, sizeof t, i ? " %02X" : "%02X", b[i]);
        s += t;
    }
    return s;
}

// "45 08 1D" to its bytes.
ByteVector FromHex(const std::string& hex) {
    ByteVector out;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 3)
        out.push_back(static_cast<uint8_t>(std::stoul(hex.substr(i, 2), nullptr, 16)));
    return out;
}

ByteVector Text(std::string_view s) { return ByteVector(s.begin(), s.end()); }

uint8_t Sum(Bytes b) { return static_cast<uint8_t>(std::accumulate(b.begin(), b.end(), 0u)); }

ByteVector Block() {
    ByteVector data(kBlockSize);
    for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 7 + 3);
    return data;
}

WriteRequest Write(uint32_t address, const ByteVector& data) {
    return WriteRequest{address, std::span<const uint8_t, kBlockSize>(data.data(), kBlockSize)};
}

ByteVector WriteFrame(uint32_t address, const ByteVector& data) {
    ByteVector f(WriteRequest::kSize);
    Write(address, data).Encode(f);
    return f;
}

}  // namespace

TEST(Constants, TheApplicationAreaIsWholeBlocksOfTheFlash) {
    EXPECT_EQ(kApplicationEnd, 0x7FFFFu);
    EXPECT_EQ((kApplicationEnd + 1 - kApplicationStart) % kBlockSize, 0u);
    EXPECT_EQ(kBlockSteps, 480);
    EXPECT_EQ(kLargestFrame, 1029u);
}

TEST(Checksum, MakesTheWholeFrameSumToZero) {
    const struct {
        ByteVector bytes;
        uint8_t checksum;
    } cases[] = {
        {{0x45, 0x08, 0x1D}, 0x96}, {{}, 0x00}, {{0x00}, 0x00}, {{0x01}, 0xFF}, {{0xFF}, 0x01}, {{0x80, 0x80}, 0x00},
        {{0xFF, 0xFF, 0xFF}, 0x03},
    };
    for (const auto& c : cases) EXPECT_EQ(Checksum(c.bytes), c.checksum);
}

TEST(FixedFrames, EncodeToTheirBytes) {
    EXPECT_EQ(Hex(IdentifyRequest{}.Encode()), "56 45 52 3F");
    EXPECT_EQ(Hex(EraseRequest{}.Encode()), "45 08 1D 96");
    EXPECT_EQ(Hex(ResetRequest{}.Encode()), "52 45 53 45 54");
}

// Each fixed frame decodes only from exactly its own bytes.
TEST(FixedFrames, DecodeOnlyFromExactlyTheirBytes) {
    const struct {
        const char* hex;
        bool identify, erase, reset;
    } cases[] = {
        {"56 45 52 3F", true, false, false},     {"56 45 52 3F 00", false, false, false},
        {"56 45 52", false, false, false},       {"76 65 72 3F", false, false, false},  // letter case counts
        {"45 08 1D 96", false, true, false},     {"45 08 1D 97", false, false, false},  // checksum off by one
        {"45 08 1D 96 00", false, false, false}, {"45 08 1D", false, false, false},
        {"52 45 53 45 54", false, false, true},  {"52 45 53 45 54 0D", false, false, false},
        {"52 45 53 45", false, false, false},    {"", false, false, false},
    };
    for (const auto& c : cases) {
        const ByteVector f = FromHex(c.hex);
        EXPECT_EQ(IdentifyRequest::Decode(f).has_value(), c.identify) << c.hex;
        EXPECT_EQ(EraseRequest::Decode(f).has_value(), c.erase) << c.hex;
        EXPECT_EQ(ResetRequest::Decode(f).has_value(), c.reset) << c.hex;
    }
    const ByteVector other = {0x45, 0x00, 0x7F, Checksum(ByteVector{0x45, 0x00, 0x7F})};
    EXPECT_EQ(EraseRequest::Decode(other), (EraseRequest{0x00, 0x7F}));
}

TEST(WriteFrame, CarriesAddressDataAndChecksum) {
    const ByteVector data = Block();
    const struct {
        uint32_t address;
        const char* head;
    } cases[] = {
        {0x08400, "57 00 84 00"},    {0x08000, "57 00 80 00"},
        {0x7FC00, "57 07 FC 00"},    {0x1ABCDE, "57 1A BC DE"},  // 24 bits go out big-endian
        {0xFF123456, "57 12 34 56"},                             // higher bits are not sent
    };
    for (const auto& c : cases) {
        ByteVector f(1100, 0xEE);
        ASSERT_EQ(Write(c.address, data).Encode(f), 1029u);
        EXPECT_EQ(Hex(Bytes(f).first(4)), c.head);
        EXPECT_TRUE(std::equal(data.begin(), data.end(), f.begin() + 4));
        EXPECT_EQ(Sum(Bytes(f).first(1029)), 0) << "the 8-bit sum of a whole frame is zero";
        EXPECT_EQ(f[1029], 0xEE) << "nothing written behind the frame";

        const auto back = WriteRequest::Decode(Bytes(f).first(1029));
        ASSERT_TRUE(back) << c.head;
        EXPECT_EQ(back->address, c.address & 0xFFFFFF);
        EXPECT_TRUE(std::equal(data.begin(), data.end(), back->data.begin()));
    }
    ByteVector small(1028, 0xEE);
    EXPECT_EQ(Write(0x8000, data).Encode(small), 0u);
    EXPECT_EQ(small, ByteVector(1028, 0xEE)) << "a buffer too small is left alone";
}

TEST(WriteFrame, DecodesOnlyAWholeFrameWithItsChecksum) {
    const ByteVector good = WriteFrame(0x08400, Block());
    auto changed = [&](std::size_t at, uint8_t to) {
        ByteVector f = good;
        f[at] = to;
        return f;
    };
    const struct {
        const char* name;
        ByteVector frame;
        bool ok;
    } cases[] = {
        {"whole", good, true},
        {"one byte short", ByteVector(good.begin(), good.end() - 1), false},
        {"one byte long",
         [&] {
             auto f = good;
             f.push_back(0);
             return f;
         }(),
         false},
        {"data byte changed", changed(500, static_cast<uint8_t>(good[500] + 1)), false},
        {"checksum changed", changed(1028, static_cast<uint8_t>(good[1028] + 1)), false},
        {"not a write", changed(0, 'w'), false},
        {"empty", {}, false},
    };
    for (const auto& c : cases) EXPECT_EQ(WriteRequest::Decode(c.frame).has_value(), c.ok) << c.name;
}

TEST(BootModeRequest, IsTheFortyThreeBytesOfTheRegisterWrite) {
    const std::string head = "01 F0 00 00 00 25 01 10 45 71 00 0F 1E 47 6F 54 6F 42 6F 6F 74 4D 6F 64 65";
    const struct {
        std::string password;
        std::string tail;  // offsets 25..42
    } cases[] = {
        {"1234", "31 32 33 34 00 00 00 00 00 00 00 00 00 00 00 00 00 00"},
        {"abcdefghijklmnop", "61 62 63 64 65 66 67 68 69 6A 6B 6C 6D 6E 6F 70 00 00"},
        {"Pa\xDF\xFC", "50 61 DF FC 00 00 00 00 00 00 00 00 00 00 00 00 00 00"},  // Latin-1 bytes as they are
        // Nothing beyond the frame, whatever the caller passes.
        {"abcdefghijklmnopqrstuvwxyz", "61 62 63 64 65 66 67 68 69 6A 6B 6C 6D 6E 6F 70 00 00"},
    };
    for (const auto& c : cases) {
        const auto f = BootModeRequest{c.password}.Encode();
        EXPECT_EQ(Hex(f), head + " " + c.tail) << c.password;
        const auto back = BootModeRequest::Decode(f);
        ASSERT_TRUE(back) << c.password;
        EXPECT_EQ(back->password, c.password.substr(0, 16));
    }
}

TEST(BootModeRequest, DecodesOnlyTheRequestWithRoomLeftAtTheEnd) {
    const ByteVector good = FromHex(
        "01 F0 00 00 00 25 01 10 45 71 00 0F 1E 47 6F 54 6F 42 6F 6F 74 4D 6F 64 65 31 32 33 34 00 00 00 00 00 00 00 "
        "00 00 00 00 00 00 00");
    auto with = [&](std::size_t at, uint8_t b) {
        ByteVector f = good;
        f[at] = b;
        return f;
    };
    const struct {
        const char* name;
        ByteVector frame;
        bool ok;
    } cases[] = {
        {"request", good, true},
        {"short", ByteVector(good.begin(), good.end() - 1), false},
        {"other register", with(9, 0x72), false},
        {"other text", with(13, 'g'), false},
        {"seventeen password bytes",
         [&] {
             auto f = good;
             std::fill(f.begin() + 25, f.begin() + 42, 'x');
             return f;
         }(),
         false},
    };
    for (const auto& c : cases) EXPECT_EQ(BootModeRequest::Decode(c.frame).has_value(), c.ok) << c.name;
}

TEST(BootModeAnswer, OnlyCountFunctionAndExceptionCodeMatter) {
    using Kind = BootModeAnswer::Kind;
    auto frame = [](ByteVector b) {
        b.resize(12, 0);
        return b;
    };
    const struct {
        const char* name;
        int32_t n;
        ByteVector bytes;
        Kind want;
        int exception = 0;
    } cases[] = {
        {"normal", 12, frame({0x01, 0xF0, 0, 0, 0, 6, 1, 0x10, 0x45, 0x71, 0, 0x0F}), Kind::Accepted},
        {"normal, other ids", 12, frame({9, 9, 0, 0, 0, 6, 7, 0x10, 0, 0, 0, 1}), Kind::Accepted},
        {"password", 9, frame({0x01, 0xF0, 0, 0, 0, 3, 1, 0x90, 0x04}), Kind::PasswordRejected},
        {"exception 2", 9, frame({0x01, 0xF0, 0, 0, 0, 3, 1, 0x90, 0x02}), Kind::Unusable, 2},
        {"exception 3", 9, frame({0x01, 0xF0, 0, 0, 0, 3, 1, 0x90, 0x03}), Kind::Unusable, 3},
        {"normal in pieces", 7, frame({0x01, 0xF0, 0, 0, 0, 6, 1, 0x10}), Kind::Unusable},
        {"code 4 but 12 bytes", 12, frame({0, 0, 0, 0, 0, 0, 0, 0x90, 0x04}), Kind::Unusable},
        {"nothing", -1, frame({}), Kind::Unusable},
        {"closed", 0, frame({}), Kind::Unusable},
    };
    for (const auto& c : cases) {
        const Bytes received = Bytes(c.bytes).first(static_cast<size_t>(std::max(c.n, 0)));
        EXPECT_EQ(BootModeAnswer::Decode(received).kind, c.want) << c.name;
        EXPECT_EQ(BootModeAnswer::Decode(received).exception, c.exception) << c.name;
    }
}

TEST(BootModeAnswer, EncodesWhatAMeterAnswersAndDecodesBack) {
    using Kind = BootModeAnswer::Kind;
    EXPECT_EQ(Hex(BootModeAnswer{Kind::Accepted}.Encode()), "01 F0 00 00 00 06 01 10 45 71 00 0F");
    EXPECT_EQ(Hex(BootModeAnswer{Kind::PasswordRejected}.Encode()), "01 F0 00 00 00 03 01 90 04");
    EXPECT_TRUE(BootModeAnswer{Kind::Unusable}.Encode().empty());
    for (const Kind k : {Kind::Accepted, Kind::PasswordRejected})
        EXPECT_EQ(BootModeAnswer::Decode(BootModeAnswer{k}.Encode()).kind, k);
}

// The read-only request after the update, and what its answers tell.
TEST(DeviceId, ReadsTheBasicObjectsAndTakesAnyWholeModbusAnswer) {
    EXPECT_EQ(Hex(DeviceIdRequest{}.Encode()), "01 F1 00 00 00 05 01 2B 0E 01 00");
    EXPECT_TRUE(DeviceIdRequest::Decode(DeviceIdRequest{}.Encode()));
    EXPECT_EQ(Hex(DeviceIdAnswer{0, "AB", "C", "2.31"}.Encode()),
              "01 F1 00 00 00 15 01 2B 0E 01 01 00 00 03 00 02 41 42 01 01 43 02 04 32 2E 33 31");
    const struct {
        const char* name;
        std::string hex;
        size_t whole;  // WholeSize of it
        std::optional<DeviceIdAnswer> want;
    } cases[] = {
        {"normal", "01 F1 00 00 00 15 01 2B 0E 01 01 00 00 03 00 02 41 42 01 01 43 02 04 32 2E 33 31", 27,
         DeviceIdAnswer{0, "AB", "C", "2.31"}},
        {"objects in another order, one missing", "00 07 00 00 00 0F 01 2B 0E 01 01 00 00 02 02 01 39 00 02 41 42", 21,
         DeviceIdAnswer{0, "AB", "", "9"}},
        {"an object longer than the answer", "01 F1 00 00 00 0B 01 2B 0E 01 01 00 00 01 00 09 41", 17,
         DeviceIdAnswer{}},
        {"exception 1", "01 F1 00 00 00 03 01 AB 01", 9, DeviceIdAnswer{1}},
        {"another function's answer", "01 F1 00 00 00 03 01 03 00", 9, DeviceIdAnswer{}},
        {"header only", "01 F1 00 00 00 03 01", 9, std::nullopt},
        {"longer than its header says", "01 F1 00 00 00 03 01 AB 01 00", 9, std::nullopt},
        {"not Modbus", "48 54 54 50 2F 31 2E 31", 0, std::nullopt},
        {"too short to tell", "01 F1 00", 0, std::nullopt},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(DeviceIdAnswer::WholeSize(FromHex(c.hex)), c.whole) << c.name;
        EXPECT_EQ(DeviceIdAnswer::Decode(FromHex(c.hex)), c.want) << c.name;
    }
}

TEST(PasswordRule, FourToSixteenBytes) {
    for (std::size_t n : {0, 1, 3, 17, 40}) EXPECT_FALSE(PasswordLengthOk(std::string(n, 'x'))) << n;
    for (std::size_t n : {4, 5, 15, 16}) EXPECT_TRUE(PasswordLengthOk(std::string(n, 'x'))) << n;
}

TEST(Identity, OnlyTheTwoBootloadersExactly) {
    const struct {
        std::string reply;
        const char* label;  // empty: no identity
    } cases[] = {
        {"TALVO-ETH-BOOTLOADER-V1.00", "BOOTLOADER-V1.00"},
        {"QT51/QT52-BOOTLOADER-V1.01", "BOOTLOADER-V1.01"},
        {"talvo-eth-bootloader-v1.00", ""},
        {"TALVO-ETH-BOOTLOADER-V1.01", ""},
        {"QT51/QT52-BOOTLOADER-V1.00", ""},
        {"TALVO-ETH-BOOTLOADER-V1.00\r", ""},
        {"XTALVO-ETH-BOOTLOADER-V1.00", ""},
        {"TALVO-ETH-BOOTLOADER-V1.0", ""},
        {std::string("TALVO-ETH-BOOTLOADER-V1.0\0", 26), ""},
        {"", ""},
    };
    for (const auto& c : cases) {
        const auto id = Identity::Decode(Text(c.reply));
        EXPECT_EQ(id ? id->Label() : "", c.label) << c.reply;
        if (id) {
            EXPECT_EQ(id->Encode(), Text(c.reply));
        }
    }
}

TEST(CommandAnswers, EraseLooksAtTwoCharactersWriteAtExactlyFour) {
    const struct {
        const char* hex;
        bool erased;         // an erase answer with these bytes confirms
        const char* text;    // what a label shows of its first two
        bool writeAnswer;    // counts as a write's answer at all
        bool writeAccepted;  // and accepts the block
    } cases[] = {
        {"4F 4B 0D 0A", true, "OK", true, true},      {"4F 4B", true, "OK", false, false},
        {"4F 4B 0D 0A 00", true, "OK", false, false}, {"4F 00 00 00", false, "O", true, true},
        {"4F 4B 0D", true, "OK", false, false},       {"45 52 0D 0A", false, "ER", true, false},
        {"6F 6B 0D 0A", false, "ok", true, false},    {"00 4B 00 00", false, "", true, false},
        {"4F", false, nullptr, false, false},         {"", false, nullptr, false, false},
    };
    for (const auto& c : cases) {
        const ByteVector b = FromHex(c.hex);
        const auto erase = EraseAnswer::Decode(b);
        ASSERT_EQ(erase.has_value(), c.text != nullptr) << c.hex;
        if (erase) {
            EXPECT_EQ(erase->Confirmed(), c.erased) << c.hex;
            EXPECT_EQ(erase->Text(), c.text) << c.hex;
        }
        const auto write = WriteAnswer::Decode(b);
        ASSERT_EQ(write.has_value(), c.writeAnswer) << c.hex;
        if (write) {
            EXPECT_EQ(write->Accepted(), c.writeAccepted) << c.hex;
            const auto again = write->Encode();
            EXPECT_EQ(ByteVector(again.begin(), again.end()), b);
        }
    }
    EXPECT_EQ(Hex(EraseAnswer{{'O', 'K'}}.Encode()), "4F 4B 0D 0A");
}

TEST(IsBlank, OnlyWhenEveryByteIsErased) {
    ByteVector b(1024, 0xFF);
    EXPECT_TRUE(IsBlank(b));
    for (std::size_t at : {std::size_t{0}, std::size_t{511}, std::size_t{1023}}) {
        auto c = b;
        c[at] = 0xFE;
        EXPECT_FALSE(IsBlank(c)) << at;
    }
}

TEST(Texts, SectorsInFiveUpperCaseHexDigits) {
    EXPECT_EQ(WritingSectorText(0x08400), "writing sector 0x08400");
    EXPECT_EQ(WritingSectorText(0x7FC00), "writing sector 0x7FC00");
    EXPECT_EQ(WritingSectorText(0x0AC00), "writing sector 0x0AC00");
    EXPECT_EQ(EraseAreaText(), "erase sector 0x08000 - 0x7FFFF");
}

TEST(NextBlock, WalksUpAndWritesTheFirstBlockLast) {
    std::vector<int64_t> order;
    for (int64_t cur = 0x8000; cur < 0x7FFFF; cur += 1024) order.push_back(NextBlock(cur, 0x8000, 0x7FFFF));
    ASSERT_EQ(order.size(), 480u);
    EXPECT_EQ(order.front(), 0x08400);
    EXPECT_EQ(order[478], 0x7FC00);
    EXPECT_EQ(order.back(), 0x08000);
    std::vector<int64_t> sorted = order;
    std::sort(sorted.begin(), sorted.end());
    EXPECT_EQ(std::adjacent_find(sorted.begin(), sorted.end()), sorted.end()) << "no block twice";
    // A range of one block writes just that block.
    EXPECT_EQ(NextBlock(0x8000, 0x8000, 0x83FF), 0x8000);
}
