#include "files/Driver_Binaries.h"

#include <shlobj.h>

#include <vector>

#include "diagnostics/Log_File.h"
#include "diagnostics/Log_Indent.h"
#include "diagnostics/Log_Report.h"
#include "files/File_Primitives.h"

namespace {

// The product's folders in the common Programs menu: the Cyrillic spelling first.
const WCHAR* const Programs_Menu_Folders[] = {TEXT("ВЕСПАРИО"), TEXT("VESPARIO")};
// The company folder under the system folder; Windows drops the final full stop of a path.
const WCHAR* const Company_System_Folder = TEXT("Corvanta LLP.");

// One row of the system folder's plan: a sub-folder (empty: the folder itself) and its names.
struct Folder_Files {
    Lib_StringW sub_folder;
    std::vector<const WCHAR*> names;
};

const WCHAR* Sub_Folder_Or_None(const Lib_StringW& sub_folder) {
    return sub_folder.Is_Empty() ? nullptr : sub_folder.Get_Text();
}

// Deletes each name of a table from one folder; a path that cannot be formed ends the walk.
void Delete_Names(int csidl, const WCHAR* sub_folder, const std::vector<const WCHAR*>& names,
                  bool& reboot_required, Lib_Result& result) {
    bool step_reboot = false;
    for (const WCHAR* name : names) {
        Lib_StringW path;
        if (!Get_Absolute_File_Path_From_Special_Folder(csidl, sub_folder, name, path, result)) break;
        bool file_reboot = false;
        SC_Delete_File(path.Get_Text(), file_reboot, result);
        step_reboot = step_reboot || file_reboot;
    }
    if (step_reboot) reboot_required = true;
}

std::vector<const WCHAR*> Names_Of(const Name_Table& table) {
    return std::vector<const WCHAR*>(table.begin(), table.end());
}

}  // namespace

bool Delete_Files_In_Special_Folder(int csidl, const Lib_StringW& sub_folder, const Name_Table& names,
                                    bool remove_folder, bool& reboot_required, Lib_Result& result) {
    bool all_handled = true;
    for (const WCHAR* name : names) {
        Lib_StringW path;
        if (!Get_Absolute_File_Path_From_Special_Folder(csidl, Sub_Folder_Or_None(sub_folder), name, path,
                                                        result)) {
            all_handled = false;
            break;
        }
        bool file_reboot = false;
        SC_Delete_File(path.Get_Text(), file_reboot, result);
        if (file_reboot) reboot_required = true;
    }
    if (!remove_folder) return all_handled;

    Lib_StringW folder;
    if (!Get_Absolute_File_Path_From_Special_Folder(csidl, Sub_Folder_Or_None(sub_folder), nullptr, folder,
                                                    result)) {
        return false;
    }
    // Removed only when nothing is left in it; a folder in use is scheduled for the restart without
    // asking for one.
    return SC_Remove_Empty_Directory(folder.Get_Text(), result);
}

bool Delete_Driver_Binaries(bool& reboot_required) {
    Log_Info(TEXT("Deleting driver binaries..."));
    Lib_Result result;
    Log_Indent();

    Delete_Names(CSIDL_COMMON_DESKTOPDIRECTORY, nullptr, Names_Of(Control_Panel_Shortcuts), reboot_required,
                 result);

    for (const WCHAR* menu_folder : Programs_Menu_Folders) {
        bool folder_reboot = false;
        Delete_Files_In_Special_Folder(CSIDL_COMMON_PROGRAMS, menu_folder, Control_Panel_Shortcuts, true,
                                       folder_reboot, result);
        if (folder_reboot) reboot_required = true;
    }

    std::vector<Folder_Files> System_Folder_Files = {{Lib_StringW(), Names_Of(Driver_Binaries)}};
    for (const Folder_Files& row : System_Folder_Files) {
        Delete_Names(CSIDL_SYSTEM, Sub_Folder_Or_None(row.sub_folder), row.names, reboot_required, result);
    }

    Lib_StringW company_folder;
    if (Get_Absolute_File_Path_From_Special_Folder(CSIDL_SYSTEM, Company_System_Folder, nullptr, company_folder,
                                                   result)) {
        // Files inside may wait for the restart; the folders themselves are not deferred.
        bool tree_reboot = false;
        SC_Remove_Directory(company_folder.Get_Text(), false, tree_reboot, result);
        if (tree_reboot) reboot_required = true;
    }

    if (Is_64Bit_OS()) {
        Delete_Names(CSIDL_SYSTEMX86, nullptr, Names_Of(Driver_Binaries), reboot_required, result);
    }

    Log_Unindent();
    Log_Info(TEXT("Driver binaries deleted."));
    return true;
}
