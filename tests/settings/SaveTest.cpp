// What a close writes to the settings file, and what happens when it cannot.
#include <gtest/gtest.h>

#include <optional>

#ifdef _WIN32
#include <windows.h>

#include "tests/support/Wine.h"
#else
#include "tests/support/ScratchMount.h"
#include "tests/support/Unprivileged.h"
#endif
#include "settings/Settings.h"
#include "tests/settings/TestFiles.h"

using namespace std::string_literals;
using settings::LoadSettings;
using settings::SaveSettings;

namespace {

constexpr char kName[] = "QT510x_QT520x_Ethernet_Loader.ini";

struct SaveCase {
    const char* name;
    std::optional<std::string> before;  // none: no file yet
    std::string address;                // as the operator left the field
    std::string after;                  // the whole file, byte for byte
    std::string next;                   // what the next start shows
};

const std::string kHandWritten =
    "; written by hand\r\n"
    "\r\n"
    "[net]\r\n"
    "ipaddress = 10.9.9.9\r\n"
    "\r\n"
    "[Boot]\r\n"
    "# the last meter\r\n"
    "retries=3\r\n"
    "\t IPADDRESS  =  %s  \r\n"
    "mode = fast ; slow\r\n"
    "\r\n"
    "; the end, without a line end";

std::string HandWritten(const std::string& value) {
    std::string s = kHandWritten;
    return s.replace(s.find("%s"), 2, value);
}

const SaveCase kSaveCases[] = {
    {"new file", std::nullopt, "0.0.0.0", "[boot]"s + kLineEnd + "ipaddress=0.0.0.0" + kLineEnd, "0.0.0.0"},
    {"only the value changes", HandWritten("10.0.0.1"), "192.168.100.200", HandWritten("192.168.100.200"),
     "192.168.100.200"},
    {"blank value filled after its blanks", "[boot]\nipaddress=  \n", "10.0.0.2", "[boot]\nipaddress=  10.0.0.2\n",
     "10.0.0.2"},
    {"entry added after the section's last entry", "[boot]\nport=502\n; about net\n\n[net]\nx=1\n", "10.0.0.3",
     "[boot]\nport=502\nipaddress=10.0.0.3\n; about net\n\n[net]\nx=1\n", "10.0.0.3"},
    {"entry added to a section at the end without line end", "[net]\r\nx=1\r\n[boot]", "10.0.0.4",
     "[net]\r\nx=1\r\n[boot]\r\nipaddress=10.0.0.4", "10.0.0.4"},
    {"section added, file's line ends kept", "[net]\r\nx=1", "10.0.0.5",
     "[net]\r\nx=1\r\n[boot]\r\nipaddress=10.0.0.5\r\n", "10.0.0.5"},
    {"old Mac line ends", "[boot]\rport=1\r", "10.0.0.6", "[boot]\rport=1\ripaddress=10.0.0.6\r", "10.0.0.6"},
    {"the value read is the one replaced", "[boot]\nipaddress=1\n[net]\n[BOOT]\nIPADDRESS=2\n", "10.0.0.7",
     "[boot]\nipaddress=1\n[net]\n[BOOT]\nIPADDRESS=10.0.0.7\n", "10.0.0.7"},
    {"header never closed is no section", "[boot\nipaddress=1\n", "10.0.0.8",
     "[boot\nipaddress=1\n[boot]\nipaddress=10.0.0.8\n", "10.0.0.8"},
    // As SimpleIni reads it, blanks and line ends after "[" are skipped: a
    // header may span lines, and a lone "[" takes the next line for its name.
    {"header over two lines", "[\n boot ]\nipaddress=1\n", "10.0.0.11", "[\n boot ]\nipaddress=10.0.0.11\n",
     "10.0.0.11"},
    {"a lone [ makes the next header its name", "[\n[boot]\nipaddress=1\n", "10.0.0.12",
     "[\n[boot]\nipaddress=1\n[boot]\nipaddress=10.0.0.12\n", "10.0.0.12"},
    {"new section goes before a [ left open", "[net]\nx=1\n  [ \r\n\n", "10.0.0.13",
     "[net]\nx=1\n  [boot]\nipaddress=10.0.0.13\n[ \r\n\n", "10.0.0.13"},
    {"byte-order mark kept", "\xEF\xBB\xBF[net]\nx=1\n", "10.0.0.9",
     "\xEF\xBB\xBF[net]\nx=1\n[boot]\nipaddress=10.0.0.9\n", "10.0.0.9"},
    {"new section goes where reading stops", "[net]\nx=1\n\0\xFF\xFE binary"s, "10.0.0.10",
     "[net]\nx=1\n[boot]\nipaddress=10.0.0.10\n\0\xFF\xFE binary"s, "10.0.0.10"},
    {"stray blanks stored, dropped on reading", "[boot]\nipaddress=10.0.0.1\n", "  10.0.0.5 \t",
     "[boot]\nipaddress=  10.0.0.5 \t\n", "10.0.0.5"},
    {"field left empty", "[boot]\nipaddress=10.0.0.1\n", "", "[boot]\nipaddress=\n", "0.0.0.0"},
    {"one line holds one value", "[boot]\nipaddress=10.0.0.1\n", "10.0.0.2\r\n[boot]\nipaddress=6.6.6.6",
     "[boot]\nipaddress=10.0.0.2\n", "10.0.0.2"},
};

void PrintTo(const SaveCase& c, std::ostream* os) { *os << c.name; }

class Save : public ::testing::TestWithParam<SaveCase> {};

TEST_P(Save, ChangesOnlyTheValueAndReadsBack) {
    const SaveCase& c = GetParam();
    TempDir dir;
    const std::string file = dir.File(kName);
    if (c.before) WriteBytes(file, *c.before);

    SaveSettings(file, c.address);
    EXPECT_EQ(ReadBytes(file), c.after);
    EXPECT_EQ(LoadSettings(file).address, c.next);
    EXPECT_EQ(dir.Names(), std::set<std::string>{kName}) << "nothing left beside it";
}

INSTANTIATE_TEST_SUITE_P(Cases, Save, ::testing::ValuesIn(kSaveCases), RowName<SaveCase>);

#ifndef _WIN32
TEST(Save, KeepsTheFilesPermissions) {
    TempDir dir;
    const std::string file = dir.File(kName);
    WriteBytes(file, "[boot]\nipaddress=1\n");
    fs::permissions(file, fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
    SaveSettings(file, "10.0.0.1");
    EXPECT_EQ(fs::status(file).permissions(), fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
}

TEST(Save, ThroughALinkWritesTheFileItNames) {
    TempDir dir;
    fs::create_directory(dir.path() / "real");
    const std::string real = (dir.path() / "real" / "loader.ini").string();
    WriteBytes(real, "[boot]\nipaddress=1\n");
    fs::create_symlink(real, dir.File(kName));
    SaveSettings(dir.File(kName), "10.0.0.1");
    EXPECT_TRUE(fs::is_symlink(dir.File(kName)));
    EXPECT_EQ(ReadBytes(real), "[boot]\nipaddress=10.0.0.1\n");
}
#endif

// A file with a second name keeps it: both names show the new content.
TEST(Save, KeepsAHardLink) {
    TempDir dir;
    const std::string file = dir.File(kName);
    const std::string other = dir.File("other-name.ini");
    WriteBytes(file, "; kept\n[boot]\nipaddress=10.0.0.1\n; a long tail that the new content no longer reaches\n");
    fs::create_hard_link(file, other);
    SaveSettings(file, "10.0.0.2");
    const std::string expected =
        "; kept\n[boot]\nipaddress=10.0.0.2\n; a long tail that the new content no longer reaches\n";
    EXPECT_EQ(ReadBytes(file), expected);
    EXPECT_EQ(ReadBytes(other), expected);
#ifndef _WIN32  // libstdc++ counts one name for every file on Windows
    EXPECT_EQ(fs::hard_link_count(file), 2u);
#endif
    EXPECT_TRUE(fs::equivalent(file, other));
    // Shorter, then longer: the file is cut to its new length each time.
    SaveSettings(other, "1");
    EXPECT_EQ(ReadBytes(file), "; kept\n[boot]\nipaddress=1\n; a long tail that the new content no longer reaches\n");
    SaveSettings(file, std::string(3000, '7'));
    EXPECT_EQ(LoadSettings(other).address, std::string(3000, '7').substr(0, settings::kMaxValueChars));
    EXPECT_EQ(dir.Names(), (std::set<std::string>{kName, "other-name.ini"}));
}

// Each failure raises the write error naming the full file, and leaves
// whatever was there as it was.
void ExpectWriteError(const std::string& file, const std::string& address) {
    try {
        SaveSettings(file, address);
        ADD_FAILURE() << "no error for " << file;
    } catch (const settings::WriteError& e) {
        EXPECT_EQ(std::string(e.what()), "Unable to write to " + file);
    }
}

TEST(SaveFails, WhereTheDirectoryIsGone) {
    TempDir dir;
    const std::string file = (dir.path() / "gone" / kName).string();
    ExpectWriteError(file, "10.0.0.1");
    EXPECT_TRUE(dir.Names().empty());
}

// Single bytes written into two-byte text would damage every line after them.
TEST(SaveFails, OnAUtf16FileWhichStaysAsItWas) {
    TempDir dir;
    const std::string utf16le("\xFF\xFE[\0b\0o\0o\0t\0]\0\r\0\n\0", 18);
    const std::string withoutMark("[\0b\0o\0o\0t\0]\0", 12);
    for (const std::string& content : {utf16le, withoutMark, std::string("\xFE\xFF\0[", 4)}) {
        WriteBytes(dir.File(kName), content);
        ExpectWriteError(dir.File(kName), "10.0.0.1");
        EXPECT_EQ(ReadBytes(dir.File(kName)), content);
    }
}

TEST(SaveFails, WhereADirectoryStandsInPlaceOfTheFile) {
    TempDir dir;
    fs::create_directory(dir.File(kName));
    ExpectWriteError(dir.File(kName), "10.0.0.1");
    EXPECT_TRUE(fs::is_directory(dir.File(kName)));
    EXPECT_EQ(dir.Names(), std::set<std::string>{kName});
}

#ifndef _WIN32
TEST(SaveFails, OnAReadOnlyFileSystem) {
    TempDir dir;
    testsupport::ScratchMount mount;
    if (const std::string why = mount.Mount(dir.path().string(), "size=64k"); !why.empty()) GTEST_SKIP() << why;
    const std::string file = dir.File(kName);
    WriteBytes(file, "[boot]\nipaddress=10.0.0.1\n");
    ASSERT_TRUE(mount.MakeReadOnly());
    ExpectWriteError(file, "10.0.0.2");
    EXPECT_EQ(ReadBytes(file), "[boot]\nipaddress=10.0.0.1\n");
}

// True when the calling test is to run its body here. Run as root, the test
// has instead just run itself as "nobody", and that run's verdict is taken over.
bool RunsAsAnOrdinaryUser() {
    if (!testsupport::IsPrivileged()) return true;
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    const std::string name = std::string(info->test_suite_name()) + "." + info->name();
    try {
        const testsupport::UnprivilegedRun run = testsupport::RunSelfAsNobody({"--gtest_filter=" + name});
        EXPECT_EQ(run.status, 0) << run.output;
        EXPECT_NE(run.output.find("[  PASSED  ] 1 test."), std::string::npos) << run.output;
    } catch (const std::system_error& e) {
        ADD_FAILURE() << "cannot run as an ordinary user: " << e.what();
    }
    return false;
}

// A rename over the file would need only the directory's permission; the
// file's own read-only mode counts all the same, behind a link or with a
// second name too.
TEST(SaveFails, OnAReadOnlyFile) {
    if (!RunsAsAnOrdinaryUser()) return;
    enum class Names { One, BehindALink, Two };
    for (const Names how : {Names::One, Names::BehindALink, Names::Two}) {
        SCOPED_TRACE(static_cast<int>(how));
        TempDir dir;
        const std::string real = dir.File(how == Names::BehindALink ? "real.ini" : kName);
        const std::string old = "; kept\n[boot]\nipaddress=10.0.0.1\n";
        WriteBytes(real, old);
        if (how == Names::BehindALink) fs::create_symlink(real, dir.File(kName));
        if (how == Names::Two) fs::create_hard_link(real, dir.File("other-name.ini"));
        fs::permissions(real, fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
        const std::set<std::string> names = dir.Names();
        struct stat before {};
        struct stat after {};
        ASSERT_EQ(::stat(real.c_str(), &before), 0);
        ExpectWriteError(dir.File(kName), "10.0.0.2");
        ASSERT_EQ(::stat(real.c_str(), &after), 0);
        EXPECT_EQ(after.st_ino, before.st_ino);
        EXPECT_EQ(after.st_mode, before.st_mode);
        EXPECT_EQ(after.st_nlink, before.st_nlink);
        for (const std::string& name : names) EXPECT_EQ(ReadBytes(dir.File(name)), old) << name;
        EXPECT_EQ(fs::is_symlink(dir.File(kName)), how == Names::BehindALink);
        EXPECT_EQ(dir.Names(), names);
    }
}

// A folder where the user may not create files (an install folder): a file
// there that the user may write is rewritten where it stands; the other
// rules still hold.
TEST(Save, InAFolderWhereNoNewFileCanBeMade) {
    if (!RunsAsAnOrdinaryUser()) return;
    const struct {
        const char* name;
        fs::perms file;
        bool secondName;
        bool saved;
    } rows[] = {
        {"writable file", fs::perms::owner_read | fs::perms::owner_write, false, true},
        {"writable file with a second name", fs::perms::owner_read | fs::perms::owner_write, true, true},
        {"read-only file", fs::perms::owner_read, false, false},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.name);
        TempDir dir;
        const std::string file = dir.File(kName);
        const std::string old = "; kept\n[boot]\nipaddress=10.0.0.1\n; a tail longer than the new value\n";
        WriteBytes(file, old);
        if (r.secondName) fs::create_hard_link(file, dir.File("other-name.ini"));
        fs::permissions(file, r.file);
        const auto before = fs::status(file).permissions();
        fs::permissions(dir.path(), fs::perms::owner_read | fs::perms::owner_exec);
        const std::set<std::string> names = dir.Names();

        if (r.saved) {
            SaveSettings(file, "10.0.0.2");
            EXPECT_EQ(ReadBytes(file), "; kept\n[boot]\nipaddress=10.0.0.2\n; a tail longer than the new value\n");
            EXPECT_EQ(LoadSettings(file).address, "10.0.0.2");
            if (r.secondName) {
                EXPECT_EQ(ReadBytes(dir.File("other-name.ini")), ReadBytes(file));
            }
        } else {
            ExpectWriteError(file, "10.0.0.2");
            EXPECT_EQ(ReadBytes(file), old);
        }
        EXPECT_EQ(fs::status(file).permissions(), before);
        EXPECT_EQ(dir.Names(), names) << "nothing left beside it";
        fs::permissions(dir.path(), fs::perms::owner_all);  // so that the folder can go
    }
}

// The disk fills up while the file is written: the old file stays whole and
// no partly written file is left behind. A file with a second name is
// rewritten where it stands; its growth is reserved first.
TEST(SaveFails, OnAFullFileSystem) {
    for (const bool secondName : {false, true}) {
        SCOPED_TRACE(secondName ? "with a second name" : "one name");
        TempDir dir;
        testsupport::ScratchMount mount;
        if (const std::string why = mount.Mount(dir.path().string(), "size=64k"); !why.empty()) GTEST_SKIP() << why;
        const std::string file = dir.File(kName);
        const std::string old = "; kept\n[boot]\nipaddress=10.0.0.1\n" + std::string(secondName ? 0 : 5000, ';') + "\n";
        WriteBytes(file, old);
        if (secondName) fs::create_hard_link(file, dir.File("other-name.ini"));
        const std::set<std::string> names = dir.Names();
        {
            std::ofstream filler(dir.File("filler"), std::ios::binary);
            const std::string block(4096, 'f');
            while (filler.write(block.data(), block.size()) && filler.flush()) {
            }
        }
        ExpectWriteError(file, secondName ? std::string(6000, '9') : "10.0.0.2");
        EXPECT_EQ(ReadBytes(file), old);
        EXPECT_EQ(fs::hard_link_count(file), secondName ? 2u : 1u);
        std::set<std::string> after = dir.Names();
        EXPECT_EQ(after.erase("filler"), 1u);
        EXPECT_EQ(after, names);
    }
}
#endif

#ifdef _WIN32
// The window hands over its folder as the ANSI code page spells it, with "\\"
// between names. The first save moves a new file into place, the second
// replaces it.
TEST(SaveOnWindows, NewThenReplacedInAFolderWithANonAsciiName) {
    TempDir dir;
    const fs::path folder = dir.path() / L"Z\u00e4hler \u00e9t\u00e9";
    fs::create_directory(folder);
    BOOL lossy = FALSE;
    const std::wstring wide = folder.wstring();
    std::string ansi(wide.size() * 4, '\0');
    ansi.resize(static_cast<size_t>(WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, wide.data(),
                                                        static_cast<int>(wide.size()), ansi.data(),
                                                        static_cast<int>(ansi.size()), nullptr, &lossy)));
    if (lossy) GTEST_SKIP() << "the ANSI code page " << GetACP() << " has no spelling for the folder";
    const std::string file = settings::SettingsFileName(ansi, 0);
    ASSERT_NE(file.find("\\QT510x_QT520x_Ethernet_Loader.ini"), std::string::npos);

    for (const char* address : {"10.0.0.1", "192.168.100.200"}) {
        SaveSettings(file, address);
        std::ifstream in(folder / kName, std::ios::binary);
        EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "[boot]\r\nipaddress="s + address + "\r\n");
        EXPECT_EQ(LoadSettings(file).address, address);
        std::set<fs::path> names;
        for (const auto& e : fs::directory_iterator(folder)) names.insert(e.path().filename());
        EXPECT_EQ(names, std::set<fs::path>{kName}) << "nothing left beside it";
    }
}

// What Windows keeps of the old file: its attributes. A read-only one is not
// replaced at all.
TEST(SaveOnWindows, KeepsTheFilesAttributesAndLeavesAReadOnlyFileAlone) {
    constexpr DWORD kWatched = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_READONLY;
    struct Row {
        const char* name;
        DWORD attributes;
        bool saved;
        DWORD after;
    };
    // Wine 8's ReplaceFileW drops the old file's attributes.
    const DWORD hiddenAfter = testsupport::RunningUnderWine() ? 0 : FILE_ATTRIBUTE_HIDDEN;
    for (const Row& r : {Row{"hidden", FILE_ATTRIBUTE_HIDDEN, true, hiddenAfter},
                         Row{"read-only", FILE_ATTRIBUTE_READONLY, false, FILE_ATTRIBUTE_READONLY}}) {
        SCOPED_TRACE(r.name);
        TempDir dir;
        const std::string file = dir.File(kName);
        WriteBytes(file, "[boot]\r\nipaddress=10.0.0.1\r\n");
        ASSERT_TRUE(SetFileAttributesA(file.c_str(), r.attributes));
        ASSERT_EQ(GetFileAttributesA(file.c_str()) & kWatched, r.attributes);
        if (r.saved) {
            SaveSettings(file, "10.0.0.2");
            EXPECT_EQ(ReadBytes(file), "[boot]\r\nipaddress=10.0.0.2\r\n");
        } else {
            ExpectWriteError(file, "10.0.0.2");
            EXPECT_EQ(ReadBytes(file), "[boot]\r\nipaddress=10.0.0.1\r\n");
        }
        EXPECT_EQ(GetFileAttributesA(file.c_str()) & kWatched, r.after);
        EXPECT_EQ(dir.Names(), std::set<std::string>{kName});
        SetFileAttributesA(file.c_str(), FILE_ATTRIBUTE_NORMAL);  // so that the folder can go
    }
}
#endif

}  // namespace
