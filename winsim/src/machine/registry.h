// The registry's rules as the registry calls use them (machine/registry.cpp): a key's physical place
// in the machine's or the user's hive, symbolic links on the way to it, the two places that a key of
// HKEY_CLASSES_ROOT stands for, and the merged enumeration of those two keys.
#pragma once

#include "machine/machine.h"

#include <unordered_set>
#include <vector>

namespace winsim {

struct Key_Place {
    bool machine_hive = true;
    std::vector<Text> path;  // physical names below the hive's root
    // Below HKEY_USERS (machine_hive false): path's first name names the hive (Machine::Users_Hive).
    bool users = false;
};

// The key a place starts from: HKEY_LOCAL_MACHINE, HKEY_CURRENT_USER or HKEY_USERS.
Reg_Key* Place_Root(const Key_Place& place);
// The subkey of a name, HKEY_USERS' subkeys being the hives loaded there.
Reg_Key* Find_Child(Reg_Key* key, const Text& name);

// The key at a place, or null.
Reg_Key* Find_Key(const Key_Place& place);
bool Same_Place(const Key_Place& a, const Key_Place& b);
// "HKEY_LOCAL_MACHINE\...", "HKEY_CURRENT_USER\..." or "HKEY_USERS\...".
Text Path_Text(const Key_Place& place);
Text Upcased(const Text& name);

// A path resolved through the links on its way.
struct Resolved {
    Key_Place place;     // physical: the existing keys reached, then the names not found, as given
    LSTATUS error = 0;   // a link that leads nowhere, or more links than are followed
    bool creatable = true;  // false when a missing name lies inside a link's target before its last name
};
// Resolves a place name by name: a link met before the last name is always followed, the last name's
// link unless open_link; at most 32 links are followed for one path.
Resolved Resolve(const Key_Place& start, bool open_link);

// The physical place of a key of HKEY_CLASSES_ROOT in one hive (the 32-bit view's with view32).
Key_Place Classes_Place(bool machine_hive, const std::vector<Text>& names, bool view32);
// The places of a key of HKEY_CLASSES_ROOT that exist now, the user's first.
std::vector<Key_Place> Classes_Places(const std::vector<Text>& names, bool view32, bool open_link);

// Where a merged enumeration of the user's and the machine's key stands: valid while the keys and the
// registry generation it was made for are unchanged, so that walking the indices 0, 1, 2, ... costs
// linear time.
struct Merge_Cursor {
    std::vector<const Reg_Key*> keys;
    std::vector<size_t> sizes;
    unsigned long long generation = 0;
    DWORD next_index = 0;  // the index the positions below lead to
    size_t user_at = 0, machine_at = 0;
    std::unordered_set<Text> user_names;  // upper-cased value names of the user's key
};
// The merged subkey at index (both lists in the registry's order, a name in both listed once), or
// null past the end; generation counts the changes made to the registry.
const Reg_Key* Merged_Subkey(Merge_Cursor& cursor, unsigned long long generation, const Reg_Key& user,
                             const Reg_Key& machine, DWORD index);
// The merged value at index (the user's values, then the machine's whose names the user's key lacks),
// or null past the end.
const Reg_Value* Merged_Value(Merge_Cursor& cursor, unsigned long long generation, const Reg_Key& user,
                              const Reg_Key& machine, DWORD index);

}  // namespace winsim
