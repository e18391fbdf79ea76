// Shell folder paths, as the Windows SDK's shlobj.h declares them.
#pragma once

#include <windows.h>

// Special folders
#define CSIDL_COMMON_PROGRAMS 0x0017
#define CSIDL_COMMON_DESKTOPDIRECTORY 0x0019
#define CSIDL_COMMON_APPDATA 0x0023
#define CSIDL_WINDOWS 0x0024
#define CSIDL_SYSTEM 0x0025
#define CSIDL_SYSTEMX86 0x0029

BOOL SHGetSpecialFolderPathW(HWND owner, LPWSTR path, int csidl, BOOL create);
