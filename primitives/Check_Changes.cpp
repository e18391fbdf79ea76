#include "primitives/Check_Changes.h"

#include <algorithm>

#include "diagnostics/Log_Report.h"
#include "foundation/Lib_Handles.h"
#include "foundation/Lib_Path.h"
#include "primitives/File_Primitives.h"
#include "primitives/Folder_Safety.h"
#include "primitives/Registry_Primitives.h"

namespace {

typedef std::basic_string<WCHAR> Id;

const WCHAR Session_Manager_Path[] = TEXT("SYSTEM\\CurrentControlSet\\Control\\Session Manager");
const WCHAR Pending_Value[] = TEXT("PendingFileRenameOperations");

void Record(Lib_Result& result, DWORD error) { result.Set(static_cast<int32_t>(error), Lib_Result_Source_System); }

bool Is_Missing(DWORD error) { return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND; }

// Appends the text in the form in which two names of one object compare equal: letters folded to lower
// case and runs of backslashes made one (the registry and the file system read them so), also where
// the text meets what the id holds already. Trailing backslashes are dropped by End_Id.
void Append_Folded(Id& id, const WCHAR* text) {
    for (; text != nullptr && *text != 0; ++text) {
        if (*text == TEXT('\\') && !id.empty() && id.back() == TEXT('\\')) continue;
        id.push_back(Fold_Lower(*text));
    }
}

void End_Id(Id& id) {
    while (!id.empty() && id.back() == TEXT('\\')) id.pop_back();
}

Id Fold(const WCHAR* text) {
    Id id;
    Append_Folded(id, text);
    End_Id(id);
    return id;
}

// The id of what holds the id: the text before its last backslash.
Id Parent_Id(const Id& id) {
    size_t last = id.rfind(TEXT('\\'));
    return last == Id::npos ? Id() : id.substr(0, last);
}

bool Is_32Bit_View(REGSAM view) { return (view & KEY_WOW64_32KEY) != 0; }

// A path as the restart list holds it ("\??\C:\...") or as a call may be given it ("\\?\C:\...",
// "\\?\UNC\server\share\..."), in the ordinary form.
Id Path_Id(const Lib_StringW& path) {
    const WCHAR* text = path.Get_Text();
    if (text[0] == TEXT('\\') && (text[1] == TEXT('?') || text[1] == TEXT('\\')) &&
        text[2] == TEXT('?') && text[3] == TEXT('\\')) {
        Lib_StringW rest(text + 4);
        if (rest.Get_Length() > 4 && rest.Mid(0, 4).Compare_No_Case(TEXT("UNC\\")) == 0) {
            return Fold((Lib_StringW(TEXT("\\\\")) + rest.Mid(4, rest.Get_Length() - 4)).Get_Text());
        }
        return Fold(rest.Get_Text());
    }
    return Fold(text);
}

// The deletions that wait for the restart: the restart list holds pairs of names, a source and a
// target, and an empty target deletes the source.
std::vector<Id> Read_Restart_List() {
    std::vector<Id> pending_paths;
    Owned_Key key;
    LSTATUS status = RegOpenKeyExW(HKEY_LOCAL_MACHINE, Session_Manager_Path, 0, KEY_QUERY_VALUE, key.Receive());
    if (status == ERROR_FILE_NOT_FOUND) return pending_paths;
    if (status != ERROR_SUCCESS) {
        Report_System_Error(TEXT("RegOpenKeyEx"), status);
        return pending_paths;
    }
    DWORD type = 0;
    DWORD size = 0;
    status = RegQueryValueExW(key.Get(), Pending_Value, nullptr, &type, nullptr, &size);
    std::vector<WCHAR> data(size / sizeof(WCHAR) + 1, 0);
    if (status == ERROR_SUCCESS) {
        status = RegQueryValueExW(key.Get(), Pending_Value, nullptr, &type, reinterpret_cast<BYTE*>(data.data()),
                                  &size);
    }
    key.Close();
    if (status == ERROR_FILE_NOT_FOUND) return pending_paths;
    if (status != ERROR_SUCCESS) {
        Report_System_Error(TEXT("RegQueryValueEx"), status);
        return pending_paths;
    }
    // Names are split at every zero, empty ones included: an empty target is one.
    std::vector<Lib_StringW> names;
    const size_t count = size / sizeof(WCHAR);
    for (size_t start = 0, at = 0; at < count; ++at) {
        if (data[at] != 0) continue;
        names.push_back(Lib_StringW(data.data() + start));
        start = at + 1;
    }
    for (size_t pair = 0; pair + 1 < names.size(); pair += 2) {
        if (names[pair + 1].Is_Empty() && !names[pair].Is_Empty()) pending_paths.push_back(Path_Id(names[pair]));
    }
    return pending_paths;
}

}  // namespace

Check_Changes::Check_Changes() {
    for (Id& path : Read_Restart_List()) pending_paths_.Insert(std::move(path));
}

void Check_Changes::Id_Set::Insert(Id id) {
    if (Contains(id)) return;
    ids_.push_front(std::move(id));
    views_.insert(ids_.front());
}

bool Check_Changes::Id_Set::Covers(Id_View id) const {
    if (Empty()) return false;
    for (size_t end = id.size(); end != Id_View::npos && end > 0; end = id.rfind(TEXT('\\'), end - 1)) {
        if (Contains(id.substr(0, end))) return true;
    }
    return false;
}

// What the pass counts and records.

const WCHAR* Check_Changes::Root_Name(HKEY root) const {
    if (root == HKEY_LOCAL_MACHINE) return TEXT("HKEY_LOCAL_MACHINE");
    if (root == HKEY_CURRENT_USER) return TEXT("HKEY_CURRENT_USER");
    if (root == HKEY_CLASSES_ROOT) return TEXT("HKEY_CLASSES_ROOT");
    if (root == HKEY_USERS) return TEXT("HKEY_USERS");
    auto named = key_names_.find(root);
    return named != key_names_.end() ? named->second.Get_Text() : TEXT("(an unnamed key)");
}

Lib_StringW Check_Changes::Key_Shown(HKEY root, const WCHAR* path, REGSAM view) const {
    Lib_StringW shown = Root_Name(root);
    if (path != nullptr && path[0] != 0) {
        shown.Append(TEXT("\\"));
        shown.Append(path);
    }
    if (Is_32Bit_View(view)) shown.Append(TEXT(" (32-bit view)"));
    return shown;
}

// The view is part of a key's id: the two views of a redirected key are two keys.
Check_Changes::Id Check_Changes::Key_Id(HKEY root, const WCHAR* path, REGSAM view) const {
    Id id;
    Append_Folded(id, Root_Name(root));
    if (Is_32Bit_View(view)) Append_Folded(id, TEXT("|32"));
    Append_Folded(id, TEXT("\\"));
    Append_Folded(id, path);
    End_Id(id);
    return id;
}

// A value's name is folded to lower case only: a backslash in it is one of its characters.
void Check_Changes::Append_Value_Name(Id& key_id, const WCHAR* value_name) {
    key_id.push_back(0);
    for (; value_name != nullptr && *value_name != 0; ++value_name) key_id.push_back(Fold_Lower(*value_name));
}

Check_Changes::Id Check_Changes::Value_Id(HKEY root, const WCHAR* path, REGSAM view, const WCHAR* value_name) const {
    Id id = Key_Id(root, path, view);
    Append_Value_Name(id, value_name);
    return id;
}

bool Check_Changes::Key_Removed(HKEY root, const WCHAR* path, REGSAM view) const {
    return !removed_keys_.Empty() && removed_keys_.Covers(Key_Id(root, path, view));
}

bool Check_Changes::Registry_Value_Deleted(HKEY root, const WCHAR* key_path, REGSAM view, const WCHAR* value_name) {
    if (removed_keys_.Empty() && removed_values_.Empty()) return false;
    Id id = Key_Id(root, key_path, view);
    if (removed_keys_.Covers(id)) return true;
    if (removed_values_.Empty()) return false;
    Append_Value_Name(id, value_name);
    return removed_values_.Contains(id);
}

bool Check_Changes::Key_Holds_Removed(HKEY root, const WCHAR* path, REGSAM view) const {
    return !holding_removed_.Empty() && holding_removed_.Contains(Key_Id(root, path, view));
}

void Check_Changes::Record_Key(HKEY root, const WCHAR* path, REGSAM view) {
    Id id = Key_Id(root, path, view);
    holding_removed_.Insert(Parent_Id(id));
    removed_keys_.Insert(std::move(id));
    items_.push_back(Key_Shown(root, path, view));
}

void Check_Changes::Record_Value(HKEY root, const WCHAR* path, REGSAM view, const WCHAR* value_name) {
    removed_values_.Insert(Value_Id(root, path, view, value_name));
    holding_removed_.Insert(Key_Id(root, path, view));
    items_.push_back(Lib_StringW(TEXT("value \"")) + value_name + TEXT("\" of ") + Key_Shown(root, path, view));
}

bool Check_Changes::Path_Removed(const WCHAR* path) const { return removed_paths_.Covers(Path_Id(path)); }

bool Check_Changes::Path_Pending(const WCHAR* path) const {
    return !pending_paths_.Empty() && pending_paths_.Contains(Path_Id(path));
}

void Check_Changes::Record_Path(const WCHAR* path) {
    removed_paths_.Insert(Path_Id(path));
    items_.push_back(path);
}

// The registry.

// A key that is there (as itself, in the view) and not counted as removed yet is recorded. Only a
// failure other than a missing key is reported.
bool Check_Changes::Check_Key(HKEY root, const WCHAR* key_path, REGSAM view, Lib_Result& result) {
    if (Key_Removed(root, key_path, view)) return true;
    Owned_Key key;
    LSTATUS status = RegOpenKeyExW(root, Without_Trailing_Separators(key_path).Get_Text(), REG_OPTION_OPEN_LINK,
                                   KEY_READ | view, key.Receive());
    if (Is_Missing(status)) return true;
    if (status != ERROR_SUCCESS) {
        Record(result, status);
        Report_System_Error(TEXT("RegOpenKeyEx"), status);
        return false;
    }
    key.Close();
    Record_Key(root, key_path, view);
    return true;
}

bool Check_Changes::Check_Value(HKEY root, const WCHAR* key_path, const WCHAR* value_name, REGSAM view,
                                Lib_Result& result) {
    if (Registry_Value_Deleted(root, key_path, view, value_name)) return true;
    Owned_Key key;
    const WCHAR* call = TEXT("RegOpenKeyEx");
    LSTATUS status = RegOpenKeyExW(root, key_path, 0, KEY_QUERY_VALUE | view, key.Receive());
    if (status == ERROR_SUCCESS) {
        call = TEXT("RegQueryValueEx");
        status = RegQueryValueExW(key.Get(), value_name, nullptr, nullptr, nullptr, nullptr);
        key.Close();
        if (status == ERROR_SUCCESS) Record_Value(root, key_path, view, value_name);
    }
    if (status == ERROR_SUCCESS || Is_Missing(status)) return true;
    Record(result, status);
    Report_System_Error(call, status);
    return false;
}

bool Check_Changes::Delete_Registry_Key(HKEY root, const WCHAR* key_path, Lib_Result& result) {
    return Check_Key(root, key_path, 0, result);
}

bool Check_Changes::Delete_Registry_Key_Recursive(HKEY root, const WCHAR* key_path, Lib_Result& result) {
    return Check_Key(root, key_path, 0, result);
}

bool Check_Changes::Delete_Registry_Keys_In_Path(HKEY root, const WCHAR* parent_path, const WCHAR* subkey_name,
                                                 Lib_Result& result) {
    Lib_StringW key_path;
    Combine_Path(parent_path, nullptr, subkey_name, key_path);
    bool native_checked = Check_Key(root, key_path.Get_Text(), 0, result);
    return Check_Key(root, key_path.Get_Text(), KEY_WOW64_32KEY, result) && native_checked;
}

// Nothing is looked at through a parent that is a link: what it points to is not the hive's.
bool Check_Changes::Delete_Registry_Keys_In_User_Hive(HKEY root, const WCHAR* parent_path, const WCHAR* subkey_name,
                                                      Lib_Result& result) {
    Lib_StringW key_path;
    Combine_Path(parent_path, nullptr, subkey_name, key_path);
    bool checked = true;
    for (REGSAM view : {REGSAM(0), REGSAM(KEY_WOW64_32KEY)}) {
        Owned_Key parent;
        bool is_link = false;
        const WCHAR* call = nullptr;
        LSTATUS status = Open_Deletion_Parent(root, parent_path, view, true, parent, is_link, call);
        if (is_link || Is_Missing(status)) continue;
        if (status != ERROR_SUCCESS) {
            parent.Release();
            Record(result, status);
            Report_System_Error(call, status);
            checked = false;
            continue;
        }
        parent.Close();
        checked = Check_Key(root, key_path.Get_Text(), view, result) && checked;
    }
    return checked;
}

bool Check_Changes::Delete_Registry_Value(HKEY root, const WCHAR* key_path, const WCHAR* value_name,
                                          Lib_Result& result, REGSAM view_flags) {
    return Check_Value(root, key_path, value_name, view_flags, result);
}

void Check_Changes::Delete_Registry_Value_Quietly(HKEY root, const WCHAR* key_path, const WCHAR* value_name,
                                                  REGSAM view_flags) {
    Lib_Result result;
    Check_Value(root, key_path, value_name, view_flags, result);
}

// Empty as it would be after the removals the pass has counted.
bool Check_Changes::Is_Registry_Key_Empty(HKEY root, const WCHAR* key_path, bool& is_empty, Lib_Result& result) {
    is_empty = false;
    Lib_String_List subkeys;
    Lib_String_List values;
    if (!Enum_Sub_Keys_And_Values_In_Registry_Key(root, key_path, subkeys, values, result, 0)) return false;
    is_empty = subkeys.empty() && values.empty();
    return true;
}

void Check_Changes::Drop_Deleted_Names(HKEY root, const WCHAR* key_path, REGSAM view, Lib_String_List& subkeys,
                                       Lib_String_List& values) {
    if (Key_Removed(root, key_path, view)) {
        subkeys.clear();
        values.clear();
        return;
    }
    if (!Key_Holds_Removed(root, key_path, view)) return;
    auto key_removed = [&](const Lib_StringW& name) {
        Lib_StringW path;
        Combine_Path(key_path, nullptr, name.Get_Text(), path);
        return Key_Removed(root, path.Get_Text(), view);
    };
    auto value_removed = [&](const Lib_StringW& name) {
        return Registry_Value_Deleted(root, key_path, view, name.Get_Text());
    };
    subkeys.erase(std::remove_if(subkeys.begin(), subkeys.end(), key_removed), subkeys.end());
    values.erase(std::remove_if(values.begin(), values.end(), value_removed), values.end());
}

// Files and folders.

// Whether the pass still finds the entry at path: not counted as removed, and, when its deletion
// waits for the restart, a folder (not a link) holding something that does not wait. Something that
// cannot be looked at counts as there (reported). The folders being looked into are kept on a list of
// their own, not on the call stack: a tree may be as deep as the longest path allows.
bool Check_Changes::Entry_Remains(const WCHAR* path) {
    struct Listed_Folder {
        Wide_Name_List names;
        size_t next = 0;
    };
    std::vector<Listed_Folder> folders;
    Walk_Path walk(path);
    for (;;) {
        // The entry at walk: whether it remains, or is a folder to look into.
        const WCHAR* shown = walk.Shown().Get_Text();
        Lib_StringW call_path;
        if (!Path_Removed(shown)) {
            if (!walk.For_Call(0, call_path)) return true;
            DWORD attributes = GetFileAttributesW(call_path.Get_Text());
            if (attributes == INVALID_FILE_ATTRIBUTES) {
                DWORD error = GetLastError();
                if (!Is_Missing(error)) {
                    Report_System_Error(TEXT("GetFileAttributes"), error);
                    return true;
                }
            } else if (!Path_Pending(shown)) {
                return true;
            } else if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 && !SC_Is_Folder_Link(attributes)) {
                Lib_Result result;
                folders.emplace_back();
                if (!walk.For_Call(2, call_path) || !SC_List_Folder(call_path.Get_Text(), folders.back().names, result))
                    return true;
            }
        }
        // On to the next entry not yet looked at.
        for (;;) {
            if (folders.empty()) return false;
            Listed_Folder& folder = folders.back();
            if (folder.next < folder.names.size()) {
                if (folder.next > 0) walk.Leave();
                walk.Enter(folder.names[folder.next++].c_str());
                break;
            }
            if (folder.next > 0) walk.Leave();
            folders.pop_back();
        }
    }
}

// An entry that remains is recorded.
bool Check_Changes::Check_Entry(const WCHAR* path) {
    if (Entry_Remains(path)) Record_Path(path);
    return true;
}

bool Check_Changes::SC_Delete_File(const WCHAR* path, bool&, Lib_Result&) { return Check_Entry(path); }

// A file whose folders are beyond the safety check was not scheduled: left alone, with the reason.
bool Check_Changes::SC_Delete_File_On_Reboot(const WCHAR* path, Lib_Result&) {
    Lib_StringW folder = SC_Folder_Of(path);
    Lib_StringW reason;
    if (!folder.Is_Empty() && SC_Check_Folder_Chain(folder.Get_Text(), 0, reason) == SC_Path_Unsafe) {
        Left_Alone(path, reason);
        return true;
    }
    return Check_Entry(path);
}

bool Check_Changes::SC_Remove_Directory(const WCHAR* folder, bool, bool&, Lib_Result&) {
    // A tree that is not there is removed already; one left alone as unsafe is there all the same,
    // when the product made it.
    Lib_StringW reason;
    SC_Path_State state = SC_Check_Folder_Chain(folder, 0, reason);
    if (state == SC_Path_Missing) return true;
    if (state == SC_Path_Unsafe) {
        Left_Alone(folder, reason);
        return true;
    }
    return Check_Entry(folder);
}

// The entry is looked at as itself (a link is not entered): an entry owned by anyone but the
// accounts that install software, or that is a link, is not the product's.
void Check_Changes::Left_Alone(const WCHAR* path, const Lib_StringW& reason) {
    if (Path_Removed(path)) return;
    Lib_StringW owner_reason;
    SC_Path_State owner = SC_Check_Owner(path, owner_reason);
    if (owner == SC_Path_Missing) return;
    if (owner == SC_Path_Unsafe) {
        not_counted_.push_back(Lib_StringW(TEXT("Not counted (left alone: ")) + owner_reason + TEXT("): ") + path);
        return;
    }
    reasons_[items_.size()] = reason;
    Record_Path(path);
}

Lib_StringW Check_Changes::Reason(size_t at) const {
    auto found = reasons_.find(at);
    return found == reasons_.end() ? Lib_StringW() : found->second;
}

bool Check_Changes::SC_Remove_Empty_Directory(const WCHAR* folder, Lib_Result& result) {
    bool empty = false;
    if (!SC_Is_Directory_Empty(folder, empty, result)) return false;
    if (!empty) return true;
    return Check_Entry(folder);
}

// The pass creates nothing: a special folder that is not there holds nothing of the product.
bool Check_Changes::Get_Absolute_File_Path_From_Special_Folder(int csidl, const WCHAR* sub_folder,
                                                               const WCHAR* file_name, Lib_StringW& path,
                                                               Lib_Result& result) {
    return SC_Special_Folder_Path(csidl, sub_folder, file_name, false, path, result);
}

bool Check_Changes::Known_Path_State(const WCHAR* path, bool& exists) {
    if (!Path_Removed(path) && !Path_Pending(path)) return false;
    exists = Entry_Remains(path);
    return true;
}

void Check_Changes::Drop_Deleted_Entries(const WCHAR* folder, Wide_Name_List& names, size_t first) {
    auto gone = [this, folder](const Wide_Name& name) {
        Lib_StringW path = Lib_StringW(folder) + TEXT("\\") + name.c_str();
        return (Path_Removed(path.Get_Text()) || Path_Pending(path.Get_Text())) && !Entry_Remains(path.Get_Text());
    };
    names.erase(std::remove_if(names.begin() + first, names.end(), gone), names.end());
}

// The rest.

void Check_Changes::Uninstall_Driver_Package(const WCHAR* published_name) {
    items_.push_back(Lib_StringW(TEXT("driver package ")) + published_name);
}

void Check_Changes::Report_Unread(const Lib_StringW& call, const Lib_Result& result) { Log_Error_Report(call, result); }
