// The self-removal stage on the simulated registry: which bundle entry is used and what reaches the
// 32-bit RunOnce key.
#include <gtest/gtest.h>

#include <string>

#include "files/Self_Removal.h"
#include "machine/machine.h"
#include "test_support.h"

using winsim::The_Machine;

namespace {

const std::u16string Uninstall = u"SOFTWARE\\Wow6432Node\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\";
const std::u16string Run_Once = u"SOFTWARE\\Wow6432Node\\Microsoft\\Windows\\CurrentVersion\\RunOnce";
const std::u16string Native_Run_Once = u"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\RunOnce";
const std::u16string Upgrade_Code = u"{2A9F6E13-4B7C-4E85-9D20-B5C8E1F4A763}";
const std::u16string First = u"{D31C5999-DC0F-4449-9558-FC927AD644A2}";
const std::u16string Second = u"{E31C5999-DC0F-4449-9558-FC927AD644A2}";

class Self_Removal : public Log_Test {
protected:
    void SetUp() override {
        Log_Test::SetUp();
        Bundle(First, u"\"C:\\Program Files\\Bundle\\first.exe\" /uninstall /quiet");
        Bundle(Second, u"\"C:\\Program Files\\Bundle\\second.exe\" /uninstall /quiet");
        Make_File(u"C:\\Program Files\\Bundle\\first.exe", "MZ");
        Make_File(u"C:\\Program Files\\Bundle\\second.exe", "MZ");
        Make_Key(The_Machine().hklm, Native_Run_Once);
        // What the Uninstall key itself holds must never be taken for an entry's command.
        Make_Key(The_Machine().hklm, Uninstall)->Set_Value(u"QuietUninstallString", REG_SZ, Utf16_Bytes(u"wrong"));
    }
    void Bundle(const std::u16string& name, const std::u16string& command) {
        winsim::Reg_Key* entry = Make_Key(The_Machine().hklm, Uninstall + name);
        entry->Set_Value(u"BundleUpgradeCode", REG_SZ, Utf16_Bytes(Upgrade_Code));
        if (!command.empty()) entry->Set_Value(u"QuietUninstallString", REG_SZ, Utf16_Bytes(command));
    }
    static winsim::Reg_Key* Run_Once_Key() { return Find_Key(The_Machine().hklm, Run_Once); }
    static std::string Set_Value_Lines() {
        return Lines({"vpRemovalTool.exe!Set_Registry_Value"}) + Exit_Line("", "Set_Registry_Value");
    }
};

// The argument in other letter case finds the first of two entries; the RunOnce value named after
// it gives way to "remove" with the first entry's command.
TEST_F(Self_Removal, FirstMatchingEntrysQuietCommandIsScheduled) {
    Make_Key(The_Machine().hklm, Run_Once)->Set_Value(First, REG_SZ, Utf16_Bytes(u"resume"));
    Remove_Self(Lib_StringW(TEXT("{2a9f6e13-4b7c-4e85-9d20-b5c8e1f4a763}")));
    EXPECT_EQ(Log_Text(), Lines({"   Self-removing...", "   Deleting registry value:  " + winsim::To_Utf8(First),
                                 "REGSAM:  0(0x0)"}) +
                              Set_Value_Lines() + Lines({"   Self-removing finished!"}));
    winsim::Reg_Key* run_once = Run_Once_Key();
    ASSERT_NE(run_once, nullptr);
    ASSERT_EQ(run_once->values.size(), 1u);
    EXPECT_EQ(run_once->values[0].name, u"remove");
    EXPECT_EQ(run_once->values[0].type, static_cast<DWORD>(REG_SZ));
    EXPECT_EQ(run_once->values[0].data, Utf16_Bytes(u"\"C:\\Program Files\\Bundle\\first.exe\" /uninstall /quiet"));
    EXPECT_TRUE(Find_Key(The_Machine().hklm, Native_Run_Once)->values.empty());
}

// Without an argument, with one that matches nothing, or with a matching entry that has no quiet
// command, nothing is read from elsewhere and nothing is written.
TEST_F(Self_Removal, NothingIsWrittenWithoutAMatchingEntrysCommand) {
    Make_Key(The_Machine().hklm, Uninstall + u"{F0000000-0000-0000-0000-000000000000}")
        ->Set_Value(u"BundleUpgradeCode", REG_SZ, Utf16_Bytes(u"{11111111-1111-1111-1111-111111111111}"));
    for (const char16_t* argument : {u"", u"{00000000-0000-0000-0000-000000000000}",
                                     u"{11111111-1111-1111-1111-111111111111}"}) {
        Clear_Log();
        Remove_Self(Lib_StringW(argument));
        EXPECT_EQ(Log_Text(), Lines({"   Self-removing...", "   Self-removing finished!"})) << winsim::To_Utf8(argument);
        EXPECT_EQ(Run_Once_Key(), nullptr);
    }
}

// No RunOnce key, then no value named after the entry: the deletion is reported and "remove" is
// still written (the key created). A value that cannot be written is reported, and the stage ends.
TEST_F(Self_Removal, FailuresAroundTheRunOnceValueAreReported) {
    Remove_Self(Lib_StringW(Upgrade_Code.c_str()));
    ASSERT_NE(Run_Once_Key(), nullptr);
    EXPECT_NE(Run_Once_Key()->Find_Value(u"remove"), nullptr);
    Run_Once_Key()->values.clear();
    The_Machine().Add_Fault("RegSetValueExW", 1, ERROR_ACCESS_DENIED, u"RunOnce");
    Remove_Self(Lib_StringW(Upgrade_Code.c_str()));
    const std::string deletion = Lines({"   Self-removing...", "   Deleting registry value:  " + winsim::To_Utf8(First),
                                        "REGSAM:  0(0x0)"});
    EXPECT_EQ(Log_Text(), deletion + Error_Report("", "RegOpenKeyEx", 2) + Exit_Line("", "Delete_Registry_Value") +
                              Set_Value_Lines() + Lines({"   Self-removing finished!"}) + deletion +
                              Error_Report("", "RegDeleteValue", 2) + Lines({"vpRemovalTool.exe!Set_Registry_Value"}) +
                              Error_Report("   ", "RegSetValueEx", 5) + Exit_Line("", "Set_Registry_Value") +
                              Lines({"   Self-removing finished!"}));
    EXPECT_TRUE(Run_Once_Key()->values.empty());
}

// The command starts a program with an administrator's rights at the next logon: it is written only
// when that program is there and nobody without those rights could have put theirs in its place or
// beside it.
TEST_F(Self_Removal, CommandIsWrittenOnlyForAProgramBeyondOrdinaryUsersReach) {
    const std::string user = "S-1-5-21-3623811015-3361044348-30300820-1002";
    Make_File(u"C:\\ProgramData\\Bundle\\setup.exe", "MZ");
    Make_File(u"C:\\Program Files\\Mine\\setup.exe", "MZ");
    winsim::Fs_Node* owned = Make_File(u"C:\\Program Files\\Bundle\\owned.exe", "MZ");
    owned->security = std::make_shared<winsim::Key_Security>();
    owned->security->owner = user;
    Make_File(u"C:\\Program Files\\Target\\real.exe", "MZ");
    winsim::Fs_Node* link = Make_File(u"C:\\Program Files\\Bundle\\link.exe", "", FILE_ATTRIBUTE_REPARSE_POINT);
    link->Link_To(u"C:\\Program Files\\Target\\real.exe");
    // A library an ordinary user put beside the program, which loads it before the system's.
    Make_File(u"C:\\Program Files\\Lib\\setup.exe", "MZ");
    Make_File(u"C:\\Program Files\\Lib\\version.dll", "MZ")->security = owned->security;
    winsim::Fs_Node* mine = The_Machine().Find_Path(u"C:\\Program Files\\Mine");
    mine->security = std::make_shared<winsim::Key_Security>();
    mine->security->owner = user;
    const struct {
        const char16_t* command;
        std::string reason;
    } cases[] = {
        {u"\"C:\\Program Files\\Bundle\\gone.exe\" /uninstall", "C:\\Program Files\\Bundle\\gone.exe is not there"},
        {u"C:\\Program Files\\Bundle\\first.exe /uninstall", "C:\\Program is not there"},
        {u"\"C:\\Program Files\\Bundle\\first.exe /uninstall", "the command names no program"},
        {u"\"C:\\ProgramData\\Bundle\\setup.exe\"", "C:\\ProgramData\\Bundle lets Users change it or add files to it"},
        {u"\"C:\\Program Files\\Mine\\setup.exe\"", "C:\\Program Files\\Mine is owned by " + user},
        {u"\"C:\\Program Files\\Bundle\\owned.exe\"", "C:\\Program Files\\Bundle\\owned.exe is owned by " + user},
        {u"\"C:\\Program Files\\Bundle\\link.exe\"", "C:\\Program Files\\Bundle\\link.exe is a junction or symbolic link"},
        {u"\"..\\first.exe\"", ".. is not a plain path on a local drive"},
        {u"\"C:\\Program Files\\Lib\\setup.exe\" /uninstall", "C:\\Program Files\\Lib\\version.dll is owned by " + user},
    };
    for (const auto& test : cases) {
        Clear_Log();
        Bundle(First, test.command);
        Remove_Self(Lib_StringW(Upgrade_Code.c_str()));
        EXPECT_EQ(Log_Text(), Lines({"   Self-removing...",
                                     "   Quiet uninstall not scheduled (" + test.reason + "): " + winsim::To_Utf8(test.command),
                                     "   Self-removing finished!"}))
            << winsim::To_Utf8(test.command);
        EXPECT_EQ(Run_Once_Key(), nullptr);
    }
}

}  // namespace
