// Security the removal stages share: switching a privilege of the process token, and the accounts
// and access lists the tool gives to what it locks down.
#pragma once

#include <windows.h>
#include <aclapi.h>

#include "foundation/Lib_Handles.h"
#include "foundation/Lib_String.h"

// Enables or disables a privilege in the token of the current process. Logs nothing; on failure the
// failing call's error value is the thread's last error. A privilege that the token does not hold is
// a failure (ERROR_NOT_ALL_ASSIGNED).
bool SetProcessPrivilege(const WCHAR* privilege_name, bool enable);

// The identifier's text form ("S-1-5-32-544"), as access lists in SDDL and the log name it.
Lib_String Sid_Text(const SID* sid);

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
