#include "diagnostics/Check_Pass.h"

#include <atomic>
#include <map>
#include <string>
#include <unordered_set>

#include "diagnostics/Log_Report.h"
#include "foundation/Lib_Handles.h"

namespace {

typedef std::basic_string<WCHAR> Id;

const WCHAR Session_Manager_Path[] = TEXT("SYSTEM\\CurrentControlSet\\Control\\Session Manager");
const WCHAR Pending_Value[] = TEXT("PendingFileRenameOperations");

struct Pass_State {
    std::atomic<bool> active{false};
    std::atomic<unsigned> failures{0};
    std::vector<Lib_StringW> items;
    std::unordered_set<Id> removed_keys;    // key ids
    std::unordered_set<Id> removed_values;  // key id, a zero, the value's id
    std::unordered_set<Id> holding_removed;  // ids of the keys that hold a recorded key or value
    std::unordered_set<Id> removed_paths;
    std::unordered_set<Id> pending_paths;   // deletions waiting for the restart
    std::map<HKEY, Lib_StringW> key_names;  // keys the stages opened themselves
};
Pass_State The_Pass;

// The form in which two names of one object compare equal: letters folded to lower case, runs of
// backslashes made one and trailing ones dropped (the registry and the file system read them so).
Id Fold(const Lib_StringW& text) {
    Lib_StringW lower(text);
    lower.Make_Lower();
    Id id;
    const WCHAR* characters = lower.Get_Text();
    for (long long at = 0; at < lower.Get_Length(); ++at) {
        if (characters[at] == TEXT('\\') && !id.empty() && id.back() == TEXT('\\')) continue;
        id.push_back(characters[at]);
    }
    while (!id.empty() && id.back() == TEXT('\\')) id.pop_back();
    return id;
}

// Whether the id, or one of the ids above it (cut at a backslash), is in the set.
bool Covered(const std::unordered_set<Id>& set, const Id& id) {
    if (set.empty()) return false;
    for (size_t end = id.size(); end != Id::npos && end > 0; end = id.rfind(TEXT('\\'), end - 1)) {
        if (set.count(id.substr(0, end)) != 0) return true;
    }
    return false;
}

// The id of what holds the id: the text before its last backslash.
Id Parent_Id(const Id& id) {
    size_t last = id.rfind(TEXT('\\'));
    return last == Id::npos ? Id() : id.substr(0, last);
}

Lib_StringW Root_Name(HKEY root) {
    if (root == HKEY_LOCAL_MACHINE) return TEXT("HKEY_LOCAL_MACHINE");
    if (root == HKEY_CURRENT_USER) return TEXT("HKEY_CURRENT_USER");
    if (root == HKEY_CLASSES_ROOT) return TEXT("HKEY_CLASSES_ROOT");
    if (root == HKEY_USERS) return TEXT("HKEY_USERS");
    auto named = The_Pass.key_names.find(root);
    return named != The_Pass.key_names.end() ? named->second : Lib_StringW(TEXT("(an unnamed key)"));
}

bool Is_32Bit_View(REGSAM view) { return (view & KEY_WOW64_32KEY) != 0; }

Lib_StringW Key_Shown(HKEY root, const WCHAR* path, REGSAM view) {
    Lib_StringW shown = Root_Name(root);
    if (path != nullptr && path[0] != 0) {
        shown.Append(TEXT("\\"));
        shown.Append(path);
    }
    if (Is_32Bit_View(view)) shown.Append(TEXT(" (32-bit view)"));
    return shown;
}

// The view is part of a key's id: the two views of a redirected key are two keys.
Id Key_Id(HKEY root, const WCHAR* path, REGSAM view) {
    Lib_StringW full = Root_Name(root);
    if (Is_32Bit_View(view)) full.Append(TEXT("|32"));
    full.Append(TEXT("\\"));
    full.Append(path);
    return Fold(full);
}

Id Value_Id(HKEY root, const WCHAR* path, REGSAM view, const WCHAR* value_name) {
    Id id = Key_Id(root, path, view);
    id.push_back(0);
    Lib_StringW name(value_name);
    name.Make_Lower();
    id.append(name.Get_Text(), size_t(name.Get_Length()));
    return id;
}

// A path as the restart list holds it ("\??\C:\...") or as a call may be given it ("\\?\C:\...",
// "\\?\UNC\server\share\..."), in the ordinary form.
Id Path_Id(const Lib_StringW& path) {
    const WCHAR* text = path.Get_Text();
    if (text[0] == TEXT('\\') && (text[1] == TEXT('?') || text[1] == TEXT('\\')) &&
        text[2] == TEXT('?') && text[3] == TEXT('\\')) {
        Lib_StringW rest(text + 4);
        if (rest.Get_Length() > 4 && rest.Mid(0, 4).Compare_No_Case(TEXT("UNC\\")) == 0) {
            return Fold(Lib_StringW(TEXT("\\\\")) + rest.Mid(4, rest.Get_Length() - 4));
        }
        return Fold(rest);
    }
    return Fold(path);
}

// The deletions that wait for the restart: the restart list holds pairs of names, a source and a
// target, and an empty target deletes the source.
void Read_Restart_List() {
    Owned_Key key;
    LSTATUS status = RegOpenKeyExW(HKEY_LOCAL_MACHINE, Session_Manager_Path, 0, KEY_QUERY_VALUE, key.Receive());
    if (status == ERROR_FILE_NOT_FOUND) return;
    if (status != ERROR_SUCCESS) {
        Report_System_Error(TEXT("RegOpenKeyEx"), status);
        return;
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
    if (status == ERROR_FILE_NOT_FOUND) return;
    if (status != ERROR_SUCCESS) {
        Report_System_Error(TEXT("RegQueryValueEx"), status);
        return;
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
        if (names[pair + 1].Is_Empty() && !names[pair].Is_Empty()) {
            The_Pass.pending_paths.insert(Path_Id(names[pair]));
        }
    }
}

void Add_Item(const Lib_StringW& item) { The_Pass.items.push_back(item); }

}  // namespace

void Check_Pass_Begin() {
    The_Pass.items.clear();
    The_Pass.removed_keys.clear();
    The_Pass.removed_values.clear();
    The_Pass.holding_removed.clear();
    The_Pass.removed_paths.clear();
    The_Pass.pending_paths.clear();
    The_Pass.failures = 0;
    The_Pass.active = true;
    Read_Restart_List();
}

void Check_Pass_End() { The_Pass.active = false; }

bool In_Check_Pass() { return The_Pass.active; }

const std::vector<Lib_StringW>& Check_Pass_Items() { return The_Pass.items; }

unsigned Check_Pass_Failures() { return The_Pass.failures; }

void Check_Pass_Note_Failure() {
    if (The_Pass.active) ++The_Pass.failures;
}

void Check_Record_Item(const Lib_StringW& item) { Add_Item(item); }

void Check_Name_Key(HKEY key, const WCHAR* name) { The_Pass.key_names[key] = name; }

void Check_Forget_Key(HKEY key) { The_Pass.key_names.erase(key); }

bool Check_Key_Removed(HKEY root, const WCHAR* path, REGSAM view) {
    return Covered(The_Pass.removed_keys, Key_Id(root, path, view));
}

bool Check_Value_Removed(HKEY root, const WCHAR* path, REGSAM view, const WCHAR* value_name) {
    return Check_Key_Removed(root, path, view) ||
           The_Pass.removed_values.count(Value_Id(root, path, view, value_name)) != 0;
}

bool Check_Key_Holds_Removed(HKEY root, const WCHAR* path, REGSAM view) {
    return !The_Pass.holding_removed.empty() && The_Pass.holding_removed.count(Key_Id(root, path, view)) != 0;
}

void Check_Record_Key(HKEY root, const WCHAR* path, REGSAM view) {
    const Id id = Key_Id(root, path, view);
    The_Pass.removed_keys.insert(id);
    The_Pass.holding_removed.insert(Parent_Id(id));
    Add_Item(Key_Shown(root, path, view));
}

void Check_Record_Value(HKEY root, const WCHAR* path, REGSAM view, const WCHAR* value_name) {
    The_Pass.removed_values.insert(Value_Id(root, path, view, value_name));
    The_Pass.holding_removed.insert(Key_Id(root, path, view));
    Add_Item(Lib_StringW(TEXT("value \"")) + value_name + TEXT("\" of ") + Key_Shown(root, path, view));
}

bool Check_Path_Removed(const WCHAR* path) { return Covered(The_Pass.removed_paths, Path_Id(path)); }

bool Check_Path_Pending(const WCHAR* path) {
    return !The_Pass.pending_paths.empty() && The_Pass.pending_paths.count(Path_Id(path)) != 0;
}

void Check_Record_Path(const WCHAR* path) {
    The_Pass.removed_paths.insert(Path_Id(path));
    Add_Item(path);
}
