// Folder trees removed while another process tries to swap a folder of the tree for a junction, and
// trees whose paths grow past MAX_PATH: the exact log, the drive afterwards and the restart list.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "kernel32/other_process.h"
#include "machine/machine.h"
#include "primitives/File_Primitives.h"
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
        // The tree's root, as the product's installer made it, is not the user's to rename.
        {"the tree's root before the sub-folder's listing", "FindFirstFileW", 1, u"Cache\\Sub\\*", u"",
         ERROR_ACCESS_DENIED, removed_log, untouched},
        {"sub-folder between its open and its check", "GetFileInformationByHandle", 1, u"Cache\\Sub",
         u"\\Cache\\Sub", ERROR_SHARING_VIOLATION, removed_log, untouched},
        {"the tree's root before its own listing", "FindFirstFileW", 1, u"Corvanta LLP\\*", u"",
         ERROR_ACCESS_DENIED, removed_log, untouched},
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
        // The user made the folders inside the tree (and owns them); the tree's root is the installer's.
        for (const char16_t* folder : {u"\\Cache", u"\\Cache\\Sub"}) {
            winsim::Fs_Node* node = The_Machine().Find_Path(Root + folder);
            node->security = std::make_shared<winsim::Key_Security>();
            node->security->owner = The_Machine().other_process_token->user;
        }
        std::u16string swapped = std::u16string(moment.swapped) == u".." ? u"C:\\ProgramData" : Root + moment.swapped;
        DWORD swap_error = 0xFFFFFFFF;
        The_Machine().Add_Action(moment.api, moment.nth, moment.match, [&](winsim::Machine& machine) {
            swap_error = winsim::User_Swap_For_Junction(machine, swapped, System);
        });
        bool reboot = false;
        Lib_Result result;
        EXPECT_TRUE(Changes().SC_Remove_Directory(Root.c_str(), true, reboot, result));
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
    EXPECT_TRUE(Changes().SC_Remove_Directory(root.c_str(), true, reboot, result));
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

namespace {

// What an open folder prevents, as winsim models Windows: each row opens something, then another
// process tries to rename a folder; the rename's error, and whether the open handle still reads the
// node it opened.
struct Open_Rule {
    const char* name;
    const char16_t* opened;  // opened with the access and sharing below (none: nothing open)
    DWORD access;
    DWORD share;
    const char16_t* renamed;
    const char16_t* to;
    DWORD error;
};

TEST_F(Tree_Walk, WhatAnOpenFolderPrevents) {
    const DWORD read_write = FILE_SHARE_READ | FILE_SHARE_WRITE;
    const DWORD all = read_write | FILE_SHARE_DELETE;
    const std::vector<Open_Rule> rules = {
        {"nothing open", nullptr, 0, 0, u"C:\\T\\A", u"C:\\T\\Z", ERROR_SUCCESS},
        {"the folder without delete sharing", u"C:\\T\\A", GENERIC_READ, read_write, u"C:\\T\\A", u"C:\\T\\Z",
         ERROR_SHARING_VIOLATION},
        {"the folder with delete sharing", u"C:\\T\\A", GENERIC_READ, all, u"C:\\T\\A", u"C:\\T\\Z", ERROR_SUCCESS},
        {"the folder for its attributes only", u"C:\\T\\A", FILE_READ_ATTRIBUTES, 0, u"C:\\T\\A", u"C:\\T\\Z",
         ERROR_SUCCESS},
        {"a file beneath, sharing everything", u"C:\\T\\A\\B\\f.dat", GENERIC_READ, all, u"C:\\T\\A",
         u"C:\\T\\Z", ERROR_ACCESS_DENIED},
        {"a folder beneath, sharing everything", u"C:\\T\\A\\B", GENERIC_READ, all, u"C:\\T\\A", u"C:\\T\\Z",
         ERROR_ACCESS_DENIED},
        {"a folder beneath, moved itself", u"C:\\T\\A\\B", GENERIC_READ, all, u"C:\\T\\A\\B", u"C:\\T\\Z",
         ERROR_SUCCESS},
        {"a sibling", u"C:\\T\\Y", GENERIC_READ, read_write, u"C:\\T\\A", u"C:\\T\\Z", ERROR_SUCCESS},
        {"directly into itself (before Windows 11 22H2)", nullptr, 0, 0, u"C:\\T\\A", u"C:\\T\\A\\Z",
         ERROR_SHARING_VIOLATION},
        {"deeper into its own tree", nullptr, 0, 0, u"C:\\T\\A", u"C:\\T\\A\\B\\Z", ERROR_ACCESS_DENIED},
        {"onto an existing folder", nullptr, 0, 0, u"C:\\T\\A", u"C:\\T\\Y", ERROR_ALREADY_EXISTS},
        {"to a missing folder", nullptr, 0, 0, u"C:\\T\\A", u"C:\\T\\None\\Z", ERROR_PATH_NOT_FOUND},
    };
    for (const Open_Rule& rule : rules) {
        SCOPED_TRACE(rule.name);
        SetUp();
        Make_File(u"C:\\T\\A\\B\\f.dat", "f");
        The_Machine().Make_Folders(u"C:\\T\\Y");
        HANDLE handle = INVALID_HANDLE_VALUE;
        if (rule.opened) {
            handle = CreateFileW(rule.opened, rule.access, rule.share, nullptr, OPEN_EXISTING,
                                 FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
            ASSERT_NE(handle, INVALID_HANDLE_VALUE);
        }
        EXPECT_EQ(winsim::User_Rename(The_Machine(), rule.renamed, rule.to), rule.error);
        EXPECT_EQ(Path_Exists(rule.to), rule.error == ERROR_SUCCESS || rule.error == ERROR_ALREADY_EXISTS);
        if (handle != INVALID_HANDLE_VALUE) {
            // The handle reads what it opened, wherever that went; a folder planted in its place is
            // not what it reads.
            if (rule.error == ERROR_SUCCESS) EXPECT_EQ(winsim::User_Make_Junction(The_Machine(), rule.renamed, u"C:\\T\\Y"), 0u);
            BY_HANDLE_FILE_INFORMATION information = {};
            EXPECT_TRUE(GetFileInformationByHandle(handle, &information));
            EXPECT_EQ(information.dwFileAttributes,
                      std::u16string(rule.opened).size() > 12 ? DWORD(FILE_ATTRIBUTE_ARCHIVE)
                                                              : DWORD(FILE_ATTRIBUTE_DIRECTORY));
            EXPECT_TRUE(CloseHandle(handle));
        }
        // The other process's calls are not the tool's: nothing was recorded or counted for them.
        EXPECT_EQ(The_Machine().calls.size(), rule.opened ? 2u : 0u);
    }
}

// The action runs just before the nth call whose subject matches, once, with the ordinary user's
// token, and leaves the tool's last error as it was.
TEST_F(Tree_Walk, ActionRunsJustBeforeTheNthMatchingCall) {
    Make_File(u"C:\\T\\a.dat");
    Make_File(u"C:\\T\\b.dat");
    std::vector<std::string> seen;
    The_Machine().Add_Action("GetFileAttributesW", 2, u"b.dat", [&](winsim::Machine& machine) {
        seen.push_back(machine.Calling_Token()->user + " " + std::to_string(machine.calls.size()));
        DeleteFileW(u"C:\\T\\b.dat");  // another process's deletion: not recorded
    });
    SetLastError(1234);
    EXPECT_NE(GetFileAttributesW(u"C:\\T\\b.dat"), INVALID_FILE_ATTRIBUTES);
    EXPECT_NE(GetFileAttributesW(u"C:\\T\\a.dat"), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(GetLastError(), 1234u);
    EXPECT_TRUE(seen.empty());
    EXPECT_EQ(GetFileAttributesW(u"C:\\T\\b.dat"), INVALID_FILE_ATTRIBUTES);  // gone just before
    EXPECT_EQ(GetLastError(), DWORD(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(GetFileAttributesW(u"C:\\T\\b.dat"), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(seen, (std::vector<std::string>{"S-1-5-21-3623811015-3361044348-30300820-1002 3"}));
    EXPECT_EQ(The_Machine().calls, (std::vector<std::string>{"GetFileAttributesW C:\\T\\b.dat", "GetFileAttributesW C:\\T\\a.dat",
                                                          "GetFileAttributesW C:\\T\\b.dat",
                                                          "GetFileAttributesW C:\\T\\b.dat"}));
}

// Each call the tree removal makes refuses an ordinary path of MAX_PATH characters or more with 3,
// as Windows does, and takes the "\\?\" form as it is.
TEST_F(Tree_Walk, CallsRefuseOrdinaryPathsOfMaxPathAndTakeTheExtendedForm) {
    const std::u16string folder = u"C:\\" + std::u16string(200, u'd');
    const std::u16string file = folder + u"\\" + std::u16string(55, u'f');  // 259 characters
    const std::u16string longer = folder + u"\\" + std::u16string(56, u'g');  // 260 characters
    Make_File(file, "x");
    Make_File(longer, "y");
    ASSERT_EQ(file.size(), 259u);
    const std::u16string extended = u"\\\\?\\" + longer;
    struct Call {
        const char* name;
        std::function<bool(const std::u16string&)> run;
    };
    const std::vector<Call> calls = {
        {"GetFileAttributesW", [](const std::u16string& p) { return GetFileAttributesW(p.c_str()) != INVALID_FILE_ATTRIBUTES; }},
        {"SetFileAttributesW", [](const std::u16string& p) { return SetFileAttributesW(p.c_str(), FILE_ATTRIBUTE_ARCHIVE) != FALSE; }},
        {"CreateFileW", [](const std::u16string& p) {
             HANDLE h = CreateFileW(p.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
             return h != INVALID_HANDLE_VALUE && CloseHandle(h);
         }},
        {"FindFirstFileW", [](const std::u16string& p) {
             WIN32_FIND_DATAW data;
             HANDLE h = FindFirstFileW(p.c_str(), &data);
             return h != INVALID_HANDLE_VALUE && FindClose(h);
         }},
        {"MoveFileExW", [](const std::u16string& p) { return MoveFileExW(p.c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT) != FALSE; }},
        {"DeleteFileW", [](const std::u16string& p) { return DeleteFileW(p.c_str()) != FALSE; }},
    };
    for (const Call& call : calls) {
        SCOPED_TRACE(call.name);
        EXPECT_TRUE(call.run(file));
        if (std::string(call.name) == "DeleteFileW") Make_File(file, "x");
        EXPECT_FALSE(call.run(longer));
        EXPECT_EQ(GetLastError(), DWORD(ERROR_PATH_NOT_FOUND));
        EXPECT_TRUE(call.run(extended));
    }
    // The listing counts its pattern: a folder of 258 characters lists only in the extended form.
    const std::u16string near = u"C:\\" + std::u16string(255, u'n');
    The_Machine().Make_Folders(near + u"\\sub");
    WIN32_FIND_DATAW data;
    EXPECT_EQ(FindFirstFileW((near + u"\\*").c_str(), &data), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_PATH_NOT_FOUND));
    HANDLE search = FindFirstFileW((u"\\\\?\\" + near + u"\\*").c_str(), &data);
    EXPECT_NE(search, INVALID_HANDLE_VALUE);
    FindClose(search);
    // Folders: removal, and creation with room for an 8.3 name (MAX_PATH - 12).
    EXPECT_FALSE(RemoveDirectoryW((near + u"\\sub").c_str()));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_PATH_NOT_FOUND));
    EXPECT_TRUE(RemoveDirectoryW((u"\\\\?\\" + near + u"\\sub").c_str()));
    EXPECT_FALSE(CreateDirectoryW((u"C:\\" + std::u16string(245, u'c')).c_str(), nullptr));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_FILENAME_EXCED_RANGE));
    EXPECT_TRUE(CreateDirectoryW((u"C:\\" + std::u16string(244, u'c')).c_str(), nullptr));
    // The extended form is not normalised: "." ".." and "/" are names or refused, not resolved.
    EXPECT_EQ(GetFileAttributesW((u"\\\\?\\" + folder + u"\\.\\" + std::u16string(55, u'f')).c_str()),
              INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_NAME));
    EXPECT_EQ(GetFileAttributesW((u"\\\\?\\" + folder + u"/" + std::u16string(55, u'f')).c_str()),
              INVALID_FILE_ATTRIBUTES);
    // The restart deletions name the paths as Windows writes them.
    EXPECT_EQ(Pending_Deletes(), (std::vector<std::u16string>{file, longer}));
}

// A failure of the new calls of the walk ends that folder with the call's report.
TEST_F(Tree_Walk, FailuresOfTheCheckAndOfTheFullPathAreReported) {
    Make_File(Root + u"\\a.dat");
    // The first three calls check the folders from the root down to the tree's top.
    The_Machine().Add_Fault("GetFileInformationByHandle", 4, ERROR_ACCESS_DENIED);
    bool reboot = false;
    Lib_Result result;
    EXPECT_FALSE(Changes().SC_Remove_Directory(Root.c_str(), true, reboot, result));
    EXPECT_EQ(result.Get_Code(), 5);
    EXPECT_TRUE(Path_Exists(Root + u"\\a.dat"));
    EXPECT_EQ(Log_Text(), Error_Report("", "GetFileInformationByHandle", 5));

    Clear_Log();
    const std::u16string deep = Root + u"\\" + std::u16string(240, u'd');
    Make_File(deep + u"\\b.dat");
    The_Machine().Add_Fault("GetFullPathNameW", 1, ERROR_FILENAME_EXCED_RANGE);
    Lib_Result second;
    EXPECT_FALSE(Changes().SC_Remove_Directory(Root.c_str(), true, reboot, second));
    EXPECT_EQ(Log_Text(), Lines({"   Removed:  C:\\ProgramData\\Corvanta LLP\\a.dat"}) +
                              Error_Report("", "GetFullPathName", 206));
    EXPECT_TRUE(Path_Exists(Root));
}

}  // namespace
