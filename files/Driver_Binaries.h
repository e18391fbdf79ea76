// The stage that deletes the product's shortcuts, its binaries in the system folders and the
// company's folder under the system folder.
#pragma once

#include <windows.h>

#include "catalogue/Catalogue.h"
#include "diagnostics/Lib_Result.h"
#include "foundation/Lib_String.h"

// Sets reboot_required when a file could only be scheduled for deletion at the next restart.
bool Delete_Driver_Binaries(bool& reboot_required);
// Deletes the named files of a special folder (or of its sub-folder, when one is given) and, with
// remove_folder, the sub-folder itself once it is empty.
bool Delete_Files_In_Special_Folder(int csidl, const Lib_StringW& sub_folder, const Name_Table& names,
                                    bool remove_folder, bool& reboot_required, Lib_Result& result);
