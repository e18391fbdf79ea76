// The stage that deletes the installer caches holding the product's packages: the company's cache
// folder and the package-cache entries of the driver package.
#pragma once

#include <windows.h>

// Files in use are scheduled for deletion at the next restart; the stage asks for no restart.
bool Delete_All_Caches();
// Removes every direct sub-folder of the cache folder (below the special folder) that directly holds
// an entry whose name contains the marker (case-sensitive).
void Remove_New_Caches(int csidl, const WCHAR* cache_folder, const WCHAR* marker);
