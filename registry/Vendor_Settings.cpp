#include "registry/Vendor_Settings.h"

#include <windows.h>

#include "diagnostics/Lib_Result.h"
#include "diagnostics/Log_Indent.h"
#include "diagnostics/Log_Report.h"
#include "primitives/Registry_Primitives.h"
#include "registry/User_Profiles.h"

namespace {

// The maker's key: everything below it goes with it, the settings of the maker's other products
// included.
const WCHAR* const Maker_Key = TEXT("Corvanta LLP.");
const WCHAR* const Software_Path = TEXT("SOFTWARE");

// The maker's key in every other user's profile. A user controls their own hive, links included, so
// nothing there is reached through a link.
void Unregister_Profiles_Settings(Lib_Result& result) {
    std::vector<User_Profile> profiles;
    List_User_Profiles(profiles, result);
    for (const User_Profile& profile : profiles) {
        Log_Info(TEXT("Unregistering settings in HKEY_USERS\\") + profile.sid + TEXT(" (") + profile.folder + TEXT(")..."));
        Log_Indent();
        With_User_Hive(
            profile,
            [&](HKEY root) { return Changes().Delete_Registry_Keys_In_User_Hive(root, Software_Path, Maker_Key, result); },
            result);
        Log_Unindent();
    }
}

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

    Unregister_Profiles_Settings(result);

    Log_Info(TEXT("Settings unregistered."));
}
