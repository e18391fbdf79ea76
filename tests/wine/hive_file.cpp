// The Wine tests run this in the tool's Wine session: it makes a user's hive file before the run and
// reads it back after it.
//
//   hive_file make FILE     a hive file (RegSaveKey) holding SOFTWARE\Corvanta LLP.\VESPARIO ("Language"
//                           = "de") and SOFTWARE\Lumenleaf\Reader ("Zoom" = 100), built below a scratch
//                           key of HKEY_CURRENT_USER that is deleted afterwards; FILE must not exist
//   hive_file show FILE     loads FILE below HKEY_USERS (RegLoadKey), prints the path of every key below
//                           its root, one a line, and unloads it
//   hive_file users         prints the names of the keys below HKEY_USERS, one a line
//
// Exit code 0, or the failing call's error (its name and code printed).
#include <windows.h>

#include <stdio.h>
#include <wchar.h>

#include <string>

namespace {

const wchar_t* const Scratch_Key = L"vpHiveFileScratch";
const wchar_t* const Show_Name = L"vpHiveFileShow";

int Failed(const wchar_t* call, LSTATUS status) {
    wprintf(L"%ls %ld\n", call, long(status));
    return int(status);
}

// SeBackupPrivilege and SeRestorePrivilege enabled, as RegSaveKey and RegLoadKey want on Windows.
void Enable_Hive_Privileges() {
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token)) return;
    for (const wchar_t* name : {SE_BACKUP_NAME, SE_RESTORE_NAME}) {
        TOKEN_PRIVILEGES privileges = {};
        privileges.PrivilegeCount = 1;
        privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
        if (LookupPrivilegeValueW(nullptr, name, &privileges.Privileges[0].Luid))
            AdjustTokenPrivileges(token, FALSE, &privileges, 0, nullptr, nullptr);
    }
    CloseHandle(token);
}

LSTATUS Set_Value(HKEY root, const wchar_t* path, const wchar_t* name, DWORD type, const void* data, DWORD size) {
    HKEY key = nullptr;
    LSTATUS status = RegCreateKeyExW(root, path, 0, nullptr, 0, KEY_WRITE, nullptr, &key, nullptr);
    if (status != ERROR_SUCCESS) return status;
    status = RegSetValueExW(key, name, 0, type, static_cast<const BYTE*>(data), size);
    RegCloseKey(key);
    return status;
}

int Make(const wchar_t* file) {
    HKEY scratch = nullptr;
    LSTATUS status = RegCreateKeyExW(HKEY_CURRENT_USER, Scratch_Key, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &scratch, nullptr);
    if (status != ERROR_SUCCESS) return Failed(L"RegCreateKeyEx", status);
    const wchar_t language[] = L"de";
    const DWORD zoom = 100;
    status = Set_Value(scratch, L"SOFTWARE\\Corvanta LLP.\\VESPARIO", L"Language", REG_SZ, language, sizeof language);
    if (status == ERROR_SUCCESS)
        status = Set_Value(scratch, L"SOFTWARE\\Lumenleaf\\Reader", L"Zoom", REG_DWORD, &zoom, sizeof zoom);
    const wchar_t* call = L"RegSetValueEx";
    if (status == ERROR_SUCCESS) {
        call = L"RegSaveKey";
        status = RegSaveKeyW(scratch, file, nullptr);
    }
    RegCloseKey(scratch);
    LSTATUS deleted = RegDeleteTreeW(HKEY_CURRENT_USER, Scratch_Key);
    if (status != ERROR_SUCCESS) return Failed(call, status);
    if (deleted != ERROR_SUCCESS) return Failed(L"RegDeleteTree", deleted);
    return 0;
}

// Prints the paths below key, prefix first; depth first, names in enumeration order.
LSTATUS Print_Keys(HKEY key, const std::wstring& prefix) {
    for (DWORD index = 0;; ++index) {
        wchar_t name[256];
        DWORD length = 256;
        LSTATUS status = RegEnumKeyExW(key, index, name, &length, nullptr, nullptr, nullptr, nullptr);
        if (status == ERROR_NO_MORE_ITEMS) return ERROR_SUCCESS;
        if (status != ERROR_SUCCESS) return status;
        std::wstring path = prefix.empty() ? std::wstring(name) : prefix + L"\\" + name;
        wprintf(L"%ls\n", path.c_str());
        HKEY subkey = nullptr;
        status = RegOpenKeyExW(key, name, 0, KEY_READ, &subkey);
        if (status != ERROR_SUCCESS) return status;
        status = Print_Keys(subkey, path);
        RegCloseKey(subkey);
        if (status != ERROR_SUCCESS) return status;
    }
}

int Show(const wchar_t* file) {
    LSTATUS status = RegLoadKeyW(HKEY_USERS, Show_Name, file);
    if (status != ERROR_SUCCESS) return Failed(L"RegLoadKey", status);
    HKEY root = nullptr;
    status = RegOpenKeyExW(HKEY_USERS, Show_Name, 0, KEY_READ, &root);
    if (status == ERROR_SUCCESS) {
        status = Print_Keys(root, L"");
        RegCloseKey(root);
    }
    LSTATUS unloaded = RegUnLoadKeyW(HKEY_USERS, Show_Name);
    if (status != ERROR_SUCCESS) return Failed(L"RegEnumKeyEx", status);
    if (unloaded != ERROR_SUCCESS) return Failed(L"RegUnLoadKey", unloaded);
    return 0;
}

int Users() {
    for (DWORD index = 0;; ++index) {
        wchar_t name[256];
        DWORD length = 256;
        LSTATUS status = RegEnumKeyExW(HKEY_USERS, index, name, &length, nullptr, nullptr, nullptr, nullptr);
        if (status == ERROR_NO_MORE_ITEMS) return 0;
        if (status != ERROR_SUCCESS) return Failed(L"RegEnumKeyEx", status);
        wprintf(L"%ls\n", name);
    }
}

}  // namespace

int wmain(int argc, wchar_t* argv[]) {
    Enable_Hive_Privileges();
    if (argc == 3 && wcscmp(argv[1], L"make") == 0) return Make(argv[2]);
    if (argc == 3 && wcscmp(argv[1], L"show") == 0) return Show(argv[2]);
    if (argc == 2 && wcscmp(argv[1], L"users") == 0) return Users();
    wprintf(L"usage: hive_file make FILE | show FILE | users\n");
    return ERROR_INVALID_PARAMETER;
}
