// The lock-down of a folder tree before deletions inside it wait for the restart, on the machine
// machines/user-writable: the company folder under ProgramData with a folder of an ordinary user's.
#include <gtest/gtest.h>

#include <algorithm>

#include <string>
#include <vector>

#include "files/Installer_Caches.h"
#include "diagnostics/Log_Report.h"
#include "primitives/Check_Changes.h"
#include "primitives/Tree_Protection.h"
#include "machine/machine.h"
#include "test_support.h"

using winsim::The_Machine;

namespace {

const std::u16string Company = u"C:\\ProgramData\\Corvanta LLP";
const std::u16string Logs = Company + u"\\logs";
const std::string User = "S-1-5-21-3623811015-3361044348-30300820-1002";

class Tree_Protection : public Log_Test {
protected:
    void SetUp() override {
        Fresh_Machine();
        The_Machine().Reset();
        std::string error;
        ASSERT_TRUE(winsim::Load_Scenario(The_Machine(), std::string(SOURCE_DIR) + "/machines/user-writable", error))
            << error;
        Log_Create_File();
        The_Machine().calls.clear();
    }

    // What an ordinary user's process tries in the tree, in this order; the error of each (0: done).
    static std::vector<DWORD> Ordinary_User_Actions() {
        winsim::Machine& machine = The_Machine();
        // The service that kept its log open has stopped (Windows stops it at the latest when it shuts
        // down): nothing open beneath the log's folder holds it in place any more.
        if (winsim::Fs_Node* log = machine.Find_Path(Logs + u"\\vpService.log")) log->held_open = false;
        machine.thread_tokens[GetCurrentThreadId()] = winsim::Make_Standard_User_Token(1);
        std::vector<DWORD> errors;
        auto outcome = [&](bool done) { errors.push_back(done ? ERROR_SUCCESS : GetLastError()); };
        outcome(CreateDirectoryW((Logs + u"\\new").c_str(), nullptr));
        HANDLE file = CreateFileW((Company + u"\\new.txt").c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
        outcome(file != INVALID_HANDLE_VALUE);
        if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
        errors.push_back(winsim::Create_Junction(Company + u"\\link", u"C:\\Windows\\system32"));
        // The folder of the scheduled log moved away, and a junction made in its place.
        outcome(MoveFileExW(Logs.c_str(), u"C:\\ProgramData\\moved", 0));
        errors.push_back(winsim::Create_Junction(Logs, u"C:\\Windows\\system32"));
        machine.thread_tokens.erase(GetCurrentThreadId());
        return errors;
    }
};

const std::string Locked_Tree_Top = "O:BAD:P(A;OICI;FA;;;BA)(A;OICI;FA;;;SY)";

// Before the run the user may create entries in the tree and swap the folder of the log for a
// junction into the system folder; after it, none of that: the tree belongs to Administrators and
// SYSTEM alone, and the deletions waiting for the restart stay within it.
TEST_F(Tree_Protection, AnOrdinaryUserCanNoLongerSwapOrAddAfterTheRun) {
    const DWORD denied = ERROR_ACCESS_DENIED;
    struct Case {
        bool run;
        std::vector<DWORD> errors;
    };
    for (const Case& test : {Case{false, {0, 0, 0, 0, 0}}, Case{true, {denied, denied, denied, denied, 183}}}) {
        SetUp();
        const std::string system_folder = winsim::Effective_Sddl(The_Machine(), u"C:\\Windows\\system32");
        if (test.run) EXPECT_TRUE(Delete_All_Caches(Lib_StringW()));
        EXPECT_EQ(Ordinary_User_Actions(), test.errors) << "run " << test.run;
        if (!test.run) {
            EXPECT_EQ(The_Machine().Find_Path(Logs + u"\\vpService.log"), nullptr);  // reached only through the junction
            continue;
        }
        winsim::Machine& machine = The_Machine();
        EXPECT_EQ(winsim::Effective_Sddl(machine, Company), Locked_Tree_Top);
        EXPECT_EQ(winsim::Effective_Sddl(machine, Logs), "O:BAD:(A;OICIID;FA;;;BA)(A;OICIID;FA;;;SY)");
        EXPECT_EQ(winsim::Effective_Sddl(machine, Logs + u"\\vpService.log"), "O:BAD:(A;ID;FA;;;BA)(A;ID;FA;;;SY)");
        // The junction planted in the tree was removed as a link; its target kept its security.
        EXPECT_EQ(winsim::Effective_Sddl(machine, u"C:\\Windows\\system32"), system_folder);
        EXPECT_EQ(system_folder, "O:BAD:(A;OICIID;FA;;;SY)(A;OICIID;FA;;;BA)(A;OICIID;0x1200a9;;;BU)");
        EXPECT_EQ(Pending_Deletes(), (std::vector<std::u16string>{Logs + u"\\vpService.log", Logs, Company}));
        EXPECT_FALSE(machine.process_token->Has_Enabled(9));  // SeTakeOwnershipPrivilege
        // Nothing was logged for the lock-down; the whole run's log is machines/user-writable/expected.
        EXPECT_EQ(Log_Text().find("Error"), std::string::npos);
    }
}

// The user's folder refuses Administrators everything: its owner is taken with the privilege, which
// is given up again afterwards. A lock-down whose security calls fail is reported call by call, and
// nothing of that tree waits for the restart: its removal stops at the first entry in use.
TEST_F(Tree_Protection, RefusedOwnerIsTakenWithThePrivilegeAndFailuresAreReported) {
    std::string why;
    winsim::Fs_Node* logs = winsim::Find_File_By_Path(The_Machine(), Logs);
    logs->security = std::make_shared<winsim::Key_Security>();
    ASSERT_TRUE(winsim::Parse_Key_Sddl("O:" + User + "D:P(A;OICI;FA;;;" + User + ")", *logs->security, why)) << why;
    // Only the log itself refuses every change.
    The_Machine().Add_Fault("SetNamedSecurityInfoW", 1, ERROR_ACCESS_DENIED, u"vpService.log", true);
    EXPECT_TRUE(Delete_All_Caches(Lib_StringW()));
    // The reports stand at the level of the restart scheduling that the lock-down comes before.
    std::string indent(9, ' ');
    EXPECT_EQ(Log_Text(),
              Lines({"   Deleting all caches...",
                     "      Removed:  C:\\ProgramData\\Corvanta LLP\\cache\\vpDrivers.msi",
                     "      Removed:  C:\\ProgramData\\Corvanta LLP\\cache",
                     "      Removed:  C:\\ProgramData\\Corvanta LLP\\logs\\current",
                     "      Removed:  C:\\ProgramData\\Corvanta LLP\\logs\\old\\vpService.1.log",
                     "      Removed:  C:\\ProgramData\\Corvanta LLP\\logs\\old",
                     // The second name of the system driver goes before any list is changed.
                     "            Removed:  C:\\ProgramData\\Corvanta LLP\\logs\\vpService.log.bak"}) +
                  Error_Report(indent, "SetNamedSecurityInfo", 5) + Error_Report(indent, "SetNamedSecurityInfo", 5) +
                  Lines({"            Not scheduled for deletion at the restart (the folder tree could not be locked "
                         "down): C:\\ProgramData\\Corvanta LLP\\logs\\vpService.log",
                         "      Removed failed!!!!:  C:\\ProgramData\\Corvanta LLP\\logs\\vpService.log",
                         "      Removing new caches (with WIX)...",
                         "         Removed:  C:\\ProgramData\\Package Cache\\{5C2E7A10-9B3D-4F61-8E24-A7D90C1B3F58}"
                         "v3.4.1.207\\vpDrivers.msi",
                         "         Removed:  C:\\ProgramData\\Package Cache\\{5C2E7A10-9B3D-4F61-8E24-A7D90C1B3F58}"
                         "v3.4.1.207",
                         "      New caches (with WIX) removed.",
                         "   All caches deleted."}));
    EXPECT_TRUE(Pending_Deletes().empty());
    winsim::Machine& machine = The_Machine();
    EXPECT_EQ(winsim::Effective_Sddl(machine, Company), Locked_Tree_Top);
    EXPECT_EQ(winsim::Effective_Sddl(machine, Logs), "O:BAD:(A;OICIID;FA;;;BA)(A;OICIID;FA;;;SY)");
    // The log keeps its owner; its list is already only what the locked folder passes on.
    EXPECT_EQ(winsim::Effective_Sddl(machine, Logs + u"\\vpService.log"),
              "O:" + User + "D:(A;ID;FA;;;BA)(A;ID;FA;;;SY)");
    // The owner change of logs was refused once, then made with the privilege, given up at the end.
    std::vector<std::string> calls;
    for (const std::string& call : machine.calls)
        if (call.compare(0, 21, "SetNamedSecurityInfoW") == 0 || call.compare(0, 21, "AdjustTokenPrivileges") == 0)
            calls.push_back(call);
    EXPECT_EQ(calls, (std::vector<std::string>{
                         "SetNamedSecurityInfoW C:\\ProgramData\\Corvanta LLP SE_FILE_OBJECT owner=BA",
                         "SetNamedSecurityInfoW C:\\ProgramData\\Corvanta LLP SE_FILE_OBJECT dacl",
                         "SetNamedSecurityInfoW C:\\ProgramData\\Corvanta LLP\\logs SE_FILE_OBJECT owner=BA",
                         "AdjustTokenPrivileges SeTakeOwnershipPrivilege=enabled",
                         "SetNamedSecurityInfoW C:\\ProgramData\\Corvanta LLP\\logs SE_FILE_OBJECT owner=BA",
                         "SetNamedSecurityInfoW C:\\ProgramData\\Corvanta LLP\\logs SE_FILE_OBJECT dacl",
                         "SetNamedSecurityInfoW C:\\ProgramData\\Corvanta LLP\\logs\\vpService.log SE_FILE_OBJECT owner=BA",
                         "SetNamedSecurityInfoW C:\\ProgramData\\Corvanta LLP\\logs\\vpService.log SE_FILE_OBJECT dacl",
                         "AdjustTokenPrivileges SeTakeOwnershipPrivilege=disabled"}));
    EXPECT_FALSE(machine.process_token->Has_Enabled(9));
}

// A folder of 258 characters lists only in the extended form ("\\*" makes 260): the lock-down lists it
// so and gives what it holds its owner too.
TEST_F(Tree_Protection, FolderAtTheLengthLimitIsLockedDownToo) {
    const std::u16string deep = Logs + u"\\" + std::u16string(258 - Logs.size() - 1, u'd');
    Make_File(deep + u"\\held.log")->held_open = true;
    EXPECT_TRUE(Delete_All_Caches(Lib_StringW()));
    const std::string owner = "SetNamedSecurityInfoW \\\\?\\" + winsim::To_Utf8(deep) + "\\held.log SE_FILE_OBJECT owner=BA";
    EXPECT_NE(std::find(The_Machine().calls.begin(), The_Machine().calls.end(), owner), The_Machine().calls.end());
    EXPECT_EQ(Pending_Deletes().front(), deep + u"\\held.log");
}

// A tree removed completely at once never has its security changed.
TEST_F(Tree_Protection, TreeRemovedAtOnceKeepsNoSecurityChange) {
    winsim::Find_File_By_Path(The_Machine(), Logs + u"\\vpService.log")->held_open = false;
    EXPECT_TRUE(Delete_All_Caches(Lib_StringW()));
    EXPECT_FALSE(Path_Exists(Company));
    EXPECT_TRUE(Pending_Deletes().empty());
    EXPECT_EQ(winsim::Security_Changes(The_Machine()), "");
    for (const std::string& call : The_Machine().calls) EXPECT_EQ(call.find("SetNamedSecurityInfoW"), std::string::npos);
}

// Windows passes a changed inheritable list on to every entry below that does not protect its own,
// and a file with other names keeps one list for all of them: a second name in the tree of a system
// file whose list is inherited would carry the lock-down's list into the system folder. Such a name
// goes before the lock-down, and the system file keeps its security.
TEST_F(Tree_Protection, HardLinkToAnUnprotectedSystemFileGoesBeforeTheLockDown) {
    winsim::Machine& machine = The_Machine();
    const std::u16string system_file = u"C:\\Windows\\system32\\kernel32.dll";
    Make_File(system_file, "MZ system");
    // Listed after the log in use, so still there when the lock-down comes.
    ASSERT_TRUE(CreateHardLinkW((Logs + u"\\zz-kernel32.bak").c_str(), system_file.c_str(), nullptr));
    const std::string before = winsim::Effective_Sddl(machine, system_file);
    EXPECT_EQ(before, "O:BAD:(A;ID;FA;;;SY)(A;ID;FA;;;BA)(A;ID;0x1200a9;;;BU)");
    EXPECT_TRUE(Delete_All_Caches(Lib_StringW()));
    EXPECT_EQ(winsim::Effective_Sddl(machine, system_file), before);
    EXPECT_EQ(winsim::Security_Changes(machine).find("system32"), std::string::npos);
    EXPECT_TRUE(Path_Exists(system_file));
    EXPECT_FALSE(Path_Exists(Logs + u"\\zz-kernel32.bak"));
    EXPECT_NE(Log_Text().find("      Removed:  C:\\ProgramData\\Corvanta LLP\\logs\\zz-kernel32.bak\r\n"), std::string::npos);
    EXPECT_EQ(Pending_Deletes(), (std::vector<std::u16string>{Logs + u"\\vpService.log", Logs, Company}));
}

// A tree whose top the lock-down cannot hold open (another process holds it, or its list keeps
// Administrators out) is not locked down by name, and nothing of it waits for the restart.
TEST_F(Tree_Protection, TopThatCannotBeHeldIsNotLockedDownAndNothingWaits) {
    // Which open of the top is the lock-down's: the last before its first security call.
    EXPECT_TRUE(Delete_All_Caches(Lib_StringW()));
    const std::string top_open = "CreateFileW " + winsim::To_Utf8(Company);
    unsigned nth = 0, lock_down_open = 0;
    for (const std::string& call : The_Machine().calls) {
        if (call.rfind("SetNamedSecurityInfoW", 0) == 0) break;
        if (call.rfind("CreateFileW", 0) == 0 && call.find("Corvanta LLP") != std::string::npos) ++nth;
        if (call == top_open) lock_down_open = nth;
    }
    ASSERT_GT(lock_down_open, 0u);
    for (DWORD error : {DWORD(ERROR_SHARING_VIOLATION), DWORD(ERROR_ACCESS_DENIED)}) {
        SetUp();
        The_Machine().Add_Fault("CreateFileW", lock_down_open, error, u"Corvanta LLP");
        EXPECT_TRUE(Delete_All_Caches(Lib_StringW()));
        EXPECT_NE(Log_Text().find(Error_Report("         ", "CreateFile", long(error)) +
                                  Lines({"            Not scheduled for deletion at the restart (the folder tree could "
                                         "not be locked down): C:\\ProgramData\\Corvanta LLP\\logs\\vpService.log"})),
                  std::string::npos)
            << Log_Text();
        EXPECT_TRUE(Pending_Deletes().empty());
        EXPECT_EQ(winsim::Security_Changes(The_Machine()), "");
        // The check after the removal names the file as left alone, with why: the user's own log, not
        // the product's; the product's own file there is not removed, for the same reason.
        Quiet_Log quiet;
        Check_Changes check;
        Changes_In_Force in_force(check);
        Lib_Result result;
        const std::string why = "(left alone: C:\\ProgramData\\Corvanta LLP\\logs is owned by " + User + "): ";
        EXPECT_TRUE(Changes().SC_Delete_File_On_Reboot((Logs + u"\\vpService.log").c_str(), result));
        ASSERT_EQ(check.Not_Counted().size(), 1u);
        const std::string log = "C:\\ProgramData\\Corvanta LLP\\logs\\vpService.log";
        EXPECT_EQ(winsim::To_Utf8(check.Not_Counted()[0].Get_Text()),
                  "Not counted (left alone: " + log + " is owned by " + User + "): " + log);
        The_Machine().Find_Path(Logs + u"\\vpService.log")->security.reset();  // as if the service made it
        EXPECT_TRUE(Changes().SC_Delete_File_On_Reboot((Logs + u"\\vpService.log").c_str(), result));
        ASSERT_EQ(check.Items().size(), 1u);
        EXPECT_EQ("(left alone: " + winsim::To_Utf8(check.Reason(0).Get_Text()) + "): ", why);
    }
}

// A kept tree is trusted once it is locked down, so the lock-down never makes Administrators the owner
// of what another account made there (a folder or a library planted after the check): that entry and
// what is in it keep their security, the lock-down fails and says why.
TEST_F(Tree_Protection, KeptTreeLockDownLeavesWhatAnotherAccountOwns) {
    const std::u16string log = Logs + u"\\vpService.log";
    ASSERT_TRUE(DeleteFileW((Logs + u"\\vpService.log.bak").c_str()));  // the hard link: refused on its own
    EXPECT_FALSE(Changes().Lock_Down_Kept_Folder(Company.c_str()));
    EXPECT_EQ(winsim::Effective_Sddl(The_Machine(), Logs).substr(0, 2 + User.size()), "O:" + User);
    EXPECT_EQ(winsim::Effective_Sddl(The_Machine(), log).substr(0, 2 + User.size()), "O:" + User);
    EXPECT_NE(Log_Text().find("Security not changed (C:\\ProgramData\\Corvanta LLP\\logs is owned by " + User +
                              "):  C:\\ProgramData\\Corvanta LLP\\logs\r\n"),
              std::string::npos)
        << Log_Text();
    for (const std::string& call : The_Machine().calls) EXPECT_EQ(call.find("\\logs SE_FILE_OBJECT owner"), std::string::npos) << call;
}

}  // namespace
