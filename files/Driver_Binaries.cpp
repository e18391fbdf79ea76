#include "files/Driver_Binaries.h"

#include <shlobj.h>

#include <vector>

#include "diagnostics/Log_File.h"
#include "diagnostics/Log_Indent.h"
#include "diagnostics/Log_Report.h"
#include "primitives/File_Primitives.h"

namespace {

// The product's folders in the common Programs menu: the Cyrillic spelling first.
const WCHAR* const Programs_Menu_Folders[] = {TEXT("ВЕСПАРИО"), TEXT("VESPARIO")};
// The company folder under the system folder; Windows drops the final full stop of a path.
const WCHAR* const Company_System_Folder = TEXT("Corvanta LLP.");

// One row of the system folder's plan: a sub-folder (empty: the folder itself) and its names.
struct Folder_Files {
    Lib_StringW sub_folder;
    Name_Table names;
};

const WCHAR* Sub_Folder_Or_None(const Lib_StringW& sub_folder) {
    return sub_folder.Is_Empty() ? nullptr : sub_folder.Get_Text();
}

}  // namespace

bool Delete_Files_In_Special_Folder(int csidl, const Lib_StringW& sub_folder, const Name_Table& names,
                                    bool remove_folder, bool& reboot_required, Lib_Result& result) {
    bool all_handled = true;
    for (const WCHAR* name : names) {
        Lib_StringW path;
        if (!Changes().Get_Absolute_File_Path_From_Special_Folder(csidl, Sub_Folder_Or_None(sub_folder), name, path,
                                                                  result)) {
            all_handled = false;
            break;
        }
        bool file_reboot = false;
        Changes().SC_Delete_File(path.Get_Text(), file_reboot, result);
        if (file_reboot) reboot_required = true;
    }
    if (!remove_folder) return all_handled;

    Lib_StringW folder;
    if (!Changes().Get_Absolute_File_Path_From_Special_Folder(csidl, Sub_Folder_Or_None(sub_folder), nullptr, folder,
                                                              result)) {
        return false;
    }
    // Removed only when nothing is left in it; a folder in use is scheduled for the restart without
    // asking for one.
    return Changes().SC_Remove_Empty_Directory(folder.Get_Text(), result);
}

bool Delete_Driver_Binaries(bool& reboot_required) {
    Log_Info(TEXT("Deleting driver binaries..."));
    Lib_Result result;
    Log_Indent();

    Delete_Files_In_Special_Folder(CSIDL_COMMON_DESKTOPDIRECTORY, Lib_StringW(), Control_Panel_Shortcuts, false,
                                   reboot_required, result);

    for (const WCHAR* menu_folder : Programs_Menu_Folders) {
        Delete_Files_In_Special_Folder(CSIDL_COMMON_PROGRAMS, menu_folder, Control_Panel_Shortcuts, true,
                                       reboot_required, result);
    }

    const std::vector<Folder_Files> System_Folder_Files = {{Lib_StringW(), Driver_Binaries}};
    for (const Folder_Files& row : System_Folder_Files) {
        Delete_Files_In_Special_Folder(CSIDL_SYSTEM, row.sub_folder, row.names, false, reboot_required, result);
    }

    Lib_StringW company_folder;
    if (Changes().Get_Absolute_File_Path_From_Special_Folder(CSIDL_SYSTEM, Company_System_Folder, nullptr,
                                                             company_folder, result)) {
        // Files inside may wait for the restart; the folders themselves are not deferred.
        bool tree_reboot = false;
        Changes().SC_Remove_Directory(company_folder.Get_Text(), false, tree_reboot, result);
        if (tree_reboot) reboot_required = true;
    }

    if (Is_64Bit_OS()) {
        Delete_Files_In_Special_Folder(CSIDL_SYSTEMX86, Lib_StringW(), Driver_Binaries, false, reboot_required,
                                       result);
    }

    Log_Unindent();
    Log_Info(TEXT("Driver binaries deleted."));
    return true;
}
