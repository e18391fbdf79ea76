// What ntdll's key calls need of the registry's handle table (registry.cpp).
#pragma once

#include "machine.h"

namespace winsim {

// Deletes the key an open handle stands for (a link itself when the handle is on the link); the
// NTSTATUS NtDeleteKey answers. The machine's lock must be held.
LONG Delete_Key_Of_Handle(HKEY key);
// The physical path of the key a handle stands for, the subject of a call for fault injection.
Text Handle_Subject(HKEY key);

}  // namespace winsim
