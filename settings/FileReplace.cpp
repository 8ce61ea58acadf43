#include "settings/FileReplace.h"

#include <fstream>

#include "platform/File.h"

namespace fs = std::filesystem;

namespace settings {

namespace {

enum class Access { Writable, Missing, Denied };

using platform::OutputFile;

// Whether the file itself may be written, as the platform decides it: it is
// opened for writing, without truncating or creating it, and closed again.
// A rename over it would need only the directory's permission.
Access WriteAccess(const fs::path& p) {
    OutputFile file;
    const platform::FileStatus opened = file.Open(p, OutputFile::Mode::Existing);
    if (opened.Ok()) return Access::Writable;
    return opened.fault == platform::FileFault::NotFound ? Access::Missing : Access::Denied;
}

// Rewrites a file that has more than one name where it stands, so that all
// its names keep naming it; a rename would leave the others on the old file.
bool RewriteInPlace(const fs::path& target, const std::string& data) {
    OutputFile file;
    if (!file.Open(target, OutputFile::Mode::Existing).Ok()) return false;
    const bool written = file.Reserve(data.size()).Ok() && file.Rewind().Ok() && file.Write(data).Ok() &&
                         file.CutTo(data.size()).Ok() && file.Sync().Ok();
    const bool closed = file.Close().Ok();
    return written && closed;
}

}  // namespace

ReadResult ReadWholeFile(const fs::path& path, std::string& out) {
    std::error_code ec;
    const fs::file_status st = fs::status(path, ec);
    if (st.type() == fs::file_type::not_found) return ReadResult::Missing;
    if (ec || st.type() != fs::file_type::regular) return ReadResult::Failed;
    std::ifstream in(path, std::ios::binary);
    if (!in) return ReadResult::Failed;
    out.clear();
    char buffer[1 << 16];
    while (in.read(buffer, sizeof buffer) || in.gcount() > 0) out.append(buffer, static_cast<size_t>(in.gcount()));
    return in.bad() ? ReadResult::Failed : ReadResult::Read;
}

bool ReplaceWholeFile(const fs::path& target, const std::string& data) {
    std::error_code ec;
    // Through a link the file it names is replaced; the link stays.
    fs::path real = target;
    if (fs::is_symlink(target, ec)) {
        fs::path resolved = fs::canonical(target, ec);
        if (!ec) real = resolved;
    }
    const fs::file_status old = fs::status(real, ec);
    const Access access = WriteAccess(real);
    if (access == Access::Denied) return false;
    if (access == Access::Writable && fs::is_regular_file(old) && platform::NameCount(real) > 1)
        return RewriteInPlace(real, data);

    const platform::ReplaceStatus replaced = platform::ReplaceFile(real, data);
    // A folder where no new file may be made (an install folder) can still
    // hold a file that may be written: rewrite it where it stands.
    if (replaced.failed == platform::ReplaceStatus::Step::Create)
        return access == Access::Writable && fs::is_regular_file(old) && RewriteInPlace(real, data);
    return replaced.Ok();
}

}  // namespace settings
