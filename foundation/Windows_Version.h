// The version tests of the running system.
#pragma once

#include <windows.h>

// Whether the system is at least major.minor, with any service pack.
bool Is_Version_At_Least(DWORD major, DWORD minor);
