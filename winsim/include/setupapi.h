// Device setup calls, as the Windows SDK's setupapi.h declares them.
#pragma once

#include <windows.h>

#define SUOI_FORCEDELETE 0x00000001

BOOL SetupUninstallOEMInfW(LPCWSTR inf_file_name, DWORD flags, PVOID reserved);
