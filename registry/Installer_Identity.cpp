#include "registry/Installer_Identity.h"

#include <msi.h>

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

// The first related product that Windows Installer knows for the upgrade code; empty when there is
// none, when the call fails (which is reported) or when the answer is not a braced code.
Lib_StringW Find_Product_Code(const WCHAR* upgrade_code, Lib_Result& result) {
    WCHAR buffer[Product_Code_Buffer_Size] = {};
    UINT status = MsiEnumRelatedProductsW(upgrade_code, 0, 0, buffer);
    if (status != ERROR_SUCCESS && status != ERROR_NO_MORE_ITEMS) {
        result.Set(static_cast<int32_t>(status), Lib_Result_Source_System);
        Report_System_Error(TEXT("MsiEnumRelatedProducts"), status);
        return Lib_StringW();
    }
    buffer[Product_Code_Buffer_Size - 1] = 0;
    Lib_StringW product_code(buffer);
    // The code names registry keys below: anything but a braced code could address another key.
    if (!product_code.Is_Empty() && !Is_Braced_Code(product_code)) {
        Log_Info_Detail(TEXT("Product code for qnDrivers is not a braced code, ignored: "), product_code);
        return Lib_StringW();
    }
    return product_code;
}

// The codes the removal found. The check after it looks for what belongs to them too: a removal that
// failed part-way may have deleted the keys that name a code and left what the code leads to.
struct Codes {
    Lib_StringW identification_guid;
    Lib_StringW product_code;
    Lib_StringW bundle_product_code;
};
Codes Found_Codes;

// A removal remembers a code it found; the read-only pass takes the remembered one where it finds none.
void Recall_Code(Lib_StringW& code, Lib_StringW& found) {
    if (!In_Check_Pass()) {
        found = code;
    } else if (code.Is_Empty()) {
        code = found;
    }
}

}  // namespace

bool Get_ID_GUID(const Lib_StringW& packed_upgrade_code, Lib_StringW& identification_guid, Lib_Result& result) {
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
    // One value per related product, named by its packed product code. The name addresses registry
    // keys later on: a name that is not a packed code (a backslash in it could reach another key, or
    // the parent key itself) is not used.
    if (!values.empty()) {
        if (Is_Packed_Code(values[0])) {
            identification_guid = values[0];
        } else {
            Log_Info_Detail(TEXT("Identification GUID for qnDrivers is not a packed code, ignored: "), values[0]);
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
    Lib_StringW identification_guid;
    Log_Indent();

    const bool is_64bit = Is_64Bit_OS();
    const Lib_StringW packed_upgrade_code = is_64bit ? Packed_Upgrade_Code_64 : Packed_Upgrade_Code_32;
    const WCHAR* const upgrade_code = is_64bit ? Upgrade_Code_64 : Upgrade_Code_32;

    Get_ID_GUID(packed_upgrade_code, identification_guid, result);
    Recall_Code(identification_guid, Found_Codes.identification_guid);
    if (!identification_guid.Is_Empty()) {
        Log_Info_Detail(TEXT("Identification GUID for qnDrivers found: "), identification_guid);
        Log_Indent();
        Remove_Features_And_Components_From_Registry(identification_guid, result);
        Log_Unindent();
    } else {
        Log_Info(TEXT("Identification GUID for qnDrivers didn't found."));
    }

    Lib_StringW product_code = Find_Product_Code(upgrade_code, result);
    Recall_Code(product_code, Found_Codes.product_code);
    if (!identification_guid.Is_Empty() && !product_code.Is_Empty()) {
        Log_Info_Detail(TEXT("Product Сode for qnDrivers found: "), product_code);
        Log_Indent();
        Remove_Product_Registration(identification_guid, packed_upgrade_code, product_code, result);
        Log_Unindent();
    } else {
        Log_Info(TEXT("Product Сode for qnDrivers didn't found."));
    }

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

    Get_Package_Source_Folder(product_code, product_folder, result);
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
