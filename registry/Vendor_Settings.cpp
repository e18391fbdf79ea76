#include "registry/Vendor_Settings.h"

#include <windows.h>

#include "diagnostics/Lib_Result.h"
#include "diagnostics/Log_Indent.h"
#include "diagnostics/Log_Report.h"
#include "primitives/Registry_Primitives.h"

namespace {

// The maker's key: everything below it goes with it, the settings of the maker's other products
// included.
const WCHAR* const Maker_Key = TEXT("Corvanta LLP.");
const WCHAR* const Software_Path = TEXT("SOFTWARE");

}  // namespace

void Unregister_Settings() {
    Lib_Result result;

    Log_Info(TEXT("Unregistering settings in HKEY_LOCAL_MACHINE..."));
    Log_Indent();
    Changes().Delete_Registry_Keys_In_Path(HKEY_LOCAL_MACHINE, Software_Path, Maker_Key, result);
    Log_Unindent();

    // Both views of the user's SOFTWARE are one key: the second view finds the maker's key gone.
    Log_Info(TEXT("Unregistering settings in HKEY_CURRENT_USER..."));
    Log_Indent();
    Changes().Delete_Registry_Keys_In_Path(HKEY_CURRENT_USER, Software_Path, Maker_Key, result);
    Log_Unindent();

    Log_Info(TEXT("Settings unregistered."));
}
