// The stage that deletes the maker's settings keys for the machine and for every user.
#pragma once

// Deletes "Corvanta LLP." below SOFTWARE of HKEY_LOCAL_MACHINE, HKEY_CURRENT_USER and every other user
// profile's hive (User_Profiles.h), whole, in both registry views. Failures are logged by the registry
// primitives; the stage never fails.
void Unregister_Settings();
