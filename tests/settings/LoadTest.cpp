// What start-up reads from the settings file.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <optional>

#include "settings/Settings.h"
#include "tests/settings/TestFiles.h"

using settings::LoadSettings;
using settings::SettingsFileName;
using Lines = std::vector<std::string>;
using namespace std::string_literals;

#ifdef _WIN32
#define APP_DIR "C:\\Tools\\Loader"
#define SEP "\\"
#else
#define APP_DIR "/home/op"
#define SEP "/"
#endif

TEST(SettingsFileName, FollowsTheBrandVariant) {
    struct Row {
        int variant;
        const char* expected;
    };
    for (const Row& r : {Row{0, APP_DIR SEP "QT510x_QT520x_Ethernet_Loader.ini"},
                         Row{1, APP_DIR SEP "LRV715_LRV716_Ethernet_Loader.ini"},
                         Row{2, APP_DIR SEP "LRV715_LRV716_Ethernet_Loader.ini"},
                         Row{255, APP_DIR SEP "LRV715_LRV716_Ethernet_Loader.ini"}})
        EXPECT_EQ(SettingsFileName(APP_DIR, r.variant), r.expected) << "variant " << r.variant;
}

struct LoadCase {
    const char* name;
    std::optional<std::string> file;  // none: no file at all
    Lines lines;
    std::string address;
};

const std::string kLong(3000, '7');

const LoadCase kLoadCases[] = {
    {"no file", std::nullopt, {"ipaddress=0.0.0.0"}, "0.0.0.0"},
    {"name in capitals", "[BOOT]\nIPADDRESS=10.0.0.7\n", {"IPADDRESS=10.0.0.7"}, "10.0.0.7"},
    {"empty value keeps its place",
     "[boot]\nport=502\nipaddress=\nmode=fast\n",
     {"port=502", "ipaddress=0.0.0.0", "mode=fast"},
     "0.0.0.0"},
    {"only in another section",
     "[net]\nipaddress=10.9.9.9\n[boot]\nport=502\n",
     {"port=502", "ipaddress=0.0.0.0"},
     "0.0.0.0"},
    {"blanks around name and value",
     "[ boot ]\r\n\t ipaddress  =  meter-7.local \t\r\n",
     {"ipaddress=meter-7.local"},
     "meter-7.local"},
    {"value holding '='", "[boot]\nipaddress=a=b\n", {"ipaddress=a=b"}, "a=b"},
    {"comments are no entries",
     "; ipaddress=9.9.9.9\n[boot]\n# ipaddress=8.8.8.8\n  ;x=1\nipaddress=10.0.0.1\n",
     {"ipaddress=10.0.0.1"},
     "10.0.0.1"},
    {"repeated name keeps its last value",
     "[boot]\nIPaddress=10.0.0.1\nport=1\nipaddress=10.0.0.2\n",
     {"IPaddress=10.0.0.2", "port=1"},
     "10.0.0.2"},
    {"section in two parts",
     "[boot]\na=1\n[net]\nb=2\n[Boot]\nipaddress=10.0.0.3\n",
     {"a=1", "ipaddress=10.0.0.3"},
     "10.0.0.3"},
    {"lines without '='",
     "[boot]\njust text\nipaddress 10.0.0.1\n=nameless\nipaddress=10.0.0.4\n",
     {"ipaddress=10.0.0.4"},
     "10.0.0.4"},
    {"section header never closed", "[boot\nipaddress=10.0.0.1\n", {"ipaddress=0.0.0.0"}, "0.0.0.0"},
    {"reading stops at a zero byte", "[boot]\nipaddress=10.0.0.8\0\nport=1\n"s, {"ipaddress=10.0.0.8"}, "10.0.0.8"},
    {"value cut to 2047 characters",
     "[boot]\nipaddress=" + kLong + "\nport=" + kLong + "\n",
     {"ipaddress=" + kLong.substr(0, 2047), "port=" + kLong.substr(0, 2047)},
     kLong.substr(0, 2047)},
    {"cut keeps a UTF-8 character whole",
     "[boot]\nipaddress=" + std::string(2046, 'a') +
         "\xC3\xA9"
         "bc\n",
     {"ipaddress=" + std::string(2046, 'a') + "\xC3\xA9"},
     std::string(2046, 'a') + "\xC3\xA9"},
    {"binary around a good section",
     Garbage(5000) + "\n[boot]\nipaddress=10.0.0.9\n[end]\n" + Garbage(5000),
     {"ipaddress=10.0.0.9"},
     "10.0.0.9"},
};

void PrintTo(const LoadCase& c, std::ostream* os) { *os << c.name; }

class Load : public ::testing::TestWithParam<LoadCase> {};

TEST_P(Load, GivesTheLinesAndTheAddressAndWritesNothing) {
    const LoadCase& c = GetParam();
    TempDir dir;
    const std::string file = dir.File("QT510x_QT520x_Ethernet_Loader.ini");
    if (c.file) WriteBytes(file, *c.file);

    const settings::LoadedSettings s = LoadSettings(file);
    EXPECT_EQ(s.lines, c.lines);
    EXPECT_EQ(s.address, c.address);
    if (c.file)
        EXPECT_EQ(ReadBytes(file), *c.file);
    else
        EXPECT_FALSE(fs::exists(file));
}

INSTANTIATE_TEST_SUITE_P(Cases, Load, ::testing::ValuesIn(kLoadCases), RowName<LoadCase>);

// Something that is no readable file stands where the file should be: start-up
// goes on with the default, and must not hang on a pipe nobody writes to.
TEST(Load, SomethingElseInPlaceOfTheFileGivesTheDefault) {
    struct Row {
        const char* what;
        void (*make)(const std::string&);
    };
    const Row rows[] = {
        {"directory", [](const std::string& p) { fs::create_directory(p); }},
#ifndef _WIN32
        {"named pipe", [](const std::string& p) { ASSERT_EQ(::mkfifo(p.c_str(), 0644), 0); }},
        {"dangling link", [](const std::string& p) { fs::create_symlink("/nonexistent/settings.ini", p); }},
#endif
    };
    for (const Row& r : rows) {
        TempDir dir;
        const std::string file = dir.File("QT510x_QT520x_Ethernet_Loader.ini");
        r.make(file);
        const settings::LoadedSettings s = LoadSettings(file);
        EXPECT_EQ(s.address, "0.0.0.0") << r.what;
        EXPECT_EQ(s.lines, Lines{"ipaddress=0.0.0.0"}) << r.what;
    }
}
