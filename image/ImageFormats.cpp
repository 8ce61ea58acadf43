#include "image/ImageFormats.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstdio>

namespace image {
namespace {

std::string SizeError(std::size_t n) {
    return "the image gives " + std::to_string(n) + (n == 1 ? " byte (0x" : " bytes (0x") + [&] {
        char buf[16];
        auto r = std::to_chars(buf, buf + sizeof buf, n, 16);
        return std::string(buf, r.ptr);
    }() + "), not exactly 524288 (0x80000)";
}

std::string LastAddressText() {
    char text[16];
    std::snprintf(text, sizeof text, "0x%05zX", kImageSize - 1);
    return text;
}

ParseResult Finish(std::vector<uint8_t> bytes) {
    ParseResult r;
    r.ok = bytes.size() == kImageSize;
    if (!r.ok) r.error = SizeError(bytes.size());
    r.bytes = std::move(bytes);
    return r;
}

ParseResult Fail(std::string why, std::vector<uint8_t> bytes = {}) {
    ParseResult r;
    r.error = std::move(why);
    r.bytes = std::move(bytes);
    return r;
}

// Skips blanks, line ends and the three comment forms of the declaration's language.
std::size_t SkipFiller(std::string_view t, std::size_t i) {
    while (i < t.size()) {
        const char c = t[i];
        if (std::isspace(static_cast<unsigned char>(c))) {
            ++i;
        } else if (t.compare(i, 2, "//") == 0) {
            const auto e = t.find('\n', i);
            i = e == std::string_view::npos ? t.size() : e + 1;
        } else if (c == '{') {
            const auto e = t.find('}', i);
            i = e == std::string_view::npos ? t.size() : e + 1;
        } else if (t.compare(i, 2, "(*") == 0) {
            const auto e = t.find("*)", i + 2);
            i = e == std::string_view::npos ? t.size() : e + 2;
        } else {
            break;
        }
    }
    return i;
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

}  // namespace

ParseResult ParseDeclaration(std::string_view t) {
    // The list starts at the "(" that follows "=", after "array [..] of byte".
    std::size_t i = 0;
    for (;;) {
        i = SkipFiller(t, i);
        if (i >= t.size()) return Fail("no \"= (\" opening the byte list was found");
        if (t[i] == '=') {
            i = SkipFiller(t, i + 1);
            if (i < t.size() && t[i] == '(' && (i + 1 >= t.size() || t[i + 1] != '*')) break;
            continue;
        }
        ++i;
    }
    ++i;
    std::vector<uint8_t> bytes;
    bytes.reserve(kImageSize);
    for (;;) {
        i = SkipFiller(t, i);
        if (i >= t.size()) return Fail("the byte list is not closed by \")\"", std::move(bytes));
        if (t[i] == ')') break;
        unsigned value = 0;
        const char* first = t.data() + i;
        const char* last = t.data() + t.size();
        std::from_chars_result r{};
        if (*first == '$') {
            r = std::from_chars(first + 1, last, value, 16);
            if (r.ptr == first + 1) return Fail("a \"$\" without hexadecimal digits", std::move(bytes));
        } else {
            r = std::from_chars(first, last, value, 10);
            if (r.ptr == first) {
                std::string why = "unexpected text \"" + std::string(t.substr(i, 12)) +
                                  "\" in the byte list after element " + std::to_string(bytes.size());
                return Fail(std::move(why), std::move(bytes));
            }
        }
        if (r.ec != std::errc{} || value > 255) {
            std::string why = "element " + std::to_string(bytes.size() + 1) + " is not a byte value";
            return Fail(std::move(why), std::move(bytes));
        }
        bytes.push_back(static_cast<uint8_t>(value));
        i = SkipFiller(t, static_cast<std::size_t>(r.ptr - t.data()));
        if (i < t.size() && t[i] == ',') ++i;
    }
    return Finish(std::move(bytes));
}

namespace {

// An Intel HEX record's bytes, checked: count, address, type, data and the
// checksum that makes them sum to zero. Empty with what is wrong (after the
// line's name) when they are not.
std::vector<uint8_t> RecordBytes(std::string_view rec, std::string& problem) {
    if (rec[0] != ':' || rec.size() < 11 || (rec.size() - 1) % 2 != 0) {
        problem = " is not a record";
        return {};
    }
    std::vector<uint8_t> r;
    for (std::size_t k = 1; k + 1 < rec.size(); k += 2) {
        const int hi = HexDigit(rec[k]), lo = HexDigit(rec[k + 1]);
        if (hi < 0 || lo < 0) {
            problem = " holds a character that is not hexadecimal";
            return {};
        }
        r.push_back(static_cast<uint8_t>(hi * 16 + lo));
    }
    uint8_t sum = 0;
    for (uint8_t b : r) sum = static_cast<uint8_t>(sum + b);
    if (sum != 0)
        problem = " has a wrong checksum";
    else if (r.size() != r[0] + 5u)
        problem = " has a wrong length";
    return problem.empty() ? r : std::vector<uint8_t>{};
}

std::string LowerHex(std::size_t value) {
    char b[16];
    auto p = std::to_chars(b, b + 16, value, 16);
    return std::string(b, p.ptr);
}

}  // namespace

ParseResult ParseIntelHex(std::string_view t) {
    std::vector<uint8_t> bytes(kImageSize, 0xFF);
    uint32_t base = 0;
    uint32_t highest = 0;  // one past the highest address written
    bool ended = false;
    std::size_t line = 0;
    std::size_t i = 0;
    while (i < t.size() && !ended) {
        const auto e = t.find('\n', i);
        std::string_view rec = t.substr(i, e == std::string_view::npos ? std::string_view::npos : e - i);
        i = e == std::string_view::npos ? t.size() : e + 1;
        ++line;
        while (!rec.empty() && std::isspace(static_cast<unsigned char>(rec.back()))) rec.remove_suffix(1);
        while (!rec.empty() && std::isspace(static_cast<unsigned char>(rec.front()))) rec.remove_prefix(1);
        if (rec.empty()) continue;
        const std::string where = "Intel HEX line " + std::to_string(line);
        std::string problem;
        const std::vector<uint8_t> r = RecordBytes(rec, problem);
        if (!problem.empty()) return Fail(where + problem);
        const std::size_t count = r[0];
        const uint32_t offset = static_cast<uint32_t>(r[1]) << 8 | r[2];
        const uint8_t* data = r.data() + 4;
        switch (r[3]) {
            case 0x00: {
                const uint32_t at = base + offset;
                if (at + count > kImageSize)
                    return Fail(where + " writes at 0x" + LowerHex(at + count - 1) +
                                ", beyond the image's last address " + LastAddressText());
                std::copy(data, data + count, bytes.begin() + at);
                highest = std::max(highest, at + static_cast<uint32_t>(count));
                break;
            }
            case 0x01: ended = true; break;
            case 0x02:
                if (count != 2) return Fail(where + ": bad segment address record");
                base = (static_cast<uint32_t>(data[0]) << 8 | data[1]) << 4;
                break;
            case 0x04:
                if (count != 2) return Fail(where + ": bad linear address record");
                base = (static_cast<uint32_t>(data[0]) << 8 | data[1]) << 16;
                break;
            case 0x03:
            case 0x05: break;  // start addresses mean nothing to a flash image
            default: return Fail(where + " has an unknown record type");
        }
    }
    if (!ended) return Fail("the Intel HEX file has no end record");
    if (highest == 0) return Fail("the Intel HEX file holds no data");
    return Finish(std::move(bytes));
}

ParseResult ParseImageFile(std::string_view content) {
    // A raw image may begin with these bytes too; only a text drops them.
    constexpr std::string_view kBom = "\xEF\xBB\xBF";
    const std::string_view text = content.starts_with(kBom) ? content.substr(kBom.size()) : content;
    std::size_t i = 0;
    while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i]))) ++i;
    if (i < text.size() && text[i] == ':') return ParseIntelHex(text);
    if (text.find("array") != std::string_view::npos && text.find("of byte") != std::string_view::npos)
        return ParseDeclaration(text);
    return Finish(std::vector<uint8_t>(content.begin(), content.end()));
}

std::string UnwritableProblem(const std::vector<uint8_t>& image) {
    const auto blank = [](uint8_t b) { return b == 0xFF; };
    const auto appStart = image.begin() + std::min<std::size_t>(image.size(), protocol::kApplicationStart);
    char area[64];
    std::snprintf(area, sizeof area, "0x%05X to 0x%05X", protocol::kApplicationStart, protocol::kApplicationEnd);
    if (const auto first = std::find_if_not(image.begin(), appStart, blank); first != appStart) {
        const auto last = std::find_if_not(std::make_reverse_iterator(appStart), image.rend(), blank);
        char where[96];
        std::snprintf(where, sizeof where, "0x%05zX to 0x%05zX", static_cast<std::size_t>(first - image.begin()),
                      static_cast<std::size_t>(image.rend() - last - 1));
        return std::string("it has data at ") + where + ", outside the application area (" + area +
               "), which an update never writes; nothing was sent";
    }
    if (std::all_of(appStart, image.end(), blank)) {
        return std::string("it has no data in the application area (") + area +
               " is all 0xFF): the meter would be left without firmware; nothing was sent";
    }
    return {};
}

std::vector<uint8_t> MakeDevelopmentImage() {
    std::vector<uint8_t> img(kImageSize, 0xFF);
    // A vector table in the shape a Cortex-M expects at the start of the
    // application, then code-like bytes. 0xFF is avoided so that no block of
    // the firmware area counts as blank.
    const uint32_t words[] = {0x20010000, 0x00008101, 0x00008181, 0x00008183, 0x00008185, 0x00008187};
    uint32_t at = protocol::kApplicationStart;
    for (uint32_t w : words)
        for (int k = 0; k < 4; ++k) img[at++] = static_cast<uint8_t>(w >> (8 * k));
    uint32_t x = 0x2545F491u;  // xorshift32: the same bytes on every build
    for (; at < kDevFirmwareEnd; ++at) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        uint8_t b = static_cast<uint8_t>(x >> 11);
        if (b == 0xFF) b = 0xBF;
        img[at] = b;
    }
    return img;
}

}  // namespace image
