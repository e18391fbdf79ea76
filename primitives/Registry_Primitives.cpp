#include "primitives/Registry_Primitives.h"

#include <winternl.h>

#include <vector>

#include "diagnostics/Log_Indent.h"
#include "diagnostics/Log_Report.h"
#include "foundation/Lib_Path.h"
#include "primitives/Live_Changes.h"
#include "primitives/Registry_Backup.h"

// Deletes the key of a handle; the one call Windows has that deletes a symbolic link key itself (the
// registry functions of ADVAPI32 open a key by name to delete it, which follows a link to its target).
// Documented as ZwDeleteKey; ntdll exports it to user mode as NtDeleteKey. The SDK headers do not
// declare it.
extern "C" NTSTATUS NTAPI NtDeleteKey(HANDLE key_handle);

namespace {

// Name buffers of the enumeration, in characters with the terminating zero.
const DWORD Subkey_Name_Size = 260;
const DWORD Value_Name_Size = 16383;
// The characters of a value read that fit on the stack: display names, codes and folder paths do.
const DWORD Value_On_Stack_Size = 512;

// The log's labels for an enumerated name that holds a zero character.
const WCHAR* const Subkey_With_Zero_Label = TEXT("Not listed (registry key name with a zero character, shown up to it): ");
const WCHAR* const Value_With_Zero_Label = TEXT("Not listed (registry value name with a zero character, shown up to it): ");

void Record(Lib_Result& result, LSTATUS status) { result.Set(status, Lib_Result_Source_System); }

bool Is_Missing(LSTATUS status) { return status == ERROR_FILE_NOT_FOUND || status == ERROR_PATH_NOT_FOUND; }

// Whether an open key has neither subkeys nor values; a failure is reported as the emptiness test's.
bool Open_Key_Is_Empty(HKEY key, bool& is_empty, Lib_Result& result) {
    DWORD subkey_count = 0;
    DWORD value_count = 0;
    LSTATUS status = RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, &subkey_count, nullptr, nullptr, &value_count,
                                      nullptr, nullptr, nullptr, nullptr);
    if (status != ERROR_SUCCESS) {
        Record(result, status);
        Report_System_Error(TEXT("RegQueryInfoKey"), status);
        Trace_Exit_Scope(TEXT("Is_Registry_Key_Empty"));
        return false;
    }
    is_empty = subkey_count == 0 && value_count == 0;
    return true;
}

// Counts and names of an open key's subkeys and values, in enumeration order; the log names the key
// by shown_path.
bool List_Open_Key(HKEY key, const WCHAR* shown_path, Lib_String_List& subkeys, Lib_String_List& values,
                   Lib_Result& result);

// Deletes the key named name below parent, as itself: a symbolic link goes as the link, never as the
// key it points to. It is opened with REG_OPTION_OPEN_LINK and DELETE, as RegDeleteKeyW opens it but
// for the link option, and deleted through that handle; failures are reported as RegDeleteKey's. The
// log shows display_path.
bool Delete_Key_Itself(HKEY parent, const WCHAR* name, const WCHAR* display_path, Lib_Result& result) {
    Log_Info_Detail(TEXT("Deleting registry key: "), display_path);
    Owned_Key key;
    LSTATUS status = RegOpenKeyExW(parent, name, REG_OPTION_OPEN_LINK, DELETE, key.Receive());
    if (status == ERROR_SUCCESS) {
        status = static_cast<LSTATUS>(RtlNtStatusToDosError(NtDeleteKey(key.Get())));
        key.Close();
        if (status == ERROR_SUCCESS) ++Removed_So_Far().keys;
    }
    if (status == ERROR_SUCCESS || status == ERROR_FILE_NOT_FOUND) return true;
    Record(result, status);
    Report_System_Error(TEXT("RegDeleteKey"), status);
    Trace_Exit_Scope(TEXT("Delete_Registry_Key"));
    return false;
}

// Deletes the tree of the key named name below parent, children first. Every key of the tree is opened
// through its parent's open handle by its one name, with REG_OPTION_OPEN_LINK: a symbolic link in the
// tree is listed and deleted as the link it is (it has no subkeys), and a key replaced by a link while
// the walk runs is never followed. The log shows display_path and the paths below it.
bool Delete_Tree(HKEY parent, const WCHAR* name, const WCHAR* display_path, Lib_Result& result) {
    Owned_Key key;
    LSTATUS status = RegOpenKeyExW(parent, name, REG_OPTION_OPEN_LINK, KEY_READ, key.Receive());
    if (Is_Missing(status)) return true;
    if (status != ERROR_SUCCESS) {
        Record(result, status);
        Report_System_Error(TEXT("RegOpenKeyEx"), status);
        return false;
    }

    // Every child name is collected before anything is deleted, so deletions never disturb the
    // enumeration indices.
    Lib_String_List children;
    Lib_String_List values;
    if (!List_Open_Key(key.Get(), display_path, children, values, result)) return false;
    for (const Lib_StringW& child : children) {
        Lib_StringW child_path;
        Combine_Path(display_path, nullptr, child.Get_Text(), child_path);
        if (!Delete_Tree(key.Get(), child.Get_Text(), child_path.Get_Text(), result)) break;
    }

    // Whether the key is empty now; a key whose subkeys could not all be removed then fails to delete,
    // which is reported; its values never stop the deletion.
    bool is_empty = false;
    if (!Open_Key_Is_Empty(key.Get(), is_empty, result)) return false;
    return Delete_Key_Itself(parent, name, display_path, result);
}

// Adds an enumerated name of the given length to the list. A name that holds a zero character (the
// native API can make one) is longer than its text, which every call that takes the name as text would
// cut at the zero: it would reach another key or value, and an empty text the parent key itself, whose
// tree deletion would then start again on itself. Such a name is logged with the parent's path and its
// text up to the zero, and left out.
void Add_Listed_Name(const WCHAR* name, DWORD length, const WCHAR* kind_label, const WCHAR* shown_path,
                     Lib_String_List& names) {
    Lib_StringW text(name);
    if (text.Get_Length() == length) {
        names.push_back(text);
        return;
    }
    Lib_StringW shown(shown_path);
    if (shown.Is_Empty() || shown.Get_Text()[shown.Get_Length() - 1] != TEXT('\\')) shown.Append(TEXT("\\"));
    shown.Append(text);
    Log_Info_Detail(kind_label, shown);
}

bool List_Open_Key(HKEY key, const WCHAR* shown_path, Lib_String_List& subkeys, Lib_String_List& values,
                   Lib_Result& result) {
    DWORD subkey_count = 0;
    DWORD value_count = 0;
    LSTATUS status = RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, &subkey_count, nullptr, nullptr,
                                      &value_count, nullptr, nullptr, nullptr, nullptr);
    if (status != ERROR_SUCCESS) {
        Record(result, status);
        Report_System_Error(TEXT("RegQueryInfoKey"), status);
        Trace_Exit_Scope(TEXT("Enum_Sub_Keys_And_Values_In_Registry_Key"));
        return false;
    }

    subkeys.clear();
    subkeys.reserve(subkey_count);
    for (DWORD index = 0; index < subkey_count; ++index) {
        WCHAR name[Subkey_Name_Size] = {};
        DWORD length = Subkey_Name_Size;
        status = RegEnumKeyExW(key, index, name, &length, nullptr, nullptr, nullptr, nullptr);
        if (status == ERROR_SUCCESS) {
            Add_Listed_Name(name, length, Subkey_With_Zero_Label, shown_path, subkeys);
        } else if (status != ERROR_NO_MORE_ITEMS) {
            Record(result, status);
            Report_System_Error(TEXT("RegEnumKeyEx"), status);
            Trace_Exit_Scope(TEXT("Enum_Sub_Keys_And_Values_In_Registry_Key"));
            subkeys.clear();
            return false;
        }
    }

    values.clear();
    values.reserve(value_count);
    std::vector<WCHAR> name(Value_Name_Size, 0);
    for (DWORD index = 0; index < value_count; ++index) {
        DWORD length = Value_Name_Size;
        status = RegEnumValueW(key, index, name.data(), &length, nullptr, nullptr, nullptr, nullptr);
        if (status == ERROR_SUCCESS) {
            Add_Listed_Name(name.data(), length, Value_With_Zero_Label, shown_path, values);
        } else if (status != ERROR_NO_MORE_ITEMS) {
            Record(result, status);
            Report_System_Error(TEXT("RegEnumValue"), status);
            subkeys.clear();
            values.clear();
            Trace_Exit_Scope(TEXT("Enum_Sub_Keys_And_Values_In_Registry_Key"));
            return false;
        }
    }
    return true;
}

}  // namespace

Lib_StringW Without_Trailing_Separators(const WCHAR* key_path) {
    Lib_StringW path(key_path);
    long long length = path.Get_Length();
    while (length > 0 && path.Get_Text()[length - 1] == TEXT('\\')) --length;
    if (length == path.Get_Length()) return path;
    std::vector<WCHAR> trimmed(path.Get_Text(), path.Get_Text() + length);
    trimmed.push_back(0);
    return Lib_StringW(trimmed.data());
}

// Opens the parent of the deletions in one view. With links refused the parent is opened as itself
// (REG_OPTION_OPEN_LINK) and a link (its value SymbolicLinkValue is REG_LINK) is left alone, logged:
// what a link points to is not the hive's. A failure to look is the open's failure, reported as
// RegQueryValueEx's: nothing below the key is touched.
LSTATUS Open_Deletion_Parent(HKEY root, const WCHAR* parent_path, REGSAM view, bool links_refused, Owned_Key& parent,
                    bool& is_link, const WCHAR*& call) {
    is_link = false;
    call = TEXT("RegOpenKeyEx");
    REGSAM access = KEY_SET_VALUE | view | (links_refused ? KEY_QUERY_VALUE : 0);
    LSTATUS status = RegOpenKeyExW(root, parent_path, links_refused ? REG_OPTION_OPEN_LINK : 0, access,
                                   parent.Receive());
    if (status != ERROR_SUCCESS || !links_refused) return status;
    DWORD type = 0;
    status = RegQueryValueExW(parent.Get(), TEXT("SymbolicLinkValue"), nullptr, &type, nullptr, nullptr);
    if (status == ERROR_FILE_NOT_FOUND || (status == ERROR_SUCCESS && type != REG_LINK)) return ERROR_SUCCESS;
    parent.Close();
    if (status != ERROR_SUCCESS) {
        call = TEXT("RegQueryValueEx");
        return status;
    }
    is_link = true;
    Log_Info_Detail(TEXT("Left alone (registry link): "), parent_path);
    return ERROR_SUCCESS;
}


// The key is opened by its path without trailing backslashes; the log shows the path as given.
bool Live_Changes::Delete_Registry_Key(HKEY root, const WCHAR* key_path, Lib_Result& result) {
    Backup_Key_Tree(root, Without_Trailing_Separators(key_path).Get_Text());
    return Delete_Key_Itself(root, Without_Trailing_Separators(key_path).Get_Text(), key_path, result);
}

bool Live_Changes::Delete_Registry_Key_Recursive(HKEY root, const WCHAR* key_path, Lib_Result& result) {
    Backup_Key_Tree(root, Without_Trailing_Separators(key_path).Get_Text());
    return Delete_Tree(root, Without_Trailing_Separators(key_path).Get_Text(), key_path, result);
}

bool Live_Changes::Delete_Registry_Keys_In_Path(HKEY root, const WCHAR* parent_path, const WCHAR* subkey_name,
                                                Lib_Result& result) {
    return Delete_Keys_In_Path(root, parent_path, subkey_name, result, false);
}

bool Live_Changes::Delete_Registry_Keys_In_User_Hive(HKEY root, const WCHAR* parent_path, const WCHAR* subkey_name,
                                                     Lib_Result& result) {
    return Delete_Keys_In_Path(root, parent_path, subkey_name, result, true);
}

bool Live_Changes::Delete_Keys_In_Path(HKEY root, const WCHAR* parent_path, const WCHAR* subkey_name,
                                       Lib_Result& result, bool links_refused) {
    Owned_Key native_parent;
    bool native_done = false, is_link = false;
    const WCHAR* call = nullptr;
    LSTATUS status = Open_Deletion_Parent(root, parent_path, 0, links_refused, native_parent, is_link, call);
    if (is_link) {
        native_done = true;
    } else if (status == ERROR_SUCCESS) {
        Log_Info_Detail(TEXT("Deleting registry keys in path (KEY_SET_VALUE): "), parent_path);
        Log_Indent();
        native_done = Delete_Registry_Key_Recursive(native_parent.Get(), subkey_name, result);
        Log_Unindent();
    } else {
        native_parent.Release();
        Record(result, status);
        Report_System_Error(call, status);
    }

    // The caller's record keeps the first view that failed.
    Lib_Result scratch;
    Lib_Result& wow64_result = native_done ? result : scratch;
    Owned_Key wow64_parent;
    bool wow64_done = false;
    status = Open_Deletion_Parent(root, parent_path, KEY_WOW64_32KEY, links_refused, wow64_parent, is_link, call);
    if (is_link) {
        wow64_done = true;
    } else if (status == ERROR_SUCCESS) {
        Log_Info_Detail(TEXT("Deleting registry keys in path (KEY_SET_VALUE | KEY_WOW64_32KEY): "), parent_path);
        Log_Indent();
        wow64_done = Delete_Registry_Key_Recursive(wow64_parent.Get(), subkey_name, wow64_result);
        Log_Unindent();
    } else {
        wow64_parent.Release();
        Report_System_Error(call, status);
        if (native_done) Record(result, status);
    }
    native_parent.Close();  // the keys are closed in the order they were opened
    return native_done && wow64_done;
}

bool Live_Changes::Delete_Registry_Value(HKEY root, const WCHAR* key_path, const WCHAR* value_name,
                                         Lib_Result& result, REGSAM view_flags) {
    Log_Info_Detail(TEXT("Deleting registry value: "), value_name);
    Log_Info_Code(TEXT("REGSAM: "), static_cast<int32_t>(view_flags));
    Backup_Value(root, key_path, value_name, view_flags);
    Owned_Key key;
    LSTATUS status = RegOpenKeyExW(root, key_path, 0, view_flags | KEY_SET_VALUE, key.Receive());
    if (status != ERROR_SUCCESS) {
        Record(result, status);
        Report_System_Error(TEXT("RegOpenKeyEx"), status);
        Trace_Exit_Scope(TEXT("Delete_Registry_Value"));
        return false;
    }
    status = RegDeleteValueW(key.Get(), value_name);
    key.Close();
    if (status == ERROR_SUCCESS) ++Removed_So_Far().values;
    if (status != ERROR_SUCCESS) {
        Record(result, status);
        Report_System_Error(TEXT("RegDeleteValue"), status);
        return false;
    }
    return true;
}

void Live_Changes::Delete_Registry_Value_Quietly(HKEY root, const WCHAR* key_path, const WCHAR* value_name,
                                                 REGSAM view_flags) {
    Backup_Value(root, key_path, value_name, view_flags);
    Owned_Key key;
    if (RegOpenKeyExW(root, key_path, 0, KEY_SET_VALUE | view_flags, key.Receive()) == ERROR_SUCCESS) {
        if (RegDeleteValueW(key.Get(), value_name) == ERROR_SUCCESS) ++Removed_So_Far().values;
    }
}

bool Enum_Sub_Keys_And_Values_In_Registry_Key(HKEY root, const WCHAR* key_path, Lib_String_List& subkeys,
                                              Lib_String_List& values, Lib_Result& result,
                                              REGSAM view_flags) {
    // A key listed in a user's hive is opened as itself: the user may have made it a link to a key
    // whose names the stage would then act on.
    const bool user_hive = root == HKEY_CURRENT_USER || root == HKEY_USERS;
    Owned_Key key;
    LSTATUS status = user_hive ? RegOpenKeyExW(root, Without_Trailing_Separators(key_path).Get_Text(),
                                               REG_OPTION_OPEN_LINK, view_flags | KEY_READ, key.Receive())
                               : RegOpenKeyExW(root, key_path, 0, view_flags | KEY_READ, key.Receive());
    if (status == ERROR_FILE_NOT_FOUND || status == ERROR_ALREADY_EXISTS) {
        // A missing key lists as empty.
        if (status == ERROR_FILE_NOT_FOUND) key.Release();
    } else if (status != ERROR_SUCCESS) {
        Record(result, status);
        Report_System_Error(TEXT("RegOpenKeyEx"), status);
        return false;
    }

    if (!key.Is_Open()) {
        subkeys.clear();
        values.clear();
        return true;
    }
    bool listed = List_Open_Key(key.Get(), key_path, subkeys, values, result);
    key.Close();
    if (listed) Changes().Drop_Deleted_Names(root, key_path, view_flags, subkeys, values);
    return listed;
}

bool Live_Changes::Is_Registry_Key_Empty(HKEY root, const WCHAR* key_path, bool& is_empty, Lib_Result& result) {
    is_empty = false;
    Owned_Key key;
    LSTATUS status = RegOpenKeyExW(root, key_path, 0, KEY_READ, key.Receive());
    if (status != ERROR_SUCCESS) {
        Record(result, status);
        Report_System_Error(TEXT("RegOpenKeyEx"), status);
        Trace_Exit_Scope(TEXT("Is_Registry_Key_Empty"));
        return false;
    }
    if (!Open_Key_Is_Empty(key.Get(), is_empty, result)) return false;
    // The one close whose outcome counts: a key that cannot be closed fails the test.
    status = RegCloseKey(key.Release());
    if (status != ERROR_SUCCESS) {
        Record(result, status);
        Report_System_Error(TEXT("RegCloseKey"), status);
        Trace_Exit_Scope(TEXT("Is_Registry_Key_Empty"));
        return false;
    }
    return true;
}

bool Is_Registry_Value_Exists(HKEY root, const WCHAR* key_path, const WCHAR* value_name, bool& exists,
                              Lib_Result& result) {
    exists = false;
    if (Changes().Registry_Value_Deleted(root, key_path, 0, value_name)) return true;
    Owned_Key key;
    LSTATUS status = RegOpenKeyExW(root, key_path, 0, KEY_READ, key.Receive());
    if (Is_Missing(status)) {
        Trace_Exit_Scope(TEXT("Is_Registry_Value_Exists"));
        return true;
    }
    if (status != ERROR_SUCCESS) {
        Record(result, status);
        Report_System_Error(TEXT("RegOpenKeyEx"), status);
        Trace_Exit_Scope(TEXT("Is_Registry_Value_Exists"));
        return false;
    }
    DWORD type = 0;
    status = RegQueryValueExW(key.Get(), value_name, nullptr, &type, nullptr, nullptr);
    key.Close();
    if (status == ERROR_SUCCESS) {
        exists = true;
        return true;
    }
    if (Is_Missing(status)) return true;
    Record(result, status);
    Report_System_Error(TEXT("RegQueryValueEx"), status);
    return false;
}

LSTATUS Query_Value_Text(HKEY key, const WCHAR* value_name, Lib_StringW& value, DWORD* type, bool& second_query) {
    // One query into a buffer on the stack that holds most values; one that does not fit is read again
    // into a buffer of the size the first query answered. Room for one more character than the data
    // holds terminates a value stored without its zero, and an odd last byte is never read as half a
    // character. A value that grew again since the first query fails the read (ERROR_MORE_DATA).
    second_query = false;
    WCHAR on_stack[Value_On_Stack_Size + 1];
    DWORD size = sizeof(WCHAR) * Value_On_Stack_Size;
    LSTATUS status = RegQueryValueExW(key, value_name, nullptr, type, reinterpret_cast<BYTE*>(on_stack), &size);
    if (status == ERROR_SUCCESS) {
        on_stack[size / sizeof(WCHAR)] = 0;
        value = on_stack;
        return ERROR_SUCCESS;
    }
    if (status != ERROR_MORE_DATA) return status;
    second_query = true;
    DWORD characters = size / sizeof(WCHAR);
    LibT_Buffer<WCHAR> buffer((characters + 1) * sizeof(WCHAR) + sizeof(WCHAR));
    if (buffer.Get_Data() == nullptr) return status;
    status = RegQueryValueExW(key, value_name, nullptr, type, reinterpret_cast<BYTE*>(buffer.Get_Data()), &size);
    if (status != ERROR_SUCCESS) return status;
    buffer.Get_Data()[size / sizeof(WCHAR)] = 0;
    value = buffer.Get_Data();
    return ERROR_SUCCESS;
}

bool Get_Registry_Value(HKEY root, const WCHAR* key_path, const WCHAR* value_name, Lib_StringW& value,
                        Lib_Result& result, REGSAM view_flags) {
    if (Changes().Registry_Value_Deleted(root, key_path, view_flags, value_name)) {
        Record(result, ERROR_FILE_NOT_FOUND);
        return false;
    }
    auto failed = [&result](const WCHAR* name, LSTATUS status) {
        Record(result, status);
        if (!Is_Missing(status)) Changes().Report_Unread(name, result);
        return false;
    };
    Owned_Key key;
    LSTATUS status = RegOpenKeyExW(root, key_path, 0, view_flags | KEY_READ, key.Receive());
    if (status != ERROR_SUCCESS) return failed(TEXT("RegOpenKeyEx"), status);
    bool second_query = false;
    status = Query_Value_Text(key.Get(), value_name, value, nullptr, second_query);
    key.Close();
    if (status == ERROR_SUCCESS) return true;
    if (!second_query) return failed(TEXT("RegQueryValueEx"), status);
    // The second read fails without a record: a value that grew again since the first.
    Lib_Result unread;
    Record(unread, status);
    Changes().Report_Unread(TEXT("RegQueryValueEx"), unread);
    return false;
}

bool Live_Changes::Set_Registry_Value(HKEY root, const WCHAR* key_path, const WCHAR* value_name, DWORD type,
                                      const BYTE* data, DWORD data_size, Lib_Result& result) {
    Trace_Enter_Scope(TEXT("Set_Registry_Value"));
    Owned_Key created;
    if (key_path != nullptr) {
        LSTATUS status = RegCreateKeyExW(root, key_path, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_WRITE, nullptr,
                                         created.Receive(), nullptr);
        if (status != ERROR_SUCCESS) {
            Record(result, status);
            Report_System_Error(TEXT("RegCreateKeyEx"), status);
            Trace_Exit_Scope(TEXT("Set_Registry_Value"));
            return false;
        }
    }
    LSTATUS status = RegSetValueExW(key_path != nullptr ? created.Get() : root, value_name, 0, type, data, data_size);
    created.Close();
    if (status != ERROR_SUCCESS) {
        Record(result, status);
        Report_System_Error(TEXT("RegSetValueEx"), status);
    }
    Trace_Exit_Scope(TEXT("Set_Registry_Value"));
    return status == ERROR_SUCCESS;
}
