// The smart-card readers' registry key is opened up before the reader registrations below it are
// cleaned: Administrators become its owner, and its access list gives Administrators full access and
// Local Service read, write and delete access, both inherited by every subkey.
#pragma once

#include <windows.h>

#include <aclapi.h>

// Sets the owner and the access list of HKEY_LOCAL_MACHINE\SOFTWARE\Microsoft\Cryptography\Calais\Readers
// in the registry view of the object type (SE_REGISTRY_KEY or SE_REGISTRY_WOW64_32KEY). True when the
// rights were set or the key does not exist; false after a failure, which has been reported.
bool Set_Calais_Readers_Rights(SE_OBJECT_TYPE object_type);
