// The stage that finds the identities under which the driver package and its bundle were registered
// and erases every registration that hangs on them, then runs the fixed cleanup plan; and the bundle
// lookups that the self-removal reuses.
#pragma once

#include <windows.h>

#include "diagnostics/Lib_Result.h"
#include "foundation/Lib_String.h"
#include "removal/Catalogue.h"

// Fills the two texts (empty on entry) with the bundle's and the product's package folders.
bool Clean_Registry_From_Drivers(Lib_StringW& bundle_folder, Lib_StringW& product_folder);
// Appends the packed product codes registered under the packed upgrade code, in value order; a name
// that is not a packed code is logged and left out.
bool Get_ID_GUIDs(const Lib_StringW& packed_upgrade_code, Lib_String_List& identification_guids,
                  Lib_Result& result);
// True when the entry's "BundleUpgradeCode" equals the code, without regard to letter case. The
// uninstall path ends with a backslash.
bool Check_Bundle_Upgrade_Code(HKEY root, const WCHAR* uninstall_path, const Lib_StringW& entry_name,
                               const Lib_StringW& bundle_upgrade_code, Lib_Result& result);
// The name of the first uninstall entry, in enumeration order, that carries the bundle upgrade code;
// entry_name is left as it was when none does.
bool Find_Bundle_Product_Code(HKEY root, const WCHAR* uninstall_path, const Lib_StringW& bundle_upgrade_code,
                              Lib_StringW& entry_name, Lib_Result& result);
// The folder of the product's cached bundle, or else its installation source; nothing is read for an
// empty product code.
bool Get_Package_Source_Folder(const Lib_StringW& product_code, Lib_StringW& folder, Lib_Result& result);
