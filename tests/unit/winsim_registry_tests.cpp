// The simulated registry where Windows and Wine part ways (winsim follows Windows), and what only the
// simulation has: injected faults and keys protected by the scenario.
#include <gtest/gtest.h>

#include "machine/machine.h"
#include "machine/registry_views.h"

#include <string>
#include <vector>

using winsim::Text;
using winsim::The_Machine;

namespace {

class WinsimRegistry : public ::testing::Test {
protected:
    void SetUp() override { The_Machine().Reset(); }
    void TearDown() override { The_Machine().Reset(); }

    // Creates a key (and its parents) directly in the machine.
    static winsim::Reg_Key* Make(const std::vector<Text>& path, bool user_hive = false) {
        winsim::Reg_Key* key = user_hive ? &The_Machine().hkcu : &The_Machine().hklm;
        for (const Text& name : path) key = key->Add_Subkey(name);
        return key;
    }

    static LSTATUS Open(HKEY root, LPCWSTR path, REGSAM sam, HKEY* key) {
        return RegOpenKeyExW(root, path, 0, sam, key);
    }

    // Opens, and closes at once when the open succeeds.
    static LSTATUS Probe(HKEY root, LPCWSTR path, REGSAM sam) {
        HKEY key;
        LSTATUS status = RegOpenKeyExW(root, path, 0, sam, &key);
        if (status == ERROR_SUCCESS) RegCloseKey(key);
        return status;
    }

    static LSTATUS Create(HKEY root, LPCWSTR path, REGSAM sam, DWORD* disposition = nullptr) {
        HKEY key;
        LSTATUS status = RegCreateKeyExW(root, path, 0, nullptr, 0, sam, nullptr, &key, disposition);
        if (status == ERROR_SUCCESS) RegCloseKey(key);
        return status;
    }

    static std::vector<Text> Subkey_Names(HKEY key) {
        std::vector<Text> names;
        WCHAR name[260];
        for (DWORD index = 0;; ++index) {
            DWORD length = 260;
            if (RegEnumKeyExW(key, index, name, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
                break;
            names.emplace_back(name, length);
        }
        return names;
    }

    static std::vector<Text> Value_Names(HKEY key) {
        std::vector<Text> names;
        WCHAR name[64];
        for (DWORD index = 0;; ++index) {
            DWORD length = 64;
            if (RegEnumValueW(key, index, name, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
                break;
            names.emplace_back(name, length);
        }
        return names;
    }
};

const DWORD kNumber = 42;
const BYTE* const kNumberBytes = reinterpret_cast<const BYTE*>(&kNumber);

// ---- orders and views in which Wine differs from Windows ----

TEST_F(WinsimRegistry, ValuesAreListedInCreationOrderAndKeepTheirPlaceWhenRewritten) {
    HKEY key;
    ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, u"SOFTWARE\\V", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                              nullptr),
              ERROR_SUCCESS);
    for (const WCHAR* name : {u"zeta", u"Alpha", u"", u"mid"})
        ASSERT_EQ(RegSetValueExW(key, name, 0, REG_DWORD, kNumberBytes, 4), ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueExW(key, u"ALPHA", 0, REG_SZ, reinterpret_cast<const BYTE*>(u"x"), 4),
              ERROR_SUCCESS);
    ASSERT_EQ(RegDeleteValueW(key, u"ZETA"), ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueExW(key, u"Zeta", 0, REG_DWORD, kNumberBytes, 4), ERROR_SUCCESS);
    EXPECT_EQ(Value_Names(key), (std::vector<Text>{u"Alpha", u"", u"mid", u"Zeta"}));
    RegCloseKey(key);
}

TEST_F(WinsimRegistry, SubkeysSortByUpperCasedNamesSoPunctuationAfterZComesAfterLetters) {
    for (const WCHAR* name : {u"B_", u"b[", u"BZ", u"ba", u"B1", u"\u00e9", u"E"})
        ASSERT_EQ(Create(HKEY_LOCAL_MACHINE, (Text(u"SOFTWARE\\Order\\") + name).c_str(), KEY_ALL_ACCESS),
                  ERROR_SUCCESS);
    HKEY key;
    ASSERT_EQ(Open(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Order", KEY_READ, &key), ERROR_SUCCESS);
    EXPECT_EQ(Subkey_Names(key), (std::vector<Text>{u"B1", u"ba", u"BZ", u"b[", u"B_", u"E", u"\u00e9"}));
    RegCloseKey(key);
}

TEST_F(WinsimRegistry, MachineClassesAreSharedExceptTheRedirectedClassKeys) {
    ASSERT_EQ(Create(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Classes\\Installer\\Dependencies\\{P}",
                     KEY_ALL_ACCESS | KEY_WOW64_32KEY),
              ERROR_SUCCESS);
    EXPECT_EQ(Probe(HKEY_CLASSES_ROOT, u"Installer\\Dependencies\\{P}", KEY_READ), ERROR_SUCCESS);
    EXPECT_EQ(Probe(HKEY_CLASSES_ROOT, u"Installer\\Dependencies\\{P}", KEY_READ | KEY_WOW64_32KEY),
              ERROR_SUCCESS);
    EXPECT_EQ(Probe(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Classes\\Wow6432Node", KEY_READ), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(Probe(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Wow6432Node", KEY_READ), ERROR_FILE_NOT_FOUND);

    ASSERT_EQ(Create(HKEY_CLASSES_ROOT, u"Interface\\{I}", KEY_ALL_ACCESS | KEY_WOW64_32KEY), ERROR_SUCCESS);
    EXPECT_EQ(Probe(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Classes\\Wow6432Node\\Interface\\{I}", KEY_READ),
              ERROR_SUCCESS);
    EXPECT_EQ(Probe(HKEY_CLASSES_ROOT, u"Interface\\{I}", KEY_READ), ERROR_FILE_NOT_FOUND);
}

TEST_F(WinsimRegistry, UserClassIdentifiersAreRedirectedAndTheRestOfTheUserHiveIsShared) {
    ASSERT_EQ(Create(HKEY_CURRENT_USER, u"SOFTWARE\\Classes\\CLSID\\{C}", KEY_ALL_ACCESS | KEY_WOW64_32KEY),
              ERROR_SUCCESS);
    EXPECT_EQ(Probe(HKEY_CURRENT_USER, u"SOFTWARE\\Classes\\Wow6432Node\\CLSID\\{C}", KEY_READ),
              ERROR_SUCCESS);
    EXPECT_EQ(Probe(HKEY_CURRENT_USER, u"SOFTWARE\\Classes\\CLSID\\{C}", KEY_READ), ERROR_FILE_NOT_FOUND);
    ASSERT_EQ(Create(HKEY_CURRENT_USER, u"SOFTWARE\\Corvanta LLP.", KEY_ALL_ACCESS | KEY_WOW64_32KEY),
              ERROR_SUCCESS);
    EXPECT_EQ(Probe(HKEY_CURRENT_USER, u"SOFTWARE\\Corvanta LLP.", KEY_READ), ERROR_SUCCESS);
}

TEST_F(WinsimRegistry, TheViewFlagOfARelativeOpenAppliesToTheFullPath) {
    Make({u"SOFTWARE", u"Wow6432Node", u"X"});
    HKEY software;
    ASSERT_EQ(Open(HKEY_LOCAL_MACHINE, u"SOFTWARE", KEY_READ, &software), ERROR_SUCCESS);
    EXPECT_EQ(Probe(software, u"X", KEY_READ | KEY_WOW64_32KEY), ERROR_SUCCESS);
    EXPECT_EQ(Probe(software, u"X", KEY_READ), ERROR_FILE_NOT_FOUND);
    RegCloseKey(software);
}

TEST_F(WinsimRegistry, RedirectionTableMapsListedKeysAndTheirSubkeys) {
    using winsim::Path_In_32Bit_View;
    using Path = std::vector<Text>;
    EXPECT_EQ(Path_In_32Bit_View(true, {u"SOFTWARE"}), (Path{u"SOFTWARE", u"Wow6432Node"}));
    EXPECT_EQ(Path_In_32Bit_View(true, {u"software", u"Microsoft", u"Cryptography", u"Calais"}),
              (Path{u"software", u"Wow6432Node", u"Microsoft", u"Cryptography", u"Calais"}));
    EXPECT_EQ(
        Path_In_32Bit_View(true, {u"SOFTWARE", u"Microsoft", u"Cryptography", u"Calais", u"Readers", u"R"}),
        (Path{u"SOFTWARE", u"Microsoft", u"Cryptography", u"Calais", u"Readers", u"R"}));
    EXPECT_EQ(Path_In_32Bit_View(true, {u"SOFTWARE", u"Microsoft", u"Cryptography", u"Calais", u"ReadersX"}),
              (Path{u"SOFTWARE", u"Wow6432Node", u"Microsoft", u"Cryptography", u"Calais", u"ReadersX"}));
    EXPECT_EQ(Path_In_32Bit_View(true, {u"SOFTWARE", u"Policies", u"P"}),
              (Path{u"SOFTWARE", u"Policies", u"P"}));
    EXPECT_EQ(Path_In_32Bit_View(true, {u"SOFTWARE", u"Classes", u"Media Type", u"M"}),
              (Path{u"SOFTWARE", u"Classes", u"Wow6432Node", u"Media Type", u"M"}));
    EXPECT_EQ(Path_In_32Bit_View(true, {u"SOFTWARE", u"Classes", u"Wow6432Node", u"CLSID"}),
              (Path{u"SOFTWARE", u"Classes", u"Wow6432Node", u"CLSID"}));
    EXPECT_EQ(Path_In_32Bit_View(true, {u"SYSTEM", u"CurrentControlSet"}),
              (Path{u"SYSTEM", u"CurrentControlSet"}));
    EXPECT_EQ(Path_In_32Bit_View(false, {u"SOFTWARE", u"Policies"}), (Path{u"SOFTWARE", u"Policies"}));
}

TEST_F(WinsimRegistry, QueryInfoNeedsQueryValueAccess) {
    Make({u"SOFTWARE", u"K"});
    HKEY key;
    DWORD count = 7;
    ASSERT_EQ(Open(HKEY_LOCAL_MACHINE, u"SOFTWARE\\K", KEY_SET_VALUE, &key), ERROR_SUCCESS);
    EXPECT_EQ(RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, &count, nullptr, nullptr, nullptr, nullptr,
                               nullptr, nullptr, nullptr),
              ERROR_ACCESS_DENIED);
    EXPECT_EQ(count, 7u);
    RegCloseKey(key);
}

TEST_F(WinsimRegistry, ClassesRootNamesTheMachineClassesKey) {
    ASSERT_EQ(Create(HKEY_CLASSES_ROOT, u"Installer\\Products\\P", KEY_ALL_ACCESS), ERROR_SUCCESS);
    EXPECT_NE(The_Machine().hklm.Find_Subkey(u"SOFTWARE")->Find_Subkey(u"Classes")->Find_Subkey(u"Installer"),
              nullptr);
    EXPECT_EQ(Probe(HKEY_CURRENT_USER, u"SOFTWARE\\Classes\\Installer", KEY_READ), ERROR_FILE_NOT_FOUND);
}

TEST_F(WinsimRegistry, KeysThatAreNotAmongTheFourRootsAreInvalidHandles) {
    EXPECT_EQ(Probe(HKEY_USERS, u".DEFAULT", KEY_READ), ERROR_SUCCESS);
    EXPECT_EQ(Probe(reinterpret_cast<HKEY>(ULONG_PTR(0x80000005)), u"System", KEY_READ), ERROR_INVALID_HANDLE);  // HKEY_CURRENT_CONFIG
    HKEY key;
    ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, u"A", 0, nullptr, 0, KEY_READ, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    ASSERT_EQ(RegCloseKey(key), ERROR_SUCCESS);
    EXPECT_EQ(Probe(key, u"", KEY_READ), ERROR_INVALID_HANDLE);
}

// ---- protected keys ----

TEST_F(WinsimRegistry, ProtectedKeyOpensForReadingOnly) {
    Make({u"SOFTWARE", u"Locked"})->write_protected = true;
    EXPECT_EQ(Probe(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Locked", KEY_READ), ERROR_SUCCESS);
    for (REGSAM sam :
         {REGSAM(KEY_SET_VALUE), REGSAM(KEY_CREATE_SUB_KEY), REGSAM(KEY_WRITE), REGSAM(KEY_ALL_ACCESS),
          REGSAM(DELETE), REGSAM(WRITE_DAC), REGSAM(WRITE_OWNER), REGSAM(GENERIC_WRITE)})
        EXPECT_EQ(Probe(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Locked", sam), ERROR_ACCESS_DENIED)
            << "access " << sam;

    // MAXIMUM_ALLOWED opens it with what is allowed, which does not include writing.
    HKEY key;
    ASSERT_EQ(Open(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Locked", MAXIMUM_ALLOWED, &key), ERROR_SUCCESS);
    EXPECT_EQ(RegSetValueExW(key, u"v", 0, REG_DWORD, kNumberBytes, 4), ERROR_ACCESS_DENIED);
    DWORD count = 9;
    EXPECT_EQ(RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, &count, nullptr, nullptr, nullptr, nullptr,
                               nullptr, nullptr, nullptr),
              ERROR_SUCCESS);
    EXPECT_EQ(count, 0u);
    RegCloseKey(key);
}

TEST_F(WinsimRegistry, ProtectedKeyCannotBeDeletedNorGetNewSubkeys) {
    winsim::Reg_Key* locked = Make({u"SOFTWARE", u"Locked"});
    locked->write_protected = true;
    locked->Add_Subkey(u"Existing");

    EXPECT_EQ(RegDeleteKeyW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Locked\\Existing"), ERROR_SUCCESS);
    EXPECT_EQ(RegDeleteKeyW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Locked"), ERROR_ACCESS_DENIED);
    EXPECT_NE(The_Machine().hklm.Find_Subkey(u"SOFTWARE")->Find_Subkey(u"Locked"), nullptr);

    EXPECT_EQ(Create(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Locked\\New\\Deeper", KEY_READ), ERROR_ACCESS_DENIED);
    EXPECT_TRUE(locked->subkeys.empty());
    DWORD disposition = 0;
    EXPECT_EQ(Create(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Locked", KEY_READ, &disposition), ERROR_SUCCESS);
    EXPECT_EQ(disposition, DWORD(REG_OPENED_EXISTING_KEY));
    EXPECT_EQ(Create(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Locked", KEY_WRITE), ERROR_ACCESS_DENIED);
}

TEST_F(WinsimRegistry, ProtectionSetAfterTheOpenStillRefusesValueChanges) {
    winsim::Reg_Key* key_model = Make({u"SOFTWARE", u"Later"});
    key_model->Set_Value(u"old", REG_DWORD, {1, 0, 0, 0});
    HKEY key;
    ASSERT_EQ(Open(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Later", KEY_ALL_ACCESS, &key), ERROR_SUCCESS);
    key_model->write_protected = true;
    EXPECT_EQ(RegSetValueExW(key, u"new", 0, REG_DWORD, kNumberBytes, 4), ERROR_ACCESS_DENIED);
    EXPECT_EQ(RegDeleteValueW(key, u"old"), ERROR_ACCESS_DENIED);
    EXPECT_EQ(key_model->values.size(), 1u);
    RegCloseKey(key);
}

// ---- injected faults ----

TEST_F(WinsimRegistry, FaultHitsTheNthMatchingCallOnly) {
    Make({u"SOFTWARE", u"Corvanta LLP."});
    Make({u"SOFTWARE", u"Other"});
    The_Machine().Add_Fault("RegOpenKeyExW", 2, ERROR_ACCESS_DENIED, u"corvanta");
    EXPECT_EQ(Probe(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Corvanta LLP.", KEY_READ), ERROR_SUCCESS);
    EXPECT_EQ(Probe(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Other", KEY_READ), ERROR_SUCCESS);
    EXPECT_EQ(Probe(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Corvanta LLP.", KEY_READ), ERROR_ACCESS_DENIED);
    EXPECT_EQ(Probe(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Corvanta LLP.", KEY_READ), ERROR_SUCCESS);
}

TEST_F(WinsimRegistry, FaultSubjectIsThePhysicalPathSoOneViewCanBeFailed) {
    Make({u"SOFTWARE", u"Corvanta LLP."});
    Make({u"SOFTWARE", u"Wow6432Node", u"Corvanta LLP."});
    The_Machine().Add_Fault("RegDeleteKeyW", 1, ERROR_ACCESS_DENIED,
                            u"HKEY_LOCAL_MACHINE\\SOFTWARE\\Wow6432Node\\");
    HKEY software32;
    ASSERT_EQ(Open(HKEY_LOCAL_MACHINE, u"SOFTWARE", KEY_SET_VALUE | KEY_WOW64_32KEY, &software32),
              ERROR_SUCCESS);
    EXPECT_EQ(RegDeleteKeyW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Corvanta LLP."), ERROR_SUCCESS);
    EXPECT_EQ(RegDeleteKeyW(software32, u"Corvanta LLP."), ERROR_ACCESS_DENIED);
    EXPECT_EQ(Probe(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Wow6432Node\\Corvanta LLP.", KEY_READ), ERROR_SUCCESS);
    EXPECT_EQ(RegDeleteKeyW(software32, u"Corvanta LLP."), ERROR_SUCCESS);
    RegCloseKey(software32);
}

TEST_F(WinsimRegistry, FaultSubjectOfAnOpenInThe32BitViewIsTheRedirectedPath) {
    Make({u"SOFTWARE", u"Microsoft", u"Cryptography", u"Defaults", u"Provider"});
    Make({u"SOFTWARE", u"Wow6432Node", u"Microsoft", u"Cryptography", u"Defaults", u"Provider"});
    The_Machine().Add_Fault("RegOpenKeyExW", 1, ERROR_ACCESS_DENIED, u"SOFTWARE\\Wow6432Node\\Microsoft");
    const WCHAR* provider = u"SOFTWARE\\Microsoft\\Cryptography\\Defaults\\Provider";
    EXPECT_EQ(Probe(HKEY_LOCAL_MACHINE, provider, KEY_SET_VALUE), ERROR_SUCCESS);
    EXPECT_EQ(Probe(HKEY_LOCAL_MACHINE, provider, KEY_SET_VALUE | KEY_WOW64_32KEY), ERROR_ACCESS_DENIED);
    The_Machine().Add_Fault("RegCreateKeyExW", 1, ERROR_CANTWRITE, u"SOFTWARE\\Wow6432Node\\New");
    EXPECT_EQ(Create(HKEY_LOCAL_MACHINE, u"SOFTWARE\\New", KEY_WRITE), ERROR_SUCCESS);
    EXPECT_EQ(Create(HKEY_LOCAL_MACHINE, u"SOFTWARE\\New", KEY_WRITE | KEY_WOW64_32KEY), ERROR_CANTWRITE);
}

TEST_F(WinsimRegistry, ChangesAreRecordedAmongTheMachinesCallsFaultedOrNot) {
    Make({u"SOFTWARE", u"K"});
    The_Machine().Add_Fault("RegDeleteKeyW", 1, ERROR_ACCESS_DENIED);
    HKEY key;
    ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, u"SOFTWARE\\\\N\\", 0, nullptr, 0,
                              KEY_ALL_ACCESS | KEY_WOW64_32KEY, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueExW(key, u"v", 0, REG_DWORD, kNumberBytes, 4), ERROR_SUCCESS);
    ASSERT_EQ(RegDeleteValueW(key, nullptr), ERROR_FILE_NOT_FOUND);
    RegCloseKey(key);
    EXPECT_EQ(RegDeleteKeyW(HKEY_CLASSES_ROOT, u"x"), ERROR_ACCESS_DENIED);
    EXPECT_EQ(Probe(HKEY_LOCAL_MACHINE, u"SOFTWARE\\K", KEY_READ), ERROR_SUCCESS);
    EXPECT_EQ(The_Machine().calls, (std::vector<std::string>{
                                       "RegCreateKeyExW HKEY_CURRENT_USER\\SOFTWARE\\N",
                                       "RegSetValueExW HKEY_CURRENT_USER\\SOFTWARE\\N\\v",
                                       "RegDeleteValueW HKEY_CURRENT_USER\\SOFTWARE\\N\\",
                                       "RegDeleteKeyW HKEY_LOCAL_MACHINE\\SOFTWARE\\Classes\\x",
                                   }));
}

TEST_F(WinsimRegistry, FaultSubjectsOfValueCallsEndWithTheValueName) {
    Make({u"SOFTWARE", u"Run"})->Set_Value(u"remove", REG_SZ, {0, 0});
    The_Machine().Add_Fault("RegQueryValueExW", 1, ERROR_NOT_ENOUGH_MEMORY,
                            u"HKEY_LOCAL_MACHINE\\SOFTWARE\\Run\\remove");
    The_Machine().Add_Fault("RegSetValueExW", 1, ERROR_CANTWRITE, u"\\Run\\remove");
    The_Machine().Add_Fault("RegDeleteValueW", 1, ERROR_REGISTRY_IO_FAILED, u"\\Run\\remove");
    HKEY key;
    ASSERT_EQ(Open(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Run", KEY_ALL_ACCESS, &key), ERROR_SUCCESS);
    DWORD size = 0;
    EXPECT_EQ(RegQueryValueExW(key, u"removed", nullptr, nullptr, nullptr, &size), ERROR_NOT_ENOUGH_MEMORY);
    EXPECT_EQ(RegQueryValueExW(key, u"remove", nullptr, nullptr, nullptr, &size), ERROR_SUCCESS);
    EXPECT_EQ(size, 2u);
    EXPECT_EQ(RegSetValueExW(key, u"remove", 0, REG_DWORD, kNumberBytes, 4), ERROR_CANTWRITE);
    EXPECT_EQ(The_Machine().hklm.Find_Subkey(u"SOFTWARE")->Find_Subkey(u"Run")->Find_Value(u"remove")->type,
              DWORD(REG_SZ));
    EXPECT_EQ(RegDeleteValueW(key, u"remove"), ERROR_REGISTRY_IO_FAILED);
    EXPECT_EQ(RegDeleteValueW(key, u"remove"), ERROR_SUCCESS);
    RegCloseKey(key);
}

TEST_F(WinsimRegistry, ClassesRootFaultSubjectsAreMachinePaths) {
    The_Machine().Add_Fault("RegCreateKeyExW", 1, ERROR_CANTOPEN,
                            u"HKEY_LOCAL_MACHINE\\SOFTWARE\\Classes\\Installer\\Features");
    EXPECT_EQ(Create(HKEY_CLASSES_ROOT, u"Installer\\Features\\F", KEY_ALL_ACCESS), ERROR_CANTOPEN);
    EXPECT_EQ(Probe(HKEY_CLASSES_ROOT, u"Installer", KEY_READ), ERROR_FILE_NOT_FOUND);
}

TEST_F(WinsimRegistry, RepeatedFaultFailsEveryCallFromTheNthAndCanReturnPathNotFound) {
    Make({u"SOFTWARE", u"K", u"A"});
    Make({u"SOFTWARE", u"K", u"B"});
    The_Machine().Add_Fault("RegEnumKeyExW", 2, ERROR_PATH_NOT_FOUND, u"SOFTWARE\\K", true);
    HKEY key;
    ASSERT_EQ(Open(HKEY_LOCAL_MACHINE, u"SOFTWARE\\K", KEY_READ, &key), ERROR_SUCCESS);
    WCHAR name[8];
    DWORD length = 8;
    EXPECT_EQ(RegEnumKeyExW(key, 0, name, &length, nullptr, nullptr, nullptr, nullptr), ERROR_SUCCESS);
    EXPECT_EQ(Text(name), u"A");
    for (int call = 0; call < 3; ++call) {
        length = 8;
        EXPECT_EQ(RegEnumKeyExW(key, 1, name, &length, nullptr, nullptr, nullptr, nullptr),
                  ERROR_PATH_NOT_FOUND);
    }
    RegCloseKey(key);
}

TEST_F(WinsimRegistry, FaultedCloseLeavesTheKeyOpenAndFaultedInfoLeavesOutputsAlone) {
    Make({u"SOFTWARE", u"K"});
    HKEY key;
    ASSERT_EQ(Open(HKEY_LOCAL_MACHINE, u"SOFTWARE\\K", KEY_READ, &key), ERROR_SUCCESS);
    The_Machine().Add_Fault("RegQueryInfoKeyW", 1, ERROR_REGISTRY_CORRUPT);
    The_Machine().Add_Fault("RegCloseKey", 1, ERROR_INVALID_HANDLE);
    DWORD sub_keys = 77, values = 78;
    EXPECT_EQ(RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, &sub_keys, nullptr, nullptr, &values, nullptr,
                               nullptr, nullptr, nullptr),
              ERROR_REGISTRY_CORRUPT);
    EXPECT_EQ(sub_keys, 77u);
    EXPECT_EQ(values, 78u);
    EXPECT_EQ(RegCloseKey(key), ERROR_INVALID_HANDLE);
    EXPECT_EQ(RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, &sub_keys, nullptr, nullptr, &values, nullptr,
                               nullptr, nullptr, nullptr),
              ERROR_SUCCESS);
    EXPECT_EQ(sub_keys, 0u);
    EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
    EXPECT_EQ(RegCloseKey(key), ERROR_INVALID_HANDLE);
}

}  // namespace
