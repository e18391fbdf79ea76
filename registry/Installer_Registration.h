// The Windows Installer and bundle registration of the driver package: removal by the codes it was
// registered under, by display name and by name marker.
#pragma once

#include <windows.h>

#include <initializer_list>
#include <map>
#include <set>

#include "diagnostics/Lib_Result.h"
#include "foundation/Lib_Lists.h"
#include "foundation/Lib_String.h"
#include "primitives/Registry_Primitives.h"
#include "registry/Uninstall_Entries.h"

// What the removal found, handed to the check after it: a removal that failed part-way may have
// deleted what leads to the rest (the keys that name a code, the product's value of a component key),
// and the check looks for that rest too. The stages look again for what the record holds and add what
// they find, so a fresh record is a run that has found nothing yet.
struct Removal_Findings {
    Lib_String_List identification_guids;
    Lib_String_List product_codes;
    Lib_StringW bundle_product_code;
    // The component keys from which a product's value was deleted: the key's path, a zero, the
    // packed product code.
    std::set<Wide_Name> emptied_components;
    // For each packed product code (in lower case) whose component keys were all read, without a
    // failure: the keys its value was found in, in the order read.
    std::map<Wide_Name, Lib_String_List> components_read;
};

// A packed code as Windows Installer names its keys and values: 32 hexadecimal digits.
bool Is_Packed_Code(const Lib_StringW& code);
// A braced code: "{" 8-4-4-4-12 hexadecimal digits "}".
bool Is_Braced_Code(const Lib_StringW& code);

// Opens HKEY_LOCAL_MACHINE\SOFTWARE\Classes, where Windows Installer keeps its per-machine
// registration: the Installer keys are read and deleted below it by the paths they have below
// HKEY_CLASSES_ROOT ("Installer\..."). HKEY_CLASSES_ROOT would show HKEY_CURRENT_USER\Software\Classes
// over it, which every program the user runs may write and where Windows Installer keeps nothing: keys
// and values planted there would choose what the elevated tool deletes. A failure is reported.
bool Open_Machine_Classes(Owned_Registry_Key& classes, Lib_Result& result);

// Deletes the features key of the packed product code, and the product's own value from every
// component key; a component key goes only when no other product's value is left in it. A component
// key from which the findings say the value went already is only tested for emptiness.
bool Remove_Features_And_Components_From_Registry(const Lib_StringW& packed_product_code, Removal_Findings& findings,
                                                  Lib_Result& result);
// Deletes the product, uninstall, dependency and upgrade-code keys named after the codes that are not
// empty.
bool Remove_Product_Registration(const Lib_StringW& packed_product_code, const Lib_StringW& packed_upgrade_code,
                                 const Lib_StringW& product_code, Lib_Result& result);
// One display-name sweep: deletes, in both registry views, every subkey of the key whose value of the
// given name is exactly one of the display names. The view flags apply to the enumeration and the read.
void Remove_Subkeys_With_Value(HKEY root, const WCHAR* key_path, REGSAM view_flags, const WCHAR* value_name,
                               std::initializer_list<const WCHAR*> display_names);
bool Clean_Installer_Dependencies();
// Deletes the uninstall entries of the product's display names, in both views, from the entries as the
// pass has read them (the one without them reads its own).
bool Clean_Uninstall_Keys(Uninstall_Entries& entries);
bool Clean_Uninstall_Keys();
bool Remove_Deployment_Product();
// Deletes every subkey and every value of the key whose lower-cased name contains the marker (lower
// case), in both registry views.
bool Clean_Subkeys(HKEY root, const WCHAR* key_path, const WCHAR* marker, Lib_Result& result);
