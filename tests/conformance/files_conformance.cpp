// File-system calls that the removal tool's file primitives rely on, made in a fixed sequence with
// every result and error value printed. Built natively against winsim and as a Windows executable run
// under Wine; run_conformance.sh compares the two outputs line by line.
//
// The program creates everything it touches below C:\VpFiles (and the special folders it asks for),
// so it needs nothing but an empty machine or a fresh Wine prefix.
//
// Where Wine knowingly differs from Windows, the program avoids the difference or prints in a form that
// is the same on both:
// - Listings: NTFS gives "." and ".." first, then the names sorted by upper-cased name; Wine gives the
//   host file system's order. Listed names are printed sorted.
// - Special folders: Windows spells them "C:\Windows", "C:\Users\Public\Desktop", Wine "C:\windows",
//   "C:\users\Public\Desktop"; the paths are printed in lower case.
// - MoveFileExW with MOVEFILE_DELAY_UNTIL_REBOOT on a missing path: Windows refuses it (2 or 3), Wine
//   records it; not called here.
// - Paths of MAX_PATH characters and more: Windows refuses them with 3, Wine looks them up; not used.
// - A trailing separator after a file name, and "file\*": Windows gives 123 and 267, Wine 3 and 123;
//   not used.
// - Read-only folders: Windows refuses to remove them, Wine ignores the attribute; not used.
// - Opening a read-only file for writing: Windows refuses it with 5; Wine keeps the attribute as the
//   host file's permissions, which do not stop a prefix run as root; not called here.
// - The last-error value after a successful call other than CreateFileW is not printed.
#include <shlobj.h>
#include <windows.h>

#include "conformance_output.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

std::string Lower(std::string text) {
    for (char& c : text)
        if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
    return text;
}

// A Boolean call: its result and, on failure, the error value read at once.
void Check(const char* what, BOOL ok) {
    DWORD error = GetLastError();
    if (ok) std::printf("%s: ok\n", what);
    else std::printf("%s: failed %lu\n", what, (unsigned long)error);
}

void Attributes(const char* what, const WCHAR* path) {
    DWORD attributes = GetFileAttributesW(path);
    DWORD error = GetLastError();
    if (attributes == INVALID_FILE_ATTRIBUTES) std::printf("%s: attributes failed %lu\n", what, (unsigned long)error);
    else std::printf("%s: attributes 0x%lX\n", what, (unsigned long)attributes);
}

// Opens with the given access and sharing; prints the error value on failure and 0 or 183 on success.
HANDLE Open(const char* what, const WCHAR* path, DWORD access, DWORD share, DWORD disposition, DWORD flags) {
    SetLastError(12345);
    HANDLE handle = CreateFileW(path, access, share, NULL, disposition, flags, NULL);
    DWORD error = GetLastError();
    std::printf("%s: %s %lu\n", what, handle == INVALID_HANDLE_VALUE ? "failed" : "opened", (unsigned long)error);
    return handle;
}

// Writes a text through a handle; prints the count written, or the error value.
void Write(const char* what, HANDLE handle, const char* text) {
    DWORD written = 12345;
    BOOL ok = WriteFile(handle, text, DWORD(std::strlen(text)), &written, NULL);
    DWORD error = GetLastError();
    if (ok) std::printf("%s: wrote %lu\n", what, (unsigned long)written);
    else std::printf("%s: failed %lu\n", what, (unsigned long)error);
}

// The size of an open file.
void Size(const char* what, HANDLE handle) {
    BY_HANDLE_FILE_INFORMATION information;
    if (GetFileInformationByHandle(handle, &information))
        std::printf("%s: %lu bytes\n", what, (unsigned long)information.nFileSizeLow);
    else
        std::printf("%s: information failed %lu\n", what, (unsigned long)GetLastError());
}

void Make_File(const WCHAR* path) {
    HANDLE handle = CreateFileW(path, GENERIC_WRITE, 0, NULL, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, NULL);
    if (handle == INVALID_HANDLE_VALUE) {
        std::printf("cannot create %s: %lu\n", Show(path).c_str(), (unsigned long)GetLastError());
        return;
    }
    CloseHandle(handle);
}

// Lists a pattern; the names (with their attributes) are printed sorted, since Wine lists in the host's
// order, followed by how the listing ended.
void List(const char* what, const WCHAR* pattern) {
    WIN32_FIND_DATAW entry;
    HANDLE search = FindFirstFileW(pattern, &entry);
    if (search == INVALID_HANDLE_VALUE) {
        std::printf("%s: find failed %lu\n", what, (unsigned long)GetLastError());
        return;
    }
    std::vector<std::string> lines;
    do {
        char attributes[16];
        std::snprintf(attributes, sizeof attributes, " 0x%lX", (unsigned long)entry.dwFileAttributes);
        lines.push_back(Show(entry.cFileName) + attributes);
    } while (FindNextFileW(search, &entry));
    DWORD error = GetLastError();
    std::sort(lines.begin(), lines.end());
    for (const std::string& line : lines) std::printf("%s: %s\n", what, line.c_str());
    std::printf("%s: end %lu\n", what, (unsigned long)error);
    Check("FindClose", FindClose(search));
}

// A file's number of names and its identity, read through an open that asks for no data and does not
// follow a link (as the tree lock-down reads them).
ULONGLONG Names(const char* what, const WCHAR* path) {
    HANDLE handle = CreateFileW(path, FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL,
                                OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, NULL);
    if (handle == INVALID_HANDLE_VALUE) {
        std::printf("%s: open failed %lu\n", what, (unsigned long)GetLastError());
        return 0;
    }
    BY_HANDLE_FILE_INFORMATION information;
    ULONGLONG identity = 0;
    if (GetFileInformationByHandle(handle, &information)) {
        std::printf("%s: %lu names\n", what, (unsigned long)information.nNumberOfLinks);
        identity = (ULONGLONG(information.nFileIndexHigh) << 32) | information.nFileIndexLow;
    } else {
        std::printf("%s: information failed %lu\n", what, (unsigned long)GetLastError());
    }
    CloseHandle(handle);
    return identity;
}

void Print_Pending() {
    HKEY key;
    LONG status = RegOpenKeyExW(HKEY_LOCAL_MACHINE, TEXT("SYSTEM\\CurrentControlSet\\Control\\Session Manager"), 0,
                                KEY_QUERY_VALUE, &key);
    if (status != ERROR_SUCCESS) {
        std::printf("Session Manager: %ld\n", long(status));
        return;
    }
    BYTE data[2048];
    DWORD size = sizeof data, type = 0;
    status = RegQueryValueExW(key, TEXT("PendingFileRenameOperations"), NULL, &type, data, &size);
    RegCloseKey(key);
    std::printf("PendingFileRenameOperations: %ld type %lu size %lu\n", long(status), (unsigned long)type,
                (unsigned long)size);
    if (status != ERROR_SUCCESS) return;
    // Each string on its own line between brackets; the empty one after the last pair closes the list.
    WCHAR text[1025] = {};
    for (DWORD i = 0; i + 1 < size; i += 2) text[i / 2] = WCHAR(data[i] | (data[i + 1] << 8));
    for (DWORD at = 0; at < size / 2;) {
        std::printf("  [%s]\n", Show(text + at).c_str());
        while (text[at]) ++at;
        ++at;
    }
}

}  // namespace

int main() {
    Section("setup");
    Check("CreateDirectory VpFiles", CreateDirectoryW(TEXT("C:\\VpFiles"), NULL));
    Check("CreateDirectory Tree", CreateDirectoryW(TEXT("C:\\VpFiles\\Tree"), NULL));
    Check("CreateDirectory Tree\\Sub", CreateDirectoryW(TEXT("C:\\VpFiles\\Tree\\Sub"), NULL));
    Check("CreateDirectory Empty", CreateDirectoryW(TEXT("C:\\VpFiles\\Empty"), NULL));
    Make_File(TEXT("C:\\VpFiles\\Tree\\b.dll"));
    Make_File(TEXT("C:\\VpFiles\\Tree\\A.txt"));
    Make_File(TEXT("C:\\VpFiles\\Tree\\Sub\\c.inf"));
    Make_File(TEXT("C:\\VpFiles\\ReadOnly.dll"));
    Make_File(TEXT("C:\\VpFiles\\Open.dll"));

    Section("names");
    Attributes("mixed case and forward separators", TEXT("c:/vpfiles//TREE\\a.TXT"));
    Attributes("folder", TEXT("C:\\VpFiles\\Tree"));
    Attributes("file", TEXT("C:\\VpFiles\\Tree\\b.dll"));
    Attributes("missing name", TEXT("C:\\VpFiles\\Tree\\none.dll"));
    Attributes("missing folder on the way", TEXT("C:\\VpFiles\\None\\b.dll"));
    Attributes("file on the way", TEXT("C:\\VpFiles\\Tree\\b.dll\\x"));
    Attributes("reserved character", TEXT("C:\\VpFiles\\a?b"));
    Attributes("relative components", TEXT("C:\\VpFiles\\Empty\\..\\.\\Tree\\Sub\\c.inf"));

    Section("trailing full stops and blanks");
    // The company folder of the tool is named with a final full stop.
    Check("CreateDirectory Corvanta LLP.", CreateDirectoryW(TEXT("C:\\VpFiles\\Corvanta LLP."), NULL));
    Attributes("without the full stop", TEXT("C:\\VpFiles\\Corvanta LLP"));
    Attributes("with full stops and blanks", TEXT("C:\\VpFiles\\Corvanta LLP. . ."));
    Attributes("with a separator after", TEXT("C:\\VpFiles\\Corvanta LLP.\\"));
    Make_File(TEXT("C:\\VpFiles\\Corvanta LLP.\\d.dll"));
    Attributes("one full stop inside", TEXT("C:\\VpFiles\\Corvanta LLP.\\d.dll"));
    Attributes("two full stops inside", TEXT("C:\\VpFiles\\Corvanta LLP..\\d.dll"));
    Attributes("a blank inside", TEXT("C:\\VpFiles\\Corvanta LLP \\d.dll"));
    Attributes("blank before a separator at the end", TEXT("C:\\VpFiles\\Corvanta LLP\\d.dll \\"));
    List("listing VpFiles", TEXT("C:\\VpFiles\\*"));

    Section("listing");
    List("Tree", TEXT("C:\\VpFiles\\Tree\\*"));
    List("Empty", TEXT("C:\\VpFiles\\Empty\\*"));
    List("pattern", TEXT("C:\\VpFiles\\Tree\\*.dll"));
    List("one name", TEXT("C:\\VpFiles\\Tree"));
    List("no match", TEXT("C:\\VpFiles\\Tree\\*.sys"));
    List("missing folder", TEXT("C:\\VpFiles\\None\\*"));
    List("missing folder on the way", TEXT("C:\\VpFiles\\None\\Deeper\\*"));
    List("trailing separator", TEXT("C:\\VpFiles\\Tree\\"));

    Section("opening");
    HANDLE handle = Open("file", TEXT("C:\\VpFiles\\Tree\\b.dll"), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                         OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS);
    if (handle != INVALID_HANDLE_VALUE) Check("CloseHandle", CloseHandle(handle));
    handle = Open("folder with backup semantics", TEXT("C:\\VpFiles\\Tree"), GENERIC_READ,
                  FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS);
    if (handle != INVALID_HANDLE_VALUE) Check("CloseHandle", CloseHandle(handle));
    Open("folder without backup semantics", TEXT("C:\\VpFiles\\Tree"), GENERIC_READ,
         FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING, 0);
    Open("missing", TEXT("C:\\VpFiles\\Tree\\none.dll"), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
         OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS);
    Open("missing folder on the way", TEXT("C:\\VpFiles\\None\\none.dll"), GENERIC_READ,
         FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS);
    Open("create new on an existing file", TEXT("C:\\VpFiles\\Tree\\b.dll"), GENERIC_WRITE, 0, CREATE_NEW, 0);
    handle = Open("open always on an existing file", TEXT("C:\\VpFiles\\Tree\\b.dll"), GENERIC_READ,
                  FILE_SHARE_READ, OPEN_ALWAYS, 0);
    if (handle != INVALID_HANDLE_VALUE) CloseHandle(handle);

    Section("deleting a read-only file");
    Check("SetFileAttributes read-only", SetFileAttributesW(TEXT("C:\\VpFiles\\ReadOnly.dll"),
                                                            FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_ARCHIVE));
    Attributes("read-only", TEXT("C:\\VpFiles\\ReadOnly.dll"));
    Check("DeleteFile read-only", DeleteFileW(TEXT("C:\\VpFiles\\ReadOnly.dll")));
    Check("SetFileAttributes cleared", SetFileAttributesW(TEXT("C:\\VpFiles\\ReadOnly.dll"), FILE_ATTRIBUTE_ARCHIVE));
    Attributes("cleared", TEXT("C:\\VpFiles\\ReadOnly.dll"));
    Check("DeleteFile cleared", DeleteFileW(TEXT("C:\\VpFiles\\ReadOnly.dll")));
    Attributes("deleted", TEXT("C:\\VpFiles\\ReadOnly.dll"));
    Check("SetFileAttributes missing", SetFileAttributesW(TEXT("C:\\VpFiles\\ReadOnly.dll"), FILE_ATTRIBUTE_ARCHIVE));

    Section("deleting an open file");
    // Opened without sharing; inside one process a second open meets the same sharing violation as
    // one from another process.
    HANDLE open_file = Open("open without sharing", TEXT("C:\\VpFiles\\Open.dll"), GENERIC_READ, 0, OPEN_EXISTING, 0);
    Check("DeleteFile open", DeleteFileW(TEXT("C:\\VpFiles\\Open.dll")));
    Open("second open", TEXT("C:\\VpFiles\\Open.dll"), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
         OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS);
    Attributes("attributes of the open file", TEXT("C:\\VpFiles\\Open.dll"));
    Check("SetFileAttributes open", SetFileAttributesW(TEXT("C:\\VpFiles\\Open.dll"), FILE_ATTRIBUTE_ARCHIVE));
    Check("MoveFileEx delayed, open file",
          MoveFileExW(TEXT("c:/VpFiles//open.DLL."), NULL, MOVEFILE_DELAY_UNTIL_REBOOT));
    Check("CloseHandle", CloseHandle(open_file));
    Check("DeleteFile closed", DeleteFileW(TEXT("C:\\VpFiles\\Open.dll")));
    Check("DeleteFile missing", DeleteFileW(TEXT("C:\\VpFiles\\Open.dll")));
    Check("DeleteFile missing folder on the way", DeleteFileW(TEXT("C:\\VpFiles\\None\\Open.dll")));
    Check("DeleteFile folder", DeleteFileW(TEXT("C:\\VpFiles\\Empty")));

    Section("a file created for one writer");
    // Created only where nothing of its name is, not through a link, shared for reading only: others
    // may read it beside its writer, but neither write nor delete it; writes follow each other.
    const WCHAR* log = TEXT("C:\\VpFiles\\log.txt");
    const DWORD exclusive = FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT;
    HANDLE writer = Open("create new", log, GENERIC_WRITE, FILE_SHARE_READ, CREATE_NEW, exclusive);
    Write("write one", writer, "one\r\n");
    Write("write two", writer, "two\r\n");
    Open("create new again", log, GENERIC_WRITE, FILE_SHARE_READ, CREATE_NEW, exclusive);
    Open("create new on a folder", TEXT("C:\\VpFiles\\Empty"), GENERIC_WRITE, FILE_SHARE_READ, CREATE_NEW, exclusive);
    HANDLE reader = Open("read, sharing reading and writing", log, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                         OPEN_EXISTING, 0);
    Write("write through the reader", reader, "x");
    Check("CloseHandle reader", CloseHandle(reader));
    Open("read, sharing reading only", log, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING, 0);
    Open("write, sharing everything", log, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
         OPEN_EXISTING, 0);
    Check("DeleteFile while written", DeleteFileW(log));
    Check("MoveFileEx while written", MoveFileExW(log, TEXT("C:\\VpFiles\\moved.txt"), 0));
    Size("size", writer);
    Check("CloseHandle writer", CloseHandle(writer));
    // Held for reading and writing, sharing both but not deletion: it cannot be deleted.
    HANDLE holder = Open("hold, sharing reading and writing", log, GENERIC_READ | GENERIC_WRITE,
                         FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING, 0);
    Check("DeleteFile while held", DeleteFileW(log));
    Check("CloseHandle holder", CloseHandle(holder));
    Check("DeleteFile log", DeleteFileW(log));

    Section("hard links");
    // Two names of one file share its attributes; deleting one name leaves the other.
    Check("CreateDirectory Links", CreateDirectoryW(TEXT("C:\\VpFiles\\Links"), NULL));
    Make_File(TEXT("C:\\VpFiles\\Links\\a.dll"));
    const WCHAR* first = TEXT("C:\\VpFiles\\Links\\a.dll");
    const WCHAR* second = TEXT("C:\\VpFiles\\Links\\b.dll");
    Names("one name", first);
    Check("CreateHardLink", CreateHardLinkW(second, first, NULL));
    Check("CreateHardLink on a taken name", CreateHardLinkW(second, first, NULL));
    Check("CreateHardLink of a missing file",
          CreateHardLinkW(TEXT("C:\\VpFiles\\Links\\c.dll"), TEXT("C:\\VpFiles\\Links\\none.dll"), NULL));
    Check("CreateHardLink in a missing folder", CreateHardLinkW(TEXT("C:\\VpFiles\\None\\c.dll"), first, NULL));
    ULONGLONG first_identity = Names("first name", first);
    ULONGLONG second_identity = Names("second name", second);
    std::printf("one file: %s\n", first_identity != 0 && first_identity == second_identity ? "yes" : "no");
    Check("SetFileAttributes read-only through the second name",
          SetFileAttributesW(second, FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_ARCHIVE));
    Attributes("first name", first);
    Check("SetFileAttributes cleared through the first name", SetFileAttributesW(first, FILE_ATTRIBUTE_ARCHIVE));
    Attributes("second name", second);
    // The opens of a file are the file's, whichever name they came through.
    HANDLE first_held = Open("hold the first name, sharing reading and writing", first, GENERIC_READ | GENERIC_WRITE,
                             FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING, 0);
    Check("DeleteFile second name while the first is held", DeleteFileW(second));
    Write("write through the first name", first_held, "both");
    Check("CloseHandle first name", CloseHandle(first_held));
    HANDLE second_open = Open("open the second name", second, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING, 0);
    Size("size through the second name", second_open);
    Check("CloseHandle second name", CloseHandle(second_open));
    Check("DeleteFile second name", DeleteFileW(second));
    Names("first name left", first);
    Check("DeleteFile first name", DeleteFileW(first));
    Check("RemoveDirectory Links", RemoveDirectoryW(TEXT("C:\\VpFiles\\Links")));

    Section("removing folders");
    Check("RemoveDirectory non-empty", RemoveDirectoryW(TEXT("C:\\VpFiles\\Tree")));
    Check("RemoveDirectory file", RemoveDirectoryW(TEXT("C:\\VpFiles\\Tree\\b.dll")));
    Check("RemoveDirectory missing", RemoveDirectoryW(TEXT("C:\\VpFiles\\None")));
    Check("RemoveDirectory missing folder on the way", RemoveDirectoryW(TEXT("C:\\VpFiles\\None\\Deeper")));
    HANDLE open_folder = Open("open folder", TEXT("C:\\VpFiles\\Empty"), GENERIC_READ,
                              FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS);
    Check("RemoveDirectory open", RemoveDirectoryW(TEXT("C:\\VpFiles\\Empty")));
    List("listing the open folder", TEXT("C:\\VpFiles\\Empty\\*"));
    Check("MoveFileEx delayed, open folder",
          MoveFileExW(TEXT("C:\\VpFiles\\Empty"), NULL, MOVEFILE_DELAY_UNTIL_REBOOT));
    Check("CloseHandle", CloseHandle(open_folder));
    // Opened without sharing and not empty: the sharing violation comes first.
    open_folder = Open("open non-empty folder without sharing", TEXT("C:\\VpFiles\\Tree\\Sub"), GENERIC_READ, 0,
                       OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS);
    Check("RemoveDirectory open and non-empty", RemoveDirectoryW(TEXT("C:\\VpFiles\\Tree\\Sub")));
    Check("CloseHandle", CloseHandle(open_folder));
    Check("RemoveDirectory closed and non-empty", RemoveDirectoryW(TEXT("C:\\VpFiles\\Tree\\Sub")));
    Check("DeleteFile c.inf", DeleteFileW(TEXT("C:\\VpFiles\\Tree\\Sub\\c.inf")));
    Check("RemoveDirectory emptied, with a full stop", RemoveDirectoryW(TEXT("C:\\VpFiles\\Tree\\Sub.")));
    Check("RemoveDirectory closed and empty", RemoveDirectoryW(TEXT("C:\\VpFiles\\Empty")));
    List("Tree after", TEXT("C:\\VpFiles\\Tree\\*"));

    Section("delayed deletion");
    Print_Pending();

    Section("special folders");
    // Windows' spelling and Wine's differ in case only; printed in lower case.
    const int folders[] = {CSIDL_COMMON_PROGRAMS, CSIDL_COMMON_DESKTOPDIRECTORY, CSIDL_COMMON_APPDATA,
                           CSIDL_WINDOWS, CSIDL_SYSTEM, CSIDL_SYSTEMX86};
    for (int csidl : folders) {
        WCHAR path[MAX_PATH] = {};
        BOOL found = SHGetSpecialFolderPathW(NULL, path, csidl, TRUE);
        std::printf("CSIDL 0x%02X: %s %s\n", csidl, found ? "found" : "failed", Lower(Show(path)).c_str());
        if (found) Attributes("  the folder", path);
    }
    WCHAR unknown[MAX_PATH] = {};
    std::printf("CSIDL 0x7F: %s\n", SHGetSpecialFolderPathW(NULL, unknown, 0x7F, TRUE) ? "found" : "failed");
    return 0;
}
