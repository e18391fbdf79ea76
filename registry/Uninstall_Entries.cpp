#include "registry/Uninstall_Entries.h"

#include "diagnostics/Lib_Result.h"
#include "diagnostics/Log_File.h"
#include "foundation/Lib_Handles.h"
#include "primitives/Machine_Changes.h"
#include "primitives/Registry_Primitives.h"
#include "registry/Installer_Identity.h"

namespace {

const WCHAR* const Value_Names[Uninstall_Value_Count] = {TEXT("DisplayName"), TEXT("BundleUpgradeCode"),
                                                          TEXT("UninstallString"), TEXT("QuietUninstallString"),
                                                          TEXT("ModifyPath")};

// One entry's values, each as the pass counts it. A failure is only noted: the stage that wants the
// value reads it again and reports by its own rules.
void Read_Uninstall_Entry(Uninstall_Entry& entry, REGSAM view) {
    const Lib_StringW key_path = Lib_StringW(Uninstall_Path) + entry.name;
    Owned_Key key;
    const LSTATUS opened = RegOpenKeyExW(HKEY_LOCAL_MACHINE, key_path.Get_Text(), 0, view | KEY_QUERY_VALUE,
                                         key.Receive());
    for (size_t at = 0; at < Uninstall_Value_Count; ++at) {
        Uninstall_Value_Text& value = entry.values[at];
        if (opened != ERROR_SUCCESS) {
            value.status = opened;
        } else if (Changes().Registry_Value_Deleted(HKEY_LOCAL_MACHINE, key_path.Get_Text(), view, Value_Names[at])) {
            value.status = ERROR_FILE_NOT_FOUND;
        } else {
            bool second_query = false;
            value.status = Query_Value_Text(key.Get(), Value_Names[at], value.text, &value.type, second_query);
        }
    }
}

}  // namespace

const WCHAR* Uninstall_Value_Name(Uninstall_Value value) { return Value_Names[value]; }

const std::vector<Uninstall_Entry>* Uninstall_Entries::In_View(size_t view) {
    if (!read_) {
        read_ = true;
        const size_t views = Is_64Bit_OS() ? 2 : 1;
        for (size_t at = 0; at < views; ++at) {
            const REGSAM flags = at == 0 ? 0 : KEY_WOW64_32KEY;
            Lib_Result result;
            Lib_String_List names;
            Lib_String_List values;
            listed_[at] = Enum_Sub_Keys_And_Values_In_Registry_Key(HKEY_LOCAL_MACHINE, Uninstall_Path, names, values,
                                                                   result, flags);
            if (!listed_[at]) continue;
            entries_[at].resize(names.size());
            for (size_t entry = 0; entry < names.size(); ++entry) {
                entries_[at][entry].name = names[entry];
                Read_Uninstall_Entry(entries_[at][entry], flags);
            }
        }
    }
    return view < 2 && listed_[view] ? &entries_[view] : nullptr;
}
