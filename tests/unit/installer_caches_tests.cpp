// The installer caches stage on the simulated drive C:.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <shlobj.h>

#include "files/Installer_Caches.h"
#include "registry/Installer_Registration.h"
#include "kernel32/other_process.h"
#include "machine/machine.h"
#include "test_support.h"

using winsim::The_Machine;

namespace {

const std::u16string Company = u"C:\\ProgramData\\Corvanta LLP\\";
const std::u16string Cache = u"C:\\ProgramData\\Package Cache\\";

class Installer_Caches : public Log_Test {};

// Only a direct sub-folder of the package cache that directly holds an entry named with the marker,
// in its letter case, goes; a link is never looked through.
TEST_F(Installer_Caches, CompanyFolderAndMarkedPackageCacheEntriesGo) {
    Make_File(Company + u"VESPARIO\\settings.xml");
    Make_File(Cache + u"{A1}v1\\vpDrivers.msi");
    Make_File(Cache + u"{A1}v1\\data.cab");
    Make_File(Cache + u"{B2}\\VPDRIVERS.MSI");
    Make_File(Cache + u"{C3}\\sub\\vpDrivers.msi");
    Make_File(u"C:\\Windows\\system32\\vpDrivers.dll");
    Make_Junction(Cache + u"{D4}", u"C:\\Windows\\system32");
    Make_File(Cache + u"vpDrivers.log");
    EXPECT_TRUE(Delete_All_Caches(Lib_StringW()));
    EXPECT_EQ(Log_Text(), Lines({"   Deleting all caches...",
                                 "      Removed:  C:\\ProgramData\\Corvanta LLP\\VESPARIO\\settings.xml",
                                 "      Removed:  C:\\ProgramData\\Corvanta LLP\\VESPARIO",
                                 "      Removed:  C:\\ProgramData\\Corvanta LLP",
                                 "      Removing new caches (with WIX)...",
                                 "         Removed:  C:\\ProgramData\\Package Cache\\{A1}v1\\data.cab",
                                 "         Removed:  C:\\ProgramData\\Package Cache\\{A1}v1\\vpDrivers.msi",
                                 "         Removed:  C:\\ProgramData\\Package Cache\\{A1}v1",
                                 "      Not examined (link):  C:\\ProgramData\\Package Cache\\{D4}",
                                 "      New caches (with WIX) removed.",
                                 "   All caches deleted."}));
    EXPECT_FALSE(Path_Exists(Company));
    EXPECT_FALSE(Path_Exists(Cache + u"{A1}v1"));
    for (const char16_t* stays : {u"{B2}\\VPDRIVERS.MSI", u"{C3}\\sub\\vpDrivers.msi", u"{D4}", u"vpDrivers.log"}) {
        EXPECT_TRUE(Path_Exists(Cache + stays)) << winsim::To_Utf8(stays);
    }
    EXPECT_TRUE(Path_Exists(u"C:\\Windows\\system32\\vpDrivers.dll"));
    EXPECT_TRUE(Pending_Deletes().empty());
}

// A cached file in use waits for the restart (with its folder); an entry that cannot be removed is
// named; a folder whose listing fails ends the walk, so a marked entry after it stays.
TEST_F(Installer_Caches, FileInUseIsScheduledAndAFailedListingEndsTheWalk) {
    Make_File(Cache + u"{A0}\\vpDrivers.msi");
    Make_File(Cache + u"{A1}\\vpDrivers.msi")->held_open = true;
    Make_File(Cache + u"{B2}\\other.msi");
    Make_File(Cache + u"{C3}\\vpDrivers.msi");
    The_Machine().Add_Fault("RemoveDirectoryW", 1, ERROR_ACCESS_DENIED, u"{A0}");
    The_Machine().Add_Fault("FindFirstFileW", 1, ERROR_ACCESS_DENIED, u"{B2}");
    Remove_New_Caches(CSIDL_COMMON_APPDATA, TEXT("Package Cache"), TEXT("vpDrivers"), Lib_StringW());
    EXPECT_EQ(Log_Text(), Lines({"   Removing new caches (with WIX)...",
                                 "      Removed:  C:\\ProgramData\\Package Cache\\{A0}\\vpDrivers.msi",
                                 "      Removed failed!!!:  C:\\ProgramData\\Package Cache\\{A0}",
                                 "            Deleted: C:\\ProgramData\\Package Cache\\{A1}\\vpDrivers.msi",
                                 "      Removed:  C:\\ProgramData\\Package Cache\\{A1}\\vpDrivers.msi",
                                 "         Deleted: C:\\ProgramData\\Package Cache\\{A1}",
                                 "      Removed:  C:\\ProgramData\\Package Cache\\{A1}"}) +
                              Error_Report("   ", "FindFirstFile", 5) +
                              Lines({"   New caches (with WIX) removed."}));
    EXPECT_EQ(Pending_Deletes(), (std::vector<std::u16string>{Cache + u"{A1}\\vpDrivers.msi", Cache + u"{A1}"}));
    EXPECT_TRUE(Path_Exists(Cache + u"{C3}\\vpDrivers.msi"));
}

// Folders above what the stage removes that an ordinary user made or may replace: the tree is left
// alone with one line naming the folder and why; nothing of it is removed, locked down or scheduled.
// A Package Cache as a bundle's installer engine makes it is used as ever.
TEST_F(Installer_Caches, TreesBelowFoldersThatUsersControlAreLeftAlone) {
    const std::string user = "S-1-5-21-3623811015-3361044348-30300820-1002";
    struct Case {
        const char* name;
        std::function<void(winsim::Machine&)> plant;
        std::string line;  // the line in place of the removal; empty: removed as ever
    };
    auto own = [&](const std::u16string& path, const std::string& sddl) {
        std::string why;
        winsim::Fs_Node* node = The_Machine().Find_Path(path);
        node->security = std::make_shared<winsim::Key_Security>();
        ASSERT_TRUE(winsim::Parse_Key_Sddl(sddl, *node->security, why)) << why;
    };
    const std::vector<Case> cases = {
        {"the cache is the user's junction",
         [](winsim::Machine& m) { EXPECT_EQ(winsim::User_Make_Junction(m, u"C:\\ProgramData\\Package Cache", u"C:\\ProgramData\\mine"), 0u); },
         "         Left alone (C:\\ProgramData\\Package Cache is a junction or symbolic link): C:\\ProgramData\\Package Cache"},
        {"the cache is the user's folder",
         [&](winsim::Machine&) { own(u"C:\\ProgramData\\Package Cache", "O:" + user); },
         "         Left alone (C:\\ProgramData\\Package Cache is owned by " + user + "): C:\\ProgramData\\Package Cache"},
        {"Users may delete the cache",
         [&](winsim::Machine&) { own(u"C:\\ProgramData\\Package Cache", "O:BAD:(A;;SD;;;BU)"); },
         "         Left alone (C:\\ProgramData\\Package Cache lets Users delete it): C:\\ProgramData\\Package Cache"},
        {"Everyone may change ProgramData's list",
         [&](winsim::Machine&) { own(u"C:\\ProgramData", "O:SYD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;;WD;;;WD)"); },
         "         Left alone (C:\\ProgramData lets Everyone change its access list): C:\\ProgramData\\Package Cache"},
        {"INTERACTIVE may delete what is in ProgramData",
         [&](winsim::Machine&) { own(u"C:\\ProgramData", "O:SYD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;;DT;;;IU)"); },
         "         Left alone (C:\\ProgramData lets INTERACTIVE delete what is in it): C:\\ProgramData\\Package Cache"},
        // (The drive root's inherit-only entry for Authenticated Users counts for nothing above.)
        {"the list a bundle's installer engine gives the cache passes",
         [&](winsim::Machine&) {
             own(u"C:\\ProgramData\\Package Cache",
                 "O:BAD:P(A;OICI;FA;;;BA)(A;OICI;FA;;;SY)(A;OICI;0x1200a9;;;BU)(A;OICI;0x1200a9;;;WD)");
         },
         ""},
    };
    for (const Case& test : cases) {
        SCOPED_TRACE(test.name);
        SetUp();
        Make_File(u"C:\\Windows\\system32\\kernel32.dll", "MZ system");
        Make_File(u"C:\\ProgramData\\mine\\{A1}\\vpDrivers.msi", "user's");
        Make_File(u"C:\\ProgramData\\mine\\{A1}\\busy.dat", "held")->held_open = true;
        if (std::string(test.name).find("junction") == std::string::npos) {
            Make_File(Cache + u"{A1}\\vpDrivers.msi", "cache");
        }
        winsim::Machine& machine = The_Machine();
        own(u"C:\\ProgramData\\mine", "O:" + user);
        test.plant(machine);
        Remove_New_Caches(CSIDL_COMMON_APPDATA, TEXT("Package Cache"), TEXT("vpDrivers"), Lib_StringW());
        if (test.line.empty()) {
            EXPECT_FALSE(Path_Exists(Cache + u"{A1}"));
            continue;
        }
        EXPECT_EQ(Log_Text(), Lines({"   Removing new caches (with WIX)...", test.line.substr(6),
                                     "   New caches (with WIX) removed."}));
        EXPECT_TRUE(Pending_Deletes().empty());
        EXPECT_EQ(winsim::Security_Changes(machine), "");
        EXPECT_TRUE(Path_Exists(u"C:\\ProgramData\\mine\\{A1}\\vpDrivers.msi"));
        EXPECT_TRUE(Path_Exists(Cache + u"{A1}\\vpDrivers.msi"));
        // After the run the user points the junction at the system folder: nothing waits to be
        // deleted there at the next start.
        if (std::string(test.name).find("junction") != std::string::npos) {
            machine.other_process_token.swap(machine.process_token);
            EXPECT_TRUE(RemoveDirectoryW(u"C:\\ProgramData\\Package Cache"));
            machine.other_process_token.swap(machine.process_token);
            EXPECT_EQ(winsim::User_Make_Junction(machine, u"C:\\ProgramData\\Package Cache", u"C:\\Windows\\system32"), 0u);
            EXPECT_TRUE(Pending_Deletes().empty());
            EXPECT_TRUE(Path_Exists(u"C:\\Windows\\system32\\kernel32.dll"));
        }
    }
}

// One reading of the uninstall entries serves the pass: the display-name cleaning and the machine's
// commands ask it, each entry is read once, and the commands of an entry the cleaning deleted since no
// longer keep a folder. A command the reading could not read is read again by the commands' stage.
TEST_F(Installer_Caches, ThePassReadsTheUninstallEntriesOnce) {
    const std::u16string uninstall = u"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\";
    auto entry = [&](const std::u16string& name, const std::u16string& value, const std::u16string& text) {
        Make_Key(The_Machine().hklm, uninstall + name)->Set_Value(value, REG_SZ, Utf16_Bytes(text));
    };
    Make_Key(The_Machine().hklm, u"SOFTWARE\\Wow6432Node\\Microsoft\\Windows\\CurrentVersion\\Uninstall");
    entry(u"{P}", u"DisplayName", u"VESPARIO Drivers");
    entry(u"{P}", u"UninstallString", u"\"" + Cache + u"{A1}v1\\setup.exe\" /uninstall");
    entry(u"{Q}", u"DisplayName", u"Other Suite");
    entry(u"{Q}", u"ModifyPath", u"\"" + Cache + u"{B2}\\setup.exe\" /modify");
    entry(u"{R}", u"QuietUninstallString", u"\"" + Cache + u"{C3}\\setup.exe\" /quiet");
    for (const char16_t* folder : {u"{A1}v1", u"{B2}", u"{C3}"}) Make_File(Cache + folder + u"\\vpDrivers.msi");
    The_Machine().Add_Fault("RegQueryValueExW", 1, ERROR_ACCESS_DENIED, u"{R}\\QuietUninstallString");
    The_Machine().trace_apis = true;
    {
        Uninstall_Entries entries;
        EXPECT_TRUE(Clean_Uninstall_Keys(entries));
        EXPECT_TRUE(Delete_All_Caches(Lib_StringW(), entries));
    }
    The_Machine().trace_apis = false;
    const auto& calls = The_Machine().api_trace;
    // Five values of each of the three entries; {P}'s name again before it went; {R}'s commands again.
    EXPECT_EQ(std::count(calls.begin(), calls.end(), "RegQueryValueExW"), 15 + 1 + 3);
    const std::string cache = "C:\\ProgramData\\Package Cache\\";
    const std::string in_path = "Deleting registry keys in path (KEY_SET_VALUE";
    const std::string path = "):  SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\";
    EXPECT_EQ(Log_Text(),
              Lines({"   Clean Uninstall Key from HKEY_LOCAL_MACHINE\\", "         " + in_path + path,
                     "            Deleting registry key:  {P}", "         " + in_path + " | KEY_WOW64_32KEY" + path,
                     "   Clean Uninstall Key from registry finished.", "   Deleting all caches...",
                     "      Removing new caches (with WIX)...",
                     "         Removed:  " + cache + "{A1}v1\\vpDrivers.msi", "         Removed:  " + cache + "{A1}v1",
                     "      Kept (HKLM\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\{Q}\\ModifyPath runs from "
                     "it):  " + cache + "{B2}",
                     "      Kept (HKLM\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\{R}\\"
                     "QuietUninstallString runs from it):  " + cache + "{C3}",
                     "      New caches (with WIX) removed.", "   All caches deleted."}));
}

}  // namespace
