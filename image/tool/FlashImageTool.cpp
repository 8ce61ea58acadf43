// Build-time helper: makes the development image and turns an image file into
// the source that puts FlashImageARM and its SHA-256 into the program's
// read-only data.
//
//   flash-image-tool generate OUT.bin
//   flash-image-tool embed IN OUT.cpp OUT.bin
#include <cstdio>
#include <fstream>
#include <iostream>
#include <iterator>
#include <sstream>
#include <string>

#include "image/ImageFormats.h"
#include "image/Sha256.h"

namespace {

bool WriteFile(const std::string& path, const void* data, std::size_t n) {
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f.write(static_cast<const char*>(data), static_cast<std::streamsize>(n));
    return static_cast<bool>(f.flush());
}

std::string Embed(const std::vector<uint8_t>& img) {
    std::string s;
    s.reserve(img.size() * 5 + 512);
    s += "// Generated at build time from the firmware image. Do not edit.\n"
         "#include \"image/FlashImage.h\"\n\n"
         "alignas(64) const uint8_t FlashImageARM[image::kImageSize] = {\n";
    static const char* hex = "0123456789ABCDEF";
    for (std::size_t i = 0; i < img.size(); ++i) {
        s += "0x";
        s += hex[img[i] >> 4];
        s += hex[img[i] & 15];
        s += (i % 32 == 31) ? ",\n" : ",";
    }
    s += "};\n\n"
         "// Hashed here once, so that no update spends its time on it.\n"
         "const char FlashImageARMSha256[65] = \"";
    s += image::Sha256Hex(img);
    s += "\";\n";
    return s;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string cmd = argc > 1 ? argv[1] : "";
    if (cmd == "generate" && argc == 3) {
        const auto img = image::MakeDevelopmentImage();
        if (!WriteFile(argv[2], img.data(), img.size())) {
            std::cerr << "flash-image-tool: cannot write " << argv[2] << "\n";
            return 1;
        }
        return 0;
    }
    if (cmd == "embed" && argc == 5) {
        std::ifstream in(argv[2], std::ios::binary);
        if (!in) {
            std::cerr << "flash-image-tool: cannot read the firmware image " << argv[2] << "\n";
            return 1;
        }
        const std::string content((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        const auto r = image::ParseImageFile(content);
        if (!r.ok) {
            std::cerr << "flash-image-tool: " << argv[2] << ": " << r.error << "\n";
            return 1;
        }
        const std::string src = Embed(r.bytes);
        if (!WriteFile(argv[3], src.data(), src.size()) || !WriteFile(argv[4], r.bytes.data(), r.bytes.size())) {
            std::cerr << "flash-image-tool: cannot write the generated files\n";
            return 1;
        }
        return 0;
    }
    std::cerr << "usage: flash-image-tool generate OUT.bin | embed IN OUT.cpp OUT.bin\n";
    return 2;
}
