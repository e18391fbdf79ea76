// What ntdll's key calls need of the registry's handle table (registry.cpp).
#pragma once

#include "machine/machine.h"

namespace winsim {

// Deletes the key an open handle stands for (a link itself when the handle is on the link); the
// NTSTATUS NtDeleteKey answers. The machine's lock must be held.
LONG Delete_Key_Of_Handle(HKEY key);
// The physical path of the key a handle stands for, the subject of a call for fault injection.
Text Handle_Subject(HKEY key);
// The kernel's name of the key an open handle stands for, as NtQueryKey gives it: "\REGISTRY\MACHINE\..."
// or "\REGISTRY\USER\<SID of the process token's user>\..." (the user's classes below
// "\REGISTRY\USER\<SID>_Classes"); below HKEY_CLASSES_ROOT the key that won when it was opened. Empty for
// a handle that is no open key. The machine's lock must be held.
Text Kernel_Name_Of_Handle(HKEY key);

}  // namespace winsim
