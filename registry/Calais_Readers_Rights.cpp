#include "registry/Calais_Readers_Rights.h"

#include <string.h>

#include "diagnostics/Log_Report.h"
#include "primitives/Registry_Backup.h"
#include "primitives/Security.h"

namespace {

const WCHAR Take_Ownership_Privilege[] = TEXT("SeTakeOwnershipPrivilege");

// KEY_READ, KEY_WRITE and DELETE: query, set, create and list subkeys, notify, delete, read control.
const DWORD Local_Service_Access = 0x0003001F;

void Set_Entry(EXPLICIT_ACCESS_W& entry, DWORD access, TRUSTEE_TYPE trustee_type, PSID trustee) {
    entry.grfAccessPermissions = access;
    entry.grfAccessMode = SET_ACCESS;
    entry.grfInheritance = SUB_CONTAINERS_AND_OBJECTS_INHERIT;
    entry.Trustee.pMultipleTrustee = nullptr;
    entry.Trustee.MultipleTrusteeOperation = NO_MULTIPLE_TRUSTEE;
    entry.Trustee.TrusteeForm = TRUSTEE_IS_SID;
    entry.Trustee.TrusteeType = trustee_type;
    entry.Trustee.ptstrName = static_cast<LPWSTR>(trustee);
}

}  // namespace

bool Set_Calais_Readers_Rights(SE_OBJECT_TYPE object_type) {
    WCHAR object_name[] = TEXT("MACHINE\\SOFTWARE\\Microsoft\\Cryptography\\Calais\\Readers");
    SID_IDENTIFIER_AUTHORITY nt_authority = SECURITY_NT_AUTHORITY;
    PSID local_service = nullptr;
    PSID administrators = nullptr;
    PACL access_list = nullptr;
    bool privilege_enabled = false;  // enabled for the retry and not yet disabled again
    bool result = false;
    Backup_Key_Security(object_name, object_type);
    const WCHAR* failed_step = nullptr;
    DWORD error = ERROR_SUCCESS;

    do {
        if (!AllocateAndInitializeSid(&nt_authority, 1, SECURITY_LOCAL_SERVICE_RID, 0, 0, 0, 0, 0, 0, 0,
                                      &local_service)) {
            local_service = nullptr;
            error = GetLastError();
            failed_step = TEXT("AllocateAndInitializeSid");
            break;
        }
        if (!AllocateAndInitializeSid(&nt_authority, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS, 0, 0,
                                      0, 0, 0, 0, &administrators)) {
            administrators = nullptr;
            error = GetLastError();
            failed_step = TEXT("AllocateAndInitializeSid");
            break;
        }

        EXPLICIT_ACCESS_W entries[2];
        memset(entries, 0, sizeof(entries));
        Set_Entry(entries[0], Local_Service_Access, TRUSTEE_IS_USER, local_service);
        Set_Entry(entries[1], GENERIC_ALL, TRUSTEE_IS_GROUP, administrators);
        error = SetEntriesInAclW(2, entries, nullptr, &access_list);
        if (error != ERROR_SUCCESS) {
            access_list = nullptr;
            failed_step = TEXT("SetEntriesInAcl");
            break;
        }

        error = SetNamedSecurityInfoW(object_name, object_type, OWNER_SECURITY_INFORMATION, administrators, nullptr,
                                      nullptr, nullptr);
        if (error == ERROR_FILE_NOT_FOUND) {  // no such key: nothing to open up
            error = ERROR_SUCCESS;
            result = true;
            break;
        }
        if (error == ERROR_ACCESS_DENIED) {
            // The owner change was refused: take ownership with the privilege, then give it up again.
            if (!SetProcessPrivilege(Take_Ownership_Privilege, true)) {
                error = GetLastError();
                failed_step = TEXT("SetProcessPrivilege");
                break;
            }
            privilege_enabled = true;
            error = SetNamedSecurityInfoW(object_name, object_type, OWNER_SECURITY_INFORMATION, administrators,
                                          nullptr, nullptr, nullptr);
            if (error != ERROR_SUCCESS) {
                failed_step = TEXT("SetNamedSecurityInfo");
                break;
            }
            if (!SetProcessPrivilege(Take_Ownership_Privilege, false)) {
                error = GetLastError();
                failed_step = TEXT("SetProcessPrivilege");
                break;
            }
            privilege_enabled = false;
        } else if (error != ERROR_SUCCESS) {
            failed_step = TEXT("SetNamedSecurityInfo");
            break;
        }

        error = SetNamedSecurityInfoW(object_name, object_type, DACL_SECURITY_INFORMATION, nullptr, nullptr,
                                      access_list, nullptr);
        if (error != ERROR_SUCCESS) {
            failed_step = TEXT("SetNamedSecurityInfo");
            break;
        }
        result = true;
    } while (false);

    if (local_service != nullptr) FreeSid(local_service);
    if (administrators != nullptr) FreeSid(administrators);
    if (access_list != nullptr) LocalFree(access_list);
    // The process never keeps the privilege: one more try when disabling it failed or never came.
    if (privilege_enabled) SetProcessPrivilege(Take_Ownership_Privilege, false);

    if (!result) {
        SetLastError(error);
        Report_System_Error(failed_step, error);
    }
    return result;
}
