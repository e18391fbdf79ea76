#include "registry/Calais_Readers_Rights.h"

#include "diagnostics/Log_Report.h"
#include "primitives/Machine_Changes.h"
#include "primitives/Security.h"

namespace {

const WCHAR Take_Ownership_Privilege[] = TEXT("SeTakeOwnershipPrivilege");

// KEY_READ, KEY_WRITE and DELETE: query, set, create and list subkeys, notify, delete, read control.
const DWORD Local_Service_Access = 0x0003001F;

// The key's owner and access list as the stage sets them: Administrators, and the access list of Local
// Service and Administrators. Null when built, else the failed call's name, with its error value in
// error.
struct Readers_Security {
    Owned_Sid administrators, local_service;  // freed Local Service first
    Owned_Local<PACL> access_list;
};

const WCHAR* Build_Readers_Security(Readers_Security& security, DWORD& error) {
    if (!Make_Account_Sid(Nt_Account::Local_Service, security.local_service) ||
        !Make_Account_Sid(Nt_Account::Administrators, security.administrators)) {
        error = GetLastError();
        return TEXT("AllocateAndInitializeSid");
    }
    const Access_Grant grants[] = {{security.local_service.Get(), TRUSTEE_IS_USER, Local_Service_Access},
                                   {security.administrators.Get(), TRUSTEE_IS_GROUP, GENERIC_ALL}};
    error = Build_Access_List(grants, 2, SUB_CONTAINERS_AND_OBJECTS_INHERIT, security.access_list);
    return error != ERROR_SUCCESS ? TEXT("SetEntriesInAcl") : nullptr;
}

// Whether the key has that security already: then nothing is changed, saved or logged. True also for
// a missing key (found true), which has nothing to open up. A key whose security cannot be read is
// reported and changed.
bool Readers_Already_Set(WCHAR* object_name, SE_OBJECT_TYPE object_type, const Readers_Security& security,
                         bool& missing) {
    PSID owner = nullptr;
    PACL list = nullptr;
    Owned_Local<PSECURITY_DESCRIPTOR> descriptor;
    DWORD error = GetNamedSecurityInfoW(object_name, object_type, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                                        &owner, nullptr, &list, nullptr, descriptor.Receive());
    missing = error == ERROR_FILE_NOT_FOUND;
    if (missing) {
        descriptor.Release();
        return true;
    }
    if (error != ERROR_SUCCESS) {
        descriptor.Release();
        Report_System_Error(TEXT("GetNamedSecurityInfo"), error);
        return false;
    }
    return Same_Key_Security(owner, list, security.administrators.Get(), security.access_list.Get());
}

// Makes Administrators the key's owner, then gives it the access list. Null when that is done or there
// is no such key, else the failed step's name, with its error value in error; privilege_enabled tells
// whether the take-ownership privilege was left enabled.
const WCHAR* Open_Up_Readers(WCHAR* object_name, SE_OBJECT_TYPE object_type, const Readers_Security& security,
                             DWORD& error, bool& privilege_enabled) {
    PSID administrators = security.administrators.Get();
    error = SetNamedSecurityInfoW(object_name, object_type, OWNER_SECURITY_INFORMATION, administrators, nullptr,
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
        error = SetNamedSecurityInfoW(object_name, object_type, OWNER_SECURITY_INFORMATION, administrators,
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
                                  security.access_list.Get(), nullptr);
    return error != ERROR_SUCCESS ? TEXT("SetNamedSecurityInfo") : nullptr;
}

}  // namespace

bool Set_Calais_Readers_Rights(SE_OBJECT_TYPE object_type) {
    WCHAR object_name[] = TEXT("MACHINE\\SOFTWARE\\Microsoft\\Cryptography\\Calais\\Readers");
    Readers_Security security;
    DWORD error = ERROR_SUCCESS;
    if (const WCHAR* failed_step = Build_Readers_Security(security, error)) {
        SetLastError(error);
        Report_System_Error(failed_step, error);
        return false;
    }
    // A key that has the security already (a second run, the other view of a shared key) is left as it
    // is: nothing changes, so nothing is saved to the backup.
    bool missing = false;
    if (Readers_Already_Set(object_name, object_type, security, missing)) return true;
    return Changes().Change_Key_Security(object_name, object_type, [&object_name, object_type, &security] {
        DWORD error = ERROR_SUCCESS;
        bool privilege_enabled = false;
        const WCHAR* failed_step = Open_Up_Readers(object_name, object_type, security, error, privilege_enabled);
        // The process never keeps the privilege: one more try when disabling it failed or never came.
        if (privilege_enabled) SetProcessPrivilege(Take_Ownership_Privilege, false);
        if (failed_step == nullptr) return true;
        SetLastError(error);
        Report_System_Error(failed_step, error);
        return false;
    });
}
