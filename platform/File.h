// Writing files: one writer for every file the tool writes, and what the
// system's own file calls need to know about names.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "platform/System.h"

namespace platform {

// Why a file call failed, in the same terms on every system.
enum class FileFault {
    None,
    NotFound,     // no such file, or (POSIX) no such folder
    BadPath,      // a folder in the name is missing (Windows) or a file stands in its place
    TooManyOpen,  // the process or the system has no handle left
    Denied,       // read-only file, file system or attribute; a folder in the file's place
    DiskFull,
    Exists,  // a new file's name is taken
    Other,
};

struct FileStatus {
    FileFault fault = FileFault::None;
    unsigned long code = 0;  // the system's own number: an errno value, or a Windows error code
    bool Ok() const { return fault == FileFault::None; }
};

// Either system's numbers, named on every system so that both can be checked anywhere.
FileStatus FileStatusFromErrno(int err);
FileStatus FileStatusFromWindowsError(unsigned long err);

// A file open for writing; closed with the object when not before.
class OutputFile {
public:
    enum class Mode {
        Replace,    // created, or emptied when it exists; others may read it meanwhile, not write it
        CreateNew,  // created; fails when the name is taken
        Existing,   // opened as it is: nothing is created and nothing emptied
        Append,     // an existing file, every write at its end
    };

    OutputFile() = default;
    ~OutputFile();
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    FileStatus Open(const std::filesystem::path& path, Mode mode);
    bool IsOpen() const { return handle_ != -1; }
    // All of data, in pieces the system takes one after the other; what it
    // took before a failure stays. A piece that takes nothing is a full disk.
    FileStatus Write(std::string_view data);
    // Takes the room size bytes need before any byte of the file changes, so
    // that a full disk fails here, with the file untouched, where the system
    // reserves room ahead.
    FileStatus Reserve(std::size_t size);
    FileStatus Rewind();
    FileStatus CutTo(std::size_t size);
    // To the disk, before a rename makes the file count.
    FileStatus Sync();
    // Some file systems report a full disk or a lost write only here. An
    // interrupted close has still released the file.
    FileStatus Close();

private:
    // Large enough that a 2 MB file takes a handful of system calls, small
    // enough that a full disk still keeps nearly all that fitted.
    static constexpr std::size_t kWriteChunk = 256 * 1024;
    std::intptr_t handle_ = -1;
};

// Appends a line at the file's end in one write, creating the file when it
// is missing (readable by its owner alone where the system has such rights):
// an append by another thread or program at the same moment never lands
// inside it, nor it inside another. A file that ends in a torn line (no line
// end: a crash or a full disk cut it) gets a line end first, so that this
// line is not lost with the torn one. A write that takes less is a full disk.
FileStatus AppendLine(const std::filesystem::path& file, std::string_view line);

// Where this user's programs keep their state: $XDG_STATE_HOME when it is an
// absolute path, else ~/.local/state; %LOCALAPPDATA% on Windows. Empty when
// the environment names no such place.
std::filesystem::path UserStateFolder();
// The tool's own folder in there, for the update history and meter locks.
inline constexpr char kToolFolder[] = "ethernet-loader";

// A file name in the narrow text the system's own file calls take: the ANSI
// code page on Windows, bytes as they are elsewhere.
std::filesystem::path PathFromNativeName(const std::string& name);

// The file's permission bits when others than its owner (its group, any
// user) may reach it; nothing when only its owner may, when it cannot be
// examined, and on Windows, whose files carry access lists instead.
std::optional<unsigned> OpenToOthers(const std::filesystem::path& file);

// The names a file has (its hard links); 0 when that cannot be told.
std::uintmax_t NameCount(const std::filesystem::path& file);

// Puts the new content, complete in tmp, in target's place in one step. An
// existing target hands over its permissions (on Windows its attributes and
// security). On failure returns false; keepNew is set when target is gone
// and the new content is left only under tmp.
bool PutInPlace(const std::filesystem::path& tmp, const std::filesystem::path& target, bool& keepNew);

// Brings a folder's entries to the disk, as OutputFile::Sync does a file's
// content: a rename into it then survives a power cut. Fails only where the
// disk lost the write; a file system without the step, or a folder this
// user may not open for it, keeps the rename as the system keeps it.
FileStatus SyncFolder(const std::filesystem::path& folder);

// How ReplaceFile ended: the step that failed, and the system's word on it
// (none when the complete new file could not be put in place). After a
// failed SyncFolder the new content is in place, but may not survive a
// power cut.
struct ReplaceStatus {
    enum class Step { None, Create, Write, Flush, PutInPlace, SyncFolder };
    Step failed = Step::None;
    FileStatus status;
    bool Ok() const { return failed == Step::None; }
};

// Called before each step of ReplaceFile: the seam through which tests tear
// a replacement. A status that is not Ok fails the step as the system
// would, without taking it; a throw leaves everything as it stands, as a
// crash or a power cut at that moment would.
using BeforeReplaceStep = std::function<FileStatus(ReplaceStatus::Step)>;

// Writes data to a new file beside target, flushes it to the disk, puts it
// in target's place (PutInPlace) and flushes the folder (SyncFolder): a
// crash, a power cut or a full disk never leaves half a file there, nor
// destroys the one that was; at any moment target holds the old content or
// the new one. A new file left by a crash keeps its own name, target's name
// with a number and ".tmp" after it. On failure the new file is removed,
// unless it holds the only copy left (keepNew above).
ReplaceStatus ReplaceFile(const std::filesystem::path& target, std::string_view data,
                          const BeforeReplaceStep& before = {});

}  // namespace platform
