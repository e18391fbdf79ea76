// The security API of Advapi32 that works on named objects and access lists.
#pragma once

#include <windows.h>

#include <accctrl.h>

DWORD SetEntriesInAclW(ULONG count, PEXPLICIT_ACCESS_W entries, PACL old_acl, PACL* new_acl);
DWORD SetNamedSecurityInfoW(LPWSTR object_name, SE_OBJECT_TYPE object_type, SECURITY_INFORMATION information,
                            PSID owner, PSID group, PACL dacl, PACL sacl);
DWORD GetNamedSecurityInfoW(LPCWSTR object_name, SE_OBJECT_TYPE object_type, SECURITY_INFORMATION information,
                            PSID* owner, PSID* group, PACL* dacl, PACL* sacl, PSECURITY_DESCRIPTOR* descriptor);
DWORD GetSecurityInfo(HANDLE handle, SE_OBJECT_TYPE object_type, SECURITY_INFORMATION information, PSID* owner,
                      PSID* group, PACL* dacl, PACL* sacl, PSECURITY_DESCRIPTOR* descriptor);
DWORD SetSecurityInfo(HANDLE handle, SE_OBJECT_TYPE object_type, SECURITY_INFORMATION information, PSID owner,
                      PSID group, PACL dacl, PACL sacl);
