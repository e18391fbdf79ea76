#include "primitives/Security.h"

#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include <string>
#include <unordered_map>
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

namespace {

// The bytes of a SID within limit bytes; empty when it does not fit.
std::string Sid_Bytes(const BYTE* sid, size_t limit) {
    if (limit < 8) return std::string();
    size_t length = 8 + 4 * size_t(sid[1]);
    if (length > limit) return std::string();
    return std::string(reinterpret_cast<const char*>(sid), length);
}

ACCESS_MASK Map_Key_Rights(ACCESS_MASK rights) {
    ACCESS_MASK mapped = rights & ~(GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL);
    if (rights & GENERIC_READ) mapped |= KEY_READ;
    if (rights & GENERIC_WRITE) mapped |= KEY_WRITE;
    if (rights & GENERIC_EXECUTE) mapped |= KEY_EXECUTE;
    if (rights & GENERIC_ALL) mapped |= KEY_ALL_ACCESS;
    return mapped;
}

// The grants of a list's own entries: for the key itself by trustee, and for what inherits them by
// inheritance flags and trustee, each with the union of its rights. False for a list that cannot be
// compared: none, malformed, or holding an entry other than an allow entry.
bool Own_Grants(const ACL* list, std::unordered_map<std::string, ACCESS_MASK>& grants) {
    if (list == nullptr || list->AclSize < sizeof(ACL)) return false;
    const BYTE* const start = reinterpret_cast<const BYTE*>(list);
    const BYTE* const end = start + list->AclSize;
    const BYTE* at = start + sizeof(ACL);
    for (WORD index = 0; index < list->AceCount; ++index) {
        if (size_t(end - at) < sizeof(ACE_HEADER)) return false;
        ACE_HEADER header;
        memcpy(&header, at, sizeof(header));
        if (header.AceSize < sizeof(ACE_HEADER) || header.AceSize > size_t(end - at)) return false;
        const BYTE* entry = at;
        at += header.AceSize;
        if (header.AceFlags & INHERITED_ACE) continue;
        if (header.AceType != ACCESS_ALLOWED_ACE_TYPE) return false;
        const size_t sid_offset = offsetof(ACCESS_ALLOWED_ACE, SidStart);
        if (header.AceSize < sid_offset) return false;
        ACCESS_MASK rights = 0;
        memcpy(&rights, entry + offsetof(ACCESS_ALLOWED_ACE, Mask), sizeof(rights));
        const std::string sid = Sid_Bytes(entry + sid_offset, header.AceSize - sid_offset);
        if (sid.empty()) return false;
        rights = Map_Key_Rights(rights);
        if (rights == 0) continue;  // grants nothing
        const BYTE inheritance = header.AceFlags & (OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE | NO_PROPAGATE_INHERIT_ACE);
        if (!(header.AceFlags & INHERIT_ONLY_ACE)) grants[std::string(1, 'K') + sid] |= rights;
        if (inheritance & (OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE)) {
            grants[std::string(1, 'I') + char(inheritance) + sid] |= rights;
        }
    }
    return true;
}

}  // namespace

bool Same_Key_Security(PSID present_owner, const ACL* present_list, PSID owner, const ACL* list) {
    if (present_owner == nullptr || owner == nullptr) return false;
    const std::string present_owner_bytes = Sid_Bytes(static_cast<const BYTE*>(present_owner), SIZE_MAX);
    if (present_owner_bytes.empty() || present_owner_bytes != Sid_Bytes(static_cast<const BYTE*>(owner), SIZE_MAX)) {
        return false;
    }
    std::unordered_map<std::string, ACCESS_MASK> present_grants, grants;
    return Own_Grants(present_list, present_grants) && Own_Grants(list, grants) && present_grants == grants;
}
