// winsim's drive C:: the path rules, files and folders held open from outside, junctions, restart-time
// deletion, special folders, injected faults and the machine.ini keys of files and keys.
#include <gtest/gtest.h>
#include <aclapi.h>
#include <shlobj.h>
#include <unistd.h>
#include <windows.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

#include "machine/machine.h"
#include "machine/paths.h"
#include "primitives/File_Primitives.h"

namespace {

namespace fs = std::filesystem;
using winsim::Fs_Node;
using winsim::Machine;
using winsim::The_Machine;

class WinsimFiles : public ::testing::Test {
protected:
    void SetUp() override { The_Machine().Reset(); }
    void TearDown() override { The_Machine().Reset(); }

    static Fs_Node* File(const std::u16string& folder, const std::u16string& name) {
        return The_Machine().Make_Folders(folder)->Add_Child(name, false);
    }
    // A junction entry made as the machine.ini key makes it.
    static Fs_Node* Junction(const std::u16string& folder, const std::u16string& name, const std::u16string& target) {
        Fs_Node* link = The_Machine().Make_Folders(folder)->Add_Child(name, true);
        link->attributes = FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT;
        link->Link_To(target);
        return link;
    }
    static std::vector<uint8_t> Pending() {
        winsim::Reg_Key* key = &The_Machine().hklm;
        for (const char16_t* name : {u"SYSTEM", u"CurrentControlSet", u"Control", u"Session Manager"})
            if (key) key = key->Find_Subkey(name);
        winsim::Reg_Value* value = key ? key->Find_Value(u"PendingFileRenameOperations") : nullptr;
        if (!value) return {};
        EXPECT_EQ(DWORD(REG_MULTI_SZ), value->type);
        return value->data;
    }
    static std::vector<uint8_t> Utf16_Bytes(const std::u16string& text) {
        std::vector<uint8_t> bytes;
        for (char16_t c : text) {
            bytes.push_back(uint8_t(c & 0xFF));
            bytes.push_back(uint8_t(c >> 8));
        }
        return bytes;
    }
    static std::vector<std::u16string> List(const std::u16string& pattern, DWORD* end_error = nullptr) {
        std::vector<std::u16string> names;
        WIN32_FIND_DATAW entry;
        HANDLE search = FindFirstFileW(pattern.c_str(), &entry);
        if (search == INVALID_HANDLE_VALUE) return names;
        do names.push_back(entry.cFileName);
        while (FindNextFileW(search, &entry));
        if (end_error) *end_error = GetLastError();
        FindClose(search);
        return names;
    }
};

TEST_F(WinsimFiles, PathRulesDropFullStopsAsWindowsDoes) {
    winsim::Win32_Path path = winsim::Parse_Win32_Path(u"c:/System32//Corvanta LLP.\\sub..\\x.\\File. . ");
    EXPECT_EQ(0u, path.error);
    EXPECT_EQ(std::u16string(u"c:\\System32\\Corvanta LLP\\sub..\\x\\File"), path.full);

    path = winsim::Parse_Win32_Path(u"C:\\a\\name .\\");  // a separator at the end keeps the blank
    EXPECT_EQ(std::u16string(u"C:\\a\\name "), path.full);
    EXPECT_TRUE(path.trailing_separator);

    path = winsim::Parse_Win32_Path(u"\\\\?\\C:\\Dotted.\\x. ");  // the verbatim prefix changes nothing
    EXPECT_EQ(std::u16string(u"C:\\Dotted.\\x. "), path.full);
    // Verbatim paths at their shortest and with empty or dotted components.
    for (const char16_t* given : {u"\\\\?\\C:", u"\\\\?\\C:\\"}) {
        path = winsim::Parse_Win32_Path(given);
        EXPECT_EQ(0u, path.error);
        EXPECT_EQ(std::u16string(u"C:\\"), path.full);
        EXPECT_FALSE(path.trailing_separator);
    }
    path = winsim::Parse_Win32_Path(u"\\\\?\\C:\\a\\");
    EXPECT_EQ(std::u16string(u"C:\\a"), path.full);
    EXPECT_TRUE(path.trailing_separator);
    for (const char16_t* given : {u"\\\\?\\C:\\a\\\\b", u"\\\\?\\C:\\a\\.\\b", u"\\\\?\\C:\\..\\b"})
        EXPECT_EQ(DWORD(ERROR_INVALID_NAME), winsim::Parse_Win32_Path(given).error);

    // ".." stops at the root; the components come back split from the text, and go one by one.
    path = winsim::Parse_Win32_Path(u"C:\\a\\..\\..\\b\\.\\Cc");
    EXPECT_EQ(std::u16string(u"C:\\b\\Cc"), path.full);
    EXPECT_EQ((std::vector<std::u16string>{u"b", u"Cc"}), path.Parts());
    EXPECT_EQ(std::u16string(u"Cc"), path.Last());
    path.Drop_Last();
    EXPECT_EQ(std::u16string(u"C:\\b"), path.full);
    path.Drop_Last();
    EXPECT_TRUE(path.Is_Root());
    EXPECT_EQ(std::u16string(u"C:\\"), path.full);
    EXPECT_TRUE(path.Parts().empty());

    EXPECT_EQ(DWORD(ERROR_PATH_NOT_FOUND), winsim::Parse_Win32_Path(u"D:\\x").error);
    EXPECT_EQ(DWORD(ERROR_PATH_NOT_FOUND), winsim::Parse_Win32_Path(u"relative\\x").error);
    EXPECT_EQ(DWORD(ERROR_INVALID_NAME), winsim::Parse_Win32_Path(u"C:\\a|b\\c").error);
}

// A lookup starts at the deepest folder that the last one passed through: whatever the two paths and
// whatever changed between them, it finds what a lookup from the root finds.
TEST_F(WinsimFiles, LookupsFromTheLastPathsFoldersFindWhatTheRootFinds) {
    const std::vector<std::u16string> paths = {
        u"C:\\a\\b\\c\\d", u"c:\\A\\B\\C\\D\\e", u"C:\\a\\b\\c\\f.txt", u"\\\\?\\C:\\a\\b\\c", u"C:\\a\\b",
        u"C:\\a\\j\\x",    u"C:\\a\\j\\x\\y",   u"C:\\ab\\c",          u"C:\\abc",           u"C:\\",
        u"C:\\p\\E\\back\\z"};
    const std::vector<std::function<void()>> changes = {
        [] {},
        [] { EXPECT_TRUE(RemoveDirectoryW(u"C:\\a\\b\\c\\d")); },
        [] { EXPECT_TRUE(DeleteFileW(u"C:\\a\\b\\c\\f.txt")); },
        [] { EXPECT_TRUE(RemoveDirectoryW(u"C:\\a\\j")); },  // the junction, not its target
        [] { EXPECT_TRUE(RemoveDirectoryW(u"C:\\t\\x")); },  // the junction's target
        [] { EXPECT_TRUE(MoveFileExW(u"C:\\a\\b", u"C:\\a\\b2", 0)); },
        [] { The_Machine().drive_c.Find_Child(u"ab")->Link_To(u"C:\\t"); },  // a folder made a junction
        // A junction removed through a path that crosses it and comes back by another: C:\p\E\back is C:\p.
        [] { EXPECT_TRUE(RemoveDirectoryW(u"C:\\p\\E\\back\\E")); },
    };
    auto same = [](const winsim::Path_Lookup& x, const winsim::Path_Lookup& y) {
        return x.node == y.node && x.parent == y.parent && x.error == y.error && x.last == y.last && x.full == y.full;
    };
    for (size_t change = 0; change < changes.size(); ++change)
        for (const std::u16string& before : paths)
            for (const std::u16string& after : paths) {
                The_Machine().Reset();
                for (const char16_t* folder : {u"C:\\a\\b\\c\\d", u"C:\\ab\\c", u"C:\\t\\x", u"C:\\p\\z", u"C:\\q"})
                    The_Machine().Make_Folders(folder);
                File(u"C:\\a\\b\\c", u"f.txt");
                Junction(u"C:\\a", u"j", u"C:\\t");
                Junction(u"C:\\p", u"E", u"C:\\q");
                Junction(u"C:\\q", u"back", u"C:\\p");
                winsim::Look_Up(The_Machine(), before, false);
                changes[change]();
                const winsim::Path_Lookup found = winsim::Look_Up(The_Machine(), after, false);
                The_Machine().folder_memo = Machine::Folder_Memo();
                if (!same(found, winsim::Look_Up(The_Machine(), after, false)))
                    ADD_FAILURE() << "change " << change << ", " << winsim::To_Utf8(before) << " then "
                                  << winsim::To_Utf8(after);
            }
}

TEST_F(WinsimFiles, PathOfMaxPathCharactersIsRefusedWithoutThePrefix) {
    std::u16string name(MAX_PATH - 1 - 3, u'a');  // "C:\" and the name: 259 characters
    File(u"C:\\", name);
    EXPECT_EQ(DWORD(FILE_ATTRIBUTE_ARCHIVE), GetFileAttributesW((u"C:\\" + name).c_str()));
    EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesW((u"C:\\" + name + u"b").c_str()));
    EXPECT_EQ(DWORD(ERROR_PATH_NOT_FOUND), GetLastError());
    EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesW((u"\\\\?\\C:\\" + name + u"b").c_str()));
    EXPECT_EQ(DWORD(ERROR_FILE_NOT_FOUND), GetLastError());
}

TEST_F(WinsimFiles, FileNamedAsFolderOrListedAsFolder) {
    File(u"C:\\Data", u"f.txt");
    EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesW(u"C:\\Data\\f.txt\\"));
    EXPECT_EQ(DWORD(ERROR_INVALID_NAME), GetLastError());
    WIN32_FIND_DATAW entry;
    EXPECT_EQ(INVALID_HANDLE_VALUE, FindFirstFileW(u"C:\\Data\\f.txt\\*", &entry));
    EXPECT_EQ(DWORD(ERROR_DIRECTORY), GetLastError());
}

TEST_F(WinsimFiles, RootListsWithoutDotEntriesAndInNtfsOrder) {
    File(u"C:\\", u"b.txt");
    The_Machine().Make_Folders(u"C:\\Alpha");
    File(u"C:\\", u"_x");
    DWORD end = 0;
    // Upper-cased comparison puts '_' (0x5F) after the letters.
    EXPECT_EQ((std::vector<std::u16string>{u"Alpha", u"b.txt", u"_x"}), List(u"C:\\*", &end));
    EXPECT_EQ(DWORD(ERROR_NO_MORE_FILES), end);
}

TEST_F(WinsimFiles, FileHeldOpenByAnotherProcess) {
    Fs_Node* file = File(u"C:\\Windows\\system32", u"vpAPI.dll");
    file->held_open = true;
    EXPECT_FALSE(DeleteFileW(u"C:\\Windows\\system32\\vpAPI.dll"));
    EXPECT_EQ(DWORD(ERROR_SHARING_VIOLATION), GetLastError());
    EXPECT_EQ(INVALID_HANDLE_VALUE, CreateFileW(u"C:\\Windows\\system32\\vpAPI.dll", GENERIC_READ,
                                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                                OPEN_EXISTING, 0, nullptr));
    EXPECT_EQ(DWORD(ERROR_SHARING_VIOLATION), GetLastError());
    // Attributes are no data access: they stay readable and writable.
    EXPECT_TRUE(SetFileAttributesW(u"C:\\Windows\\system32\\vpAPI.dll", FILE_ATTRIBUTE_READONLY));
    EXPECT_EQ(DWORD(FILE_ATTRIBUTE_READONLY), GetFileAttributesW(u"C:\\Windows\\system32\\vpAPI.dll"));
    EXPECT_TRUE(MoveFileExW(u"C:\\Windows\\system32\\vpAPI.dll", nullptr, MOVEFILE_DELAY_UNTIL_REBOOT));
    EXPECT_NE(nullptr, The_Machine().Find_Path(u"C:\\Windows\\system32\\vpAPI.dll"));
}

TEST_F(WinsimFiles, FolderHeldOpenListsButIsNotRemoved) {
    The_Machine().Make_Folders(u"C:\\ProgramData\\Menu")->held_open = true;
    DWORD end = 0;
    EXPECT_EQ((std::vector<std::u16string>{u".", u".."}), List(u"C:\\ProgramData\\Menu\\*", &end));
    EXPECT_EQ(DWORD(ERROR_NO_MORE_FILES), end);
    EXPECT_FALSE(RemoveDirectoryW(u"C:\\ProgramData\\Menu"));
    EXPECT_EQ(DWORD(ERROR_SHARING_VIOLATION), GetLastError());
    HANDLE reader = CreateFileW(u"C:\\ProgramData\\Menu", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, reader);
    EXPECT_TRUE(CloseHandle(reader));
    // Not sharing reading with a holder that reads is a conflict.
    EXPECT_EQ(INVALID_HANDLE_VALUE, CreateFileW(u"C:\\ProgramData\\Menu", GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                                                FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    EXPECT_EQ(DWORD(ERROR_SHARING_VIOLATION), GetLastError());
}

TEST_F(WinsimFiles, HandleSharingDeleteLetsTheFileGo) {
    File(u"C:\\Data", u"shared.txt");
    HANDLE handle = CreateFileW(u"C:\\Data\\shared.txt", GENERIC_READ,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING, 0,
                                nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, handle);
    EXPECT_TRUE(DeleteFileW(u"C:\\Data\\shared.txt"));
    EXPECT_TRUE(CloseHandle(handle));
    EXPECT_FALSE(CloseHandle(handle));
    EXPECT_EQ(DWORD(ERROR_INVALID_HANDLE), GetLastError());
}

// What the conformance program cannot make under Wine: CREATE_NEW where a junction (followed or
// not, dangling or not) or a further name of a file stands answers as Windows does; a handle's writes
// reach every name of the file; an injected WriteFile failure writes nothing. Nothing else changes.
TEST_F(WinsimFiles, CreateNewBesideLinksAndWritesThroughAFilesNames) {
    Fs_Node* file = File(u"C:\\Users\\Owner", u"mine.txt");
    file->data = {'o', 'l', 'd'};
    The_Machine().Make_Folders(u"C:\\Temp")->Add_Name(u"link.txt", *file);
    Junction(u"C:\\Temp", u"junction", u"C:\\Users");
    Junction(u"C:\\Temp", u"dangling", u"C:\\Gone");
    struct Row {
        const char16_t* name;
        DWORD flags;
        DWORD error;
    };
    const Row rows[] = {
        {u"junction", FILE_FLAG_OPEN_REPARSE_POINT, ERROR_FILE_EXISTS},
        {u"junction", 0, ERROR_FILE_EXISTS},
        {u"dangling", FILE_FLAG_OPEN_REPARSE_POINT, ERROR_FILE_EXISTS},
        {u"dangling", 0, ERROR_FILE_NOT_FOUND},
        {u"link.txt", FILE_FLAG_OPEN_REPARSE_POINT, ERROR_FILE_EXISTS},
    };
    for (const Row& row : rows) {
        std::u16string path = std::u16string(u"C:\\Temp\\") + row.name;
        EXPECT_EQ(INVALID_HANDLE_VALUE, CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_NEW,
                                                    FILE_ATTRIBUTE_NORMAL | row.flags, nullptr));
        EXPECT_EQ(row.error, GetLastError()) << winsim::To_Utf8(path) << " " << row.flags;
    }
    EXPECT_EQ((std::vector<std::u16string>{u".", u"..", u"dangling", u"junction", u"link.txt"}), List(u"C:\\Temp\\*"));
    EXPECT_EQ((std::vector<std::u16string>{u".", u"..", u"Owner"}), List(u"C:\\Users\\*"));

    HANDLE writer = CreateFileW(u"C:\\Temp\\link.txt", GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, writer);
    DWORD written = 0;
    EXPECT_TRUE(WriteFile(writer, "new", 3, &written, nullptr));
    EXPECT_TRUE(WriteFile(writer, "er", 2, &written, nullptr));
    The_Machine().Add_Fault("WriteFile", 1, ERROR_DISK_FULL, u"link.txt");
    EXPECT_FALSE(WriteFile(writer, "!", 1, &written, nullptr));
    EXPECT_EQ(DWORD(ERROR_DISK_FULL), GetLastError());
    EXPECT_EQ(0u, written);
    EXPECT_TRUE(CloseHandle(writer));
    EXPECT_EQ((std::vector<uint8_t>{'n', 'e', 'w', 'e', 'r'}), file->data);
    EXPECT_EQ(file->data, The_Machine().Find_Path(u"C:\\Temp\\link.txt")->data);
}

TEST_F(WinsimFiles, PathsThroughAJunctionLeadIntoItsTarget) {
    File(u"C:\\Windows\\system32", u"vpCSP.dll")->data = {1, 2, 3};
    Junction(u"C:\\ProgramData\\Corvanta LLP", u"link", u"C:\\Windows\\system32");

    EXPECT_EQ(DWORD(FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT),
              GetFileAttributesW(u"C:\\ProgramData\\Corvanta LLP\\LINK"));
    EXPECT_EQ(DWORD(FILE_ATTRIBUTE_ARCHIVE), GetFileAttributesW(u"C:\\ProgramData\\Corvanta LLP\\link\\vpCSP.dll"));
    EXPECT_EQ((std::vector<std::u16string>{u".", u"..", u"vpCSP.dll"}),
              List(u"C:\\ProgramData\\Corvanta LLP\\link\\*"));

    WIN32_FIND_DATAW entry;
    HANDLE search = FindFirstFileW(u"C:\\ProgramData\\Corvanta LLP\\l*", &entry);
    ASSERT_NE(INVALID_HANDLE_VALUE, search);
    EXPECT_EQ(DWORD(FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT), entry.dwFileAttributes);
    EXPECT_EQ(DWORD(IO_REPARSE_TAG_MOUNT_POINT), entry.dwReserved0);
    EXPECT_TRUE(FindClose(search));
    search = FindFirstFileW(u"C:\\Windows\\system32\\vp*", &entry);
    ASSERT_NE(INVALID_HANDLE_VALUE, search);
    EXPECT_EQ(3u, entry.nFileSizeLow);
    EXPECT_EQ(0u, entry.dwReserved0);
    EXPECT_TRUE(FindClose(search));
    EXPECT_FALSE(FindClose(search));
    EXPECT_EQ(DWORD(ERROR_INVALID_HANDLE), GetLastError());
}

TEST_F(WinsimFiles, JunctionGoesAsALinkAndItsTargetStays) {
    File(u"C:\\Windows\\system32", u"vpCSP.dll");
    Junction(u"C:\\ProgramData\\Corvanta LLP", u"link", u"C:\\Windows\\system32");
    EXPECT_FALSE(DeleteFileW(u"C:\\ProgramData\\Corvanta LLP\\link"));
    EXPECT_EQ(DWORD(ERROR_ACCESS_DENIED), GetLastError());
    EXPECT_TRUE(RemoveDirectoryW(u"C:\\ProgramData\\Corvanta LLP\\link"));
    EXPECT_EQ(nullptr, The_Machine().Find_Path(u"C:\\ProgramData\\Corvanta LLP\\link"));
    EXPECT_NE(nullptr, The_Machine().Find_Path(u"C:\\Windows\\system32\\vpCSP.dll"));
}

TEST_F(WinsimFiles, JunctionIntoItselfResolvesToNothing) {
    Junction(u"C:\\Loop", u"self", u"C:\\Loop\\self\\deeper");
    EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesW(u"C:\\Loop\\self\\x"));
    EXPECT_EQ(DWORD(ERROR_PATH_NOT_FOUND), GetLastError());
}

// A folder moved into its own tree: directly into itself the answer depends on the build (32 before
// Windows 11 22H2, 87 from build 22621 on), deeper into its tree it is 5 on every build. Nothing moves.
TEST_F(WinsimFiles, MoveOfAFolderIntoItsOwnTreeDependsOnTheBuild) {
    struct Row {
        DWORD build;
        const char16_t* destination;
        DWORD error;
    };
    const Row rows[] = {
        {19045, u"C:\\Tree\\Tree", ERROR_SHARING_VIOLATION},
        {22000, u"C:\\Tree\\Moved", ERROR_SHARING_VIOLATION},
        {22621, u"C:\\Tree\\Moved", ERROR_INVALID_PARAMETER},
        {26100, u"C:\\Tree\\Moved", ERROR_INVALID_PARAMETER},
        {19045, u"C:\\Tree\\Sub\\Moved", ERROR_ACCESS_DENIED},
        {22621, u"C:\\Tree\\Sub\\Deeper\\Moved", ERROR_ACCESS_DENIED},
    };
    for (const Row& row : rows) {
        The_Machine().Reset();
        The_Machine().os.build = row.build;
        The_Machine().Make_Folders(u"C:\\Tree\\Sub\\Deeper");
        SetLastError(0);
        EXPECT_FALSE(MoveFileExW(u"C:\\Tree", row.destination, 0)) << row.build;
        EXPECT_EQ(row.error, GetLastError()) << row.build << " " << winsim::To_Utf8(row.destination);
        EXPECT_NE(nullptr, The_Machine().Find_Path(u"C:\\Tree\\Sub\\Deeper"));
        EXPECT_EQ(nullptr, The_Machine().Find_Path(row.destination));
    }
    // Beside itself it moves, on any build.
    EXPECT_TRUE(MoveFileExW(u"C:\\Tree", u"C:\\Moved", 0));
    EXPECT_NE(nullptr, The_Machine().Find_Path(u"C:\\Moved\\Sub\\Deeper"));
}

TEST_F(WinsimFiles, RemoveDirectoryRefusesReadOnlyAndTheRoot) {
    The_Machine().Make_Folders(u"C:\\Kept")->attributes |= FILE_ATTRIBUTE_READONLY;
    EXPECT_FALSE(RemoveDirectoryW(u"C:\\Kept"));
    EXPECT_EQ(DWORD(ERROR_ACCESS_DENIED), GetLastError());
    EXPECT_FALSE(RemoveDirectoryW(u"C:\\"));
    EXPECT_EQ(DWORD(ERROR_ACCESS_DENIED), GetLastError());
}

TEST_F(WinsimFiles, SetFileAttributesKeepsFolderAndReparseBits) {
    Junction(u"C:\\", u"link", u"C:\\");
    EXPECT_TRUE(SetFileAttributesW(u"C:\\link", FILE_ATTRIBUTE_HIDDEN));
    EXPECT_EQ(DWORD(FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_HIDDEN),
              GetFileAttributesW(u"C:\\link"));
    File(u"C:\\", u"plain.txt");
    EXPECT_TRUE(SetFileAttributesW(u"C:\\plain.txt", FILE_ATTRIBUTE_NORMAL));
    EXPECT_EQ(DWORD(FILE_ATTRIBUTE_NORMAL), GetFileAttributesW(u"C:\\plain.txt"));
    EXPECT_TRUE(SetFileAttributesW(u"C:\\plain.txt", FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_READONLY));
    EXPECT_EQ(DWORD(FILE_ATTRIBUTE_READONLY), GetFileAttributesW(u"C:\\plain.txt"));
}

TEST_F(WinsimFiles, DelayedDeletionsAppendToTheMultiStringList) {
    File(u"C:\\Windows\\system32", u"vpAPI.dll");
    The_Machine().Make_Folders(u"C:\\ProgramData\\Corvanta LLP");
    ASSERT_TRUE(MoveFileExW(u"c:/windows//SYSTEM32\\vpapi.dll.", nullptr, MOVEFILE_DELAY_UNTIL_REBOOT));
    ASSERT_TRUE(MoveFileExW(u"C:\\ProgramData\\Corvanta LLP", nullptr, MOVEFILE_DELAY_UNTIL_REBOOT));
    std::vector<uint8_t> expected = Utf16_Bytes(std::u16string(u"\\??\\c:\\windows\\SYSTEM32\\vpapi.dll") + u'\0' +
                                                u'\0' + u"\\??\\C:\\ProgramData\\Corvanta LLP" + u'\0' + u'\0' +
                                                u'\0');
    EXPECT_EQ(expected, Pending());
}

TEST_F(WinsimFiles, DelayedDeletionOfAMissingPathIsRefused) {
    The_Machine().Make_Folders(u"C:\\Windows");
    EXPECT_FALSE(MoveFileExW(u"C:\\Windows\\none.dll", nullptr, MOVEFILE_DELAY_UNTIL_REBOOT));
    EXPECT_EQ(DWORD(ERROR_FILE_NOT_FOUND), GetLastError());
    EXPECT_FALSE(MoveFileExW(u"C:\\Windows\\None\\none.dll", nullptr, MOVEFILE_DELAY_UNTIL_REBOOT));
    EXPECT_EQ(DWORD(ERROR_PATH_NOT_FOUND), GetLastError());
    EXPECT_TRUE(Pending().empty());
}

TEST_F(WinsimFiles, DelayedDeletionNeedsAWritableSessionManagerKey) {
    File(u"C:\\", u"a.dll");
    winsim::Reg_Key* key = The_Machine().hklm.Add_Subkey(u"SYSTEM")->Add_Subkey(u"CurrentControlSet");
    key->Add_Subkey(u"Control")->Add_Subkey(u"Session Manager")->write_protected = true;
    EXPECT_FALSE(MoveFileExW(u"C:\\a.dll", nullptr, MOVEFILE_DELAY_UNTIL_REBOOT));
    EXPECT_EQ(DWORD(ERROR_ACCESS_DENIED), GetLastError());
    EXPECT_TRUE(Pending().empty());
}

TEST_F(WinsimFiles, SpecialFoldersAreCreatedOnlyWhenAsked) {
    WCHAR path[MAX_PATH] = {};
    SetLastError(1234);
    EXPECT_FALSE(SHGetSpecialFolderPathW(nullptr, path, CSIDL_COMMON_DESKTOPDIRECTORY, FALSE));
    EXPECT_EQ(nullptr, The_Machine().Find_Path(u"C:\\Users\\Public\\Desktop"));
    EXPECT_EQ(1234u, GetLastError());
    EXPECT_TRUE(SHGetSpecialFolderPathW(nullptr, path, CSIDL_COMMON_DESKTOPDIRECTORY, TRUE));
    EXPECT_EQ(std::u16string(u"C:\\Users\\Public\\Desktop"), std::u16string(path));
    EXPECT_EQ(DWORD(ERROR_SUCCESS), GetLastError());
    EXPECT_TRUE(SHGetSpecialFolderPathW(nullptr, path, CSIDL_COMMON_DESKTOPDIRECTORY, TRUE));
    EXPECT_EQ(DWORD(ERROR_ALREADY_EXISTS), GetLastError());
    EXPECT_NE(nullptr, The_Machine().Find_Path(u"C:\\Users\\Public\\Desktop"));

    // The answer keeps Windows' spelling whatever the case of the folders on the disk.
    The_Machine().Make_Folders(u"C:\\WINDOWS\\SYSWOW64");
    EXPECT_TRUE(SHGetSpecialFolderPathW(nullptr, path, CSIDL_SYSTEMX86, FALSE));
    EXPECT_EQ(std::u16string(u"C:\\Windows\\SysWOW64"), std::u16string(path));
    EXPECT_FALSE(SHGetSpecialFolderPathW(nullptr, path, 0x7F, TRUE));
}

TEST_F(WinsimFiles, FaultsHitTheNthMatchingCall) {
    The_Machine().Make_Folders(u"C:\\A");
    The_Machine().Make_Folders(u"C:\\B");
    The_Machine().Add_Fault("RemoveDirectoryW", 2, ERROR_BUSY, u"\\b");
    EXPECT_TRUE(RemoveDirectoryW(u"C:\\A"));  // not counted: no match
    EXPECT_FALSE(RemoveDirectoryW(u"C:\\none\\b"));
    EXPECT_EQ(DWORD(ERROR_PATH_NOT_FOUND), GetLastError());
    EXPECT_FALSE(RemoveDirectoryW(u"C:\\B"));
    EXPECT_EQ(DWORD(ERROR_BUSY), GetLastError());
    EXPECT_TRUE(RemoveDirectoryW(u"C:\\B"));

    The_Machine().Make_Folders(u"C:\\Windows\\system32");
    The_Machine().Add_Fault("SHGetSpecialFolderPathW", 1, ERROR_ACCESS_DENIED, u"system32");
    WCHAR path[MAX_PATH] = {};
    EXPECT_TRUE(SHGetSpecialFolderPathW(nullptr, path, CSIDL_WINDOWS, TRUE));
    EXPECT_FALSE(SHGetSpecialFolderPathW(nullptr, path, CSIDL_SYSTEM, TRUE));
    EXPECT_EQ(DWORD(ERROR_ACCESS_DENIED), GetLastError());

    File(u"C:\\List", u"a");
    File(u"C:\\List", u"b");
    The_Machine().Add_Fault("FindNextFileW", 3, ERROR_NOT_READY);
    DWORD end = 0;
    EXPECT_EQ((std::vector<std::u16string>{u".", u"..", u"a"}), List(u"C:\\List\\*", &end));
    EXPECT_EQ(DWORD(ERROR_NOT_READY), end);

    std::vector<std::string>& calls = The_Machine().calls;
    EXPECT_NE(calls.end(), std::find(calls.begin(), calls.end(), "RemoveDirectoryW C:\\none\\b"));
    EXPECT_NE(calls.end(), std::find(calls.begin(), calls.end(), "SHGetSpecialFolderPathW C:\\Windows\\system32"));
}

TEST_F(WinsimFiles, StubbornFileWaitsOnTheSimulatedClockThenIsDeferred) {
    File(u"C:\\Windows\\system32", u"vpAPI.dll");
    The_Machine().Add_Fault("DeleteFileW", 1, ERROR_ACCESS_DENIED, u"vpAPI", true);
    bool reboot = false;
    Lib_Result result;
    EXPECT_TRUE(Changes().SC_Delete_File(u"C:\\Windows\\system32\\vpAPI.dll", reboot, result));
    EXPECT_TRUE(reboot);
    EXPECT_EQ(18000u, The_Machine().clock_ms);  // nine pauses of two seconds, none of them real
    EXPECT_FALSE(Pending().empty());
}

// ---- machine.ini ----

class WinsimFilesScenario : public WinsimFiles {
protected:
    void SetUp() override {
        WinsimFiles::SetUp();
        static int counter = 0;
        root_ = fs::temp_directory_path() /
                ("winsim-files-" + std::to_string(getpid()) + "-" + std::to_string(++counter));
        fs::remove_all(root_);
        fs::create_directories(root_ / "drive_c" / "Windows" / "system32");
        fs::create_directories(root_ / "drive_c" / "ProgramData" / "Corvanta LLP");
        std::ofstream(root_ / "drive_c" / "Windows" / "system32" / "vpAPI.dll") << "x";
        std::ofstream(root_ / "drive_c" / "Windows" / "system32" / "vpCSP.dll") << "y";
        std::ofstream(root_ / "registry.reg") << "Windows Registry Editor Version 5.00\n\n"
                                                 "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Corvanta]\n";
    }
    void TearDown() override {
        fs::remove_all(root_);
        WinsimFiles::TearDown();
    }
    bool Load(const std::string& ini, Machine& machine, std::string& error) {
        std::ofstream(root_ / "machine.ini") << ini;
        return winsim::Load_Scenario(machine, root_.string(), error);
    }
    fs::path root_;
};

TEST_F(WinsimFilesScenario, KeysApplyAfterTheDriveAndRegistryAndAreWrittenBack) {
    Machine machine;
    std::string error;
    ASSERT_TRUE(Load("[faults]\nfault=DeleteFileW:2+:5:vpCSP\n"
                     "[files]\nlocked=C:\\windows\\SYSTEM32\\vpAPI.dll\nread_only=C:\\Windows\\system32\\vpCSP.dll\n"
                     "junction=C:\\ProgramData\\Corvanta LLP\\link => C:\\Windows\\system32\n"
                     "hardlink=C:\\ProgramData\\Corvanta LLP\\copy.dll => C:\\Windows\\system32\\vpCSP.dll\n"
                     "[registry]\nprotected=HKEY_LOCAL_MACHINE\\software\\corvanta\n",
                     machine, error))
        << error;
    EXPECT_TRUE(machine.Find_Path(u"C:\\Windows\\system32\\vpAPI.dll")->held_open);
    EXPECT_EQ(DWORD(FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_READONLY),
              machine.Find_Path(u"C:\\Windows\\system32\\vpCSP.dll")->attributes);
    EXPECT_EQ(machine.Find_Path(u"C:\\Windows\\system32\\vpCSP.dll"),
              machine.Find_Path(u"C:\\ProgramData\\Corvanta LLP\\link\\vpCSP.dll"));
    Fs_Node* copy = machine.Find_Path(u"C:\\ProgramData\\Corvanta LLP\\copy.dll");
    ASSERT_TRUE(copy && copy->names);
    EXPECT_EQ(copy->names->size(), 2u);
    EXPECT_EQ(copy->attributes, DWORD(FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_READONLY));
    EXPECT_TRUE(machine.hklm.Find_Subkey(u"SOFTWARE")->Find_Subkey(u"Corvanta")->write_protected);
    ASSERT_EQ(1u, machine.faults.size());
    EXPECT_EQ("DeleteFileW", machine.faults[0].api);
    EXPECT_EQ(2u, machine.faults[0].nth);
    EXPECT_EQ(DWORD(5), machine.faults[0].error);
    EXPECT_EQ(std::u16string(u"vpCSP"), machine.faults[0].match);
    EXPECT_TRUE(machine.faults[0].repeat);

    fs::path out = root_ / "after";
    ASSERT_TRUE(winsim::Save_Scenario(machine, out.string(), error)) << error;
    std::ifstream saved(out / "machine.ini");
    std::string text((std::istreambuf_iterator<char>(saved)), std::istreambuf_iterator<char>());
    EXPECT_NE(std::string::npos, text.find("\n[files]\n"
                                           "hardlink=C:\\ProgramData\\Corvanta LLP\\copy.dll => "
                                           "C:\\Windows\\system32\\vpCSP.dll\n"
                                           "junction=C:\\ProgramData\\Corvanta LLP\\link => C:\\Windows\\system32\n"
                                           "locked=C:\\Windows\\system32\\vpAPI.dll\n"
                                           "read_only=C:\\Windows\\system32\\vpCSP.dll\n"
                                           "\n[registry]\nprotected=HKEY_LOCAL_MACHINE\\SOFTWARE\\Corvanta\n"))
        << text;
    EXPECT_EQ(std::string::npos, text.find("fault"));
    EXPECT_FALSE(fs::exists(out / "drive_c" / "ProgramData" / "Corvanta LLP" / "link"));
    EXPECT_FALSE(fs::exists(out / "drive_c" / "ProgramData" / "Corvanta LLP" / "copy.dll"));

    Machine reloaded;
    ASSERT_TRUE(winsim::Load_Scenario(reloaded, out.string(), error)) << error;
    Fs_Node* link = reloaded.Find_Path(u"C:\\ProgramData\\Corvanta LLP\\link");
    ASSERT_NE(nullptr, link);
    EXPECT_EQ(std::u16string(u"C:\\Windows\\system32"), link->link_target);
    // A security change through either name is the file's.
    Fs_Node* file = reloaded.Find_Path(u"C:\\Windows\\system32\\vpCSP.dll");
    copy = reloaded.Find_Path(u"C:\\ProgramData\\Corvanta LLP\\copy.dll");
    ASSERT_TRUE(copy && copy->names && copy->names->front() == file);
    EXPECT_EQ(copy->attributes, DWORD(FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_READONLY));
    winsim::Machine& live = The_Machine();
    ASSERT_TRUE(winsim::Load_Scenario(live, out.string(), error)) << error;
    ACL empty_list = {ACL_REVISION, 0, sizeof(ACL), 0, 0};
    WCHAR name[] = u"C:\\ProgramData\\Corvanta LLP\\copy.dll";
    EXPECT_EQ(DWORD(ERROR_SUCCESS),
              SetNamedSecurityInfoW(name, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION,
                                    nullptr, nullptr, &empty_list, nullptr));
    EXPECT_EQ(winsim::Effective_Sddl(live, u"C:\\Windows\\system32\\vpCSP.dll").substr(4), "D:P");
    EXPECT_NE(winsim::Security_Changes(live).find("C:\\Windows\\system32\\vpCSP.dll\n"), std::string::npos);
}

// A file another process holds open for reading and writing, sharing both but not deletion: it can
// be read beside it, but neither deleted nor opened without sharing writing; it is written back as
// it was given.
TEST_F(WinsimFilesScenario, FileOpenWithSharingIsReadableButNotDeletable) {
    std::string error;
    ASSERT_TRUE(Load("[files]\nopen=C:\\Windows\\system32\\vpAPI.dll share=rw\n", The_Machine(), error)) << error;
    const char16_t* path = u"C:\\Windows\\system32\\vpAPI.dll";
    struct Row {
        DWORD access, share;
        bool opens;
    };
    const Row rows[] = {
        {GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, true},
        {GENERIC_READ, FILE_SHARE_READ, false},
        {DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, false},
    };
    for (const Row& row : rows) {
        HANDLE handle = CreateFileW(path, row.access, row.share, nullptr, OPEN_EXISTING, 0, nullptr);
        EXPECT_EQ(row.opens, handle != INVALID_HANDLE_VALUE) << std::hex << row.access << " " << row.share;
        if (handle != INVALID_HANDLE_VALUE) CloseHandle(handle);
        else EXPECT_EQ(DWORD(ERROR_SHARING_VIOLATION), GetLastError());
    }
    EXPECT_FALSE(DeleteFileW(path));
    EXPECT_EQ(DWORD(ERROR_SHARING_VIOLATION), GetLastError());

    fs::path out = root_ / "after";
    ASSERT_TRUE(winsim::Save_Scenario(The_Machine(), out.string(), error)) << error;
    std::ifstream saved(out / "machine.ini");
    std::string text((std::istreambuf_iterator<char>(saved)), std::istreambuf_iterator<char>());
    EXPECT_NE(std::string::npos, text.find("\n[files]\nopen=C:\\Windows\\system32\\vpAPI.dll share=rw\n")) << text;
}

TEST_F(WinsimFilesScenario, KeysNamingNothingAreRefusedWithTheirLine) {
    struct Case {
        const char* ini;
        const char* error;
    };
    const Case cases[] = {
        {"[files]\n\nlocked=C:\\Windows\\none.dll\n",
         "machine.ini:3: no file or folder \"C:\\Windows\\none.dll\" on drive C:"},
        {"[files]\nread_only=C:\\None\\x\n", "machine.ini:2: no file or folder \"C:\\None\\x\" on drive C:"},
        {"[files]\njunction=C:\\ProgramData\\link\n",
         "machine.ini:2: bad value \"C:\\ProgramData\\link\" for junction; expected LINK => TARGET"},
        {"[files]\njunction=C:\\ProgramData\\link => C:\\Windows\\system32\\vpAPI.dll\n",
         "machine.ini:2: junction target \"C:\\Windows\\system32\\vpAPI.dll\" is no folder on drive C:"},
        {"[files]\njunction=C:\\Windows\\system32 => C:\\ProgramData\n",
         "machine.ini:2: junction \"C:\\Windows\\system32\": already exists"},
        {"[files]\njunction=C:\\None\\link => C:\\ProgramData\n",
         "machine.ini:2: junction \"C:\\None\\link\": its folder does not exist"},
        {"[files]\nhardlink=C:\\ProgramData\\x.dll => C:\\Windows\\system32\n",
         "machine.ini:2: hardlink target \"C:\\Windows\\system32\" is no file on drive C:"},
        {"[files]\nhardlink=C:\\Windows\\system32\\vpAPI.dll => C:\\Windows\\system32\\vpCSP.dll\n",
         "machine.ini:2: hardlink \"C:\\Windows\\system32\\vpAPI.dll\": already exists"},
        {"[registry]\nprotected=HKEY_LOCAL_MACHINE\\SOFTWARE\\Other\n",
         "machine.ini:2: no registry key \"HKEY_LOCAL_MACHINE\\SOFTWARE\\Other\" "
         "(HKEY_LOCAL_MACHINE\\... or HKEY_CURRENT_USER\\...)"},
        {"[faults]\nfault=DeleteFileW:0:5\n",
         "machine.ini:2: bad value \"DeleteFileW:0:5\" for fault; expected API:NTH[+]:ERROR[:MATCH]"},
        {"[faults]\nfault=Delete File:1:5\n",
         "machine.ini:2: bad value \"Delete File:1:5\" for fault; expected API:NTH[+]:ERROR[:MATCH]"},
        {"[faults]\nfault=DeleteFileW:1\n",
         "machine.ini:2: bad value \"DeleteFileW:1\" for fault; expected API:NTH[+]:ERROR[:MATCH]"},
        {"[faults]\nlocked=C:\\Windows\n", "machine.ini:2: unknown key \"locked\" in section [faults]"},
        {"[files]\nopen=C:\\Windows\\system32\\vpAPI.dll\n",
         "machine.ini:2: bad value \"C:\\Windows\\system32\\vpAPI.dll\" for open; expected PATH share=SHARING "
         "(letters of r, w, d)"},
        {"[files]\nopen=C:\\Windows\\system32\\vpAPI.dll share=rx\n",
         "machine.ini:2: bad value \"C:\\Windows\\system32\\vpAPI.dll share=rx\" for open; expected PATH "
         "share=SHARING (letters of r, w, d)"},
        {"[files]\nopen=C:\\Windows\\system32 share=rw\n",
         "machine.ini:2: open \"C:\\Windows\\system32\" is a folder; a folder in use is locked="},
    };
    for (const Case& c : cases) {
        Machine machine;
        std::string error;
        EXPECT_FALSE(Load(c.ini, machine, error)) << c.ini;
        EXPECT_EQ(c.error, error) << c.ini;
    }
}

TEST_F(WinsimFilesScenario, RepeatedKeysAllApply) {
    Machine machine;
    std::string error;
    ASSERT_TRUE(Load("[files]\nlocked=C:\\Windows\\system32\\vpAPI.dll\nlocked=C:\\Windows\\system32\\vpCSP.dll\n"
                     "[faults]\nfault=CreateFileW:1:32:C:\\Windows\nfault=MoveFileExW:3:5\n",
                     machine, error))
        << error;
    EXPECT_TRUE(machine.Find_Path(u"C:\\Windows\\system32\\vpAPI.dll")->held_open);
    EXPECT_TRUE(machine.Find_Path(u"C:\\Windows\\system32\\vpCSP.dll")->held_open);
    ASSERT_EQ(2u, machine.faults.size());
    EXPECT_EQ(std::u16string(u"C:\\Windows"), machine.faults[0].match);  // the match may hold colons
    EXPECT_FALSE(machine.faults[1].repeat);
    EXPECT_TRUE(machine.faults[1].match.empty());
}

}  // namespace

// Short names as winsim gives them: six kept characters, ~N by listing order among those alike, three
// of the extension; a name that is no entry's nor any short name's is not there.
TEST_F(WinsimFiles, LongPathNamesReplaceTheShortNamesWinsimGives) {
    File(u"C:\\ProgramData\\Package Cache\\{94AA1CE4-42A6-49B0-910E-5FAC3C5D70F6}v3.4.1.207", u"setup.exe");
    File(u"C:\\ProgramData\\Package Cache\\{94AA1CE4-0000}v1.2", u"setup.exe");
    File(u"C:\\ProgramData\\Package Cache\\{94AA1CE4-1111}v2.207", u"setup.exe");
    File(u"C:\\ProgramData\\Package Cache", u"log.txt");
    struct Case {
        std::u16string given, answer;
        DWORD error;
    };
    const Case cases[] = {
        {u"C:\\PROGRA~1\\PACKAG~1\\{94AA1~2.207\\setup.exe",
         u"C:\\ProgramData\\Package Cache\\{94AA1CE4-42A6-49B0-910E-5FAC3C5D70F6}v3.4.1.207\\setup.exe", 0},
        {u"c:\\progra~1\\Package Cache\\{94aa1~1.2", u"C:\\ProgramData\\Package Cache\\{94AA1CE4-0000}v1.2", 0},
        {u"C:\\PROGRA~1\\PACKAG~1\\{94AA1~1.207", u"C:\\ProgramData\\Package Cache\\{94AA1CE4-1111}v2.207", 0},
        {u"C:\\ProgramData\\PACKAG~1\\log.txt", u"C:\\ProgramData\\Package Cache\\log.txt", 0},
        {u"C:\\PROGRA~2\\x", u"", ERROR_PATH_NOT_FOUND},
        {u"C:\\PROGRA~1\\PACKAG~1\\{94AA1~3.207", u"", ERROR_FILE_NOT_FOUND},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(winsim::To_Utf8(c.given));
        WCHAR buffer[300] = {};
        SetLastError(0);
        DWORD length = GetLongPathNameW(c.given.c_str(), buffer, 300);
        if (c.error != 0) {
            EXPECT_EQ(length, 0u);
            EXPECT_EQ(GetLastError(), c.error);
            continue;
        }
        EXPECT_EQ(std::u16string(buffer), c.answer);
        EXPECT_EQ(length, c.answer.size());
        EXPECT_EQ(GetLongPathNameW(c.given.c_str(), nullptr, 0), c.answer.size() + 1);
    }
}

// A handle opened to delete on close takes the name with it when it closes; without DELETE access
// the open is refused, and a read-only file cannot be opened so.
TEST_F(WinsimFiles, DeleteOnCloseTakesTheNameWhenTheHandleCloses) {
    File(u"C:\\Temp", u"a.txt");
    File(u"C:\\Temp", u"b.txt")->attributes |= FILE_ATTRIBUTE_READONLY;
    HANDLE file = CreateFileW(u"C:\\Temp\\a.txt", DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    EXPECT_NE(The_Machine().Find_Path(u"C:\\Temp\\a.txt"), nullptr);
    CloseHandle(file);
    EXPECT_EQ(The_Machine().Find_Path(u"C:\\Temp\\a.txt"), nullptr);
    EXPECT_EQ(CreateFileW(u"C:\\Temp\\b.txt", GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_FLAG_DELETE_ON_CLOSE, nullptr),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(CreateFileW(u"C:\\Temp\\b.txt", DELETE, 0, nullptr, OPEN_EXISTING, FILE_FLAG_DELETE_ON_CLOSE, nullptr),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_ACCESS_DENIED));
}
