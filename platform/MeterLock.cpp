#include "platform/MeterLock.h"

#include <cctype>
#include <system_error>

#include "platform/File.h"

namespace fs = std::filesystem;

namespace platform {

fs::path StateLockFolder() {
    const fs::path state = UserStateFolder();
    return state.empty() ? state : state / kToolFolder / "locks";
}

fs::path LockFile(const fs::path& folder, const std::string& address) {
    if (folder.empty() || address.empty()) return {};
    std::error_code ec;
    fs::create_directories(folder, ec);
    return folder / ("meter-" + address + ".lock");
}

std::string HolderRecord(long processId, const std::string& self) {
    return std::to_string(processId) + " " + self + "\n";
}

std::string HolderFromRecord(const std::string& record) {
    size_t digits = 0;
    while (digits < record.size() && std::isdigit(static_cast<unsigned char>(record[digits]))) ++digits;
    // Taken a moment ago, its holder not yet written down.
    if (digits == 0) return "another process";
    std::string name = record.substr(digits);
    while (!name.empty() && std::isspace(static_cast<unsigned char>(name.back()))) name.pop_back();
    while (!name.empty() && std::isspace(static_cast<unsigned char>(name.front()))) name.erase(0, 1);
    return "process " + record.substr(0, digits) + (name.empty() ? "" : " (" + name + ")");
}

}  // namespace platform
