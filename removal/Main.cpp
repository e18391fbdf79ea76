// The entry point: the fixed sequence of removal stages, its console lines and its exit code.

#include <windows.h>

#include <stdio.h>

#include "diagnostics/Log_File.h"
#include "diagnostics/Log_Indent.h"
#include "diagnostics/Log_Report.h"
#include "driverpkg/OEM_Package_Uninstall.h"
#include "files/Driver_Binaries.h"
#include "files/Installer_Caches.h"
#include "files/Self_Removal.h"
#include "registry/Calais_Readers_Rights.h"
#include "registry/Installer_Identity.h"
#include "registry/Smart_Cards.h"
#include "registry/Vendor_Settings.h"

namespace {

// Exit codes.
const int Exit_Done = 0;
const int Exit_Restart_Needed = 1;
const int Exit_No_Arguments = 2;

void Log_Banner(const WCHAR* rule, const WCHAR* title) {
    Log_Info(rule);
    Log_Info(title);
    Log_Info(rule);
}

}  // namespace

int wmain(int argc, WCHAR* argv[]) {
    // The first argument; the vector's terminating null, when there is none, gives the empty text.
    const Lib_StringW bundle_upgrade_code = argc >= 1 ? Lib_StringW(argv[1]) : Lib_StringW();
    Log_Create_File();
    Log_Banner(TEXT("================================================================================="),
               TEXT("===================================== START ====================================="));
    Log_Write_Header();
    Remove_Precompiled_OEM_Files();

    Log_Info(TEXT("Removing drivers... "));
    bool Reboot_Required = false;
    Log_Indent();

    wprintf(TEXT("Setting rights to Calais\\Readers...\n"));
    Log_Info(TEXT("Setting rights to Calais\\Readers (SE_REGISTRY_KEY)"));
    bool readers_rights_set = Set_Calais_Readers_Rights(SE_REGISTRY_KEY);
    if (readers_rights_set && Is_64Bit_OS()) {
        Log_Info(TEXT("Setting rights to Calais\\Readers in wow6432 registry (SE_REGISTRY_WOW64_32KEY)"));
        wprintf(TEXT("Setting rights to Calais\\Readers in wow6432 registry...\n"));
        Set_Calais_Readers_Rights(SE_REGISTRY_WOW64_32KEY);
    }

    wprintf(TEXT("Cleaning registry...\n"));
    Unregister_Smart_Cards();
    Unregister_Settings();
    Lib_StringW bundle_folder;
    Lib_StringW product_folder;
    Clean_Registry_From_Drivers(bundle_folder, product_folder);
    wprintf(TEXT("Uninstalling IFDH Drivers...\n"));
    wprintf(TEXT("Deleting drivers binaries...\n"));
    Delete_Driver_Binaries(Reboot_Required);
    Delete_All_Caches(bundle_upgrade_code);
    Log_Unindent();
    Log_Info(TEXT("Drivers removed."));

    int exit_code = Exit_Done;
    if (Reboot_Required) {
        wprintf(TEXT("\nA reboot is required to finifsh the uninstallation process.\n"));
        wprintf(TEXT("Press enter...\n"));
        exit_code = Exit_Restart_Needed;
    }
    if (argc < 1) return Exit_No_Arguments;

    Remove_Self(bundle_upgrade_code);

    Log_Banner(TEXT("==============================================================================="),
               TEXT("===================================== END ====================================="));
    return exit_code;
}
