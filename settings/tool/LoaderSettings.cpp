// The settings file from the command line, through the tool's own reader and
// writer: what the window would load, and a save as the window's close does.
// The scripts use it to point the tool at a simulated meter without losing
// whatever else the file holds.
//
//   loader-settings get FILE            prints the address the window would show
//   loader-settings set FILE ADDRESS    stores ADDRESS; every other byte stays
#include <cstdio>
#include <string>

#include "Settings.h"

int main(int argc, char** argv) {
    const std::string command = argc > 1 ? argv[1] : "";
    try {
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
