#include "files/Installer_Caches.h"

#include <shlobj.h>

#include "diagnostics/Lib_Result.h"
#include "diagnostics/Log_Indent.h"
#include "diagnostics/Log_Report.h"
#include "files/Self_Removal.h"
#include "foundation/Lib_Path.h"
#include "primitives/File_Primitives.h"
#include "primitives/Folder_Safety.h"
#include "primitives/Tree_Protection.h"

namespace {

// The company's cache folder: the company name without its final full stop.
const WCHAR* const Company_Cache_Folder = TEXT("Corvanta LLP");
const WCHAR* const Package_Cache_Folder = TEXT("Package Cache");
const WCHAR* const Driver_Package_Marker = TEXT("vpDrivers");

}  // namespace

namespace {

// Whether path lies inside folder (names compared without regard to letter case).
bool Is_Inside(const Lib_StringW& path, const Lib_StringW& folder) {
    long long length = folder.Get_Length();
    if (path.Get_Length() <= length + 1 || path.Get_Text()[length] != TEXT('\\')) return false;
    return path.Mid(0, length).Compare_No_Case(folder.Get_Text()) == 0;
}

}  // namespace

void Remove_New_Caches(int csidl, const WCHAR* cache_folder, const WCHAR* marker, const Lib_StringW& kept_program) {
    Log_Info(TEXT("Removing new caches (with WIX)..."));
    Lib_Result result;
    bool reboot_required = false;
    Wide_Name_List entries;
    Wide_Name_List contents;

    Lib_StringW cache_root;
    Lib_StringW reason;
    SC_Path_State root_state = SC_Path_Missing;
    if (Changes().Get_Absolute_File_Path_From_Special_Folder(csidl, cache_folder, nullptr, cache_root, result)) {
        // Users may create folders in the all-users data folder: a cache folder that one of them made,
        // or replaced by a junction, is none of the tool's business.
        root_state = SC_Check_Folder_Chain(cache_root.Get_Text(), 0, reason);
        if (root_state == SC_Path_Unsafe) Log_Info(Lib_StringW(TEXT("Left alone (")) + reason + TEXT("): ") + cache_root);
    }
    if (root_state == SC_Path_Safe && SC_Find_Files(cache_root.Get_Text(), entries, result)) {
        for (const Wide_Name& entry : entries) {
            Lib_StringW entry_path;
            Combine_Path(cache_root.Get_Text(), nullptr, entry.c_str(), entry_path);
            DWORD attributes = GetFileAttributesW(entry_path.Get_Text());
            if (attributes == INVALID_FILE_ATTRIBUTES) {
                DWORD error = GetLastError();
                Report_System_Error(TEXT("GetFileAttributes"), error);
                result.Set(static_cast<int32_t>(error), Lib_Result_Source_System);
                continue;
            }
            if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) continue;
            // A junction or symbolic link is never looked through: what it points to is not a cache
            // entry, and its names could make the tool remove it.
            if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) {
                Log_Info_Detail(TEXT("Not examined (link): "), entry_path);
                continue;
            }
            if (!kept_program.Is_Empty() && Is_Inside(kept_program, entry_path)) {
                Log_Info_Detail(TEXT("Kept (the bundle's quiet uninstall runs from it): "), entry_path);
                Changes().Lock_Down_Kept_Folder(entry_path.Get_Text());
                continue;
            }
            contents.clear();
            if (!SC_Find_Files(entry_path.Get_Text(), contents, result)) break;

            Log_Indent();
            for (const Wide_Name& name : contents) {
                if (name.find(marker) == Wide_Name::npos) continue;
                if (!Changes().SC_Remove_Directory(entry_path.Get_Text(), true, reboot_required, result)) {
                    Log_Info_Detail(TEXT("Removed failed!!!: "), entry_path);
                }
                break;
            }
            Log_Unindent();
        }
    }
    Log_Info(TEXT("New caches (with WIX) removed."));
}

bool Delete_All_Caches(const Lib_StringW& bundle_upgrade_code) {
    Log_Info(TEXT("Deleting all caches..."));
    Lib_Result result;
    // Deferrals made here do not ask for a restart.
    bool reboot_required = false;
    Lib_StringW entry_name;
    Lib_StringW quiet_command;
    Find_Bundle_Uninstall(bundle_upgrade_code, entry_name, quiet_command);
    Log_Indent();
    Lib_StringW company_cache;
    if (Changes().Get_Absolute_File_Path_From_Special_Folder(CSIDL_COMMON_APPDATA, Company_Cache_Folder, nullptr,
                                                             company_cache, result)) {
        Changes().SC_Remove_Directory(company_cache.Get_Text(), true, reboot_required, result);
        Remove_New_Caches(CSIDL_COMMON_APPDATA, Package_Cache_Folder, Driver_Package_Marker,
                          Command_Program(quiet_command));
    }
    Log_Unindent();
    Log_Info(TEXT("All caches deleted."));
    return true;
}
