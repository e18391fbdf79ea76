#include "registry/Registry_Cleanup.h"

#include <set>
#include <string>

#include "diagnostics/Log_File.h"
#include "diagnostics/Log_Indent.h"
#include "diagnostics/Log_Report.h"
#include "primitives/Registry_Primitives.h"
#include "registry/Installer_Identity.h"
#include "registry/Installer_Registration.h"
#include "registry/Shell_Registration.h"

namespace {

// The driver package's upgrade code, in the form each use needs, for 64-bit and 32-bit Windows.
const WCHAR* const Upgrade_Code_64 = TEXT("{5B2E7A41-9D3C-4F18-A6E2-3C7D1B9F0A84}");
const WCHAR* const Packed_Upgrade_Code_64 = TEXT("14A7E2B5C3D981F46A2EC3D7B1F9A048");
const WCHAR* const Upgrade_Code_32 = TEXT("{8E1D4C27-6A5B-4D93-B0F1-7E2A9C6D3B15}");
const WCHAR* const Packed_Upgrade_Code_32 = TEXT("72C4D1E8B5A639D40B1FE7A2C9D6B351");
const WCHAR* const Bundle_Upgrade_Code = TEXT("{2A9F6E13-4B7C-4E85-9D20-B5C8E1F4A763}");

const WCHAR* const Installer_Folders_Path = TEXT("SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Installer\\Folders\\");
const WCHAR* const New_Shortcuts_Path =
    TEXT("SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Explorer\\StartPage\\NewShortcuts\\");

// The codes found before (by the removal, for the check after it) are looked for again, after those
// found now: a removal that failed part-way may have deleted the keys that name a code and left what
// the code leads to. The findings then hold every code found.
void Recall_Codes(Lib_String_List& codes, Lib_String_List& found) {
    for (const Lib_StringW& code : found) {
        auto same = [&code](const Lib_StringW& listed) { return listed.Compare_No_Case(code.Get_Text()) == 0; };
        if (std::none_of(codes.begin(), codes.end(), same)) codes.push_back(code);
    }
    found = codes;
}

void Recall_Code(Lib_StringW& code, Lib_StringW& found) {
    if (code.Is_Empty()) code = found;
    found = code;
}

}  // namespace

bool Clean_Registry_From_Drivers(Lib_StringW& bundle_folder, Lib_StringW& product_folder, Removal_Findings& findings,
                                 Uninstall_Entries& uninstall_entries) {
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
    Recall_Codes(identification_guids, findings.identification_guids);
    for (const Lib_StringW& identification_guid : identification_guids) {
        Log_Info_Detail(TEXT("Identification GUID for qnDrivers found: "), identification_guid);
        Log_Indent();
        Remove_Features_And_Components_From_Registry(identification_guid, findings, result);
        Log_Unindent();
    }
    if (identification_guids.empty()) Log_Info(TEXT("Identification GUID for qnDrivers didn't found."));

    Lib_String_List product_codes = Find_Product_Codes(upgrade_code, result);
    Recall_Codes(product_codes, findings.product_codes);
    std::set<std::basic_string<WCHAR>> registered;
    for (const Lib_StringW& identification_guid : identification_guids) registered.insert(Code_Key(identification_guid));
    for (size_t at = 0; at < product_codes.size(); ++at) {
        const Lib_StringW packed_product_code = Pack_Code(product_codes[at]);
        Log_Info_Detail(TEXT("Product Сode for qnDrivers found: "), product_codes[at]);
        Log_Indent();
        // A version that only Windows Installer lists has not had its features removed yet.
        if (registered.count(Code_Key(packed_product_code)) == 0) {
            Remove_Features_And_Components_From_Registry(packed_product_code, findings, result);
        }
        Remove_Product_Registration(packed_product_code,
                                    at + 1 == product_codes.size() ? packed_upgrade_code : Lib_StringW(),
                                    product_codes[at], result);
        Log_Unindent();
    }
    if (product_codes.empty()) Log_Info(TEXT("Product Сode for qnDrivers didn't found."));

    Lib_StringW bundle_product_code;
    Find_Bundle_Product_Code(uninstall_entries, Bundle_Upgrade_Code, bundle_product_code, result);
    Recall_Code(bundle_product_code, findings.bundle_product_code);
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
    Clean_Uninstall_Keys(uninstall_entries);
    Clean_Installer_Dependencies();
    Clean_Subkeys(HKEY_LOCAL_MACHINE, Installer_Folders_Path, TEXT("vespario"), result);
    Clean_Subkeys(HKEY_LOCAL_MACHINE, Installer_Folders_Path, TEXT("corvanta"), result);
    Clean_Subkeys(HKEY_CURRENT_USER, New_Shortcuts_Path, TEXT("vespario"), result);

    Log_Unindent();
    Log_Info(TEXT("Registry cleaned from drivers."));
    return true;
}

bool Clean_Registry_From_Drivers(Lib_StringW& bundle_folder, Lib_StringW& product_folder, Removal_Findings& findings) {
    Uninstall_Entries uninstall_entries;
    return Clean_Registry_From_Drivers(bundle_folder, product_folder, findings, uninstall_entries);
}
