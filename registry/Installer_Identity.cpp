#include "registry/Installer_Identity.h"

#include <msi.h>

#include <algorithm>
#include <set>
#include <string>
#include <vector>

#include "diagnostics/Log_File.h"
#include "diagnostics/Log_Indent.h"
#include "diagnostics/Log_Report.h"
#include "primitives/Registry_Primitives.h"
#include "registry/Installer_Registration.h"

namespace {

// A braced code and the terminating zero.
const DWORD Product_Code_Buffer_Size = 39;

// The positions of a braced code's 32 digits in the order its packed form writes them: each of the
// first three groups reversed, then each of the last eight bytes with its two digits swapped.
const int Packed_Order[32] = {8,  7,  6,  5,  4,  3,  2,  1,  13, 12, 11, 10, 18, 17, 16, 15,
                              21, 20, 23, 22, 26, 25, 28, 27, 30, 29, 32, 31, 34, 33, 36, 35};

}  // namespace

const WCHAR* const Uninstall_Path = TEXT("SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\");

Lib_StringW Pack_Code(const Lib_StringW& braced) {
    WCHAR packed[33] = {};
    for (int at = 0; at < 32; ++at) packed[at] = braced.Get_Text()[Packed_Order[at]];
    return Lib_StringW(packed);
}

std::basic_string<WCHAR> Code_Key(const Lib_StringW& packed) {
    Lib_StringW lower = packed;
    lower.Make_Lower();
    return std::basic_string<WCHAR>(lower.Get_Text());
}

std::vector<Lib_StringW> Find_Product_Codes(const WCHAR* upgrade_code, Lib_Result& result) {
    std::vector<Lib_StringW> codes;
    std::set<std::basic_string<WCHAR>> listed;
    for (DWORD index = 0;; ++index) {
        WCHAR buffer[Product_Code_Buffer_Size] = {};
        UINT status = MsiEnumRelatedProductsW(upgrade_code, 0, index, buffer);
        if (status == ERROR_NO_MORE_ITEMS) break;
        if (status != ERROR_SUCCESS) {
            result.Set(static_cast<int32_t>(status), Lib_Result_Source_System);
            Report_System_Error(TEXT("MsiEnumRelatedProducts"), status);
            break;
        }
        buffer[Product_Code_Buffer_Size - 1] = 0;
        Lib_StringW product_code(buffer);
        if (!Is_Braced_Code(product_code)) {
            Log_Info_Detail(TEXT("Product code for qnDrivers is not a braced code, ignored: "), product_code);
            continue;
        }
        if (!listed.insert(Code_Key(Pack_Code(product_code))).second) break;
        codes.push_back(product_code);
    }
    return codes;
}

bool Get_ID_GUIDs(const Lib_StringW& packed_upgrade_code, Lib_String_List& identification_guids,
                  Lib_Result& result) {
    Lib_StringW key_path = Lib_StringW(TEXT("Installer\\UpgradeCodes\\")) + packed_upgrade_code + TEXT("\\");
    Lib_String_List subkeys;
    Lib_String_List values;
    // The machine's key: the user's classes, which HKEY_CLASSES_ROOT lists first, could name any product.
    Owned_Registry_Key classes;
    if (!Open_Machine_Classes(classes, result) ||
        !Enum_Sub_Keys_And_Values_In_Registry_Key(classes.Get(), key_path.Get_Text(), subkeys, values, result, 0)) {
        Trace_Exit_Scope(TEXT("Get_ID_GUID"));
        return true;
    }
    // One value per related product, named by its packed product code. The names address registry
    // keys later on: a name that is not a packed code (a backslash in it could reach another key, or
    // the parent key itself) is not used.
    for (const Lib_StringW& value : values) {
        if (Is_Packed_Code(value)) {
            identification_guids.push_back(value);
        } else {
            Log_Info_Detail(TEXT("Identification GUID for qnDrivers is not a packed code, ignored: "), value);
        }
    }
    return true;
}

bool Check_Bundle_Upgrade_Code(HKEY root, const WCHAR* uninstall_path, const Lib_StringW& entry_name,
                               const Lib_StringW& bundle_upgrade_code, Lib_Result& result) {
    // Formed as given: two backslashes stand in a row before the entry name, which the registry reads
    // as one.
    Lib_StringW key_path = Lib_StringW(uninstall_path) + TEXT("\\") + entry_name + TEXT("\\");
    Lib_StringW value;
    if (!Get_Registry_Value(root, key_path.Get_Text(), TEXT("BundleUpgradeCode"), value, result, 0)) return false;
    return !value.Is_Empty() && value.Compare_No_Case(bundle_upgrade_code.Get_Text()) == 0;
}

bool Find_Bundle_Product_Code(HKEY root, const WCHAR* uninstall_path, const Lib_StringW& bundle_upgrade_code,
                              Lib_StringW& entry_name, Lib_Result& result) {
    Lib_String_List entries;
    Lib_String_List values;
    if (!Enum_Sub_Keys_And_Values_In_Registry_Key(root, uninstall_path, entries, values, result, 0)) return true;
    for (const Lib_StringW& entry : entries) {
        if (Check_Bundle_Upgrade_Code(root, uninstall_path, entry, bundle_upgrade_code, result)) {
            entry_name = entry;
            break;
        }
    }
    return true;
}

bool Find_Bundle_Product_Code(Uninstall_Entries& entries, const Lib_StringW& bundle_upgrade_code,
                              Lib_StringW& entry_name, Lib_Result& result) {
    const std::vector<Uninstall_Entry>* listed = entries.In_View(0);
    if (listed == nullptr) {
        return Find_Bundle_Product_Code(HKEY_LOCAL_MACHINE, Uninstall_Path, bundle_upgrade_code, entry_name, result);
    }
    for (const Uninstall_Entry& entry : *listed) {
        const Uninstall_Value_Text& code = entry.values[Bundle_Upgrade_Code_Read];
        const bool carries = code.Unread() ? Check_Bundle_Upgrade_Code(HKEY_LOCAL_MACHINE, Uninstall_Path, entry.name,
                                                                       bundle_upgrade_code, result)
                                           : code.status == ERROR_SUCCESS && !code.text.Is_Empty() &&
                                                 code.text.Compare_No_Case(bundle_upgrade_code.Get_Text()) == 0;
        if (carries) {
            entry_name = entry.name;
            break;
        }
    }
    return true;
}

bool Get_Package_Source_Folder(const Lib_StringW& product_code, Lib_StringW& folder, Lib_Result& result) {
    // Without a code the path would name the Uninstall key itself.
    if (product_code.Is_Empty()) return true;
    Lib_StringW key_path = Lib_StringW(Uninstall_Path) + product_code + TEXT("\\");
    if (Get_Registry_Value(HKEY_LOCAL_MACHINE, key_path.Get_Text(), TEXT("BundleCachePath"), folder, result, 0)) {
        long long separator = folder.Reverse_Find(TEXT('\\'));
        if (separator >= 0) folder = folder.Mid(0, separator);
        return true;
    }
    Get_Registry_Value(HKEY_LOCAL_MACHINE, key_path.Get_Text(), TEXT("InstallSource"), folder, result, 0);
    return true;
}

