// The user profiles the registry stages reach: which entries of ProfileList count, and a hive loaded
// for the time of the work with the backup and restore privileges, which go back as they were.
#include "registry/User_Profiles.h"
#include "test_support.h"

using winsim::The_Machine;

namespace {

const std::u16string Profile_List = u"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\ProfileList";
const DWORD Backup_Privilege = 17, Restore_Privilege = 18;

class User_Profiles : public Log_Test {
protected:
    static void Add_Profile(const std::u16string& sid, const std::u16string& folder, DWORD state = 0) {
        winsim::Reg_Key* key = The_Machine().hklm.Add_Subkey(u"SOFTWARE")->Add_Subkey(u"Microsoft")
                                   ->Add_Subkey(u"Windows NT")->Add_Subkey(u"CurrentVersion")
                                   ->Add_Subkey(u"ProfileList")->Add_Subkey(sid);
        std::vector<uint8_t> path;
        for (char16_t c : folder + u'\0') path.insert(path.end(), {uint8_t(c & 0xFF), uint8_t(c >> 8)});
        key->Set_Value(u"ProfileImagePath", REG_EXPAND_SZ, path);
        key->Set_Value(u"State", REG_DWORD, {uint8_t(state), uint8_t(state >> 8), 0, 0});
    }
    static std::vector<std::string> Calls(const char* prefix) {
        std::vector<std::string> calls;
        for (const std::string& call : The_Machine().calls)
            if (call.rfind(prefix, 0) == 0) calls.push_back(call);
        return calls;
    }
};

TEST_F(User_Profiles, OnlyPeoplesProfilesOtherThanTheRunningAccountsCountInKeyOrder) {
    // The run is the administrator's (S-1-5-21-3623811015-3361044348-30300820-1001).
    Add_Profile(u"S-1-5-18", u"%systemroot%\\system32\\config\\systemprofile");
    Add_Profile(u"S-1-5-19", u"%systemroot%\\ServiceProfiles\\LocalService");
    Add_Profile(u"S-1-5-20", u"%systemroot%\\ServiceProfiles\\NetworkService");
    Add_Profile(u"S-1-5-21-3623811015-3361044348-30300820-1001", u"C:\\Users\\admin");
    Add_Profile(u"S-1-5-21-9-9-9-1004", u"%SystemDrive%\\Users\\dave");
    Add_Profile(u"S-1-5-21-9-9-9-1002", u"C:\\Users\\bob");
    Add_Profile(u"S-1-5-21-9-9-9-1002.BAK", u"C:\\Users\\bob.old");
    Add_Profile(u"S-1-5-21-9-9-9-1003", u"C:\\Users\\TEMP", 0x0800);
    Add_Profile(u"S-1-5-21-9-9-9-1005", u"C:\\Users\\erin.backup", 0x8000);
    Add_Profile(u"S-1-5-21-9-9-9-1006", u"%USERPROFILE%\\x", 0x0004);  // a new local profile counts
    std::vector<User_Profile> profiles;
    Lib_Result result;
    EXPECT_TRUE(List_User_Profiles(profiles, result));
    std::vector<std::u16string> listed;
    for (const User_Profile& profile : profiles) listed.push_back(profile.sid.Get_Text() + std::u16string(u" ") + profile.folder.Get_Text());
    EXPECT_EQ(listed, (std::vector<std::u16string>{u"S-1-5-21-9-9-9-1002 C:\\Users\\bob",
                                                    u"S-1-5-21-9-9-9-1004 C:\\Users\\dave",
                                                    u"S-1-5-21-9-9-9-1006 %USERPROFILE%\\x"}));
    EXPECT_TRUE(User_Profiles_Not_Cleaned().empty());
    EXPECT_EQ(Log_Text(), "");
}

TEST_F(User_Profiles, ALoadedHiveGoesBackAndThePrivilegesAsTheyWere) {
    The_Machine().Make_Folders(u"C:\\Users\\bob")->Add_Child(u"NTUSER.DAT", false)->data =
        winsim::Hive_File_Bytes("Windows Registry Editor Version 5.00\n\n[HKEY_CURRENT_USER\\SOFTWARE\\Other]\n");
    for (bool backup_enabled_before : {false, true}) {
        SCOPED_TRACE(backup_enabled_before);
        The_Machine().calls.clear();
        The_Machine().process_token->Find_Privilege(Backup_Privilege)->enabled = backup_enabled_before;
        User_Profile bob{Lib_StringW(u"S-1-5-21-9-9-9-1002"), Lib_StringW(u"C:\\Users\\bob")};
        Lib_Result result;
        std::vector<std::u16string> seen;
        EXPECT_TRUE(With_User_Hive(bob, [&](HKEY root) {
            HKEY key = nullptr;
            EXPECT_EQ(RegOpenKeyExW(root, u"SOFTWARE\\Other", 0, KEY_READ, &key), ERROR_SUCCESS);
            RegCloseKey(key);
            seen.push_back(u"worked");
            return true;
        }, result));
        EXPECT_EQ(seen.size(), 1u);
        EXPECT_EQ(Calls("AdjustTokenPrivileges"),
                  (std::vector<std::string>{"AdjustTokenPrivileges SeBackupPrivilege=enabled,SeRestorePrivilege=enabled",
                                            backup_enabled_before ? "AdjustTokenPrivileges SeRestorePrivilege=disabled"
                                                                  : "AdjustTokenPrivileges SeBackupPrivilege=disabled,"
                                                                    "SeRestorePrivilege=disabled"}));
        EXPECT_EQ(Calls("RegLoadKeyW"), (std::vector<std::string>{"RegLoadKeyW HKEY_USERS\\vpRemovalTool-S-1-5-21-9-9-9-1002 "
                                                                  "C:\\Users\\bob\\NTUSER.DAT"}));
        EXPECT_EQ(Calls("RegUnLoadKeyW"), (std::vector<std::string>{"RegUnLoadKeyW HKEY_USERS\\vpRemovalTool-S-1-5-21-9-9-9-1002"}));
        EXPECT_EQ(The_Machine().process_token->Has_Enabled(Backup_Privilege), backup_enabled_before);
        EXPECT_FALSE(The_Machine().process_token->Has_Enabled(Restore_Privilege));
        EXPECT_EQ(The_Machine().users.subkeys.size(), 0u);
    }
    EXPECT_EQ(Log_Text(), "   Loading the user's hive:  C:\\Users\\bob\\NTUSER.DAT\r\n"
                          "   Loading the user's hive:  C:\\Users\\bob\\NTUSER.DAT\r\n");
}

}  // namespace
