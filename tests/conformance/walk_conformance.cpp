// What holding a folder open prevents, and paths in the "\\?\" form, as the tree removal relies on
// them: a fixed sequence of calls with every result and error value printed. Built natively against
// winsim and as a Windows executable run under Wine; run_conformance.sh compares the two outputs.
//
// Everything is made below C:\VpWalk, so a fresh Wine prefix or an empty machine is enough.
//
// Where Wine differs from Windows, the program avoids the difference (winsim/README.md):
// - Renaming or moving a folder with an entry beneath it open: Windows refuses it with 5, Wine moves
//   the folder; not done here.
// - Moving a folder directly into itself: Windows refuses it with 32 before Windows 11 22H2 and with 87
//   from then on, Wine with 87; not done here.
// - Paths of MAX_PATH characters and more without the prefix: Windows refuses them with 3, Wine takes
//   them; only the "\\?\" form is used for the long paths here.
#include <windows.h>

#include <cstdio>
#include <string>

namespace {

void Check(const char* what, BOOL ok) {
    DWORD error = GetLastError();
    if (ok) std::printf("%s: ok\n", what);
    else std::printf("%s: failed %lu\n", what, (unsigned long)error);
}

HANDLE Open_Folder(const char* what, const WCHAR* path, DWORD access, DWORD share) {
    HANDLE handle = CreateFileW(path, access, share, NULL, OPEN_EXISTING,
                                FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, NULL);
    DWORD error = GetLastError();
    if (handle == INVALID_HANDLE_VALUE) std::printf("%s: failed %lu\n", what, (unsigned long)error);
    else std::printf("%s: opened\n", what);
    return handle;
}

void Attributes_By_Handle(const char* what, HANDLE handle) {
    BY_HANDLE_FILE_INFORMATION information;
    if (GetFileInformationByHandle(handle, &information))
        std::printf("%s: attributes 0x%lX\n", what, (unsigned long)(information.dwFileAttributes & 0x417));
    else
        std::printf("%s: failed %lu\n", what, (unsigned long)GetLastError());
}

void Exists(const char* what, const WCHAR* path) {
    DWORD attributes = GetFileAttributesW(path);
    if (attributes == INVALID_FILE_ATTRIBUTES) std::printf("%s: missing %lu\n", what, (unsigned long)GetLastError());
    else std::printf("%s: there\n", what);
}

void Full_Path(const char* what, const WCHAR* path) {
    WCHAR buffer[512];
    DWORD length = GetFullPathNameW(path, 512, buffer, NULL);
    if (length == 0) {
        std::printf("%s: failed %lu\n", what, (unsigned long)GetLastError());
        return;
    }
    std::string text;
    for (DWORD i = 0; i < length; ++i) text += char(buffer[i] < 0x80 ? buffer[i] : '?');
    std::printf("%s: %lu %s\n", what, (unsigned long)length, text.c_str());
}

}  // namespace

int main() {
    std::printf("== a folder held open without delete sharing\n");
    Check("create VpWalk", CreateDirectoryW(TEXT("C:\\VpWalk"), NULL));
    Check("create held", CreateDirectoryW(TEXT("C:\\VpWalk\\held"), NULL));
    Check("create held\\sub", CreateDirectoryW(TEXT("C:\\VpWalk\\held\\sub"), NULL));
    HANDLE held = Open_Folder("open held", TEXT("C:\\VpWalk\\held"), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE);
    Attributes_By_Handle("held information", held);
    Check("rename held", MoveFileExW(TEXT("C:\\VpWalk\\held"), TEXT("C:\\VpWalk\\away"), 0));
    Check("remove held\\sub", RemoveDirectoryW(TEXT("C:\\VpWalk\\held\\sub")));
    Check("remove held", RemoveDirectoryW(TEXT("C:\\VpWalk\\held")));
    Check("list held's parent open", CreateDirectoryW(TEXT("C:\\VpWalk\\held\\again"), NULL));
    Check("close held", CloseHandle(held));
    Check("rename held once closed", MoveFileExW(TEXT("C:\\VpWalk\\held"), TEXT("C:\\VpWalk\\away"), 0));
    Exists("away\\again", TEXT("C:\\VpWalk\\away\\again"));

    std::printf("== a folder held open with delete sharing moves, and its handle with it\n");
    HANDLE shared = Open_Folder("open away", TEXT("C:\\VpWalk\\away"), GENERIC_READ,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE);
    Check("rename away", MoveFileExW(TEXT("C:\\VpWalk\\away"), TEXT("C:\\VpWalk\\moved"), 0));
    Check("create a file where it was", CreateDirectoryW(TEXT("C:\\VpWalk\\away"), NULL));
    Attributes_By_Handle("moved information", shared);
    Check("close moved", CloseHandle(shared));
    Check("rename onto an existing folder", MoveFileExW(TEXT("C:\\VpWalk\\moved"), TEXT("C:\\VpWalk\\away"), 0));

    std::printf("== paths in the \\\\?\\ form\n");
    std::basic_string<WCHAR> deep = TEXT("\\\\?\\C:\\VpWalk\\deep");
    Check("create deep", CreateDirectoryW(deep.c_str(), NULL));
    for (int level = 0; level < 5; ++level) {
        deep += TEXT("\\") + std::basic_string<WCHAR>(60, WCHAR('a' + level));
        Check("create level", CreateDirectoryW(deep.c_str(), NULL));
    }
    std::printf("deep length: %lu\n", (unsigned long)deep.size());
    std::basic_string<WCHAR> file = deep + TEXT("\\f.dat");
    HANDLE created = CreateFileW(file.c_str(), GENERIC_WRITE, 0, NULL, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, NULL);
    std::printf("create deep file: %s\n", created == INVALID_HANDLE_VALUE ? "failed" : "ok");
    if (created != INVALID_HANDLE_VALUE) CloseHandle(created);
    Exists("deep file", file.c_str());
    HANDLE deep_folder = Open_Folder("open deep folder", deep.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE);
    Attributes_By_Handle("deep information", deep_folder);
    Check("close deep folder", CloseHandle(deep_folder));
    WIN32_FIND_DATAW entry;
    HANDLE search = FindFirstFileW((deep + TEXT("\\*")).c_str(), &entry);
    std::printf("list deep: %s\n", search == INVALID_HANDLE_VALUE ? "failed" : "ok");
    if (search != INVALID_HANDLE_VALUE) FindClose(search);
    Exists("no . in the form", (deep + TEXT("\\.\\f.dat")).c_str());
    Check("delete deep file", DeleteFileW(file.c_str()));
    Full_Path("full path", TEXT("C:\\VpWalk\\a\\.\\b\\..\\c. "));
    Full_Path("full path of the form", TEXT("\\\\?\\C:\\VpWalk\\a"));
    while (deep.size() > 20) {
        Check("remove level", RemoveDirectoryW(deep.c_str()));
        deep.erase(deep.rfind(WCHAR('\\')));
    }
    return 0;
}
