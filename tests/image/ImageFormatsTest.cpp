#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "image/FlashImage.h"
#include "image/ImageFormats.h"
#include "image/Sha256.h"

using image::kImageSize;

TEST(DevelopmentImage, HasTheShapeOfShippedFirmware) {
    const auto img = image::MakeDevelopmentImage();
    ASSERT_EQ(img.size(), kImageSize);
    EXPECT_TRUE(std::all_of(img.begin(), img.begin() + 0x8000, [](uint8_t b) { return b == 0xFF; }));
    EXPECT_TRUE(
        std::none_of(img.begin() + 0x8000, img.begin() + image::kDevFirmwareEnd, [](uint8_t b) { return b == 0xFF; }));
    EXPECT_TRUE(std::all_of(img.begin() + image::kDevFirmwareEnd, img.end(), [](uint8_t b) { return b == 0xFF; }));
    // About a third of the 480 application blocks hold firmware; the last one only partly.
    const std::size_t used = (image::kDevFirmwareEnd - 0x8000 + 1023) / 1024;
    EXPECT_GE(used, 140u);
    EXPECT_LE(used, 180u);
    EXPECT_NE(image::kDevFirmwareEnd % 1024, 0u);
    EXPECT_EQ(img, image::MakeDevelopmentImage()) << "the generator must be deterministic";
}

TEST(EmbeddedImage, IsTheImageTheBuildWasGiven) {
    // The default build embeds the development image.
    const auto dev = image::MakeDevelopmentImage();
    const auto emb = image::EmbeddedImage();
    EXPECT_TRUE(std::equal(emb.begin(), emb.end(), dev.begin()));
    EXPECT_EQ(FlashImageARM[0], 0xFF);
    EXPECT_EQ(FlashImageARM[0x7FFFF], 0xFF);
}

namespace {

std::string Declaration(const std::vector<uint8_t>& bytes, bool withComments) {
    std::string s = withComments ? "// ******\r\n// C:\\fw\\main.hex\r\n// ******\r\n\r\n" : "";
    s += "FlashImageARM : array [1..$80000] of byte = (\r\n";
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        s += std::to_string(bytes[i]);
        if (i + 1 < bytes.size()) s += (i % 16 == 15) ? ",\r\n" : ",";
    }
    s += "\r\n);\r\n\r\n";
    return s;
}

std::string HexRecord(uint8_t type, uint16_t offset, const std::vector<uint8_t>& data) {
    std::vector<uint8_t> r{static_cast<uint8_t>(data.size()), static_cast<uint8_t>(offset >> 8),
                           static_cast<uint8_t>(offset), type};
    r.insert(r.end(), data.begin(), data.end());
    uint8_t sum = 0;
    for (uint8_t b : r) sum = static_cast<uint8_t>(sum + b);
    r.push_back(static_cast<uint8_t>(-sum));
    std::string s = ":";
    char buf[3];
    for (uint8_t b : r) {
        std::snprintf(buf, sizeof buf, "%02X", b);
        s += buf;
    }
    return s + "\r\n";
}

}  // namespace

TEST(ImageFile, AcceptsEachFormatWithExactlyTheImageSize) {
    const auto img = image::MakeDevelopmentImage();
    const std::string raw(img.begin(), img.end());
    const auto fromRaw = image::ParseImageFile(raw);
    ASSERT_TRUE(fromRaw.ok) << fromRaw.error;
    EXPECT_EQ(fromRaw.bytes, img);

    const auto fromDecl = image::ParseImageFile(Declaration(img, true));
    ASSERT_TRUE(fromDecl.ok) << fromDecl.error;
    EXPECT_EQ(fromDecl.bytes, img);

    // Intel HEX with an extended linear address record; gaps stay erased.
    std::string hex = HexRecord(4, 0, {0x00, 0x00}) + HexRecord(0, 0x8000, {1, 2, 3, 4}) +
                      HexRecord(4, 0, {0x00, 0x07}) + HexRecord(0, 0xFFFF, {0x5A}) + HexRecord(1, 0, {});
    const auto fromHex = image::ParseImageFile(hex);
    ASSERT_TRUE(fromHex.ok) << fromHex.error;
    EXPECT_EQ(fromHex.bytes[0x8000], 1);
    EXPECT_EQ(fromHex.bytes[0x8003], 4);
    EXPECT_EQ(fromHex.bytes[0x8004], 0xFF);
    EXPECT_EQ(fromHex.bytes[0x7FFFF], 0x5A);
}

TEST(ImageFile, RefusesWhatIsNotExactlyTheImageAndSaysWhatItFound) {
    const struct {
        const char* name;
        std::string content;
        const char* says;
    } cases[] = {
        {"short raw", std::string(1000, 'x'), "gives 1000 bytes"},
        {"one byte", "x", "gives 1 byte ("},
        {"long raw", std::string(kImageSize + 1, 'x'), "gives 524289 bytes"},
        {"short declaration", Declaration(std::vector<uint8_t>(16, 7), false), "gives 16 bytes"},
        {"long declaration", Declaration(std::vector<uint8_t>(kImageSize + 16, 7), false), "gives 524304 bytes"},
        {"value above a byte", "X : array [1..$80000] of byte = ( 1, 256 );", "element 2 is not a byte"},
        {"unclosed list", "X : array [1..$80000] of byte = ( 1, 2", "not closed"},
        {"junk in list", "X : array [1..$80000] of byte = ( 1, two );", "unexpected text"},
        {"hex beyond the image", HexRecord(4, 0, {0x00, 0x08}) + HexRecord(0, 0, {1}) + HexRecord(1, 0, {}), "beyond"},
        {"hex bad checksum", ":0100000001FF\r\n:00000001FF\r\n", "checksum"},
        {"hex without end", HexRecord(0, 0, {1}), "no end record"},
    };
    for (const auto& c : cases) {
        const auto r = image::ParseImageFile(c.content);
        EXPECT_FALSE(r.ok) << c.name;
        EXPECT_NE(r.error.find(c.says), std::string::npos) << c.name << ": " << r.error;
    }
}

// A text image saved with a byte order mark reads as without it.
TEST(ImageFile, SkipsTheByteOrderMarkOfATextImage) {
    const std::string hex = HexRecord(0, 0x8000, {1, 2}) + HexRecord(1, 0, {});
    const auto r = image::ParseImageFile("\xEF\xBB\xBF" + hex);
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_EQ(r.bytes[0x8001], 2);
}

// An image that would leave the meter blank, or lose data without a word.
TEST(ImageFile, RefusesWhatAnUpdateCannotWriteAndSaysWhere) {
    const auto withByte = [](uint32_t at, uint8_t value) {
        std::vector<uint8_t> img(kImageSize, 0xFF);
        img[at] = value;
        return img;
    };
    auto loaderAndApp = withByte(0x100, 0);
    loaderAndApp[0x1FF] = 0;
    loaderAndApp[0x9000] = 0;
    const struct {
        const char* name;
        std::vector<uint8_t> img;
        const char* says;  // empty: writable
    } cases[] = {
        {"development image", image::MakeDevelopmentImage(), ""},
        {"one byte at the area's start", withByte(0x8000, 0), ""},
        {"one byte at the flash end", withByte(0x7FFFF, 0x7E), ""},
        {"all erased", std::vector<uint8_t>(kImageSize, 0xFF), "no data in the application area (0x08000 to 0x7FFFF"},
        {"below the area too", loaderAndApp, "data at 0x00100 to 0x001FF, outside the application area"},
        {"just below the area", withByte(0x7FFF, 0), "data at 0x07FFF to 0x07FFF"},
    };
    for (const auto& c : cases) {
        const std::string why = image::UnwritableProblem(c.img);
        if (*c.says == 0) {
            EXPECT_EQ(why, "") << c.name;
        } else {
            EXPECT_NE(why.find(c.says), std::string::npos) << c.name << ": " << why;
        }
    }
}

// The report names the firmware by its SHA-256: the standard's own examples,
// including the lengths where the padding needs a second block.
TEST(Sha256, MatchesTheStandardExamples) {
    const struct {
        std::string text;
        const char* hex;
    } cases[] = {
        {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
         "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
        {std::string(1000000, 'a'), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
    };
    for (const auto& c : cases) {
        const auto* p = reinterpret_cast<const uint8_t*>(c.text.data());
        EXPECT_EQ(image::Sha256Hex({p, c.text.size()}), c.hex) << c.text.size() << " bytes";
    }
}

// The compiled-in image's hash is made by the build; a copy of the image,
// once changed, is hashed anew.
TEST(Sha256, OfTheCompiledInImageIsTheOneTheBuildMade) {
    const image::ImageView embedded = image::EmbeddedImage();
    std::vector<uint8_t> copy(embedded.begin(), embedded.end());
    EXPECT_EQ(image::ImageSha256Hex(embedded), image::Sha256Hex(copy));
    copy[image::kImageSize - 1] ^= 1;
    EXPECT_EQ(image::ImageSha256Hex(image::ImageView(copy.data(), image::kImageSize)), image::Sha256Hex(copy));
    EXPECT_NE(image::ImageSha256Hex(image::ImageView(copy.data(), image::kImageSize)), image::ImageSha256Hex(embedded));
}
