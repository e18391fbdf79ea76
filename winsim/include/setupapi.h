// Device setup calls, as the Windows SDK's setupapi.h declares them.
#pragma once

#include <windows.h>

#define SUOI_FORCEDELETE 0x00000001

BOOL SetupUninstallOEMInfW(LPCWSTR inf_file_name, DWORD flags, PVOID reserved);

// Setup errors that SetupUninstallOEMInfW reports through GetLastError.
#define ERROR_NOT_AN_INSTALLED_OEM_INF 0xE000023CL
#define ERROR_INF_IN_USE_BY_DEVICES 0xE000023DL
