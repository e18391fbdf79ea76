#include "primitives/Security.h"

#include <string.h>

bool SetProcessPrivilege(const WCHAR* privilege_name, bool enable) {
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES, &token)) return false;

    TOKEN_PRIVILEGES privileges;
    memset(&privileges, 0, sizeof(privileges));
    if (!LookupPrivilegeValueW(nullptr, privilege_name, &privileges.Privileges[0].Luid)) {
        DWORD error = GetLastError();
        CloseHandle(token);
        SetLastError(error);
        return false;
    }
    privileges.PrivilegeCount = 1;
    privileges.Privileges[0].Attributes = enable ? SE_PRIVILEGE_ENABLED : 0;
    bool result = AdjustTokenPrivileges(token, FALSE, &privileges, sizeof(privileges), nullptr, nullptr) != FALSE;
    // The call succeeds also when the token does not hold the privilege; it then leaves
    // ERROR_NOT_ALL_ASSIGNED, and the privilege has not changed.
    DWORD error = GetLastError();
    if (result && error == ERROR_NOT_ALL_ASSIGNED) result = false;
    CloseHandle(token);
    if (!result) SetLastError(error);
    return result;
}
