// winsim's HKEY_CLASSES_ROOT: the user's classes merged over the machine's, writes and deletions
// reaching the hive key where the key or value lives, the 32-bit view per hive.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "machine/machine.h"
#include "test_support.h"

using winsim::Text;
using winsim::The_Machine;

namespace {

const char16_t kMachine[] = u"SOFTWARE\\Classes\\";
const char16_t kUser[] = u"Software\\Classes\\";

class WinsimClassesRoot : public ::testing::Test {
protected:
    void SetUp() override {
        The_Machine().Reset();
        // X in both hives: values a, b in the machine's; b, c in the user's. Subkeys A, C in the
        // machine's; B, c, D in the user's. M only in the machine's, U only in the user's.
        winsim::Reg_Key* machine_x = Make_Key(The_Machine().hklm, Text(kMachine) + u"X");
        machine_x->Set_Value(u"a", REG_SZ, Utf16_Bytes(u"machine a"));
        machine_x->Set_Value(u"b", REG_SZ, Utf16_Bytes(u"machine b"));
        machine_x->Add_Subkey(u"A");
        machine_x->Add_Subkey(u"C");
        winsim::Reg_Key* user_x = Make_Key(The_Machine().hkcu, Text(kUser) + u"X");
        user_x->Set_Value(u"B", REG_SZ, Utf16_Bytes(u"user b"));
        user_x->Set_Value(u"c", REG_SZ, Utf16_Bytes(u"user c"));
        for (const char16_t* name : {u"B", u"c", u"D"}) user_x->Add_Subkey(name);
        Make_Key(The_Machine().hklm, Text(kMachine) + u"M");
        Make_Key(The_Machine().hkcu, Text(kUser) + u"U");
    }
    void TearDown() override { The_Machine().Reset(); }

    static HKEY Open(const char16_t* path, REGSAM sam = KEY_ALL_ACCESS) {
        HKEY key = nullptr;
        EXPECT_EQ(ERROR_SUCCESS, RegOpenKeyExW(HKEY_CLASSES_ROOT, path, 0, sam, &key)) << winsim::To_Utf8(path);
        return key;
    }
    static std::string Subkeys(HKEY key) {
        std::string names;
        WCHAR name[260];
        for (DWORD index = 0;; ++index) {
            DWORD length = 260;
            LSTATUS status = RegEnumKeyExW(key, index, name, &length, nullptr, nullptr, nullptr, nullptr);
            if (status != ERROR_SUCCESS) return names + std::to_string(status);
            names += winsim::To_Utf8(Text(name, length)) + " ";
        }
    }
    // "name=data" of every value in enumeration order, then the final status.
    static std::string Values(HKEY key) {
        std::string text;
        WCHAR name[64];
        for (DWORD index = 0;; ++index) {
            DWORD length = 64, size = 64;
            BYTE data[64];
            LSTATUS status = RegEnumValueW(key, index, name, &length, nullptr, nullptr, data, &size);
            if (status != ERROR_SUCCESS) return text + std::to_string(status);
            text += winsim::To_Utf8(Text(name, length)) + "=" +
                    winsim::To_Utf8(Text(reinterpret_cast<const char16_t*>(data))) + " ";
        }
    }
    static std::string Read(HKEY key, const char16_t* name) {
        BYTE data[64];
        DWORD size = sizeof data;
        LSTATUS status = RegQueryValueExW(key, name, nullptr, nullptr, data, &size);
        return status ? std::to_string(status) : winsim::To_Utf8(reinterpret_cast<const char16_t*>(data));
    }
    static bool In(winsim::Reg_Key& hive, const std::u16string& path) { return Find_Key(hive, path) != nullptr; }
};

TEST_F(WinsimClassesRoot, ReadsAndEnumeratesTheMergedView) {
    HKEY root = Open(u"");
    EXPECT_EQ("M U X 259", Subkeys(root));
    RegCloseKey(root);
    HKEY x = Open(u"X");
    EXPECT_EQ("A B c D 259", Subkeys(x));
    EXPECT_EQ("B=user b c=user c a=machine a 259", Values(x));
    EXPECT_EQ("user b", Read(x, u"b"));
    EXPECT_EQ("machine a", Read(x, u"A"));
    EXPECT_EQ("2", Read(x, u"d"));
    DWORD subkeys = 0, values = 0, longest = 0, largest = 0;
    ASSERT_EQ(ERROR_SUCCESS, RegQueryInfoKeyW(x, nullptr, nullptr, nullptr, &subkeys, &longest, nullptr, &values,
                                              nullptr, &largest, nullptr, nullptr));
    EXPECT_EQ(4u, subkeys);
    EXPECT_EQ(3u, values);
    EXPECT_EQ(20u, largest);  // "machine a" with its terminator
    // Indices out of order restart the walk; the answers stay the same.
    WCHAR name[8];
    DWORD length = 8;
    ASSERT_EQ(ERROR_SUCCESS, RegEnumKeyExW(x, 3, name, &length, nullptr, nullptr, nullptr, nullptr));
    EXPECT_EQ(u"D", Text(name, length));
    length = 8;
    ASSERT_EQ(ERROR_SUCCESS, RegEnumKeyExW(x, 1, name, &length, nullptr, nullptr, nullptr, nullptr));
    EXPECT_EQ(u"B", Text(name, length));
    EXPECT_EQ(ERROR_SUCCESS, RegOpenKeyExW(x, u"a", 0, KEY_READ, &root));
    RegCloseKey(root);
    EXPECT_EQ(ERROR_SUCCESS, RegOpenKeyExW(HKEY_CLASSES_ROOT, u"X\\d", 0, KEY_READ, &root));
    RegCloseKey(root);
    RegCloseKey(x);
}

TEST_F(WinsimClassesRoot, WritesAndDeletionsReachTheKeyWhereItLives) {
    HKEY x = Open(u"X");
    ASSERT_EQ(ERROR_SUCCESS, RegSetValueExW(x, u"new", 0, REG_SZ, Utf16_Bytes(u"n").data(), 4));
    EXPECT_NE(nullptr, Find_Key(The_Machine().hkcu, Text(kUser) + u"X")->Find_Value(u"new"));
    EXPECT_EQ(ERROR_SUCCESS, RegDeleteValueW(x, u"a"));  // only the machine's key has it
    EXPECT_EQ(ERROR_SUCCESS, RegDeleteValueW(x, u"b"));  // the user's goes, the machine's shows again
    EXPECT_EQ("machine b", Read(x, u"b"));
    EXPECT_EQ(ERROR_SUCCESS, RegDeleteValueW(x, u"b"));
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegDeleteValueW(x, u"b"));
    EXPECT_EQ("c=user c new=n 259", Values(x));

    // Keys: always created in the machine hive, with the ancestors it lacks, even below a key that
    // only the user's hive has (U) and through a handle opened on such a key.
    DWORD disposition = 0;
    HKEY made;
    HKEY user_only = Open(u"U");
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(user_only, u"Below", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &made,
                                             &disposition));
    EXPECT_EQ(DWORD(REG_CREATED_NEW_KEY), disposition);
    RegCloseKey(made);
    RegCloseKey(user_only);
    for (const char16_t* path : {u"X\\New", u"Fresh\\Deep", u"U\\New\\Deeper", u"M\\New"}) {
        ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_CLASSES_ROOT, path, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                                                 &made, &disposition));
        EXPECT_EQ(DWORD(REG_CREATED_NEW_KEY), disposition);
        RegCloseKey(made);
    }
    for (const char16_t* path : {u"X\\New", u"Fresh\\Deep", u"U\\New\\Deeper", u"M\\New", u"U\\Below"}) {
        EXPECT_TRUE(In(The_Machine().hklm, Text(kMachine) + path)) << winsim::To_Utf8(path);
        EXPECT_FALSE(In(The_Machine().hkcu, Text(kUser) + path)) << winsim::To_Utf8(path);
    }
    // A value set through a key that is the machine's alone goes there.
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExW(HKEY_CLASSES_ROOT, u"M", 0, KEY_SET_VALUE, &made));
    ASSERT_EQ(ERROR_SUCCESS, RegSetValueExW(made, u"m", 0, REG_SZ, Utf16_Bytes(u"m").data(), 4));
    RegCloseKey(made);
    EXPECT_NE(nullptr, Find_Key(The_Machine().hklm, Text(kMachine) + u"M")->Find_Value(u"m"));

    // A key in both hives: the user's goes first, then the machine's.
    The_Machine().calls.clear();
    EXPECT_EQ(ERROR_SUCCESS, RegDeleteKeyW(HKEY_CLASSES_ROOT, u"X\\C"));
    EXPECT_EQ(ERROR_SUCCESS, RegDeleteKeyW(x, u"C"));
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegDeleteKeyW(x, u"C"));
    EXPECT_EQ(ERROR_SUCCESS, RegDeleteKeyW(HKEY_CLASSES_ROOT, u"U\\New\\Deeper"));
    EXPECT_EQ(ERROR_ACCESS_DENIED, RegDeleteKeyW(HKEY_CLASSES_ROOT, u""));
    EXPECT_EQ(The_Machine().calls, (std::vector<std::string>{
                                       "RegDeleteKeyW HKEY_CURRENT_USER\\Software\\Classes\\X\\C",
                                       "RegDeleteKeyW HKEY_LOCAL_MACHINE\\SOFTWARE\\Classes\\X\\C",
                                       "RegDeleteKeyW HKEY_LOCAL_MACHINE\\SOFTWARE\\Classes\\X\\C",
                                       "RegDeleteKeyW HKEY_LOCAL_MACHINE\\SOFTWARE\\Classes\\U\\New\\Deeper",
                                       "RegDeleteKeyW HKEY_CURRENT_USER\\Software\\Classes",
                                   }));
    EXPECT_EQ("A B D New 259", Subkeys(x));

    // The handle stands for the keys that were there when it was opened: when the user's key goes,
    // it shows the machine's; when both have gone, it answers ERROR_KEY_DELETED.
    for (const char16_t* name : {u"B", u"D", u"c"}) Find_Key(The_Machine().hkcu, Text(kUser) + u"X")->Remove_Subkey(name);
    EXPECT_EQ(ERROR_SUCCESS, RegDeleteKeyW(x, u""));
    EXPECT_FALSE(In(The_Machine().hkcu, Text(kUser) + u"X"));
    EXPECT_EQ("A New 259", Subkeys(x));
    Find_Key(The_Machine().hklm, Text(kMachine) + u"X")->subkeys.clear();
    EXPECT_EQ(ERROR_SUCCESS, RegDeleteKeyW(HKEY_CLASSES_ROOT, u"X"));
    EXPECT_EQ("1018", Subkeys(x));
    RegCloseKey(x);

    // The classes root cannot be deleted through a handle opened on it either, even when the user's
    // classes key is empty.
    Make_Key(The_Machine().hkcu, u"Software")->Remove_Subkey(u"Classes");
    Make_Key(The_Machine().hkcu, u"Software\\Classes");
    HKEY classes = Open(u"");
    EXPECT_EQ(ERROR_ACCESS_DENIED, RegDeleteKeyW(classes, u""));
    RegCloseKey(classes);
    EXPECT_TRUE(In(The_Machine().hkcu, u"Software\\Classes"));
}

TEST_F(WinsimClassesRoot, TheThirtyTwoBitViewRedirectsEachHiveAsItsOwn) {
    Make_Key(The_Machine().hkcu, Text(kUser) + u"Wow6432Node\\CLSID\\{U32}");
    Make_Key(The_Machine().hklm, Text(kMachine) + u"Wow6432Node\\CLSID\\{M32}");
    Make_Key(The_Machine().hklm, Text(kMachine) + u"CLSID\\{M64}");
    Make_Key(The_Machine().hkcu, Text(kUser) + u"Installer\\Shared");
    HKEY clsid32 = Open(u"CLSID", KEY_READ | KEY_WOW64_32KEY);
    EXPECT_EQ("{M32} {U32} 259", Subkeys(clsid32));
    RegCloseKey(clsid32);
    HKEY clsid64 = Open(u"CLSID", KEY_READ);
    EXPECT_EQ("{M64} 259", Subkeys(clsid64));
    RegCloseKey(clsid64);
    HKEY shared = Open(u"Installer\\Shared", KEY_READ | KEY_WOW64_32KEY);  // Classes are shared outside CLSID
    RegCloseKey(shared);
    HKEY made;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_CLASSES_ROOT, u"CLSID\\{U32}\\InprocServer32", 0, nullptr, 0,
                                             KEY_ALL_ACCESS | KEY_WOW64_32KEY, nullptr, &made, nullptr));
    RegCloseKey(made);
    EXPECT_TRUE(In(The_Machine().hklm, Text(kMachine) + u"Wow6432Node\\CLSID\\{U32}\\InprocServer32"));
    EXPECT_FALSE(In(The_Machine().hkcu, Text(kUser) + u"Wow6432Node\\CLSID\\{U32}\\InprocServer32"));
}

TEST_F(WinsimClassesRoot, MergedEnumerationOfManyKeysIsLinear) {
    // 20000 component-like keys in each hive, every third one in both: enumerating all of them and
    // their values through one handle each stays fast only if no index re-merges the lists.
    winsim::Reg_Key* machine = Make_Key(The_Machine().hklm, Text(kMachine) + u"Many");
    winsim::Reg_Key* user = Make_Key(The_Machine().hkcu, Text(kUser) + u"Many");
    const int count = 20000;
    auto add = [](winsim::Reg_Key* key, const char16_t* prefix, int number) {
        char16_t digits[6];
        for (int at = 5; at >= 0; --at, number /= 10) digits[at] = char16_t(u'0' + number % 10);
        Text name = prefix + Text(digits, 6);
        key->Add_Subkey(name);
        key->Set_Value(name, REG_DWORD, {1, 0, 0, 0});
    };
    for (int i = 0; i < count; ++i) add(machine, u"M", i);
    for (int i = 0; i < count; ++i) add(user, u"U", i);
    for (int i = 0; i < count; i += 3) {
        add(machine, u"V", i);
        add(user, u"V", i);
    }
    HKEY many = Open(u"Many", KEY_READ);
    DWORD subkeys = 0, values = 0;
    ASSERT_EQ(ERROR_SUCCESS, RegQueryInfoKeyW(many, nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr, &values,
                                              nullptr, nullptr, nullptr, nullptr));
    EXPECT_EQ(DWORD(2 * count + (count + 2) / 3), subkeys);
    EXPECT_EQ(subkeys, values);
    WCHAR name[16];
    DWORD index = 0;
    Text previous;
    for (;; ++index) {
        DWORD length = 16;
        if (RegEnumKeyExW(many, index, name, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
        Text current(name, length);
        ASSERT_LT(winsim::Compare_Names(previous, current), 0) << index;
        previous = current;
    }
    EXPECT_EQ(subkeys, index);
    for (index = 0;; ++index) {
        DWORD length = 16;
        if (RegEnumValueW(many, index, name, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
    }
    EXPECT_EQ(values, index);
    RegCloseKey(many);
}

}  // namespace
