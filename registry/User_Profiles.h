// The user profiles of the machine besides the running account's, as the registry stages reach them:
// each profile of ProfileList that a person uses, and its hive, loaded already when the user is logged
// on, or loaded from the profile's NTUSER.DAT for the time the work takes.
#pragma once

#include <windows.h>

#include <functional>
#include <vector>

#include "diagnostics/Lib_Result.h"
#include "foundation/Lib_String.h"

struct User_Profile {
    Lib_StringW sid;
    Lib_StringW folder;  // ProfileImagePath, expanded; empty when the entry names none
};

// The profiles of HKLM\SOFTWARE\Microsoft\Windows NT\CurrentVersion\ProfileList in key order, leaving
// out LocalSystem, LocalService and NetworkService, the running account's own profile (its hive is
// HKEY_CURRENT_USER), entries ending in ".bak" and entries whose State marks a temporary or backup
// profile. Failures are reported and noted (User_Profiles_Not_Cleaned); the profiles read are kept.
bool List_User_Profiles(std::vector<User_Profile>& profiles, Lib_Result& result);

// Opens the profile's hive and calls work with its root (work answers whether it did all it had to) (HKEY_USERS\SID, or the hive loaded from the
// profile's NTUSER.DAT below HKEY_USERS under a name of the tool's own), then closes it; a hive it
// loaded is unloaded whatever happens, once every handle into it is closed (work must close its own).
// A profile without NTUSER.DAT gets one log line and no call. A hive that exists but cannot be opened
// or loaded is reported and noted (User_Profiles_Not_Cleaned). False when work was not called for a
// hive that exists, or the hive stayed loaded.
bool With_User_Hive(const User_Profile& profile, const std::function<bool(HKEY root)>& work, Lib_Result& result);

// What the run could not look into: the profile list, a profile's entry, or a profile's hive that
// exists but could not be opened or loaded (shown as "HKEY_USERS\\SID (FILE)"), with the failed call and
// its answer. What is in them is not known, so the verification cannot say the product is gone.
// Emptied by List_User_Profiles.
struct User_Profile_Not_Cleaned {
    Lib_StringW shown;
    const WCHAR* call;
    LSTATUS status;
};
const std::vector<User_Profile_Not_Cleaned>& User_Profiles_Not_Cleaned();
