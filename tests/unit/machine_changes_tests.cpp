// The changes' two implementations on the demo machine: every operation of the live one changes the
// machine where it is meant to, the same operation of the check changes nothing (winsim sees no
// changing call, and the registry, drive C: and every security stay as they were) and records what it
// would remove; and what the check counts as removed.
#include <gtest/gtest.h>

#include <functional>
#include <set>
#include <string>
#include <vector>

#include <aclapi.h>
#include <shlobj.h>

#include "diagnostics/Log_Report.h"
#include "machine/machine.h"
#include "primitives/Check_Changes.h"
#include "primitives/File_Primitives.h"
#include "primitives/Live_Changes.h"
#include "primitives/Registry_Primitives.h"
#include "test_support.h"

using winsim::The_Machine;

namespace {

const std::set<std::string> Changing_Apis = {
    "CreateDirectoryW", "CreateHardLinkW", "DeleteFileW",   "MoveFileExW",      "NtDeleteKey",
    "RegCreateKeyExW",  "RegDeleteKeyW",   "RegDeleteValueW", "RegSetValueExW",  "RemoveDirectoryW",
    "SetFileAttributesW", "SetNamedSecurityInfoW", "SetSecurityInfo", "SetupUninstallOEMInfW", "WriteFile",
};

const WCHAR Smart_Cards[] = TEXT("SOFTWARE\\Microsoft\\Cryptography\\Calais\\SmartCards");
const WCHAR Shared_Dlls[] = TEXT("SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\SharedDLLs");
const WCHAR Products[] = TEXT("Installer\\Products\\4EC1AA496A240B9419E0F5CAC3D5076F");

// Drive C: as text: every entry's path, attributes, size and security.
void Describe(const winsim::Fs_Node& node, const std::string& path, std::string& out) {
    out += path + " " + std::to_string(node.attributes) + " " + std::to_string(node.data.size()) + " " +
           std::to_string(reinterpret_cast<uintptr_t>(node.security.get())) + "\n";
    for (const auto& child : node.children) Describe(*child, path + "\\" + winsim::To_Utf8(child->name), out);
}

// Everything a change could touch.
std::string Machine_State() {
    winsim::Machine& machine = The_Machine();
    std::string state = winsim::Export_Registry_File(machine);
    Describe(machine.drive_c, "C:", state);
    return state + "key security changes: " + std::to_string(machine.security_before.size());
}

class Machine_Changes_Test : public Log_Test {
protected:
    void Load_Demo() {
        Fresh_Machine();
        The_Machine().Reset();
        std::string error;
        ASSERT_TRUE(winsim::Load_Scenario(The_Machine(), std::string(SOURCE_DIR) + "/machines/demo", error)) << error;
        Log_Create_File();
    }

    struct Outcome {
        std::vector<std::string> changing_calls;  // the changing calls winsim saw
        bool unchanged = false;                   // whether the machine is as it was
        std::vector<std::string> items;           // what the check recorded
        unsigned error_reports = 0;               // during the check
    };

    // Runs the operation on a fresh demo machine with the live implementation in force, or with the
    // check in force and the log quiet, as the entry point runs its check.
    Outcome Run(const std::function<void(Machine_Changes&)>& operation, bool check,
                const std::function<void()>& prepare) {
        Outcome outcome;
        Load_Demo();
        if (prepare) prepare();
        const std::string before = Machine_State();
        The_Machine().api_trace.clear();
        The_Machine().trace_apis = true;
        if (check) {
            Quiet_Log quiet;
            Check_Changes changes;
            {
                Changes_In_Force in_force(changes);
                operation(changes);
            }
            for (const Lib_StringW& item : changes.Items()) outcome.items.push_back(winsim::To_Utf8(item.Get_Text()));
            outcome.error_reports = quiet.Error_Reports();
        } else {
            Live_Changes changes;
            Changes_In_Force in_force(changes);
            operation(changes);
        }
        The_Machine().trace_apis = false;
        outcome.unchanged = Machine_State() == before;
        for (const std::string& api : The_Machine().api_trace) {
            if (Changing_Apis.count(api) != 0) outcome.changing_calls.push_back(api);
        }
        return outcome;
    }
};

struct Row {
    const char* operation;
    bool changes;  // whether the live implementation changes the demo machine with it
    std::function<void(Machine_Changes&)> run;
    std::vector<std::string> items;  // what the check records
    std::function<void()> prepare;    // made of the demo machine first, when given
};

TEST_F(Machine_Changes_Test, EveryOperationChangesTheMachineLiveAndNothingInTheCheck) {
    const Row rows[] = {
        {"Delete_Registry_Key", true,
         [](Machine_Changes& c) {
             Lib_Result r;
             c.Delete_Registry_Key(HKEY_LOCAL_MACHINE,
                                   TEXT("SOFTWARE\\Microsoft\\Cryptography\\Calais\\SmartCards\\VESPARIO"), r);
         },
         {"HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Cryptography\\Calais\\SmartCards\\VESPARIO"}},
        {"Delete_Registry_Key_Recursive", true,
         [](Machine_Changes& c) {
             Lib_Result r;
             c.Delete_Registry_Key_Recursive(HKEY_LOCAL_MACHINE, TEXT("SOFTWARE\\Corvanta LLP.\\VESPARIO"), r);
         },
         {"HKEY_LOCAL_MACHINE\\SOFTWARE\\Corvanta LLP.\\VESPARIO"}},
        {"Delete_Registry_Keys_In_Path", true,
         [](Machine_Changes& c) {
             Lib_Result r;
             c.Delete_Registry_Keys_In_Path(HKEY_LOCAL_MACHINE, Smart_Cards, TEXT("VESPARIO FKC"), r);
         },
         {"HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Cryptography\\Calais\\SmartCards\\VESPARIO FKC",
          "HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Cryptography\\Calais\\SmartCards\\VESPARIO FKC (32-bit view)"}},
        {"Delete_Registry_Value", true,
         [](Machine_Changes& c) {
             Lib_Result r;
             c.Delete_Registry_Value(HKEY_LOCAL_MACHINE, Shared_Dlls, TEXT("C:\\WINDOWS\\system32\\vpAPIi.dll"), r, 0);
         },
         {"value \"C:\\WINDOWS\\system32\\vpAPIi.dll\" of "
          "HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\SharedDLLs"}},
        {"Delete_Registry_Value_Quietly", true,
         [](Machine_Changes& c) {
             c.Delete_Registry_Value_Quietly(HKEY_LOCAL_MACHINE, Shared_Dlls, TEXT("C:\\WINDOWS\\system32\\vpAPI.dll"),
                                             0);
         },
         {"value \"C:\\WINDOWS\\system32\\vpAPI.dll\" of "
          "HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\SharedDLLs"}},
        {"Set_Registry_Value", true,
         [](Machine_Changes& c) {
             Lib_Result r;
             const WCHAR data[] = TEXT("x");
             c.Set_Registry_Value(HKEY_LOCAL_MACHINE, TEXT("SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\RunOnce"),
                                  TEXT("remove"), REG_SZ, reinterpret_cast<const BYTE*>(data), sizeof(data), r);
         },
         {}},
        {"Change_Key_Security", true,
         [](Machine_Changes& c) {
             WCHAR name[] = TEXT("MACHINE\\SOFTWARE\\Microsoft\\Cryptography\\Calais\\Readers");
             c.Change_Key_Security(name, SE_REGISTRY_KEY, [&name] {
                 return SetNamedSecurityInfoW(name, SE_REGISTRY_KEY, DACL_SECURITY_INFORMATION, nullptr, nullptr,
                                              nullptr, nullptr) == ERROR_SUCCESS;
             });
         },
         {}},
        {"SC_Delete_File", true,
         [](Machine_Changes& c) {
             Lib_Result r;
             bool reboot = false;
             c.SC_Delete_File(TEXT("C:\\Windows\\System32\\vpAPI.dll"), reboot, r);
         },
         {"C:\\Windows\\System32\\vpAPI.dll"}},
        {"SC_Delete_File_On_Reboot", true,
         [](Machine_Changes& c) {
             Lib_Result r;
             c.SC_Delete_File_On_Reboot(TEXT("C:\\Windows\\SysWOW64\\vpLib.dll"), r);
         },
         {"C:\\Windows\\SysWOW64\\vpLib.dll"}},
        {"SC_Remove_Directory", true,
         [](Machine_Changes& c) {
             Lib_Result r;
             bool reboot = false;
             c.SC_Remove_Directory(TEXT("C:\\Windows\\System32\\Corvanta LLP"), false, reboot, r);
         },
         {"C:\\Windows\\System32\\Corvanta LLP"}},
        {"SC_Remove_Empty_Directory", true,
         [](Machine_Changes& c) {
             Lib_Result r;
             c.SC_Remove_Empty_Directory(TEXT("C:\\ProgramData\\Corvanta LLP\\VESPARIO\\Logs"), r);
         },
         {"C:\\ProgramData\\Corvanta LLP\\VESPARIO\\Logs"},
         [] { The_Machine().Find_Path(u"C:\\ProgramData\\Corvanta LLP\\VESPARIO\\Logs")->Remove_Child(u"vpControlPanel.log"); }},
        {"Lock_Down_Kept_Folder", true,
         [](Machine_Changes& c) {
             c.Lock_Down_Kept_Folder(TEXT("C:\\ProgramData\\Package Cache\\{D31C5999-DC0F-4449-9558-FC927AD644A2}"));
         },
         {}},
        {"Get_Absolute_File_Path_From_Special_Folder", true,
         [](Machine_Changes& c) {
             Lib_Result r;
             Lib_StringW path;
             c.Get_Absolute_File_Path_From_Special_Folder(CSIDL_COMMON_DESKTOPDIRECTORY, nullptr, TEXT("x"), path, r);
         },
         {},
         // A machine whose common desktop folder is missing: only the live one creates it.
         [] { The_Machine().Find_Path(u"C:\\Users\\Public")->Remove_Child(u"Desktop"); }},
        {"Uninstall_Driver_Package", true, [](Machine_Changes& c) { c.Uninstall_Driver_Package(TEXT("oem3.inf")); },
         {"driver package oem3.inf"}},
        {"Forget_Smart_Card_Type", true,
         [](Machine_Changes& c) {
             // As the resource manager forgets a card type: it deletes the card's key.
             c.Forget_Smart_Card_Type(TEXT("SOFTWARE\\Microsoft\\Cryptography\\Calais\\SmartCards\\VESPARIO SC"), [] {
                 RegDeleteKeyW(HKEY_LOCAL_MACHINE, TEXT("SOFTWARE\\Microsoft\\Cryptography\\Calais\\SmartCards\\VESPARIO SC"));
             });
         },
         {}},
        // The reads: neither implementation changes anything with them.
        {"Is_Registry_Key_Empty", false,
         [](Machine_Changes& c) {
             Lib_Result r;
             bool empty = false;
             c.Is_Registry_Key_Empty(HKEY_LOCAL_MACHINE, Smart_Cards, empty, r);
         },
         {}},
        {"Registry_Value_Deleted, Drop_Deleted_Names", false,
         [](Machine_Changes& c) {
             Lib_String_List subkeys, values;
             c.Registry_Value_Deleted(HKEY_LOCAL_MACHINE, Shared_Dlls, 0, TEXT("C:\\WINDOWS\\system32\\vpAPI.dll"));
             c.Drop_Deleted_Names(HKEY_LOCAL_MACHINE, Shared_Dlls, 0, subkeys, values);
         },
         {}},
        {"Known_Path_State, Drop_Deleted_Entries", false,
         [](Machine_Changes& c) {
             bool exists = false;
             Wide_Name_List names{TEXT("vpAPI.dll")};
             c.Known_Path_State(TEXT("C:\\Windows\\System32\\vpAPI.dll"), exists);
             c.Drop_Deleted_Entries(TEXT("C:\\Windows\\System32"), names, 0);
         },
         {}},
        {"Name_Key, Forget_Key_Name", true,
         [](Machine_Changes& c) {
             Owned_Registry_Key classes;
             ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, TEXT("SOFTWARE\\Classes"), 0, KEY_READ, classes.Receive()),
                       ERROR_SUCCESS);
             c.Name_Key(classes.Get(), TEXT("HKEY_LOCAL_MACHINE\\SOFTWARE\\Classes"));
             Lib_Result r;
             c.Delete_Registry_Key_Recursive(classes.Get(), Products, r);
         },
         {"HKEY_LOCAL_MACHINE\\SOFTWARE\\Classes\\Installer\\Products\\4EC1AA496A240B9419E0F5CAC3D5076F"}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.operation);
        const Outcome live = Run(row.run, false, row.prepare);
        EXPECT_EQ(!live.changing_calls.empty() || !live.unchanged, row.changes);
        const Outcome check = Run(row.run, true, row.prepare);
        EXPECT_EQ(check.changing_calls, std::vector<std::string>());
        EXPECT_TRUE(check.unchanged);
        EXPECT_EQ(check.items, row.items);
        EXPECT_EQ(check.error_reports, 0u);
        EXPECT_EQ(Log_Text(), "");
    }
}

// What the check counts as removed. The restart list holds pairs, a source and its target
// (an empty target deletes the source); a path is found in any form a call may be given it. What the
// check recorded covers everything below it, in the same registry view only.
TEST_F(Machine_Changes_Test, CheckCountsRecordedAndRestartDeletionsAsRemoved) {
    const char16_t list[] = u"\\??\\C:\\A\\x.dll\0\0\\??\\C:\\B\\y.dll\0\\??\\C:\\B\\z.dll\0"
                            u"\\??\\UNC\\srv\\share\\f\0";  // and the list's closing zero
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"SYSTEM\\CurrentControlSet\\Control\\Session Manager", 0,
                              nullptr, 0, KEY_WRITE, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    RegSetValueExW(key, u"PendingFileRenameOperations", 0, REG_MULTI_SZ, reinterpret_cast<const BYTE*>(list),
                   sizeof(list));
    RegCloseKey(key);
    Quiet_Log quiet;
    Check_Changes check;
    check.Record_Path(TEXT("C:\\Tree"));
    check.Record_Key(HKEY_LOCAL_MACHINE, TEXT("SOFTWARE\\A\\\\B\\"), 0);
    check.Record_Value(HKEY_LOCAL_MACHINE, TEXT("SOFTWARE\\X"), KEY_WOW64_32KEY, TEXT("Name"));
    check.Record_Value(HKEY_LOCAL_MACHINE, TEXT("SOFTWARE\\V"), 0, TEXT("C:\\\\dir"));
    // A key the stages opened themselves stands for its name.
    const HKEY software = reinterpret_cast<HKEY>(0x5150);
    check.Name_Key(software, TEXT("HKEY_LOCAL_MACHINE\\SOFTWARE"));
    struct Path_Case {
        const WCHAR* path;
        bool pending;
        bool removed;
    };
    const Path_Case paths[] = {
        {TEXT("C:\\A\\x.dll"), true, false},       {TEXT("c:\\a\\X.DLL"), true, false},
        {TEXT("\\\\?\\C:\\A\\x.dll"), true, false}, {TEXT("C:\\A"), false, false},
        {TEXT("C:\\B\\y.dll"), false, false},      {TEXT("C:\\B\\z.dll"), false, false},
        {TEXT("\\\\srv\\share\\f"), true, false},   {TEXT("\\\\?\\UNC\\srv\\share\\f"), true, false},
        {TEXT("C:\\Tree\\sub\\file"), false, true},
        {TEXT("c:\\tree"), false, true},           {TEXT("C:\\Treetop"), false, false},
    };
    for (const Path_Case& c : paths) {
        EXPECT_EQ(check.Path_Pending(c.path), c.pending) << winsim::To_Utf8(c.path);
        EXPECT_EQ(check.Path_Removed(c.path), c.removed) << winsim::To_Utf8(c.path);
    }
    EXPECT_TRUE(check.Key_Removed(HKEY_LOCAL_MACHINE, TEXT("software\\a\\b\\c"), 0));
    EXPECT_TRUE(check.Key_Removed(HKEY_LOCAL_MACHINE, TEXT("SOFTWARE\\A\\B"), KEY_WOW64_64KEY));
    EXPECT_FALSE(check.Key_Removed(HKEY_LOCAL_MACHINE, TEXT("SOFTWARE\\A\\B"), KEY_WOW64_32KEY));
    EXPECT_FALSE(check.Key_Removed(HKEY_LOCAL_MACHINE, TEXT("SOFTWARE\\AB"), 0));
    EXPECT_FALSE(check.Key_Removed(HKEY_CURRENT_USER, TEXT("SOFTWARE\\A\\B"), 0));
    EXPECT_TRUE(check.Registry_Value_Deleted(HKEY_LOCAL_MACHINE, TEXT("software\\x"), KEY_WOW64_32KEY, TEXT("NAME")));
    EXPECT_FALSE(check.Registry_Value_Deleted(HKEY_LOCAL_MACHINE, TEXT("SOFTWARE\\X"), 0, TEXT("Name")));
    EXPECT_FALSE(check.Registry_Value_Deleted(HKEY_LOCAL_MACHINE, TEXT("SOFTWARE\\X"), KEY_WOW64_32KEY, TEXT("Name2")));
    EXPECT_TRUE(check.Registry_Value_Deleted(HKEY_LOCAL_MACHINE, TEXT("SOFTWARE\\A\\B"), 0, TEXT("any")));
    EXPECT_TRUE(check.Key_Removed(HKEY_LOCAL_MACHINE, TEXT("\\\\SOFTWARE\\A\\B"), 0));
    EXPECT_TRUE(check.Key_Removed(software, TEXT("a\\B\\"), 0));
    EXPECT_FALSE(check.Key_Removed(software, TEXT("A"), 0));
    EXPECT_TRUE(check.Registry_Value_Deleted(software, TEXT("V\\"), 0, TEXT("c:\\\\DIR")));
    EXPECT_TRUE(check.Key_Holds_Removed(software, TEXT("A"), 0));
    EXPECT_TRUE(check.Key_Holds_Removed(HKEY_LOCAL_MACHINE, TEXT("software\\x"), KEY_WOW64_32KEY));
    EXPECT_FALSE(check.Key_Holds_Removed(HKEY_LOCAL_MACHINE, TEXT("SOFTWARE"), 0));
    // A value's name is its own: backslashes in it are not made one.
    EXPECT_TRUE(check.Registry_Value_Deleted(HKEY_LOCAL_MACHINE, TEXT("SOFTWARE\\V"), 0, TEXT("c:\\\\DIR")));
    EXPECT_FALSE(check.Registry_Value_Deleted(HKEY_LOCAL_MACHINE, TEXT("SOFTWARE\\V"), 0, TEXT("C:\\dir")));
    std::vector<std::string> items;
    for (const Lib_StringW& item : check.Items()) items.push_back(winsim::To_Utf8(item.Get_Text()));
    EXPECT_EQ(items, (std::vector<std::string>{
                         "C:\\Tree", "HKEY_LOCAL_MACHINE\\SOFTWARE\\A\\\\B\\",
                         "value \"Name\" of HKEY_LOCAL_MACHINE\\SOFTWARE\\X (32-bit view)",
                         "value \"C:\\\\dir\" of HKEY_LOCAL_MACHINE\\SOFTWARE\\V"}));
    EXPECT_EQ(quiet.Error_Reports(), 0u);
}

}  // namespace
