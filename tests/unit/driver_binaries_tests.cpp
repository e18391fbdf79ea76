// The driver binaries and shortcuts stage on the simulated machine.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "files/Driver_Binaries.h"
#include "machine/machine.h"
#include "test_support.h"

using winsim::The_Machine;

namespace {

const std::u16string System32 = u"C:\\Windows\\system32\\";
const std::u16string SysWOW64 = u"C:\\Windows\\SysWOW64\\";
const std::u16string Desktop = u"C:\\Users\\Public\\Desktop\\";
const std::u16string Programs = u"C:\\ProgramData\\Microsoft\\Windows\\Start Menu\\Programs\\";
const std::u16string Latin_Shortcut = u"VESPARIO Control Panel.lnk";
const std::u16string Cyrillic_Shortcut = u"Панель управления VESPARIO.lnk";

class Driver_Binaries_Stage : public Log_Test {
protected:
    void Install_Binaries(const std::u16string& folder) {
        for (const WCHAR* name : Driver_Binaries) Make_File(folder + name, "MZ");
    }
    bool Run() {
        bool reboot = false;
        EXPECT_TRUE(Delete_Driver_Binaries(reboot));
        return reboot;
    }
};

TEST_F(Driver_Binaries_Stage, AllBinariesInBothSystemFoldersGoAndNearMissesStay) {
    Install_Binaries(System32);
    Install_Binaries(SysWOW64);
    const std::vector<std::u16string> survivors = {u"vpAPI.dll.bak", u"vpapi32.dll", u"scardsvr.dll",
                                                   u"vpMiniDrv.dll.old", u"avpCSP.dll"};
    for (const auto& name : survivors) Make_File(System32 + name, "keep");
    EXPECT_FALSE(Run());
    for (const WCHAR* name : Driver_Binaries) {
        EXPECT_FALSE(Path_Exists(System32 + name)) << winsim::To_Utf8(name);
        EXPECT_FALSE(Path_Exists(SysWOW64 + name)) << winsim::To_Utf8(name);
    }
    for (const auto& name : survivors) EXPECT_TRUE(Path_Exists(System32 + name)) << winsim::To_Utf8(name);
    EXPECT_TRUE(Pending_Deletes().empty());
}

TEST_F(Driver_Binaries_Stage, ReadOnlyBinaryIsDeletedToo) {
    Make_File(System32 + u"vpPKCS11.dll", "MZ", FILE_ATTRIBUTE_READONLY);
    EXPECT_FALSE(Run());
    EXPECT_FALSE(Path_Exists(System32 + u"vpPKCS11.dll"));
}

TEST_F(Driver_Binaries_Stage, BinaryInUseIsScheduledAndAsksForARestart) {
    Install_Binaries(System32);
    The_Machine().Find_Path(System32 + u"vpCSP.dll")->held_open = true;
    EXPECT_TRUE(Run());
    EXPECT_TRUE(Path_Exists(System32 + u"vpCSP.dll"));
    EXPECT_EQ(Pending_Deletes(), (std::vector<std::u16string>{System32 + u"vpCSP.dll"}));
    EXPECT_NE(Log_Text().find("         Deleted: C:\\Windows\\system32\\vpCSP.dll\r\n"), std::string::npos);
}

TEST_F(Driver_Binaries_Stage, BinaryThatStaysDeniedIsScheduledAfterEighteenSeconds) {
    Make_File(SysWOW64 + u"vpErr.dll", "MZ");
    The_Machine().Add_Fault("DeleteFileW", 1, ERROR_ACCESS_DENIED, u"SysWOW64\\vpErr.dll", true);
    EXPECT_TRUE(Run());
    EXPECT_EQ(The_Machine().faults[0].seen, 11u);
    EXPECT_EQ(The_Machine().clock_ms, 18000u);
    EXPECT_EQ(Pending_Deletes(), (std::vector<std::u16string>{SysWOW64 + u"vpErr.dll"}));
}

TEST_F(Driver_Binaries_Stage, ShortcutsGoFromTheDesktopAndBothMenuFolders) {
    for (const auto& folder : {Desktop, Programs + u"VESPARIO\\", Programs + u"ВЕСПАРИО\\"}) {
        Make_File(folder + Latin_Shortcut, "L");
        Make_File(folder + Cyrillic_Shortcut, "L");
    }
    Make_File(Programs + u"ВЕСПАРИО\\User Guide.lnk", "L");
    Make_File(Desktop + u"Other Tool.lnk", "L");
    EXPECT_FALSE(Run());
    for (const auto& folder : {Desktop, Programs + u"VESPARIO\\", Programs + u"ВЕСПАРИО\\"}) {
        EXPECT_FALSE(Path_Exists(folder + Latin_Shortcut));
        EXPECT_FALSE(Path_Exists(folder + Cyrillic_Shortcut));
    }
    EXPECT_FALSE(Path_Exists(Programs + u"VESPARIO"));
    EXPECT_TRUE(Path_Exists(Programs + u"ВЕСПАРИО\\User Guide.lnk"));
    EXPECT_TRUE(Path_Exists(Desktop + u"Other Tool.lnk"));
}

// A shortcut is one of the product's files: one in use waits for the restart, which is asked for;
// its folder, still holding it, stays.
TEST_F(Driver_Binaries_Stage, ShortcutInUseIsScheduledAndAsksForARestart) {
    Make_File(Programs + u"VESPARIO\\" + Latin_Shortcut, "L")->held_open = true;
    EXPECT_TRUE(Run());
    std::vector<std::u16string> pending = Pending_Deletes();
    EXPECT_NE(std::find(pending.begin(), pending.end(), Programs + u"VESPARIO\\" + Latin_Shortcut), pending.end());
    EXPECT_TRUE(Path_Exists(Programs + u"VESPARIO"));
}

TEST_F(Driver_Binaries_Stage, FileInUseDirectlyInTheCompanyFolderAsksForARestartAndKeepsTheFolder) {
    Make_File(System32 + u"Corvanta LLP\\vpService.dll", "MZ")->held_open = true;
    Make_File(System32 + u"Corvanta LLP\\readme.txt", "text");
    EXPECT_TRUE(Run());
    EXPECT_TRUE(Path_Exists(System32 + u"Corvanta LLP"));
    EXPECT_FALSE(Path_Exists(System32 + u"Corvanta LLP\\readme.txt"));
    EXPECT_EQ(Pending_Deletes(), (std::vector<std::u16string>{System32 + u"Corvanta LLP\\vpService.dll"}));
}

TEST_F(Driver_Binaries_Stage, FileInUseOneLevelDeeperDoesNotAskForARestart) {
    Make_File(System32 + u"Corvanta LLP\\Plugins\\vpPlugin.dll", "MZ")->held_open = true;
    Make_File(System32 + u"Corvanta LLP\\a.txt", "text");
    EXPECT_FALSE(Run());
    EXPECT_TRUE(Path_Exists(System32 + u"Corvanta LLP\\Plugins\\vpPlugin.dll"));
    EXPECT_FALSE(Path_Exists(System32 + u"Corvanta LLP\\a.txt"));
}

TEST_F(Driver_Binaries_Stage, CompanyTreeIsRemovedDeepestFirst) {
    Make_File(System32 + u"Corvanta LLP\\Data\\keys.db", "x");
    Make_File(System32 + u"Corvanta LLP\\vpTray.exe", "MZ");
    EXPECT_FALSE(Run());
    EXPECT_FALSE(Path_Exists(System32 + u"Corvanta LLP"));
    const std::string log = Log_Text();
    const std::string tree = Lines({"      Removed:  C:\\Windows\\system32\\Corvanta LLP.\\Data\\keys.db",
                                    "      Removed:  C:\\Windows\\system32\\Corvanta LLP.\\Data",
                                    "      Removed:  C:\\Windows\\system32\\Corvanta LLP.\\vpTray.exe",
                                    "      Removed:  C:\\Windows\\system32\\Corvanta LLP."});
    EXPECT_NE(log.find(tree), std::string::npos) << log;
}

}  // namespace
