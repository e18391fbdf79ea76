// winsim's security: SDDL of keys, SetNamedSecurityInfoW's checks and views, tokens and privileges,
// the smart-card resource manager, and the scenario keys that state them.
#include <aclapi.h>
#include <unistd.h>
#include <winscard.h>

#include <filesystem>
#include <fstream>

#include "test_support.h"

namespace fs = std::filesystem;
using winsim::The_Machine;

namespace {

class Winsim_Security : public Log_Test {
protected:
    static void State(const std::u16string& path, const std::string& sddl) {
        winsim::Reg_Key* key = Make_Key(The_Machine().hklm, path);
        key->security = std::make_shared<winsim::Key_Security>();
        std::string why;
        ASSERT_TRUE(winsim::Parse_Key_Sddl(sddl, *key->security, why)) << why;
    }
    static std::string Sddl(const std::u16string& path) {
        return winsim::Effective_Sddl(The_Machine(), u"HKEY_LOCAL_MACHINE\\" + path);
    }
    // Sets the owner (a SID made from the sub-authorities) of a named key.
    static DWORD Set_Owner(const char16_t* name, SE_OBJECT_TYPE type, DWORD rid0, DWORD rid1 = 0) {
        SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
        PSID sid = nullptr;
        EXPECT_TRUE(AllocateAndInitializeSid(&nt, rid1 ? 2 : 1, rid0, rid1, 0, 0, 0, 0, 0, 0, &sid));
        std::u16string object = name;
        DWORD status = SetNamedSecurityInfoW(&object[0], type, OWNER_SECURITY_INFORMATION, sid, nullptr, nullptr, nullptr);
        EXPECT_EQ(FreeSid(sid), nullptr);
        return status;
    }
};

TEST_F(Winsim_Security, SddlIsReadAndWrittenAsWindowsWritesIt) {
    State(u"SOFTWARE\\A", "O:SYG:SYD:P(A;CI;KA;;;SY)(D;OICINPIO;0x3001f;;;S-1-5-21-1-2-3-500)(A;;KR;;;BU)");
    EXPECT_EQ(Sddl(u"SOFTWARE\\A"), "O:SYG:SYD:P(A;CI;KA;;;SY)(D;OICINPIO;CCDCLCSWRPSDRC;;;S-1-5-21-1-2-3-500)(A;;KR;;;BU)");
    // A subkey without its own statement: owned by Administrators, the CI entries inherited; the
    // no-propagate entry reaches the subkey (in effect there) but not the subkey's subkeys.
    Make_Key(The_Machine().hklm, u"SOFTWARE\\A\\B\\C");
    EXPECT_EQ(Sddl(u"SOFTWARE\\A\\B"), "O:BAD:(A;CIID;KA;;;SY)(D;ID;CCDCLCSWRPSDRC;;;S-1-5-21-1-2-3-500)");
    EXPECT_EQ(Sddl(u"SOFTWARE\\A\\B\\C"), "O:BAD:(A;CIID;KA;;;SY)");
    winsim::Key_Security security;
    std::string why;
    for (const char* bad : {"O:XX", "D:(A;CIID;KA;;;SY)", "S:(AU;;KA;;;SY)", "D:(A;;KQ;;;SY)", "O:S-1-", "D:(A;CI;KA;;;SY"})
        EXPECT_FALSE(winsim::Parse_Key_Sddl(bad, security, why)) << bad;
}

TEST_F(Winsim_Security, OwnerNeedsWriteOwnerFromTheListOrTheEnabledPrivilege) {
    State(u"SOFTWARE\\Vendor\\Locked", "O:SYD:P(A;;KR;;;BU)");
    State(u"SOFTWARE\\Vendor\\Open", "O:SYD:P(A;;0x80000;;;BA)");
    const char16_t* locked = u"MACHINE\\SOFTWARE\\Vendor\\Locked";
    EXPECT_EQ(Set_Owner(locked, SE_REGISTRY_KEY, 32, 544), DWORD(ERROR_ACCESS_DENIED));
    EXPECT_EQ(Set_Owner(u"MACHINE\\SOFTWARE\\Vendor\\Open", SE_REGISTRY_KEY, 32, 544), DWORD(ERROR_SUCCESS));
    EXPECT_EQ(Set_Owner(u"MACHINE\\SOFTWARE\\Vendor\\Missing", SE_REGISTRY_KEY, 32, 544), DWORD(ERROR_FILE_NOT_FOUND));
    The_Machine().process_token->Find_Privilege(9)->enabled = true;
    // SYSTEM is not an identity of the administrator's token: it may not be made the owner.
    EXPECT_EQ(Set_Owner(locked, SE_REGISTRY_KEY, 18), DWORD(ERROR_INVALID_OWNER));
    EXPECT_EQ(Set_Owner(locked, SE_REGISTRY_KEY, 32, 544), DWORD(ERROR_SUCCESS));
    EXPECT_EQ(Sddl(u"SOFTWARE\\Vendor\\Locked"), "O:BAD:P(A;;KR;;;BU)");
    // The 32-bit type names the redirected key: Wow6432Node's copy, not the native one.
    State(u"SOFTWARE\\Wow6432Node\\Vendor\\Locked", "O:SYD:P(A;;KR;;;BU)");
    State(u"SOFTWARE\\Vendor\\Only64", "O:SYD:P(A;;KR;;;BU)");
    EXPECT_EQ(Set_Owner(locked, SE_REGISTRY_WOW64_32KEY, 32, 544), DWORD(ERROR_SUCCESS));
    EXPECT_EQ(Sddl(u"SOFTWARE\\Wow6432Node\\Vendor\\Locked"), "O:BAD:P(A;;KR;;;BU)");
    EXPECT_EQ(Set_Owner(u"MACHINE\\SOFTWARE\\Vendor\\Only64", SE_REGISTRY_WOW64_32KEY, 32, 544),
              DWORD(ERROR_FILE_NOT_FOUND));
    // Only the keys whose security changed, and their subkeys, are reported.
    EXPECT_EQ(winsim::Security_Changes(The_Machine()),
              "HKEY_LOCAL_MACHINE\\SOFTWARE\\Vendor\\Open\n  before: O:SYD:P(A;;WO;;;BA)\n  after:  O:BAD:P(A;;WO;;;BA)\n"
              "HKEY_LOCAL_MACHINE\\SOFTWARE\\Vendor\\Locked\n  before: O:SYD:P(A;;KR;;;BU)\n  after:  O:BAD:P(A;;KR;;;BU)\n"
              "HKEY_LOCAL_MACHINE\\SOFTWARE\\Wow6432Node\\Vendor\\Locked\n  before: O:SYD:P(A;;KR;;;BU)\n"
              "  after:  O:BAD:P(A;;KR;;;BU)\n");
}

// SetEntriesInAclW builds a real list in canonical order (denied before allowed); SET_ACCESS replaces
// the trustee's entries, REVOKE_ACCESS removes them. A protected list set on a key keeps out the parent's.
TEST_F(Winsim_Security, AccessListsAreBuiltFromExplicitEntries) {
    SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY, world = SECURITY_WORLD_SID_AUTHORITY;
    PSID users = nullptr, everyone = nullptr, admins = nullptr;
    ASSERT_TRUE(AllocateAndInitializeSid(&nt, 2, 32, 545, 0, 0, 0, 0, 0, 0, &users));
    ASSERT_TRUE(AllocateAndInitializeSid(&world, 1, 0, 0, 0, 0, 0, 0, 0, 0, &everyone));
    ASSERT_TRUE(AllocateAndInitializeSid(&nt, 2, 32, 544, 0, 0, 0, 0, 0, 0, &admins));
    EXPLICIT_ACCESS_W entries[4] = {};
    auto set = [](EXPLICIT_ACCESS_W& e, DWORD mask, ACCESS_MODE mode, DWORD inherit, PSID sid) {
        e.grfAccessPermissions = mask;
        e.grfAccessMode = mode;
        e.grfInheritance = inherit;
        e.Trustee.TrusteeForm = TRUSTEE_IS_SID;
        e.Trustee.ptstrName = static_cast<LPWSTR>(sid);
    };
    set(entries[0], KEY_READ, GRANT_ACCESS, NO_INHERITANCE, users);
    set(entries[1], KEY_WRITE, DENY_ACCESS, SUB_CONTAINERS_ONLY_INHERIT, everyone);
    set(entries[2], KEY_READ, GRANT_ACCESS, NO_INHERITANCE, admins);
    set(entries[3], GENERIC_ALL, SET_ACCESS, NO_INHERITANCE, admins);
    PACL acl = nullptr;
    ASSERT_EQ(SetEntriesInAclW(4, entries, nullptr, &acl), DWORD(ERROR_SUCCESS));
    EXPECT_EQ(acl->AceCount, 3);
    set(entries[0], 0, REVOKE_ACCESS, NO_INHERITANCE, users);
    PACL revoked = nullptr;
    ASSERT_EQ(SetEntriesInAclW(1, entries, acl, &revoked), DWORD(ERROR_SUCCESS));
    State(u"SOFTWARE\\L", "O:BAD:(A;;KR;;;SY)");
    std::u16string name = u"MACHINE\\SOFTWARE\\L";
    EXPECT_EQ(SetNamedSecurityInfoW(&name[0], SE_REGISTRY_KEY, DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION,
                                    nullptr, nullptr, acl, nullptr),
              DWORD(ERROR_SUCCESS));
    EXPECT_EQ(Sddl(u"SOFTWARE\\L"), "O:BAD:P(D;CI;KW;;;WD)(A;;KR;;;BU)(A;;GA;;;BA)");
    EXPECT_EQ(SetNamedSecurityInfoW(&name[0], SE_REGISTRY_KEY, DACL_SECURITY_INFORMATION, nullptr, nullptr, revoked,
                                    nullptr),
              DWORD(ERROR_SUCCESS));
    EXPECT_EQ(Sddl(u"SOFTWARE\\L"), "O:BAD:P(D;CI;KW;;;WD)(A;;GA;;;BA)");
    EXPECT_EQ(LocalFree(acl), nullptr);
    EXPECT_EQ(LocalFree(revoked), nullptr);
    for (PSID sid : {users, everyone, admins}) EXPECT_EQ(FreeSid(sid), nullptr);
    EXPECT_EQ(FreeSid(users), users);  // a second release is refused
}

TEST_F(Winsim_Security, TokensHoldTheAccountsPrivilegesAndSessions) {
    LUID luid{};
    ASSERT_TRUE(LookupPrivilegeValueW(nullptr, u"SeTakeOwnershipPrivilege", &luid));
    EXPECT_EQ(luid.LowPart, 9u);
    HANDLE token = nullptr;
    ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES, &token));
    TOKEN_PRIVILEGES tcb{1, {{{7, 0}, SE_PRIVILEGE_ENABLED}}};
    SetLastError(0);
    EXPECT_TRUE(AdjustTokenPrivileges(token, FALSE, &tcb, sizeof tcb, nullptr, nullptr));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_NOT_ALL_ASSIGNED));
    EXPECT_FALSE(The_Machine().process_token->Has_Enabled(7));
    CloseHandle(token);

    // An administrator's impersonation token cannot be moved to another session.
    HANDLE thread_token = nullptr;
    EXPECT_FALSE(OpenThreadToken(GetCurrentThread(), TOKEN_ALL_ACCESS, FALSE, &thread_token));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_NO_TOKEN));
    ASSERT_TRUE(ImpersonateSelf(SecurityImpersonation));
    ASSERT_TRUE(OpenThreadToken(GetCurrentThread(), TOKEN_ALL_ACCESS, FALSE, &thread_token));
    DWORD session = 0;
    EXPECT_FALSE(SetTokenInformation(thread_token, TokenSessionId, &session, sizeof session));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_PRIVILEGE_NOT_HELD));
    CloseHandle(thread_token);
    ASSERT_TRUE(RevertToSelf());

    // LocalSystem can; the change is the thread token's, the process keeps its session.
    The_Machine().process_token = winsim::Make_Local_System_Token(2);
    ASSERT_TRUE(ImpersonateSelf(SecurityImpersonation));
    ASSERT_TRUE(OpenThreadToken(GetCurrentThread(), TOKEN_ALL_ACCESS, FALSE, &thread_token));
    EXPECT_TRUE(SetTokenInformation(thread_token, TokenSessionId, &session, sizeof session));
    EXPECT_EQ(The_Machine().Calling_Token()->session, 0u);
    HANDLE copy = nullptr;
    ASSERT_TRUE(DuplicateTokenEx(thread_token, MAXIMUM_ALLOWED, nullptr, SecurityImpersonation, TokenImpersonation, &copy));
    ASSERT_TRUE(RevertToSelf());
    EXPECT_EQ(The_Machine().Calling_Token()->session, 2u);
    ASSERT_TRUE(SetThreadToken(nullptr, copy));
    EXPECT_EQ(The_Machine().Calling_Token()->session, 0u);
    ASSERT_TRUE(RevertToSelf());
    CloseHandle(copy);
    CloseHandle(thread_token);
}

TEST_F(Winsim_Security, ResourceManagerForgetsCardsOfTheNativeView) {
    const std::u16string cards = u"SOFTWARE\\Microsoft\\Cryptography\\Calais\\SmartCards\\";
    Make_Key(The_Machine().hklm, cards + u"Card");
    Make_Key(The_Machine().hklm, u"SOFTWARE\\Wow6432Node\\Microsoft\\Cryptography\\Calais\\SmartCards\\Card");
    SCARDCONTEXT context = 0;
    ASSERT_EQ(SCardEstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &context), SCARD_S_SUCCESS);
    // In a remote session a token of the user's session reaches the client's database.
    The_Machine().remote_session = true;
    EXPECT_EQ(SCardForgetCardTypeW(context, u"Card"), LONG(ERROR_FILE_NOT_FOUND));
    EXPECT_NE(Find_Key(The_Machine().hklm, cards + u"Card"), nullptr);
    The_Machine().remote_session = false;
    EXPECT_EQ(SCardForgetCardTypeW(context, u"card"), SCARD_S_SUCCESS);
    EXPECT_EQ(Find_Key(The_Machine().hklm, cards + u"Card"), nullptr);
    EXPECT_NE(Find_Key(The_Machine().hklm, u"SOFTWARE\\Wow6432Node\\Microsoft\\Cryptography\\Calais\\SmartCards\\Card"),
              nullptr);
    EXPECT_EQ(SCardForgetCardTypeW(context, u"Card"), LONG(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(SCardReleaseContext(context), SCARD_S_SUCCESS);
    EXPECT_EQ(SCardForgetCardTypeW(context, u"Card"), LONG(SCARD_E_INVALID_HANDLE));
    The_Machine().smart_card_service = false;
    EXPECT_EQ(SCardEstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &context), LONG(SCARD_E_NO_SERVICE));
    EXPECT_EQ(The_Machine().calls.back(), "SCardEstablishContext session=1");
}

TEST_F(Winsim_Security, ScenarioStatesSecurityAccountSessionAndServiceAndGetsThemBack) {
    fs::path folder = fs::temp_directory_path() / ("winsim-security-" + std::to_string(getpid()));
    fs::remove_all(folder);
    fs::create_directories(folder);
    std::ofstream(folder / "registry.reg") << "Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\K]\n";
    std::ofstream(folder / "machine.ini")
        << "[run]\naccount=localsystem\nremote_session=yes\n[smartcard]\nservice=stopped\n"
           "[security]\nkey=HKEY_LOCAL_MACHINE\\SOFTWARE\\K sddl=O:SYD:P(A;CI;KA;;;SY)\n";
    winsim::Machine machine;
    std::string error;
    ASSERT_TRUE(winsim::Load_Scenario(machine, folder.string(), error)) << error;
    EXPECT_EQ(machine.process_token->user, "S-1-5-18");
    EXPECT_EQ(machine.process_token->session, 2u);
    EXPECT_FALSE(machine.smart_card_service);
    ASSERT_TRUE(winsim::Save_Scenario(machine, (folder / "out").string(), error)) << error;
    std::ifstream saved(folder / "out" / "machine.ini");
    std::string ini((std::istreambuf_iterator<char>(saved)), std::istreambuf_iterator<char>());
    EXPECT_NE(ini.find("\n[run]\naccount=localsystem\nremote_session=yes\n\n[smartcard]\nservice=stopped\n"), std::string::npos)
        << ini;
    EXPECT_NE(ini.find("\n[security]\nkey=HKEY_LOCAL_MACHINE\\SOFTWARE\\K sddl=O:SYD:P(A;CI;KA;;;SY)\n"), std::string::npos)
        << ini;
    std::ofstream(folder / "machine.ini") << "[security]\nkey=HKEY_LOCAL_MACHINE\\SOFTWARE\\K sddl=D:(A;ID;KA;;;SY)\n";
    winsim::Machine refused;
    EXPECT_FALSE(winsim::Load_Scenario(refused, folder.string(), error));
    EXPECT_EQ(error.rfind("machine.ini:2: ", 0), 0u) << error;
    fs::remove_all(folder);
}

}  // namespace

namespace {

std::string File_Sddl(const std::u16string& path) { return winsim::Effective_Sddl(The_Machine(), path); }

// Files and folders: Windows' defaults for ProgramData, inheritance to folders and files with
// CREATOR OWNER taking effect for the owner, the ordinary user's checks, and SetNamedSecurityInfoW
// on a path, which follows a junction named last as Windows does.
TEST_F(Winsim_Security, FilesInheritTheDefaultsAndAnOrdinaryUserMeetsThem) {
    winsim::Machine& machine = The_Machine();
    Make_File(u"C:\\ProgramData\\Vendor\\data.bin");
    Make_File(u"C:\\Windows\\system32\\kernel.dll");
    winsim::Apply_Default_File_Security(machine);
    EXPECT_EQ(File_Sddl(u"C:\\ProgramData"),
              "O:SYG:SYD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICIIO;GA;;;CO)(A;OICI;0x1200a9;;;BU)(A;CI;DCLCRPCR;;;BU)");
    EXPECT_EQ(File_Sddl(u"C:\\ProgramData\\Vendor\\data.bin"), "O:BAD:(A;ID;FA;;;SY)(A;ID;FA;;;BA)(A;ID;FA;;;BA)(A;ID;0x1200a9;;;BU)");

    machine.thread_tokens[GetCurrentThreadId()] = winsim::Make_Standard_User_Token(1);
    // ProgramData's folders take new folders and files of users; the system folder does not.
    EXPECT_TRUE(CreateDirectoryW(u"C:\\ProgramData\\Vendor\\mine", nullptr));
    EXPECT_FALSE(CreateDirectoryW(u"C:\\Windows\\system32\\mine", nullptr));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_ACCESS_DENIED));
    EXPECT_EQ(winsim::Create_Junction(u"C:\\Windows\\link", u"C:\\ProgramData"), DWORD(ERROR_ACCESS_DENIED));
    // The user owns the new folder and has full control of it through CREATOR OWNER.
    const std::string user = machine.thread_tokens[GetCurrentThreadId()]->user;
    EXPECT_EQ(File_Sddl(u"C:\\ProgramData\\Vendor\\mine"),
              "O:" + user + "D:(A;OICIID;FA;;;SY)(A;OICIID;FA;;;BA)(A;ID;FA;;;" + user +
                  ")(A;OICIIOID;GA;;;CO)(A;OICIID;0x1200a9;;;BU)(A;CIID;DCLCRPCR;;;BU)");
    EXPECT_EQ(winsim::Create_Junction(u"C:\\ProgramData\\Vendor\\mine\\link", u"C:\\Windows\\system32"), DWORD(0));
    // Renaming or deleting needs DELETE on the entry or FILE_DELETE_CHILD on its folder.
    EXPECT_FALSE(DeleteFileW(u"C:\\ProgramData\\Vendor\\data.bin"));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_ACCESS_DENIED));
    EXPECT_FALSE(MoveFileExW(u"C:\\ProgramData\\Vendor", u"C:\\ProgramData\\Other", 0));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_ACCESS_DENIED));
    EXPECT_TRUE(MoveFileExW(u"C:\\ProgramData\\Vendor\\mine", u"C:\\ProgramData\\moved", 0));
    EXPECT_TRUE(Path_Exists(u"C:\\ProgramData\\moved\\link"));
    EXPECT_FALSE(Path_Exists(u"C:\\ProgramData\\Vendor\\mine"));
    // The user may not change the security of what is not the user's.
    SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
    PSID users = nullptr;
    ASSERT_TRUE(AllocateAndInitializeSid(&nt, 2, 32, 545, 0, 0, 0, 0, 0, 0, &users));
    std::u16string vendor = u"C:\\ProgramData\\Vendor";
    EXPECT_EQ(SetNamedSecurityInfoW(&vendor[0], SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, users, nullptr, nullptr,
                                    nullptr),
              DWORD(ERROR_ACCESS_DENIED));
    machine.thread_tokens.erase(GetCurrentThreadId());
    FreeSid(users);

    // The administrator's list on the link's name lands on its target, the system folder.
    ACL empty = {ACL_REVISION, 0, sizeof(ACL), 0, 0};
    std::u16string link = u"C:\\ProgramData\\moved\\link";
    EXPECT_EQ(SetNamedSecurityInfoW(&link[0], SE_FILE_OBJECT, DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION,
                                    nullptr, nullptr, &empty, nullptr),
              DWORD(ERROR_SUCCESS));
    EXPECT_EQ(File_Sddl(u"C:\\Windows\\system32"), "O:BAD:P");
    EXPECT_EQ(File_Sddl(u"C:\\Windows\\system32\\kernel.dll"), "O:BAD:");
    std::u16string missing = u"C:\\ProgramData\\none\\x";
    EXPECT_EQ(SetNamedSecurityInfoW(&missing[0], SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &empty,
                                    nullptr),
              DWORD(ERROR_PATH_NOT_FOUND));
    EXPECT_EQ(winsim::Security_Changes(machine),
              "C:\\Windows\\system32\n  before: O:BAD:(A;OICIID;FA;;;SY)(A;OICIID;FA;;;BA)(A;OICIID;0x1200a9;;;BU)\n"
              "  after:  O:BAD:P\n"
              "C:\\Windows\\system32\\kernel.dll\n  before: O:BAD:(A;ID;FA;;;SY)(A;ID;FA;;;BA)(A;ID;0x1200a9;;;BU)\n"
              "  after:  O:BAD:\n");
}

}  // namespace
