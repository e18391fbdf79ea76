// The stage that deletes the installer caches holding the product's packages: the company's cache
// folder and the package-cache entries of the driver package.
#pragma once

#include <windows.h>

#include "foundation/Lib_String.h"
#include "registry/Uninstall_Entries.h"

// Files in use are scheduled for deletion at the next restart; the stage asks for no restart. The
// package-cache entry that holds the program of the quiet uninstall that the self-removal schedules for
// the bundle upgrade code is kept, and so is every folder it would delete that a machine-wide command
// (an uninstall or modify command, a Run or RunOnce value) still starts a program from: checked as it
// is, and locked down when nothing in it is another account's.
// The machine's uninstall commands come from the uninstall entries as the pass has read them; without
// them the stage reads its own.
bool Delete_All_Caches(const Lib_StringW& bundle_upgrade_code, Uninstall_Entries& uninstall_entries);
bool Delete_All_Caches(const Lib_StringW& bundle_upgrade_code);
// Removes every direct sub-folder of the cache folder (below the special folder) that directly holds
// an entry whose name contains the marker (case-sensitive). The sub-folder that holds kept_program
// (empty: none), and a marked one that a machine-wide command runs a program from, are kept and locked
// down instead, so that the program can run from it and nobody can put another in its place.
void Remove_New_Caches(int csidl, const WCHAR* cache_folder, const WCHAR* marker, const Lib_StringW& kept_program);
// Why the cache folder that holds the program, which the stage kept in its last run, may not be
// trusted to run it: it was not locked down, for what another account made or may change there, or
// its lock-down failed. Empty when the stage kept no such folder or locked it down whole.
Lib_StringW Kept_Folder_Refusal(const Lib_StringW& program);
