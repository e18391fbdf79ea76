// The stage that deletes the maker's settings keys for the machine and for the user.
#pragma once

// Deletes "Corvanta LLP." below SOFTWARE of HKEY_LOCAL_MACHINE and HKEY_CURRENT_USER, whole, in both
// registry views. Failures are logged by the registry primitives; the stage never fails.
void Unregister_Settings();
