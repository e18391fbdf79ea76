// The installer identity discovery and the registry stage built on it, on the simulated registry:
// Windows Installer's answers come from the keys the tests plant under HKLM\SOFTWARE\Classes.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "machine/machine.h"
#include "registry/Installer_Identity.h"
#include "registry/Registry_Cleanup.h"
#include "test_support.h"

using winsim::The_Machine;

namespace {

const std::u16string Installer = u"SOFTWARE\\Classes\\Installer\\";
const std::u16string Uninstall = u"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\";
const std::u16string Upgrade_Key = Installer + u"UpgradeCodes\\14A7E2B5C3D981F46A2EC3D7B1F9A048";
const std::u16string Product = u"4EC1AA496A240B9419E0F5CAC3D5076F";  // {94AA1CE4-42A6-49B0-910E-5FAC3C5D70F6}
const std::u16string Bundle = u"{D31C5999-DC0F-4449-9558-FC927AD644A2}";
const std::u16string Second_Bundle = u"{E31C5999-DC0F-4449-9558-FC927AD644A2}";

// The log of the fixed cleanup plan on a machine where it finds nothing.
const std::string Plan_Log = Lines({
    "      Removing shared files from HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\SharedDLLs\\...",
    "      Shared files are missing.",
    "      Shared files are missing for KEY_WOW64_32KEY.",
    "      Removing shared files from SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\SharedDLLs\\ finished.",
    "      Removing ControlPanel from registry HKEY_CLASSES_ROOT\\...",
    "      Removing ControlPanel from registry HKEY_LOCAL_MACHINE\\...",
    "      Removing ControlPanel from registry HKEY_CLASSES_ROOT\\...",
    "      Removing ControlPanel from registry HKEY_LOCAL_MACHINE\\...",
    "      Removing ControlPanel from registry HKEY_CURRENT_USER\\...",
    "      Removing ControlPanel from registry finished.",
    "      Removing Calais Readers from HKEY_LOCAL_MACHINE\\...",
    "      Removing Calais Readers from registry finished.",
    "      Removing Deployment_Product from HKEY_LOCAL_MACHINE\\...",
    "      Removing Deployment Product from registry finished.",
    "      Clean Uninstall Key from HKEY_LOCAL_MACHINE\\",
    "      Clean Uninstall Key from registry finished.",
    "      Clean Installer Dependencies from HKEY_LOCAL_MACHINE\\",
    "      Clean Installer Dependencies from HKEY_CLASSES_ROOT\\",
    "      Clean Installer Dependencies from registry finished.",
    "      Cleaning subkeys...", "      Cleaning subkeys from registry finished.",
    "      Cleaning subkeys...", "      Cleaning subkeys from registry finished.",
    "      Cleaning subkeys...", "      Cleaning subkeys from registry finished.",
    "   Registry cleaned from drivers."});

class Installer_Identity : public Log_Test {
protected:
    winsim::Reg_Key* Key(const std::u16string& path) { return Make_Key(The_Machine().hklm, path); }
    bool Exists(const std::u16string& path) { return Find_Key(The_Machine().hklm, path) != nullptr; }
    void Text_Value(const std::u16string& path, const std::u16string& name, const std::u16string& text) {
        Key(path)->Set_Value(name, REG_SZ, Utf16_Bytes(text));
    }
    void Install_Product() {
        Text_Value(Upgrade_Key, Product, u"");
        Key(Installer + u"Products\\" + Product);
        Key(Installer + u"Features\\" + Product);
    }
    // The log of the discovery: everything before the fixed cleanup plan.
    static std::string Discovery_Log() {
        std::string log = Log_Text();
        size_t plan = log.find("Removing shared files from");
        return plan == std::string::npos ? log : log.substr(0, log.rfind('\n', plan) + 1);
    }
    static bool Debug_Output_Has(const std::u16string& text) {
        const auto& lines = The_Machine().debug_output;
        return std::any_of(lines.begin(), lines.end(),
                           [&](const std::u16string& line) { return line.find(text) != std::u16string::npos; });
    }
    static std::string Run() {
        Lib_StringW bundle_folder, product_folder;
        Removal_Findings findings;
        EXPECT_TRUE(Clean_Registry_From_Drivers(bundle_folder, product_folder, findings));
        return Discovery_Log();
    }
};

// The whole stage: the codes found, what hangs on them removed, the first bundle entry that carries
// the bundle upgrade code (in other letter case) removed and the later one left, the plan run in full.
TEST_F(Installer_Identity, FoundCodesAreRemovedAndTheWholePlanRuns) {
    Install_Product();
    Key(Uninstall + u"{94AA1CE4-42A6-49B0-910E-5FAC3C5D70F6}");
    Text_Value(Uninstall + u"{00000000-0000-0000-0000-0000000000A0}", u"BundleUpgradeCode", u"");
    Text_Value(Uninstall + Bundle, u"BundleUpgradeCode", u"{2a9f6e13-4b7c-4e85-9d20-b5c8e1f4a763}");
    Text_Value(Uninstall + Second_Bundle, u"BundleUpgradeCode", u"{2A9F6E13-4B7C-4E85-9D20-B5C8E1F4A763}");
    Lib_StringW bundle_folder, product_folder;
    Removal_Findings findings;
    EXPECT_TRUE(Clean_Registry_From_Drivers(bundle_folder, product_folder, findings));
    EXPECT_EQ(Log_Text(),
              Lines({"   Cleaning registry from drivers...",
                     "      Identification GUID for qnDrivers found:  4EC1AA496A240B9419E0F5CAC3D5076F",
                     "         Deleting registry key:  Installer\\Features\\4EC1AA496A240B9419E0F5CAC3D5076F\\",
                     "      Product ?ode for qnDrivers found:  {94AA1CE4-42A6-49B0-910E-5FAC3C5D70F6}",
                     "         Deleting registry key:  Installer\\Products\\4EC1AA496A240B9419E0F5CAC3D5076F\\",
                     "         Deleting registry key:  SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\"
                     "{94AA1CE4-42A6-49B0-910E-5FAC3C5D70F6}\\",
                     "         Deleting registry key:  Installer\\UpgradeCodes\\14A7E2B5C3D981F46A2EC3D7B1F9A048\\",
                     "      Product Code for BootStrap found:  {D31C5999-DC0F-4449-9558-FC927AD644A2}",
                     "         Deleting registry key:  SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\"
                     "{D31C5999-DC0F-4449-9558-FC927AD644A2}\\"}) +
                  Plan_Log);
    // The debugger output keeps the message's Cyrillic letter, which the log's code page cannot.
    EXPECT_TRUE(Debug_Output_Has(u"Product \u0421ode for qnDrivers found:  {94AA1CE4-42A6-49B0-910E-5FAC3C5D70F6}"));
    EXPECT_TRUE(Exists(Uninstall + Second_Bundle));
    EXPECT_TRUE(Exists(Uninstall + u"{00000000-0000-0000-0000-0000000000A0}"));
    EXPECT_FALSE(Exists(Installer + u"Products\\" + Product));
    EXPECT_EQ(Log_Get_Offset(), 0u);
}

TEST_F(Installer_Identity, MissingAndUnusableCodesSkipWhatNeedsThem) {
    // Registered under the upgrade code but not installed: Windows Installer answers 259.
    Text_Value(Upgrade_Key, Product, u"");
    Key(Installer + u"Features\\" + Product);
    const std::u16string user_data =
        u"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Installer\\UserData\\S-1-5-18\\Products\\" + Product;
    Key(user_data);
    EXPECT_EQ(Run(), Lines({"   Cleaning registry from drivers...",
                            "      Identification GUID for qnDrivers found:  4EC1AA496A240B9419E0F5CAC3D5076F",
                            "         Deleting registry key:  Installer\\Features\\4EC1AA496A240B9419E0F5CAC3D5076F\\",
                            "      Product ?ode for qnDrivers didn't found.",
                            "      Product Code for BootStrap wasn't found."}));
    EXPECT_TRUE(Debug_Output_Has(u"Product \u0421ode for qnDrivers didn't found."));
    EXPECT_TRUE(Exists(user_data));

    // Windows Installer fails: reported, and the product code stays unknown.
    Reset_Indentation();
    Clear_Log();
    Key(Installer + u"Products\\" + Product);
    The_Machine().Add_Fault("MsiEnumRelatedProductsW", 1, ERROR_BAD_CONFIGURATION);
    EXPECT_EQ(Run(), Lines({"   Cleaning registry from drivers...",
                            "      Identification GUID for qnDrivers found:  4EC1AA496A240B9419E0F5CAC3D5076F"}) +
                         Error_Report("   ", "MsiEnumRelatedProducts", 1610) +
                         Lines({"      Product ?ode for qnDrivers didn't found.",
                                "      Product Code for BootStrap wasn't found."}));
    EXPECT_TRUE(Exists(user_data));
    EXPECT_TRUE(Exists(Installer + u"Products\\" + Product));

    // A first value whose name is no packed code is not used (a backslash in it would reach the parent
    // keys); the product is found by the next one.
    Reset_Indentation();
    Clear_Log();
    Key(Upgrade_Key)->values.clear();
    Text_Value(Upgrade_Key, u"\\", u"");
    Text_Value(Upgrade_Key, Product, u"");
    Key(Installer + u"Features\\" + Product);
    EXPECT_EQ(Run(), Lines({"   Cleaning registry from drivers...",
                            "      Identification GUID for qnDrivers is not a packed code, ignored:  \\",
                            "      Identification GUID for qnDrivers found:  4EC1AA496A240B9419E0F5CAC3D5076F",
                            "         Deleting registry key:  Installer\\Features\\4EC1AA496A240B9419E0F5CAC3D5076F\\",
                            "      Product ?ode for qnDrivers found:  {94AA1CE4-42A6-49B0-910E-5FAC3C5D70F6}",
                            "         Deleting registry key:  Installer\\Products\\4EC1AA496A240B9419E0F5CAC3D5076F\\",
                            "         Deleting registry key:  SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Installer\\"
                            "UserData\\S-1-5-18\\Products\\4EC1AA496A240B9419E0F5CAC3D5076F\\",
                            "         Deleting registry key:  Installer\\UpgradeCodes\\14A7E2B5C3D981F46A2EC3D7B1F9A048\\",
                            "      Product Code for BootStrap wasn't found."}));
    EXPECT_FALSE(Exists(Installer + u"Features\\" + Product));
    EXPECT_FALSE(Exists(Installer + u"Products\\" + Product));
    EXPECT_FALSE(Exists(Upgrade_Key));

    // The upgrade-code listing fails: its exit line (which lifts the indentation), then nothing is
    // found.
    Reset_Indentation();
    Clear_Log();
    The_Machine().Add_Fault("RegOpenKeyExW", 1, ERROR_ACCESS_DENIED, u"14A7E2B5C3D981F46A2EC3D7B1F9A048");
    The_Machine().Add_Fault("MsiEnumRelatedProductsW", 1, ERROR_BAD_CONFIGURATION);
    EXPECT_EQ(Run(), Lines({"   Cleaning registry from drivers..."}) + Error_Report("   ", "RegOpenKeyEx", 5) + Exit_Line("", "Get_ID_GUID") +
                         Lines({"   Identification GUID for qnDrivers didn't found."}) +
                         Error_Report("", "MsiEnumRelatedProducts", 1610) +
                         Lines({"   Product ?ode for qnDrivers didn't found.",
                                "   Product Code for BootStrap wasn't found."}));
}

// Two versions side by side and a third registered under the upgrade code that Windows Installer no
// longer lists (its product key is gone): each version loses its features, components and product
// registration, the third its features; the upgrade-code key goes after the last version, and another
// product's share of a component stays.
TEST_F(Installer_Identity, EveryVersionUnderTheUpgradeCodeIsRemovedOnce) {
    const std::u16string Second = u"0B96A7011E76FAE49244937C20C9F474";  // {107A69B0-67E1-4EAF-2944-39C7029C4F47}
    const std::u16string Left = u"AAAA0000000000000000000000000001";
    const std::u16string Components =
        u"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Installer\\UserData\\S-1-5-18\\Components\\";
    Install_Product();
    Text_Value(Upgrade_Key, Second, u"");
    Text_Value(Upgrade_Key, Left, u"");
    Key(Installer + u"Products\\" + Second);
    Key(Installer + u"Features\\" + Second);
    Key(Installer + u"Features\\" + Left);
    Key(Uninstall + u"{94AA1CE4-42A6-49B0-910E-5FAC3C5D70F6}");
    Key(Uninstall + u"{107A69B0-67E1-4EAF-2944-39C7029C4F47}");
    Text_Value(Components + u"CCCC0000000000000000000000000001", Second, u"C:\\a.dll");
    Text_Value(Components + u"CCCC0000000000000000000000000002", Second, u"C:\\b.dll");
    Text_Value(Components + u"CCCC0000000000000000000000000002", Left, u"C:\\b.dll");
    Text_Value(Components + u"CCCC0000000000000000000000000003", u"F0E1D2C3B4A5968778695A4B3C2D1E0F", u"C:\\c.dll");
    EXPECT_EQ(Run(),
              Lines({"   Cleaning registry from drivers...",
                     "      Identification GUID for qnDrivers found:  4EC1AA496A240B9419E0F5CAC3D5076F",
                     "         Deleting registry key:  Installer\\Features\\4EC1AA496A240B9419E0F5CAC3D5076F\\",
                     "      Identification GUID for qnDrivers found:  0B96A7011E76FAE49244937C20C9F474",
                     "         Deleting registry key:  Installer\\Features\\0B96A7011E76FAE49244937C20C9F474\\",
                     "         Deleting registry value:  0B96A7011E76FAE49244937C20C9F474", "      REGSAM:  0(0x0)",
                     "         Deleting registry key:  " + winsim::To_Utf8(Components) +
                         "CCCC0000000000000000000000000001\\",
                     "         Deleting registry value:  0B96A7011E76FAE49244937C20C9F474", "      REGSAM:  0(0x0)",
                     "      Identification GUID for qnDrivers found:  AAAA0000000000000000000000000001",
                     "         Deleting registry key:  Installer\\Features\\AAAA0000000000000000000000000001\\",
                     "         Deleting registry value:  AAAA0000000000000000000000000001", "      REGSAM:  0(0x0)",
                     "         Deleting registry key:  " + winsim::To_Utf8(Components) +
                         "CCCC0000000000000000000000000002\\",
                     "      Product ?ode for qnDrivers found:  {94AA1CE4-42A6-49B0-910E-5FAC3C5D70F6}",
                     "         Deleting registry key:  Installer\\Products\\4EC1AA496A240B9419E0F5CAC3D5076F\\",
                     "         Deleting registry key:  SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\"
                     "{94AA1CE4-42A6-49B0-910E-5FAC3C5D70F6}\\",
                     "      Product ?ode for qnDrivers found:  {107A69B0-67E1-4EAF-2944-39C7029C4F47}",
                     "         Deleting registry key:  Installer\\Products\\0B96A7011E76FAE49244937C20C9F474\\",
                     "         Deleting registry key:  SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\"
                     "{107A69B0-67E1-4EAF-2944-39C7029C4F47}\\",
                     "         Deleting registry key:  Installer\\UpgradeCodes\\14A7E2B5C3D981F46A2EC3D7B1F9A048\\",
                     "      Product Code for BootStrap wasn't found."}));
    for (const std::u16string& gone :
         {Installer + u"Products\\" + Product, Installer + u"Products\\" + Second, Installer + u"Features\\" + Left,
          Uninstall + u"{107A69B0-67E1-4EAF-2944-39C7029C4F47}", Components + u"CCCC0000000000000000000000000002",
          Upgrade_Key})
        EXPECT_FALSE(Exists(gone)) << winsim::To_Utf8(gone);
    EXPECT_TRUE(Exists(Components + u"CCCC0000000000000000000000000003"));
    // Windows Installer was asked by index until it had no more.
    EXPECT_EQ(std::count_if(The_Machine().calls.begin(), The_Machine().calls.end(),
                            [](const std::string& call) { return call.rfind("MsiEnumRelatedProductsW", 0) == 0; }),
              3);
}

TEST_F(Installer_Identity, PackageSourceFolderPrefersTheCachedBundlesFolder) {
    struct Case {
        std::u16string cache_path, install_source, expected;
    };
    const Case cases[] = {
        {u"C:\\ProgramData\\Package Cache\\{X}\\setup.exe", u"C:\\Src\\", u"C:\\ProgramData\\Package Cache\\{X}"},
        {u"setup.exe", u"C:\\Src\\", u"setup.exe"},
        {u"", u"C:\\Src\\", u"C:\\Src\\"},
        {u"", u"", u"earlier"},
    };
    for (const Case& row : cases) {
        The_Machine().hklm.subkeys.clear();
        winsim::Reg_Key* entry = Key(Uninstall + Bundle);
        if (!row.cache_path.empty()) entry->Set_Value(u"BundleCachePath", REG_SZ, Utf16_Bytes(row.cache_path));
        if (!row.install_source.empty()) entry->Set_Value(u"InstallSource", REG_SZ, Utf16_Bytes(row.install_source));
        Lib_StringW folder(TEXT("earlier"));
        Lib_Result result;
        EXPECT_TRUE(Get_Package_Source_Folder(Lib_StringW(Bundle.c_str()), folder, result));
        EXPECT_EQ(std::u16string(folder.Get_Text()), row.expected) << winsim::To_Utf8(row.cache_path);
    }
    // Without a code nothing is read, not even from the Uninstall key itself.
    Text_Value(Uninstall, u"InstallSource", u"C:\\Wrong\\");
    Lib_StringW folder;
    Lib_Result result;
    EXPECT_TRUE(Get_Package_Source_Folder(Lib_StringW(), folder, result));
    EXPECT_TRUE(folder.Is_Empty());
    EXPECT_EQ(Log_Text(), "");
}

// The bundle search in the pass's reading of the uninstall entries finds the first entry that carries
// the code, in any letter case; a code the reading could not read is read again, and one that cannot be
// read then either is passed over; a reading that could not list the entries leaves the search to walk
// them itself.
TEST_F(Installer_Identity, BundleSearchInTheReadEntriesReadsAgainWhatTheReadingCouldNot) {
    struct Case {
        int failed_reads_of_b;  // the first ones of {B}'s BundleUpgradeCode
        bool listing_fails;
        const char16_t* found;
    };
    const Case cases[] = {{0, false, u"{B}"}, {1, false, u"{B}"}, {2, false, u"{C}"}, {0, true, u"{B}"}};
    for (const Case& row : cases) {
        The_Machine().hklm.subkeys.clear();
        Text_Value(Uninstall + u"{A}", u"BundleUpgradeCode", u"{2A9F6E13-4B7C-4E85-9D20-B5C8E1F4A764}");
        Text_Value(Uninstall + u"{B}", u"BundleUpgradeCode", u"{2a9f6e13-4b7c-4e85-9d20-b5c8e1f4a763}");
        Text_Value(Uninstall + u"{C}", u"BundleUpgradeCode", u"{2A9F6E13-4B7C-4E85-9D20-B5C8E1F4A763}");
        for (int read = 1; read <= row.failed_reads_of_b; ++read) {
            The_Machine().Add_Fault("RegQueryValueExW", read, ERROR_ACCESS_DENIED, u"{B}\\BundleUpgradeCode");
        }
        if (row.listing_fails) The_Machine().Add_Fault("RegEnumKeyExW", 1, ERROR_ACCESS_DENIED);
        Uninstall_Entries entries;
        Lib_StringW found;
        Lib_Result result;
        EXPECT_TRUE(Find_Bundle_Product_Code(entries, Lib_StringW(TEXT("{2A9F6E13-4B7C-4E85-9D20-B5C8E1F4A763}")),
                                             found, result));
        EXPECT_EQ(std::u16string(found.Get_Text()), row.found) << row.failed_reads_of_b << row.listing_fails;
        The_Machine().faults.clear();
    }
}

// Every key below the path, in tree order, as "HIVE\PATH" lines, each followed by its value names
// ("HIVE\PATH: NAME"); nothing for a missing path.
void Dump_Tree(winsim::Reg_Key& hive, const std::string& hive_name, const std::u16string& path,
               std::vector<std::string>& lines) {
    winsim::Reg_Key* key = Find_Key(hive, path);
    if (key == nullptr) return;
    std::string shown = hive_name + "\\" + winsim::To_Utf8(path);
    lines.push_back(shown);
    for (const winsim::Reg_Value& value : key->values) lines.push_back(shown + ": " + winsim::To_Utf8(value.name));
    for (const auto& subkey : key->subkeys) Dump_Tree(hive, hive_name, path + u"\\" + subkey->name, lines);
}

// HKEY_CLASSES_ROOT shows the user's classes over the machine's, and an ordinary user may write the
// user's. Keys and values planted there (HKEY_CURRENT_USER\Software\Classes\Installer, where Windows
// Installer keeps nothing) change neither what the elevated run finds nor what it deletes: the run
// reads and deletes the machine's Installer keys, another product's registration stays whole, the
// plants stay where they were, and the log is the one of the same machine without them.
TEST_F(Installer_Identity, KeysPlantedInTheUsersClassesNeitherRedirectNorHideTheRemoval) {
    const std::u16string Code = u"{94AA1CE4-42A6-49B0-910E-5FAC3C5D70F6}";
    const std::u16string Other = u"0B96A7011E76FAE49244937C20C9F474";  // {107A69B0-67E1-4EAF-2944-39C7029C4F47}
    const std::u16string Other_Code = u"{107A69B0-67E1-4EAF-2944-39C7029C4F47}";
    const std::u16string Other_Upgrade = u"F0E1D2C3B4A5968778695A4B3C2D1E0F";
    const std::u16string User_Installer = u"Software\\Classes\\Installer\\";
    const std::u16string User_Data = u"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Installer\\UserData\\S-1-5-18\\";
    struct Planted_Value {
        std::u16string key, name, text;  // key below HKEY_CURRENT_USER\Software\Classes\Installer
    };
    struct Case {
        const char* attack;
        std::vector<Planted_Value> plants;
    };
    const Case cases[] = {
        {"the upgrade code's value names another installed product, listed before the machine's",
         {{u"UpgradeCodes\\14A7E2B5C3D981F46A2EC3D7B1F9A048", Other, u""}}},
        {"a dependency key with the product's display name, named as another product's dependency key",
         {{u"Dependencies\\" + Other_Code, u"DisplayName", u"VESPARIO Drivers"}}},
        {"the upgrade code's first value is no packed code, so the product would not be found",
         {{u"UpgradeCodes\\14A7E2B5C3D981F46A2EC3D7B1F9A048", u"\\", u""}}},
        {"copies of the product's own keys, which a deletion through HKEY_CLASSES_ROOT would take instead",
         {{u"Products\\" + Product, u"ProductName", u"VESPARIO Drivers"},
          {u"Features\\" + Product, u"Main", u""},
          {u"Dependencies\\" + Code, u"DisplayName", u"VESPARIO Drivers"}}},
    };
    // What the machine keeps afterwards: the other product's registration, whole.
    const std::vector<std::string> machine_state = {
        "HKLM\\SOFTWARE\\Classes\\Installer",
        "HKLM\\SOFTWARE\\Classes\\Installer\\Dependencies",
        "HKLM\\SOFTWARE\\Classes\\Installer\\Dependencies\\{107A69B0-67E1-4EAF-2944-39C7029C4F47}",
        "HKLM\\SOFTWARE\\Classes\\Installer\\Dependencies\\{107A69B0-67E1-4EAF-2944-39C7029C4F47}: DisplayName",
        "HKLM\\SOFTWARE\\Classes\\Installer\\Features",
        "HKLM\\SOFTWARE\\Classes\\Installer\\Features\\0B96A7011E76FAE49244937C20C9F474",
        "HKLM\\SOFTWARE\\Classes\\Installer\\Products",
        "HKLM\\SOFTWARE\\Classes\\Installer\\Products\\0B96A7011E76FAE49244937C20C9F474",
        "HKLM\\SOFTWARE\\Classes\\Installer\\UpgradeCodes",
        "HKLM\\SOFTWARE\\Classes\\Installer\\UpgradeCodes\\F0E1D2C3B4A5968778695A4B3C2D1E0F",
        "HKLM\\SOFTWARE\\Classes\\Installer\\UpgradeCodes\\F0E1D2C3B4A5968778695A4B3C2D1E0F: "
        "0B96A7011E76FAE49244937C20C9F474",
        "HKLM\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Installer\\UserData\\S-1-5-18",
        "HKLM\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Installer\\UserData\\S-1-5-18\\Components",
        "HKLM\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Installer\\UserData\\S-1-5-18\\Components\\"
        "CCCC0000000000000000000000000003",
        "HKLM\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Installer\\UserData\\S-1-5-18\\Components\\"
        "CCCC0000000000000000000000000003: 0B96A7011E76FAE49244937C20C9F474",
        "HKLM\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Installer\\UserData\\S-1-5-18\\Products",
        "HKLM\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Installer\\UserData\\S-1-5-18\\Products\\"
        "0B96A7011E76FAE49244937C20C9F474",
        "HKLM\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall",
    };
    const std::string log =
        Lines({"   Cleaning registry from drivers...",
               "      Identification GUID for qnDrivers found:  4EC1AA496A240B9419E0F5CAC3D5076F",
               "         Deleting registry key:  Installer\\Features\\4EC1AA496A240B9419E0F5CAC3D5076F\\",
               "      Product ?ode for qnDrivers found:  {94AA1CE4-42A6-49B0-910E-5FAC3C5D70F6}",
               "         Deleting registry key:  Installer\\Products\\4EC1AA496A240B9419E0F5CAC3D5076F\\",
               "         Deleting registry key:  SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Installer\\UserData\\"
               "S-1-5-18\\Products\\4EC1AA496A240B9419E0F5CAC3D5076F\\",
               "         Deleting registry key:  SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\"
               "{94AA1CE4-42A6-49B0-910E-5FAC3C5D70F6}\\",
               "         Deleting registry key:  Installer\\Dependencies\\{94AA1CE4-42A6-49B0-910E-5FAC3C5D70F6}",
               "         Deleting registry key:  Installer\\UpgradeCodes\\14A7E2B5C3D981F46A2EC3D7B1F9A048\\",
               "      Product Code for BootStrap wasn't found."}) +
        Plan_Log;
    for (const Case& row : cases) {
        SetUp();
        // The product, installed for the machine.
        Install_Product();
        Text_Value(Installer + u"Dependencies\\" + Code, u"DisplayName", u"VESPARIO Drivers");
        Key(User_Data + u"Products\\" + Product);
        Key(Uninstall + Code);
        // Another product, installed for the machine.
        Text_Value(Installer + u"UpgradeCodes\\" + Other_Upgrade, Other, u"");
        Key(Installer + u"Products\\" + Other);
        Key(Installer + u"Features\\" + Other);
        Text_Value(Installer + u"Dependencies\\" + Other_Code, u"DisplayName", u"Lumenleaf PDF Reader");
        Key(User_Data + u"Products\\" + Other);
        Text_Value(User_Data + u"Components\\CCCC0000000000000000000000000003", Other, u"C:\\Lumenleaf\\a.dll");
        for (const Planted_Value& plant : row.plants)
            Make_Key(The_Machine().hkcu, User_Installer + plant.key)->Set_Value(plant.name, REG_SZ, Utf16_Bytes(plant.text));
        std::vector<std::string> planted;
        Dump_Tree(The_Machine().hkcu, "HKCU", u"Software\\Classes\\Installer", planted);

        Lib_StringW bundle_folder, product_folder;
        Removal_Findings findings;
        EXPECT_TRUE(Clean_Registry_From_Drivers(bundle_folder, product_folder, findings));
        EXPECT_EQ(Log_Text(), log) << row.attack;
        std::vector<std::string> state;
        for (const char* path : {"SOFTWARE\\Classes\\Installer",
                                 "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Installer\\UserData\\S-1-5-18",
                                 "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall"})
            Dump_Tree(The_Machine().hklm, "HKLM", winsim::From_Utf8(path), state);
        EXPECT_EQ(state, machine_state) << row.attack;
        std::vector<std::string> user_state;
        Dump_Tree(The_Machine().hkcu, "HKCU", u"Software\\Classes\\Installer", user_state);
        EXPECT_EQ(user_state, planted) << row.attack;
    }
}

}  // namespace
