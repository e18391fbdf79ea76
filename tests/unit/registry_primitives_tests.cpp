// The registry primitives on the simulated registry: results, result records, log lines and the
// registry afterwards, in both views.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "foundation/Lib_Path.h"
#include "machine/machine.h"
#include "primitives/Registry_Primitives.h"
#include "test_support.h"

using winsim::The_Machine;

namespace {

class Registry_Primitives : public Log_Test {
protected:

    winsim::Reg_Key* Key(const std::u16string& path) { return Make_Key(The_Machine().hklm, path); }
    bool Exists(const std::u16string& path) { return Find_Key(The_Machine().hklm, path) != nullptr; }
};

TEST_F(Registry_Primitives, MissingTreeCountsAsDeletedWithoutALogLine) {
    Lib_Result result;
    EXPECT_TRUE(Changes().Delete_Registry_Key_Recursive(HKEY_LOCAL_MACHINE, TEXT("SOFTWARE\\Nobody\\Nothing"), result));
    EXPECT_EQ(Log_Text(), "");
    EXPECT_EQ(result.Get_Code(), 0);
}

TEST_F(Registry_Primitives, TreeGoesDeepestFirstWithPathsRelativeToTheOpenedParentInBothViews) {
    Key(u"SOFTWARE\\Vendor\\App\\B");
    Key(u"SOFTWARE\\Vendor\\App\\A\\A1")->Set_Value(u"v", REG_SZ, Utf16_Bytes(u"x"));
    Key(u"SOFTWARE\\Wow6432Node\\Vendor\\App\\C");
    Key(u"SOFTWARE\\Vendor\\Other");
    Lib_Result result;
    EXPECT_TRUE(Changes().Delete_Registry_Keys_In_Path(HKEY_LOCAL_MACHINE, TEXT("SOFTWARE\\Vendor"), TEXT("App"), result));
    EXPECT_EQ(Log_Text(), Lines({"   Deleting registry keys in path (KEY_SET_VALUE):  SOFTWARE\\Vendor",
                                 "      Deleting registry key:  App\\A\\A1",
                                 "      Deleting registry key:  App\\A",
                                 "      Deleting registry key:  App\\B",
                                 "      Deleting registry key:  App",
                                 "   Deleting registry keys in path (KEY_SET_VALUE | KEY_WOW64_32KEY):  SOFTWARE\\Vendor",
                                 "      Deleting registry key:  App\\C",
                                 "      Deleting registry key:  App"}));
    EXPECT_FALSE(Exists(u"SOFTWARE\\Vendor\\App"));
    EXPECT_FALSE(Exists(u"SOFTWARE\\Wow6432Node\\Vendor\\App"));
    EXPECT_TRUE(Exists(u"SOFTWARE\\Vendor\\Other"));
    EXPECT_TRUE(Exists(u"SOFTWARE\\Wow6432Node\\Vendor"));
}

TEST_F(Registry_Primitives, ParentOnlyInTheNativeViewFailsTheSecondViewWithItsStatus) {
    Key(u"SOFTWARE\\Native\\App");
    Lib_Result result;
    EXPECT_FALSE(Changes().Delete_Registry_Keys_In_Path(HKEY_LOCAL_MACHINE, TEXT("SOFTWARE\\Native"), TEXT("App"), result));
    EXPECT_EQ(Log_Text(), Lines({"   Deleting registry keys in path (KEY_SET_VALUE):  SOFTWARE\\Native",
                                 "      Deleting registry key:  App"}) +
                              Error_Report("", "RegOpenKeyEx", 2));
    EXPECT_FALSE(Exists(u"SOFTWARE\\Native\\App"));
    EXPECT_EQ(result.Get_Code(), 2);
    EXPECT_EQ(result.Get_Source(), 1);
}

TEST_F(Registry_Primitives, FirstViewsFailureStaysInTheRecord) {
    Key(u"SOFTWARE\\Wow6432Node\\Only32\\App");
    Lib_Result result;
    EXPECT_FALSE(Changes().Delete_Registry_Keys_In_Path(HKEY_LOCAL_MACHINE, TEXT("SOFTWARE\\Only32"), TEXT("App"), result));
    EXPECT_EQ(result.Get_Code(), 2);
    EXPECT_FALSE(Exists(u"SOFTWARE\\Wow6432Node\\Only32\\App"));
    EXPECT_EQ(Log_Text(), Error_Report("", "RegOpenKeyEx", 2) +
                              Lines({"   Deleting registry keys in path (KEY_SET_VALUE | KEY_WOW64_32KEY):  "
                                     "SOFTWARE\\Only32",
                                     "      Deleting registry key:  App"}));
}

TEST_F(Registry_Primitives, SharedUserKeyIsDeletedOnceAndTheSecondViewFindsItGone) {
    Make_Key(The_Machine().hkcu, u"SOFTWARE\\Vendor\\App\\Sub");
    Lib_Result result;
    EXPECT_TRUE(Changes().Delete_Registry_Keys_In_Path(HKEY_CURRENT_USER, TEXT("SOFTWARE"), TEXT("Vendor"), result));
    EXPECT_EQ(Log_Text(), Lines({"   Deleting registry keys in path (KEY_SET_VALUE):  SOFTWARE",
                                 "      Deleting registry key:  Vendor\\App\\Sub",
                                 "      Deleting registry key:  Vendor\\App",
                                 "      Deleting registry key:  Vendor",
                                 "   Deleting registry keys in path (KEY_SET_VALUE | KEY_WOW64_32KEY):  SOFTWARE"}));
    EXPECT_EQ(Find_Key(The_Machine().hkcu, u"SOFTWARE\\Vendor"), nullptr);
}

// Links in a tree and a tree that is itself a link (given with a trailing backslash) go as the links,
// logged as keys; their targets keep every subkey and value. A failed deletion of a link is reported
// as any key's.
TEST_F(Registry_Primitives, LinkKeysGoAsLinksAndTheirTargetsStay) {
    Key(u"SYSTEM\\Services\\Svc")->Set_Value(u"Start", REG_DWORD, {2, 0, 0, 0});
    Key(u"SYSTEM\\Services\\Leaf");
    Key(u"SOFTWARE\\Tree\\B");
    auto link = [&](const std::u16string& path, const std::u16string& target) {
        winsim::Reg_Key* key = Key(path);
        key->link = true;
        std::u16string text = u"\\Registry\\Machine\\" + target;
        std::vector<uint8_t> data = Utf16_Bytes(text);
        data.resize(data.size() - 2);
        key->Set_Value(u"SymbolicLinkValue", REG_LINK, data);
    };
    link(u"SOFTWARE\\Tree\\A", u"SYSTEM\\Services");
    link(u"SOFTWARE\\Tree\\B\\Leaf", u"SYSTEM\\Services\\Leaf");
    link(u"SOFTWARE\\Top", u"SYSTEM\\Services\\Leaf");
    link(u"SOFTWARE\\Held", u"SYSTEM\\Services\\Leaf");
    The_Machine().Add_Fault("NtDeleteKey", 1, 0xC0000022u, u"Held");
    Lib_Result result;
    EXPECT_TRUE(Changes().Delete_Registry_Key_Recursive(HKEY_LOCAL_MACHINE, TEXT("SOFTWARE\\Tree"), result));
    EXPECT_TRUE(Changes().Delete_Registry_Key_Recursive(HKEY_LOCAL_MACHINE, TEXT("SOFTWARE\\Top\\"), result));
    EXPECT_FALSE(Changes().Delete_Registry_Key_Recursive(HKEY_LOCAL_MACHINE, TEXT("SOFTWARE\\Held"), result));
    EXPECT_EQ(Log_Text(), Lines({"   Deleting registry key:  SOFTWARE\\Tree\\A",
                                 "   Deleting registry key:  SOFTWARE\\Tree\\B\\Leaf",
                                 "   Deleting registry key:  SOFTWARE\\Tree\\B",
                                 "   Deleting registry key:  SOFTWARE\\Tree",
                                 "   Deleting registry key:  SOFTWARE\\Top\\",
                                 "   Deleting registry key:  SOFTWARE\\Held"}) +
                              Error_Report("", "RegDeleteKey", 5) + Exit_Line("", "Delete_Registry_Key"));
    EXPECT_EQ(result.Get_Code(), 5);
    EXPECT_FALSE(Exists(u"SOFTWARE\\Tree"));
    EXPECT_FALSE(Exists(u"SOFTWARE\\Top"));
    EXPECT_TRUE(Exists(u"SOFTWARE\\Held"));
    EXPECT_TRUE(Exists(u"SYSTEM\\Services\\Leaf"));
    winsim::Reg_Key* svc = Find_Key(The_Machine().hklm, u"SYSTEM\\Services\\Svc");
    ASSERT_NE(svc, nullptr);
    ASSERT_NE(svc->Find_Value(u"Start"), nullptr);
    EXPECT_EQ(svc->Find_Value(u"Start")->data, (std::vector<uint8_t>{2, 0, 0, 0}));
}

TEST_F(Registry_Primitives, ChildThatCannotGoStopsItsSiblingsAndFailsTheParent) {
    Key(u"SOFTWARE\\Tree\\A");
    Key(u"SOFTWARE\\Tree\\B")->write_protected = true;
    Key(u"SOFTWARE\\Tree\\C");
    Lib_Result result;
    EXPECT_FALSE(Changes().Delete_Registry_Key_Recursive(HKEY_LOCAL_MACHINE, TEXT("SOFTWARE\\Tree"), result));
    EXPECT_EQ(Log_Text(), Lines({"   Deleting registry key:  SOFTWARE\\Tree\\A",
                                 "   Deleting registry key:  SOFTWARE\\Tree\\B"}) +
                              Error_Report("", "RegDeleteKey", 5) + Exit_Line("", "Delete_Registry_Key") +
                              Lines({"   Deleting registry key:  SOFTWARE\\Tree"}) +
                              Error_Report("", "RegDeleteKey", 5) + Exit_Line("", "Delete_Registry_Key"));
    EXPECT_FALSE(Exists(u"SOFTWARE\\Tree\\A"));
    EXPECT_TRUE(Exists(u"SOFTWARE\\Tree\\B"));
    EXPECT_TRUE(Exists(u"SOFTWARE\\Tree\\C"));
    EXPECT_EQ(result.Get_Code(), 5);
}

TEST_F(Registry_Primitives, EnumerationListsSubkeysAndValuesWithTheDefaultValueUnnamed) {
    winsim::Reg_Key* key = Key(u"SOFTWARE\\List");
    key->Set_Value(u"zeta", REG_DWORD, {1, 0, 0, 0});
    key->Set_Value(u"", REG_SZ, Utf16_Bytes(u"default"));
    key->Set_Value(u"alpha", REG_SZ, Utf16_Bytes(u"a"));
    Key(u"SOFTWARE\\List\\beta");
    Key(u"SOFTWARE\\List\\Alpha");
    Lib_String_List subkeys{Lib_StringW(TEXT("stale"))}, values{Lib_StringW(TEXT("stale"))};
    Lib_Result result;
    ASSERT_TRUE(Enum_Sub_Keys_And_Values_In_Registry_Key(HKEY_LOCAL_MACHINE, TEXT("SOFTWARE\\List"), subkeys,
                                                         values, result, 0));
    EXPECT_EQ(Texts(subkeys), (std::vector<std::u16string>{u"Alpha", u"beta"}));
    EXPECT_EQ(Texts(values), (std::vector<std::u16string>{u"zeta", u"", u"alpha"}));
    EXPECT_EQ(Log_Text(), "");
}

// Names that hold a zero character (the native API makes them; regedit cannot show them): the
// enumeration gives their whole length, a call taking the name as text would cut it at the zero and
// reach another key (an empty text: the parent itself, whose tree deletion would start again on itself
// until the stack ran out). They are logged with the parent's path and the name up to the zero, and
// left out; the deletion goes on with the rest.
TEST_F(Registry_Primitives, NamesWithAZeroCharacterAreLoggedAndLeftOut) {
    const auto zero = [](const std::u16string& before, const std::u16string& after) {
        return before + char16_t(0) + after;
    };
    struct Case {
        const char* tree;
        std::function<void()> make;
        std::string log;
        std::vector<std::u16string> left;  // the keys below SOFTWARE afterwards
    };
    const Case cases[] = {
        {"a subkey whose name begins with the zero, beside an ordinary one",
         [&] {
             Key(u"SOFTWARE\\Tree\\" + zero(u"", u"hidden"));
             Key(u"SOFTWARE\\Tree\\A");
         },
         Lines({"   Not listed (registry key name with a zero character, shown up to it):  SOFTWARE\\Tree\\",
                "   Deleting registry key:  SOFTWARE\\Tree\\A", "   Deleting registry key:  SOFTWARE\\Tree"}) +
             Error_Report("", "RegDeleteKey", 5) + Exit_Line("", "Delete_Registry_Key"),
         {u"Tree", u"Tree\\" + zero(u"", u"hidden")}},
        {"a subkey whose name up to the zero is its sibling's",
         [&] {
             Key(u"SOFTWARE\\Tree\\A\\Sub");
             Key(u"SOFTWARE\\Tree\\" + zero(u"A", u"tail"));
         },
         Lines({"   Not listed (registry key name with a zero character, shown up to it):  SOFTWARE\\Tree\\A",
                "   Deleting registry key:  SOFTWARE\\Tree\\A\\Sub", "   Deleting registry key:  SOFTWARE\\Tree\\A",
                "   Deleting registry key:  SOFTWARE\\Tree"}) +
             Error_Report("", "RegDeleteKey", 5) + Exit_Line("", "Delete_Registry_Key"),
         {u"Tree", u"Tree\\" + zero(u"A", u"tail")}},
        {"values whose names hold the zero go with their key",
         [&] {
             winsim::Reg_Key* key = Key(u"SOFTWARE\\Tree\\A");
             key->Set_Value(zero(u"run", u"me"), REG_SZ, Utf16_Bytes(u"x"));
             key->Set_Value(u"plain", REG_SZ, Utf16_Bytes(u"y"));
             key->Set_Value(zero(u"", u""), REG_SZ, Utf16_Bytes(u"z"));
         },
         Lines({"   Not listed (registry value name with a zero character, shown up to it):  SOFTWARE\\Tree\\A\\run",
                "   Not listed (registry value name with a zero character, shown up to it):  SOFTWARE\\Tree\\A\\",
                "   Deleting registry key:  SOFTWARE\\Tree\\A", "   Deleting registry key:  SOFTWARE\\Tree"}),
         {}},
    };
    for (const Case& row : cases) {
        SetUp();
        Key(u"SOFTWARE\\Other");
        row.make();
        Lib_Result result;
        EXPECT_EQ(Changes().Delete_Registry_Key_Recursive(HKEY_LOCAL_MACHINE, TEXT("SOFTWARE\\Tree"), result), row.left.empty())
            << row.tree;
        EXPECT_EQ(Log_Text(), row.log) << row.tree;
        std::vector<std::u16string> left;
        std::function<void(const winsim::Reg_Key&, const std::u16string&)> walk =
            [&](const winsim::Reg_Key& key, const std::u16string& path) {
                for (const auto& subkey : key.subkeys) {
                    left.push_back(path + subkey->name);
                    walk(*subkey, path + subkey->name + u"\\");
                }
            };
        walk(*Find_Key(The_Machine().hklm, u"SOFTWARE"), u"");
        std::vector<std::u16string> expected = row.left;
        expected.insert(expected.begin(), u"Other");
        EXPECT_EQ(left, expected) << row.tree;
    }

    // The enumeration of a key leaves them out of both lists the same way.
    SetUp();
    winsim::Reg_Key* key = Key(u"SOFTWARE\\List");
    key->Add_Subkey(zero(u"vespario", u""));
    key->Add_Subkey(u"vespario");
    key->Set_Value(zero(u"vespario", u"x"), REG_SZ, Utf16_Bytes(u""));
    Lib_String_List subkeys, values;
    Lib_Result result;
    ASSERT_TRUE(Enum_Sub_Keys_And_Values_In_Registry_Key(HKEY_LOCAL_MACHINE, TEXT("SOFTWARE\\List\\"), subkeys,
                                                         values, result, 0));
    EXPECT_EQ(Texts(subkeys), (std::vector<std::u16string>{u"vespario"}));
    EXPECT_EQ(Texts(values), (std::vector<std::u16string>{}));
    EXPECT_EQ(Log_Text(),
              Lines({"   Not listed (registry key name with a zero character, shown up to it):  SOFTWARE\\List\\vespario",
                     "   Not listed (registry value name with a zero character, shown up to it):  SOFTWARE\\List\\vespario"}));
}

TEST_F(Registry_Primitives, EnumerationOfAMissingKeySucceedsEmptyButAMissingPathStatusFails) {
    Lib_String_List subkeys{Lib_StringW(TEXT("stale"))}, values{Lib_StringW(TEXT("stale"))};
    Lib_Result result;
    EXPECT_TRUE(Enum_Sub_Keys_And_Values_In_Registry_Key(HKEY_LOCAL_MACHINE, TEXT("SOFTWARE\\Missing"), subkeys,
                                                         values, result, 0));
    EXPECT_TRUE(subkeys.empty());
    EXPECT_TRUE(values.empty());

    The_Machine().Add_Fault("RegOpenKeyExW", 1, ERROR_PATH_NOT_FOUND);
    subkeys.assign(1, Lib_StringW(TEXT("kept")));
    EXPECT_FALSE(Enum_Sub_Keys_And_Values_In_Registry_Key(HKEY_LOCAL_MACHINE, TEXT("SOFTWARE\\Missing"), subkeys,
                                                          values, result, 0));
    EXPECT_EQ(Texts(subkeys), (std::vector<std::u16string>{u"kept"}));
    EXPECT_EQ(result.Get_Code(), 3);
    EXPECT_EQ(Log_Text(), Error_Report("", "RegOpenKeyEx", 3));
}

TEST_F(Registry_Primitives, EnumerationFailureEmptiesTheListsAndWritesTheExitLine) {
    Key(u"SOFTWARE\\List\\one");
    Key(u"SOFTWARE\\List")->Set_Value(u"v", REG_SZ, Utf16_Bytes(u"x"));
    The_Machine().Add_Fault("RegEnumValueW", 1, ERROR_ACCESS_DENIED);
    Lib_String_List subkeys, values;
    Lib_Result result;
    EXPECT_FALSE(Enum_Sub_Keys_And_Values_In_Registry_Key(HKEY_LOCAL_MACHINE, TEXT("SOFTWARE\\List"), subkeys,
                                                          values, result, 0));
    EXPECT_TRUE(subkeys.empty());
    EXPECT_TRUE(values.empty());
    EXPECT_EQ(Log_Text(), Error_Report("", "RegEnumValue", 5) +
                              Exit_Line("", "Enum_Sub_Keys_And_Values_In_Registry_Key"));
}

TEST_F(Registry_Primitives, ValueExistenceOnAMissingKeyIsTrueWithTheExitLineOnly) {
    bool exists = true;
    Lib_Result result;
    EXPECT_TRUE(Is_Registry_Value_Exists(HKEY_LOCAL_MACHINE, TEXT("SOFTWARE\\Missing"), TEXT("v"), exists, result));
    EXPECT_FALSE(exists);
    EXPECT_EQ(Log_Text(), Exit_Line("", "Is_Registry_Value_Exists"));
    Key(u"SOFTWARE\\Present")->Set_Value(u"v", REG_DWORD, {0, 0, 0, 0});
    EXPECT_TRUE(Is_Registry_Value_Exists(HKEY_LOCAL_MACHINE, TEXT("SOFTWARE\\Present"), TEXT("V"), exists, result));
    EXPECT_TRUE(exists);
    EXPECT_TRUE(Is_Registry_Value_Exists(HKEY_LOCAL_MACHINE, TEXT("SOFTWARE\\Present"), TEXT("w"), exists, result));
    EXPECT_FALSE(exists);
}

TEST_F(Registry_Primitives, DeletingAMissingValueFailsWithAReport) {
    Key(u"SOFTWARE\\Shared")->Set_Value(u"C:\\x\\vpAPI.dll", REG_DWORD, {1, 0, 0, 0});
    Lib_Result result;
    EXPECT_FALSE(Changes().Delete_Registry_Value(HKEY_LOCAL_MACHINE, TEXT("SOFTWARE\\Shared"), TEXT("C:\\x\\absent.dll"), result,
                                                 KEY_WOW64_32KEY));
    EXPECT_EQ(Log_Text(), Lines({"   Deleting registry value:  C:\\x\\absent.dll", "REGSAM:  512(0x200)"}) +
                              Error_Report("", "RegOpenKeyEx", 2) + Exit_Line("", "Delete_Registry_Value"));
    Clear_Log();
    EXPECT_TRUE(Changes().Delete_Registry_Value(HKEY_LOCAL_MACHINE, TEXT("SOFTWARE\\Shared"), TEXT("C:\\x\\vpAPI.dll"), result, 0));
    EXPECT_EQ(Key(u"SOFTWARE\\Shared")->Find_Value(u"C:\\x\\vpAPI.dll"), nullptr);
    EXPECT_FALSE(Changes().Delete_Registry_Value(HKEY_LOCAL_MACHINE, TEXT("SOFTWARE\\Shared"), TEXT("C:\\x\\vpAPI.dll"), result, 0));
    EXPECT_EQ(Log_Text(), Lines({"   Deleting registry value:  C:\\x\\vpAPI.dll", "REGSAM:  0(0x0)",
                                 "   Deleting registry value:  C:\\x\\vpAPI.dll", "REGSAM:  0(0x0)"}) +
                              Error_Report("", "RegDeleteValue", 2));
    EXPECT_EQ(result.Get_Code(), 2);
}

TEST_F(Registry_Primitives, StringValuesAreReadWhateverTheirTerminationAndType) {
    winsim::Reg_Key* key = Key(u"SOFTWARE\\Values");
    key->Set_Value(u"plain", REG_SZ, Utf16_Bytes(u"C:\\Cache\\setup.exe"));
    std::vector<uint8_t> unterminated = {'a', 0, 'b', 0};
    key->Set_Value(u"unterminated", REG_SZ, unterminated);
    std::vector<uint8_t> odd = {'a', 0, 'b', 0, 'c'};
    key->Set_Value(u"odd", REG_BINARY, odd);
    key->Set_Value(u"multi", REG_MULTI_SZ, Utf16_Bytes(std::u16string(u"{2A9F}\0second\0", 15)));
    key->Set_Value(u"empty", REG_SZ, {});
    Lib_Result result;
    auto read = [&](const char16_t* name) {
        Lib_StringW value(TEXT("unchanged"));
        bool ok = Get_Registry_Value(HKEY_LOCAL_MACHINE, TEXT("SOFTWARE\\Values"), name, value, result, 0);
        return (ok ? u"ok:" : u"failed:") + std::u16string(value.Is_Empty() ? u"" : value.Get_Text());
    };
    EXPECT_EQ(read(u"plain"), u"ok:C:\\Cache\\setup.exe");
    EXPECT_EQ(read(u"unterminated"), u"ok:ab");
    EXPECT_EQ(read(u"odd"), u"ok:ab");
    EXPECT_EQ(read(u"multi"), u"ok:{2A9F}");
    EXPECT_EQ(read(u"empty"), u"ok:");
    EXPECT_EQ(read(u"absent"), u"failed:unchanged");
    EXPECT_EQ(result.Get_Code(), 2);
    EXPECT_EQ(Log_Text(), "");
}

// A value is read in one query; one longer than the buffer on the stack (512 characters, its zero included) in a second
// one of the size the first answered, and one that grew again since then fails without a record.
TEST_F(Registry_Primitives, ValueIsReadInOneQueryAndALongOneInASecond) {
    const std::u16string long_text(600, u'x');
    Key(u"SOFTWARE\\Values")->Set_Value(u"short", REG_SZ, Utf16_Bytes(u"short"));
    Key(u"SOFTWARE\\Values")->Set_Value(u"fits", REG_SZ, Utf16_Bytes(std::u16string(511, u'y')));
    Key(u"SOFTWARE\\Values")->Set_Value(u"long", REG_SZ, Utf16_Bytes(long_text));
    struct Case {
        const char16_t* name;
        unsigned failing_query;  // 0: none
        bool read;
        std::u16string value;
        size_t queries;
    };
    const Case cases[] = {
        {u"short", 0, true, u"short", 1},
        {u"fits", 0, true, std::u16string(511, u'y'), 1},
        {u"long", 0, true, long_text, 2},
        {u"long", 2, false, u"unchanged", 2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(winsim::To_Utf8(c.name));
        if (c.failing_query != 0) The_Machine().Add_Fault("RegQueryValueExW", c.failing_query, ERROR_MORE_DATA);
        The_Machine().api_trace.clear();
        The_Machine().trace_apis = true;
        Lib_StringW value(TEXT("unchanged"));
        Lib_Result result;
        EXPECT_EQ(Get_Registry_Value(HKEY_LOCAL_MACHINE, TEXT("SOFTWARE\\Values"), c.name, value, result, 0), c.read);
        The_Machine().trace_apis = false;
        The_Machine().faults.clear();
        EXPECT_EQ(std::u16string(value.Get_Text()), c.value);
        EXPECT_EQ(result.Get_Code(), 0);
        EXPECT_EQ(std::count(The_Machine().api_trace.begin(), The_Machine().api_trace.end(), "RegQueryValueExW"),
                  std::ptrdiff_t(c.queries));
    }
    EXPECT_EQ(Log_Text(), "");
}

TEST_F(Registry_Primitives, ValueIsWrittenIntoACreatedKeyBetweenTraceLines) {
    const std::u16string command = u"\"C:\\Cache\\setup.exe\" /uninstall /quiet";
    Lib_Result result;
    EXPECT_TRUE(Changes().Set_Registry_Value(HKEY_LOCAL_MACHINE, TEXT("SOFTWARE\\Wow6432Node\\RunOnceTest"), TEXT("remove"),
                                             REG_SZ, reinterpret_cast<const BYTE*>(command.c_str()),
                                             static_cast<DWORD>((command.size() + 1) * 2), result));
    winsim::Reg_Value* value = Key(u"SOFTWARE\\Wow6432Node\\RunOnceTest")->Find_Value(u"remove");
    ASSERT_NE(value, nullptr);
    EXPECT_EQ(value->type, static_cast<DWORD>(REG_SZ));
    EXPECT_EQ(value->data, Utf16_Bytes(command));
    EXPECT_EQ(Log_Text(), Lines({"vpRemovalTool.exe!Set_Registry_Value"}) + Exit_Line("", "Set_Registry_Value"));
}

TEST_F(Registry_Primitives, RefusedWriteIsReportedBetweenTheTraceLines) {
    Key(u"SOFTWARE\\Locked")->write_protected = true;
    const std::u16string data = u"x";
    Lib_Result result;
    EXPECT_FALSE(Changes().Set_Registry_Value(HKEY_LOCAL_MACHINE, TEXT("SOFTWARE\\Locked"), TEXT("remove"), REG_SZ,
                                              reinterpret_cast<const BYTE*>(data.c_str()), 4, result));
    EXPECT_EQ(Log_Text(), Lines({"vpRemovalTool.exe!Set_Registry_Value"}) + Error_Report("   ", "RegCreateKeyEx", 5) +
                              Exit_Line("", "Set_Registry_Value"));
    EXPECT_EQ(result.Get_Code(), 5);
}

TEST_F(Registry_Primitives, CombinePathPutsExactlyOneSeparatorBetweenPresentParts) {
    Lib_StringW path;
    auto combine = [&](const char16_t* a, const char16_t* b, const char16_t* c) {
        EXPECT_TRUE(Combine_Path(a, b, c, path));
        return std::u16string(path.Is_Empty() ? u"" : path.Get_Text());
    };
    EXPECT_EQ(combine(u"C:\\Windows", u"Inf", u"oem1.inf"), u"C:\\Windows\\Inf\\oem1.inf");
    EXPECT_EQ(combine(u"SOFTWARE\\Uninstall\\", nullptr, u"{X}"), u"SOFTWARE\\Uninstall\\{X}");
    EXPECT_EQ(combine(u"C:\\Windows", nullptr, nullptr), u"C:\\Windows");
    EXPECT_EQ(combine(u"C:\\Windows", u"", u"a"), u"C:\\Windows\\a");
    // Long paths are never cut: a cut path could name another, existing object.
    std::u16string deep = u"C:\\" + std::u16string(300, u'd');
    EXPECT_EQ(combine(deep.c_str(), u"tail", nullptr), deep + u"\\tail");
}

}  // namespace
