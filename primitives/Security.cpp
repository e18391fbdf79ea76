#include "primitives/Security.h"

#include <string.h>

#include <vector>

bool SetProcessPrivilege(const WCHAR* privilege_name, bool enable) {
    Owned_Handle token;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES, token.Receive())) return false;

    TOKEN_PRIVILEGES privileges;
    memset(&privileges, 0, sizeof(privileges));
    if (!LookupPrivilegeValueW(nullptr, privilege_name, &privileges.Privileges[0].Luid)) return false;
    privileges.PrivilegeCount = 1;
    privileges.Privileges[0].Attributes = enable ? SE_PRIVILEGE_ENABLED : 0;
    bool result = AdjustTokenPrivileges(token.Get(), FALSE, &privileges, sizeof(privileges), nullptr, nullptr) != FALSE;
    // The call succeeds also when the token does not hold the privilege; it then leaves
    // ERROR_NOT_ALL_ASSIGNED, and the privilege has not changed.
    return result && GetLastError() != ERROR_NOT_ALL_ASSIGNED;
}

bool Make_Account_Sid(Nt_Account account, Owned_Sid& sid) {
    // The relative identifiers below the NT authority; a second one of 0 is not part of the SID.
    DWORD first = SECURITY_BUILTIN_DOMAIN_RID, second = 0;
    switch (account) {
        case Nt_Account::Administrators: second = DOMAIN_ALIAS_RID_ADMINS; break;
        case Nt_Account::Users: second = DOMAIN_ALIAS_RID_USERS; break;
        case Nt_Account::Local_System: first = SECURITY_LOCAL_SYSTEM_RID; break;
        case Nt_Account::Local_Service: first = SECURITY_LOCAL_SERVICE_RID; break;
    }
    SID_IDENTIFIER_AUTHORITY nt_authority = SECURITY_NT_AUTHORITY;
    if (AllocateAndInitializeSid(&nt_authority, second != 0 ? 2 : 1, first, second, 0, 0, 0, 0, 0, 0,
                                 sid.Receive())) {
        return true;
    }
    sid.Release();  // whatever the failed call left there is not a SID
    return false;
}

DWORD Build_Access_List(const Access_Grant* grants, ULONG count, DWORD inheritance, Owned_Local<PACL>& list) {
    std::vector<EXPLICIT_ACCESS_W> entries(count);
    for (ULONG at = 0; at < count; ++at) {
        EXPLICIT_ACCESS_W& entry = entries[at];
        memset(&entry, 0, sizeof(entry));
        entry.grfAccessPermissions = grants[at].rights;
        entry.grfAccessMode = SET_ACCESS;
        entry.grfInheritance = inheritance;
        entry.Trustee.pMultipleTrustee = nullptr;
        entry.Trustee.MultipleTrusteeOperation = NO_MULTIPLE_TRUSTEE;
        entry.Trustee.TrusteeForm = TRUSTEE_IS_SID;
        entry.Trustee.TrusteeType = grants[at].trustee_type;
        entry.Trustee.ptstrName = static_cast<LPWSTR>(grants[at].trustee);
    }
    DWORD error = SetEntriesInAclW(count, entries.data(), nullptr, list.Receive());
    if (error != ERROR_SUCCESS) list.Release();  // nothing was allocated
    return error;
}

Lib_String Sid_Text(const SID* sid) {
    unsigned long long authority = 0;
    for (BYTE part : sid->IdentifierAuthority.Value) authority = (authority << 8) | part;
    Lib_String text = TEXT("S-") + Decimal_Text(sid->Revision) + TEXT("-") + Decimal_Text(authority);
    for (BYTE at = 0; at < sid->SubAuthorityCount; ++at) text = text + TEXT("-") + Decimal_Text(sid->SubAuthority[at]);
    return text;
}
