// Shell32's special folders: SHGetSpecialFolderPathW for the CSIDL values of the tool, answered
// with Windows' default folders in Windows' own spelling.
#include <shlobj.h>
#include <windows.h>

#include <algorithm>
#include <cstdio>

#include "machine/paths.h"

namespace winsim {

namespace {

// The folder behind a CSIDL value, or the empty text for one this machine does not know.
Text Special_Folder(const Machine& machine, int csidl) {
    switch (csidl) {
    case CSIDL_WINDOWS: return machine.windows_directory;
    case CSIDL_SYSTEM: return machine.windows_directory + u"\\system32";
    case CSIDL_SYSTEMX86: return machine.windows_directory + u"\\SysWOW64";
    case CSIDL_COMMON_APPDATA: return u"C:\\ProgramData";
    case CSIDL_COMMON_PROGRAMS: return u"C:\\ProgramData\\Microsoft\\Windows\\Start Menu\\Programs";
    case CSIDL_COMMON_DESKTOPDIRECTORY: return u"C:\\Users\\Public\\Desktop";
    default: return Text();
    }
}

}  // namespace

}  // namespace winsim

using namespace winsim;

// On success the last-error value tells what became of the folder: ERROR_ALREADY_EXISTS when it was
// to be created and was there already (the attempt to create it says so), ERROR_SUCCESS otherwise.
// Failures leave the last-error value as it was.
BOOL SHGetSpecialFolderPathW(HWND, LPWSTR path, int csidl, BOOL create) {
    Machine& machine = The_Machine();
    std::lock_guard<std::recursive_mutex> guard(machine.lock);
    Text folder = Special_Folder(machine, csidl);
    char number[16];
    std::snprintf(number, sizeof number, "0x%X", unsigned(csidl));
    if (machine.keep_calls)
        machine.calls.push_back(std::string("SHGetSpecialFolderPathW ") + (folder.empty() ? number : To_Utf8(folder)));
    DWORD error = 0;
    if (machine.Take_Fault("SHGetSpecialFolderPathW", folder, &error)) {
        SetLastError(error);
        return FALSE;
    }
    if (folder.empty() || !path) return FALSE;
    Fs_Node* node = Look_Up(machine, folder, true).node;
    bool existed = node != nullptr;
    if (!node && create) node = machine.Make_Folders(folder);
    if (!node || !node->directory) return FALSE;
    std::copy(folder.begin(), folder.end(), path);
    path[folder.size()] = 0;
    SetLastError(existed && create ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
    return TRUE;
}
