#include "driverpkg/OEM_Package_Uninstall.h"

#include <windows.h>

#include <setupapi.h>

#include "diagnostics/Check_Pass.h"
#include "diagnostics/Log_Indent.h"
#include "diagnostics/Log_Report.h"
#include "driverpkg/OEM_Inf_Scan.h"

void Remove_Precompiled_OEM_Files() {
    Log_Indent();
    Log_Info(TEXT("Removing precompiled OEM files..."));
    Lib_Result result;
    Wide_Name_List names;
    Console_Print(TEXT("Removing precompiled OEM files...\n"));

    // Whatever the scan found is processed, also when it could not finish.
    Find_Precompiled_OEM_Files(names, result);
    for (const Wide_Name& name : names) {
        if (In_Check_Pass()) {
            Check_Record_Item(Lib_StringW(TEXT("driver package ")) + name.c_str());
            continue;
        }
        Log_Info_Detail(TEXT("Uninstalling OEM file: "), name.c_str());
        // Forced: a package that a connected device still uses goes as well.
        if (!SetupUninstallOEMInfW(name.c_str(), SUOI_FORCEDELETE, nullptr)) {
            Report_System_Error(TEXT("SetupUninstallOEMInf"), GetLastError());
        }
    }
    Log_Unindent();
    Log_Info(names.empty() ? TEXT("There aren't OEM files for removing.") : TEXT("Precompiled OEM files removed."));
}
