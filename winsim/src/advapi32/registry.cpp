// The registry calls of ADVAPI32 over the machine's keys, as a 64-bit process sees them.
//
// An open key is an entry of this file's own table (registry keys are not kernel handles on Windows):
// the hive and the physical path it was opened at, the access granted, and whether the key has since
// been deleted. Every call finds the key again by that path, so a handle never holds a pointer into
// the tree; a key deleted through RegDeleteKeyW stays deleted for the handles open on it, even when a
// key of the same name is created again, and answers ERROR_KEY_DELETED.
//
// HKEY_CLASSES_ROOT is the merged view of HKEY_CURRENT_USER\Software\Classes over
// HKEY_LOCAL_MACHINE\SOFTWARE\Classes, at every level. A key opened there stands for the user's key and
// the machine's key of that path, those of the two that exist when it is opened (the user's first):
// - subkeys: both lists merged in the registry's order, a name present in both listed once;
// - values: the user's key's values, then the machine key's values whose names the user's key lacks;
//   a value read is the user's when the user's key has it;
// - a value is written to the user's key when there is one, else to the machine's; a value is deleted
//   from the key that holds it (the user's first);
// - a key is deleted where it lives: the user's key when there is one, else the machine's;
// - a new key is created in the machine hive, with the ancestors it lacks there, even below a key that
//   exists only in the user hive (Microsoft's "HKEY_CLASSES_ROOT Key" page; public API tests run on
//   Windows show the same);
// - KEY_WOW64_32KEY redirects each hive's part as machine/registry_views.cpp says for that hive.
// Merged enumeration keeps a cursor per handle, so walking the indices 0, 1, 2, ... costs linear time.
//
// Each call first asks Machine::Take_Fault with its own name and, as subject, the physical path it
// addresses ("HKEY_LOCAL_MACHINE\SOFTWARE\Wow6432Node\X"; a key of HKEY_CLASSES_ROOT is named by the
// hive key the call reaches: the user's when it exists, else the machine's, or where a new key would
// be created), followed by "\" and the value name for the value calls.
// The calls that change the registry also append "API subject" to Machine::calls.
// Symbolic links: a key created with REG_OPTION_CREATE_LINK (or declared by a scenario) is a link; its
// value "SymbolicLinkValue" (REG_LINK) names the target as "\Registry\Machine\..." or
// "\Registry\User\<SID of the process token's user>\...". A path is resolved name by name: a link met
// before the last name is always followed, the last name's link unless REG_OPTION_OPEN_LINK is given;
// following a link restarts the walk at its target (one look-up per name of the target). Like the
// object manager, at most 32 links are followed for one path: a longer chain, or a loop, fails with
// ERROR_INVALID_PARAMETER from Windows 10 1607 (build 14393) on and with ERROR_FILENAME_EXCED_RANGE
// before (public registry API tests run on Windows); a link whose value names no key of these hives
// fails with ERROR_FILE_NOT_FOUND. A handle keeps the physical place it resolved to, so a handle on a
// link opened with REG_OPTION_OPEN_LINK stays on the link itself.
// RegDeleteKeyW opens the key it deletes without REG_OPTION_OPEN_LINK, as Windows does: a link's
// target is what it deletes. NtDeleteKey (ntdll) deletes the key of a handle, a link itself included.
// Key times and security descriptors are not modelled: RegEnumKeyExW and RegQueryInfoKeyW report a
// zero FILETIME and a zero descriptor size.
#include "kernel32/kernel_open.h"
#include "machine/open_objects.h"
#include "machine/registry.h"
#include "machine/registry_views.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <mutex>
#include <unordered_set>
#include <vector>

using namespace winsim;

namespace {

// Rights that writing to a key or deleting it needs; a protected key refuses every one of them.
constexpr REGSAM kWriteAccess =
    KEY_SET_VALUE | KEY_CREATE_SUB_KEY | KEY_CREATE_LINK | DELETE | WRITE_DAC | WRITE_OWNER;
constexpr DWORD kMaxValueName = 16383;

// One hive's key behind a handle.
struct Part {
    Key_Place place;
    bool deleted = false;
};

// What a handle stands for: a predefined root (all rights) or an open key of the table.
struct Open_Key {
    std::vector<Part> parts;  // one key; below HKEY_CLASSES_ROOT the user's and/or the machine's
    REGSAM access = KEY_ALL_ACCESS;
    bool classes = false;            // below HKEY_CLASSES_ROOT
    std::vector<Text> classes_path;  // its names below Classes, as opened
    bool view32 = false;             // opened through the 32-bit view
    bool predefined = false;
    bool given_back = false;  // a RegCloseKey that an injected fault refused
};

// The open keys, by handle value; guarded by the machine's lock like everything else here.
struct Key_Table {
    std::map<HKEY, Open_Key> keys;
    std::map<HKEY, Merge_Cursor> subkey_cursors, value_cursors;
    uintptr_t next = 0x100;
    unsigned long long generation = 0;  // counts the changes made through these calls
};

Key_Table& Table() {
    static Key_Table* table = new Key_Table();  // never destroyed: the tool may close keys during exit
    return *table;
}

bool Is_Predefined(HKEY key) {
    return key == HKEY_LOCAL_MACHINE || key == HKEY_CURRENT_USER || key == HKEY_CLASSES_ROOT || key == HKEY_USERS;
}

// The parts of a key of HKEY_CLASSES_ROOT that exist now, the user's first.
std::vector<Part> Classes_Parts(const std::vector<Text>& names, bool view32, bool open_link = false) {
    std::vector<Part> parts;
    for (Key_Place& place : Classes_Places(names, view32, open_link)) parts.push_back(Part{std::move(place), false});
    return parts;
}

bool Find_Base(HKEY key, Open_Key& base) {
    base = Open_Key();
    if (key == HKEY_LOCAL_MACHINE || key == HKEY_CURRENT_USER) {
        base.parts = {Part{Key_Place{key == HKEY_LOCAL_MACHINE, {}}, false}};
        base.predefined = true;
        return true;
    }
    if (key == HKEY_USERS) {
        base.parts = {Part{Key_Place{false, {}, true}, false}};
        base.predefined = true;
        return true;
    }
    if (key == HKEY_CLASSES_ROOT) {
        The_Machine().Root_Key(HKEY_CLASSES_ROOT);  // the machine always has its classes key
        base.classes = true;
        base.parts = Classes_Parts({}, false);
        base.predefined = true;
        return true;
    }
    auto found = Table().keys.find(key);
    if (found == Table().keys.end()) return false;
    base = found->second;
    return true;
}

// The parts of a handle that still stand, with their keys.
std::vector<std::pair<Part, Reg_Key*>> Live_Parts(const Open_Key& base) {
    std::vector<std::pair<Part, Reg_Key*>> live;
    for (const Part& part : base.parts) {
        if (part.deleted) continue;
        if (Reg_Key* key = Find_Key(part.place)) live.emplace_back(part, key);
    }
    return live;
}

// Splits a subkey path into names; doubled and trailing backslashes add no name, as on Windows.
// A path that begins with a backslash is refused with ERROR_BAD_PATHNAME.
LSTATUS Split_Subkey(LPCWSTR sub_key, std::vector<Text>& names) {
    names.clear();
    Text text = From_Wide_Pointer(sub_key);
    if (!text.empty() && text[0] == u'\\') return ERROR_BAD_PATHNAME;
    names = Split_Names(text);
    return ERROR_SUCCESS;
}

// The key that a call on base with sub_key and the view flags of sam addresses.
struct Target {
    bool classes = false;
    std::vector<Text> classes_path;
    bool view32 = false;
    std::vector<Part> parts;  // the existing parts of a classes key
    Key_Place place;          // a plain key; for a classes key, the part the call reaches
    LSTATUS error = 0;        // a link on the way leads nowhere
    bool creatable = true;    // see Resolved
};

Target Make_Target(const Open_Key& base, const std::vector<Text>& names, REGSAM sam, bool open_link = false) {
    Target target;
    if (!base.classes) {
        target.place = base.parts.empty() ? Key_Place() : base.parts.front().place;
        target.place.path.insert(target.place.path.end(), names.begin(), names.end());
        if ((sam & KEY_WOW64_32KEY) && target.place.users && !target.place.path.empty()) {
            // a hive of HKEY_USERS has a user's views below its root
            std::vector<Text> below(target.place.path.begin() + 1, target.place.path.end());
            below = Path_In_32Bit_View(false, below);
            below.insert(below.begin(), target.place.path[0]);
            target.place.path = below;
        } else if (sam & KEY_WOW64_32KEY) {
            target.place.path = Path_In_32Bit_View(target.place.machine_hive, target.place.path);
        }
        Resolved resolved = Resolve(target.place, open_link);
        target.place = resolved.place;
        target.error = resolved.error;
        target.creatable = resolved.creatable;
        return target;
    }
    target.classes = true;
    target.classes_path = base.classes_path;
    target.classes_path.insert(target.classes_path.end(), names.begin(), names.end());
    target.view32 = base.view32 || (sam & KEY_WOW64_32KEY);
    target.parts = Classes_Parts(target.classes_path, target.view32, open_link);
    if (!target.parts.empty()) {
        target.place = target.parts.front().place;
        return target;
    }
    // A key that exists in neither hive is the machine's to create.
    Resolved resolved = Resolve(Classes_Place(true, target.classes_path, target.view32), open_link);
    target.place = resolved.place;
    target.error = resolved.error;
    target.creatable = resolved.creatable;
    return target;
}

// The physical path a call addresses, its subject for fault injection; the subkey text alone when
// the handle does not resolve.
Text Call_Subject(HKEY key, LPCWSTR sub_key, REGSAM sam = 0, bool open_link = false) {
    Open_Key base;
    if (!Find_Base(key, base)) return From_Wide_Pointer(sub_key);
    std::vector<Text> names;
    Split_Subkey(sub_key, names);
    if (base.classes && names.empty()) {
        auto live = Live_Parts(base);
        if (!live.empty()) return Path_Text(live.front().first.place);
    }
    // A call on the handle itself addresses the key it was opened on, a link included.
    if (names.empty() && !base.parts.empty() && !(sam & KEY_WOW64_32KEY)) return Path_Text(base.parts.front().place);
    return Path_Text(Make_Target(base, names, sam, open_link).place);
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

// A new handle for the target, whose parts (or place) exist.
HKEY Add_Open_Key(const Target& target, REGSAM access) {
    Key_Table& table = Table();
    HKEY handle = reinterpret_cast<HKEY>(table.next);
    table.next += 4;
    Open_Key open;
    open.access = access;
    open.classes = target.classes;
    open.classes_path = target.classes_path;
    open.view32 = target.view32;
    open.parts = target.classes ? target.parts : std::vector<Part>{Part{target.place, false}};
    table.keys[handle] = open;
    Note_Open(Object_Kind::Registry_Key, reinterpret_cast<uintptr_t>(handle),
              To_Utf8(Call_Subject(handle, nullptr)) + (target.view32 ? " (32-bit view)" : ""));
    return handle;
}

// The keys behind an open handle for a call that needs the given rights, the winning one first:
// ERROR_INVALID_HANDLE, ERROR_ACCESS_DENIED when the handle lacks them, ERROR_KEY_DELETED for a key
// deleted meanwhile.
LSTATUS Open_Handle_Keys(HKEY handle, REGSAM needed, std::vector<std::pair<Part, Reg_Key*>>& keys) {
    Open_Key base;
    if (!Find_Base(handle, base)) return ERROR_INVALID_HANDLE;
    if ((base.access & needed) != needed) return ERROR_ACCESS_DENIED;
    keys = Live_Parts(base);
    if (keys.empty()) return ERROR_KEY_DELETED;
    return ERROR_SUCCESS;
}

// The subject of a value call: the key that holds the value (the winning key when none does).
Text Value_Subject(HKEY handle, LPCWSTR value_name) {
    Open_Key base;
    Text name = From_Wide_Pointer(value_name);
    if (Find_Base(handle, base) && base.classes) {
        auto live = Live_Parts(base);
        for (auto& part : live)
            if (part.second->Find_Value(name)) return Path_Text(part.first.place) + u"\\" + name;
        if (!live.empty()) return Path_Text(live.front().first.place) + u"\\" + name;
    }
    return Call_Subject(handle, nullptr) + u"\\" + name;
}

// What RegOpenKeyExW and RegCreateKeyExW share before they look for the key: the argument checks, the
// handle's key (still there) and the key the subkey names through views and links.
LSTATUS Target_Of_Open(HKEY key, LPCWSTR sub_key, REGSAM sam, bool open_link, PHKEY result, Target& target) {
    if (!result) return ERROR_INVALID_PARAMETER;
    Open_Key base;
    if (!Find_Base(key, base)) return ERROR_INVALID_HANDLE;
    if (Live_Parts(base).empty()) return ERROR_KEY_DELETED;
    std::vector<Text> names;
    if (LSTATUS status = Split_Subkey(sub_key, names)) return status;
    target = Make_Target(base, names, sam, open_link);
    return target.error;
}

// A new handle on the key found for the target, with the access asked for unless the key is
// protected against writing.
LSTATUS Open_Found(const Target& target, const Reg_Key& found, REGSAM sam, PHKEY result) {
    REGSAM access = Map_Access(sam, found);
    if (found.write_protected && (access & kWriteAccess)) return ERROR_ACCESS_DENIED;
    *result = Add_Open_Key(target, access);
    return ERROR_SUCCESS;
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

void Note_Change() { ++Table().generation; }

// Takes the key at a physical place out of its parent; the handles open on it see it deleted.
void Remove_Key_At(const Key_Place& place) {
    Key_Place parent_place = place;
    parent_place.path.pop_back();
    Find_Key(parent_place)->Remove_Subkey(place.path.back());
    Note_Change();
    for (auto& open : Table().keys)
        for (Part& part : open.second.parts)
            if (Same_Place(part.place, place)) part.deleted = true;
}

}  // namespace

LSTATUS RegOpenKeyExW(HKEY key, LPCWSTR sub_key, DWORD options, REGSAM sam, PHKEY result) {
    Machine& machine = The_Machine();
    std::lock_guard<std::recursive_mutex> guard(machine.lock);
    DWORD fault;
    bool open_link = (options & REG_OPTION_OPEN_LINK) != 0;
    if (machine.Take_Fault("RegOpenKeyExW", Call_Subject(key, sub_key, sam, open_link), &fault)) return LSTATUS(fault);
    Target target;
    if (LSTATUS status = Target_Of_Open(key, sub_key, sam, open_link, result, target)) return status;
    Reg_Key* found = Find_Key(target.place);
    if (!found || (target.classes && target.parts.empty())) return ERROR_FILE_NOT_FOUND;
    return Open_Found(target, *found, sam, result);
}

LSTATUS RegCloseKey(HKEY key) {
    Machine& machine = The_Machine();
    std::lock_guard<std::recursive_mutex> guard(machine.lock);
    DWORD fault;
    if (machine.Take_Fault("RegCloseKey", Call_Subject(key, nullptr), &fault)) {
        // Given back, though refused: the key stays usable, but an unload of its hive does not wait for it.
        Note_Closed(Object_Kind::Registry_Key, reinterpret_cast<uintptr_t>(key));
        auto open = Table().keys.find(key);
        if (open != Table().keys.end()) open->second.given_back = true;
        return LSTATUS(fault);
    }
    if (Is_Predefined(key)) return ERROR_SUCCESS;
    Table().subkey_cursors.erase(key);
    Table().value_cursors.erase(key);
    if (!Table().keys.erase(key)) return ERROR_INVALID_HANDLE;
    Note_Closed(Object_Kind::Registry_Key, reinterpret_cast<uintptr_t>(key));
    return ERROR_SUCCESS;
}

LSTATUS RegCreateKeyExW(HKEY key, LPCWSTR sub_key, DWORD, LPWSTR, DWORD options, REGSAM sam,
                        LPSECURITY_ATTRIBUTES, PHKEY result, LPDWORD disposition) {
    Machine& machine = The_Machine();
    std::lock_guard<std::recursive_mutex> guard(machine.lock);
    DWORD fault;
    bool open_link = (options & REG_OPTION_OPEN_LINK) != 0;
    Text subject = Call_Subject(key, sub_key, sam, open_link);
    if (machine.Record_Call("RegCreateKeyExW", subject, &fault)) return LSTATUS(fault);
    Target target;
    if (LSTATUS status = Target_Of_Open(key, sub_key, sam, open_link, result, target)) return status;
    if (!target.creatable && !Find_Key(target.place)) return ERROR_FILE_NOT_FOUND;

    // Walk down from the hive's root; each missing key is created under a parent that allows it.
    Reg_Key* found = Place_Root(target.place);
    DWORD created = REG_OPENED_EXISTING_KEY;
    for (const Text& name : target.place.path) {
        Reg_Key* next = Find_Child(found, name);
        if (!next) {
            // HKEY_USERS holds hives only: RegLoadKeyW makes them, a key cannot
            if (found->write_protected || found == &machine.users) return ERROR_ACCESS_DENIED;
            next = found->Add_Subkey(name);
            created = REG_CREATED_NEW_KEY;
            Note_Change();
            // Only the key the call names becomes a link; keys created on its way are ordinary.
            if ((options & REG_OPTION_CREATE_LINK) && &name == &target.place.path.back()) next->link = true;
        }
        found = next;
    }
    if (target.classes && target.parts.empty()) target.parts = {Part{target.place, false}};
    LSTATUS status = Open_Found(target, *found, sam, result);
    if (status == ERROR_SUCCESS && disposition) *disposition = created;
    return status;
}

LSTATUS RegDeleteKeyW(HKEY key, LPCWSTR sub_key) {
    Machine& machine = The_Machine();
    std::lock_guard<std::recursive_mutex> guard(machine.lock);
    DWORD fault;
    Text subject = Call_Subject(key, sub_key);
    if (machine.Record_Call("RegDeleteKeyW", subject, &fault)) return LSTATUS(fault);
    if (!sub_key) return ERROR_INVALID_PARAMETER;
    Open_Key base;
    if (!Find_Base(key, base)) return ERROR_INVALID_HANDLE;
    auto live = Live_Parts(base);
    if (live.empty()) return ERROR_KEY_DELETED;
    std::vector<Text> names;
    if (LSTATUS status = Split_Subkey(sub_key, names)) return status;
    if (base.classes && base.classes_path.empty() && names.empty()) return ERROR_ACCESS_DENIED;  // the classes root
    Key_Place place;
    if (base.classes && names.empty()) {
        place = live.front().first.place;  // the key of this handle that wins
    } else {
        Target target = Make_Target(base, names, 0);
        if (target.error) return target.error;
        if (target.classes && target.parts.empty()) return ERROR_FILE_NOT_FOUND;
        place = target.place;
    }
    if (place.path.size() <= (place.users ? 1u : 0u)) return ERROR_ACCESS_DENIED;  // the root of a hive
    Reg_Key* found = Find_Key(place);
    if (!found) return ERROR_FILE_NOT_FOUND;
    if (found->write_protected || !found->subkeys.empty()) return ERROR_ACCESS_DENIED;
    Remove_Key_At(place);
    return ERROR_SUCCESS;
}

namespace winsim {

// NtDeleteKey's work: the key the handle was opened on goes (below HKEY_CLASSES_ROOT the key that
// won when it was opened, the user's first), a link itself when the handle is on the link.
LONG Delete_Key_Of_Handle(HKEY key) {
    constexpr LONG kInvalidHandle = LONG(0xC0000008), kAccessDenied = LONG(0xC0000022),
                   kKeyDeleted = LONG(0xC000017C), kCannotDelete = LONG(0xC0000121);
    if (Is_Predefined(key)) return kInvalidHandle;
    auto open = Table().keys.find(key);
    if (open == Table().keys.end()) return kInvalidHandle;
    if (!(open->second.access & DELETE)) return kAccessDenied;
    const Part& part = open->second.parts.front();
    Reg_Key* found = part.deleted ? nullptr : Find_Key(part.place);
    if (!found || part.place.path.size() <= (part.place.users ? 1u : 0u)) return kKeyDeleted;
    if (found->write_protected) return kAccessDenied;
    if (!found->subkeys.empty()) return kCannotDelete;
    Key_Place place = part.place;
    Remove_Key_At(place);
    return 0;
}

Text Handle_Subject(HKEY key) { return Call_Subject(key, nullptr); }

Text Kernel_Name_Of_Handle(HKEY key) {
    if (Is_Predefined(key)) return Text();
    auto open = Table().keys.find(key);
    if (open == Table().keys.end() || open->second.parts.empty()) return Text();
    const Key_Place& place = open->second.parts.front().place;
    Text name = u"\\REGISTRY\\MACHINE";
    size_t first = 0;
    if (place.users) {
        name = u"\\REGISTRY\\USER";
    } else if (!place.machine_hive) {
        const Machine& machine = The_Machine();
        Text sid = machine.process_token ? From_Utf8(machine.process_token->user) : Text(u"S-1-5-21-0-0-0-1000");
        bool classes = place.path.size() >= 2 && Same_Name(place.path[0], u"Software") &&
                       Same_Name(place.path[1], u"Classes");
        name = u"\\REGISTRY\\USER\\" + sid + (classes ? u"_Classes" : u"");
        first = classes ? 2 : 0;
    }
    for (size_t at = first; at < place.path.size(); ++at) name += u"\\" + place.path[at];
    return name;
}

}  // namespace winsim

LSTATUS RegDeleteValueW(HKEY key, LPCWSTR value_name) {
    Machine& machine = The_Machine();
    std::lock_guard<std::recursive_mutex> guard(machine.lock);
    DWORD fault;
    Text subject = Value_Subject(key, value_name);
    if (machine.Record_Call("RegDeleteValueW", subject, &fault)) return LSTATUS(fault);
    std::vector<std::pair<Part, Reg_Key*>> keys;
    if (LSTATUS status = Open_Handle_Keys(key, KEY_SET_VALUE, keys)) return status;
    Text name = From_Wide_Pointer(value_name);
    Reg_Key* holder = keys.front().second;
    for (auto& part : keys)
        if (part.second->Find_Value(name)) {
            holder = part.second;
            break;
        }
    if (holder->write_protected) return ERROR_ACCESS_DENIED;
    if (!holder->Remove_Value(name)) return ERROR_FILE_NOT_FOUND;
    Note_Change();
    return ERROR_SUCCESS;
}

LSTATUS RegEnumKeyExW(HKEY key, DWORD index, LPWSTR name, LPDWORD name_length, LPDWORD, LPWSTR class_name,
                      LPDWORD class_length, PFILETIME last_write_time) {
    Machine& machine = The_Machine();
    std::lock_guard<std::recursive_mutex> guard(machine.lock);
    DWORD fault;
    if (machine.Take_Fault("RegEnumKeyExW", Call_Subject(key, nullptr), &fault)) return LSTATUS(fault);
    std::vector<std::pair<Part, Reg_Key*>> keys;
    if (LSTATUS status = Open_Handle_Keys(key, KEY_ENUMERATE_SUB_KEYS, keys)) return status;
    if (!name || !name_length) return ERROR_INVALID_PARAMETER;
    const Reg_Key* subkey = nullptr;
    if (keys.size() == 1) {
        if (index < keys[0].second->subkeys.size()) subkey = keys[0].second->subkeys[index].get();
    } else {
        subkey = Merged_Subkey(Table().subkey_cursors[key], Table().generation, *keys[0].second, *keys[1].second,
                               index);
    }
    if (!subkey) return ERROR_NO_MORE_ITEMS;
    if (LSTATUS status = Return_Name(subkey->name, name, name_length)) return status;
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
    std::vector<std::pair<Part, Reg_Key*>> keys;
    if (LSTATUS status = Open_Handle_Keys(key, KEY_QUERY_VALUE, keys)) return status;
    const Reg_Value* value = nullptr;
    if (keys.size() == 1) {
        if (index < keys[0].second->values.size()) value = &keys[0].second->values[index];
    } else {
        value = Merged_Value(Table().value_cursors[key], Table().generation, *keys[0].second, *keys[1].second, index);
    }
    if (!value) return ERROR_NO_MORE_ITEMS;
    if (LSTATUS status = Return_Name(value->name, name, name_length)) return status;
    return Return_Data(*value, type, data, data_size);
}

LSTATUS RegQueryInfoKeyW(HKEY key, LPWSTR class_name, LPDWORD class_length, LPDWORD, LPDWORD sub_keys,
                         LPDWORD max_sub_key_length, LPDWORD max_class_length, LPDWORD values,
                         LPDWORD max_value_name_length, LPDWORD max_value_length,
                         LPDWORD security_descriptor_size, PFILETIME last_write_time) {
    Machine& machine = The_Machine();
    std::lock_guard<std::recursive_mutex> guard(machine.lock);
    DWORD fault;
    if (machine.Take_Fault("RegQueryInfoKeyW", Call_Subject(key, nullptr), &fault)) return LSTATUS(fault);
    std::vector<std::pair<Part, Reg_Key*>> keys;
    if (LSTATUS status = Open_Handle_Keys(key, KEY_QUERY_VALUE, keys)) return status;
    if (class_length) {
        if (class_name && *class_length) class_name[0] = 0;
        *class_length = 0;
    }
    // Counted over the merged lists: a name in both keys counts once, with the user's value.
    DWORD key_count = 0, value_count = 0, longest_key = 0, longest_name = 0, largest_data = 0;
    const Reg_Key& first = *keys[0].second;
    const Reg_Key* second = keys.size() > 1 ? keys[1].second : nullptr;
    for (size_t at = 0, other = 0; at < first.subkeys.size() || (second && other < second->subkeys.size());) {
        const Reg_Key* next;
        if (at < first.subkeys.size() && second && other < second->subkeys.size()) {
            int order = Compare_Names(first.subkeys[at]->name, second->subkeys[other]->name);
            next = order <= 0 ? first.subkeys[at].get() : second->subkeys[other].get();
            if (order <= 0) ++at;
            if (order >= 0) ++other;
        } else if (at < first.subkeys.size()) {
            next = first.subkeys[at++].get();
        } else {
            next = second->subkeys[other++].get();
        }
        ++key_count;
        longest_key = std::max(longest_key, DWORD(next->name.size()));
    }
    std::unordered_set<Text> seen;
    for (const Reg_Key* holder : {&first, second}) {
        if (!holder) continue;
        for (const Reg_Value& value : holder->values) {
            if (second && !seen.insert(Upcased(value.name)).second) continue;
            ++value_count;
            longest_name = std::max(longest_name, DWORD(value.name.size()));
            largest_data = std::max(largest_data, DWORD(value.data.size()));
        }
    }
    if (sub_keys) *sub_keys = key_count;
    if (max_sub_key_length) *max_sub_key_length = longest_key;
    if (max_class_length) *max_class_length = 0;
    if (values) *values = value_count;
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
    std::vector<std::pair<Part, Reg_Key*>> keys;
    if (LSTATUS status = Open_Handle_Keys(key, KEY_QUERY_VALUE, keys)) return status;
    Text name = From_Wide_Pointer(value_name);
    for (auto& part : keys)
        if (const Reg_Value* value = part.second->Find_Value(name)) return Return_Data(*value, type, data, data_size);
    return ERROR_FILE_NOT_FOUND;
}

LSTATUS RegSetValueExW(HKEY key, LPCWSTR value_name, DWORD, DWORD type, const BYTE* data, DWORD data_size) {
    Machine& machine = The_Machine();
    std::lock_guard<std::recursive_mutex> guard(machine.lock);
    DWORD fault;
    Open_Key base;
    Text subject = Find_Base(key, base) && base.classes && !Live_Parts(base).empty()
                       ? Path_Text(Live_Parts(base).front().first.place) + u"\\" + From_Wide_Pointer(value_name)
                       : Value_Subject(key, value_name);
    if (machine.Record_Call("RegSetValueExW", subject, &fault)) return LSTATUS(fault);
    std::vector<std::pair<Part, Reg_Key*>> keys;
    if (LSTATUS status = Open_Handle_Keys(key, KEY_SET_VALUE, keys)) return status;
    Reg_Key* target = keys.front().second;  // the user's key when there is one
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
    Note_Change();
    return ERROR_SUCCESS;
}

// ---- hives loaded from files ----
//
// RegLoadKeyW loads a user's hive file of drive C: (a scenario keeps it as regedit text: UTF-16LE with a
// byte-order mark, "Windows Registry Editor Version 5.00", its keys below HKEY_CURRENT_USER) as
// HKEY_USERS\NAME, and holds the file as the registry holds a loaded hive's file: opened for reading and
// writing, shared with nobody. Its answers follow Microsoft's RegLoadKeyW and RegUnLoadKeyW pages: both
// need SeBackupPrivilege and SeRestorePrivilege enabled in the calling token (ERROR_PRIVILEGE_NOT_HELD);
// a file that does not exist is created as an empty hive; a file that another process holds (a user
// logged on) gives ERROR_SHARING_VIOLATION; a file that is no hive gives ERROR_BADDB ("The configuration
// registry database is corrupt"). RegUnLoadKeyW unloads only what RegLoadKeyW loaded and refuses, with
// ERROR_ACCESS_DENIED, while a key of the hive is open (MS-RRP's BaseRegUnLoadKey lists that answer);
// the hive goes back to its file, in the same form, when the run changed it.

namespace {

// HKEY_USERS\NAME: one name, no separator.
LSTATUS Hive_Name(HKEY key, LPCWSTR sub_key, Text& name) {
    name = From_Wide_Pointer(sub_key);
    if (key != HKEY_USERS || name.empty() || name.find(u'\\') != Text::npos) return ERROR_INVALID_PARAMETER;
    return ERROR_SUCCESS;
}

bool Holds_Hive_Privileges(Machine& machine) {
    std::shared_ptr<Token> token = machine.Calling_Token();
    return token && token->Has_Enabled(17) && token->Has_Enabled(18);  // SeBackupPrivilege, SeRestorePrivilege
}

}  // namespace

LSTATUS RegLoadKeyW(HKEY key, LPCWSTR sub_key, LPCWSTR file) {
    Machine& machine = The_Machine();
    std::lock_guard<std::recursive_mutex> guard(machine.lock);
    DWORD fault;
    Text name;
    LSTATUS checked = Hive_Name(key, sub_key, name);
    Text path = From_Wide_Pointer(file);
    if (machine.Record_Call("RegLoadKeyW", u"HKEY_USERS\\" + name, &fault, To_Utf8(path))) return LSTATUS(fault);
    if (checked) return checked;
    if (!file) return ERROR_INVALID_PARAMETER;
    if (!Holds_Hive_Privileges(machine)) return ERROR_PRIVILEGE_NOT_HELD;
    if (machine.Users_Hive(name)) return ERROR_ALREADY_EXISTS;
    Fs_Node* folder = nullptr;
    Text last;
    Fs_Node* node = machine.Find_Path(path, &folder, &last);
    if (!node && !folder) return ERROR_PATH_NOT_FOUND;
    if (node && node->directory) return ERROR_ACCESS_DENIED;
    if (node && Sharing_Conflict(machine, node, Access_Read | Access_Write, 0)) return ERROR_SHARING_VIOLATION;
    Reg_Key root;
    root.name = name;
    if (!node) {
        node = folder->Add_Child(last, false);
        node->data = Hive_File_Bytes(Export_Hive_Text(root));
    } else if (!Import_Hive_File(node->data, root)) {
        return ERROR_BADDB;
    }
    root.security = Make_Root_Security();
    static uintptr_t next_id = 1;
    Machine::Loaded_Hive loaded{name, Path_Of(machine.drive_c, *node), node->held_open, node->held_share,
                                Export_Hive_Text(root), next_id++};
    node->held_open = true;
    node->held_share = 0;
    *machine.users.Add_Subkey(name) = std::move(root);
    Note_Change();
    Note_Open(Object_Kind::Loaded_Hive, loaded.id, "HKEY_USERS\\" + To_Utf8(name) + " (" + To_Utf8(loaded.file) + ")");
    machine.loaded_hives[Upcased(name)] = std::move(loaded);
    return ERROR_SUCCESS;
}

LSTATUS RegUnLoadKeyW(HKEY key, LPCWSTR sub_key) {
    Machine& machine = The_Machine();
    std::lock_guard<std::recursive_mutex> guard(machine.lock);
    DWORD fault;
    Text name;
    LSTATUS checked = Hive_Name(key, sub_key, name);
    if (machine.Record_Call("RegUnLoadKeyW", u"HKEY_USERS\\" + name, &fault)) return LSTATUS(fault);
    if (checked) return checked;
    if (!Holds_Hive_Privileges(machine)) return ERROR_PRIVILEGE_NOT_HELD;
    auto loaded = machine.loaded_hives.find(Upcased(name));
    if (loaded == machine.loaded_hives.end()) return machine.Users_Hive(name) ? ERROR_ACCESS_DENIED : ERROR_FILE_NOT_FOUND;
    for (const auto& open : Table().keys)
        for (const Part& part : open.second.given_back ? std::vector<Part>() : open.second.parts)
            if (part.place.users && !part.place.path.empty() && Same_Name(part.place.path[0], name))
                return ERROR_ACCESS_DENIED;
    Reg_Key* root = machine.users.Find_Subkey(name);
    if (Fs_Node* node = machine.Find_Path(loaded->second.file)) {
        std::string text = Export_Hive_Text(*root);
        if (text != loaded->second.loaded_text) node->data = Hive_File_Bytes(text);
        node->held_open = loaded->second.held_before;
        node->held_share = loaded->second.share_before;
    }
    machine.users.Remove_Subkey(name);
    Note_Change();
    Note_Closed(Object_Kind::Loaded_Hive, loaded->second.id);
    machine.loaded_hives.erase(loaded);
    return ERROR_SUCCESS;
}
