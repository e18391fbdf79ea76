// Hives below HKEY_USERS: users logged on (keys of the machine's users), and hives that RegLoadKeyW
// loads from a user's NTUSER.DAT (regedit text in a scenario) and RegUnLoadKeyW gives back.
#include <gtest/gtest.h>

#include "machine/machine.h"
#include "machine/open_objects.h"

#include <string>
#include <vector>

using winsim::Text;
using winsim::The_Machine;

namespace {

const WCHAR* const Bob = u"S-1-5-21-1-2-3-1002";

std::vector<uint8_t> Hive_Bytes(const std::string& keys) {
    return winsim::Hive_File_Bytes("Windows Registry Editor Version 5.00\n\n" + keys);
}

class WinsimHives : public ::testing::Test {
protected:
    void SetUp() override {
        The_Machine().Reset();
        The_Machine().Make_Folders(u"C:\\Users\\bob")->Add_Child(u"NTUSER.DAT", false)->data =
            Hive_Bytes("[HKEY_CURRENT_USER\\SOFTWARE\\Maker]\n\"Language\"=\"nl\"\n");
    }
    void TearDown() override { The_Machine().Reset(); }

    static void Enable_Hive_Privileges(bool backup, bool restore) {
        The_Machine().process_token->Find_Privilege(17)->enabled = backup;
        The_Machine().process_token->Find_Privilege(18)->enabled = restore;
    }
    static bool Hive_Noted_Open() {
        for (const winsim::Open_Object& object : winsim::Open_Objects())
            if (object.kind == winsim::Object_Kind::Loaded_Hive) return true;
        return false;
    }
};

TEST_F(WinsimHives, LoadAnswersAsWindowsDocuments) {
    struct Case {
        const char* name;
        bool backup, restore;
        const WCHAR* file;
        void (*prepare)();
        LSTATUS expected;
    };
    const Case cases[] = {
        {"neither privilege enabled", false, false, u"C:\\Users\\bob\\NTUSER.DAT", nullptr, ERROR_PRIVILEGE_NOT_HELD},
        {"restore only", false, true, u"C:\\Users\\bob\\NTUSER.DAT", nullptr, ERROR_PRIVILEGE_NOT_HELD},
        {"the user is logged on: the file is held", true, true, u"C:\\Users\\bob\\NTUSER.DAT",
         [] { The_Machine().Find_Path(u"C:\\Users\\bob\\NTUSER.DAT")->held_open = true; }, ERROR_SHARING_VIOLATION},
        {"a file that is no hive", true, true, u"C:\\Users\\bob\\NTUSER.DAT",
         [] { The_Machine().Find_Path(u"C:\\Users\\bob\\NTUSER.DAT")->data = {'r', 'e', 'g', 'f', 0, 0}; }, ERROR_BADDB},
        {"keys outside the hive's root", true, true, u"C:\\Users\\bob\\NTUSER.DAT",
         [] {
             The_Machine().Find_Path(u"C:\\Users\\bob\\NTUSER.DAT")->data =
                 Hive_Bytes("[HKEY_LOCAL_MACHINE\\SOFTWARE\\Maker]\n");
         },
         ERROR_BADDB},
        // A collection's cmd /u writes UTF-16LE without the byte-order mark: read as with it.
        {"UTF-16LE text without its byte-order mark", true, true, u"C:\\Users\\bob\\NTUSER.DAT",
         [] {
             std::vector<uint8_t>& data = The_Machine().Find_Path(u"C:\\Users\\bob\\NTUSER.DAT")->data;
             data.erase(data.begin(), data.begin() + 2);
         },
         ERROR_SUCCESS},
        {"the same text in UTF-8", true, true, u"C:\\Users\\bob\\NTUSER.DAT",
         [] {
             const std::string text = "Windows Registry Editor Version 5.00\r\n\r\n[HKEY_CURRENT_USER\\SOFTWARE\\Maker]\r\n";
             The_Machine().Find_Path(u"C:\\Users\\bob\\NTUSER.DAT")->data.assign(text.begin(), text.end());
         },
         ERROR_BADDB},
        {"a missing folder", true, true, u"C:\\Users\\gone\\NTUSER.DAT", nullptr, ERROR_PATH_NOT_FOUND},
        {"a name taken below HKEY_USERS", true, true, u"C:\\Users\\bob\\NTUSER.DAT",
         [] { The_Machine().users.Add_Subkey(Bob); }, ERROR_ALREADY_EXISTS},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SetUp();
        Enable_Hive_Privileges(c.backup, c.restore);
        if (c.prepare) c.prepare();
        EXPECT_EQ(RegLoadKeyW(HKEY_USERS, Bob, c.file), c.expected);
        if (c.expected == ERROR_SUCCESS) {
            HKEY maker = nullptr;
            EXPECT_EQ(RegOpenKeyExW(HKEY_USERS, u"S-1-5-21-1-2-3-1002\\SOFTWARE\\Maker", 0, KEY_READ, &maker), ERROR_SUCCESS);
            RegCloseKey(maker);
            EXPECT_EQ(RegUnLoadKeyW(HKEY_USERS, Bob), ERROR_SUCCESS);
        }
        EXPECT_FALSE(Hive_Noted_Open());
    }
}

TEST_F(WinsimHives, LoadedHiveIsWorkedInUnloadedOnlyWithNothingOpenAndWrittenBackWhenChanged) {
    Enable_Hive_Privileges(true, true);
    ASSERT_EQ(RegLoadKeyW(HKEY_USERS, u"Tool-Bob", u"C:\\Users\\bob\\NTUSER.DAT"), ERROR_SUCCESS);
    EXPECT_TRUE(Hive_Noted_Open());
    // The registry holds the file: nobody else can open it for its data.
    EXPECT_EQ(INVALID_HANDLE_VALUE, CreateFileW(u"C:\\Users\\bob\\NTUSER.DAT", GENERIC_READ, FILE_SHARE_READ, nullptr,
                                                OPEN_EXISTING, 0, nullptr));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_SHARING_VIOLATION));
    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyExW(HKEY_USERS, u"Tool-Bob\\SOFTWARE", 0, KEY_ALL_ACCESS, &key), ERROR_SUCCESS);
    EXPECT_EQ(RegDeleteKeyW(key, u"Maker"), ERROR_SUCCESS);
    EXPECT_EQ(RegUnLoadKeyW(HKEY_USERS, u"Tool-Bob"), ERROR_ACCESS_DENIED);  // a key of it is open
    RegCloseKey(key);
    Enable_Hive_Privileges(true, false);
    EXPECT_EQ(RegUnLoadKeyW(HKEY_USERS, u"Tool-Bob"), ERROR_PRIVILEGE_NOT_HELD);
    Enable_Hive_Privileges(true, true);
    EXPECT_EQ(RegUnLoadKeyW(HKEY_USERS, u"Tool-Bob"), ERROR_SUCCESS);
    EXPECT_FALSE(Hive_Noted_Open());
    EXPECT_EQ(RegUnLoadKeyW(HKEY_USERS, u"Tool-Bob"), ERROR_FILE_NOT_FOUND);
    winsim::Fs_Node* file = The_Machine().Find_Path(u"C:\\Users\\bob\\NTUSER.DAT");
    EXPECT_FALSE(file->held_open);
    EXPECT_EQ(file->data, Hive_Bytes("[HKEY_CURRENT_USER\\SOFTWARE]\n\n"));

    // Unchanged, the file keeps its bytes; a missing file is made as an empty hive.
    std::vector<uint8_t> before = file->data;
    ASSERT_EQ(RegLoadKeyW(HKEY_USERS, u"Tool-Bob", u"C:\\Users\\bob\\NTUSER.DAT"), ERROR_SUCCESS);
    ASSERT_EQ(RegUnLoadKeyW(HKEY_USERS, u"Tool-Bob"), ERROR_SUCCESS);
    EXPECT_EQ(file->data, before);
    ASSERT_EQ(RegLoadKeyW(HKEY_USERS, u"Tool-New", u"C:\\Users\\bob\\NEW.DAT"), ERROR_SUCCESS);
    EXPECT_EQ(The_Machine().Find_Path(u"C:\\Users\\bob\\NEW.DAT")->data, Hive_Bytes(""));
    ASSERT_EQ(RegUnLoadKeyW(HKEY_USERS, u"Tool-New"), ERROR_SUCCESS);
}

TEST_F(WinsimHives, UsersHivesAreReachedByTheirSid) {
    winsim::Machine& machine = The_Machine();
    machine.user_sid = "S-1-5-21-1-2-3-1001";
    machine.Set_Local_System(true);
    machine.process_token = winsim::Make_Local_System_Token(0);
    machine.other_profile.Add_Subkey(u"SOFTWARE")->Add_Subkey(u"Alice");  // [user]'s hive
    machine.users.Add_Subkey(Bob)->Add_Subkey(u"SOFTWARE")->Add_Subkey(u"Bob");
    machine.hkcu.Add_Subkey(u"SOFTWARE")->Add_Subkey(u"System");
    HKEY key = nullptr;
    EXPECT_EQ(RegOpenKeyExW(HKEY_USERS, u"S-1-5-21-1-2-3-1001\\SOFTWARE\\Alice", 0, KEY_READ, &key), ERROR_SUCCESS);
    RegCloseKey(key);
    EXPECT_EQ(RegOpenKeyExW(HKEY_USERS, u"S-1-5-18\\SOFTWARE\\System", 0, KEY_READ, &key), ERROR_SUCCESS);
    RegCloseKey(key);
    EXPECT_EQ(RegOpenKeyExW(HKEY_USERS, u"S-1-5-21-1-2-3-1009\\SOFTWARE", 0, KEY_READ, &key), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegDeleteKeyW(HKEY_USERS, Bob), ERROR_ACCESS_DENIED);  // a hive's root
    EXPECT_EQ(RegCreateKeyExW(HKEY_USERS, u"Made", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
              ERROR_ACCESS_DENIED);
    ASSERT_EQ(RegOpenKeyExW(HKEY_USERS, u"S-1-5-21-1-2-3-1002\\SOFTWARE\\Bob", 0, KEY_ALL_ACCESS, &key), ERROR_SUCCESS);
    RegCloseKey(key);
    EXPECT_EQ(RegDeleteKeyW(HKEY_USERS, u"S-1-5-21-1-2-3-1002\\SOFTWARE\\Bob"), ERROR_SUCCESS);
    EXPECT_EQ(machine.users.Find_Subkey(Bob)->Find_Subkey(u"SOFTWARE")->subkeys.size(), 0u);
    EXPECT_EQ(machine.calls.back(), "RegDeleteKeyW HKEY_USERS\\S-1-5-21-1-2-3-1002\\SOFTWARE\\Bob");
}

}  // namespace
