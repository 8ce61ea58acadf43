// libFuzzer entry: the firmware image formats that the build, and at run time
// `--image`, read. Every input ends in a result that says what it is: a whole
// image, or an error text. The first byte picks the entry; a violated
// expectation traps, so the fuzzer reports it.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "image/ImageFormats.h"

namespace {

void Expect(bool condition) {
    if (!condition) __builtin_trap();
}

bool Same(const image::ParseResult& a, const image::ParseResult& b) {
    return a.ok == b.ok && a.bytes == b.bytes && a.error == b.error;
}

void Invariants(const image::ParseResult& r) {
    if (r.ok) {
        Expect(r.bytes.size() == image::kImageSize);
        Expect(r.error.empty());
    } else {
        Expect(!r.error.empty());
    }
}

// The format is picked by content, after a text's UTF-8 byte order mark; each
// pick gives what its parser gives, and a raw image keeps every byte.
void ImageFile(std::string_view content) {
    const image::ParseResult r = image::ParseImageFile(content);
    Invariants(r);
    const std::string_view text = content.starts_with("\xEF\xBB\xBF") ? content.substr(3) : content;
    const size_t first = text.find_first_not_of(" \t\n\v\f\r");
    if (first != std::string_view::npos && text[first] == ':')
        Expect(Same(r, image::ParseIntelHex(text)));
    else if (text.find("array") == std::string_view::npos || text.find("of byte") == std::string_view::npos)
        Expect(r.bytes.size() == content.size() &&
               std::equal(content.begin(), content.end(), r.bytes.begin(),
                          [](char c, uint8_t b) { return static_cast<uint8_t>(c) == b; }));
}

// Line ends and blanks around a record change nothing.
void IntelHex(std::string_view text) {
    const image::ParseResult r = image::ParseIntelHex(text);
    Invariants(r);
    std::string spaced;
    for (char c : text) {
        if (c == '\n')
            spaced += " \r\n\t";
        else
            spaced += c;
    }
    Expect(Same(r, image::ParseIntelHex(spaced)));
}

// The header the export writes (line 2: "// " and the text of Edit1, one
// line) never changes what the declaration gives. (The whole export's round
// trip, two megabytes each way, is a unit test: image_export_tests.)
void ExportHeader(std::string_view in) {
    const size_t eol = std::min(in.find('\n'), in.size());
    const std::string_view header = in.substr(0, eol);
    const std::string_view fill = in.substr(std::min(in.size(), eol + 1));
    const std::string stars = "// " + std::string(61, '*') + "\r\n";
    std::string text =
        stars + "// " + std::string(header) + "\r\n" + stars + "\r\nFlashImageARM : array [1..$80000] of byte = (\r\n";
    for (size_t i = 0; i < fill.size(); ++i) {
        text += std::to_string(static_cast<uint8_t>(fill[i]));
        if (i + 1 < fill.size()) text += i % 16 == 15 ? ",\r\n" : ",";
    }
    text += "\r\n);\r\n\r\n";
    const image::ParseResult r = image::ParseDeclaration(text);
    Expect(r.bytes.size() == fill.size() && std::equal(fill.begin(), fill.end(), r.bytes.begin(),
                                                       [](char c, uint8_t b) { return static_cast<uint8_t>(c) == b; }));
    Expect(!r.ok && r.error.starts_with("the image gives "));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const std::string_view in(reinterpret_cast<const char*>(data) + 1, size - 1);
    switch (data[0] % 8) {
        case 0:
        case 1: ImageFile(in); break;
        case 2:
        case 3: Invariants(image::ParseDeclaration(in)); break;
        case 4:
        case 5:
        case 6: IntelHex(in); break;
        default: ExportHeader(in); break;
    }
    return 0;
}
