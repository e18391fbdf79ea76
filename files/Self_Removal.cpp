#include "files/Self_Removal.h"

#include <windows.h>

#include "diagnostics/Lib_Result.h"
#include "diagnostics/Log_File.h"
#include "diagnostics/Log_Report.h"
#include "registry/Installer_Identity.h"
#include "registry/Registry_Primitives.h"

namespace {

// The bundle is a 32-bit program: on 64-bit Windows its entry and the RunOnce key it runs from are
// those of the 32-bit view, named by their physical paths.
const WCHAR* const Wow64_Uninstall_Path = TEXT("SOFTWARE\\Wow6432Node\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\");
const WCHAR* const Native_Uninstall_Path = TEXT("SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\");
const WCHAR* const Wow64_Run_Once_Path = TEXT("SOFTWARE\\Wow6432Node\\Microsoft\\Windows\\CurrentVersion\\RunOnce");
const WCHAR* const Native_Run_Once_Path = TEXT("SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\RunOnce");

}  // namespace

void Remove_Self(const Lib_StringW& bundle_upgrade_code) {
    Log_Info(TEXT("Self-removing..."));
    Lib_StringW entry_name;
    Lib_StringW quiet_command;
    Lib_Result result;

    const bool is_64bit = Is_64Bit_OS();
    const WCHAR* const uninstall_path = is_64bit ? Wow64_Uninstall_Path : Native_Uninstall_Path;
    const WCHAR* const run_once_path = is_64bit ? Wow64_Run_Once_Path : Native_Run_Once_Path;

    Find_Bundle_Product_Code(HKEY_LOCAL_MACHINE, uninstall_path, bundle_upgrade_code, entry_name, result);
    // Without a matching entry nothing is read: the path would name the Uninstall key itself.
    if (!entry_name.Is_Empty()) {
        // Formed as given: two backslashes stand in a row before the entry name.
        Lib_StringW entry_path = Lib_StringW(uninstall_path) + TEXT("\\") + entry_name + TEXT("\\");
        Lib_Result read_result;
        Get_Registry_Value(HKEY_LOCAL_MACHINE, entry_path.Get_Text(), TEXT("QuietUninstallString"), quiet_command,
                           read_result, 0);
    }

    if (!quiet_command.Is_Empty()) {
        Delete_Registry_Value(HKEY_LOCAL_MACHINE, run_once_path, entry_name.Get_Text(), result, 0);
        LibT_Buffer<WCHAR> data = quiet_command.To_Wide_Buffer();
        const DWORD size = static_cast<DWORD>((quiet_command.Get_Length() + 1) * sizeof(WCHAR));
        Set_Registry_Value(HKEY_LOCAL_MACHINE, run_once_path, TEXT("remove"), REG_SZ,
                           reinterpret_cast<const BYTE*>(data.Get_Data()), size, result);
    }
    Log_Info(TEXT("Self-removing finished!"));
}
