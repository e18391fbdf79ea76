// Folder trees removed while another process tries to swap a folder of the tree for a junction, and
// trees whose paths grow past MAX_PATH: the exact log, the drive afterwards and the restart list.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "files/File_Primitives.h"
#include "machine.h"
#include "other_process.h"
#include "test_support.h"

using winsim::The_Machine;

namespace {

using Tree_Walk = Log_Test;

// Every entry of drive C:, in listing order: folders with a trailing separator, junctions with their
// target, files with their contents.
void Collect(const winsim::Fs_Node& folder, const std::string& path, std::vector<std::string>& lines) {
    for (const auto& child : folder.children) {
        std::string child_path = path + "\\" + winsim::To_Utf8(child->name);
        if (!child->link_target.empty()) {
            lines.push_back(child_path + " => " + winsim::To_Utf8(child->link_target));
        } else if (child->directory) {
            lines.push_back(child_path + "\\");
            Collect(*child, child_path, lines);
        } else {
            lines.push_back(child_path + " = " + std::string(child->data.begin(), child->data.end()));
        }
    }
}

// The drive without the log's folder.
std::vector<std::string> Drive_State() {
    std::vector<std::string> lines;
    Collect(The_Machine().drive_c, "C:", lines);
    std::vector<std::string> kept;
    for (const std::string& line : lines)
        if (line.rfind("C:\\Windows\\TEMP", 0) != 0) kept.push_back(line);
    return kept;
}

std::string Joined(const std::vector<std::string>& lines) {
    std::string text;
    for (const std::string& line : lines) text += line + "\r\n";
    return text;
}

const std::u16string Root = u"C:\\ProgramData\\Corvanta LLP";
const std::u16string System = u"C:\\Windows\\system32";

struct Swap_Moment {
    const char* name;
    const char* api;          // the tool's call before which the other process acts
    unsigned nth;
    const char16_t* match;    // in the call's subject
    const char16_t* swapped;  // the folder the other process renames away for a junction into system32
    DWORD swap_error;         // what the swap meets
    std::vector<std::string> log;
    std::vector<std::string> drive;  // drive C: afterwards
};

TEST_F(Tree_Walk, NoFolderOfTheTreeCanBeSwappedForAJunctionWhileItIsWalked) {
    const std::vector<std::string> removed_log = {
        "   Removed:  C:\\ProgramData\\Corvanta LLP\\a.dat",
        "   Removed:  C:\\ProgramData\\Corvanta LLP\\Cache\\b.dat",
        "   Removed:  C:\\ProgramData\\Corvanta LLP\\Cache\\Sub\\c.dat",
        "   Removed:  C:\\ProgramData\\Corvanta LLP\\Cache\\Sub",
        "   Removed:  C:\\ProgramData\\Corvanta LLP\\Cache",
        "   Removed:  C:\\ProgramData\\Corvanta LLP"};
    const std::vector<std::string> untouched = {
        "C:\\ProgramData\\",
        "C:\\Windows\\",
        "C:\\Windows\\system32\\",
        "C:\\Windows\\system32\\drivers\\",
        "C:\\Windows\\system32\\drivers\\etc\\",
        "C:\\Windows\\system32\\drivers\\etc\\hosts = 127.0.0.1",
        "C:\\Windows\\system32\\kernel32.dll = MZ system"};
    const std::vector<Swap_Moment> moments = {
        // Between the check of a sub-folder and its listing: the sub-folder, the folders above it.
        {"sub-folder before its listing", "FindFirstFileW", 1, u"Cache\\Sub\\*", u"\\Cache\\Sub",
         ERROR_SHARING_VIOLATION, removed_log, untouched},
        {"its parent before the sub-folder's listing", "FindFirstFileW", 1, u"Cache\\Sub\\*", u"\\Cache",
         ERROR_SHARING_VIOLATION, removed_log, untouched},
        {"the tree's root before the sub-folder's listing", "FindFirstFileW", 1, u"Cache\\Sub\\*", u"",
         ERROR_SHARING_VIOLATION, removed_log, untouched},
        {"sub-folder between its open and its check", "GetFileInformationByHandle", 1, u"Cache\\Sub",
         u"\\Cache\\Sub", ERROR_SHARING_VIOLATION, removed_log, untouched},
        {"the tree's root before its own listing", "FindFirstFileW", 1, u"Corvanta LLP\\*", u"",
         ERROR_SHARING_VIOLATION, removed_log, untouched},
        // A folder above the tree: something beneath it is open.
        {"ProgramData before the sub-folder's listing", "FindFirstFileW", 1, u"Cache\\Sub\\*", u"..",
         ERROR_ACCESS_DENIED, removed_log, untouched},
        // Before the sub-folder is opened nothing holds it: the swap succeeds, the check finds the
        // junction, which goes as a link; the folder renamed away was not listed, so its parent is not
        // empty and waits for the restart.
        {"sub-folder before its check", "CreateFileW", 1, u"Cache\\Sub", u"\\Cache\\Sub", ERROR_SUCCESS,
         {"   Removed:  C:\\ProgramData\\Corvanta LLP\\a.dat",
          "   Removed:  C:\\ProgramData\\Corvanta LLP\\Cache\\b.dat",
          "   Removed:  C:\\ProgramData\\Corvanta LLP\\Cache\\Sub",
          "      Deleted: C:\\ProgramData\\Corvanta LLP\\Cache",
          "   Removed:  C:\\ProgramData\\Corvanta LLP\\Cache",
          "      Deleted: C:\\ProgramData\\Corvanta LLP",
          "   Removed:  C:\\ProgramData\\Corvanta LLP"},
         {"C:\\ProgramData\\",
          "C:\\ProgramData\\Corvanta LLP\\",
          "C:\\ProgramData\\Corvanta LLP\\Cache\\",
          "C:\\ProgramData\\Corvanta LLP\\Cache\\Sub~\\",
          "C:\\ProgramData\\Corvanta LLP\\Cache\\Sub~\\c.dat = c",
          "C:\\Windows\\",
          "C:\\Windows\\system32\\",
          "C:\\Windows\\system32\\drivers\\",
          "C:\\Windows\\system32\\drivers\\etc\\",
          "C:\\Windows\\system32\\drivers\\etc\\hosts = 127.0.0.1",
          "C:\\Windows\\system32\\kernel32.dll = MZ system"}},
    };
    for (const Swap_Moment& moment : moments) {
        SCOPED_TRACE(moment.name);
        SetUp();
        Make_File(System + u"\\kernel32.dll", "MZ system");
        Make_File(System + u"\\drivers\\etc\\hosts", "127.0.0.1");
        Make_File(Root + u"\\a.dat", "a");
        Make_File(Root + u"\\Cache\\b.dat", "b");
        Make_File(Root + u"\\Cache\\Sub\\c.dat", "c");
        std::u16string swapped = std::u16string(moment.swapped) == u".." ? u"C:\\ProgramData" : Root + moment.swapped;
        DWORD swap_error = 0xFFFFFFFF;
        The_Machine().Add_Action(moment.api, moment.nth, moment.match, [&](winsim::Machine& machine) {
            swap_error = winsim::User_Swap_For_Junction(machine, swapped, System);
        });
        bool reboot = false;
        Lib_Result result;
        EXPECT_TRUE(SC_Remove_Directory(Root.c_str(), true, reboot, result));
        EXPECT_EQ(swap_error, moment.swap_error);
        EXPECT_FALSE(reboot);
        EXPECT_EQ(Log_Text(), Joined(moment.log));
        EXPECT_EQ(Drive_State(), moment.drive);
    }
}

}  // namespace
