// The settings file from the command line, through the tool's own reader and
// writer: what the window would load, and a save as the window's close does.
// The scripts use it to point the tool at a simulated meter without losing
// whatever else the file holds.
//
//   loader-settings get FILE            prints the address the window would show
//   loader-settings set FILE ADDRESS    stores ADDRESS; every other byte stays
#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <system_error>

#include "settings/ProfileFile.h"
#include "settings/Settings.h"

namespace {

// Why the file cannot be taken as a settings file this tool reads and
// writes, or empty. A missing file is fine to set, never to get.
std::string Problem(const std::string& file, bool mustExist) {
    std::error_code ec;
    const auto status = std::filesystem::status(file, ec);
    if (!std::filesystem::exists(status)) return mustExist ? "no such file" : "";
    if (std::filesystem::is_directory(status)) return "a folder, not a settings file";
    errno = 0;
    std::ifstream in(file, std::ios::binary);
    if (!in) return "cannot be read: " + std::generic_category().message(errno);
    const std::string start(std::istreambuf_iterator<char>(in), {});
    if (settings::IsUtf16(start))
        return "UTF-16 text, which the tool does not write (its settings are single-byte text); "
               "save it as ANSI or UTF-8 first";
    return {};
}

}  // namespace

int main(int argc, char** argv) {
    const std::string command = argc > 1 ? argv[1] : "";
    try {
        if ((command == "get" && argc == 3) || (command == "set" && argc == 4)) {
            if (const std::string why = Problem(argv[2], command == "get"); !why.empty()) {
                std::fprintf(stderr, "loader-settings: %s: %s\n", argv[2], why.c_str());
                return 1;
            }
        }
        if (command == "get" && argc == 3) {
            std::printf("%s\n", settings::LoadSettings(argv[2]).address.c_str());
            return 0;
        }
        if (command == "set" && argc == 4) {
            settings::SaveSettings(argv[2], argv[3]);
            return 0;
        }
    } catch (const std::exception& e) {
        std::fprintf(stderr, "loader-settings: %s\n", e.what());
        return 1;
    }
    std::fprintf(stderr, "usage: loader-settings get FILE | loader-settings set FILE ADDRESS\n");
    return 2;
}
