// Folder trees removed while another process tries to swap a folder of the tree for a junction, and
// trees whose paths grow past MAX_PATH: the exact log, the drive afterwards and the restart list.
#include <gtest/gtest.h>

#include <algorithm>
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

TEST_F(Tree_Walk, TreeWhosePathsGrowPastMaxPathIsRemovedCompletely) {
    // The name as the tool forms it, with its trailing full stop, which the extended form must not keep.
    const std::u16string root = u"C:\\Windows\\system32\\Corvanta LLP.";
    const std::u16string stored = u"C:\\Windows\\system32\\Corvanta LLP";
    auto level = [](int n) { return u"Level-" + std::u16string(1, char16_t(u'0' + n)) + std::u16string(53, u'x'); };
    std::u16string below;  // the levels' relative path
    std::vector<std::u16string> levels;
    for (int n = 1; n <= 5; ++n) {
        below += u"\\" + level(n);
        levels.push_back(below);
    }
    Make_File(stored + levels[1] + u"\\short.dat", "s");
    // In level 3 (216 characters): a file path of 259 characters, the longest Windows takes as it is,
    // and one of 260.
    const std::u16string fits = u"b" + std::u16string(37, u'9') + u".dat";
    const std::u16string too_long = u"c" + std::u16string(38, u'0') + u".dat";
    Make_File(stored + levels[2] + u"\\" + fits, "f");
    Make_File(stored + levels[2] + u"\\" + too_long, "t");
    Make_File(stored + levels[3] + u"\\deep.dat", "d");
    Make_File(stored + levels[4] + u"\\busy.dll", "b")->held_open = true;
    ASSERT_EQ((root + levels[2] + u"\\" + fits).size(), 259u);

    bool reboot = false;
    Lib_Result result;
    EXPECT_TRUE(SC_Remove_Directory(root.c_str(), true, reboot, result));
    EXPECT_TRUE(reboot);
    EXPECT_EQ(result.Get_Code(), 0);

    auto shown = [&](const std::u16string& rest) { return winsim::To_Utf8(root + rest); };
    auto deferred = [&](const std::u16string& rest) {
        return Lines({"      Deleted: " + shown(rest), "   Removed:  " + shown(rest)});
    };
    // Entries come in NTFS order: "b...", "c..." and "deep.dat" before "Level-...", "short.dat" after.
    EXPECT_EQ(Log_Text(),
              Lines({"   Removed:  " + shown(levels[2] + u"\\" + fits),
                     "   Removed:  " + shown(levels[2] + u"\\" + too_long),
                     "   Removed:  " + shown(levels[3] + u"\\deep.dat"),
                     "         Deleted: " + shown(levels[4] + u"\\busy.dll"),
                     "   Removed:  " + shown(levels[4] + u"\\busy.dll")}) +
                  deferred(levels[4]) + deferred(levels[3]) + deferred(levels[2]) +
                  Lines({"   Removed:  " + shown(levels[1] + u"\\short.dat")}) + deferred(levels[1]) +
                  deferred(levels[0]) + deferred(u""));

    // Windows' own form of the restart deletions: "\\??\\" before the full path.
    winsim::Reg_Value* pending = Find_Key(The_Machine().hklm, u"SYSTEM\\CurrentControlSet\\Control\\Session Manager")
                                     ->Find_Value(u"PendingFileRenameOperations");
    ASSERT_NE(pending, nullptr);
    std::vector<uint8_t> expected;
    for (const std::u16string& rest : {levels[4] + u"\\busy.dll", levels[4], levels[3], levels[2], levels[1],
                                       levels[0], std::u16string()}) {
        std::vector<uint8_t> source = Utf16_Bytes(u"\\??\\" + stored + rest);
        expected.insert(expected.end(), source.begin(), source.end());
        expected.push_back(0);  // no destination: a deletion
        expected.push_back(0);
    }
    expected.push_back(0);
    expected.push_back(0);
    EXPECT_EQ(pending->data, expected);

    // Everything but what waits for the restart is gone; nothing was left for a path too long.
    std::vector<std::string> drive = Drive_State();
    std::vector<std::string> left = {"C:\\Windows\\", "C:\\Windows\\system32\\"};
    for (size_t n = 0; n < levels.size(); ++n) left.push_back(winsim::To_Utf8(stored + levels[n]) + "\\");
    left.insert(left.begin() + 2, winsim::To_Utf8(stored) + "\\");
    left.push_back(winsim::To_Utf8(stored + levels[4]) + "\\busy.dll = b");
    EXPECT_EQ(drive, left);

    // The calls were given the ordinary form up to 259 characters and the extended form beyond.
    std::vector<std::string> deletions;
    for (const std::string& call : The_Machine().calls)
        if (call.rfind("DeleteFileW ", 0) == 0) deletions.push_back(call.substr(12));
    EXPECT_EQ(deletions, (std::vector<std::string>{
                             shown(levels[2] + u"\\" + fits),
                             "\\\\?\\" + winsim::To_Utf8(stored + levels[2] + u"\\" + too_long),
                             "\\\\?\\" + winsim::To_Utf8(stored + levels[3]) + "\\deep.dat",
                             "\\\\?\\" + winsim::To_Utf8(stored + levels[4]) + "\\busy.dll",
                             shown(levels[1] + u"\\short.dat")}));
}

TEST(Tree_Walk_Paths, ExtendedFormOfDriveAndUncPaths) {
    EXPECT_EQ(std::u16string(SC_Extended_Path(TEXT("C:\\a\\b")).Get_Text()), u"\\\\?\\C:\\a\\b");
    EXPECT_EQ(std::u16string(SC_Extended_Path(TEXT("\\\\server\\share\\a")).Get_Text()),
              u"\\\\?\\UNC\\server\\share\\a");
    EXPECT_EQ(std::u16string(SC_Extended_Path(TEXT("\\\\?\\C:\\a")).Get_Text()), u"\\\\?\\C:\\a");
    EXPECT_EQ(std::u16string(SC_Extended_Path(TEXT("\\\\.\\C:\\a")).Get_Text()), u"\\\\.\\C:\\a");
}

}  // namespace
