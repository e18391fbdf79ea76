#include "registry/Installer_Identity.h"

#include <msi.h>

#include <algorithm>
#include <set>
#include <string>
#include <vector>

#include "diagnostics/Check_Pass.h"
#include "diagnostics/Log_File.h"
#include "diagnostics/Log_Indent.h"
#include "diagnostics/Log_Report.h"
#include "registry/Installer_Registration.h"
#include "registry/Registry_Primitives.h"
#include "registry/Shell_Registration.h"

namespace {

// The driver package's upgrade code, in the form each use needs, for 64-bit and 32-bit Windows.
const WCHAR* const Upgrade_Code_64 = TEXT("{5B2E7A41-9D3C-4F18-A6E2-3C7D1B9F0A84}");
const WCHAR* const Packed_Upgrade_Code_64 = TEXT("14A7E2B5C3D981F46A2EC3D7B1F9A048");
const WCHAR* const Upgrade_Code_32 = TEXT("{8E1D4C27-6A5B-4D93-B0F1-7E2A9C6D3B15}");
const WCHAR* const Packed_Upgrade_Code_32 = TEXT("72C4D1E8B5A639D40B1FE7A2C9D6B351");
const WCHAR* const Bundle_Upgrade_Code = TEXT("{2A9F6E13-4B7C-4E85-9D20-B5C8E1F4A763}");

const WCHAR* const Uninstall_Path = TEXT("SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\");
const WCHAR* const Installer_Folders_Path = TEXT("SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Installer\\Folders\\");
const WCHAR* const New_Shortcuts_Path =
    TEXT("SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Explorer\\StartPage\\NewShortcuts\\");

// A braced code and the terminating zero.
const DWORD Product_Code_Buffer_Size = 39;

// The positions of a braced code's 32 digits in the order its packed form writes them: each of the
// first three groups reversed, then each of the last eight bytes with its two digits swapped.
const int Packed_Order[32] = {8,  7,  6,  5,  4,  3,  2,  1,  13, 12, 11, 10, 18, 17, 16, 15,
                              21, 20, 23, 22, 26, 25, 28, 27, 30, 29, 32, 31, 34, 33, 36, 35};

// The packed form of a braced code (which the caller has checked), its digits as given.
Lib_StringW Pack_Code(const Lib_StringW& braced) {
    WCHAR packed[33] = {};
    for (int at = 0; at < 32; ++at) packed[at] = braced.Get_Text()[Packed_Order[at]];
    return Lib_StringW(packed);
}

// A code as a key of the codes met: packed codes are hexadecimal digits, compared without regard to
// letter case.
std::basic_string<WCHAR> Code_Key(const Lib_StringW& packed) {
    Lib_StringW lower = packed;
    lower.Make_Lower();
    return std::basic_string<WCHAR>(lower.Get_Text());
}

// Every related product that Windows Installer lists for the upgrade code, by index until it answers
// 259; a failed call is reported and ends the list, an answer that is not a braced code is logged and
// left out (it names registry keys below), and a code listed again ends the list.
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

// The codes the removal found. The check after it looks for what belongs to them too: a removal that
// failed part-way may have deleted the keys that name a code and left what the code leads to.
struct Codes {
    Lib_String_List identification_guids;
    Lib_String_List product_codes;
    Lib_StringW bundle_product_code;
};
Codes Found_Codes;

// A removal remembers the codes it found; the read-only pass adds the remembered ones it does not find.
void Recall_Codes(Lib_String_List& codes, Lib_String_List& found) {
    if (!In_Check_Pass()) {
        found = codes;
        return;
    }
    for (const Lib_StringW& code : found) {
        auto same = [&code](const Lib_StringW& listed) { return listed.Compare_No_Case(code.Get_Text()) == 0; };
        if (std::none_of(codes.begin(), codes.end(), same)) codes.push_back(code);
    }
}

void Recall_Code(Lib_StringW& code, Lib_StringW& found) {
    if (!In_Check_Pass()) {
        found = code;
    } else if (code.Is_Empty()) {
        code = found;
    }
}

}  // namespace

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

bool Clean_Registry_From_Drivers(Lib_StringW& bundle_folder, Lib_StringW& product_folder) {
    Log_Info(TEXT("Cleaning registry from drivers..."));
    Lib_Result result;
    Log_Indent();

    const bool is_64bit = Is_64Bit_OS();
    const Lib_StringW packed_upgrade_code = is_64bit ? Packed_Upgrade_Code_64 : Packed_Upgrade_Code_32;
    const WCHAR* const upgrade_code = is_64bit ? Upgrade_Code_64 : Upgrade_Code_32;

    // Every version registered under the upgrade code and every one Windows Installer lists, each once:
    // its features and components, then its product registration, removed as those of one version
    // are; the upgrade-code keys go after the last version, so that a run stopped before then finds
    // the versions left again.
    Lib_String_List identification_guids;
    Get_ID_GUIDs(packed_upgrade_code, identification_guids, result);
    Recall_Codes(identification_guids, Found_Codes.identification_guids);
    for (const Lib_StringW& identification_guid : identification_guids) {
        Log_Info_Detail(TEXT("Identification GUID for qnDrivers found: "), identification_guid);
        Log_Indent();
        Remove_Features_And_Components_From_Registry(identification_guid, result);
        Log_Unindent();
    }
    if (identification_guids.empty()) Log_Info(TEXT("Identification GUID for qnDrivers didn't found."));

    Lib_String_List product_codes = Find_Product_Codes(upgrade_code, result);
    Recall_Codes(product_codes, Found_Codes.product_codes);
    std::set<std::basic_string<WCHAR>> registered;
    for (const Lib_StringW& identification_guid : identification_guids) registered.insert(Code_Key(identification_guid));
    for (size_t at = 0; at < product_codes.size(); ++at) {
        const Lib_StringW packed_product_code = Pack_Code(product_codes[at]);
        Log_Info_Detail(TEXT("Product Сode for qnDrivers found: "), product_codes[at]);
        Log_Indent();
        // A version that only Windows Installer lists has not had its features removed yet.
        if (registered.count(Code_Key(packed_product_code)) == 0) {
            Remove_Features_And_Components_From_Registry(packed_product_code, result);
        }
        Remove_Product_Registration(packed_product_code,
                                    at + 1 == product_codes.size() ? packed_upgrade_code : Lib_StringW(),
                                    product_codes[at], result);
        Log_Unindent();
    }
    if (product_codes.empty()) Log_Info(TEXT("Product Сode for qnDrivers didn't found."));

    Lib_StringW bundle_product_code;
    Find_Bundle_Product_Code(HKEY_LOCAL_MACHINE, Uninstall_Path, Bundle_Upgrade_Code, bundle_product_code, result);
    Recall_Code(bundle_product_code, Found_Codes.bundle_product_code);
    if (!bundle_product_code.Is_Empty()) {
        Log_Info_Detail(TEXT("Product Code for BootStrap found: "), bundle_product_code);
        Log_Indent();
        Remove_Product_Registration(Lib_StringW(), Lib_StringW(), bundle_product_code, result);
        Log_Unindent();
    } else {
        Log_Info(TEXT("Product Code for BootStrap wasn't found."));
    }

    Get_Package_Source_Folder(product_codes.empty() ? Lib_StringW() : product_codes.front(), product_folder, result);
    Get_Package_Source_Folder(bundle_product_code, bundle_folder, result);

    Remove_Shared_Files_From_Registry(result);
    Remove_Control_Panel(result);
    Remove_Calais_Readers(result);
    Remove_Deployment_Product();
    Clean_Uninstall_Keys();
    Clean_Installer_Dependencies();
    Clean_Subkeys(HKEY_LOCAL_MACHINE, Installer_Folders_Path, TEXT("vespario"), result);
    Clean_Subkeys(HKEY_LOCAL_MACHINE, Installer_Folders_Path, TEXT("corvanta"), result);
    Clean_Subkeys(HKEY_CURRENT_USER, New_Shortcuts_Path, TEXT("vespario"), result);

    Log_Unindent();
    Log_Info(TEXT("Registry cleaned from drivers."));
    return true;
}
