#include "platform/MeterLock.h"

namespace platform {
namespace {

std::string Printable(const std::string& text) {
    std::string out;
    for (const char ch : text) {
        const auto c = static_cast<unsigned char>(ch);
        // One mark for a whole UTF-8 character, not one for each of its bytes.
        if ((c & 0xC0) == 0x80) continue;
        out += c >= 0x20 && c < 0x7F ? ch : '?';
    }
    return out;
}

}  // namespace

std::string HolderText(unsigned long processId, const std::string& program, const std::string& user) {
    std::string text = processId == 0 ? "another process" : "process " + std::to_string(processId);
    if (processId != 0 && !program.empty()) text += " (" + Printable(program) + ")";
    if (!user.empty()) text += " of user " + Printable(user);
    return text;
}

}  // namespace platform
