// The identities under which the driver package and its bundle were registered: their codes, the
// products Windows Installer relates to the upgrade code, and the bundle lookups that the self-removal
// reuses.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "diagnostics/Lib_Result.h"
#include "foundation/Lib_Lists.h"
#include "foundation/Lib_String.h"
#include "registry/Uninstall_Entries.h"

// The uninstall entries' key, ending with a backslash.
extern const WCHAR* const Uninstall_Path;

// The packed form of a braced code (which the caller has checked), its digits as given.
Lib_StringW Pack_Code(const Lib_StringW& braced);
// A code as a key of the codes met: packed codes are hexadecimal digits, compared without regard to
// letter case.
std::basic_string<WCHAR> Code_Key(const Lib_StringW& packed);
// Every related product that Windows Installer lists for the upgrade code, by index until it answers
// 259; a failed call is reported and ends the list, an answer that is not a braced code is logged and
// left out (it names registry keys below), and a code listed again ends the list.
std::vector<Lib_StringW> Find_Product_Codes(const WCHAR* upgrade_code, Lib_Result& result);
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
// The same search in the 64-bit view's entries as the pass has read them.
bool Find_Bundle_Product_Code(Uninstall_Entries& entries, const Lib_StringW& bundle_upgrade_code,
                              Lib_StringW& entry_name, Lib_Result& result);
// The folder of the product's cached bundle, or else its installation source; nothing is read for an
// empty product code.
bool Get_Package_Source_Folder(const Lib_StringW& product_code, Lib_StringW& folder, Lib_Result& result);
