// The shared-DLL, control-panel and reader registration cleanup on the simulated registry.
#include <gtest/gtest.h>

#include <string>

#include "machine/machine.h"
#include "registry/Shell_Registration.h"
#include "test_support.h"

using winsim::The_Machine;

namespace {

const std::u16string Shared_Dlls = u"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\SharedDLLs";
const std::u16string Wow64_Shared_Dlls = u"SOFTWARE\\Wow6432Node\\Microsoft\\Windows\\CurrentVersion\\SharedDLLs";

class Shell_Registration : public Log_Test {
protected:
    winsim::Reg_Key* Key(const std::u16string& path) { return Make_Key(The_Machine().hklm, path); }
    bool Exists(const std::u16string& path) { return Find_Key(The_Machine().hklm, path) != nullptr; }
    static void Count(winsim::Reg_Key* key, const std::u16string& path) { key->Set_Value(path, REG_DWORD, {1, 0, 0, 0}); }
};

// A value counts a binary when the last component of its path is the binary's name, in the same
// letter case. Value names are compared without regard to case by the registry itself, so the
// capitalised near-miss lives in another folder.
TEST_F(Shell_Registration, SharedDllValuesOfTheBinariesGoInBothViewsAndNearMissesStay) {
    winsim::Reg_Key* native = Key(Shared_Dlls);
    winsim::Reg_Key* wow64 = Key(Wow64_Shared_Dlls);
    const std::u16string survivors[] = {u"C:\\Program Files\\Other\\VPAPI.DLL", u"C:\\Program Files\\Acme\\acmevpLib.dll",
                                        u"C:\\Program Files\\Acme\\vpLib.dll.bak", u"C:\\vpErr.dll\\readme.txt",
                                        u"C:\\Program Files\\Acme\\vpLib.dl"};
    Count(native, u"C:\\WINDOWS\\system32\\vpAPI.dll");
    for (const std::u16string& path : survivors) Count(native, path);
    Count(native, u"C:/Tools/vpLib.dll");
    Count(wow64, u"C:\\WINDOWS\\SysWOW64\\vpCSP.sig");
    Lib_Result result;
    EXPECT_TRUE(Remove_Shared_Files_From_Registry(result));
    EXPECT_EQ(Log_Text(),
              Lines({"   Removing shared files from HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\SharedDLLs\\...",
                     "      Deleting registry value:  C:\\WINDOWS\\system32\\vpAPI.dll", "   REGSAM:  0(0x0)",
                     "      Deleting registry value:  C:/Tools/vpLib.dll", "   REGSAM:  0(0x0)",
                     "      Deleting registry value:  C:\\WINDOWS\\SysWOW64\\vpCSP.sig", "   REGSAM:  512(0x200)",
                     "   Removing shared files from SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\SharedDLLs\\ finished."}));
    EXPECT_EQ(native->values.size(), 5u);
    for (const std::u16string& path : survivors) EXPECT_NE(native->Find_Value(path), nullptr) << winsim::To_Utf8(path);
    EXPECT_TRUE(wow64->values.empty());
}

TEST_F(Shell_Registration, EmptySharedDllKeysAndAFailing32BitListing) {
    Key(Shared_Dlls);
    Key(Wow64_Shared_Dlls);
    Lib_Result result;
    EXPECT_TRUE(Remove_Shared_Files_From_Registry(result));
    The_Machine().Add_Fault("RegQueryInfoKeyW", 1, ERROR_ACCESS_DENIED, u"Wow6432Node");
    EXPECT_TRUE(Remove_Shared_Files_From_Registry(result));
    const std::string opening =
        "   Removing shared files from HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\SharedDLLs\\...";
    EXPECT_EQ(Log_Text(),
              Lines({opening, "   Shared files are missing.", "   Shared files are missing for KEY_WOW64_32KEY.",
                     "   Removing shared files from SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\SharedDLLs\\ finished.",
                     opening, "   Shared files are missing."}) +
                  Error_Report("", "RegQueryInfoKey", 5) + Exit_Line("", "Enum_Sub_Keys_And_Values_In_Registry_Key") +
                  Exit_Line("", "Remove_Shared_Files_From_Registry"));
    EXPECT_EQ(result.Get_Code(), 5);
}

TEST_F(Shell_Registration, ControlPanelClassesNameSpacesAndSettingsGo) {
    Key(u"SOFTWARE\\Classes\\CLSID\\{D41B8E6C-25F7-4c9a-8E53-1A6F0B7C9D24}\\Shell\\Open");
    Key(u"SOFTWARE\\Classes\\CLSID\\{D41B8E6C-25F7-4C9A-8E53-1A6F0B7C9D25}");
    Key(u"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Explorer\\ControlPanel\\NameSpace\\"
        u"{FFFFFFFF-FFFF-FFFF-FFFF-FFFFFFFFFFFF}");
    Make_Key(The_Machine().hkcu, u"SOFTWARE\\Corvanta LLP.\\VESPARIO\\vpControlPanel\\Window");
    Lib_Result result;
    EXPECT_TRUE(Remove_Control_Panel(result));
    EXPECT_EQ(Log_Text(),
              Lines({"   Removing ControlPanel from registry HKEY_CLASSES_ROOT\\...",
                     "      Deleting registry key:  CLSID\\{D41B8E6C-25F7-4c9a-8E53-1A6F0B7C9D24}\\Shell\\Open",
                     "      Deleting registry key:  CLSID\\{D41B8E6C-25F7-4c9a-8E53-1A6F0B7C9D24}\\Shell",
                     "      Deleting registry key:  CLSID\\{D41B8E6C-25F7-4c9a-8E53-1A6F0B7C9D24}\\",
                     "   Removing ControlPanel from registry HKEY_LOCAL_MACHINE\\...",
                     "   Removing ControlPanel from registry HKEY_CLASSES_ROOT\\...",
                     "   Removing ControlPanel from registry HKEY_LOCAL_MACHINE\\...",
                     "      Deleting registry key:  SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Explorer\\ControlPanel\\"
                     "NameSpace\\{FFFFFFFF-FFFF-FFFF-FFFF-FFFFFFFFFFFF}\\",
                     "   Removing ControlPanel from registry HKEY_CURRENT_USER\\...",
                     "      Deleting registry key:  SOFTWARE\\Corvanta LLP.\\VESPARIO\\vpControlPanel\\Window",
                     "      Deleting registry key:  SOFTWARE\\Corvanta LLP.\\VESPARIO\\vpControlPanel",
                     "   Removing ControlPanel from registry finished."}));
    EXPECT_FALSE(Exists(u"SOFTWARE\\Classes\\CLSID\\{D41B8E6C-25F7-4c9a-8E53-1A6F0B7C9D24}"));
    EXPECT_TRUE(Exists(u"SOFTWARE\\Classes\\CLSID\\{D41B8E6C-25F7-4C9A-8E53-1A6F0B7C9D25}"));
    EXPECT_NE(Find_Key(The_Machine().hkcu, u"SOFTWARE\\Corvanta LLP.\\VESPARIO"), nullptr);
}

TEST_F(Shell_Registration, ReadersNamedAfterTheProductOrMakerGoUnlessExcluded) {
    const std::u16string readers = u"SOFTWARE\\Microsoft\\Cryptography\\Calais\\Readers\\";
    for (const char16_t* reader : {u"CORVANTA Virtual 0", u"Halvorsen CCID Reader 0", u"Tessarin VESPARIO Bridge 0",
                                   u"VESPARIO lite 0", u"vespario TESSARIN 1"}) {
        Key(readers + reader);
    }
    Lib_Result result;
    EXPECT_TRUE(Remove_Calais_Readers(result));
    const std::string path = "SOFTWARE\\Microsoft\\Cryptography\\Calais\\Readers";
    EXPECT_EQ(Log_Text(), Lines({"   Removing Calais Readers from HKEY_LOCAL_MACHINE\\...",
                                 "   Deleting registry keys in path (KEY_SET_VALUE):  " + path,
                                 "      Deleting registry key:  corvanta virtual 0",
                                 "   Deleting registry keys in path (KEY_SET_VALUE | KEY_WOW64_32KEY):  " + path,
                                 "   Deleting registry keys in path (KEY_SET_VALUE):  " + path,
                                 "      Deleting registry key:  vespario lite 0",
                                 "   Deleting registry keys in path (KEY_SET_VALUE | KEY_WOW64_32KEY):  " + path,
                                 "   Removing Calais Readers from registry finished."}));
    EXPECT_FALSE(Exists(readers + u"CORVANTA Virtual 0"));
    EXPECT_FALSE(Exists(readers + u"VESPARIO lite 0"));
    for (const char16_t* stays : {u"Halvorsen CCID Reader 0", u"Tessarin VESPARIO Bridge 0", u"vespario TESSARIN 1"}) {
        EXPECT_TRUE(Exists(readers + stays));
    }
}

}  // namespace
