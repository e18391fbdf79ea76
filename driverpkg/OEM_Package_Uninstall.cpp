#include "driverpkg/OEM_Package_Uninstall.h"

#include <windows.h>

#include "diagnostics/Log_Indent.h"
#include "diagnostics/Log_Report.h"
#include "driverpkg/OEM_Inf_Scan.h"
#include "primitives/Machine_Changes.h"

void Remove_Precompiled_OEM_Files() {
    Log_Indent();
    Log_Info(TEXT("Removing precompiled OEM files..."));
    Lib_Result result;
    Wide_Name_List names;
    Console_Print(TEXT("Removing precompiled OEM files...\n"));

    // Whatever the scan found is processed, also when it could not finish.
    Find_Precompiled_OEM_Files(names, result);
    for (const Wide_Name& name : names) Changes().Uninstall_Driver_Package(name.c_str());
    Log_Unindent();
    Log_Info(names.empty() ? TEXT("There aren't OEM files for removing.") : TEXT("Precompiled OEM files removed."));
}
