// The maker's settings and the installer registration operations on the simulated registry: exact
// log lines and the registry afterwards.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "diagnostics/Log_Report.h"
#include "machine/machine.h"
#include "primitives/Check_Changes.h"
#include "registry/Installer_Registration.h"
#include "registry/Vendor_Settings.h"
#include "test_support.h"

using winsim::The_Machine;

namespace {

const std::u16string Uninstall = u"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\";
const std::u16string Wow64_Uninstall = u"SOFTWARE\\Wow6432Node\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\";
const std::u16string Components = u"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Installer\\UserData\\S-1-5-18\\Components\\";
const std::u16string Classes = u"SOFTWARE\\Classes\\";
const std::u16string Product = u"4EC1AA496A240B9419E0F5CAC3D5076F";
const std::u16string Other_Product = u"0B96A7011E76FAE49244937C20C9F474";
const std::u16string Upgrade = u"14A7E2B5C3D981F46A2EC3D7B1F9A048";
const std::u16string Code = u"{94AA1CE4-42A6-49B0-910E-5FAC3C5D70F6}";

class Installer_Registration : public Log_Test {
protected:
    winsim::Reg_Key* Key(const std::u16string& path) { return Make_Key(The_Machine().hklm, path); }
    bool Exists(const std::u16string& path) { return Find_Key(The_Machine().hklm, path) != nullptr; }
    void Entry(const std::u16string& path, const std::u16string& value, const std::u16string& text) {
        Key(path)->Set_Value(value, REG_SZ, Utf16_Bytes(text));
    }
    Removal_Findings findings;
};

TEST_F(Installer_Registration, MakersKeyGoesWholeFromBothBranchesAndTheUserButNotItsNearMiss) {
    Key(u"SOFTWARE\\Corvanta LLP.\\VESPARIO\\Drivers");
    Key(u"SOFTWARE\\Corvanta LLP.\\Other Product");
    Key(u"SOFTWARE\\Wow6432Node\\Corvanta LLP.\\VESPARIO");
    Key(u"SOFTWARE\\Corvanta LLP");
    Make_Key(The_Machine().hkcu, u"SOFTWARE\\Corvanta LLP.\\VESPARIO\\vpControlPanel");
    Unregister_Settings();
    EXPECT_EQ(Log_Text(), Lines({"   Unregistering settings in HKEY_LOCAL_MACHINE...",
                                 "      Deleting registry keys in path (KEY_SET_VALUE):  SOFTWARE",
                                 "         Deleting registry key:  Corvanta LLP.\\Other Product",
                                 "         Deleting registry key:  Corvanta LLP.\\VESPARIO\\Drivers",
                                 "         Deleting registry key:  Corvanta LLP.\\VESPARIO",
                                 "         Deleting registry key:  Corvanta LLP.",
                                 "      Deleting registry keys in path (KEY_SET_VALUE | KEY_WOW64_32KEY):  SOFTWARE",
                                 "         Deleting registry key:  Corvanta LLP.\\VESPARIO",
                                 "         Deleting registry key:  Corvanta LLP.",
                                 "   Unregistering settings in HKEY_CURRENT_USER...",
                                 "      Deleting registry keys in path (KEY_SET_VALUE):  SOFTWARE",
                                 "         Deleting registry key:  Corvanta LLP.\\VESPARIO\\vpControlPanel",
                                 "         Deleting registry key:  Corvanta LLP.\\VESPARIO",
                                 "         Deleting registry key:  Corvanta LLP.",
                                 "      Deleting registry keys in path (KEY_SET_VALUE | KEY_WOW64_32KEY):  SOFTWARE",
                                 "   Settings unregistered."}));
    EXPECT_FALSE(Exists(u"SOFTWARE\\Corvanta LLP."));
    EXPECT_FALSE(Exists(u"SOFTWARE\\Wow6432Node\\Corvanta LLP."));
    EXPECT_TRUE(Exists(u"SOFTWARE\\Corvanta LLP"));
    EXPECT_EQ(Find_Key(The_Machine().hkcu, u"SOFTWARE\\Corvanta LLP."), nullptr);
}

// The product's value goes from every component key; a key that other products still use stays
// with their values.
TEST_F(Installer_Registration, ProductRegistrationGoesAndSharedComponentsKeepOtherProducts) {
    Key(Classes + u"Installer\\Features\\" + Product)->Set_Value(u"Main", REG_SZ, Utf16_Bytes(u""));
    Entry(Components + u"AAAA0000000000000000000000000001", Product, u"C:\\Windows\\system32\\vpAPI.dll");
    Entry(Components + u"BBBB0000000000000000000000000002", Product, u"C:\\Windows\\system32\\orbis.dll");
    Entry(Components + u"BBBB0000000000000000000000000002", Other_Product, u"C:\\Windows\\system32\\orbis.dll");
    Entry(Components + u"CCCC0000000000000000000000000003", Other_Product, u"C:\\Other\\a.dll");
    Key(Classes + u"Installer\\Products\\" + Product + u"\\SourceList");
    Key(u"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Installer\\UserData\\S-1-5-18\\Products\\" + Product);
    Key(Uninstall + Code);
    Key(Wow64_Uninstall + Code);
    Key(Classes + u"Installer\\Dependencies\\" + Code + u"\\Dependents");
    Key(Classes + u"Installer\\UpgradeCodes\\" + Upgrade);
    Key(u"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Installer\\UpgradeCodes\\" + Upgrade);
    Key(Classes + u"Installer\\Products\\" + Other_Product);

    Lib_Result result;
    EXPECT_TRUE(Remove_Features_And_Components_From_Registry(Lib_StringW(Product.c_str()), findings, result));
    EXPECT_TRUE(Remove_Product_Registration(Lib_StringW(Product.c_str()), Lib_StringW(Upgrade.c_str()),
                                            Lib_StringW(Code.c_str()), result));
    const std::string components = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Installer\\UserData\\S-1-5-18\\Components\\";
    EXPECT_EQ(Log_Text(),
              Lines({"   Deleting registry key:  Installer\\Features\\4EC1AA496A240B9419E0F5CAC3D5076F\\",
                     "   Deleting registry value:  4EC1AA496A240B9419E0F5CAC3D5076F", "REGSAM:  0(0x0)",
                     "   Deleting registry key:  " + components + "AAAA0000000000000000000000000001\\",
                     "   Deleting registry value:  4EC1AA496A240B9419E0F5CAC3D5076F", "REGSAM:  0(0x0)",
                     "   Deleting registry key:  Installer\\Products\\4EC1AA496A240B9419E0F5CAC3D5076F\\SourceList",
                     "   Deleting registry key:  Installer\\Products\\4EC1AA496A240B9419E0F5CAC3D5076F\\",
                     "   Deleting registry key:  SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Installer\\UserData\\"
                     "S-1-5-18\\Products\\4EC1AA496A240B9419E0F5CAC3D5076F\\",
                     "   Deleting registry key:  SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\"
                     "{94AA1CE4-42A6-49B0-910E-5FAC3C5D70F6}\\",
                     "   Deleting registry key:  SOFTWARE\\Wow6432Node\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\"
                     "{94AA1CE4-42A6-49B0-910E-5FAC3C5D70F6}\\",
                     "   Deleting registry key:  Installer\\Dependencies\\{94AA1CE4-42A6-49B0-910E-5FAC3C5D70F6}\\Dependents",
                     "   Deleting registry key:  Installer\\Dependencies\\{94AA1CE4-42A6-49B0-910E-5FAC3C5D70F6}",
                     "   Deleting registry key:  Installer\\UpgradeCodes\\14A7E2B5C3D981F46A2EC3D7B1F9A048\\",
                     "   Deleting registry key:  SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Installer\\UpgradeCodes\\"
                     "14A7E2B5C3D981F46A2EC3D7B1F9A048\\"}));
    EXPECT_FALSE(Exists(Components + u"AAAA0000000000000000000000000001"));
    winsim::Reg_Key* shared = Find_Key(The_Machine().hklm, Components + u"BBBB0000000000000000000000000002");
    ASSERT_NE(shared, nullptr);
    EXPECT_EQ(shared->Find_Value(Product), nullptr);
    EXPECT_NE(shared->Find_Value(Other_Product), nullptr);
    EXPECT_TRUE(Exists(Components + u"CCCC0000000000000000000000000003"));
    EXPECT_TRUE(Exists(Classes + u"Installer\\Products\\" + Other_Product));
    for (const std::u16string& gone :
         {Classes + u"Installer\\Features\\" + Product, Classes + u"Installer\\Products\\" + Product,
          Uninstall + Code, Wow64_Uninstall + Code, Classes + u"Installer\\Dependencies\\" + Code,
          Classes + u"Installer\\UpgradeCodes\\" + Upgrade}) {
        EXPECT_FALSE(Exists(gone)) << winsim::To_Utf8(gone);
    }
    EXPECT_EQ(result.Get_Code(), 0);
}

TEST_F(Installer_Registration, EmptyCodesTouchNothingAndAFailedComponentListingEndsWithTheExitLine) {
    Key(Uninstall + u"{D31C5999-DC0F-4449-9558-FC927AD644A2}");
    Key(Classes + u"Installer\\Features\\" + Product);
    Entry(Components + u"AAAA0000000000000000000000000001", Product, u"x");
    Lib_Result result;
    EXPECT_TRUE(Remove_Features_And_Components_From_Registry(Lib_StringW(), findings, result));
    EXPECT_TRUE(Remove_Product_Registration(Lib_StringW(), Lib_StringW(),
                                            Lib_StringW(TEXT("{D31C5999-DC0F-4449-9558-FC927AD644A2}")), result));
    The_Machine().Add_Fault("RegEnumKeyExW", 1, ERROR_ACCESS_DENIED, u"Components");
    EXPECT_TRUE(Remove_Features_And_Components_From_Registry(Lib_StringW(Product.c_str()), findings, result));
    EXPECT_EQ(Log_Text(),
              Exit_Line("", "Remove_Features_And_Components_From_Registry") +
                  Lines({"   Deleting registry key:  SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\"
                         "{D31C5999-DC0F-4449-9558-FC927AD644A2}\\",
                         "   Deleting registry key:  Installer\\Features\\4EC1AA496A240B9419E0F5CAC3D5076F\\"}) +
                  Error_Report("", "RegEnumKeyEx", 5) + Exit_Line("", "Enum_Sub_Keys_And_Values_In_Registry_Key") +
                  Exit_Line("", "Remove_Features_And_Components_From_Registry"));
    EXPECT_TRUE(Exists(Components + u"AAAA0000000000000000000000000001"));
    EXPECT_EQ(result.Get_Code(), 5);
    // The Components key listed, then not opened for the component keys' values.
    Clear_Log();
    The_Machine().Add_Fault("RegOpenKeyExW", 2, ERROR_ACCESS_DENIED, u"Components");
    EXPECT_TRUE(Remove_Features_And_Components_From_Registry(Lib_StringW(Product.c_str()), findings, result));
    EXPECT_EQ(Log_Text(), Error_Report("", "RegOpenKeyEx", 5) +
                              Exit_Line("", "Remove_Features_And_Components_From_Registry"));
    EXPECT_TRUE(Exists(Components + u"AAAA0000000000000000000000000001"));
}

// Only the exact display name matches, either of the two, in one walk of each view (the entries' order,
// whatever their language); a match in one view takes its twin of the other view with it. A name the
// entries' one reading could not read is read again by the stage, and so is one it found: one the stage
// deleted since (a twin) is passed over. The reading's 32-bit listing fails once: reported, the stage
// lists that view itself.
TEST_F(Installer_Registration, UninstallSweepMatchesExactNamesInBothViews) {
    Entry(Uninstall + u"{A}", u"DisplayName", u"VESPARIO Drivers");
    Entry(Wow64_Uninstall + u"{A}", u"DisplayName", u"Something Else");
    Entry(Uninstall + u"{B}", u"DisplayName", u"VESPARIO Drivers ");
    Entry(Uninstall + u"{C}", u"DisplayName", u"vespario drivers");
    Entry(Wow64_Uninstall + u"{D}", u"DisplayName", u"VESPARIO Drivers");
    Entry(Wow64_Uninstall + u"{E}", u"DisplayName", u"Драйверы VESPARIO");
    Key(Uninstall + u"{F}");
    Entry(Uninstall + u"{H}", u"DisplayName", u"Драйверы VESPARIO");
    The_Machine().Add_Fault("RegQueryValueExW", 1, ERROR_ACCESS_DENIED, u"{H}");
    EXPECT_TRUE(Clean_Uninstall_Keys());
    const std::string uninstall = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\";
    EXPECT_EQ(Log_Text(), Lines({"   Clean Uninstall Key from HKEY_LOCAL_MACHINE\\",
                                 "         Deleting registry keys in path (KEY_SET_VALUE):  " + uninstall,
                                 "            Deleting registry key:  {A}",
                                 "         Deleting registry keys in path (KEY_SET_VALUE | KEY_WOW64_32KEY):  " + uninstall,
                                 "            Deleting registry key:  {A}",
                                 "         Deleting registry keys in path (KEY_SET_VALUE):  " + uninstall,
                                 "            Deleting registry key:  {H}",
                                 "         Deleting registry keys in path (KEY_SET_VALUE | KEY_WOW64_32KEY):  " + uninstall,
                                 "         Deleting registry keys in path (KEY_SET_VALUE):  " + uninstall,
                                 "         Deleting registry keys in path (KEY_SET_VALUE | KEY_WOW64_32KEY):  " + uninstall,
                                 "            Deleting registry key:  {D}",
                                 "         Deleting registry keys in path (KEY_SET_VALUE):  " + uninstall,
                                 "         Deleting registry keys in path (KEY_SET_VALUE | KEY_WOW64_32KEY):  " + uninstall,
                                 "            Deleting registry key:  {E}",
                                 "   Clean Uninstall Key from registry finished."}));
    EXPECT_FALSE(Exists(Uninstall + u"{A}"));
    EXPECT_FALSE(Exists(Wow64_Uninstall + u"{A}"));
    EXPECT_FALSE(Exists(Wow64_Uninstall + u"{D}"));
    EXPECT_FALSE(Exists(Wow64_Uninstall + u"{E}"));
    EXPECT_FALSE(Exists(Uninstall + u"{H}"));
    for (const char16_t* stays : {u"{B}", u"{C}", u"{F}"}) EXPECT_TRUE(Exists(Uninstall + stays));

    Reset_Indentation();
    Clear_Log();
    Entry(Wow64_Uninstall + u"{G}", u"DisplayName", u"VESPARIO Drivers");
    The_Machine().Add_Fault("RegOpenKeyExW", 1, ERROR_ACCESS_DENIED, u"Wow6432Node\\Microsoft\\Windows\\CurrentVersion\\Uninstall");
    EXPECT_TRUE(Clean_Uninstall_Keys());
    EXPECT_EQ(Log_Text(), Lines({"   Clean Uninstall Key from HKEY_LOCAL_MACHINE\\"}) +
                              Error_Report("   ", "RegOpenKeyEx", 5) +
                              Lines({"         Deleting registry keys in path (KEY_SET_VALUE):  " + uninstall,
                                     "         Deleting registry keys in path (KEY_SET_VALUE | KEY_WOW64_32KEY):  " + uninstall,
                                     "            Deleting registry key:  {G}",
                                     "   Clean Uninstall Key from registry finished."}));
    EXPECT_FALSE(Exists(Wow64_Uninstall + u"{G}"));
}

// Deployments match either display name; dependency keys only the English one.
TEST_F(Installer_Registration, DeploymentsAndDependenciesByDisplayName) {
    const std::u16string app_mgmt = u"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Group Policy\\AppMgmt\\";
    Entry(app_mgmt + u"{1}", u"Deployment Name", u"VESPARIO Drivers");
    Entry(app_mgmt + u"{2}", u"Deployment Name", u"Драйверы VESPARIO");
    Entry(app_mgmt + u"{3}", u"Deployment Name", u"Lumenleaf PDF Reader");
    Entry(Classes + u"Installer\\Dependencies\\{4}", u"DisplayName", u"VESPARIO Drivers");
    Entry(Classes + u"Installer\\Dependencies\\{5}", u"DisplayName", u"Драйверы VESPARIO");
    EXPECT_TRUE(Remove_Deployment_Product());
    EXPECT_TRUE(Clean_Installer_Dependencies());
    const std::string app = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Group Policy\\AppMgmt";
    EXPECT_EQ(Log_Text(), Lines({"   Removing Deployment_Product from HKEY_LOCAL_MACHINE\\...",
                                 "      Deleting registry keys in path (KEY_SET_VALUE):  " + app,
                                 "         Deleting registry key:  {1}",
                                 "      Deleting registry keys in path (KEY_SET_VALUE | KEY_WOW64_32KEY):  " + app,
                                 "      Deleting registry keys in path (KEY_SET_VALUE):  " + app,
                                 "         Deleting registry key:  {2}",
                                 "      Deleting registry keys in path (KEY_SET_VALUE | KEY_WOW64_32KEY):  " + app,
                                 "   Removing Deployment Product from registry finished.",
                                 "   Clean Installer Dependencies from HKEY_LOCAL_MACHINE\\",
                                 "         Deleting registry keys in path (KEY_SET_VALUE):  SOFTWARE\\Classes\\Installer\\Dependencies",
                                 "            Deleting registry key:  {4}",
                                 "         Deleting registry keys in path (KEY_SET_VALUE | KEY_WOW64_32KEY):  SOFTWARE\\Classes\\Installer\\Dependencies",
                                 "   Clean Installer Dependencies from HKEY_CLASSES_ROOT\\",
                                 "   Clean Installer Dependencies from registry finished."}));
    EXPECT_TRUE(Exists(app_mgmt + u"{3}"));
    EXPECT_TRUE(Exists(Classes + u"Installer\\Dependencies\\{5}"));
    EXPECT_FALSE(Exists(Classes + u"Installer\\Dependencies\\{4}"));
}

// Names are matched lower-cased and logged lower-cased; values go without a log line.
TEST_F(Installer_Registration, SubkeysAndValuesCarryingTheMarkerInAnyCaseGo) {
    const std::u16string folders = u"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Installer\\Folders\\";
    winsim::Reg_Key* key = Key(folders);
    for (const char16_t* value : {u"C:\\Program Files\\VESPARIO\\", u"C:\\Program Files\\Corvanta LLP.\\",
                                  u"C:\\Other\\", u"C:\\ProgramData\\ВЕСПАРИО\\"}) {
        key->Set_Value(value, REG_SZ, Utf16_Bytes(u""));
    }
    Key(folders + u"My VESPARIO Tools");
    // Values are seen in the native view only; a name seen there goes from both views.
    winsim::Reg_Key* wow64_key = Key(u"SOFTWARE\\Wow6432Node\\Microsoft\\Windows\\CurrentVersion\\Installer\\Folders");
    wow64_key->Set_Value(u"C:\\Program Files\\VESPARIO\\", REG_SZ, Utf16_Bytes(u""));
    wow64_key->Set_Value(u"C:\\VESPARIO32\\", REG_SZ, Utf16_Bytes(u""));
    Lib_Result result;
    EXPECT_TRUE(Clean_Subkeys(HKEY_LOCAL_MACHINE, TEXT("SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Installer\\Folders\\"),
                              TEXT("vespario"), result));
    EXPECT_EQ(Log_Text(),
              Lines({"   Cleaning subkeys...",
                     "      Deleting registry keys in path (KEY_SET_VALUE):  SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Installer\\Folders\\",
                     "         Deleting registry key:  my vespario tools",
                     "      Deleting registry keys in path (KEY_SET_VALUE | KEY_WOW64_32KEY):  SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Installer\\Folders\\",
                     "   Cleaning subkeys from registry finished."}));
    EXPECT_FALSE(Exists(folders + u"My VESPARIO Tools"));
    EXPECT_EQ(key->Find_Value(u"C:\\Program Files\\VESPARIO\\"), nullptr);
    EXPECT_NE(key->Find_Value(u"C:\\Program Files\\Corvanta LLP.\\"), nullptr);
    EXPECT_NE(key->Find_Value(u"C:\\Other\\"), nullptr);
    EXPECT_NE(key->Find_Value(u"C:\\ProgramData\\ВЕСПАРИО\\"), nullptr);
    EXPECT_EQ(wow64_key->Find_Value(u"C:\\Program Files\\VESPARIO\\"), nullptr);
    EXPECT_NE(wow64_key->Find_Value(u"C:\\VESPARIO32\\"), nullptr);
}

// When the machine's classes key cannot be opened, the open is reported and the Installer keys below
// it stay; what lies elsewhere still goes. The fault hits the nth open whose path holds
// "SOFTWARE\Classes": the classes key's own (the dependency cleaning first lists the machine's
// dependency keys and reads the one there, in both views).
TEST_F(Installer_Registration, MachineClassesThatCannotBeOpenedKeepTheirInstallerKeys) {
    const std::u16string user_data_product =
        u"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Installer\\UserData\\S-1-5-18\\Products\\" + Product;
    const std::vector<std::u16string> classes_keys = {
        Classes + u"Installer\\Features\\" + Product, Classes + u"Installer\\Products\\" + Product,
        Classes + u"Installer\\Dependencies\\" + Code, Classes + u"Installer\\UpgradeCodes\\" + Upgrade};
    struct Case {
        const char* operation;
        unsigned nth;
        std::function<void(Lib_Result&)> run;
        std::string log;
        std::vector<std::u16string> gone;  // of the keys outside the classes
    };
    const std::string components = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Installer\\UserData\\S-1-5-18\\Components\\";
    const Case cases[] = {
        {"features and components", 1,
         [&](Lib_Result& result) {
             Removal_Findings findings;
             Remove_Features_And_Components_From_Registry(Lib_StringW(Product.c_str()), findings, result);
         },
         Error_Report("", "RegOpenKeyEx", 5) +
             Lines({"   Deleting registry value:  4EC1AA496A240B9419E0F5CAC3D5076F", "REGSAM:  0(0x0)",
                    "   Deleting registry key:  " + components + "AAAA0000000000000000000000000001\\"}),
         {Components + u"AAAA0000000000000000000000000001"}},
        {"product registration", 1,
         [&](Lib_Result& result) {
             Remove_Product_Registration(Lib_StringW(Product.c_str()), Lib_StringW(Upgrade.c_str()),
                                         Lib_StringW(Code.c_str()), result);
         },
         Error_Report("", "RegOpenKeyEx", 5) +
             Lines({"   Deleting registry key:  SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Installer\\UserData\\"
                    "S-1-5-18\\Products\\4EC1AA496A240B9419E0F5CAC3D5076F\\",
                    "   Deleting registry key:  SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\"
                    "{94AA1CE4-42A6-49B0-910E-5FAC3C5D70F6}\\"}),
         {user_data_product, Uninstall + Code}},
        {"dependency cleaning", 5, [](Lib_Result&) { Clean_Installer_Dependencies(); },
         Lines({"   Clean Installer Dependencies from HKEY_LOCAL_MACHINE\\",
                "   Clean Installer Dependencies from HKEY_CLASSES_ROOT\\"}) +
             Error_Report("   ", "RegOpenKeyEx", 5) + Lines({"   Clean Installer Dependencies from registry finished."}),
         {}},
    };
    for (const Case& row : cases) {
        SetUp();
        for (const std::u16string& path : classes_keys) Key(path);
        Entry(Classes + u"Installer\\Dependencies\\" + Code, u"DisplayName", u"Lumenleaf PDF Reader");
        Entry(Components + u"AAAA0000000000000000000000000001", Product, u"C:\\Windows\\system32\\vpAPI.dll");
        Key(user_data_product);
        Key(Uninstall + Code);
        The_Machine().Add_Fault("RegOpenKeyExW", row.nth, ERROR_ACCESS_DENIED, u"SOFTWARE\\Classes");
        Lib_Result result;
        row.run(result);
        EXPECT_EQ(Log_Text(), row.log) << row.operation;
        for (const std::u16string& path : classes_keys) EXPECT_TRUE(Exists(path)) << row.operation;
        for (const std::u16string& path : {user_data_product, Uninstall + Code, Components + u"AAAA0000000000000000000000000001"}) {
            bool expected_gone = std::find(row.gone.begin(), row.gone.end(), path) != row.gone.end();
            EXPECT_EQ(Exists(path), !expected_gone) << row.operation << " " << winsim::To_Utf8(path);
        }
    }
}

TEST(Installer_Codes, PackedAndBracedFormsAreRecognisedExactly) {
    EXPECT_TRUE(Is_Packed_Code(Lib_StringW(TEXT("14A7E2B5C3D981F46A2EC3D7B1F9A048"))));
    EXPECT_TRUE(Is_Packed_Code(Lib_StringW(TEXT("14a7e2b5c3d981f46a2ec3d7b1f9a048"))));
    EXPECT_FALSE(Is_Packed_Code(Lib_StringW(TEXT("14A7E2B5C3D981F46A2EC3D7B1F9A04"))));
    EXPECT_FALSE(Is_Packed_Code(Lib_StringW(TEXT("14A7E2B5C3D981F46A2EC3D7B1F9A04\\"))));
    EXPECT_FALSE(Is_Packed_Code(Lib_StringW(TEXT("14A7E2B5C3D981F46A2EC3D7B1F9A0G8"))));
    EXPECT_FALSE(Is_Packed_Code(Lib_StringW()));
    EXPECT_TRUE(Is_Braced_Code(Lib_StringW(TEXT("{94AA1CE4-42A6-49B0-910E-5FAC3C5D70F6}"))));
    EXPECT_FALSE(Is_Braced_Code(Lib_StringW(TEXT("{94AA1CE4-42A6-49B0-910E-5FAC3C5D70F6"))));
    EXPECT_FALSE(Is_Braced_Code(Lib_StringW(TEXT("{94AA1CE4-42A6-49B0-910E\\5FAC3C5D70F6}"))));
    EXPECT_FALSE(Is_Braced_Code(Lib_StringW(TEXT("(94AA1CE4-42A6-49B0-910E-5FAC3C5D70F6)"))));
}

}  // namespace

namespace {

// The check after a removal tests a component key the removal took one version's value from for
// emptiness only, for that version; the value of another version that the removal failed to delete
// is still found there (and with it the key, which then counts as empty), and a key the removal left
// empty is the product's leftover.
TEST_F(Installer_Registration, CheckAfterTheRemovalFindsWhatItsComponentDeletionsLeft) {
    const std::u16string shared = Components + u"AAAA0000000000000000000000000001\\";
    const std::u16string emptied = Components + u"AAAA0000000000000000000000000002\\";
    Entry(shared, Other_Product, u"x");  // the other version's value, left by a failed deletion
    Key(emptied);                        // left empty by a failed key deletion
    Key(u"SOFTWARE\\Classes");
    auto emptied_by_removal = [](const std::u16string& path) { return path + u'\0' + Product; };
    findings.emptied_components = {emptied_by_removal(shared), emptied_by_removal(emptied)};
    Quiet_Log quiet;
    Check_Changes check;
    {
        Changes_In_Force in_force(check);
        Lib_Result result;
        EXPECT_TRUE(Remove_Features_And_Components_From_Registry(Lib_StringW(Product.c_str()), findings, result));
        EXPECT_TRUE(Remove_Features_And_Components_From_Registry(Lib_StringW(Other_Product.c_str()), findings, result));
    }
    std::vector<std::string> items;
    for (const Lib_StringW& item : check.Items()) items.push_back(winsim::To_Utf8(item.Get_Text()));
    const std::string components = "HKEY_LOCAL_MACHINE\\" + winsim::To_Utf8(Components.c_str());
    EXPECT_EQ(items, (std::vector<std::string>{components + "AAAA0000000000000000000000000002\\",
                                               "value \"0B96A7011E76FAE49244937C20C9F474\" of " + components +
                                                   "AAAA0000000000000000000000000001\\",
                                               components + "AAAA0000000000000000000000000001\\"}));
    EXPECT_EQ(quiet.Error_Reports(), 0u);
    EXPECT_TRUE(Exists(shared.substr(0, shared.size() - 1)));
}

// A removal that read every component key hands its check the keys the product's value was in: the
// check looks again at those alone, and finds there the value a failed deletion left. A removal that
// could not read one key hands none, and its check reads every key again.
TEST_F(Installer_Registration, CheckAfterAWholeReadingLooksOnlyWhereTheValueWas) {
    const std::u16string shared = Components + u"AAAA0000000000000000000000000001";
    const std::u16string other = Components + u"AAAA0000000000000000000000000002";
    const std::u16string own = Components + u"AAAA0000000000000000000000000003";
    for (const bool read_fails : {false, true}) {
        SCOPED_TRACE(read_fails ? "one read failed" : "all read");
        The_Machine().Reset();
        findings = Removal_Findings();
        Entry(shared, Product, u"x");
        Entry(shared, Other_Product, u"y");
        Entry(other, Other_Product, u"z");
        Entry(own, Product, u"w");
        Key(u"SOFTWARE\\Classes");
        The_Machine().Add_Fault("RegDeleteValueW", 1, ERROR_ACCESS_DENIED, u"AAAA0000000000000000000000000001");
        if (read_fails) The_Machine().Add_Fault("RegQueryValueExW", 1, ERROR_ACCESS_DENIED, u"AAAA0000000000000000000000000002");
        Lib_Result result;
        EXPECT_TRUE(Remove_Features_And_Components_From_Registry(Lib_StringW(Product.c_str()), findings, result));
        EXPECT_FALSE(Exists(own));
        EXPECT_EQ(findings.components_read.size(), read_fails ? 0u : 1u);

        Quiet_Log quiet;
        Check_Changes check;
        The_Machine().trace_apis = true;
        The_Machine().api_trace.clear();
        {
            Changes_In_Force in_force(check);
            EXPECT_TRUE(Remove_Features_And_Components_From_Registry(Lib_StringW(Product.c_str()), findings, result));
        }
        The_Machine().trace_apis = false;
        const auto& calls = The_Machine().api_trace;
        EXPECT_EQ(std::count(calls.begin(), calls.end(), "RegEnumKeyExW"), read_fails ? 2 : 0);
        std::vector<std::string> items;
        for (const Lib_StringW& item : check.Items()) items.push_back(winsim::To_Utf8(item.Get_Text()));
        EXPECT_EQ(items, (std::vector<std::string>{"value \"4EC1AA496A240B9419E0F5CAC3D5076F\" of HKEY_LOCAL_MACHINE\\" +
                                                   winsim::To_Utf8(shared.c_str()) + "\\"}));
        EXPECT_EQ(quiet.Error_Reports(), 0u);
    }
}

}  // namespace
