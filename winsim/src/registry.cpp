// The registry calls of ADVAPI32 over the machine's keys, as a 64-bit process sees them.
//
// An open key is an entry of this file's own table (registry keys are not kernel handles on Windows):
// the hive and the physical path it was opened at, the access granted, and whether the key has since
// been deleted. Every call finds the key again by that path, so a handle never holds a pointer into
// the tree; a key deleted through RegDeleteKeyW stays deleted for the handles open on it, even when a
// key of the same name is created again, and answers ERROR_KEY_DELETED.
//
// Each call first asks Machine::Take_Fault with its own name and, as subject, the physical path it
// addresses ("HKEY_LOCAL_MACHINE\SOFTWARE\Wow6432Node\X"; keys of HKEY_CLASSES_ROOT are named below
// HKEY_LOCAL_MACHINE\SOFTWARE\Classes), followed by "\" and the value name for the value calls.
// The calls that change the registry also append "API subject" to Machine::calls.
// Key times and security descriptors are not modelled: RegEnumKeyExW and RegQueryInfoKeyW report a
// zero FILETIME and a zero descriptor size.
#include "machine.h"
#include "wow64.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <mutex>
#include <vector>

using namespace winsim;

namespace {

// Rights that writing to a key or deleting it needs; a protected key refuses every one of them.
constexpr REGSAM kWriteAccess =
    KEY_SET_VALUE | KEY_CREATE_SUB_KEY | KEY_CREATE_LINK | DELETE | WRITE_DAC | WRITE_OWNER;
constexpr DWORD kMaxValueName = 16383;

struct Key_Place {
    bool machine_hive = true;
    std::vector<Text> path;  // physical names below the hive's root
};

struct Open_Key {
    Key_Place place;
    REGSAM access = 0;
    bool deleted = false;
};

// The open keys, by handle value; guarded by the machine's lock like everything else here.
struct Key_Table {
    std::map<HKEY, Open_Key> keys;
    uintptr_t next = 0x100;
};

Key_Table& Table() {
    static Key_Table* table = new Key_Table();  // never destroyed: the tool may close keys during exit
    return *table;
}

bool Is_Predefined(HKEY key) {
    return key == HKEY_LOCAL_MACHINE || key == HKEY_CURRENT_USER || key == HKEY_CLASSES_ROOT;
}

// What a handle stands for: a predefined root (all rights) or an open key of the table.
struct Base {
    Key_Place place;
    REGSAM access = KEY_ALL_ACCESS;
    bool deleted = false;
    bool predefined = false;
};

bool Find_Base(HKEY key, Base& base) {
    base = Base();
    if (key == HKEY_LOCAL_MACHINE || key == HKEY_CURRENT_USER) {
        base.place.machine_hive = key == HKEY_LOCAL_MACHINE;
        base.predefined = true;
        return true;
    }
    if (key == HKEY_CLASSES_ROOT) {
        The_Machine().Root_Key(HKEY_CLASSES_ROOT);  // the machine always has its classes key
        base.place.path = {u"SOFTWARE", u"Classes"};
        base.predefined = true;
        return true;
    }
    auto found = Table().keys.find(key);
    if (found == Table().keys.end()) return false;
    base.place = found->second.place;
    base.access = found->second.access;
    base.deleted = found->second.deleted;
    return true;
}

Reg_Key* Find_Key(const Key_Place& place) {
    Machine& machine = The_Machine();
    Reg_Key* key = place.machine_hive ? &machine.hklm : &machine.hkcu;
    for (const Text& name : place.path) {
        key = key->Find_Subkey(name);
        if (!key) return nullptr;
    }
    return key;
}

Text Path_Text(const Key_Place& place) {
    Text text = place.machine_hive ? u"HKEY_LOCAL_MACHINE" : u"HKEY_CURRENT_USER";
    for (const Text& name : place.path) text += u"\\" + name;
    return text;
}

// Splits a subkey path into names; doubled and trailing backslashes add no name, as on Windows.
// A path that begins with a backslash is refused with ERROR_BAD_PATHNAME.
LSTATUS Split_Subkey(LPCWSTR sub_key, std::vector<Text>& names) {
    names.clear();
    Text text = From_Wide_Pointer(sub_key);
    if (!text.empty() && text[0] == u'\\') return ERROR_BAD_PATHNAME;
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find(u'\\', start);
        if (end == Text::npos) end = text.size();
        if (end > start) names.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return ERROR_SUCCESS;
}

// The physical place that a call on base with sub_key and the view flags of sam addresses.
Key_Place Target_Place(const Base& base, const std::vector<Text>& names, REGSAM sam) {
    Key_Place place = base.place;
    place.path.insert(place.path.end(), names.begin(), names.end());
    if (sam & KEY_WOW64_32KEY) place.path = Path_In_32Bit_View(place.machine_hive, place.path);
    return place;
}

// The physical path a call addresses, its subject for fault injection; the subkey text alone when
// the handle does not resolve.
Text Call_Subject(HKEY key, LPCWSTR sub_key, REGSAM sam = 0) {
    Base base;
    if (!Find_Base(key, base)) return From_Wide_Pointer(sub_key);
    std::vector<Text> names;
    Split_Subkey(sub_key, names);
    return Path_Text(Target_Place(base, names, sam));
}

REGSAM Map_Access(REGSAM sam, const Reg_Key& key) {
    REGSAM access = sam & ~(KEY_WOW64_32KEY | KEY_WOW64_64KEY | GENERIC_READ | GENERIC_WRITE |
                            GENERIC_EXECUTE | GENERIC_ALL | MAXIMUM_ALLOWED);
    if (sam & GENERIC_READ) access |= KEY_READ;
    if (sam & GENERIC_WRITE) access |= KEY_WRITE;
    if (sam & GENERIC_EXECUTE) access |= KEY_EXECUTE;
    if (sam & GENERIC_ALL) access |= KEY_ALL_ACCESS;
    if (sam & MAXIMUM_ALLOWED) access |= key.write_protected ? KEY_READ : KEY_ALL_ACCESS;
    return access;
}

HKEY Add_Open_Key(const Key_Place& place, REGSAM access) {
    Key_Table& table = Table();
    HKEY handle = reinterpret_cast<HKEY>(table.next);
    table.next += 4;
    table.keys[handle] = Open_Key{place, access, false};
    return handle;
}

bool Same_Place(const Key_Place& a, const Key_Place& b) {
    if (a.machine_hive != b.machine_hive || a.path.size() != b.path.size()) return false;
    for (size_t i = 0; i < a.path.size(); ++i)
        if (!Same_Name(a.path[i], b.path[i])) return false;
    return true;
}

// The key behind an open handle for a call that needs the given rights: ERROR_INVALID_HANDLE,
// ERROR_ACCESS_DENIED when the handle lacks them, ERROR_KEY_DELETED for a key deleted meanwhile.
LSTATUS Open_Handle_Key(HKEY handle, REGSAM needed, Reg_Key** key, Key_Place* place = nullptr) {
    Base base;
    if (!Find_Base(handle, base)) return ERROR_INVALID_HANDLE;
    if ((base.access & needed) != needed) return ERROR_ACCESS_DENIED;
    if (base.deleted) return ERROR_KEY_DELETED;
    *key = Find_Key(base.place);
    if (!*key) return ERROR_KEY_DELETED;
    if (place) *place = base.place;
    return ERROR_SUCCESS;
}

Text Value_Subject(HKEY handle, LPCWSTR value_name) {
    return Call_Subject(handle, nullptr) + u"\\" + From_Wide_Pointer(value_name);
}

bool Is_String_Type(DWORD type) { return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ; }

// Copies a name with its terminator into a caller's buffer of *length characters.
LSTATUS Return_Name(const Text& name, LPWSTR buffer, LPDWORD length) {
    if (name.size() + 1 > *length) return ERROR_MORE_DATA;
    std::copy(name.begin(), name.end(), buffer);
    buffer[name.size()] = 0;
    *length = DWORD(name.size());
    return ERROR_SUCCESS;
}

// The data part of RegQueryValueExW and RegEnumValueW.
LSTATUS Return_Data(const Reg_Value& value, LPDWORD type, LPBYTE data, LPDWORD data_size) {
    if (type) *type = value.type;
    if (!data_size) return ERROR_SUCCESS;
    DWORD size = DWORD(value.data.size());
    if (data && *data_size < size) {
        *data_size = size;
        return ERROR_MORE_DATA;
    }
    if (data && size) std::memcpy(data, value.data.data(), size);
    *data_size = size;
    return ERROR_SUCCESS;
}

}  // namespace

LSTATUS RegOpenKeyExW(HKEY key, LPCWSTR sub_key, DWORD, REGSAM sam, PHKEY result) {
    Machine& machine = The_Machine();
    std::lock_guard<std::recursive_mutex> guard(machine.lock);
    DWORD fault;
    if (machine.Take_Fault("RegOpenKeyExW", Call_Subject(key, sub_key, sam), &fault)) return LSTATUS(fault);
    if (!result) return ERROR_INVALID_PARAMETER;
    Base base;
    if (!Find_Base(key, base)) return ERROR_INVALID_HANDLE;
    if (base.deleted || !Find_Key(base.place)) return ERROR_KEY_DELETED;
    std::vector<Text> names;
    if (LSTATUS status = Split_Subkey(sub_key, names)) return status;
    Key_Place place = Target_Place(base, names, sam);
    Reg_Key* target = Find_Key(place);
    if (!target) return ERROR_FILE_NOT_FOUND;
    REGSAM access = Map_Access(sam, *target);
    if (target->write_protected && (access & kWriteAccess)) return ERROR_ACCESS_DENIED;
    *result = Add_Open_Key(place, access);
    return ERROR_SUCCESS;
}

LSTATUS RegCloseKey(HKEY key) {
    Machine& machine = The_Machine();
    std::lock_guard<std::recursive_mutex> guard(machine.lock);
    DWORD fault;
    if (machine.Take_Fault("RegCloseKey", Call_Subject(key, nullptr), &fault)) return LSTATUS(fault);
    if (Is_Predefined(key)) return ERROR_SUCCESS;
    return Table().keys.erase(key) ? ERROR_SUCCESS : ERROR_INVALID_HANDLE;
}

LSTATUS RegCreateKeyExW(HKEY key, LPCWSTR sub_key, DWORD, LPWSTR, DWORD, REGSAM sam, LPSECURITY_ATTRIBUTES,
                        PHKEY result, LPDWORD disposition) {
    Machine& machine = The_Machine();
    std::lock_guard<std::recursive_mutex> guard(machine.lock);
    DWORD fault;
    Text subject = Call_Subject(key, sub_key, sam);
    if (machine.Record_Call("RegCreateKeyExW", subject, &fault)) return LSTATUS(fault);
    if (!result) return ERROR_INVALID_PARAMETER;
    Base base;
    if (!Find_Base(key, base)) return ERROR_INVALID_HANDLE;
    if (base.deleted || !Find_Key(base.place)) return ERROR_KEY_DELETED;
    std::vector<Text> names;
    if (LSTATUS status = Split_Subkey(sub_key, names)) return status;
    Key_Place place = Target_Place(base, names, sam);

    // Walk down from the hive's root; each missing key is created under a parent that allows it.
    Reg_Key* target = place.machine_hive ? &machine.hklm : &machine.hkcu;
    DWORD created = REG_OPENED_EXISTING_KEY;
    for (const Text& name : place.path) {
        Reg_Key* next = target->Find_Subkey(name);
        if (!next) {
            if (target->write_protected) return ERROR_ACCESS_DENIED;
            next = target->Add_Subkey(name);
            created = REG_CREATED_NEW_KEY;
        }
        target = next;
    }
    REGSAM access = Map_Access(sam, *target);
    if (target->write_protected && (access & kWriteAccess)) return ERROR_ACCESS_DENIED;
    *result = Add_Open_Key(place, access);
    if (disposition) *disposition = created;
    return ERROR_SUCCESS;
}

LSTATUS RegDeleteKeyW(HKEY key, LPCWSTR sub_key) {
    Machine& machine = The_Machine();
    std::lock_guard<std::recursive_mutex> guard(machine.lock);
    DWORD fault;
    Text subject = Call_Subject(key, sub_key);
    if (machine.Record_Call("RegDeleteKeyW", subject, &fault)) return LSTATUS(fault);
    if (!sub_key) return ERROR_INVALID_PARAMETER;
    Base base;
    if (!Find_Base(key, base)) return ERROR_INVALID_HANDLE;
    if (base.deleted || !Find_Key(base.place)) return ERROR_KEY_DELETED;
    std::vector<Text> names;
    if (LSTATUS status = Split_Subkey(sub_key, names)) return status;
    Key_Place place = Target_Place(base, names, 0);
    if (place.path.empty()) return ERROR_ACCESS_DENIED;  // the root of a hive
    Reg_Key* target = Find_Key(place);
    if (!target) return ERROR_FILE_NOT_FOUND;
    if (target->write_protected || !target->subkeys.empty()) return ERROR_ACCESS_DENIED;

    Key_Place parent_place = place;
    parent_place.path.pop_back();
    Find_Key(parent_place)->Remove_Subkey(place.path.back());
    for (auto& open : Table().keys)
        if (Same_Place(open.second.place, place)) open.second.deleted = true;
    return ERROR_SUCCESS;
}

LSTATUS RegDeleteValueW(HKEY key, LPCWSTR value_name) {
    Machine& machine = The_Machine();
    std::lock_guard<std::recursive_mutex> guard(machine.lock);
    DWORD fault;
    Text subject = Value_Subject(key, value_name);
    if (machine.Record_Call("RegDeleteValueW", subject, &fault)) return LSTATUS(fault);
    Reg_Key* target;
    if (LSTATUS status = Open_Handle_Key(key, KEY_SET_VALUE, &target)) return status;
    if (target->write_protected) return ERROR_ACCESS_DENIED;
    return target->Remove_Value(From_Wide_Pointer(value_name)) ? ERROR_SUCCESS : ERROR_FILE_NOT_FOUND;
}

LSTATUS RegEnumKeyExW(HKEY key, DWORD index, LPWSTR name, LPDWORD name_length, LPDWORD, LPWSTR class_name,
                      LPDWORD class_length, PFILETIME last_write_time) {
    Machine& machine = The_Machine();
    std::lock_guard<std::recursive_mutex> guard(machine.lock);
    DWORD fault;
    if (machine.Take_Fault("RegEnumKeyExW", Call_Subject(key, nullptr), &fault)) return LSTATUS(fault);
    Reg_Key* target;
    if (LSTATUS status = Open_Handle_Key(key, KEY_ENUMERATE_SUB_KEYS, &target)) return status;
    if (!name || !name_length) return ERROR_INVALID_PARAMETER;
    if (index >= target->subkeys.size()) return ERROR_NO_MORE_ITEMS;
    if (LSTATUS status = Return_Name(target->subkeys[index]->name, name, name_length)) return status;
    if (class_length) {
        if (class_name && *class_length) class_name[0] = 0;
        *class_length = 0;
    }
    if (last_write_time) *last_write_time = FILETIME{0, 0};
    return ERROR_SUCCESS;
}

LSTATUS RegEnumValueW(HKEY key, DWORD index, LPWSTR name, LPDWORD name_length, LPDWORD reserved, LPDWORD type,
                      LPBYTE data, LPDWORD data_size) {
    Machine& machine = The_Machine();
    std::lock_guard<std::recursive_mutex> guard(machine.lock);
    DWORD fault;
    if (machine.Take_Fault("RegEnumValueW", Call_Subject(key, nullptr), &fault)) return LSTATUS(fault);
    if (reserved || !name || !name_length || (data && !data_size)) return ERROR_INVALID_PARAMETER;
    Reg_Key* target;
    if (LSTATUS status = Open_Handle_Key(key, KEY_QUERY_VALUE, &target)) return status;
    if (index >= target->values.size()) return ERROR_NO_MORE_ITEMS;
    const Reg_Value& value = target->values[index];
    if (LSTATUS status = Return_Name(value.name, name, name_length)) return status;
    return Return_Data(value, type, data, data_size);
}

LSTATUS RegQueryInfoKeyW(HKEY key, LPWSTR class_name, LPDWORD class_length, LPDWORD, LPDWORD sub_keys,
                         LPDWORD max_sub_key_length, LPDWORD max_class_length, LPDWORD values,
                         LPDWORD max_value_name_length, LPDWORD max_value_length,
                         LPDWORD security_descriptor_size, PFILETIME last_write_time) {
    Machine& machine = The_Machine();
    std::lock_guard<std::recursive_mutex> guard(machine.lock);
    DWORD fault;
    if (machine.Take_Fault("RegQueryInfoKeyW", Call_Subject(key, nullptr), &fault)) return LSTATUS(fault);
    Reg_Key* target;
    if (LSTATUS status = Open_Handle_Key(key, KEY_QUERY_VALUE, &target)) return status;
    if (class_length) {
        if (class_name && *class_length) class_name[0] = 0;
        *class_length = 0;
    }
    DWORD longest_key = 0, longest_name = 0, largest_data = 0;
    for (const auto& subkey : target->subkeys)
        longest_key = std::max(longest_key, DWORD(subkey->name.size()));
    for (const Reg_Value& value : target->values) {
        longest_name = std::max(longest_name, DWORD(value.name.size()));
        largest_data = std::max(largest_data, DWORD(value.data.size()));
    }
    if (sub_keys) *sub_keys = DWORD(target->subkeys.size());
    if (max_sub_key_length) *max_sub_key_length = longest_key;
    if (max_class_length) *max_class_length = 0;
    if (values) *values = DWORD(target->values.size());
    if (max_value_name_length) *max_value_name_length = longest_name;
    if (max_value_length) *max_value_length = largest_data;
    if (security_descriptor_size) *security_descriptor_size = 0;
    if (last_write_time) *last_write_time = FILETIME{0, 0};
    return ERROR_SUCCESS;
}

LSTATUS RegQueryValueExW(HKEY key, LPCWSTR value_name, LPDWORD reserved, LPDWORD type, LPBYTE data,
                         LPDWORD data_size) {
    Machine& machine = The_Machine();
    std::lock_guard<std::recursive_mutex> guard(machine.lock);
    DWORD fault;
    if (machine.Take_Fault("RegQueryValueExW", Value_Subject(key, value_name), &fault)) return LSTATUS(fault);
    if (reserved || (data && !data_size)) return ERROR_INVALID_PARAMETER;
    Reg_Key* target;
    if (LSTATUS status = Open_Handle_Key(key, KEY_QUERY_VALUE, &target)) return status;
    const Reg_Value* value = target->Find_Value(From_Wide_Pointer(value_name));
    if (!value) return ERROR_FILE_NOT_FOUND;
    return Return_Data(*value, type, data, data_size);
}

LSTATUS RegSetValueExW(HKEY key, LPCWSTR value_name, DWORD, DWORD type, const BYTE* data, DWORD data_size) {
    Machine& machine = The_Machine();
    std::lock_guard<std::recursive_mutex> guard(machine.lock);
    DWORD fault;
    Text subject = Value_Subject(key, value_name);
    if (machine.Record_Call("RegSetValueExW", subject, &fault)) return LSTATUS(fault);
    Reg_Key* target;
    if (LSTATUS status = Open_Handle_Key(key, KEY_SET_VALUE, &target)) return status;
    if (target->write_protected) return ERROR_ACCESS_DENIED;
    Text name = From_Wide_Pointer(value_name);
    if (name.size() > kMaxValueName) return ERROR_INVALID_PARAMETER;
    if (!data && data_size) return ERROR_NOACCESS;
    // A string whose size leaves out the terminator that follows it in memory is stored with that
    // terminator, as Windows does; a string without one in memory is stored as given.
    DWORD size = data_size;
    if (Is_String_Type(type) && size >= 2 && size % 2 == 0) {
        const BYTE* last = data + size - 2;
        if ((last[0] || last[1]) && !data[size] && !data[size + 1]) size += 2;
    }
    target->Set_Value(name, type, std::vector<uint8_t>(data, data + size));
    return ERROR_SUCCESS;
}
