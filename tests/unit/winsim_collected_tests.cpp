// What collect-machine.cmd writes into a scenario folder: registry/*.reg exports and drive_c.listing,
// loaded beside drive_c/ and written back after a run.
#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "machine/machine.h"

namespace fs = std::filesystem;
using winsim::Machine;
using winsim::Text;

namespace {

class Collected : public ::testing::Test {
protected:
    void SetUp() override {
        static int counter = 0;
        root_ = fs::temp_directory_path() / ("winsim-collected-" + std::to_string(getpid()) + "-" +
                                             std::to_string(++counter));
        fs::remove_all(root_);
        fs::create_directories(root_);
        winsim::The_Machine().Reset();
    }
    void TearDown() override {
        fs::remove_all(root_);
        fs::remove_all(root_.string() + "-out");
    }
    void Write(const std::string& relative, const std::string& bytes) const {
        fs::path file = root_ / relative;
        fs::create_directories(file.parent_path());
        std::ofstream(file, std::ios::binary) << bytes;
    }
    // UTF-16LE bytes of an ASCII or UTF-8 text, with a byte-order mark when asked for.
    static std::string Utf16(const std::string& text, bool bom) {
        std::string out = bom ? "\xFF\xFE" : "";
        for (char16_t c : winsim::From_Utf8(text)) {
            out += char(c & 0xFF);
            out += char(c >> 8);
        }
        return out;
    }
    fs::path root_;
};

// Size and attributes of a drive C: entry as FindFirstFileW reports them.
bool Find(const WCHAR* path, WIN32_FIND_DATAW& data) {
    HANDLE search = FindFirstFileW(path, &data);
    if (search == INVALID_HANDLE_VALUE) return false;
    FindClose(search);
    return true;
}

}  // namespace

TEST_F(Collected, ListingRegistryExportsAndCopiedFilesMakeOneMachine) {
    // Two exports as `reg export` writes them, the second adding to a key of the first.
    Write("registry/01-uninstall.reg",
          Utf16("Windows Registry Editor Version 5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\X]\r\n\"a\"=\"1\"\r\n", true));
    Write("registry/02-more.reg",
          Utf16("Windows Registry Editor Version 5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\X]\r\n\"b\"=dword:00000002\r\n", true));
    Write("registry/notes.txt", "not an export");
    Write("drive_c/Windows/Inf/oem7.inf", "[Version]\r\n");
    // cmd /u writes UTF-16LE without a byte-order mark.
    Write("drive_c.listing",
          Utf16("d----------||C:\\Windows\r\n"
                "d----------||C:\\Windows\\Inf\r\n"
                "--a--------|11|C:\\Windows\\Inf\\oem7.inf\r\n"
                "--a--------|20480|C:\\Windows\\Inf\\oem7.pnf\r\n"
                "-rahs------|5000000000|C:\\Windows\\System32\\vpAPI.dll\r\n"
                "d-------l--||C:\\ProgramData\\Link\r\n"
                "--a--------|5|C:\\ProgramData\\Link\\through-the-link.txt\r\n"
                "d----------||C:\\ProgramData\\Панель\r\n",
                false));
    Machine& machine = winsim::The_Machine();
    std::string error;
    ASSERT_TRUE(winsim::Load_Scenario(machine, root_.string(), error)) << error;

    winsim::Reg_Key* key = machine.hklm.Find_Subkey(u"SOFTWARE")->Find_Subkey(u"X");
    ASSERT_NE(key, nullptr);
    EXPECT_NE(key->Find_Value(u"a"), nullptr);
    EXPECT_NE(key->Find_Value(u"b"), nullptr);

    WIN32_FIND_DATAW data;
    ASSERT_TRUE(Find(u"C:\\Windows\\Inf\\oem7.inf", data));  // the copy keeps its contents
    EXPECT_EQ(data.nFileSizeLow, 11u);
    EXPECT_EQ(data.dwFileAttributes, DWORD(FILE_ATTRIBUTE_ARCHIVE));
    ASSERT_TRUE(Find(u"C:\\Windows\\Inf\\oem7.pnf", data));
    EXPECT_EQ(data.nFileSizeLow, 20480u);
    ASSERT_TRUE(Find(u"C:\\Windows\\System32\\vpAPI.dll", data));
    EXPECT_EQ(data.nFileSizeHigh, 1u);
    EXPECT_EQ(data.nFileSizeLow, DWORD(5000000000ull & 0xFFFFFFFF));
    EXPECT_EQ(data.dwFileAttributes, DWORD(FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_HIDDEN |
                                           FILE_ATTRIBUTE_SYSTEM));
    ASSERT_TRUE(Find(u"C:\\ProgramData\\Link", data));
    EXPECT_EQ(data.dwFileAttributes, DWORD(FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT));
    EXPECT_FALSE(Find(u"C:\\ProgramData\\Link\\through-the-link.txt", data));
    EXPECT_TRUE(Find(u"C:\\ProgramData\\\u041F\u0430\u043D\u0435\u043B\u044C", data));

    // A listed file deletes like any other; the rest is written back as a listing.
    ASSERT_TRUE(SetFileAttributesW(u"C:\\Windows\\System32\\vpAPI.dll", FILE_ATTRIBUTE_NORMAL));
    EXPECT_TRUE(DeleteFileW(u"C:\\Windows\\System32\\vpAPI.dll"));
    EXPECT_FALSE(Find(u"C:\\Windows\\System32\\vpAPI.dll", data));
    fs::path out = root_.string() + "-out";
    ASSERT_TRUE(winsim::Save_Scenario(machine, out.string(), error)) << error;
    std::ifstream listing(out / "drive_c.listing", std::ios::binary);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(listing), std::istreambuf_iterator<char>()),
              "--a--|20480|C:\\Windows\\Inf\\oem7.pnf\n");
    Machine again;
    ASSERT_TRUE(winsim::Load_Scenario(again, out.string(), error)) << error;
    ASSERT_NE(again.Find_Path(u"C:\\Windows\\Inf\\oem7.pnf"), nullptr);
    EXPECT_EQ(again.Find_Path(u"C:\\Windows\\Inf\\oem7.pnf")->listed_size, 20480u);
}

TEST_F(Collected, BadListingLinesNameTheLine) {
    struct Case {
        const char* listing;
        const char* error;
    };
    const Case cases[] = {
        {"--a--|1|C:\\a\nno bars here\n", "drive_c.listing:2: expected ATTRIBUTES|SIZE|PATH"},
        {"--a--|1|D:\\a\n", "drive_c.listing:1: \"D:\\a\" is not a path on drive C:"},
        {"--a--|12k|C:\\a\n", "drive_c.listing:1: bad size \"12k\""},
        {"--a--|1|C:\\a\\b?\n", "drive_c.listing:1: \"b?\" is not a valid Windows file name"},
        {"--a--|1|C:\\a\n--a--|1|C:\\a\\b\n", "drive_c.listing:2: \"C:\\a\" is listed both as a file and as a folder"},
    };
    for (const Case& c : cases) {
        Write("drive_c.listing", c.listing);
        Machine machine;
        std::string error;
        EXPECT_FALSE(winsim::Load_Scenario(machine, root_.string(), error)) << c.listing;
        EXPECT_EQ(error, c.error);
    }
}
