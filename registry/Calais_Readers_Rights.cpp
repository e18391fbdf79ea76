#include "registry/Calais_Readers_Rights.h"

#include "diagnostics/Log_Report.h"
#include "primitives/Machine_Changes.h"
#include "primitives/Security.h"

namespace {

const WCHAR Take_Ownership_Privilege[] = TEXT("SeTakeOwnershipPrivilege");

// KEY_READ, KEY_WRITE and DELETE: query, set, create and list subkeys, notify, delete, read control.
const DWORD Local_Service_Access = 0x0003001F;

// Makes Administrators the key's owner, then gives it the access list of Local Service and
// Administrators. Null when that is done or there is no such key, else the failed step's name, with
// its error value in error; privilege_enabled tells whether the take-ownership privilege was left
// enabled.
const WCHAR* Open_Up_Readers(WCHAR* object_name, SE_OBJECT_TYPE object_type, DWORD& error, bool& privilege_enabled) {
    Owned_Sid administrators, local_service;  // freed Local Service first
    if (!Make_Account_Sid(Nt_Account::Local_Service, local_service) ||
        !Make_Account_Sid(Nt_Account::Administrators, administrators)) {
        error = GetLastError();
        return TEXT("AllocateAndInitializeSid");
    }
    const Access_Grant grants[] = {{local_service.Get(), TRUSTEE_IS_USER, Local_Service_Access},
                                   {administrators.Get(), TRUSTEE_IS_GROUP, GENERIC_ALL}};
    Owned_Local<PACL> access_list;
    error = Build_Access_List(grants, 2, SUB_CONTAINERS_AND_OBJECTS_INHERIT, access_list);
    if (error != ERROR_SUCCESS) return TEXT("SetEntriesInAcl");

    error = SetNamedSecurityInfoW(object_name, object_type, OWNER_SECURITY_INFORMATION, administrators.Get(), nullptr,
                                  nullptr, nullptr);
    if (error == ERROR_FILE_NOT_FOUND) {  // no such key: nothing to open up
        error = ERROR_SUCCESS;
        return nullptr;
    }
    if (error == ERROR_ACCESS_DENIED) {
        // The owner change was refused: take ownership with the privilege, then give it up again.
        if (!SetProcessPrivilege(Take_Ownership_Privilege, true)) {
            error = GetLastError();
            return TEXT("SetProcessPrivilege");
        }
        privilege_enabled = true;
        error = SetNamedSecurityInfoW(object_name, object_type, OWNER_SECURITY_INFORMATION, administrators.Get(),
                                      nullptr, nullptr, nullptr);
        if (error != ERROR_SUCCESS) return TEXT("SetNamedSecurityInfo");
        if (!SetProcessPrivilege(Take_Ownership_Privilege, false)) {
            error = GetLastError();
            return TEXT("SetProcessPrivilege");
        }
        privilege_enabled = false;
    } else if (error != ERROR_SUCCESS) {
        return TEXT("SetNamedSecurityInfo");
    }

    error = SetNamedSecurityInfoW(object_name, object_type, DACL_SECURITY_INFORMATION, nullptr, nullptr,
                                  access_list.Get(), nullptr);
    return error != ERROR_SUCCESS ? TEXT("SetNamedSecurityInfo") : nullptr;
}

}  // namespace

bool Set_Calais_Readers_Rights(SE_OBJECT_TYPE object_type) {
    WCHAR object_name[] = TEXT("MACHINE\\SOFTWARE\\Microsoft\\Cryptography\\Calais\\Readers");
    return Changes().Change_Key_Security(object_name, object_type, [&object_name, object_type] {
        DWORD error = ERROR_SUCCESS;
        bool privilege_enabled = false;
        const WCHAR* failed_step = Open_Up_Readers(object_name, object_type, error, privilege_enabled);
        // The process never keeps the privilege: one more try when disabling it failed or never came.
        if (privilege_enabled) SetProcessPrivilege(Take_Ownership_Privilege, false);
        if (failed_step == nullptr) return true;
        SetLastError(error);
        Report_System_Error(failed_step, error);
        return false;
    });
}
