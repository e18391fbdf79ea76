#include "files/Self_Removal.h"

#include <windows.h>

#include "diagnostics/Lib_Result.h"
#include "diagnostics/Log_File.h"
#include "diagnostics/Log_Report.h"
#include "files/Installer_Caches.h"
#include "primitives/Folder_Safety.h"
#include "primitives/Registry_Primitives.h"
#include "registry/Installer_Identity.h"

namespace {

// The bundle is a 32-bit program: on 64-bit Windows its entry and the RunOnce key it runs from are
// those of the 32-bit view, named by their physical paths.
const WCHAR* const Wow64_Uninstall_Path = TEXT("SOFTWARE\\Wow6432Node\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\");
const WCHAR* const Native_Uninstall_Path = TEXT("SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\");
const WCHAR* const Wow64_Run_Once_Path = TEXT("SOFTWARE\\Wow6432Node\\Microsoft\\Windows\\CurrentVersion\\RunOnce");
const WCHAR* const Native_Run_Once_Path = TEXT("SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\RunOnce");

}  // namespace

void Find_Bundle_Uninstall(const Lib_StringW& bundle_upgrade_code, Lib_StringW& entry_name, Lib_StringW& command) {
    const WCHAR* const uninstall_path = Is_64Bit_OS() ? Wow64_Uninstall_Path : Native_Uninstall_Path;
    Lib_Result result;
    Find_Bundle_Product_Code(HKEY_LOCAL_MACHINE, uninstall_path, bundle_upgrade_code, entry_name, result);
    // Without a matching entry nothing is read: the path would name the Uninstall key itself.
    if (entry_name.Is_Empty()) return;
    // Formed as given: two backslashes stand in a row before the entry name.
    Lib_StringW entry_path = Lib_StringW(uninstall_path) + TEXT("\\") + entry_name + TEXT("\\");
    Get_Registry_Value(HKEY_LOCAL_MACHINE, entry_path.Get_Text(), TEXT("QuietUninstallString"), command, result, 0);
}

Lib_StringW Command_Program(const Lib_StringW& command) {
    if (command.Is_Empty()) return Lib_StringW();
    const WCHAR* text = command.Get_Text();
    while (*text == TEXT(' ') || *text == TEXT('\t')) ++text;
    WCHAR end = TEXT(' ');
    if (*text == TEXT('"')) {
        ++text;
        end = TEXT('"');
    }
    long long length = 0;
    while (text[length] != 0 && text[length] != end && (end == TEXT('"') || text[length] != TEXT('\t'))) ++length;
    // An opening quote without its closing one names no program.
    if (end == TEXT('"') && text[length] != TEXT('"')) return Lib_StringW();
    return Lib_StringW(text).Mid(0, length);
}

void Remove_Self(const Lib_StringW& bundle_upgrade_code) {
    Log_Info(TEXT("Self-removing..."));
    Lib_StringW entry_name;
    Lib_StringW quiet_command;
    Lib_Result result;
    const WCHAR* const run_once_path = Is_64Bit_OS() ? Wow64_Run_Once_Path : Native_Run_Once_Path;

    Find_Bundle_Uninstall(bundle_upgrade_code, entry_name, quiet_command);
    if (!quiet_command.Is_Empty()) {
        // Windows starts the command with an administrator's rights at the next logon of one: it must
        // start the bundle's program, which must be there, and nobody else may have put theirs in its
        // place or beside it.
        Lib_StringW program = Command_Program(quiet_command);
        Lib_StringW reason;
        SC_Path_State state = SC_Path_Unsafe;
        if (program.Is_Empty()) {
            reason = TEXT("the command names no program");
        } else {
            // What the caches stage found before it locked the folder down counts: the lock-down
            // would have made a library someone else put there look like the bundle's own.
            reason = Kept_Folder_Refusal(program);
            if (reason.Is_Empty()) state = SC_Check_Program(program.Get_Text(), reason);
            if (state == SC_Path_Missing) reason = program + TEXT(" is not there");
        }
        if (state != SC_Path_Safe) {
            Log_Info(Lib_StringW(TEXT("Quiet uninstall not scheduled (")) + reason + TEXT("): ") + quiet_command);
        } else {
            Changes().Delete_Registry_Value(HKEY_LOCAL_MACHINE, run_once_path, entry_name.Get_Text(), result, 0);
            LibT_Buffer<WCHAR> data = quiet_command.To_Wide_Buffer();
            const DWORD size = static_cast<DWORD>((quiet_command.Get_Length() + 1) * sizeof(WCHAR));
            Changes().Set_Registry_Value(HKEY_LOCAL_MACHINE, run_once_path, TEXT("remove"), REG_SZ,
                                         reinterpret_cast<const BYTE*>(data.Get_Data()), size, result);
        }
    }
    Log_Info(TEXT("Self-removing finished!"));
}
