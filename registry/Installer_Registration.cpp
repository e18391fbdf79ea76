#include "registry/Installer_Registration.h"

#include "diagnostics/Log_File.h"
#include "diagnostics/Log_Indent.h"
#include "diagnostics/Log_Report.h"
#include "registry/Installer_Identity.h"

namespace {

const WCHAR* const English_Display_Name = TEXT("VESPARIO Drivers");
const WCHAR* const Russian_Display_Name = TEXT("Драйверы VESPARIO");
const WCHAR* const Display_Name_Value = TEXT("DisplayName");
const WCHAR* const Deployment_Name_Value = TEXT("Deployment Name");

const WCHAR* const Machine_Dependencies_Path = TEXT("SOFTWARE\\Classes\\Installer\\Dependencies");
const WCHAR* const Classes_Dependencies_Path = TEXT("Installer\\Dependencies");
const WCHAR* const Wow64_Uninstall_Path = TEXT("SOFTWARE\\Wow6432Node\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\");
const WCHAR* const Deployment_Path = TEXT("SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Group Policy\\AppMgmt");
const WCHAR* const Features_Path = TEXT("Installer\\Features\\");
const WCHAR* const Products_Path = TEXT("Installer\\Products\\");
const WCHAR* const Dependencies_Path = TEXT("Installer\\Dependencies\\");
const WCHAR* const Upgrade_Codes_Path = TEXT("Installer\\UpgradeCodes\\");
const WCHAR* const Components_Path =
    TEXT("SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Installer\\UserData\\S-1-5-18\\Components\\");
const WCHAR* const User_Data_Products_Path =
    TEXT("SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Installer\\UserData\\S-1-5-18\\Products\\");
const WCHAR* const Machine_Upgrade_Codes_Path =
    TEXT("SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Installer\\UpgradeCodes\\");

// How the findings name a component key the product's value was deleted from; formed in the text
// given, whose room is kept from one key to the next.
const Wide_Name& Emptied_Component(const Lib_StringW& component, const Lib_StringW& packed_product_code,
                                   Wide_Name& text) {
    text.assign(Components_Path).append(component.Get_Text()).append(1, TEXT('\\')).append(1, 0);
    return text.append(packed_product_code.Get_Text());
}

bool Is_Hex_Digit(WCHAR c) {
    return (c >= TEXT('0') && c <= TEXT('9')) || (c >= TEXT('A') && c <= TEXT('F')) ||
           (c >= TEXT('a') && c <= TEXT('f'));
}

}  // namespace

bool Open_Machine_Classes(Owned_Registry_Key& classes, Lib_Result& result) {
    LSTATUS status = RegOpenKeyExW(HKEY_LOCAL_MACHINE, TEXT("SOFTWARE\\Classes"), 0, KEY_READ, classes.Receive());
    if (status == ERROR_SUCCESS) {
        Changes().Name_Key(classes.Get(), TEXT("HKEY_LOCAL_MACHINE\\SOFTWARE\\Classes"));
        return true;
    }
    result.Set(status, Lib_Result_Source_System);
    Report_System_Error(TEXT("RegOpenKeyEx"), status);
    return false;
}

bool Is_Packed_Code(const Lib_StringW& code) {
    if (code.Get_Length() != 32) return false;
    const WCHAR* text = code.Get_Text();
    for (int at = 0; at < 32; ++at) {
        if (!Is_Hex_Digit(text[at])) return false;
    }
    return true;
}

bool Is_Braced_Code(const Lib_StringW& code) {
    if (code.Get_Length() != 38) return false;
    const WCHAR* text = code.Get_Text();
    for (int at = 0; at < 38; ++at) {
        WCHAR c = text[at];
        bool fits = at == 0 ? c == TEXT('{')
                  : at == 37 ? c == TEXT('}')
                  : (at == 9 || at == 14 || at == 19 || at == 24) ? c == TEXT('-')
                  : Is_Hex_Digit(c);
        if (!fits) return false;
    }
    return true;
}

namespace {

// Deletes the subkey in both views when its value of the given name is exactly one of the display
// names; read as the machine stands now.
void Remove_Subkey_If_Named(HKEY root, const WCHAR* key_path, REGSAM view_flags, const WCHAR* value_name,
                            std::initializer_list<const WCHAR*> display_names, const Lib_StringW& subkey,
                            Lib_Result& result) {
    // Formed as given: after a key path that ends with a backslash two stand in a row, which the
    // registry reads as one.
    Lib_StringW subkey_path = Lib_StringW(key_path) + TEXT("\\") + subkey;
    Lib_StringW text;
    if (!Get_Registry_Value(root, subkey_path.Get_Text(), value_name, text, result, view_flags)) return;
    bool named = false;
    for (const WCHAR* display_name : display_names) named = named || text.Compare(display_name) == 0;
    if (!named) return;
    // The deletion covers both views: a twin of the same name in the other view goes with it.
    Log_Indent();
    Changes().Delete_Registry_Keys_In_Path(root, key_path, subkey.Get_Text(), result);
    Log_Unindent();
}

}  // namespace

void Remove_Subkeys_With_Value(HKEY root, const WCHAR* key_path, REGSAM view_flags, const WCHAR* value_name,
                               std::initializer_list<const WCHAR*> display_names) {
    Lib_Result result;
    Lib_String_List subkeys;
    Lib_String_List values;
    if (!Enum_Sub_Keys_And_Values_In_Registry_Key(root, key_path, subkeys, values, result, view_flags)) return;
    for (const Lib_StringW& subkey : subkeys) {
        Remove_Subkey_If_Named(root, key_path, view_flags, value_name, display_names, subkey, result);
    }
}

bool Clean_Installer_Dependencies() {
    Log_Info(TEXT("Clean Installer Dependencies from HKEY_LOCAL_MACHINE\\"));
    Log_Indent();
    Remove_Subkeys_With_Value(HKEY_LOCAL_MACHINE, Machine_Dependencies_Path, 0, Display_Name_Value,
                              {English_Display_Name});
    if (Is_64Bit_OS()) {
        Remove_Subkeys_With_Value(HKEY_LOCAL_MACHINE, Machine_Dependencies_Path, KEY_WOW64_32KEY, Display_Name_Value,
                                  {English_Display_Name});
    }
    Log_Unindent();
    Log_Info(TEXT("Clean Installer Dependencies from HKEY_CLASSES_ROOT\\"));
    Log_Indent();
    // The classes' dependency keys are the machine's: the user's are no installation's.
    Owned_Registry_Key classes;
    Lib_Result result;
    if (Open_Machine_Classes(classes, result)) {
        Remove_Subkeys_With_Value(classes.Get(), Classes_Dependencies_Path, 0, Display_Name_Value,
                                  {English_Display_Name});
        if (Is_64Bit_OS()) {
            Remove_Subkeys_With_Value(classes.Get(), Classes_Dependencies_Path, KEY_WOW64_32KEY, Display_Name_Value,
                                      {English_Display_Name});
        }
    }
    Log_Unindent();
    Log_Info(TEXT("Clean Installer Dependencies from registry finished."));
    return true;
}

bool Clean_Uninstall_Keys(Uninstall_Entries& entries) {
    Log_Info(TEXT("Clean Uninstall Key from HKEY_LOCAL_MACHINE\\"));
    Log_Indent();
    // Both names in one walk of each view: a machine holds thousands of uninstall entries. Only an
    // entry whose name the pass's reading found, or could not read, is read again before it goes: one
    // deleted since (the bundle's, a twin of the other view) is passed over as the walk would pass it.
    const size_t views = Is_64Bit_OS() ? 2 : 1;
    for (size_t view = 0; view < views; ++view) {
        const REGSAM flags = view == 0 ? 0 : KEY_WOW64_32KEY;
        const std::vector<Uninstall_Entry>* listed = entries.In_View(view);
        if (listed == nullptr) {
            Remove_Subkeys_With_Value(HKEY_LOCAL_MACHINE, Uninstall_Path, flags, Display_Name_Value,
                                      {English_Display_Name, Russian_Display_Name});
            continue;
        }
        Lib_Result result;
        for (const Uninstall_Entry& entry : *listed) {
            const Uninstall_Value_Text& name = entry.values[Display_Name_Value_Read];
            const bool named = name.status == ERROR_SUCCESS && (name.text.Compare(English_Display_Name) == 0 ||
                                                                name.text.Compare(Russian_Display_Name) == 0);
            if (!named && !name.Unread()) continue;
            Remove_Subkey_If_Named(HKEY_LOCAL_MACHINE, Uninstall_Path, flags, Display_Name_Value,
                                   {English_Display_Name, Russian_Display_Name}, entry.name, result);
        }
    }
    Log_Unindent();
    Log_Info(TEXT("Clean Uninstall Key from registry finished."));
    return true;
}

bool Clean_Uninstall_Keys() {
    Uninstall_Entries entries;
    return Clean_Uninstall_Keys(entries);
}

bool Remove_Deployment_Product() {
    Log_Info(TEXT("Removing Deployment_Product from HKEY_LOCAL_MACHINE\\..."));
    Remove_Subkeys_With_Value(HKEY_LOCAL_MACHINE, Deployment_Path, 0, Deployment_Name_Value,
                              {English_Display_Name, Russian_Display_Name});
    if (Is_64Bit_OS()) {
        Remove_Subkeys_With_Value(HKEY_LOCAL_MACHINE, Deployment_Path, KEY_WOW64_32KEY, Deployment_Name_Value,
                                  {English_Display_Name, Russian_Display_Name});
    }
    Log_Info(TEXT("Removing Deployment Product from registry finished."));
    return true;
}

bool Clean_Subkeys(HKEY root, const WCHAR* key_path, const WCHAR* marker, Lib_Result& result) {
    Log_Info(TEXT("Cleaning subkeys..."));
    Log_Indent();
    Lib_String_List subkeys;
    Lib_String_List values;
    if (Enum_Sub_Keys_And_Values_In_Registry_Key(root, key_path, subkeys, values, result, 0)) {
        // The lower-cased name addresses the same key or value: the registry ignores letter case.
        for (Lib_StringW& subkey : subkeys) {
            subkey.Make_Lower();
            if (subkey.Find(marker) < 0) continue;
            Changes().Delete_Registry_Keys_In_Path(root, key_path, subkey.Get_Text(), result);
        }
        // Value names come from the native view only.
        for (Lib_StringW& value : values) {
            value.Make_Lower();
            if (value.Find(marker) < 0) continue;
            Changes().Delete_Registry_Value_Quietly(root, key_path, value.Get_Text(), 0);
            Changes().Delete_Registry_Value_Quietly(root, key_path, value.Get_Text(), KEY_WOW64_32KEY);
        }
    }
    Log_Unindent();
    Log_Info(TEXT("Cleaning subkeys from registry finished."));
    return true;
}

bool Remove_Features_And_Components_From_Registry(const Lib_StringW& packed_product_code, Removal_Findings& findings,
                                                  Lib_Result& result) {
    if (packed_product_code.Is_Empty()) {
        Trace_Exit_Scope(TEXT("Remove_Features_And_Components_From_Registry"));
        return true;
    }
    Owned_Registry_Key classes;
    if (Open_Machine_Classes(classes, result)) {
        Lib_StringW features_key = Lib_StringW(Features_Path) + packed_product_code + TEXT("\\");
        Changes().Delete_Registry_Key_Recursive(classes.Get(), features_key.Get_Text(), result);
    }

    // The check after a removal that read every component key looks again only at those the removal
    // found the product's value in: the others held none when it read them. The check as a whole,
    // and a removal, read them all.
    const std::basic_string<WCHAR> code_key = Code_Key(packed_product_code);
    Lib_String_List components;
    Lib_String_List values;
    const auto read_whole = findings.components_read.find(code_key);
    const bool walk = read_whole == findings.components_read.end();
    if (!walk) {
        components = read_whole->second;
        Changes().Drop_Deleted_Names(HKEY_LOCAL_MACHINE, Components_Path, 0, components, values);
    } else if (!Enum_Sub_Keys_And_Values_In_Registry_Key(HKEY_LOCAL_MACHINE, Components_Path, components, values,
                                                         result, 0)) {
        Trace_Exit_Scope(TEXT("Remove_Features_And_Components_From_Registry"));
        return true;
    }
    // Each component key is looked into by its name under one open Components key: a machine holds
    // tens of thousands of them, and a whole path is looked up again from the root each time. The
    // key's name makes the items the same as by the whole path.
    if (components.empty()) {
        if (walk) findings.components_read[code_key] = Lib_String_List();
        return true;
    }
    Owned_Registry_Key components_key;
    const LSTATUS status =
        RegOpenKeyExW(HKEY_LOCAL_MACHINE, Components_Path, 0, KEY_READ, components_key.Receive());
    if (status == ERROR_FILE_NOT_FOUND || status == ERROR_PATH_NOT_FOUND) return true;
    if (status != ERROR_SUCCESS) {
        result.Set(status, Lib_Result_Source_System);
        Report_System_Error(TEXT("RegOpenKeyEx"), status);
        Trace_Exit_Scope(TEXT("Remove_Features_And_Components_From_Registry"));
        return true;
    }
    Changes().Name_Key(components_key.Get(),
                       (TEXT("HKEY_LOCAL_MACHINE\\") + Without_Trailing_Separators(Components_Path)).Get_Text());
    // A component key holds one value per product that uses the component, named by its packed
    // product code: only the product's own value goes, and the key with it only when no other
    // product's value is left.
    // The check after the removal looks again at the keys the removal took the product's value from:
    // one that a failed deletion left empty is the product's leftover.
    // A key's path is formed only for a key that holds, or held, the product's value: most keys are
    // other products'.
    Wide_Name emptied;
    bool all_read = true;
    Lib_String_List holding;  // the keys the product's value was found in, or taken from
    for (const Lib_StringW& component : components) {
        const bool emptied_before =
            !findings.emptied_components.empty() &&
            findings.emptied_components.count(Emptied_Component(component, packed_product_code, emptied)) != 0;
        if (!emptied_before) {
            bool exists = false;
            if (!Is_Registry_Value_Exists(components_key.Get(), component.Get_Text(), packed_product_code.Get_Text(),
                                          exists, result)) {
                all_read = false;
                continue;
            }
            if (!exists) continue;
        }
        holding.push_back(component);
        const Lib_StringW component_path = Lib_StringW(Components_Path) + component + TEXT("\\");
        if (!emptied_before) {
            if (!Changes().Delete_Registry_Value(HKEY_LOCAL_MACHINE, component_path.Get_Text(),
                                                 packed_product_code.Get_Text(), result, 0)) {
                continue;
            }
            findings.emptied_components.insert(Emptied_Component(component, packed_product_code, emptied));
        }
        bool is_empty = false;
        if (Changes().Is_Registry_Key_Empty(HKEY_LOCAL_MACHINE, component_path.Get_Text(), is_empty, result) &&
            is_empty) {
            Changes().Delete_Registry_Key_Recursive(HKEY_LOCAL_MACHINE, component_path.Get_Text(), result);
        }
    }
    if (walk && all_read) findings.components_read[code_key] = holding;
    return true;
}

bool Remove_Product_Registration(const Lib_StringW& packed_product_code, const Lib_StringW& packed_upgrade_code,
                                 const Lib_StringW& product_code, Lib_Result& result) {
    // The classes' keys of the codes are the machine's; they are left alone when it cannot be opened.
    Owned_Registry_Key classes;
    const bool classes_open = Open_Machine_Classes(classes, result);
    if (!packed_product_code.Is_Empty()) {
        Lib_StringW product_key = Lib_StringW(Products_Path) + packed_product_code + TEXT("\\");
        if (classes_open) Changes().Delete_Registry_Key_Recursive(classes.Get(), product_key.Get_Text(), result);
        Lib_StringW user_data_key = Lib_StringW(User_Data_Products_Path) + packed_product_code + TEXT("\\");
        Changes().Delete_Registry_Key_Recursive(HKEY_LOCAL_MACHINE, user_data_key.Get_Text(), result);
    }
    if (!product_code.Is_Empty()) {
        Lib_StringW uninstall_key = Lib_StringW(Uninstall_Path) + product_code + TEXT("\\");
        Changes().Delete_Registry_Key_Recursive(HKEY_LOCAL_MACHINE, uninstall_key.Get_Text(), result);
        if (Is_64Bit_OS()) {
            // The 32-bit entry by its physical path, in the native view.
            Lib_StringW wow64_uninstall_key = Lib_StringW(Wow64_Uninstall_Path) + product_code + TEXT("\\");
            Changes().Delete_Registry_Key_Recursive(HKEY_LOCAL_MACHINE, wow64_uninstall_key.Get_Text(), result);
        }
        Lib_StringW dependency_key = Lib_StringW(Dependencies_Path) + product_code;
        if (classes_open) Changes().Delete_Registry_Key_Recursive(classes.Get(), dependency_key.Get_Text(), result);
    }
    if (!packed_upgrade_code.Is_Empty()) {
        Lib_StringW upgrade_key = Lib_StringW(Upgrade_Codes_Path) + packed_upgrade_code + TEXT("\\");
        if (classes_open) Changes().Delete_Registry_Key_Recursive(classes.Get(), upgrade_key.Get_Text(), result);
        Lib_StringW machine_upgrade_key = Lib_StringW(Machine_Upgrade_Codes_Path) + packed_upgrade_code + TEXT("\\");
        Changes().Delete_Registry_Key_Recursive(HKEY_LOCAL_MACHINE, machine_upgrade_key.Get_Text(), result);
    }
    return true;
}
