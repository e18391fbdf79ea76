// Security the removal stages share: switching a privilege of the process token, and the accounts
// and access lists the tool gives to what it locks down.
#pragma once

#include <windows.h>
#include <aclapi.h>

#include "diagnostics/Run_Identity.h"
#include "foundation/Lib_Handles.h"
#include "foundation/Lib_String.h"

// Enables or disables a privilege in the token of the current process. Logs nothing; on failure the
// failing call's error value is the thread's last error. A privilege that the token does not hold is
// a failure (ERROR_NOT_ALL_ASSIGNED).
bool SetProcessPrivilege(const WCHAR* privilege_name, bool enable);

// Every right on a file or folder (FILE_ALL_ACCESS).
const DWORD Full_File_Access = 0x001F01FF;

// The well-known accounts and groups of the NT authority that access lists name.
enum class Nt_Account { Administrators, Local_System, Local_Service, Users };

// Makes the account's security identifier (AllocateAndInitializeSid). Logs nothing; false with the
// call's error value as the thread's last error.
bool Make_Account_Sid(Nt_Account account, Owned_Sid& sid);

// One entry of a new access list: the trustee, what kind of trustee it is, and the rights it is given.
struct Access_Grant {
    PSID trustee;
    TRUSTEE_TYPE trustee_type;
    DWORD rights;
};

// Builds a new access list (SetEntriesInAcl, from no list) that sets each grant's rights, each passed
// on as inheritance tells. SetEntriesInAcl's result; the list is held only on success.
DWORD Build_Access_List(const Access_Grant* grants, ULONG count, DWORD inheritance, Owned_Local<PACL>& list);

// Whether a registry key whose owner and access list are present_owner and present_list already has
// the security that setting owner and list (without a change of protection) would give it, as
// Windows decides access: the same owner, and the same grants among the entries set on the key
// itself (those inherited from above are not the list's). Grants compare by trustee, inheritance and
// rights with generic rights mapped to the key's: their order and how they are split over entries do
// not matter, as allow entries grant the union of their rights in any order. A list with any other
// kind of entry (a deny among them), or no list at all, is never taken as the same. Linear in the
// entries.
bool Same_Key_Security(PSID present_owner, const ACL* present_list, PSID owner, const ACL* list);
