// The registry's rules: places, links, HKEY_CLASSES_ROOT's two keys and their merged enumeration.
#include "machine/registry.h"

#include "machine/registry_views.h"

namespace winsim {

namespace {

// The place a link's value names, or false when the value is missing, of another type or names no
// key of the two hives.
bool Link_Target(const Reg_Key& link, Key_Place& target) {
    const Reg_Value* value = nullptr;
    for (const Reg_Value& candidate : link.values)
        if (Same_Name(candidate.name, u"SymbolicLinkValue")) value = &candidate;
    if (!value || value->type != REG_LINK) return false;
    Text text;
    for (size_t i = 0; i + 1 < value->data.size(); i += 2)
        text += char16_t(value->data[i] | (value->data[i + 1] << 8));
    while (!text.empty() && text.back() == 0) text.pop_back();
    std::vector<Text> names = Split_Names(text);
    if (text.empty() || text[0] != u'\\' || names.size() < 2 || !Same_Name(names[0], u"Registry")) return false;
    size_t first = 2;
    if (Same_Name(names[1], u"Machine")) {
        target.machine_hive = true;
    } else if (Same_Name(names[1], u"User") && names.size() >= 3 && The_Machine().process_token &&
               Same_Name(names[2], From_Utf8(The_Machine().process_token->user))) {
        target.machine_hive = false;
        first = 3;
    } else if (Same_Name(names[1], u"User") && names.size() >= 3) {
        target.machine_hive = false;  // another hive of HKEY_USERS, named by the walk's first name
        target.users = true;
        first = 2;
    } else {
        return false;
    }
    target.path.assign(names.begin() + first, names.end());
    return true;
}

constexpr unsigned kMaxLinks = 32;

// What a path that meets more links than are followed fails with on the machine's Windows.
LSTATUS Too_Many_Links() {
    const Os_Info& os = The_Machine().os;
    bool since_1607 = os.major > 10 || (os.major == 10 && os.build >= 14393);
    return since_1607 ? ERROR_INVALID_PARAMETER : ERROR_FILENAME_EXCED_RANGE;
}

// The cursor, started afresh when the keys changed or when the index lies behind it.
void Start_Afresh_If_Needed(Merge_Cursor& cursor, unsigned long long generation, const Reg_Key& user,
                            const Reg_Key& machine, DWORD index, bool values) {
    std::vector<const Reg_Key*> keys = {&user, &machine};
    std::vector<size_t> sizes = values ? std::vector<size_t>{user.values.size(), machine.values.size()}
                                       : std::vector<size_t>{user.subkeys.size(), machine.subkeys.size()};
    if (cursor.keys != keys || cursor.sizes != sizes || cursor.generation != generation ||
        index < cursor.next_index) {
        cursor = Merge_Cursor();
        cursor.keys = keys;
        cursor.sizes = sizes;
        cursor.generation = generation;
        if (values) {
            for (const Reg_Value& value : user.values) cursor.user_names.insert(Upcased(value.name));
            cursor.next_index = DWORD(user.values.size());
        }
    }
}

}  // namespace

Reg_Key* Place_Root(const Key_Place& place) {
    Machine& machine = The_Machine();
    return place.users ? &machine.users : place.machine_hive ? &machine.hklm : &machine.hkcu;
}

Reg_Key* Find_Child(Reg_Key* key, const Text& name) {
    Machine& machine = The_Machine();
    return key == &machine.users ? machine.Users_Hive(name) : key->Find_Subkey(name);
}

Reg_Key* Find_Key(const Key_Place& place) {
    Reg_Key* key = Place_Root(place);
    for (const Text& name : place.path) {
        key = Find_Child(key, name);
        if (!key) return nullptr;
    }
    return key;
}

bool Same_Place(const Key_Place& a, const Key_Place& b) {
    if (a.machine_hive != b.machine_hive || a.users != b.users || a.path.size() != b.path.size()) return false;
    for (size_t i = 0; i < a.path.size(); ++i)
        if (!Same_Name(a.path[i], b.path[i])) return false;
    return true;
}

Text Path_Text(const Key_Place& place) {
    Text text = place.users ? u"HKEY_USERS" : place.machine_hive ? u"HKEY_LOCAL_MACHINE" : u"HKEY_CURRENT_USER";
    for (const Text& name : place.path) text += u"\\" + name;
    return text;
}

Text Upcased(const Text& name) {
    Text upper = name;
    for (char16_t& c : upper) c = Upcase(c);
    return upper;
}

Resolved Resolve(const Key_Place& start, bool open_link) {
    Resolved out;
    out.place.machine_hive = start.machine_hive;
    out.place.users = start.users;
    Reg_Key* key = Place_Root(start);
    // Names still to walk, the next one last; a name from a link's target other than its last is
    // marked, because creating a key never creates the missing parents of a link's target.
    std::vector<std::pair<Text, bool>> pending;
    for (size_t i = start.path.size(); i-- > 0;) pending.emplace_back(start.path[i], false);
    unsigned links = 0;
    while (!pending.empty()) {
        std::pair<Text, bool> name = pending.back();
        pending.pop_back();
        Reg_Key* next = key ? Find_Child(key, name.first) : nullptr;
        if (!next) {
            if (name.second) out.creatable = false;
            out.place.path.push_back(name.first);
            key = nullptr;
            continue;
        }
        if (next->link && !(pending.empty() && open_link)) {
            Key_Place target;
            if (++links > kMaxLinks || !Link_Target(*next, target)) {
                out.error = links > kMaxLinks ? Too_Many_Links() : ERROR_FILE_NOT_FOUND;
                return out;
            }
            // A link in a user's hive never leads into the machine's: Windows refuses to follow a link
            // from a hive its user may write into one the machine trusts (see README).
            if (!out.place.machine_hive && target.machine_hive) {
                out.error = ERROR_ACCESS_DENIED;
                return out;
            }
            for (size_t i = target.path.size(); i-- > 0;) pending.emplace_back(target.path[i], i + 1 < target.path.size());
            out.place = Key_Place{target.machine_hive, {}, target.users};
            key = Place_Root(target);
            continue;
        }
        out.place.path.push_back(name.first);
        key = next;
    }
    return out;
}

Key_Place Classes_Place(bool machine_hive, const std::vector<Text>& names, bool view32) {
    Key_Place place;
    place.machine_hive = machine_hive;
    place.path = {machine_hive ? u"SOFTWARE" : u"Software", u"Classes"};
    place.path.insert(place.path.end(), names.begin(), names.end());
    if (view32) place.path = Path_In_32Bit_View(machine_hive, place.path);
    return place;
}

std::vector<Key_Place> Classes_Places(const std::vector<Text>& names, bool view32, bool open_link) {
    std::vector<Key_Place> places;
    for (bool machine_hive : {false, true}) {
        Resolved resolved = Resolve(Classes_Place(machine_hive, names, view32), open_link);
        if (!resolved.error && Find_Key(resolved.place)) places.push_back(resolved.place);
    }
    return places;
}

const Reg_Key* Merged_Subkey(Merge_Cursor& cursor, unsigned long long generation, const Reg_Key& user,
                             const Reg_Key& machine, DWORD index) {
    Start_Afresh_If_Needed(cursor, generation, user, machine, index, false);
    while (true) {
        const Reg_Key* next = nullptr;
        bool have_user = cursor.user_at < user.subkeys.size();
        bool have_machine = cursor.machine_at < machine.subkeys.size();
        if (have_user && have_machine) {
            int order = Compare_Names(user.subkeys[cursor.user_at]->name, machine.subkeys[cursor.machine_at]->name);
            if (order <= 0) next = user.subkeys[cursor.user_at++].get();
            if (order == 0) ++cursor.machine_at;
            if (order > 0) next = machine.subkeys[cursor.machine_at++].get();
        } else if (have_user) {
            next = user.subkeys[cursor.user_at++].get();
        } else if (have_machine) {
            next = machine.subkeys[cursor.machine_at++].get();
        }
        if (!next) return nullptr;
        if (cursor.next_index++ == index) return next;
    }
}

const Reg_Value* Merged_Value(Merge_Cursor& cursor, unsigned long long generation, const Reg_Key& user,
                              const Reg_Key& machine, DWORD index) {
    if (index < user.values.size()) return &user.values[index];
    Start_Afresh_If_Needed(cursor, generation, user, machine, index, true);
    for (; cursor.machine_at < machine.values.size(); ++cursor.machine_at) {
        const Reg_Value& value = machine.values[cursor.machine_at];
        if (cursor.user_names.count(Upcased(value.name))) continue;
        if (cursor.next_index++ == index) {
            ++cursor.machine_at;
            return &value;
        }
    }
    return nullptr;
}

}  // namespace winsim
