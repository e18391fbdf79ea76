// Symbolic link keys of the simulated registry where Windows' behaviour is not what the conformance
// program can compare with Wine's, and links in scenario folders.
#include <gtest/gtest.h>
#include <windows.h>
#include <winternl.h>

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "machine/machine.h"
#include "test_support.h"

namespace fs = std::filesystem;
using winsim::The_Machine;

namespace {

// A link key at path (below HKEY_LOCAL_MACHINE) to the target, a "\Registry\..." text.
void Link(const std::u16string& path, const std::u16string& target) {
    HKEY key;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, REG_OPTION_CREATE_LINK,
                                             KEY_ALL_ACCESS, nullptr, &key, nullptr));
    ASSERT_EQ(ERROR_SUCCESS, RegSetValueExW(key, u"SymbolicLinkValue", 0, REG_LINK,
                                            reinterpret_cast<const BYTE*>(target.data()),
                                            DWORD(target.size() * 2)));
    RegCloseKey(key);
}

std::u16string Number(int number) {
    std::string digits = std::to_string(number);
    return std::u16string(digits.begin(), digits.end());
}

LSTATUS Open(const std::u16string& path, DWORD options = 0) {
    HKEY key;
    LSTATUS status = RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), options, KEY_READ, &key);
    if (status == ERROR_SUCCESS) RegCloseKey(key);
    return status;
}

}  // namespace

TEST(Winsim_Registry_Links, ChainsLoopsCreationThroughLinksAndDeletionByHandle) {
    The_Machine().Reset();
    Make_Key(The_Machine().hklm, u"SYSTEM\\Target\\Sub");
    // A chain of 32 links is followed to the end; a 33rd link, or a loop, fails the open: with 87 from
    // Windows 10 1607 (build 14393) on, with 206 before.
    for (int i = 1; i <= 33; ++i)
        Link(u"SOFTWARE\\Chain" + Number(i), i == 1 ? u"\\Registry\\Machine\\SYSTEM\\Target"
                                               : u"\\Registry\\Machine\\SOFTWARE\\Chain" + Number(i - 1));
    EXPECT_EQ(ERROR_SUCCESS, Open(u"SOFTWARE\\Chain32\\Sub"));
    EXPECT_EQ(ERROR_SUCCESS, Open(u"SOFTWARE\\Chain33", REG_OPTION_OPEN_LINK));
    Link(u"SOFTWARE\\LoopA", u"\\Registry\\Machine\\SOFTWARE\\LoopB");
    Link(u"SOFTWARE\\LoopB", u"\\Registry\\Machine\\SOFTWARE\\LoopA");
    struct Windows {
        DWORD major, minor, build;
        LSTATUS too_many_links;
    };
    const Windows versions[] = {
        {10, 0, 19045, ERROR_INVALID_PARAMETER},    {10, 0, 14393, ERROR_INVALID_PARAMETER},
        {10, 0, 22631, ERROR_INVALID_PARAMETER},    {10, 0, 10586, ERROR_FILENAME_EXCED_RANGE},
        {6, 3, 19045, ERROR_FILENAME_EXCED_RANGE},  {6, 1, 7601, ERROR_FILENAME_EXCED_RANGE},
    };
    for (const Windows& os : versions) {
        The_Machine().os.major = os.major;
        The_Machine().os.minor = os.minor;
        The_Machine().os.build = os.build;
        EXPECT_EQ(os.too_many_links, Open(u"SOFTWARE\\Chain33")) << os.build;
        EXPECT_EQ(os.too_many_links, Open(u"SOFTWARE\\LoopA")) << os.build;
        EXPECT_EQ(os.too_many_links, RegDeleteKeyW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\LoopA")) << os.build;
    }
    The_Machine().os = winsim::Os_Info();

    // Creating through a link makes its missing target, never the target's missing parents.
    Link(u"SOFTWARE\\ToNew", u"\\Registry\\Machine\\SYSTEM\\Target\\New");
    Link(u"SOFTWARE\\ToDeep", u"\\Registry\\Machine\\SYSTEM\\Nowhere\\Deep");
    HKEY key;
    DWORD disposition = 0;
    EXPECT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\ToNew\\Child", 0, nullptr, 0, KEY_READ,
                                             nullptr, &key, &disposition));
    RegCloseKey(key);
    EXPECT_EQ(DWORD(REG_CREATED_NEW_KEY), disposition);
    EXPECT_NE(nullptr, Find_Key(The_Machine().hklm, u"SYSTEM\\Target\\New\\Child"));
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\ToDeep", 0, nullptr, 0,
                                                    KEY_READ, nullptr, &key, nullptr));
    EXPECT_EQ(nullptr, Find_Key(The_Machine().hklm, u"SYSTEM\\Nowhere"));

    // NtDeleteKey's statuses: subkeys left, the key already gone, a predefined root, no DELETE access.
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SYSTEM\\Target", 0, KEY_READ | DELETE, &key));
    EXPECT_EQ(NTSTATUS(0xC0000121), NtDeleteKey(key));  // STATUS_CANNOT_DELETE
    RegCloseKey(key);
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SYSTEM\\Target\\Sub", 0, KEY_READ, &key));
    EXPECT_EQ(NTSTATUS(0xC0000022), NtDeleteKey(key));  // STATUS_ACCESS_DENIED
    RegCloseKey(key);
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SYSTEM\\Target\\Sub", 0, DELETE, &key));
    EXPECT_EQ(NTSTATUS(0), NtDeleteKey(key));
    EXPECT_EQ(NTSTATUS(0xC000017C), NtDeleteKey(key));  // STATUS_KEY_DELETED
    RegCloseKey(key);
    EXPECT_EQ(NTSTATUS(0xC0000008), NtDeleteKey(HKEY_LOCAL_MACHINE));  // STATUS_INVALID_HANDLE
    EXPECT_EQ(ULONG(ERROR_ACCESS_DENIED), RtlNtStatusToDosError(NTSTATUS(0xC0000121)));
    EXPECT_EQ(ULONG(ERROR_KEY_DELETED), RtlNtStatusToDosError(NTSTATUS(0xC000017C)));
}

// Windows does not follow a link from a user's hive into the machine's (a user may write the one, not
// the other): opening through it fails with 5, opened as itself it is the link; a link within the
// user's hive, or from the machine's hive into it, is followed.
TEST(Winsim_Registry_Links, LinkFromTheUsersHiveIntoTheMachinesIsNotFollowed) {
    The_Machine().Reset();
    Make_Key(The_Machine().hklm, u"SOFTWARE\\Target\\Sub");
    Make_Key(The_Machine().hkcu, u"Software\\Own\\Sub");
    const std::u16string user = u"\\Registry\\User\\" + winsim::From_Utf8(The_Machine().process_token->user);
    auto link = [](HKEY root, const std::u16string& path, const std::u16string& target) {
        HKEY key;
        ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(root, path.c_str(), 0, nullptr, REG_OPTION_CREATE_LINK, KEY_ALL_ACCESS,
                                                 nullptr, &key, nullptr));
        ASSERT_EQ(ERROR_SUCCESS, RegSetValueExW(key, u"SymbolicLinkValue", 0, REG_LINK,
                                                reinterpret_cast<const BYTE*>(target.data()), DWORD(target.size() * 2)));
        RegCloseKey(key);
    };
    link(HKEY_CURRENT_USER, u"Software\\ToMachine", u"\\Registry\\Machine\\SOFTWARE\\Target");
    link(HKEY_CURRENT_USER, u"Software\\ToOwn", user + u"\\Software\\Own");
    link(HKEY_LOCAL_MACHINE, u"SOFTWARE\\ToUser", user + u"\\Software\\Own");
    auto open = [](HKEY root, const std::u16string& path, DWORD options) {
        HKEY key;
        LSTATUS status = RegOpenKeyExW(root, path.c_str(), options, KEY_READ, &key);
        if (status == ERROR_SUCCESS) RegCloseKey(key);
        return status;
    };
    EXPECT_EQ(ERROR_ACCESS_DENIED, open(HKEY_CURRENT_USER, u"Software\\ToMachine", 0));
    EXPECT_EQ(ERROR_ACCESS_DENIED, open(HKEY_CURRENT_USER, u"Software\\ToMachine\\Sub", REG_OPTION_OPEN_LINK));
    EXPECT_EQ(ERROR_SUCCESS, open(HKEY_CURRENT_USER, u"Software\\ToMachine", REG_OPTION_OPEN_LINK));
    EXPECT_EQ(ERROR_SUCCESS, open(HKEY_CURRENT_USER, u"Software\\ToOwn\\Sub", 0));
    EXPECT_EQ(ERROR_SUCCESS, open(HKEY_LOCAL_MACHINE, u"SOFTWARE\\ToUser\\Sub", 0));
    EXPECT_EQ(ERROR_ACCESS_DENIED, RegDeleteKeyW(HKEY_CURRENT_USER, u"Software\\ToMachine\\Sub"));
    EXPECT_NE(nullptr, Find_Key(The_Machine().hklm, u"SOFTWARE\\Target\\Sub"));
}

// A scenario declares links in machine.ini; registry.reg cannot hold them, so a saved machine keeps
// them out of its registry.reg and writes them back to machine.ini, which loads the same machine.
TEST(Winsim_Registry_Links, ScenarioLinksLoadAndAreWrittenBack) {
    fs::path folder = fs::temp_directory_path() / ("winsim-links-" + std::to_string(getpid()));
    fs::remove_all(folder);
    fs::create_directories(folder);
    std::ofstream(folder / "registry.reg") << "Windows Registry Editor Version 5.00\n\n"
                                              "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Maker]\n\"v\"=\"1\"\n\n"
                                              "[HKEY_LOCAL_MACHINE\\SYSTEM\\Y\\Z]\n\n";
    const std::string links =
        "[registry]\n"
        "link=HKEY_LOCAL_MACHINE\\SOFTWARE\\Maker\\L target=HKEY_LOCAL_MACHINE\\SYSTEM\\Y\n"
        "link=HKEY_CURRENT_USER\\Gone target=HKEY_CURRENT_USER\\SOFTWARE\\Nowhere\n";
    std::ofstream(folder / "machine.ini") << links;
    winsim::Machine& machine = The_Machine();
    machine.Reset();
    std::string error;
    ASSERT_TRUE(winsim::Load_Scenario(machine, folder.string(), error)) << error;
    EXPECT_EQ(ERROR_SUCCESS, Open(u"SOFTWARE\\Maker\\L\\Z"));
    HKEY key;
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegOpenKeyExW(HKEY_CURRENT_USER, u"Gone", 0, KEY_READ, &key));

    fs::path out = folder / "out";
    ASSERT_TRUE(winsim::Save_Scenario(machine, out.string(), error)) << error;
    std::ifstream reg(out / "registry.reg", std::ios::binary), ini(out / "machine.ini", std::ios::binary);
    std::string reg_text((std::istreambuf_iterator<char>(reg)), std::istreambuf_iterator<char>());
    std::string ini_text((std::istreambuf_iterator<char>(ini)), std::istreambuf_iterator<char>());
    EXPECT_EQ(reg_text.find("Maker\\L"), std::string::npos);
    EXPECT_EQ(reg_text.find("Gone"), std::string::npos);
    EXPECT_NE(ini_text.find("\n" + links), std::string::npos) << ini_text;
    machine.Reset();
    ASSERT_TRUE(winsim::Load_Scenario(machine, out.string(), error)) << error;
    EXPECT_EQ(ERROR_SUCCESS, Open(u"SOFTWARE\\Maker\\L\\Z"));

    // A link where a key is, or below a missing key, refuses the scenario.
    for (const char* line : {"link=HKEY_LOCAL_MACHINE\\SOFTWARE\\Maker target=HKEY_LOCAL_MACHINE\\SYSTEM\n",
                             "link=HKEY_LOCAL_MACHINE\\SOFTWARE\\None\\L target=HKEY_LOCAL_MACHINE\\SYSTEM\n",
                             "link=HKEY_LOCAL_MACHINE\\SOFTWARE\\L2 target=SYSTEM\n"}) {
        std::ofstream(folder / "machine.ini") << "[registry]\n" << line;
        machine.Reset();
        EXPECT_FALSE(winsim::Load_Scenario(machine, folder.string(), error)) << line;
        EXPECT_EQ(error.rfind("machine.ini:2: ", 0), 0u) << error;
    }
    fs::remove_all(folder);
}
